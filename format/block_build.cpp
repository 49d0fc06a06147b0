#include "format/block_build.h"

// ---------------------------------------------------------------------------
// Sink

u32 GetU32At(const u8* p) {
  return (u32)p[0] | ((u32)p[1] << 8) | ((u32)p[2] << 16) | ((u32)p[3] << 24);
}

int Take(Cursor* c, u32 n) {
  if (c->overrun || c->end - c->pos < n) {
    c->overrun = 1;
    return 0;
  }
  c->pos += n;
  return 1;
}

u8 TakeU8(Cursor* c) { return Take(c, 1) ? c->p[c->pos - 1] : 0; }
u16 TakeU16(Cursor* c) { return Take(c, 2) ? (u16)(c->p[c->pos - 2] | (c->p[c->pos - 1] << 8)) : 0; }
u32 TakeU32(Cursor* c) { return Take(c, 4) ? GetU32At(c->p + c->pos - 4) : 0; }

void SinkBytes(ByteSink* sink, const void* bytes, u32 length) {
  if (length > 0xFFFFFFFFu - sink->size) {
    sink->tooLarge = 1;
    return;
  }
  if (sink->data && sink->size <= sink->capacity && length <= sink->capacity - sink->size) {
    const u8* from = (const u8*)bytes;
    u8* to = sink->data + sink->size;
    for (u32 i = 0; i < length; ++i) to[i] = from[i];
  }
  sink->size += length;
}

void SinkU8(ByteSink* sink, u8 value) { SinkBytes(sink, &value, 1); }

void SinkU16(ByteSink* sink, u16 value) {
  u8 b[2] = {(u8)value, (u8)(value >> 8)};
  SinkBytes(sink, b, 2);
}

void SinkU32(ByteSink* sink, u32 value) {
  u8 b[4] = {(u8)value, (u8)(value >> 8), (u8)(value >> 16), (u8)(value >> 24)};
  SinkBytes(sink, b, 4);
}

// ---------------------------------------------------------------------------
// Block

namespace {

// A chunk header whose length is filled in when the payload is complete.
u32 BeginChunk(ByteSink* sink, u16 tag) {
  SinkU32(sink, tag);  // high 16 bits written as 0
  SinkU32(sink, 0);
  return sink->size;
}

void EndChunk(ByteSink* sink, u32 payloadStart) {
  u32 length = sink->size - payloadStart;
  if (sink->data && !sink->tooLarge && sink->size <= sink->capacity) {
    u8* at = sink->data + payloadStart - 4;
    for (int i = 0; i < 4; ++i) at[i] = (u8)(length >> (8 * i));
  }
}

void SinkCounted(ByteSink* sink, const BlockText* text) {
  SinkU16(sink, (u16)text->length);
  SinkBytes(sink, text->bytes, text->length);
}

void SinkKey(ByteSink* sink, const BlockKey* key) {
  SinkU32(sink, key->root);
  SinkCounted(sink, &key->path);
}

int CheckCounts(const BlockData* data, int appended) {
  if (data->stringCount > 0xFFFF) return BUILD_TOO_MANY_STRINGS;
  if (appended && data->keyCount > KEY_SPARE_ENTRIES) return BUILD_TOO_MANY_KEYS;
  for (u32 i = 0; i < data->stringCount; ++i)
    if (data->strings[i].length > LIMIT_MAX_COUNTED) return BUILD_STRING_TOO_LONG;
  for (u32 i = 0; i < data->fileCount; ++i)
    if (data->files[i].dir.length > LIMIT_MAX_COUNTED ||
        data->files[i].name.length > LIMIT_MAX_COUNTED)
      return BUILD_STRING_TOO_LONG;
  for (u32 i = 0; i < data->shortcutCount; ++i)
    if (data->shortcuts[i].dir.length > LIMIT_MAX_COUNTED ||
        data->shortcuts[i].name.length > LIMIT_MAX_COUNTED)
      return BUILD_STRING_TOO_LONG;
  for (u32 i = 0; i < data->keyCount; ++i)
    if (data->keys[i].path.length > LIMIT_MAX_COUNTED) return BUILD_STRING_TOO_LONG;
  return BUILD_OK;
}

// The chunks both blocks share, from TAG_STRINGS to the TAG_KEY chunks.
void SinkLists(ByteSink* sink, const BlockData* data, int appended) {
  u32 start = BeginChunk(sink, TAG_STRINGS);
  SinkU16(sink, 1);  // groupCount
  SinkU16(sink, (u16)data->stringCount);
  for (u32 i = 0; i < data->stringCount; ++i) SinkCounted(sink, &data->strings[i]);
  EndChunk(sink, start);

  // TAG_KEYS always carries its count, so that TAG_KEY chunks have a list
  // to extend even when it is empty.
  start = BeginChunk(sink, TAG_KEYS);
  SinkU32(sink, appended ? 0 : data->keyCount);
  if (!appended)
    for (u32 i = 0; i < data->keyCount; ++i) SinkKey(sink, &data->keys[i]);
  EndChunk(sink, start);

  start = BeginChunk(sink, TAG_FILES);
  SinkU32(sink, data->fileCount);
  for (u32 i = 0; i < data->fileCount; ++i) {
    SinkCounted(sink, &data->files[i].dir);
    SinkCounted(sink, &data->files[i].name);
    SinkU8(sink, data->files[i].flags & (FILE_SHARED | FILE_FONT | FILE_SELFREG));
  }
  EndChunk(sink, start);

  start = BeginChunk(sink, TAG_SHORTCUTS);
  SinkU32(sink, data->shortcutCount);
  for (u32 i = 0; i < data->shortcutCount; ++i) {
    SinkCounted(sink, &data->shortcuts[i].dir);
    SinkCounted(sink, &data->shortcuts[i].name);
  }
  EndChunk(sink, start);

  if (appended) {
    for (u32 i = 0; i < data->keyCount; ++i) {
      start = BeginChunk(sink, TAG_KEY);
      SinkKey(sink, &data->keys[i]);
      EndChunk(sink, start);
    }
  }
}

int Finish(ByteSink* sink) {
  BeginChunk(sink, TAG_END);
  if (sink->tooLarge) return BUILD_TOO_LARGE;
  if (!sink->data || sink->size > sink->capacity) return BUILD_NO_ROOM;
  return BUILD_OK;
}

}  // namespace

int BuildDataBlock(const BlockData* data, ByteSink* sink) {
  int status = CheckCounts(data, data->keysAppended);
  if (status != BUILD_OK) return status;
  SinkLists(sink, data, data->keysAppended);
  return Finish(sink);
}

int BuildTemplateBlock(const TemplateHeader* header, const BlockData* data,
                       const BlockForced* forced, u32 forcedCount, const u8* rules, u32 rulesSize,
                       ByteSink* sink) {
  int appended = (header->options & TEMPLATE_KEYS_APPENDED) != 0;
  int status = CheckCounts(data, appended);
  if (status != BUILD_OK) return status;
  for (u32 i = 0; i < forcedCount; ++i) {
    u32 count = forced[i].list == LIST_FILES       ? data->fileCount
                : forced[i].list == LIST_SHORTCUTS ? data->shortcutCount
                : forced[i].list == LIST_KEYS      ? data->keyCount
                                                   : 0;
    if (forced[i].index >= count) return BUILD_BAD_FORCED;
  }

  u32 start = BeginChunk(sink, TAG_TEMPLATE);
  SinkU32(sink, header->version);
  SinkU32(sink, header->codepage);
  SinkU32(sink, header->options);
  EndChunk(sink, start);

  SinkLists(sink, data, appended);

  if (forcedCount != 0) {
    start = BeginChunk(sink, TAG_TEMPLATE_FORCE);
    SinkU32(sink, forcedCount);
    for (u32 i = 0; i < forcedCount; ++i) {
      SinkU8(sink, forced[i].list);
      SinkU32(sink, forced[i].index);
    }
    EndChunk(sink, start);
  }
  if (rulesSize != 0) {
    start = BeginChunk(sink, TAG_TEMPLATE_RULES);
    SinkBytes(sink, rules, rulesSize);
    EndChunk(sink, start);
  }
  return Finish(sink);
}

const char* PackedText(const char* list, u32 index) {
  for (; index; --index) {
    const char* next = list;
    while (*next++) {
    }
    if (!*next) break;
    list = next;
  }
  return list;
}

const char* BuildReason(int status) {
  return PackedText(
      "built\0"  // BUILD_OK
      "the output buffer is too small\0"  // BUILD_NO_ROOM
      "the block would exceed 4 GiB\0"  // BUILD_TOO_LARGE
      "a string is over 65535 bytes\0"  // BUILD_STRING_TOO_LONG
      "over 65535 texts\0"  // BUILD_TOO_MANY_STRINGS
      "appended key chunks hold at most 3 keys\0"  // BUILD_TOO_MANY_KEYS
      "a forced entry names no entry\0"  // BUILD_BAD_FORCED
      "unknown failure\0",  // any other
      (u32)status);
}

// ---------------------------------------------------------------------------
// Limits

// The installer's program says which limit an entry breaks; what to do about
// it was said when the template was packed.
#ifdef SWEEPKIT_TERSE_REASONS
#define LIMIT_WHY(text) ""
#else
#define LIMIT_WHY(text) text
#endif

const char* LimitReason(int status) {
  return PackedText(
      "within the limits\0"  // LIMIT_OK
      "contains a zero byte\0"  // LIMIT_ZERO_BYTE
      "a string holds at most 65535 bytes\0"  // LIMIT_COUNTED
      "dir and name together exceed 518 bytes\0"  // LIMIT_RECORD
      "its path is over 259 bytes\0"  // LIMIT_PATH
      "is empty" LIMIT_WHY("; it would name the root key itself") "\0"  // LIMIT_KEY_EMPTY
      "longer than 519 bytes\0"  // LIMIT_KEY_PATH
      "longer than 1023 bytes\0"  // LIMIT_MESSAGE
      "holds a conversion other than one %s" LIMIT_WHY(" (use %% for a percent sign)") "\0"  // LIMIT_CONVERSION
      "holds %s only as part of %%s" LIMIT_WHY(", so the path would not be shown; write a lone %s "
                                              "where the path goes") "\0"  // LIMIT_HIDDEN_SLOT
      "holds %s more than once" LIMIT_WHY("; it is formatted with one path") "\0"  // LIMIT_SLOTS
      "appended key chunks hold at most 3 keys\0"  // LIMIT_TOO_MANY_KEYS
      "the string table needs exactly 11 texts\0"  // LIMIT_STRING_COUNT
      "breaks a limit\0",  // any other
      (u32)status);
}

namespace {

int HasZero(const BlockText* t) {
  for (u32 i = 0; i < t->length; ++i)
    if (t->bytes[i] == 0) return 1;
  return 0;
}

int EndsInBackslash(const char* s, u32 length) { return length > 0 && s[length - 1] == '\\'; }

int HoldsSlot(const BlockText* t) {
  for (u32 i = 0; i + 1 < t->length; ++i)
    if (t->bytes[i] == '%' && t->bytes[i + 1] == 's') return 1;
  return 0;
}

}  // namespace

int CheckStringLimits(const BlockText* text) {
  if (HasZero(text)) return LIMIT_ZERO_BYTE;
  return text->length > LIMIT_MAX_COUNTED ? LIMIT_COUNTED : LIMIT_OK;
}

int CheckTextLimits(int index, const BlockText* text, u32* length) {
  *length = text->length;
  int status = CheckStringLimits(text);
  if (status != LIMIT_OK) return status;
  // Texts before STR_OUT_OF_MEMORY are never formatted, and the stub formats
  // a later one as soon as "%s" occurs anywhere in it.
  if (index < STR_OUT_OF_MEMORY) return LIMIT_OK;
  if (!HoldsSlot(text)) return text->length > LIMIT_MAX_MESSAGE ? LIMIT_MESSAGE : LIMIT_OK;

  u32 slots = 0, shown = 0;
  for (u32 i = 0; i < text->length; ++i) {
    if (text->bytes[i] != '%') {
      ++shown;
      continue;
    }
    char next = i + 1 < text->length ? text->bytes[i + 1] : '\0';
    if (next == '%') {
      ++shown;
      ++i;
    } else if (next == 's') {
      ++slots;
      shown += LIMIT_MAX_PATH;
      ++i;
    } else {
      return LIMIT_CONVERSION;
    }
  }
  *length = shown;
  if (slots > 1) return LIMIT_SLOTS;
  if (shown > LIMIT_MAX_MESSAGE) return LIMIT_MESSAGE;
  return slots ? LIMIT_OK : LIMIT_HIDDEN_SLOT;
}

u32 ComposedFilePathLength(const BlockFile* file, u32 installDirLength) {
  const char* dir = file->dir.bytes;
  u32 dirLength = file->dir.length;
  u32 resolved;
  int endsInBackslash;
  if (dirLength > 0 && dir[0] == '.') {
    // A leading dot stands for the install dir (which ends in a backslash);
    // only ".\rest" keeps the rest.
    u32 rest = dirLength >= 2 && dir[1] == '\\' ? dirLength - 2 : 0;
    resolved = installDirLength + rest;
    endsInBackslash = rest == 0 ? installDirLength > 0 : EndsInBackslash(dir, dirLength);
  } else {
    resolved = dirLength;
    endsInBackslash = EndsInBackslash(dir, dirLength);
  }
  if (file->name.length == 0) return resolved;
  return resolved + (resolved > 0 && !endsInBackslash ? 1 : 0) + file->name.length;
}

u32 ComposedShortcutPathLength(const BlockShortcut* shortcut) {
  u32 dirLength = shortcut->dir.length;
  if (shortcut->name.length == 0) return dirLength;  // only the folder is removed
  return dirLength + (dirLength > 0 && !EndsInBackslash(shortcut->dir.bytes, dirLength) ? 1 : 0) +
         shortcut->name.length;
}

namespace {

int CheckRecord(const BlockText* dir, const BlockText* name) {
  int status = CheckStringLimits(dir);
  if (status == LIMIT_OK) status = CheckStringLimits(name);
  if (status == LIMIT_OK && dir->length + name->length > LIMIT_MAX_RECORD) status = LIMIT_RECORD;
  return status;
}

}  // namespace

int CheckFileLimits(const BlockFile* file, u32 installDirLength, u32* pathLength) {
  *pathLength = 0;
  int status = CheckRecord(&file->dir, &file->name);
  if (status != LIMIT_OK) return status;
  *pathLength = ComposedFilePathLength(file, installDirLength);
  return *pathLength > LIMIT_MAX_PATH ? LIMIT_PATH : LIMIT_OK;
}

int CheckShortcutLimits(const BlockShortcut* shortcut, u32* pathLength) {
  *pathLength = 0;
  int status = CheckRecord(&shortcut->dir, &shortcut->name);
  if (status != LIMIT_OK) return status;
  *pathLength = ComposedShortcutPathLength(shortcut);
  return *pathLength > LIMIT_MAX_PATH ? LIMIT_PATH : LIMIT_OK;
}

int CheckKeyLimits(const BlockKey* key) {
  int status = CheckStringLimits(&key->path);
  if (status != LIMIT_OK) return status;
  if (key->path.length == 0) return LIMIT_KEY_EMPTY;
  return key->path.length > LIMIT_MAX_KEY_PATH ? LIMIT_KEY_PATH : LIMIT_OK;
}

int CheckDataLimits(const BlockData* data, u32 installDirLength, int* list, u32* index) {
  u32 length;
  int status;
  *list = 0;
  *index = 0;
  if (data->stringCount != STR_COUNT) return LIMIT_STRING_COUNT;
  if (data->keysAppended && data->keyCount > KEY_SPARE_ENTRIES) return LIMIT_TOO_MANY_KEYS;
  for (*index = 0; *index < data->stringCount; ++*index)
    if ((status = CheckTextLimits((int)*index, &data->strings[*index], &length)) != LIMIT_OK &&
        status != LIMIT_HIDDEN_SLOT)
      return status;
  *list = LIST_FILES;
  for (*index = 0; *index < data->fileCount; ++*index)
    if ((status = CheckFileLimits(&data->files[*index], installDirLength, &length)) != LIMIT_OK)
      return status;
  *list = LIST_SHORTCUTS;
  for (*index = 0; *index < data->shortcutCount; ++*index)
    if ((status = CheckShortcutLimits(&data->shortcuts[*index], &length)) != LIMIT_OK)
      return status;
  *list = LIST_KEYS;
  for (*index = 0; *index < data->keyCount; ++*index)
    if ((status = CheckKeyLimits(&data->keys[*index])) != LIMIT_OK) return status;
  *list = 0;
  *index = 0;
  return LIMIT_OK;
}
