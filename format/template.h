// Templates: uninstall data whose texts still hold folder constants, stored
// after a copy of the stub and resolved where the folders are known. Written
// like the stub (no C++ runtime) so the Win32 finisher links the same code.
//
// File: [stub image, dataOffset 0] [template block] [u32 block offset]
// ["SKTEMPL1"]. A template string is literal bytes in the template's code
// page where a zero byte starts a constant: 0x00 id (1..12, the built-in
// constants below) or 0x00 0xFF n name (a named constant of n bytes).
#pragma once

#include "format/block_build.h"

// Built-in constants by id, in the order of their ids.
enum {
  CONST_APP = 1,
  CONST_WIN,
  CONST_SYS,
  CONST_FONTS,
  CONST_DESKTOP,
  CONST_COMMONDESKTOP,
  CONST_PROGRAMS,
  CONST_COMMONPROGRAMS,
  CONST_STARTMENU,
  CONST_COMMONSTARTMENU,
  CONST_PF,
  CONST_CF,
  CONST_BUILTIN_COUNT = 12,
  CONST_NAMED = 0xFF,
  CONST_MAX_NAME = 255
};

// Byte strings of the given lengths hold the same bytes.
int SameBytes(const char* a, u32 aLength, const char* b, u32 bLength);

// The name of a built-in constant by id: "app", "win", ...
const char* ConstantName(int id);

// The id of a built-in constant name, or 0.
int BuiltinConstantId(const char* name, u32 length);
// Letters, digits and '_'.
int IsConstantNameChar(u8 c);
// A non-empty run of those, at most CONST_MAX_NAME bytes.
int IsConstantName(const char* name, u32 length);

// One piece of a template string: literal bytes or a constant.
enum { PIECE_LITERAL = 1, PIECE_CONSTANT = 2 };
struct TemplatePiece {
  int kind;
  u8 constant;      // PIECE_CONSTANT: a CONST_ id or CONST_NAMED
  BlockText text;   // the literal bytes, or the name of a named constant
};

// Walks a template string from *position. Returns 1 with the next piece,
// 0 at the end, -1 for a malformed token (an unknown id, a cut or invalid
// name).
int NextTemplatePiece(const BlockText* text, u32* position, TemplatePiece* piece);

// Appends a constant's token to a template string being built.
void SinkConstantToken(ByteSink* sink, u8 id, const char* name, u32 nameLength);

// ---------------------------------------------------------------------------
// Reading

enum { TEMPLATE_TRAILER_SIZE = 12 };
#define TEMPLATE_TRAILER_SIGNATURE "SKTEMPL1"

// Appends the trailer that points at a block starting at blockOffset.
void SinkTemplateTrailer(ByteSink* sink, u32 blockOffset);

enum {
  READ_OK = 0,
  READ_NO_TRAILER,      // not a template: no "SKTEMPL1" at the end
  READ_BAD_OFFSET,      // the trailer's offset lies outside the file
  READ_CUT_SHORT,       // a chunk header or payload runs past the block
  READ_NOT_TEMPLATE,    // the first chunk is not TAG_TEMPLATE
  READ_BAD_VERSION,     // a version other than TEMPLATE_VERSION
  READ_BAD_OPTIONS,     // unknown option bits
  READ_HIGH_TAG_BITS,   // a tag's high 16 bits are not 0
  READ_UNKNOWN_TAG,     // a chunk of no known kind
  READ_DUPLICATE,       // a list chunk occurs twice
  READ_MISSING,         // TAG_STRINGS, TAG_KEYS, TAG_FILES or TAG_SHORTCUTS absent
  READ_PAYLOAD,         // a payload longer or shorter than its records
  READ_GROUPS,          // groupCount is not 1
  READ_FLAGS,           // file flag bits 3 to 7 set
  READ_BAD_TOKEN,       // a template string with a malformed constant
  READ_KEY_CHUNKS,      // TAG_KEY before TAG_KEYS, over 3, or against the options
  READ_BAD_FORCED,      // a forced record naming no entry
  READ_NO_END,          // no TAG_END chunk
  READ_AFTER_END,       // bytes between TAG_END and the trailer, or TAG_END with a payload
  READ_NO_ROOM,         // more records than the caller's arrays hold
  READ_BAD_RULES        // the rules' tables are not well formed
};

const char* ReadReason(int status);

// Where reading stopped: the chunk's offset from the start of the block and
// its tag (0 when no chunk is involved).
struct ReadProblem {
  int status;
  u32 offset;
  u32 tag;
};

// A template block's contents. On input each array pointer with its count
// is the caller's room (a null array: records are only counted); on output
// the counts are the numbers of records. Strings point into the block.
struct TemplateContents {
  TemplateHeader header;
  BlockData data;  // keysAppended follows the header's options
  BlockForced* forced;
  u32 forcedCount;
  // The authoring rules' tables (TAG_TEMPLATE_RULES) in the block; null
  // when the template carries none.
  const u8* rules;
  u32 rulesSize;
};

// Finds the block through the trailer: *blockOffset and *blockSize (up to
// the trailer).
int FindTemplateBlock(const u8* file, u32 size, u32* blockOffset, u32* blockSize);

// Reads strictly: the header chunk first, each list chunk once, every
// payload consumed exactly, valid tokens, TAG_END as the last bytes.
int ReadTemplateBlock(const u8* block, u32 size, TemplateContents* contents,
                      ReadProblem* problem);

// ---------------------------------------------------------------------------
// Folders

// Whether c starts a two-byte character in a double-byte code page of
// Windows (932, 936, 949, 950, 1361); its second byte may be a backslash.
int IsLeadByte(u32 codepage, u8 c);

// Whether the last character of s[0..n) is a two-byte one whose second byte
// is 0x5C, which byte-wise path code (the stub's) takes for a backslash.
int EndsInTrailBackslash(const char* s, u32 n, u32 codepage);

// One spelling per folder: the stub compares paths byte for byte, so a dir
// that names a folder the sweep spares in another spelling would escape that
// protection. Rewrites dir[0..*length) in place, in code page `codepage`:
// one backslash between parts (for any run of backslashes and the slashes
// Windows takes for them), no '.' part except the leading one of a relative
// dir (".", ".\sub"), no final backslash except after a drive ("C:\") and
// after a two-byte character whose second byte is 0x5C ("C:\表\"). The
// server and share of \\server\share stay as written. A template string's
// constants count as part of a name; one at the start stands for whatever
// form its value has. A dir of no form the rules accept is left alone, for
// them to refuse. `capacity`: the bytes dir may take, one more than *length
// at least (for the separator kept after a final 0x5C trail byte). Returns
// 0, leaving its parts as they were, when it holds a ".." part, which canonical spelling cannot resolve without changing what
// it names; the rules refuse it.
int CanonicalDir(char* dir, u32* length, u32 capacity, u32 codepage);

// ---------------------------------------------------------------------------
// Resolving

// Where a template string is used; decides the {app} and % rules.
enum {
  ROLE_FILE_DIR = 1,   // {app} as the whole dir or before '\' becomes '.'
  ROLE_PATH,           // file names, shortcut dirs and names, key paths
  ROLE_TEXT,           // texts 0 to 6: shown as stored
  ROLE_FORMATTED_TEXT  // texts 7 to 10: formatted when they hold %s anywhere
};

// The role of a text of the string table by its index.
int TextRole(u32 index);

struct NamedValue {
  const char* name;
  u32 nameLength;
  BlockText value;
};

// Values in the target code page. A built-in with null bytes is not given.
struct ConstantTable {
  BlockText builtin[CONST_BUILTIN_COUNT + 1];  // by id; entry 0 unused
  const NamedValue* named;
  u32 namedCount;
};

// Converts literal bytes from the template's code page to the target one,
// writing at most capacity bytes. Returns 1 with *written set, 0 when a
// character has no equivalent (the callback checks the round trip), -1 when
// capacity is too small. A null converter copies the bytes unchanged.
typedef int (*LiteralConverter)(void* context, const char* in, u32 length, char* out,
                                u32 capacity, u32* written);

enum {
  RESOLVE_OK = 0,
  RESOLVE_UNKNOWN_CONSTANT,  // nothing gives the constant
  RESOLVE_CONVERSION,        // literal text the target code page cannot hold
  RESOLVE_NO_ROOM,           // the result is longer than the output buffer
  RESOLVE_BAD_TOKEN          // a malformed template string
};

const char* ResolveReason(int status);

// Which constant was missing (or where conversion failed).
struct ResolveProblem {
  int status;
  u8 constant;      // CONST_ id or CONST_NAMED
  BlockText name;   // the constant's name (built-in ones from ConstantName)
};

// Resolves one template string into out (capacity bytes, no terminator
// added); *length gets the finished length. Rules: in a ROLE_FILE_DIR that
// is exactly {app} or begins {app}\ the constant becomes '.'; a value that is
// a drive root ("C:\") followed by '\' loses its own backslash. A
// ROLE_FORMATTED_TEXT is written to show as resolved once the stub formats
// it, which it does when it holds %s anywhere: then every '%' of a value is
// doubled, and every '%' of the literal bytes too when those hold no %s.
int ResolveTemplateString(const BlockText* text, int role, const ConstantTable* table,
                          LiteralConverter convert, void* context, char* out, u32 capacity,
                          u32* length, ResolveProblem* problem);
