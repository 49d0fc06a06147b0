#include "format/block_read.h"

namespace {

struct Reader {
  const BlockReadHooks* hooks;
  BlockData* data;
  u32 findings;
  int stop;
  BlockFinding at;  // the chunk being read
  u32 keyRoom;      // key entries the list has room for
};

static void Find(Reader* r, int what, u32 value) {
  BlockFinding f = r->at;
  f.what = what;
  f.value = value;
  r->findings++;
  if (!r->hooks->found(r->hooks->context, &f)) r->stop = 1;
}

// A counted string; *zero is set when it holds a zero byte.
static void TakeText(Cursor* c, BlockText* text, int* zero) {
  u32 length = TakeU16(c);
  text->bytes = (const char*)c->p + c->pos;
  text->length = 0;
  if (!Take(c, length)) return;
  text->length = length;
  for (u32 i = 0; i < length; i++)
    if (!text->bytes[i]) *zero = 1;
}

static void* Alloc(Reader* r, u32 count, u32 size) {
  void* p = count < 0xFFFFFFFEu / size ? r->hooks->alloc(r->hooks->context, count * size + 1) : 0;
  if (!p) Find(r, FOUND_OUT_OF_MEMORY, 0), r->stop = 1;
  return p;
}

// Room for a list's records: its count, but no more than the payload can
// hold, so that a damaged count allocates nothing large.
static u32 Room(const Cursor* c, u32 count, u32 smallest) {
  u32 fits = (c->end - c->pos) / smallest;
  return count < fits ? count : fits;
}

static void ReadStrings(Reader* r, Cursor* c) {
  u32 groups = TakeU16(c);
  if (groups != 1 && !c->overrun) Find(r, FOUND_GROUP_COUNT, groups);
  if (groups == 0 || c->overrun) return;
  u32 count = TakeU16(c);
  if (count == 0 || c->overrun) {
    if (!c->overrun) Find(r, FOUND_STRING_COUNT, 0);
    return;
  }
  BlockText* texts = (BlockText*)Alloc(r, Room(c, count, 2), (u32)sizeof(BlockText));
  if (!texts) return;
  u32 n = 0;
  int zero = 0;
  while (n < count && !c->overrun) {
    BlockText t;
    TakeText(c, &t, &zero);
    if (!c->overrun) texts[n++] = t;
  }
  r->data->strings = texts;
  r->data->stringCount = n;
  if (zero) Find(r, FOUND_ZERO_BYTE, 0);
  if (count != STR_COUNT && !c->overrun) Find(r, FOUND_STRING_COUNT, count);
  if (groups > 1) c->pos = c->end;  // later groups are not read
}

// TAG_FILES (flags) or TAG_SHORTCUTS.
static void ReadPaths(Reader* r, Cursor* c, int files) {
  u32 count = TakeU32(c);
  if (c->overrun) return;
  u32 size = files ? (u32)sizeof(BlockFile) : (u32)sizeof(BlockShortcut);
  u8* list = (u8*)Alloc(r, Room(c, count, files ? 5 : 4), size);
  if (!list) return;
  u32 n = 0;
  for (u32 i = 0; i < count && !c->overrun && !r->stop; i++) {
    BlockFile f = {{0, 0}, {0, 0}, 0};
    int zero = 0;
    TakeText(c, &f.dir, &zero);
    TakeText(c, &f.name, &zero);
    if (files) f.flags = (u8)TakeU8(c);
    if (c->overrun) break;
    if (files) ((BlockFile*)list)[n++] = f;
    else {
      BlockShortcut s = {f.dir, f.name};
      ((BlockShortcut*)list)[n++] = s;
    }
    if (f.flags & ~(FILE_SHARED | FILE_FONT | FILE_SELFREG)) Find(r, FOUND_FLAG_BITS, i);
    if (zero) Find(r, FOUND_ZERO_BYTE, i);
    if (f.dir.length + f.name.length > LIMIT_MAX_RECORD) Find(r, FOUND_RECORD_TOO_LONG, i);
  }
  if (files) {
    r->data->files = (BlockFile*)list;
    r->data->fileCount = n;
  } else {
    r->data->shortcuts = (BlockShortcut*)list;
    r->data->shortcutCount = n;
  }
}

static int ReadKey(Reader* r, Cursor* c, BlockKey* key, u32 index) {
  int zero = 0;
  key->root = TakeU32(c);
  TakeText(c, &key->path, &zero);
  if (c->overrun) return 0;
  if (zero) Find(r, FOUND_ZERO_BYTE, index);
  if (key->path.length > LIMIT_MAX_KEY_PATH) Find(r, FOUND_RECORD_TOO_LONG, index);
  return 1;
}

static void ReadKeys(Reader* r, Cursor* c) {
  u32 count = TakeU32(c);
  if (c->overrun) return;
  u32 room = Room(c, count, 6) + KEY_SPARE_ENTRIES;
  BlockKey* keys = (BlockKey*)Alloc(r, room, (u32)sizeof(BlockKey));
  if (!keys) return;
  u32 n = 0;
  for (u32 i = 0; i < count && !c->overrun && !r->stop; i++)
    if (ReadKey(r, c, &keys[n], i)) n++;
  r->data->keys = keys;
  r->data->keyCount = n;
  r->keyRoom = room;
  r->data->keysAppended = 0;
}

// A TAG_KEY record goes into the list's next entry; the list grows when it
// has no room left, as the loader's does.
static void ReadAppendedKey(Reader* r, Cursor* c) {
  BlockData* d = r->data;
  if (d->keyCount >= r->keyRoom) {
    u32 room = d->keyCount + KEY_SPARE_ENTRIES + 1;
    BlockKey* grown = (BlockKey*)Alloc(r, room, (u32)sizeof(BlockKey));
    if (!grown) return;
    for (u32 i = 0; i < d->keyCount; i++) grown[i] = d->keys[i];
    d->keys = grown;
    r->keyRoom = room;
  }
  if (ReadKey(r, c, &d->keys[d->keyCount], d->keyCount)) d->keyCount++;
}

}  // namespace

u32 ReadDataBlock(const u8* block, u32 size, const BlockReadHooks* hooks, BlockData* data,
                  BlockReadEnd* end) {
  Reader r;
  r.hooks = hooks;
  r.data = data;
  r.findings = 0;
  r.stop = 0;
  r.at.value = 0;
  r.keyRoom = 0;
  data->strings = 0;
  data->files = 0;
  data->shortcuts = 0;
  data->keys = 0;
  data->stringCount = data->fileCount = data->shortcutCount = data->keyCount = 0;
  data->keysAppended = 0;
  end->complete = 0;
  end->end = 0;
  u32 seen = 0;         // bit per list tag
  u32 lists[4] = {0};   // chunks of each list read so far
  u32 appended = 0;     // TAG_KEY chunks since the last TAG_KEYS
  u32 pos = 0;
  u32 chunks = 0;

  while (!r.stop) {
    r.at.chunk = pos;
    r.at.tag = r.at.length = 0;
    if (size - pos < 8) {
      Find(&r, FOUND_HEADER_CUT, chunks);
      return r.findings;
    }
    u32 tag = GetU32At(block + pos);
    u32 length = GetU32At(block + pos + 4);
    r.at.tag = tag;
    r.at.length = length;
    if (hooks->chunk) hooks->chunk(hooks->context, pos, tag, length);
    chunks++;
    pos += 8;
    u32 kind = tag & 0xFFFF;
    int known = kind >= TAG_STRINGS && kind <= TAG_KEY;

    if (tag >> 16) Find(&r, FOUND_TAG_HIGH_BITS, 0);
    if (chunks == 1 && kind != TAG_STRINGS && length != 0) Find(&r, FOUND_STRINGS_NOT_FIRST, 0);
    if (size - pos < length) {
      if (kind == TAG_END) {
        // The loader reads no payload after an end chunk, whatever its length.
        Find(&r, FOUND_END_PAST_FILE, 0);
        end->complete = 1;
        end->end = pos;
        return r.findings;
      }
      Find(&r, FOUND_PAYLOAD_CUT, 0);
      return r.findings;
    }
    if (r.stop) break;
    Cursor c = {block, pos, pos + length, 0};
    pos += length;
    if (kind == TAG_END) {
      if (length) Find(&r, FOUND_END_PAYLOAD, length);
      end->complete = 1;
      end->end = pos;
      if (size != pos) Find(&r, FOUND_AFTER_END, size - pos);
      for (u32 list = 0; list < 4 && !r.stop; list++)
        if (!(seen & (1u << list))) {
          r.at.tag = TAG_STRINGS + list;
          Find(&r, FOUND_LIST_MISSING, 0);
        }
      return r.findings;
    }
    if (!known) {
      Find(&r, FOUND_UNKNOWN_CHUNK, 0);
      continue;
    }
    if (length == 0) {
      Find(&r, FOUND_EMPTY_CHUNK, 0);
      continue;
    }
    if (kind != TAG_KEY) {
      seen |= 1u << (kind - TAG_STRINGS);
      if (++lists[kind - TAG_STRINGS] == 2) Find(&r, FOUND_SECOND_LIST, 0);
    }
    if (r.stop) break;
    switch (kind) {
      case TAG_STRINGS: ReadStrings(&r, &c); break;
      case TAG_FILES: ReadPaths(&r, &c, 1); break;
      case TAG_SHORTCUTS: ReadPaths(&r, &c, 0); break;
      case TAG_KEYS:
        if (lists[TAG_KEYS - TAG_STRINGS] > 1 && data->keyCount)
          Find(&r, FOUND_KEYS_DISCARDED, data->keyCount);
        appended = 0;
        if (!r.stop) ReadKeys(&r, &c);
        break;
      case TAG_KEY:
        if (!(seen & (1u << (TAG_KEYS - TAG_STRINGS)))) Find(&r, FOUND_KEY_BEFORE_LIST, 0);
        else if (++appended > KEY_SPARE_ENTRIES) Find(&r, FOUND_TOO_MANY_KEY_CHUNKS, appended);
        data->keysAppended = 1;
        if (!r.stop) ReadAppendedKey(&r, &c);
        break;
    }
    if (r.stop) break;
    if (c.overrun) Find(&r, FOUND_RECORDS_CUT, 0);
    else if (c.pos != c.end) Find(&r, FOUND_LEFT_OVER, c.end - c.pos);
  }
  return r.findings;
}
