#include "format/template.h"

#include "format/rules.h"

// By id from CONST_APP on.
static const char BuiltinNames[] =
    "app\0win\0sys\0fonts\0desktop\0commondesktop\0programs\0commonprograms\0startmenu\0"
    "commonstartmenu\0pf\0cf\0";

const char* ConstantName(int id) { return PackedText(BuiltinNames, (u32)(id - CONST_APP)); }

namespace {

u32 Length(const char* s) {
  u32 n = 0;
  while (s[n]) ++n;
  return n;
}

}  // namespace

int SameBytes(const char* a, u32 aLength, const char* b, u32 bLength) {
  if (aLength != bLength) return 0;
  for (u32 i = 0; i < aLength; ++i)
    if (a[i] != b[i]) return 0;
  return 1;
}

int BuiltinConstantId(const char* name, u32 length) {
  for (int id = 1; id <= CONST_BUILTIN_COUNT; ++id)
    if (SameBytes(name, length, ConstantName(id), Length(ConstantName(id)))) return id;
  return 0;
}

int IsConstantNameChar(u8 c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

int IsConstantName(const char* name, u32 length) {
  if (length == 0 || length > CONST_MAX_NAME) return 0;
  for (u32 i = 0; i < length; ++i)
    if (!IsConstantNameChar((u8)name[i])) return 0;
  return 1;
}

int NextTemplatePiece(const BlockText* text, u32* position, TemplatePiece* piece) {
  const char* s = text->bytes;
  u32 pos = *position, end = text->length;
  if (pos >= end) return 0;
  if (s[pos] != 0) {
    u32 run = pos;
    while (run < end && s[run] != 0) ++run;
    piece->kind = PIECE_LITERAL;
    piece->constant = 0;
    piece->text.bytes = s + pos;
    piece->text.length = run - pos;
    *position = run;
    return 1;
  }
  if (end - pos < 2) return -1;
  u8 id = (u8)s[pos + 1];
  piece->kind = PIECE_CONSTANT;
  piece->constant = id;
  if (id >= 1 && id <= CONST_BUILTIN_COUNT) {
    piece->text.bytes = ConstantName(id);
    piece->text.length = Length(piece->text.bytes);
    *position = pos + 2;
    return 1;
  }
  if (id != CONST_NAMED || end - pos < 3) return -1;
  u32 n = (u8)s[pos + 2];
  if (end - pos - 3 < n || !IsConstantName(s + pos + 3, n)) return -1;
  piece->text.bytes = s + pos + 3;
  piece->text.length = n;
  *position = pos + 3 + n;
  return 1;
}

void SinkConstantToken(ByteSink* sink, u8 id, const char* name, u32 nameLength) {
  SinkU8(sink, 0);
  SinkU8(sink, id);
  if (id == CONST_NAMED) {
    SinkU8(sink, (u8)nameLength);
    SinkBytes(sink, name, nameLength);
  }
}

// ---------------------------------------------------------------------------
// Reading

void SinkTemplateTrailer(ByteSink* sink, u32 blockOffset) {
  SinkU32(sink, blockOffset);
  SinkBytes(sink, TEMPLATE_TRAILER_SIGNATURE, 8);
}

int FindTemplateBlock(const u8* file, u32 size, u32* blockOffset, u32* blockSize) {
  if (size < TEMPLATE_TRAILER_SIZE ||
      !SameBytes((const char*)file + size - 8, 8, TEMPLATE_TRAILER_SIGNATURE, 8))
    return READ_NO_TRAILER;
  u32 offset = GetU32At(file + size - TEMPLATE_TRAILER_SIZE);
  if (offset > size - TEMPLATE_TRAILER_SIZE) return READ_BAD_OFFSET;
  *blockOffset = offset;
  *blockSize = size - TEMPLATE_TRAILER_SIZE - offset;
  return READ_OK;
}

const char* ReadReason(int status) {
#ifdef SWEEPKIT_TERSE_REASONS
  // A damaged template is a fault of the build that made it, and the host
  // program's inspect names it; the installer's program only says which.
  return PackedText(
      "read\0"  // READ_OK
      "not a template (no SKTEMPL1 trailer)\0"  // READ_NO_TRAILER
      "the trailer points outside the file\0"  // READ_BAD_OFFSET
      "damaged\0"  // READ_CUT_SHORT
      "damaged\0"  // READ_NOT_TEMPLATE
      "a template version this program does not know\0"  // READ_BAD_VERSION
      "damaged\0",  // any other (sweepkit inspect names the fault)
      (u32)status);
#endif
  return PackedText(
      "read\0"  // READ_OK
      "not a template (no SKTEMPL1 trailer)\0"  // READ_NO_TRAILER
      "the trailer points outside the file\0"  // READ_BAD_OFFSET
      "a chunk runs past the end of the template block\0"  // READ_CUT_SHORT
      "the first chunk is not the template header\0"  // READ_NOT_TEMPLATE
      "a template version this program does not know\0"  // READ_BAD_VERSION
      "unknown template options\0"  // READ_BAD_OPTIONS
      "a chunk tag's high 16 bits are not 0\0"  // READ_HIGH_TAG_BITS
      "a chunk of unknown kind\0"  // READ_UNKNOWN_TAG
      "a chunk that may occur once occurs twice\0"  // READ_DUPLICATE
      "the texts, files, shortcuts or key list chunk is missing\0"  // READ_MISSING
      "a payload does not match its length\0"  // READ_PAYLOAD
      "the texts chunk does not hold exactly one group\0"  // READ_GROUPS
      "a file record has flag bits 3 to 7 set\0"  // READ_FLAGS
      "a string holds a malformed constant\0"  // READ_BAD_TOKEN
      "key chunks do not match the template's key layout\0"  // READ_KEY_CHUNKS
      "a forced entry names no entry\0"  // READ_BAD_FORCED
      "no TAG_END chunk\0"  // READ_NO_END
      "bytes follow TAG_END\0"  // READ_AFTER_END
      "more records than the reader was given room for\0"  // READ_NO_ROOM
      "damaged rules' tables\0"  // READ_BAD_RULES
      "damaged\0",  // any other
      (u32)status);
}

namespace {

// Reads payload fields within [pos, end); a read past end sets overrun.
// A counted template string; 0 when it is cut short or holds a bad token.
int TakeTemplateString(Cursor* c, BlockText* text, int* badToken) {
  u32 n = TakeU16(c);
  if (!Take(c, n)) return 0;
  text->bytes = (const char*)c->p + c->pos - n;
  text->length = n;
  TemplatePiece piece;
  u32 at = 0;
  int r;
  while ((r = NextTemplatePiece(text, &at, &piece)) == 1) {
  }
  if (r < 0) {
    *badToken = 1;
    return 0;
  }
  return 1;
}

// Room the caller gave for each list, and the number read so far.
struct ListRoom {
  u32 strings, files, shortcuts, keys, forced;
};

struct Reader {
  TemplateContents* out;
  ListRoom room;
  int status;
};

// Stores a record of `size` bytes when the caller gave an array; reports
// when it is full. One function for every list keeps the reader small.
int Store(Reader* r, void* array, u32 room, u32* count, const void* record, u32 size) {
  if (array) {
    if (*count >= room) {
      r->status = READ_NO_ROOM;
      return 0;
    }
    u8* to = (u8*)array + *count * size;
    for (u32 i = 0; i < size; ++i) to[i] = ((const u8*)record)[i];
  }
  ++*count;
  return 1;
}

int ReadKey(Reader* r, Cursor* c, int* badToken) {
  BlockKey key;
  key.root = TakeU32(c);
  if (!TakeTemplateString(c, &key.path, badToken)) return 0;
  BlockData* d = &r->out->data;
  return Store(r, d->keys, r->room.keys, &d->keyCount, &key, sizeof key);
}

// Reads the records of one list chunk; 0 with r->status set on failure.
int ReadListChunk(Reader* r, u16 kind, Cursor* c) {
  BlockData* d = &r->out->data;
  int badToken = 0;
  if (kind == TAG_STRINGS) {
    if (TakeU16(c) != 1) {
      r->status = c->overrun ? READ_PAYLOAD : READ_GROUPS;
      return 0;
    }
    u32 count = TakeU16(c);
    for (u32 i = 0; i < count && !c->overrun; ++i) {
      BlockText text;
      if (!TakeTemplateString(c, &text, &badToken)) break;
      if (!Store(r, d->strings, r->room.strings, &d->stringCount, &text, sizeof text)) return 0;
    }
  } else if (kind == TAG_FILES) {
    u32 count = TakeU32(c);
    for (u32 i = 0; i < count && !c->overrun; ++i) {
      BlockFile f;
      if (!TakeTemplateString(c, &f.dir, &badToken) || !TakeTemplateString(c, &f.name, &badToken))
        break;
      f.flags = TakeU8(c);
      if (c->overrun) break;
      if (f.flags & ~(FILE_SHARED | FILE_FONT | FILE_SELFREG)) {
        r->status = READ_FLAGS;
        return 0;
      }
      if (!Store(r, d->files, r->room.files, &d->fileCount, &f, sizeof f)) return 0;
    }
  } else if (kind == TAG_SHORTCUTS) {
    u32 count = TakeU32(c);
    for (u32 i = 0; i < count && !c->overrun; ++i) {
      BlockShortcut s;
      if (!TakeTemplateString(c, &s.dir, &badToken) || !TakeTemplateString(c, &s.name, &badToken))
        break;
      if (!Store(r, d->shortcuts, r->room.shortcuts, &d->shortcutCount, &s, sizeof s)) return 0;
    }
  } else if (kind == TAG_KEYS) {
    u32 count = TakeU32(c);
    if (count != 0 && (r->out->header.options & TEMPLATE_KEYS_APPENDED)) {
      r->status = READ_KEY_CHUNKS;
      return 0;
    }
    for (u32 i = 0; i < count && !c->overrun; ++i)
      if (!ReadKey(r, c, &badToken)) break;
  } else if (kind == TAG_KEY) {
    ReadKey(r, c, &badToken);
  } else {  // TAG_TEMPLATE_FORCE
    u32 count = TakeU32(c);
    for (u32 i = 0; i < count && !c->overrun; ++i) {
      BlockForced f;
      f.list = TakeU8(c);
      f.index = TakeU32(c);
      if (c->overrun) break;
      if (f.list < LIST_FILES || f.list > LIST_KEYS) {
        r->status = READ_BAD_FORCED;
        return 0;
      }
      if (!Store(r, r->out->forced, r->room.forced, &r->out->forcedCount, &f, sizeof f)) return 0;
    }
  }
  if (r->status != READ_OK) return 0;
  if (badToken) r->status = READ_BAD_TOKEN;
  else if (c->overrun || c->pos != c->end) r->status = READ_PAYLOAD;
  return r->status == READ_OK;
}

// Forced records name existing entries; checked once every list is read.
// Without the caller's array the chunk is walked again.
int CheckForced(const TemplateContents* t, const u8* block, u32 forceChunk) {
  Cursor c = {block, forceChunk + 8, forceChunk + 8 + GetU32At(block + forceChunk + 4), 0};
  u32 count = TakeU32(&c);
  for (u32 i = 0; i < count; ++i) {
    u8 list = TakeU8(&c);
    u32 index = TakeU32(&c);
    u32 size = list == LIST_FILES       ? t->data.fileCount
               : list == LIST_SHORTCUTS ? t->data.shortcutCount
                                        : t->data.keyCount;
    if (index >= size) return 0;
  }
  return 1;
}

}  // namespace

int ReadTemplateBlock(const u8* block, u32 size, TemplateContents* contents,
                      ReadProblem* problem) {
  Reader r;
  r.out = contents;
  r.room.strings = contents->data.stringCount;
  r.room.files = contents->data.fileCount;
  r.room.shortcuts = contents->data.shortcutCount;
  r.room.keys = contents->data.keyCount;
  r.room.forced = contents->forcedCount;
  r.status = READ_OK;
  contents->data.stringCount = contents->data.fileCount = 0;
  contents->data.shortcutCount = contents->data.keyCount = 0;
  contents->forcedCount = 0;
  contents->data.keysAppended = 0;
  contents->rules = 0;
  contents->rulesSize = 0;

  // Chunks that may occur once, by kind: strings, files, shortcuts, keys,
  // force, rules; and the appended TAG_KEY chunks.
  int seen[7] = {0, 0, 0, 0, 0, 0, 0};
  u32 keyChunks = 0, forceChunk = 0;
  u32 pos = 0;
  problem->status = READ_OK;
  problem->offset = 0;
  problem->tag = 0;

  for (u32 chunk = 0;; ++chunk) {
    if (size - pos < 8) {
      r.status = pos == size ? READ_NO_END : READ_CUT_SHORT;
      break;
    }
    u32 tag = GetU32At(block + pos), length = GetU32At(block + pos + 4);
    u16 kind = (u16)tag;
    problem->offset = pos;
    problem->tag = tag;
    if (tag >> 16) {
      r.status = READ_HIGH_TAG_BITS;
      break;
    }
    if (size - pos - 8 < length) {
      r.status = READ_CUT_SHORT;
      break;
    }
    Cursor c = {block, pos + 8, pos + 8 + length, 0};

    if (chunk == 0) {
      if (kind != TAG_TEMPLATE) {
        r.status = READ_NOT_TEMPLATE;
        break;
      }
      contents->header.version = TakeU32(&c);
      contents->header.codepage = TakeU32(&c);
      contents->header.options = TakeU32(&c);
      if (c.overrun || c.pos != c.end) r.status = READ_PAYLOAD;
      else if (contents->header.version != TEMPLATE_VERSION) r.status = READ_BAD_VERSION;
      else if (contents->header.options & ~(u32)TEMPLATE_KEYS_APPENDED) r.status = READ_BAD_OPTIONS;
      if (r.status != READ_OK) break;
      contents->data.keysAppended = (contents->header.options & TEMPLATE_KEYS_APPENDED) != 0;
    } else if (kind == TAG_END) {
      if (length != 0 || c.end != size) {
        r.status = READ_AFTER_END;
        break;
      }
      if (!seen[0] || !seen[1] || !seen[2] || !seen[3]) {
        r.status = READ_MISSING;
        break;
      }
      problem->offset = forceChunk;
      problem->tag = forceChunk ? TAG_TEMPLATE_FORCE : 0;
      if (forceChunk && !CheckForced(contents, block, forceChunk)) r.status = READ_BAD_FORCED;
      break;
    } else {
      int slot = kind == TAG_STRINGS          ? 0
                 : kind == TAG_FILES          ? 1
                 : kind == TAG_SHORTCUTS      ? 2
                 : kind == TAG_KEYS           ? 3
                 : kind == TAG_TEMPLATE_FORCE ? 4
                 : kind == TAG_TEMPLATE_RULES ? 6
                 : kind == TAG_KEY            ? 5
                                              : -1;
      if (slot < 0 || kind == TAG_TEMPLATE) {
        r.status = kind == TAG_TEMPLATE ? READ_DUPLICATE : READ_UNKNOWN_TAG;
        break;
      }
      if (slot != 5 && seen[slot]++) {
        r.status = READ_DUPLICATE;
        break;
      }
      if (slot == 5 && (!contents->data.keysAppended || !seen[3] || ++keyChunks > KEY_SPARE_ENTRIES)) {
        r.status = READ_KEY_CHUNKS;
        break;
      }
      if (slot == 3 && keyChunks) {  // a key list after appended keys would drop them
        r.status = READ_KEY_CHUNKS;
        break;
      }
      if (slot == 4) forceChunk = pos;
      if (slot == 6) {
        if (!RuleTablesValid(block + c.pos, length)) {
          r.status = READ_BAD_RULES;
          break;
        }
        contents->rules = block + c.pos;
        contents->rulesSize = length;
      } else if (!ReadListChunk(&r, kind, &c)) {
        break;
      }
    }
    pos += 8 + length;
  }
  problem->status = r.status;
  if (r.status == READ_OK) {
    problem->offset = 0;
    problem->tag = 0;
  }
  return r.status;
}

// ---------------------------------------------------------------------------
// Folders

int IsLeadByte(u32 codepage, u8 c) {
  if (codepage == 932) return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
  if (codepage == 936 || codepage == 949 || codepage == 950) return c >= 0x81 && c <= 0xFE;
  if (codepage == 1361) return (c >= 0x84 && c <= 0xD3) || (c >= 0xD8 && c <= 0xDE) || (c >= 0xE0 && c <= 0xF9);
  return 0;
}

int EndsInTrailBackslash(const char* s, u32 n, u32 codepage) {
  int pair = 0;
  for (u32 i = 0; i < n; i += pair ? 2 : 1) pair = i + 1 < n && IsLeadByte(codepage, (u8)s[i]);
  return pair && s[n - 1] == '\\';
}

namespace {

// Windows takes '/' for '\' in a path.
int IsSeparator(char c) { return c == '\\' || c == '/'; }

// The end of the part that starts at i: up to the next separator, a
// constant's token or a two-byte character taken whole. *trail: the last
// unit is a two-byte character whose second byte is a backslash.
u32 PartEnd(const char* s, u32 i, u32 n, u32 codepage, int* trail = 0) {
  int last = 0;
  while (i < n && !IsSeparator(s[i])) {
    u32 unit = 1;
    if (s[i] == 0) unit = i + 2 < n && (u8)s[i + 1] == CONST_NAMED ? 3 + (u8)s[i + 2] : 2;
    else if (IsLeadByte(codepage, (u8)s[i])) unit = 2;
    last = unit == 2 && s[i] != 0 && i + 1 < n && s[i + 1] == '\\';
    i = unit < n - i ? i + unit : n;
  }
  if (trail) *trail = last;
  return i;
}

}  // namespace

int CanonicalDir(char* s, u32* length, u32 capacity, u32 codepage) {
  u32 n = *length;
  u32 kept = 0;  // bytes kept as written: "X:\", ".", \\server\share
  if (n == 0) return 1;
  if (s[0] == '.' && (n == 1 || IsSeparator(s[1]))) {
    kept = 1;
  } else if (n >= 3 && s[1] == ':' && IsSeparator(s[2]) && (s[0] | 0x20) >= 'a' && (s[0] | 0x20) <= 'z') {
    kept = 3;
  } else if (n >= 3 && IsSeparator(s[0]) && IsSeparator(s[1]) && !IsSeparator(s[2])) {
    u32 server = PartEnd(s, 2, n, codepage);
    if (server + 1 >= n || IsSeparator(s[server + 1])) return 1;  // no share
    kept = PartEnd(s, server + 1, n, codepage);
    s[0] = s[1] = s[server] = '\\';
  } else if (s[0] != 0) {
    return 1;  // no form the rules accept: theirs to refuse
  }  // else a template string that starts with a constant, whose value gives the form
  // The parts: first only looked at, for a "..", then written.
  if (kept == 3) s[2] = '\\';
  for (int write = 0; write < 2; ++write) {
    u32 w = kept;
    int trail = 0;
    for (u32 r = kept; r < n;) {
      while (r < n && IsSeparator(s[r])) ++r;
      int partTrail = 0;
      u32 end = PartEnd(s, r, n, codepage, &partTrail);
      if (end - r == 2 && s[r] == '.' && s[r + 1] == '.') return 0;
      if (write && end > r && !(end - r == 1 && s[r] == '.')) {
        if (w && !(kept == 3 && w == 3)) s[w++] = '\\';  // "X:\" has its own
        while (r < end) s[w++] = s[r++];
        trail = partTrail;
      }
      r = end;
    }
    // Byte-wise path code takes a final 0x5C for a separator of its own: a
    // dir whose last character ends in one keeps a real one after it.
    if (write && trail) {
      if (w >= capacity) return 0;
      s[w++] = '\\';
    }
    *length = w;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Resolving

int TextRole(u32 index) { return index >= STR_OUT_OF_MEMORY ? ROLE_FORMATTED_TEXT : ROLE_TEXT; }

const char* ResolveReason(int status) {
  return PackedText(
      "resolved\0"  // RESOLVE_OK
      "a constant nothing gives a value for\0"  // RESOLVE_UNKNOWN_CONSTANT
      "text the target code page cannot hold\0"  // RESOLVE_CONVERSION
      "the resolved text is too long\0"  // RESOLVE_NO_ROOM
      "a malformed constant\0"  // RESOLVE_BAD_TOKEN
      "cannot be resolved\0",  // any other
      (u32)status);
}

namespace {

// "%s" anywhere, as the uninstaller looks for it before formatting a text.
int HoldsSlotBytes(const char* bytes, u32 length) {
  for (u32 i = 0; i + 1 < length; ++i)
    if (bytes[i] == '%' && bytes[i + 1] == 's') return 1;
  return 0;
}

// Whether the literal bytes hold "%s" (the value bytes do not count).
int LiteralHoldsSlot(const BlockText* text) {
  u32 at = 0;
  TemplatePiece piece;
  while (NextTemplatePiece(text, &at, &piece) == 1)
    if (piece.kind == PIECE_LITERAL && HoldsSlotBytes(piece.text.bytes, piece.text.length)) return 1;
  return 0;
}

int IsDriveRoot(const BlockText* v) {
  if (v->length != 3 || v->bytes[1] != ':' || v->bytes[2] != '\\') return 0;
  char c = v->bytes[0];
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

const BlockText* LookupValue(const ConstantTable* table, const TemplatePiece* piece) {
  if (piece->constant != CONST_NAMED)
    return table->builtin[piece->constant].bytes ? &table->builtin[piece->constant] : 0;
  for (u32 i = 0; i < table->namedCount; ++i)
    if (SameBytes(table->named[i].name, table->named[i].nameLength, piece->text.bytes,
                  piece->text.length))
      return &table->named[i].value;
  return 0;
}

struct Output {
  char* out;
  u32 capacity;
  u32 length;
};

int Put(Output* o, char c) {
  if (o->length >= o->capacity) return 0;
  o->out[o->length++] = c;
  return 1;
}

}  // namespace

int ResolveTemplateString(const BlockText* text, int role, const ConstantTable* table,
                          LiteralConverter convert, void* context, char* out, u32 capacity,
                          u32* length, ResolveProblem* problem) {
  Output o = {out, capacity, 0};
  int doublePercent = role == ROLE_FORMATTED_TEXT && LiteralHoldsSlot(text);
  problem->status = RESOLVE_OK;
  problem->constant = 0;
  problem->name.bytes = 0;
  problem->name.length = 0;
  *length = 0;

  u32 at = 0;
  int r;
  TemplatePiece piece;
  while ((r = NextTemplatePiece(text, &at, &piece)) == 1) {
    int status = RESOLVE_OK;
    if (piece.kind == PIECE_LITERAL) {
      if (convert) {
        u32 written = 0;
        int c = convert(context, piece.text.bytes, piece.text.length, out + o.length,
                        capacity - o.length, &written);
        if (c == 1 && written <= capacity - o.length) o.length += written;
        else status = c == 0 ? RESOLVE_CONVERSION : RESOLVE_NO_ROOM;
      } else {
        for (u32 i = 0; i < piece.text.length && status == RESOLVE_OK; ++i)
          if (!Put(&o, piece.text.bytes[i])) status = RESOLVE_NO_ROOM;
      }
    } else {
      int nextIsBackslash = at < text->length && text->bytes[at] == '\\';
      if (role == ROLE_FILE_DIR && piece.constant == CONST_APP && at == 2 &&
          (at == text->length || nextIsBackslash)) {
        // The uninstaller's own folder, in the form that follows the
        // uninstaller wherever it is.
        if (!Put(&o, '.')) status = RESOLVE_NO_ROOM;
      } else {
        const BlockText* value = LookupValue(table, &piece);
        if (!value) {
          problem->constant = piece.constant;
          problem->name = piece.text;
          status = RESOLVE_UNKNOWN_CONSTANT;
        } else {
          // A drive root followed by '\' keeps one backslash.
          u32 n = IsDriveRoot(value) && nextIsBackslash ? 2 : value->length;
          for (u32 i = 0; i < n && status == RESOLVE_OK; ++i) {
            if (!Put(&o, value->bytes[i])) status = RESOLVE_NO_ROOM;
            else if (doublePercent && value->bytes[i] == '%' && !Put(&o, '%'))
              status = RESOLVE_NO_ROOM;
          }
        }
      }
    }
    if (status != RESOLVE_OK) {
      problem->status = status;
      return status;
    }
  }
  if (r < 0) {
    problem->status = RESOLVE_BAD_TOKEN;
    return RESOLVE_BAD_TOKEN;
  }
  // A value that brings %s into a text whose own words hold none makes the
  // uninstaller format it all the same: each % is then written %%, so that
  // the text shows as it stands.
  if (role == ROLE_FORMATTED_TEXT && !doublePercent && HoldsSlotBytes(out, o.length)) {
    u32 n = o.length;
    for (u32 i = 0; i < n; ++i)
      if (out[i] == '%') ++o.length;
    if (o.length > capacity) {
      problem->status = RESOLVE_NO_ROOM;
      return RESOLVE_NO_ROOM;
    }
    for (u32 to = o.length; n > 0;) {
      out[--to] = out[--n];
      if (out[n] == '%') out[--to] = '%';
    }
  }
  *length = o.length;
  return RESOLVE_OK;
}
