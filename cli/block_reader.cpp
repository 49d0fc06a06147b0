#include "cli/block_reader.h"

#include <memory>

#include "format/block_read.h"

namespace sweepkit {

const char* TagName(uint32_t tag) {
  switch (tag & 0xFFFF) {
    case TAG_STRINGS: return "TAG_STRINGS";
    case TAG_FILES: return "TAG_FILES";
    case TAG_SHORTCUTS: return "TAG_SHORTCUTS";
    case TAG_KEYS: return "TAG_KEYS";
    case TAG_KEY: return "TAG_KEY";
    case TAG_END: return "TAG_END";
    case TAG_TEMPLATE: return "TAG_TEMPLATE";
    case TAG_TEMPLATE_FORCE: return "TAG_TEMPLATE_FORCE";
    default: return "unknown";
  }
}

namespace {

std::string Where(uint32_t tag, uint32_t offset) {
  return std::string(TagName(tag)) + " chunk at +" + std::to_string(offset);
}

// Each finding as inspect shows it: the chunk, then what is wrong.
std::string Describe(const BlockFinding& f, size_t size) {
  std::string at = Where(f.tag, f.chunk) + ": ";
  std::string n = std::to_string(f.value);
  switch (f.what) {
    case FOUND_HEADER_CUT:
      return "damaged: the chunk header at +" + std::to_string(f.chunk) +
             (f.chunk >= size ? " lies past the end of the file" : " is cut short by the end of the file") +
             (f.value ? " (no TAG_END before it)" : "");
    case FOUND_PAYLOAD_CUT:
      return "damaged: " + at + "its length " + std::to_string(f.length) + " runs past the end of the file";
    case FOUND_RECORDS_CUT:
      return "damaged: " + at + "its records need more than its length " + std::to_string(f.length);
    case FOUND_TAG_HIGH_BITS: return at + "the tag's high 16 bits are not 0";
    case FOUND_STRINGS_NOT_FIRST: return at + "TAG_STRINGS does not come first";
    case FOUND_EMPTY_CHUNK: return at + "an empty chunk, which the stub skips";
    case FOUND_UNKNOWN_CHUNK: return at + "a tag the stub does not know, skipped";
    case FOUND_SECOND_LIST: return at + "a second " + TagName(f.tag) + " replaces the first";
    case FOUND_KEYS_DISCARDED: return at + "discards the keys read before it";
    case FOUND_KEY_BEFORE_LIST: return at + "comes before any TAG_KEYS chunk";
    case FOUND_TOO_MANY_KEY_CHUNKS:
      return at + "more than " + std::to_string(KEY_SPARE_ENTRIES) + " TAG_KEY chunks follow TAG_KEYS";
    case FOUND_GROUP_COUNT: return at + "groupCount is " + n + ", not 1";
    case FOUND_STRING_COUNT: return at + "holds " + n + " texts, not " + std::to_string(STR_COUNT);
    case FOUND_FLAG_BITS: return at + "record " + n + " has flag bits 3 to 7 set";
    case FOUND_ZERO_BYTE:
      return at + ((f.tag & 0xFFFF) == TAG_STRINGS ? std::string("a text") : "record " + n) +
             " holds a zero byte";
    case FOUND_RECORD_TOO_LONG:
      return at + "record " + n + " is longer than the stub's " + std::to_string(RECORD_SCRATCH_SIZE) +
             "-byte record block";
    case FOUND_LEFT_OVER: return at + n + " payload bytes are left over after its records";
    case FOUND_END_PAYLOAD: return at + "TAG_END has a payload of " + n + " bytes";
    case FOUND_END_PAST_FILE:
      return at + "TAG_END has a length of " + std::to_string(f.length) + ", past the end of the file";
    case FOUND_AFTER_END:
      return n + (f.value == 1 ? " byte follows" : " bytes follow") + " the TAG_END chunk at +" +
             std::to_string(f.chunk);
    case FOUND_LIST_MISSING: return std::string("no ") + TagName(f.tag) + " chunk";
    default: return at + "out of memory";
  }
}

struct Walk {
  ParsedBlock* out;
  size_t size;
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
};

void* WalkAlloc(void* context, u32 size) {
  Walk* w = static_cast<Walk*>(context);
  w->blocks.emplace_back(new uint8_t[size]());
  return w->blocks.back().get();
}

int WalkFound(void* context, const BlockFinding* f) {
  Walk* w = static_cast<Walk*>(context);
  w->out->problems.push_back(Describe(*f, w->size));
  return 1;
}

void WalkChunk(void* context, u32 offset, u32 tag, u32 length) {
  static_cast<Walk*>(context)->out->chunks.push_back(ChunkInfo{offset, tag, length});
}

std::string Text(const BlockText& t) { return std::string(t.bytes ? t.bytes : "", t.length); }

}  // namespace

ParsedBlock ParseBlock(const uint8_t* block, size_t size) {
  ParsedBlock out;
  if (size > 0xFFFFFFFFu) size = 0xFFFFFFFFu;
  Walk walk{&out, size, {}};
  BlockReadHooks hooks{&walk, WalkAlloc, WalkFound, WalkChunk};
  BlockData data;
  BlockReadEnd end;
  ReadDataBlock(block, uint32_t(size), &hooks, &data, &end);
  out.complete = end.complete != 0;
  out.end = end.end;
  for (u32 i = 0; i < data.stringCount; ++i) out.data.strings.push_back(Text(data.strings[i]));
  out.hasStrings = data.stringCount != 0;
  for (u32 i = 0; i < data.fileCount; ++i) {
    FileEntry f;
    f.dir = Text(data.files[i].dir);
    f.name = Text(data.files[i].name);
    f.flags = data.files[i].flags;
    out.data.files.push_back(f);
  }
  for (u32 i = 0; i < data.shortcutCount; ++i) {
    ShortcutEntry s;
    s.dir = Text(data.shortcuts[i].dir);
    s.name = Text(data.shortcuts[i].name);
    out.data.shortcuts.push_back(s);
  }
  for (u32 i = 0; i < data.keyCount; ++i) {
    KeyEntry k;
    k.root = data.keys[i].root;
    k.path = Text(data.keys[i].path);
    out.data.keys.push_back(k);
  }
  out.data.keyChunks = data.keysAppended ? KeyChunks::Appended : KeyChunks::List;
  return out;
}

}  // namespace sweepkit
