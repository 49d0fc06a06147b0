#include "tools/writer/writer.h"

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
// Checks

namespace {

constexpr size_t kMaxCounted = 0xFFFF;
constexpr size_t kMaxRecordStrings = RECORD_SCRATCH_SIZE - 2;  // 518
constexpr size_t kMaxKeyPath = RECORD_SCRATCH_SIZE - 1;        // 519

bool EndsInBackslash(const std::string& s) { return !s.empty() && s.back() == '\\'; }

// What the stub's formatter makes of a text that holds "%s": the number of
// %s conversions, whether any other conversion occurs, and the length of
// the result with a path of pathLength bytes.
struct FormatScan {
  int slots = 0;
  bool other = false;
  size_t length = 0;
};

FormatScan ScanFormat(const std::string& text, size_t pathLength) {
  FormatScan scan;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      ++scan.length;
      continue;
    }
    char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (next == '%') {
      ++scan.length;
      ++i;
    } else if (next == 's') {
      ++scan.slots;
      scan.length += pathLength;
      ++i;
    } else {
      scan.other = true;
    }
  }
  return scan;
}

void CheckCounted(std::vector<Issue>& issues, const std::string& entry, const std::string& s) {
  if (s.find('\0') != std::string::npos) issues.push_back({true, entry + ": contains a zero byte"});
  if (s.size() > kMaxCounted)
    issues.push_back({true, entry + ": " + std::to_string(s.size()) +
                                " bytes long; a string holds at most 65535"});
}

void CheckText(std::vector<Issue>& issues, int index, const std::string& text) {
  std::string entry = std::string("strings.") + kStringNames[index];
  CheckCounted(issues, entry, text);
  if (index < STR_OUT_OF_MEMORY) return;  // never formatted, shown as stored

  // The stub formats a text as soon as "%s" occurs anywhere in it.
  if (text.find("%s") == std::string::npos) {
    if (text.size() > kMaxMessage)
      issues.push_back({true, entry + ": longer than 1023 bytes (" +
                                  std::to_string(text.size()) + ")"});
    return;
  }
  FormatScan scan = ScanFormat(text, kMaxPath);
  if (scan.other) {
    issues.push_back(
        {true, entry + ": holds a conversion other than one %s (use %% for a percent sign)"});
    return;
  }
  if (scan.slots == 0) {
    issues.push_back({true, entry + ": holds %s only as part of %%s, so the path would not be "
                                    "shown; write a lone %s where the path goes"});
    return;
  }
  if (scan.slots > 1) {
    issues.push_back({true, entry + ": holds %s " + std::to_string(scan.slots) +
                                " times; it is formatted with one path"});
    return;
  }
  if (scan.length > kMaxMessage)
    issues.push_back({true, entry + ": longer than 1023 bytes once a 259-byte path is put in "
                                    "place of %s (" + std::to_string(scan.length) + ")"});
}

}  // namespace

size_t ComposedFilePathLength(const std::string& dir, const std::string& name,
                              size_t installDirLength) {
  size_t resolved;
  bool endsInBackslash;
  if (!dir.empty() && dir[0] == '.') {
    // A leading dot stands for the install dir (which ends in a backslash);
    // only ".\rest" keeps the rest.
    std::string rest = dir.size() >= 2 && dir[1] == '\\' ? dir.substr(2) : std::string();
    resolved = installDirLength + rest.size();
    endsInBackslash = rest.empty() ? installDirLength > 0 : EndsInBackslash(rest);
  } else {
    resolved = dir.size();
    endsInBackslash = EndsInBackslash(dir);
  }
  if (name.empty()) return resolved;
  return resolved + (resolved > 0 && !endsInBackslash ? 1 : 0) + name.size();
}

size_t ComposedShortcutPathLength(const std::string& dir, const std::string& name) {
  if (name.empty()) return dir.size();  // only the folder is removed
  return dir.size() + (!dir.empty() && !EndsInBackslash(dir) ? 1 : 0) + name.size();
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
    CheckCounted(issues, entry + ".dir", f.dir);
    CheckCounted(issues, entry + ".name", f.name);
    if (f.dir.size() + f.name.size() > kMaxRecordStrings) {
      issues.push_back({true, entry + ": dir and name together exceed 518 bytes"});
      continue;
    }
    if (!f.dir.empty() && f.dir[0] == '.') {
      size_t shortest = ComposedFilePathLength(f.dir, f.name, kShortestInstallDir);
      size_t typical = ComposedFilePathLength(f.dir, f.name, kTypicalInstallDir);
      if (shortest > kMaxPath) {
        issues.push_back({true, entry + ": its path is " + std::to_string(shortest) +
                                    " bytes even in the install dir \"C:\\\"; at most 259 fit"});
      } else if (typical > kMaxPath) {
        issues.push_back(
            {false, entry + ": its path fits only an install dir of at most " +
                        std::to_string(kMaxPath - (shortest - kShortestInstallDir)) +
                        " bytes; in a deeper one the uninstaller skips it"});
      }
    } else {
      size_t length = ComposedFilePathLength(f.dir, f.name, 0);
      if (length > kMaxPath)
        issues.push_back({true, entry + ": its path is " + std::to_string(length) +
                                    " bytes long; at most 259 fit"});
    }
  }

  for (size_t i = 0; i < data.shortcuts.size(); ++i) {
    const ShortcutEntry& s = data.shortcuts[i];
    if (s.broken) continue;
    std::string entry = "shortcuts[" + std::to_string(i) + "]";
    CheckCounted(issues, entry + ".dir", s.dir);
    CheckCounted(issues, entry + ".name", s.name);
    if (s.dir.size() + s.name.size() > kMaxRecordStrings) {
      issues.push_back({true, entry + ": dir and name together exceed 518 bytes"});
      continue;
    }
    size_t length = ComposedShortcutPathLength(s.dir, s.name);
    if (length > kMaxPath)
      issues.push_back({true, entry + ": its path is " + std::to_string(length) +
                                  " bytes long; at most 259 fit"});
  }

  for (size_t i = 0; i < data.keys.size(); ++i) {
    const KeyEntry& k = data.keys[i];
    if (k.broken) continue;
    std::string entry = "keys[" + std::to_string(i) + "]";
    CheckCounted(issues, entry + ".path", k.path);
    if (k.path.empty())
      issues.push_back({true, entry + ".path: is empty; it would name the root key itself"});
    else if (k.path.size() > kMaxKeyPath)
      issues.push_back({true, entry + ".path: longer than 519 bytes"});
  }
  if (data.keyChunks == KeyChunks::Appended && data.keys.size() > KEY_SPARE_ENTRIES)
    issues.push_back({true, "keys: " + std::to_string(data.keys.size()) +
                                " keys, but appended key chunks hold at most 3"});
  return issues;
}

// ---------------------------------------------------------------------------
// Block

namespace {

void PutCounted(Bytes& out, const std::string& s) {
  if (s.size() > kMaxCounted) throw PackError("a string of " + std::to_string(s.size()) +
                                              " bytes does not fit a counted string");
  PutU16(out, uint16_t(s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

void PutChunk(Bytes& out, uint16_t tag, const Bytes& payload) {
  PutU32(out, tag);  // high 16 bits written as 0
  PutU32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
}

void PutKey(Bytes& out, const KeyEntry& key) {
  PutU32(out, key.root);
  PutCounted(out, key.path);
}

}  // namespace

Bytes BuildBlock(const UninstallData& data) {
  if (data.strings.size() > 0xFFFF) throw PackError("too many texts");
  if (data.keyChunks == KeyChunks::Appended && data.keys.size() > KEY_SPARE_ENTRIES)
    throw PackError("appended key chunks hold at most 3 keys");

  Bytes block, payload;

  PutU16(payload, 1);  // groupCount
  PutU16(payload, uint16_t(data.strings.size()));
  for (const std::string& s : data.strings) PutCounted(payload, s);
  PutChunk(block, TAG_STRINGS, payload);

  // TAG_KEYS always carries its count, so that TAG_KEY chunks have a list
  // to extend even when it is empty.
  payload.clear();
  bool listed = data.keyChunks == KeyChunks::List;
  PutU32(payload, listed ? uint32_t(data.keys.size()) : 0);
  if (listed)
    for (const KeyEntry& k : data.keys) PutKey(payload, k);
  PutChunk(block, TAG_KEYS, payload);

  payload.clear();
  PutU32(payload, uint32_t(data.files.size()));
  for (const FileEntry& f : data.files) {
    // Written as is, a record without a name would be a directory entry.
    if (!f.hasName) throw PackError("a file record has no name");
    PutCounted(payload, f.dir);
    PutCounted(payload, f.name);
    payload.push_back(f.flags & (FILE_SHARED | FILE_FONT | FILE_SELFREG));
  }
  PutChunk(block, TAG_FILES, payload);

  payload.clear();
  PutU32(payload, uint32_t(data.shortcuts.size()));
  for (const ShortcutEntry& s : data.shortcuts) {
    PutCounted(payload, s.dir);
    PutCounted(payload, s.name);
  }
  PutChunk(block, TAG_SHORTCUTS, payload);

  if (!listed) {
    for (const KeyEntry& k : data.keys) {
      payload.clear();
      PutKey(payload, k);
      PutChunk(block, TAG_KEY, payload);
    }
  }

  PutChunk(block, TAG_END, Bytes());
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

Bytes PackStub(const Bytes& stub, const Bytes& block) {
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
  if (stub.size() + block.size() > 0xFFFFFFFFu)
    throw PackError("the packed file would exceed 4 GiB");

  Bytes out = stub;
  uint32_t offset = uint32_t(stub.size());
  for (int i = 0; i < 4; ++i)
    out[layout.locatorOffset + DATA_LOCATOR_SIGNATURE_SIZE + i] = uint8_t(offset >> (8 * i));
  out.insert(out.end(), block.begin(), block.end());
  return out;
}

}  // namespace sweepkit
