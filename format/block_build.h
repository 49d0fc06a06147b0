// Builder of the chunk block and of the template block, and the limits a
// finished block must keep, written like the stub: plain records, integer
// status, caller buffers, no C++ runtime. The host packer and the Win32
// finisher link the same code.
#pragma once

#include "uninstall_info/uninstall_info.h"

// Chunk tags of a template block (the other tags are shared with the data
// block).
enum { TAG_TEMPLATE = 0x5354, TAG_TEMPLATE_FORCE = 0x5355, TAG_TEMPLATE_RULES = 0x5357 };

// A byte string with its length: finished text in the target code page, or
// a template string (literal bytes where a zero byte starts a constant).
struct BlockText {
  const char* bytes;
  u32 length;
};

struct BlockFile {
  BlockText dir;
  BlockText name;
  u8 flags;  // FILE_SHARED | FILE_FONT | FILE_SELFREG
};

struct BlockShortcut {
  BlockText dir;
  BlockText name;
};

struct BlockKey {
  u32 root;
  BlockText path;
};

// Everything a block carries. The arrays belong to the caller.
struct BlockData {
  BlockText* strings;
  u32 stringCount;
  BlockFile* files;
  u32 fileCount;
  BlockShortcut* shortcuts;
  u32 shortcutCount;
  BlockKey* keys;
  u32 keyCount;
  int keysAppended;  // nonzero: an empty TAG_KEYS, then one TAG_KEY per key
};

// An entry the author marked "force": its safety refusals become warnings.
enum { LIST_FILES = 1, LIST_SHORTCUTS = 2, LIST_KEYS = 3 };
struct BlockForced {
  u8 list;  // LIST_FILES, LIST_SHORTCUTS or LIST_KEYS
  u32 index;
};

// The payload of the TAG_TEMPLATE chunk.
enum { TEMPLATE_VERSION = 1, TEMPLATE_KEYS_APPENDED = 0x01 };
struct TemplateHeader {
  u32 version;   // TEMPLATE_VERSION
  u32 codepage;  // the code page of every literal byte
  u32 options;   // TEMPLATE_KEYS_APPENDED
};

// Fields of a chunk's payload within [pos, end), little-endian; a read past
// end sets overrun, and every read after it gives 0.
struct Cursor {
  const u8* p;
  u32 pos;
  u32 end;
  int overrun;
};
int Take(Cursor* c, u32 n);
u8 TakeU8(Cursor* c);
u16 TakeU16(Cursor* c);
u32 TakeU32(Cursor* c);
u32 GetU32At(const u8* p);

// Output bytes. With data null (or capacity short) nothing is stored but
// size still counts, so one call measures and the next one writes.
struct ByteSink {
  u8* data;
  u32 capacity;
  u32 size;
  int tooLarge;  // size would pass 4 GiB
};

void SinkBytes(ByteSink* sink, const void* bytes, u32 length);

// Texts packed one after another, each ending in a zero byte, the list in
// one more: text `index` of it, the last one for an index past its end.
// A list costs no pointer per text.
const char* PackedText(const char* list, u32 index);
void SinkU8(ByteSink* sink, u8 value);
void SinkU16(ByteSink* sink, u16 value);
void SinkU32(ByteSink* sink, u32 value);

enum {
  BUILD_OK = 0,
  BUILD_NO_ROOM,          // sink->size is the size needed
  BUILD_TOO_LARGE,        // the block would pass 4 GiB
  BUILD_STRING_TOO_LONG,  // a string over 65535 bytes
  BUILD_TOO_MANY_STRINGS, // over 65535 texts
  BUILD_TOO_MANY_KEYS,    // appended key chunks hold at most 3 keys
  BUILD_BAD_FORCED        // a forced entry's list or index does not exist
};

// TAG_STRINGS, TAG_KEYS, TAG_FILES, TAG_SHORTCUTS, any TAG_KEY chunks,
// TAG_END: the block the stub reads.
int BuildDataBlock(const BlockData* data, ByteSink* sink);

// TAG_TEMPLATE, the same chunks holding template strings, TAG_TEMPLATE_FORCE
// when forcedCount is not 0, TAG_TEMPLATE_RULES (the authoring rules'
// tables, for the finisher) when rulesSize is not 0, TAG_END. Keys are
// appended when the header's options say so (data->keysAppended is not
// consulted).
int BuildTemplateBlock(const TemplateHeader* header, const BlockData* data,
                       const BlockForced* forced, u32 forcedCount, const u8* rules, u32 rulesSize,
                       ByteSink* sink);

// ---------------------------------------------------------------------------
// Limits of finished data: what the stub's buffers and formatter need.

enum {
  LIMIT_MAX_COUNTED = 0xFFFF,
  LIMIT_MAX_PATH = PATH_BUFFER_SIZE - 1,             // 259
  LIMIT_MAX_RECORD = RECORD_SCRATCH_SIZE - 2,        // 518: dir and name
  LIMIT_MAX_KEY_PATH = RECORD_SCRATCH_SIZE - 1,      // 519
  LIMIT_MAX_MESSAGE = MESSAGE_BUFFER_SIZE - 1        // 1023
};

enum {
  LIMIT_OK = 0,
  LIMIT_ZERO_BYTE,       // a string holds a zero byte
  LIMIT_COUNTED,         // a string over 65535 bytes
  LIMIT_RECORD,          // dir and name together over 518 bytes
  LIMIT_PATH,            // the composed path over 259 bytes
  LIMIT_KEY_EMPTY,       // an empty key path names the root itself
  LIMIT_KEY_PATH,        // a key path over 519 bytes
  LIMIT_MESSAGE,         // a text over 1023 bytes (with a 259-byte path)
  LIMIT_CONVERSION,      // a formatted text holds a conversion other than %s
  LIMIT_HIDDEN_SLOT,     // a formatted text holds %s only inside %%s
  LIMIT_SLOTS,           // a formatted text holds %s more than once
  LIMIT_TOO_MANY_KEYS,   // appended key chunks hold at most 3 keys
  LIMIT_STRING_COUNT     // not exactly STR_COUNT texts
};

// A short English reason for a LIMIT_ or BUILD_ status ("the composed path
// is over 259 bytes"); callers add the entry and the figures.
const char* LimitReason(int status);
const char* BuildReason(int status);

// Any counted string: LIMIT_ZERO_BYTE or LIMIT_COUNTED.
int CheckStringLimits(const BlockText* text);

// Text `index` of the string table. *length gets the length the stub shows
// (for a formatted text: with a 259-byte path in place of %s).
// LIMIT_HIDDEN_SLOT comes last, when nothing else is wrong: the stub shows
// such a text without a path, as the resolver writes a text that a value
// brought %s into. It is a mistake only where the author wrote it, so the
// checks of what the author wrote refuse it and those of finished data
// (CheckDataLimits) do not.
int CheckTextLimits(int index, const BlockText* text, u32* length);

// The path the removal composes, byte-wise as the stub does. For a file dir
// that begins with a dot, installDirLength is the length of the install
// folder with its final backslash (3 for "C:\").
u32 ComposedFilePathLength(const BlockFile* file, u32 installDirLength);
u32 ComposedShortcutPathLength(const BlockShortcut* shortcut);

// *pathLength gets the composed length (0 when the record check failed
// first).
int CheckFileLimits(const BlockFile* file, u32 installDirLength, u32* pathLength);
int CheckShortcutLimits(const BlockShortcut* shortcut, u32* pathLength);
int CheckKeyLimits(const BlockKey* key);

// Every entry of finished data, first failure first (a hidden slot is none). *list and *index name
// the entry (list 0: the texts or the data as a whole; for texts *index is
// the text's index).
int CheckDataLimits(const BlockData* data, u32 installDirLength, int* list, u32* index);
