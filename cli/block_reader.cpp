#include "cli/block_reader.h"

#include <cstdio>

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

// Reads payload fields within [pos, end); a read past end marks overrun.
struct Cursor {
  const uint8_t* p;
  size_t pos, end;
  bool overrun = false;

  bool Take(size_t n) {
    if (overrun || end - pos < n) {
      overrun = true;
      return false;
    }
    pos += n;
    return true;
  }
  uint8_t U8() { return Take(1) ? p[pos - 1] : 0; }
  uint16_t U16() { return Take(2) ? GetU16(p + pos - 2) : 0; }
  uint32_t U32() { return Take(4) ? GetU32(p + pos - 4) : 0; }
  std::string Counted() {
    uint16_t n = U16();
    if (!Take(n)) return std::string();
    return std::string(reinterpret_cast<const char*>(p + pos - n), n);
  }
};

std::string Where(const ChunkInfo& c) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s chunk at +%zu", TagName(c.tag), c.offset);
  return buf;
}

}  // namespace

ParsedBlock ParseBlock(const uint8_t* block, size_t size) {
  ParsedBlock out;
  int seen[6] = {0};  // TAG_STRINGS .. TAG_KEYS by low tag - TAG_STRINGS
  bool keyList = false;
  size_t spare = 0;
  size_t pos = 0;

  for (;;) {
    if (size - pos < 8) {
      out.problems.push_back("damaged: the chunk header at +" + std::to_string(pos) +
                             (pos >= size ? " lies past the end of the file"
                                          : " is cut short by the end of the file") +
                             (out.chunks.empty() ? "" : " (no TAG_END before it)"));
      return out;
    }
    ChunkInfo c;
    c.offset = pos;
    c.tag = GetU32(block + pos);
    c.length = GetU32(block + pos + 4);
    out.chunks.push_back(c);
    pos += 8;
    uint16_t kind = uint16_t(c.tag & 0xFFFF);

    if (c.tag >> 16) out.problems.push_back(Where(c) + ": the tag's high 16 bits are not 0");
    if (out.chunks.size() == 1 && kind != TAG_STRINGS && c.length != 0)
      out.problems.push_back(Where(c) + ": TAG_STRINGS does not come first");
    if (size - pos < c.length && kind == TAG_END) {
      // The stub reads no payload after an end chunk, whatever its length.
      out.problems.push_back(Where(c) + ": TAG_END has a length of " + std::to_string(c.length) +
                             ", past the end of the file");
      out.complete = true;
      out.end = pos;
      return out;
    }
    if (size - pos < c.length) {
      out.problems.push_back("damaged: " + Where(c) + ": its length " +
                             std::to_string(c.length) + " runs past the end of the file");
      return out;
    }
    size_t chunkEnd = pos + c.length;

    if (c.length != 0) {
      Cursor in{block, pos, chunkEnd};
      if (kind >= TAG_STRINGS && kind <= TAG_KEYS && ++seen[kind - TAG_STRINGS] == 2)
        out.problems.push_back(Where(c) + ": a second " + TagName(kind) +
                               " replaces the first");
      switch (kind) {
        case TAG_STRINGS: {
          uint16_t groups = in.U16();
          if (groups != 1)
            out.problems.push_back(Where(c) + ": groupCount is " + std::to_string(groups) +
                                   ", not 1");
          if (groups >= 1) {
            uint16_t count = in.U16();
            std::vector<std::string> texts;
            for (uint16_t i = 0; i < count && !in.overrun; ++i) texts.push_back(in.Counted());
            if (count != 0) {
              out.data.strings = texts;
              out.hasStrings = true;
            }
            in.pos = chunkEnd;  // later groups are skipped
          }
          break;
        }
        case TAG_FILES: {
          uint32_t count = in.U32();
          out.data.files.clear();
          for (uint32_t i = 0; i < count && !in.overrun; ++i) {
            FileEntry f;
            f.dir = in.Counted();
            f.name = in.Counted();
            f.flags = in.U8();
            if (!in.overrun) out.data.files.push_back(f);
            if (f.flags & ~(FILE_SHARED | FILE_FONT | FILE_SELFREG))
              out.problems.push_back(Where(c) + ": record " + std::to_string(i) +
                                     " has flag bits 3 to 7 set");
          }
          break;
        }
        case TAG_SHORTCUTS: {
          uint32_t count = in.U32();
          out.data.shortcuts.clear();
          for (uint32_t i = 0; i < count && !in.overrun; ++i) {
            ShortcutEntry s;
            s.dir = in.Counted();
            s.name = in.Counted();
            if (!in.overrun) out.data.shortcuts.push_back(s);
          }
          break;
        }
        case TAG_KEYS: {
          if (keyList && out.data.keys.size() > 0)
            out.problems.push_back(Where(c) + ": discards the keys read before it");
          uint32_t count = in.U32();
          out.data.keys.clear();
          for (uint32_t i = 0; i < count && !in.overrun; ++i) {
            KeyEntry k;
            k.root = in.U32();
            k.path = in.Counted();
            if (!in.overrun) out.data.keys.push_back(k);
          }
          keyList = true;
          spare = KEY_SPARE_ENTRIES;
          break;
        }
        case TAG_KEY: {
          if (!keyList)
            out.problems.push_back(Where(c) + ": comes before any TAG_KEYS chunk");
          else if (spare == 0)
            out.problems.push_back(Where(c) + ": more than 3 TAG_KEY chunks follow TAG_KEYS");
          else
            --spare;
          KeyEntry k;
          k.root = in.U32();
          k.path = in.Counted();
          if (!in.overrun) out.data.keys.push_back(k);
          break;
        }
        case TAG_END:
          out.problems.push_back(Where(c) + ": TAG_END has a payload of " +
                                 std::to_string(c.length) + " bytes");
          in.pos = chunkEnd;
          break;
        default:
          in.pos = chunkEnd;  // not interpreted
          break;
      }
      if (in.overrun)
        out.problems.push_back("damaged: " + Where(c) + ": its records need more than its length " +
                               std::to_string(c.length));
      else if (in.pos != chunkEnd)
        out.problems.push_back(Where(c) + ": " + std::to_string(chunkEnd - in.pos) +
                               " payload bytes are left over after its records");
    }

    pos = chunkEnd;
    if (kind == TAG_END) {
      out.complete = true;
      out.end = pos;
      return out;
    }
  }
}

}  // namespace sweepkit
