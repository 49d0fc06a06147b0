#include <gtest/gtest.h>

#include <algorithm>

#include "tests/cli/test_support.h"
#include "cli/block_reader.h"
#include "cli/manifest.h"
#include "cli/writer.h"

using namespace sweepkit;
using namespace sweepkit_test;

namespace {

UninstallData ExampleData() { return ParseManifest(ReadFile(ExampleManifestPath())).data; }

std::string Hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X ", p[i]);
    s += b;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

std::string Hex(const Bytes& v, size_t at, size_t n) {
  if (at + n > v.size()) return "(out of range)";
  return Hex(v.data() + at, n);
}

// The issues of one kind, joined for readable failure messages.
std::string Messages(const std::vector<Issue>& issues, bool errors) {
  std::string s;
  for (const Issue& i : issues)
    if (i.error == errors) s += i.message + "\n";
  return s;
}

UninstallData ValidBase() {
  UninstallData d;
  d.strings.assign(STR_COUNT, "text");
  return d;
}

}  // namespace

TEST(ExampleBlock, MatchesTheDocumentedLayout) {
  UninstallData data = ExampleData();
  Bytes block = BuildBlock(data);
  ASSERT_EQ(block.size(), 950u);

  ParsedBlock parsed = ParseBlock(block.data(), block.size());
  std::vector<size_t> offsets;
  for (const ChunkInfo& c : parsed.chunks) offsets.push_back(c.offset);
  EXPECT_EQ(offsets, (std::vector<size_t>{0, 476, 488, 611, 858, 942}));
  EXPECT_TRUE(parsed.problems.empty()) << parsed.problems.front();

  EXPECT_EQ(Hex(block, 0, 14), "34 12 00 00 D4 01 00 00 01 00 0B 00 09 00");
  EXPECT_EQ(std::string(block.begin() + 14, block.begin() + 23), "Uninstall");
  EXPECT_EQ(Hex(block, 476, 12), "37 12 00 00 04 00 00 00 00 00 00 00");
  EXPECT_EQ(Hex(block, 488, 17), "35 12 00 00 73 00 00 00 05 00 00 00 01 00 2E 0A 00");
  EXPECT_EQ(block[488 + 17 + 10], 0x00) << "flags of the first file record";
  EXPECT_EQ(Hex(block, 858, 14), "38 12 00 00 4C 00 00 00 02 00 00 80 46 00");
  EXPECT_EQ(Hex(block, 942, 8), "7F 7F 00 00 00 00 00 00");
}

TEST(ExampleBlock, FieldLengthsMatchTheDescription) {
  UninstallData data = ExampleData();
  std::vector<size_t> textLengths;
  for (const std::string& s : data.strings) textLengths.push_back(s.size());
  EXPECT_EQ(textLengths, (std::vector<size_t>{9, 90, 70, 4, 11, 3, 10, 14, 73, 74, 84}));

  ASSERT_EQ(data.files.size(), 5u);
  std::vector<size_t> dirs, names;
  for (const FileEntry& f : data.files) {
    dirs.push_back(f.dir.size());
    names.push_back(f.name.size());
    EXPECT_EQ(f.flags, 0);
  }
  EXPECT_EQ(dirs, (std::vector<size_t>{1, 1, 23, 1, 1}));
  EXPECT_EQ(names, (std::vector<size_t>{10, 9, 22, 9, 9}));

  ASSERT_EQ(data.shortcuts.size(), 3u);
  names.clear();
  for (const ShortcutEntry& s : data.shortcuts) {
    EXPECT_EQ(s.dir.size(), 48u) << s.dir;
    EXPECT_EQ(s.dir, data.shortcuts[0].dir);
    names.push_back(s.name.size());
  }
  EXPECT_EQ(names, (std::vector<size_t>{28, 22, 29}));

  ASSERT_EQ(data.keys.size(), 1u);
  EXPECT_EQ(data.keys[0].root, 0x80000002u);
  EXPECT_EQ(data.keys[0].path.size(), 70u);
  EXPECT_TRUE(ValidateData(data).empty()) << Messages(ValidateData(data), true);
}

TEST(ExampleBlock, PackedAfterASectionEndingAt0x9000) {
  Bytes stub = MinimalPe(0, 0x9000 - kSectionOffset);
  Bytes packed = PackStub(stub, BuildBlock(ExampleData()));
  EXPECT_EQ(packed.size(), 37814u);
  EXPECT_EQ(Hex(packed, kLocatorAt, 10), "77 77 67 54 29 48 00 90 00 00");
  EXPECT_TRUE(std::equal(stub.begin(), stub.begin() + kLocatorAt, packed.begin()))
      << "bytes before the locator changed";
  EXPECT_TRUE(std::equal(stub.begin() + kLocatorAt + 10, stub.end(), packed.begin() + kLocatorAt + 10))
      << "bytes after the locator changed";
}

TEST(BlockBuilder, ListModeRoundTripsEveryField) {
  UninstallData d = ValidBase();
  d.strings[STR_WRITE_PROTECTED] = "Protected: %s";
  d.files = {{".", "a.dll", FILE_SHARED | FILE_SELFREG}, {".\\fonts", "b.ttf", FILE_FONT}, {"D:\\x", "", 0}};
  d.shortcuts = {{"C:\\Menu\\App", "App.lnk"}, {"C:\\Menu\\App", ""}};
  d.keys = {{0x80000002u, "Software\\A"}, {0x80000001u, "Software\\B"}, {5, "C"}, {6, "D"}};
  Bytes block = BuildBlock(d);
  ParsedBlock p = ParseBlock(block.data(), block.size());

  std::vector<uint32_t> tags;
  for (const ChunkInfo& c : p.chunks) tags.push_back(c.tag);
  EXPECT_EQ(tags, (std::vector<uint32_t>{TAG_STRINGS, TAG_KEYS, TAG_FILES, TAG_SHORTCUTS, TAG_END}));
  EXPECT_TRUE(p.problems.empty()) << p.problems.front();
  EXPECT_EQ(p.end, block.size());
  EXPECT_EQ(p.data.strings, d.strings);
  ASSERT_EQ(p.data.files.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(p.data.files[i].dir, d.files[i].dir);
    EXPECT_EQ(p.data.files[i].name, d.files[i].name);
    EXPECT_EQ(p.data.files[i].flags, d.files[i].flags) << "file " << i;
  }
  ASSERT_EQ(p.data.shortcuts.size(), 2u);
  EXPECT_EQ(p.data.shortcuts[1].dir, "C:\\Menu\\App");
  EXPECT_EQ(p.data.shortcuts[1].name, "");
  ASSERT_EQ(p.data.keys.size(), 4u) << "list mode holds more keys than the 3 appended ones";
  EXPECT_EQ(p.data.keys[1].root, 0x80000001u);
  EXPECT_EQ(p.data.keys[3].path, "D");
}

TEST(BlockBuilder, EmptyDataStillWritesTheKeyListAndEnd) {
  Bytes block = BuildBlock(ValidBase());
  ParsedBlock p = ParseBlock(block.data(), block.size());
  ASSERT_EQ(p.chunks.size(), 5u);
  EXPECT_EQ(p.chunks[1].tag, uint32_t(TAG_KEYS));
  EXPECT_EQ(p.chunks[1].length, 4u) << "TAG_KEYS must carry its count even when empty";
  EXPECT_TRUE(p.complete);
}

TEST(BlockBuilder, RefusesWhatTheFormatCannotHold) {
  UninstallData d = ValidBase();
  d.files = {{std::string(70000, 'a'), "", 0}};
  EXPECT_THROW(BuildBlock(d), PackError);
  d = ValidBase();
  d.keyChunks = KeyChunks::Appended;
  d.keys.assign(4, {0x80000002u, "K"});
  EXPECT_THROW(BuildBlock(d), PackError);
}

// --- Checks of the texts ----------------------------------------------------

struct TextCase {
  int index;
  std::string text;
  const char* expected;  // substring of the refusal, or nullptr for none
};

TEST(ValidateTexts, FormattedTextsHoldOnePathSlotAndFitTheBuffer) {
  const TextCase cases[] = {
      {STR_WRITE_PROTECTED, "Read-only:\n%s\nRemove?", nullptr},
      {STR_WRITE_PROTECTED, "100%% sure about %s", nullptr},
      {STR_WRITE_PROTECTED, "%d files, no path slot", nullptr},  // verbatim: no %s
      {STR_WRITE_PROTECTED, "50% off", nullptr},
      {STR_SHARED_UNUSED, "%s is %d", "conversion other than one %s (use %% for a percent sign)"},
      {STR_SHARED_UNUSED, "%s %-20s", "conversion other than one %s"},
      {STR_SHARED_UNUSED, "%-20s", nullptr},  // no "%s" in it: shown verbatim
      {STR_SHARED_UNUSED, "%s at 100%", "conversion other than one %s"},
      {STR_OUT_OF_MEMORY, "%s and %s", "holds %s more than once"},
      // Formatted without a path; a mistake only where its author wrote it
      // (judged on the text as written, see LimitsAfterResolution).
      {STR_INVALID_INFO, "literal %%s only", nullptr},
      {STR_CAPTION, "%d %s %x", nullptr},  // texts 0-6 are never formatted
      {STR_NO_ALL, "%", nullptr},
      {STR_INVALID_INFO, std::string(764, 'x') + "%s", nullptr},  // 764 + 259 = 1023
      {STR_INVALID_INFO, std::string(765, 'x') + "%s",
       "longer than 1023 bytes once a 259-byte path is put in place of %s"},
      {STR_INVALID_INFO, std::string(762, 'x') + "%%%s", nullptr},  // %% counts as one byte
      {STR_OUT_OF_MEMORY, std::string(1023, 'x'), nullptr},
      {STR_OUT_OF_MEMORY, std::string(1024, 'x'), "longer than 1023 bytes"},
      {STR_CONFIRM, std::string(5000, 'x'), nullptr},
  };
  for (const TextCase& c : cases) {
    UninstallData d = ValidBase();
    d.strings[c.index] = c.text;
    std::string errors = Messages(ValidateData(d), true);
    std::string shown = c.text.size() > 40 ? std::to_string(c.text.size()) + "-byte text" : c.text;
    if (c.expected == nullptr) {
      EXPECT_EQ(errors, "") << "text " << c.index << ": " << shown;
    } else {
      EXPECT_NE(errors.find(std::string("strings.") + kStringNames[c.index] + ": "), std::string::npos)
          << "text " << c.index << ": " << shown << " gave: " << errors;
      EXPECT_NE(errors.find(c.expected), std::string::npos)
          << "text " << c.index << ": " << shown << " gave: " << errors;
    }
  }
}

TEST(ValidateTexts, ZeroBytesAndWrongCount) {
  UninstallData d = ValidBase();
  d.strings[STR_YES] = std::string("Y\0es", 4);
  EXPECT_EQ(Messages(ValidateData(d), true), "strings.yes: contains a zero byte\n");
  d = ValidBase();
  d.strings.resize(9);
  EXPECT_NE(Messages(ValidateData(d), true).find("holds 9 texts; 11 are needed"), std::string::npos);
}

// --- Checks of the records ------------------------------------------------

TEST(ValidateRecords, PathLengthsOfAbsoluteEntries) {
  std::string dir255 = "C:\\" + std::string(252, 'd');
  struct Case {
    FileEntry file;
    const char* expected;
  } cases[] = {
      {{dir255, "abc", 0}, nullptr},           // 255 + 1 + 3 = 259
      {{dir255, "abcd", 0}, "its path is 260 bytes long; at most 259 fit"},
      {{dir255 + "\\", "ab", 0}, nullptr},     // no second separator: 256 + 2
      {{dir255 + "\\", "abcd", 0}, "its path is 260 bytes"},
      {{std::string(259, 'r'), "", 0}, nullptr},  // a directory entry
      {{std::string(260, 'r'), "", 0}, "its path is 260 bytes"},
      {{"", std::string(259, 'n'), 0}, nullptr},  // bare name, no separator
      {{std::string(300, 'd'), std::string(219, 'n'), 0}, "dir and name together exceed 518 bytes"},
  };
  for (const Case& c : cases) {
    UninstallData d = ValidBase();
    d.files = {c.file};
    std::string errors = Messages(ValidateData(d), true);
    std::string what = std::to_string(c.file.dir.size()) + "+" + std::to_string(c.file.name.size());
    if (c.expected == nullptr)
      EXPECT_EQ(errors, "") << what;
    else
      EXPECT_NE(errors.find(std::string("files[0]: ") + c.expected), std::string::npos)
          << what << " gave: " << errors;
  }
}

TEST(ValidateRecords, InstallDirRelativeEntriesAreRefusedOrWarnedAbout) {
  struct Case {
    FileEntry file;
    bool error;
    bool warning;
  } cases[] = {
      {{".", std::string(195, 'n'), 0}, false, false},  // 64 + 195 = 259
      {{".", std::string(196, 'n'), 0}, false, true},
      {{".", std::string(256, 'n'), 0}, false, true},   // 3 + 256 = 259
      {{".", std::string(257, 'n'), 0}, true, false},
      {{".\\" + std::string(250, 's'), "ab", 0}, false, true},   // 3 + 250 + 1 + 2
      {{".\\" + std::string(253, 's'), "abcd", 0}, true, false},  // 3 + 253 + 1 + 4
      {{".\\" + std::string(254, 's') + "\\", "", 0}, false, true},  // directory: 3 + 255
      {{".\\" + std::string(257, 's'), "", 0}, true, false},         // 3 + 257
      {{"..\\" + std::string(400, 's'), "a", 0}, false, false},  // the rest after ".." is ignored
      {{".cache" + std::string(300, 'c'), "", 0}, false, false},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    UninstallData d = ValidBase();
    d.files = {c.file};
    std::vector<Issue> issues = ValidateData(d);
    std::string errors = Messages(issues, true), warnings = Messages(issues, false);
    EXPECT_EQ(!errors.empty(), c.error) << "case " << i << ": " << errors;
    EXPECT_EQ(!warnings.empty(), c.warning) << "case " << i << ": " << warnings;
  }

  UninstallData d = ValidBase();
  d.files = {{".", std::string(200, 'n'), 0}};
  EXPECT_EQ(Messages(ValidateData(d), false),
            "files[0]: its path fits only an install dir of at most 59 bytes; in a deeper one "
            "the uninstaller skips it\n");
}

TEST(ValidateRecords, ShortcutsAndKeys) {
  UninstallData d = ValidBase();
  d.shortcuts = {{std::string(200, 'd'), std::string(58, 'n')},   // 259
                 {std::string(200, 'd'), std::string(59, 'n')},   // 260
                 {std::string(259, 'd'), ""},                     // folder only
                 {".", std::string(257, 'n')}};                   // no dot rule: 259
  d.keys = {{0x80000002u, std::string(519, 'k')},
            {0x80000002u, std::string(520, 'k')},
            {0x80000002u, ""},
            {0x80000002u, std::string("a\0b", 3)}};
  EXPECT_EQ(Messages(ValidateData(d), true),
            "shortcuts[1]: its path is 260 bytes long; at most 259 fit\n"
            "keys[1].path: longer than 519 bytes\n"
            "keys[2].path: is empty; it would name the root key itself\n"
            "keys[3].path: contains a zero byte\n");

  d = ValidBase();
  d.keyChunks = KeyChunks::Appended;
  d.keys.assign(3, {0x80000002u, "K"});
  EXPECT_EQ(Messages(ValidateData(d), true), "");
  d.keys.push_back({0x80000002u, "K"});
  EXPECT_EQ(Messages(ValidateData(d), true), "keys: 4 keys, but appended key chunks hold at most 3\n");
}

// --- Packing into a stub -----------------------------------------------------

TEST(PackStub, PatchesTheOffsetAndAppendsTheBlock) {
  Bytes stub = MinimalPe();
  Bytes block = {1, 2, 3, 4, 5};
  Bytes packed = PackStub(stub, block);
  ASSERT_EQ(packed.size(), stub.size() + block.size());
  EXPECT_EQ(GetU32(&packed[kLocatorAt + 6]), stub.size());
  EXPECT_TRUE(std::equal(block.begin(), block.end(), packed.begin() + stub.size()));
  EXPECT_EQ(InspectStub(packed).dataOffset, stub.size());
}

TEST(PackStub, AcceptsACoffSymbolTableAfterTheSections) {
  Bytes stub = MinimalPe();
  uint32_t symbols = uint32_t(stub.size());
  for (int i = 0; i < 4; ++i) stub[0x40 + 12 + i] = uint8_t(symbols >> (8 * i));
  stub[0x40 + 16] = 2;                 // two 18-byte symbols
  stub.resize(stub.size() + 36, 0xAA);
  PutU32(stub, 10);                    // string table: its size, then 6 bytes
  stub.resize(stub.size() + 6, 'x');
  EXPECT_EQ(InspectStub(stub).imageEnd, stub.size());
  EXPECT_NO_THROW(PackStub(stub, {1}));
}

TEST(PackStub, RefusesStubsItCannotUse) {
  struct Case {
    const char* what;
    Bytes stub;
    const char* expected;
  };
  Bytes twoSignatures = MinimalPe();
  std::memcpy(&twoSignatures[kSectionOffset + 0x100], "wwgT)H", 6);
  Bytes noSignature = MinimalPe();
  noSignature[kLocatorAt] = 'x';
  Bytes trailing = MinimalPe();
  trailing.push_back(0);
  Bytes cut = MinimalPe();
  cut.resize(cut.size() - 1);
  Bytes notPe(600, 0);
  std::memcpy(&notPe[100], "wwgT)H\0\0\0\0", 10);
  const Case cases[] = {
      {"two signatures", twoSignatures, "occurs 2 times"},
      {"no signature", noSignature, "no DataLocator signature"},
      {"dataOffset set", MinimalPe(0x400), "already carries data (dataOffset is 1024)"},
      {"bytes after the last section", trailing, "already carries data: 1 bytes follow its last section"},
      {"cut short", cut, "the stub is cut short"},
      {"not a PE image", notPe, "not a Windows executable: no MZ header"},
  };
  for (const Case& c : cases) {
    try {
      PackStub(c.stub, {1, 2, 3});
      ADD_FAILURE() << c.what << ": packed without complaint";
    } catch (const PackError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
}

// --- The strict reader ------------------------------------------------------

TEST(ParseBlock, EveryCutOfTheExampleIsReportedDamaged) {
  Bytes block = BuildBlock(ExampleData());
  for (size_t cut = 0; cut < block.size(); ++cut) {
    ParsedBlock p = ParseBlock(block.data(), cut);
    ASSERT_FALSE(p.complete) << "cut at " << cut;
    ASSERT_FALSE(p.problems.empty()) << "cut at " << cut;
    ASSERT_EQ(p.problems.back().rfind("damaged: ", 0), 0u) << "cut at " << cut << ": " << p.problems.back();
  }
}

TEST(ParseBlock, ReportsBreachesOfTheFormat) {
  auto chunk = [](Bytes& b, uint32_t tag, const Bytes& payload) {
    PutU32(b, tag);
    PutU32(b, uint32_t(payload.size()));
    b.insert(b.end(), payload.begin(), payload.end());
  };
  Bytes strings;
  PutU16(strings, 1);
  PutU16(strings, 0);
  Bytes key;
  PutU32(key, 0x80000002u);
  PutU16(key, 1);
  key.push_back('K');
  Bytes emptyKeys = {0, 0, 0, 0};
  Bytes shortFiles = {1, 0, 0, 0, 5, 0, 'a'};  // a dir of 5 bytes in a 7-byte payload

  struct Case {
    const char* what;
    Bytes block;
    const char* expected;
  } cases[4];
  cases[0].what = "TAG_KEY first";
  chunk(cases[0].block, TAG_STRINGS, strings);
  chunk(cases[0].block, TAG_KEY, key);
  chunk(cases[0].block, TAG_END, {});
  cases[0].expected = "comes before any TAG_KEYS chunk";
  cases[1].what = "four TAG_KEY";
  chunk(cases[1].block, TAG_STRINGS, strings);
  chunk(cases[1].block, TAG_KEYS, emptyKeys);
  for (int i = 0; i < 4; ++i) chunk(cases[1].block, TAG_KEY, key);
  chunk(cases[1].block, TAG_END, {});
  cases[1].expected = "more than 3 TAG_KEY chunks";
  cases[2].what = "records longer than the chunk";
  chunk(cases[2].block, TAG_STRINGS, strings);
  chunk(cases[2].block, TAG_FILES, shortFiles);
  chunk(cases[2].block, TAG_END, {});
  cases[2].expected = "damaged: TAG_FILES chunk at +12: its records need more than its length 7";
  cases[3].what = "no TAG_END";
  chunk(cases[3].block, TAG_STRINGS, strings);
  cases[3].expected = "(no TAG_END before it)";

  for (const Case& c : cases) {
    ParsedBlock p = ParseBlock(c.block.data(), c.block.size());
    std::string all;
    for (const std::string& s : p.problems) all += s + "\n";
    EXPECT_NE(all.find(c.expected), std::string::npos) << c.what << ": " << all;
  }
}

TEST(ParseBlock, FollowsTheLoaderOnUnknownAndEmptyChunks) {
  Bytes b;
  PutU32(b, 0x4242);  // unknown: skipped by its length
  PutU32(b, 3);
  b.insert(b.end(), {9, 9, 9});
  PutU32(b, TAG_FILES);  // length 0: no effect
  PutU32(b, 0);
  PutU32(b, 0x00011235);  // high bits set: still TAG_FILES
  PutU32(b, 4 + 2 + 1 + 2 + 1 + 1);
  PutU32(b, 1);
  PutU16(b, 1);
  b.push_back('.');
  PutU16(b, 1);
  b.push_back('x');
  b.push_back(FILE_FONT);
  PutU32(b, TAG_END);
  PutU32(b, 2);  // a payload of its own, skipped
  b.insert(b.end(), {7, 7});
  b.push_back(0xEE);  // never read

  ParsedBlock p = ParseBlock(b.data(), b.size());
  EXPECT_TRUE(p.complete);
  EXPECT_EQ(p.end, b.size() - 1);
  ASSERT_EQ(p.data.files.size(), 1u);
  EXPECT_EQ(p.data.files[0].name, "x");
  EXPECT_EQ(p.data.files[0].flags, FILE_FONT);
  std::string all;
  for (const std::string& s : p.problems) all += s + "\n";
  EXPECT_EQ(all,
            "unknown chunk at +0: TAG_STRINGS does not come first\n"
            "unknown chunk at +0: a tag the stub does not know, skipped\n"
            "TAG_FILES chunk at +11: an empty chunk, which the stub skips\n"
            "TAG_FILES chunk at +19: the tag's high 16 bits are not 0\n"
            "TAG_END chunk at +38: TAG_END has a payload of 2 bytes\n"
            "1 byte follows the TAG_END chunk at +38\n"
            "no TAG_STRINGS chunk\n"
            "no TAG_SHORTCUTS chunk\n"
            "no TAG_KEYS chunk\n");

  // An end chunk whose length runs past the file still ends the block there,
  // as it does for the stub.
  Bytes e(b.begin(), b.begin() + 38);
  PutU32(e, TAG_END);
  PutU32(e, 0xFFFFFFF0u);
  p = ParseBlock(e.data(), e.size());
  EXPECT_TRUE(p.complete);
  EXPECT_EQ(p.end, e.size());
  ASSERT_FALSE(p.problems.empty());
  EXPECT_EQ(p.problems.back(), "TAG_END chunk at +38: TAG_END has a length of 4294967280, past the end of the file");
}
