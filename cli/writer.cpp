#include "cli/writer.h"

#include "cli/block_reader.h"
#include "format/execution_level.h"
#include "format/rules.h"
#include "format/template.h"

#include <algorithm>
#include <cstring>

namespace sweepkit {

const char* const kStringNames[STR_COUNT] = {
    "caption", "confirm",       "done",         "yes",
    "yes_all", "no",            "no_all",       "out_of_memory",
    "invalid_info", "write_protected", "shared_unused"};

void PutU16(Bytes& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}

void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
         (uint32_t(p[3]) << 24);
}

// ---------------------------------------------------------------------------
// Records for the block library

namespace {

BlockText View(const std::string& s) { return BlockText{s.data(), uint32_t(s.size())}; }

}  // namespace

BlockView::BlockView(const UninstallData& d) {
  for (const std::string& s : d.strings) strings.push_back(View(s));
  for (const FileEntry& f : d.files) files.push_back(BlockFile{View(f.dir), View(f.name), f.flags});
  for (const ShortcutEntry& s : d.shortcuts) shortcuts.push_back(BlockShortcut{View(s.dir), View(s.name)});
  for (const KeyEntry& k : d.keys) keys.push_back(BlockKey{k.root, View(k.path)});
  data = BlockData{strings.data(), uint32_t(strings.size()),   files.data(),
                   uint32_t(files.size()),   shortcuts.data(), uint32_t(shortcuts.size()),
                   keys.data(),              uint32_t(keys.size()),
                   d.keyChunks == KeyChunks::Appended};
}

// ---------------------------------------------------------------------------
// Checks

namespace {

void CheckCounted(std::vector<Issue>& issues, const std::string& entry, const std::string& s) {
  BlockText t = View(s);
  int status = CheckStringLimits(&t);
  if (status == LIMIT_ZERO_BYTE) issues.push_back({true, entry + ": contains a zero byte"});
  if (status == LIMIT_COUNTED)
    issues.push_back({true, entry + ": " + std::to_string(s.size()) +
                                " bytes long; a string holds at most 65535"});
}

void CheckText(std::vector<Issue>& issues, int index, const std::string& text) {
  std::string entry = std::string("strings.") + kStringNames[index];
  BlockText t = View(text);
  uint32_t shown = 0;
  int status = CheckTextLimits(index, &t, &shown);
  if (status == LIMIT_ZERO_BYTE || status == LIMIT_COUNTED) {
    CheckCounted(issues, entry, text);
  } else if (status == LIMIT_MESSAGE) {
    issues.push_back({true, text.find("%s") == std::string::npos
                                ? entry + ": longer than 1023 bytes (" + std::to_string(shown) + ")"
                                : entry + ": longer than 1023 bytes once a 259-byte path is put in "
                                          "place of %s (" + std::to_string(shown) + ")"});
  } else if (status != LIMIT_OK && status != LIMIT_HIDDEN_SLOT) {  // ResolveData judges that
    issues.push_back({true, entry + ": " + LimitReason(status)});
  }
}

// A record's own limits: each string, then dir and name together.
bool CheckRecord(std::vector<Issue>& issues, const std::string& entry, const std::string& dir,
                 const std::string& name) {
  size_t before = issues.size();
  CheckCounted(issues, entry + ".dir", dir);
  CheckCounted(issues, entry + ".name", name);
  if (dir.size() + name.size() > kMaxRecordStrings) {
    issues.push_back({true, entry + ": " + LimitReason(LIMIT_RECORD)});
    return false;
  }
  return issues.size() == before;
}

std::string TooLong(const std::string& entry, size_t length) {
  return entry + ": its path is " + std::to_string(length) + " bytes long; at most 259 fit";
}

}  // namespace

size_t ComposedFilePathLength(const std::string& dir, const std::string& name,
                              size_t installDirLength) {
  BlockFile f{View(dir), View(name), 0};
  return ::ComposedFilePathLength(&f, uint32_t(installDirLength));
}

size_t ComposedShortcutPathLength(const std::string& dir, const std::string& name) {
  BlockShortcut s{View(dir), View(name)};
  return ::ComposedShortcutPathLength(&s);
}

std::vector<Issue> ValidateData(const UninstallData& data) {
  std::vector<Issue> issues;
  if (data.strings.size() != STR_COUNT)
    issues.push_back({true, "strings: holds " + std::to_string(data.strings.size()) +
                                " texts; " + std::to_string(STR_COUNT) + " are needed"});
  for (size_t i = 0; i < data.strings.size() && i < STR_COUNT; ++i)
    CheckText(issues, int(i), data.strings[i]);

  for (size_t i = 0; i < data.files.size(); ++i) {
    const FileEntry& f = data.files[i];
    if (f.broken) continue;
    std::string entry = "files[" + std::to_string(i) + "]";
    if (!CheckRecord(issues, entry, f.dir, f.name)) continue;
    BlockFile file{View(f.dir), View(f.name), f.flags};
    uint32_t shortest = 0, typical = 0;
    if (!f.dir.empty() && f.dir[0] == '.') {
      if (CheckFileLimits(&file, kShortestInstallDir, &shortest) != LIMIT_OK) {
        issues.push_back({true, entry + ": its path is " + std::to_string(shortest) +
                                    " bytes even in the install dir \"C:\\\"; at most 259 fit"});
      } else if (CheckFileLimits(&file, kTypicalInstallDir, &typical) != LIMIT_OK) {
        issues.push_back(
            {false, entry + ": its path fits only an install dir of at most " +
                        std::to_string(kMaxPath - (shortest - kShortestInstallDir)) +
                        " bytes; in a deeper one the uninstaller skips it"});
      }
    } else if (CheckFileLimits(&file, 0, &shortest) != LIMIT_OK) {
      issues.push_back({true, TooLong(entry, shortest)});
    }
  }

  for (size_t i = 0; i < data.shortcuts.size(); ++i) {
    const ShortcutEntry& s = data.shortcuts[i];
    if (s.broken) continue;
    std::string entry = "shortcuts[" + std::to_string(i) + "]";
    if (!CheckRecord(issues, entry, s.dir, s.name)) continue;
    BlockShortcut shortcut{View(s.dir), View(s.name)};
    uint32_t length = 0;
    if (CheckShortcutLimits(&shortcut, &length) != LIMIT_OK) issues.push_back({true, TooLong(entry, length)});
  }

  for (size_t i = 0; i < data.keys.size(); ++i) {
    const KeyEntry& k = data.keys[i];
    if (k.broken) continue;
    BlockKey key{k.root, View(k.path)};
    int status = CheckKeyLimits(&key);
    std::string entry = "keys[" + std::to_string(i) + "].path";
    if (status == LIMIT_ZERO_BYTE || status == LIMIT_COUNTED) CheckCounted(issues, entry, k.path);
    else if (status != LIMIT_OK) issues.push_back({true, entry + ": " + LimitReason(status)});
  }
  if (data.keyChunks == KeyChunks::Appended && data.keys.size() > KEY_SPARE_ENTRIES)
    issues.push_back({true, "keys: " + std::to_string(data.keys.size()) +
                                " keys, but appended key chunks hold at most 3"});
  return issues;
}

// ---------------------------------------------------------------------------
// Block

Bytes BuildBlock(const UninstallData& data) {
  // Written as is, a record without a name would be a directory entry.
  for (const FileEntry& f : data.files)
    if (!f.hasName) throw PackError("a file record has no name");
  BlockView view(data);
  ByteSink sink = {nullptr, 0, 0, 0};
  int status = BuildDataBlock(&view.data, &sink);
  if (status != BUILD_NO_ROOM) throw PackError(BuildReason(status));
  Bytes block(sink.size);
  sink = ByteSink{block.data(), uint32_t(block.size()), 0, 0};
  status = BuildDataBlock(&view.data, &sink);
  if (status != BUILD_OK) throw PackError(BuildReason(status));
  return block;
}

// ---------------------------------------------------------------------------
// Stub

namespace {

constexpr size_t kLocatorSize = sizeof(DataLocatorRecord);
static_assert(kLocatorSize == 10, "DataLocator is byte-packed");

// End of the PE image: the furthest end of a section's raw data or of the
// COFF symbol and string tables. Throws when the file is not a PE image.
size_t PeImageEnd(const Bytes& file) {
  auto fail = [](const std::string& why) -> size_t {
    throw PackError("the stub is not a Windows executable: " + why);
  };
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') return fail("no MZ header");
  size_t pe = GetU32(&file[0x3C]);
  if (pe > file.size() || file.size() - pe < 24) return fail("the PE header is missing");
  if (std::memcmp(&file[pe], "PE\0\0", 4) != 0) return fail("no PE signature");
  size_t sections = GetU16(&file[pe + 6]);
  size_t symbolTable = GetU32(&file[pe + 12]);
  size_t symbols = GetU32(&file[pe + 16]);
  size_t optionalSize = GetU16(&file[pe + 20]);
  size_t table = pe + 24 + optionalSize;
  if (sections == 0) return fail("it has no sections");
  if (table + sections * 40 > file.size()) return fail("the section table is cut short");

  size_t end = table + sections * 40;
  for (size_t i = 0; i < sections; ++i) {
    const uint8_t* s = &file[table + i * 40];
    size_t rawSize = GetU32(s + 16);
    size_t rawPointer = GetU32(s + 20);
    if (rawSize != 0) end = std::max(end, rawPointer + rawSize);
  }
  if (symbolTable != 0) {
    size_t strings = symbolTable + symbols * 18;
    size_t symbolsEnd = strings;
    if (strings + 4 <= file.size()) symbolsEnd += GetU32(&file[strings]);
    end = std::max(end, symbolsEnd);
  }
  return end;
}

}  // namespace

size_t FindLocator(const Bytes& file) {
  const char* sig = DATA_LOCATOR_SIGNATURE;
  std::vector<size_t> found;
  auto it = file.begin();
  while ((it = std::search(it, file.end(), sig, sig + DATA_LOCATOR_SIGNATURE_SIZE)) != file.end()) {
    found.push_back(size_t(it - file.begin()));
    ++it;
  }
  if (found.empty()) throw PackError("no DataLocator signature \"wwgT)H\" in the file");
  if (found.size() > 1)
    throw PackError("the DataLocator signature occurs " + std::to_string(found.size()) +
                    " times (at " + std::to_string(found[0]) + " and " +
                    std::to_string(found[1]) + "); it must be unique");
  if (file.size() - found[0] < kLocatorSize)
    throw PackError("the DataLocator at offset " + std::to_string(found[0]) +
                    " is cut short by the end of the file");
  return found[0];
}

StubLayout InspectStub(const Bytes& stub) {
  StubLayout layout;
  layout.imageEnd = PeImageEnd(stub);
  layout.locatorOffset = FindLocator(stub);
  layout.dataOffset = GetU32(&stub[layout.locatorOffset + DATA_LOCATOR_SIGNATURE_SIZE]);
  return layout;
}

namespace {

// The stub's layout, refusing a stub that carries data or is cut short.
StubLayout FreshStub(const Bytes& stub) {
  StubLayout layout = InspectStub(stub);
  if (layout.dataOffset != 0)
    throw PackError("the stub already carries data (dataOffset is " +
                    std::to_string(layout.dataOffset) + "); pack a fresh stub");
  if (stub.size() > layout.imageEnd)
    throw PackError("the stub already carries data: " +
                    std::to_string(stub.size() - layout.imageEnd) +
                    " bytes follow its last section; pack a fresh stub");
  if (stub.size() < layout.imageEnd)
    throw PackError("the stub is cut short: its sections end at " +
                    std::to_string(layout.imageEnd) + " but the file has " +
                    std::to_string(stub.size()) + " bytes");
  return layout;
}

}  // namespace

Bytes PackStub(const Bytes& stub, const Bytes& block) {
  StubLayout layout = FreshStub(stub);
  if (stub.size() + block.size() > 0xFFFFFFFFu)
    throw PackError("the packed file would exceed 4 GiB");

  Bytes out = stub;
  // The level follows the keys of the block the image goes out with.
  ParsedBlock parsed = ParseBlock(block.data(), block.size());
  BlockView keys(parsed.data);
  SetExecutionLevel(out.data(), uint32_t(stub.size()), keys.data.keys, keys.data.keyCount);
  uint32_t offset = uint32_t(stub.size());
  for (int i = 0; i < 4; ++i)
    out[layout.locatorOffset + DATA_LOCATOR_SIGNATURE_SIZE + i] = uint8_t(offset >> (8 * i));
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

Bytes BuildTemplate(const UninstallData& data, unsigned codepage,
                    const std::vector<BlockForced>& forced) {
  BlockView view(data);
  TemplateHeader header = {TEMPLATE_VERSION, codepage,
                           data.keyChunks == KeyChunks::Appended ? uint32_t(TEMPLATE_KEYS_APPENDED) : 0};
  // The rules' tables go with the template: the finisher judges the
  // finished data by them.
  unsigned rulesSize = 0;
  const uint8_t* rules = DefaultRuleTables(&rulesSize);
  if (!rules) throw PackError("the rules' tables do not fit their buffer");
  ByteSink sink = {nullptr, 0, 0, 0};
  int status = BuildTemplateBlock(&header, &view.data, forced.data(), uint32_t(forced.size()), rules,
                                  rulesSize, &sink);
  if (status != BUILD_NO_ROOM) throw PackError(BuildReason(status));
  Bytes block(sink.size);
  sink = ByteSink{block.data(), uint32_t(block.size()), 0, 0};
  status = BuildTemplateBlock(&header, &view.data, forced.data(), uint32_t(forced.size()), rules, rulesSize,
                              &sink);
  if (status != BUILD_OK) throw PackError(BuildReason(status));
  return block;
}

Bytes PackTemplate(const Bytes& stub, const Bytes& templateBlock) {
  FreshStub(stub);
  if (stub.size() + templateBlock.size() + TEMPLATE_TRAILER_SIZE > 0xFFFFFFFFu)
    throw PackError("the template would exceed 4 GiB");
  Bytes out = stub;
  // The template's own choice, from the keys it spells out; the finisher
  // decides again from the resolved ones.
  TemplateRead read = ReadTemplateData(templateBlock.data(), uint32_t(templateBlock.size()));
  BlockView keys(read.data);
  SetExecutionLevel(out.data(), uint32_t(stub.size()), keys.data.keys, keys.data.keyCount);
  out.insert(out.end(), templateBlock.begin(), templateBlock.end());
  uint8_t trailer[TEMPLATE_TRAILER_SIZE];
  ByteSink sink = {trailer, sizeof trailer, 0, 0};
  SinkTemplateTrailer(&sink, uint32_t(stub.size()));
  out.insert(out.end(), trailer, trailer + sizeof trailer);
  return out;
}

TemplateRead ReadTemplateData(const uint8_t* block, uint32_t size) {
  TemplateRead r;
  TemplateContents t = TemplateContents();
  r.status = ReadTemplateBlock(block, size, &t, &r.problem);
  if (r.status != READ_OK) return r;
  std::vector<BlockText> strings(t.data.stringCount);
  std::vector<BlockFile> files(t.data.fileCount);
  std::vector<BlockShortcut> shortcuts(t.data.shortcutCount);
  std::vector<BlockKey> keys(t.data.keyCount);
  r.forced.resize(t.forcedCount);
  t.data = BlockData{strings.data(), uint32_t(strings.size()), files.data(), uint32_t(files.size()),
                     shortcuts.data(), uint32_t(shortcuts.size()), keys.data(), uint32_t(keys.size()), 0};
  t.forced = r.forced.data();
  t.forcedCount = uint32_t(r.forced.size());
  r.status = ReadTemplateBlock(block, size, &t, &r.problem);
  if (r.status != READ_OK) return r;
  r.header = t.header;
  auto text = [](const BlockText& b) { return std::string(b.bytes, b.length); };
  for (const BlockText& b : strings) r.data.strings.push_back(text(b));
  for (const BlockFile& f : files) r.data.files.push_back({text(f.dir), text(f.name), f.flags});
  for (const BlockShortcut& c : shortcuts) r.data.shortcuts.push_back({text(c.dir), text(c.name)});
  for (const BlockKey& k : keys) r.data.keys.push_back({k.root, text(k.path)});
  r.data.keyChunks = t.data.keysAppended ? KeyChunks::Appended : KeyChunks::List;
  // The reader has checked that each forced record names an entry.
  for (const BlockForced& f : r.forced) {
    if (f.list == LIST_FILES) r.data.files[f.index].force = true;
    if (f.list == LIST_SHORTCUTS) r.data.shortcuts[f.index].force = true;
    if (f.list == LIST_KEYS) r.data.keys[f.index].force = true;
  }
  return r;
}

}  // namespace sweepkit
