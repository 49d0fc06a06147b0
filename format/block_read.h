// The strict reader of a data block, for everything but the stub: inspect
// shows what it finds, the finisher refuses an earlier uninstaller on the
// first finding. It walks the chunks the way the stub's loader does and
// loads what the loader would load, and, unlike the loader, checks every
// payload against its chunk's length and the data against what the writer
// writes. A block it reads without a finding is one the loader takes to the
// same entries.
#pragma once

#include "format/block_build.h"

// What the reader finds. The first three mean the block is damaged.
enum {
  FOUND_HEADER_CUT = 1,      // a chunk header cut short by the end (reading stops)
  FOUND_PAYLOAD_CUT,         // a chunk's length runs past the end (reading stops)
  FOUND_RECORDS_CUT,         // the records need more than the chunk's length
  FOUND_TAG_HIGH_BITS,       // the tag's high 16 bits are not 0
  FOUND_STRINGS_NOT_FIRST,   // the first chunk is not the texts
  FOUND_EMPTY_CHUNK,         // a list chunk of length 0 (the loader skips it)
  FOUND_UNKNOWN_CHUNK,       // a tag with no meaning (skipped)
  FOUND_SECOND_LIST,         // a list chunk again; it replaces the first
  FOUND_KEYS_DISCARDED,      // a TAG_KEYS after appended keys drops them
  FOUND_KEY_BEFORE_LIST,     // TAG_KEY before any TAG_KEYS
  FOUND_TOO_MANY_KEY_CHUNKS, // more than KEY_SPARE_ENTRIES TAG_KEY chunks
  FOUND_GROUP_COUNT,         // value: the group count, not 1
  FOUND_STRING_COUNT,        // value: the text count, not STR_COUNT
  FOUND_FLAG_BITS,           // value: the record; flag bits 3 to 7 set
  FOUND_ZERO_BYTE,           // value: the record; a string holds a zero byte
  FOUND_RECORD_TOO_LONG,     // value: the record; over the loader's scratch block
  FOUND_LEFT_OVER,           // value: payload bytes after the records
  FOUND_END_PAYLOAD,         // TAG_END has a payload
  FOUND_END_PAST_FILE,       // TAG_END's length runs past the end (the block ends there)
  FOUND_AFTER_END,           // value: bytes after TAG_END
  FOUND_LIST_MISSING,        // tag: the list the block lacks
  FOUND_OUT_OF_MEMORY        // the reader's own allocation failed (reading stops)
};

struct BlockFinding {
  int what;    // FOUND_...
  u32 chunk;   // block offset of the chunk's header
  u32 tag;     // the chunk's tag as written
  u32 length;  // the chunk's length as written
  u32 value;   // by `what`
};

struct BlockReadHooks {
  void* context;
  // Zero-filled; null when out of memory. Blocks are never freed by the
  // reader: the caller frees them all together.
  void* (*alloc)(void* context, u32 size);
  // Returns 0 to stop reading.
  int (*found)(void* context, const BlockFinding* finding);
  // Each chunk header as it is read; may be null.
  void (*chunk)(void* context, u32 offset, u32 tag, u32 length);
};

struct BlockReadEnd {
  int complete;  // a TAG_END was reached
  u32 end;       // block offset after it
};

// Reads block into data (its texts point into block; data->keysAppended
// tells the key layout found). Returns the number of findings: 0 accepts.
u32 ReadDataBlock(const u8* block, u32 size, const BlockReadHooks* hooks, BlockData* data,
                  BlockReadEnd* end);
