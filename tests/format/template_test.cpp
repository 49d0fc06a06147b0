// The block library shared with the finisher: the stub-style block writer,
// folder constants in manifest text, the resolver and the template block.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/cli/test_support.h"
#include "cli/codepage.h"
#include "cli/constants.h"
#include "cli/manifest.h"
#include "format/template.h"

using namespace sweepkit;
using namespace sweepkit_test;

namespace {

std::string Hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

BlockText View(const std::string& s) { return BlockText{s.data(), uint32_t(s.size())}; }

std::string TemplateOf(const std::string& utf8, unsigned codepage = 1252) {
  std::string out;
  if (!ToTemplateString(utf8, codepage, &out)) return "(does not convert)";
  return out;
}

}  // namespace

// The writer that the finisher links produces byte for byte what the
// host packer wrote before it existed (the fuzz corpus was written then).
TEST(BlockWriter, SameBytesAsThePackersEarlierOutput) {
  UninstallData example = ParseManifest(ReadFile(ExampleManifestPath())).data;
  Bytes block = BuildBlock(example);
  EXPECT_EQ(std::string(block.begin(), block.end()), ReadFile(SWEEPKIT_CORPUS_DIR "/example"));

  UninstallData listed = example;  // as the corpus generator varies it
  listed.keyChunks = KeyChunks::List;
  listed.files[0].flags = FILE_SHARED | FILE_SELFREG;
  listed.files[1].flags = FILE_FONT;
  listed.files.push_back({".\\data", "", 0});
  listed.keys.push_back({0x80000001u, "Software\\Vantor"});
  block = BuildBlock(listed);
  EXPECT_EQ(std::string(block.begin(), block.end()), ReadFile(SWEEPKIT_CORPUS_DIR "/listed"));

  // Every buffer short of the size is refused without a byte written past
  // its end; the measured size is the same whatever the buffer.
  BlockView view(example);
  std::vector<uint8_t> buffer(block.size() + 1);
  for (uint32_t capacity = 0; capacity < 950; ++capacity) {
    std::fill(buffer.begin(), buffer.end(), 0xAA);
    ByteSink sink = {buffer.data(), capacity, 0, 0};
    ASSERT_EQ(BuildDataBlock(&view.data, &sink), BUILD_NO_ROOM) << "capacity " << capacity;
    ASSERT_EQ(sink.size, 950u) << "capacity " << capacity;
    ASSERT_EQ(buffer[capacity], 0xAA) << "written past a capacity of " << capacity;
  }
}

// Manifest text to template string: which braces are constants, in UTF-8,
// before any code page conversion. Display turns the template back into
// text that reads as the same template.
TEST(Constants, RecognisedInManifestTextOnly) {
  struct Case {
    const char* text;
    unsigned codepage;
    const char* bytes;  // the template string in hex
    const char* shown;  // nullptr: shown as written
  } cases[] = {
      {"{app}", 1252, "00 01", nullptr},
      {"{sys}\\common.dll", 1252, "00 03 5C 63 6F 6D 6D 6F 6E 2E 64 6C 6C", nullptr},
      {"{cf}{pf}", 1252, "00 0C 00 0B", nullptr},
      {"{group}", 1252, "00 FF 05 67 72 6F 75 70", nullptr},
      {"{APP}", 1252, "00 FF 03 41 50 50", nullptr},  // names are exact: a named constant
      {"{a_1}", 1252, "00 FF 03 61 5F 31", nullptr},
      {"{{app}", 1252, "7B 61 70 70 7D", nullptr},
      {"{{{app}", 1252, "7B 00 01", nullptr},
      {"a{{", 1252, "61 7B", "a{"},  // nothing after it reads as a constant
      {"{{{{x", 1252, "7B 7B 78", "{{{x"},  // reads back the same
      {"{0002-C0}", 1252, "7B 30 30 30 32 2D 43 30 7D", nullptr},  // a GUID stays
      {"{app", 1252, "7B 61 70 70", nullptr},
      {"{}", 1252, "7B 7D", nullptr},
      {"}{", 1252, "7D 7B", nullptr},
      {"{ app }", 1252, "7B 20 61 70 70 20 7D", nullptr},
      {"{a{app}}", 1252, "7B 61 00 01 7D", nullptr},
      {"x{ü}", 1252, "78 7B FC 7D", nullptr},
      // Shift-JIS: these letters end in the bytes of '{', '}' and '\'.
      {"{app}\\ボマ表\\{sys}", 932, "00 01 5C 83 7B 83 7D 95 5C 5C 00 03", nullptr},
      {"ボ{win}マ", 932, "83 7B 00 02 83 7D", nullptr},
      {"{ボ}", 932, "7B 83 7B 7D", nullptr},
  };
  for (const Case& c : cases) {
    std::string t = TemplateOf(c.text, c.codepage);
    EXPECT_EQ(Hex(t), c.bytes) << c.text;
    std::string shown = TemplateToUtf8(t, c.codepage);
    EXPECT_EQ(shown, c.shown ? c.shown : c.text) << c.text;
    EXPECT_EQ(Hex(TemplateOf(shown, c.codepage)), c.bytes) << c.text << " shown as " << shown;
  }
  // A name longer than a token holds is no constant.
  std::string longName = "{" + std::string(256, 'n') + "}";
  EXPECT_EQ(TemplateOf(longName), longName);
  EXPECT_EQ(Hex(TemplateOf("{" + std::string(255, 'n') + "}").substr(0, 3)), "00 FF FF");
}

namespace {

// Upper-cases ASCII letters and refuses 0xFF: tells literal bytes (which
// pass through the converter) from values (which do not).
int Shout(void*, const char* in, uint32_t length, char* out, uint32_t capacity, uint32_t* written) {
  if (length > capacity) return -1;
  for (uint32_t i = 0; i < length; ++i) {
    if ((unsigned char)in[i] == 0xFF) return 0;
    out[i] = in[i] >= 'a' && in[i] <= 'z' ? char(in[i] - 32) : in[i];
  }
  *written = length;
  return 1;
}

struct Resolved {
  int status;
  std::string text;     // or the missing constant's name
};

Resolved Resolve(const std::string& templ, int role, LiteralConverter convert = nullptr,
                 uint32_t capacity = 4096) {
  static const std::string app = "C:\\Program Files\\Vantor", win = "C:\\WINDOWS", sys = "C:\\",
                           group = "Vantor 100%", root = "D:\\", sale = "50%sale";
  ConstantTable table = ConstantTable();
  table.builtin[CONST_APP] = View(app);
  table.builtin[CONST_WIN] = View(win);
  table.builtin[CONST_SYS] = View(sys);
  NamedValue named[] = {{"group", 5, View(group)}, {"root", 4, View(root)}, {"sale", 4, View(sale)}};
  table.named = named;
  table.namedCount = 3;
  std::vector<char> out(capacity + 1, '#');
  uint32_t length = 0;
  ResolveProblem problem;
  BlockText text = View(templ);
  int status = ResolveTemplateString(&text, role, &table, convert, nullptr, out.data(), capacity,
                                     &length, &problem);
  if (out[capacity] != '#') return {-1, "wrote past the buffer"};
  if (status == RESOLVE_UNKNOWN_CONSTANT)
    return {status, std::string(problem.name.bytes, problem.name.length)};
  return {status, status == RESOLVE_OK ? std::string(out.data(), length) : std::string()};
}

}  // namespace

TEST(Resolver, FolderRulesPercentsAndMissingConstants) {
  struct Case {
    int role;
    const char* text;
    int status;
    const char* expected;  // the result, or the missing constant's name
  } cases[] = {
      {ROLE_FILE_DIR, "{app}", RESOLVE_OK, "."},
      {ROLE_FILE_DIR, "{app}\\data\\{group}", RESOLVE_OK, ".\\data\\Vantor 100%"},
      {ROLE_FILE_DIR, "{app}\\", RESOLVE_OK, ".\\"},
      {ROLE_FILE_DIR, "{app}data", RESOLVE_OK, "C:\\Program Files\\Vantordata"},
      {ROLE_FILE_DIR, "{win}\\{app}", RESOLVE_OK, "C:\\WINDOWS\\C:\\Program Files\\Vantor"},
      {ROLE_PATH, "{app}", RESOLVE_OK, "C:\\Program Files\\Vantor"},
      {ROLE_PATH, "{app}\\Docs", RESOLVE_OK, "C:\\Program Files\\Vantor\\Docs"},
      {ROLE_PATH, "{sys}\\common.dll", RESOLVE_OK, "C:\\common.dll"},  // drive root
      {ROLE_FILE_DIR, "{sys}", RESOLVE_OK, "C:\\"},
      {ROLE_PATH, "{sys}x", RESOLVE_OK, "C:\\x"},
      {ROLE_PATH, "{root}\\{sys}\\x", RESOLVE_OK, "D:\\C:\\x"},
      {ROLE_PATH, "{sys}\\\\x", RESOLVE_OK, "C:\\\\x"},  // only the value's backslash goes
      {ROLE_FORMATTED_TEXT, "{group}: %s", RESOLVE_OK, "Vantor 100%%: %s"},
      {ROLE_FORMATTED_TEXT, "{group}", RESOLVE_OK, "Vantor 100%"},  // shown verbatim
      // A value's %s makes the stub format a text without one: every %
      // doubled, the text's own ones too, so that it shows as resolved.
      {ROLE_FORMATTED_TEXT, "{group} {sale}", RESOLVE_OK, "Vantor 100%% 50%%sale"},
      {ROLE_FORMATTED_TEXT, "100% {sale}", RESOLVE_OK, "100%% 50%%sale"},
      {ROLE_FORMATTED_TEXT, "{group}s", RESOLVE_OK, "Vantor 100%%s"},  // %s across the joint
      {ROLE_FORMATTED_TEXT, "{sale}: %s", RESOLVE_OK, "50%%sale: %s"},
      {ROLE_TEXT, "{sale}", RESOLVE_OK, "50%sale"},
      {ROLE_TEXT, "{group} %s", RESOLVE_OK, "Vantor 100% %s"},      // never formatted
      {ROLE_PATH, "{group}%s", RESOLVE_OK, "Vantor 100%%s"},  // paths: no doubling
      {ROLE_PATH, "a{{b}", RESOLVE_OK, "a{b}"},
      {ROLE_PATH, "CLSID\\{00020400-0000}", RESOLVE_OK, "CLSID\\{00020400-0000}"},
      {ROLE_PATH, "{pf}\\x", RESOLVE_UNKNOWN_CONSTANT, "pf"},
      {ROLE_FILE_DIR, "{win}{nope}", RESOLVE_UNKNOWN_CONSTANT, "nope"},
      {ROLE_PATH, "{Group}", RESOLVE_UNKNOWN_CONSTANT, "Group"},
  };
  for (const Case& c : cases) {
    Resolved r = Resolve(TemplateOf(c.text), c.role);
    EXPECT_EQ(r.status, c.status) << c.text << " (role " << c.role << ")";
    EXPECT_EQ(r.text, c.expected) << c.text << " (role " << c.role << ")";
  }

  // Literal bytes go through the converter, values do not.
  EXPECT_EQ(Resolve(TemplateOf("{app}\\data"), ROLE_PATH, Shout).text,
            "C:\\Program Files\\Vantor\\DATA");
  EXPECT_EQ(Resolve(TemplateOf("{app}\\\xC3\xBF"), ROLE_PATH, Shout).status, RESOLVE_CONVERSION);
  // A malformed token is refused, never read past.
  EXPECT_EQ(Resolve(std::string("a\0", 2), ROLE_PATH).status, RESOLVE_BAD_TOKEN);
  EXPECT_EQ(Resolve(std::string("\0\xFF\x05gr", 5), ROLE_PATH).status, RESOLVE_BAD_TOKEN);
  EXPECT_EQ(Resolve(std::string("\0\x0D", 2), ROLE_PATH).status, RESOLVE_BAD_TOKEN);

  // Every buffer short of the result is refused without overrun.
  for (const char* text : {"{app}\\data\\{group}: %s", "{app}\\100% {sale}"}) {
    std::string templ = TemplateOf(text);
    std::string full = Resolve(templ, ROLE_FORMATTED_TEXT).text;
    for (uint32_t capacity = 0; capacity < full.size(); ++capacity)
      for (LiteralConverter convert : {LiteralConverter(nullptr), LiteralConverter(Shout)})
        ASSERT_EQ(Resolve(templ, ROLE_FORMATTED_TEXT, convert, capacity).status, RESOLVE_NO_ROOM)
            << text << ", capacity " << capacity;
  }
}

// The limits the finisher applies once the folders are known.
TEST(Resolver, LimitsAfterResolution) {
  std::string sys253 = "C:\\" + std::string(250, 's');
  ConstantValues values = {{"sys", sys253}, {"drive", "C:\\"}, {"programs", "C:\\P"},
                           {"group", std::string(254, 'g')}, {"pct", "%%%%"},
                           {"sale", "100% Gliders 50%sale"}};
  struct Case {
    const char* what;
    std::function<void(UninstallData&)> change;
    const char* error;  // nullptr: none
  } cases[] = {
      {"253 + 1 + 5", [](UninstallData& d) { d.files = {{"{sys}", "abcde", 0}}; }, nullptr},
      {"253 + 1 + 6", [](UninstallData& d) { d.files = {{"{sys}", "abcdef", 0}}; },
       "files[0]: its path is 260 bytes long"},
      {"drive root: 3 + 256", [](UninstallData& d) { d.files = {{"{drive}", std::string(256, 'n'), 0}}; },
       nullptr},
      {"drive root: 3 + 257", [](UninstallData& d) { d.files = {{"{drive}", std::string(257, 'n'), 0}}; },
       "files[0]: its path is 260 bytes long"},
      {"shortcut 4 + 1 + 254", [](UninstallData& d) { d.shortcuts = {{"{programs}\\{group}", ""}}; },
       nullptr},
      {"shortcut 260", [](UninstallData& d) { d.shortcuts = {{"{programs}\\{group}x", ""}}; },
       "shortcuts[0]: its path is 260 bytes long"},
      {"key path 519", [](UninstallData& d) { d.keys = {{0x80000002u, "{sys}" + std::string(266, 'k')}}; },
       nullptr},
      {"key path 520", [](UninstallData& d) { d.keys = {{0x80000002u, "{sys}" + std::string(267, 'k')}}; },
       "keys[0].path: longer than 519 bytes"},
      // Four percents doubled show as four: 760 + 4 + 259.
      {"doubled percents fit", [](UninstallData& d) {
         d.strings[STR_WRITE_PROTECTED] = std::string(760, 'x') + "{pct}%s"; }, nullptr},
      {"doubled percents overflow", [](UninstallData& d) {
         d.strings[STR_WRITE_PROTECTED] = std::string(761, 'x') + "{pct}%s"; },
       "strings.write_protected: longer than 1023 bytes"},
      {"a value's %s is not a slot", [](UninstallData& d) {
         d.strings[STR_SHARED_UNUSED] = "{group}%s {pct}"; }, nullptr},
      {"a value's % and %s in a text without a slot", [](UninstallData& d) {
         d.strings[STR_INVALID_INFO] = "Cannot uninstall {sale}."; }, nullptr},
      {"a slot the author hid in %%s", [](UninstallData& d) {
         d.strings[STR_INVALID_INFO] = "literal %%s only {sale}"; },
       "strings.invalid_info: holds %s only as part of %%s"},
      {"unknown", [](UninstallData& d) { d.strings[STR_DONE] = "{cf} gone"; },
       "strings.done: {cf} is not given (give it with --set cf=VALUE)"},
  };
  for (const Case& c : cases) {
    Manifest m;
    m.data.strings.assign(STR_COUNT, "text");
    c.change(m.data);
    // Through the manifest's own parsing of constants.
    for (std::string& s : m.data.strings) s = TemplateOf(s);
    for (FileEntry& f : m.data.files) f.dir = TemplateOf(f.dir);
    for (ShortcutEntry& s : m.data.shortcuts) s.dir = TemplateOf(s.dir);
    for (KeyEntry& k : m.data.keys) k.path = TemplateOf(k.path);
    std::vector<Issue> issues;
    UninstallData resolved = ResolveData(m.data, values, 1252, &issues);
    if (issues.empty()) issues = ValidateData(resolved);
    std::string errors;
    for (const Issue& i : issues)
      if (i.error) errors += i.message + "\n";
    if (!c.error)
      EXPECT_EQ(errors, "") << c.what;
    else
      EXPECT_NE(errors.find(c.error), std::string::npos) << c.what << " gave: " << errors;
  }
}

namespace {

// Reads a block the way the finisher does: count, then read into arrays.
TemplateRead Read(const Bytes& block) { return ReadTemplateData(block.data(), uint32_t(block.size())); }

std::string Manifest932() {
  return R"({"codepage": 932, "key_chunks": "appended",
    "strings": {"caption": "{group}", "confirm": "c", "done": "d", "yes": "y", "yes_all": "ya",
                "no": "n", "no_all": "na", "out_of_memory": "o", "invalid_info": "i",
                "write_protected": "{app}: %s", "shared_unused": "s %s"},
    "files": [{"dir": "{app}", "name": "ボマ表.exe"}, {"dir": "{sys}", "name": "c.dll", "shared": true, "force": true},
              {"dir": "{app}\\{{x}", "name": ""}],
    "shortcuts": [{"dir": "{commonprograms}\\{group}", "name": "a.lnk", "force": true}],
    "keys": [{"root": "HKCR", "path": "CLSID\\{00020400-0000}"}, {"root": "HKLM", "path": "S\\{group}"}]})";
}

}  // namespace

TEST(TemplateBlock, RoundTripThroughTheFile) {
  Manifest m = ParseManifest(Manifest932());
  ASSERT_EQ(m.forced.size(), 2u);
  Bytes block = BuildTemplate(m.data, m.codepage, m.forced);
  Bytes file = PackTemplate(MinimalPe(), block);

  uint32_t offset = 0, size = 0;
  ASSERT_EQ(FindTemplateBlock(file.data(), uint32_t(file.size()), &offset, &size), READ_OK);
  EXPECT_EQ(offset, MinimalPe().size());
  EXPECT_EQ(Bytes(file.begin(), file.begin() + offset), MinimalPe()) << "the stub must stay as shipped";
  TemplateRead r = Read(Bytes(file.begin() + offset, file.begin() + offset + size));
  ASSERT_EQ(r.status, READ_OK) << ReadReason(r.status) << " at +" << r.problem.offset;
  EXPECT_EQ(r.header.version, 1u);
  EXPECT_EQ(r.header.codepage, 932u);
  EXPECT_EQ(r.header.options, uint32_t(TEMPLATE_KEYS_APPENDED));
  EXPECT_EQ(r.data.strings, m.data.strings);
  ASSERT_EQ(r.data.files.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(r.data.files[i].dir, m.data.files[i].dir) << i;
    EXPECT_EQ(r.data.files[i].name, m.data.files[i].name) << i;
    EXPECT_EQ(r.data.files[i].flags, m.data.files[i].flags) << i;
  }
  EXPECT_EQ(TemplateToUtf8(r.data.files[0].name, 932), "ボマ表.exe");
  EXPECT_EQ(TemplateToUtf8(r.data.shortcuts[0].dir, 932), "{commonprograms}\\{group}");
  ASSERT_EQ(r.data.keys.size(), 2u);
  EXPECT_EQ(r.data.keys[1].root, 0x80000002u);
  EXPECT_EQ(TemplateToUtf8(r.data.keys[0].path, 932), "CLSID\\{00020400-0000}");
  ASSERT_EQ(r.forced.size(), 2u);
  EXPECT_EQ(r.forced[0].list, LIST_FILES);
  EXPECT_EQ(r.forced[0].index, 1u);
  EXPECT_EQ(r.forced[1].list, LIST_SHORTCUTS);
  EXPECT_EQ(r.forced[1].index, 0u);

  // Without forced entries the chunk is left out; the keys may be listed.
  m.data.keyChunks = KeyChunks::List;
  TemplateRead plain = Read(BuildTemplate(m.data, m.codepage, {}));
  ASSERT_EQ(plain.status, READ_OK) << ReadReason(plain.status);
  EXPECT_EQ(plain.header.options, 0u);
  EXPECT_EQ(plain.data.keys.size(), 2u);
  EXPECT_TRUE(plain.forced.empty());
}

TEST(TemplateBlock, StrictReaderNamesWhatIsWrong) {
  Manifest m = ParseManifest(Manifest932());
  const Bytes good = BuildTemplate(m.data, m.codepage, m.forced);
  ASSERT_EQ(Read(good).status, READ_OK);
  // Every cut is refused.
  for (size_t n = 0; n < good.size(); ++n)
    ASSERT_NE(Read(Bytes(good.begin(), good.begin() + n)).status, READ_OK) << "cut at " << n;

  // Chunk offsets: header 0 (20 bytes), then TAG_STRINGS.
  std::vector<std::pair<uint32_t, size_t>> at;
  for (size_t pos = 0; pos + 8 <= good.size(); pos += 8 + GetU32(&good[pos + 4]))
    at.push_back({GetU32(&good[pos]), pos});
  auto offsetOf = [&at](uint32_t tag, int nth = 0) -> size_t {
    for (auto& a : at)
      if (a.first == tag && nth-- == 0) return a.second;
    return 0;
  };
  auto chunk = [](uint32_t tag, const Bytes& payload) {
    Bytes c;
    PutU32(c, tag);
    PutU32(c, uint32_t(payload.size()));
    c.insert(c.end(), payload.begin(), payload.end());
    return c;
  };
  auto insertBefore = [&good](size_t pos, const Bytes& extra) {
    Bytes b = good;
    b.insert(b.begin() + pos, extra.begin(), extra.end());
    return b;
  };
  auto patch32 = [&good](size_t pos, uint32_t v) {
    Bytes b = good;
    for (int i = 0; i < 4; ++i) b[pos + i] = uint8_t(v >> (8 * i));
    return b;
  };
  const size_t files = offsetOf(TAG_FILES), end = offsetOf(TAG_END), force = offsetOf(TAG_TEMPLATE_FORCE);
  Bytes filesChunk(good.begin() + files, good.begin() + offsetOf(TAG_SHORTCUTS));
  Bytes twoKeyChunks(good.begin() + offsetOf(TAG_KEY), good.begin() + force);
  Bytes rulesChunk(good.begin() + offsetOf(TAG_TEMPLATE_RULES), good.begin() + end);
  Bytes cutShortcuts = good;
  cutShortcuts.erase(cutShortcuts.begin() + offsetOf(TAG_SHORTCUTS), cutShortcuts.begin() + offsetOf(TAG_KEY));
  Bytes badToken = good;  // the first file's dir: 00 01 becomes 00 0D
  badToken[files + 8 + 4 + 2 + 1] = 0x0D;
  Bytes badFlags = good;
  badFlags[offsetOf(TAG_SHORTCUTS) - 1] = 0x08;  // the last file's flags

  struct Case {
    const char* what;
    Bytes block;
    int status;
    uint32_t tag;  // of the chunk named
  } cases[] = {
      {"a data block", BuildBlock(ParseManifest(ReadFile(ExampleManifestPath())).data),
       READ_NOT_TEMPLATE, TAG_STRINGS},
      {"version 2", patch32(8, 2), READ_BAD_VERSION, TAG_TEMPLATE},
      {"option bit 1", patch32(16, 3), READ_BAD_OPTIONS, TAG_TEMPLATE},
      {"tag high bits", patch32(files, 0x10000 | TAG_FILES), READ_HIGH_TAG_BITS, 0x10000 | TAG_FILES},
      {"files twice", insertBefore(files, filesChunk), READ_DUPLICATE, TAG_FILES},
      {"no shortcuts", cutShortcuts, READ_MISSING, TAG_END},
      {"payload one longer", [&] {
         Bytes b = insertBefore(offsetOf(TAG_SHORTCUTS), {0});
         b[files + 4]++;
         return b; }(), READ_PAYLOAD, TAG_FILES},
      {"bad token", badToken, READ_BAD_TOKEN, TAG_FILES},
      {"flag bit 3", badFlags, READ_FLAGS, TAG_FILES},
      {"unknown chunk", insertBefore(end, chunk(0x5356, {1})), READ_UNKNOWN_TAG, 0x5356},
      {"a fourth key chunk", insertBefore(force, twoKeyChunks), READ_KEY_CHUNKS, TAG_KEY},
      {"forced index past the list", [&] {
         Bytes b = good;
         b[force + 8 + 4 + 1] = 3;  // files[3] of 3
         return b; }(), READ_BAD_FORCED, TAG_TEMPLATE_FORCE},
      {"forced list 4", [&] {
         Bytes b = good;
         b[force + 8 + 4] = 4;
         return b; }(), READ_BAD_FORCED, TAG_TEMPLATE_FORCE},
      {"TAG_END with a payload", [&] {
         Bytes b = patch32(end + 4, 1);
         b.push_back(0);
         return b; }(), READ_AFTER_END, TAG_END},
      {"a byte after TAG_END", [&] {
         Bytes b = good;
         b.push_back(0);
         return b; }(), READ_AFTER_END, TAG_END},
      {"no TAG_END", Bytes(good.begin(), good.begin() + end), READ_NO_END, TAG_TEMPLATE_RULES},
      {"the rules' tables twice", insertBefore(end, rulesChunk), READ_DUPLICATE, TAG_TEMPLATE_RULES},
      // their last row unended: the finisher would read past the chunk
      {"the rules' tables cut", patch32(end - 4, 0x01414141), READ_BAD_RULES, TAG_TEMPLATE_RULES},
  };
  for (const Case& c : cases) {
    TemplateRead r = Read(c.block);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << ReadReason(r.status);
    EXPECT_EQ(r.problem.tag, c.tag) << c.what;
  }

  // Arrays smaller than the lists are reported, never overrun.
  TemplateContents t = TemplateContents();
  BlockFile two[2];
  t.data.files = two;
  t.data.fileCount = 2;
  ReadProblem problem;
  EXPECT_EQ(ReadTemplateBlock(good.data(), uint32_t(good.size()), &t, &problem), READ_NO_ROOM);

  // The trailer.
  Bytes file = PackTemplate(MinimalPe(), good);
  uint32_t offset, size;
  Bytes noTrailer(file.begin(), file.end() - 1);
  EXPECT_EQ(FindTemplateBlock(noTrailer.data(), uint32_t(noTrailer.size()), &offset, &size), READ_NO_TRAILER);
  Bytes far = file;
  far[far.size() - 12 + 3] = 0x7F;
  EXPECT_EQ(FindTemplateBlock(far.data(), uint32_t(far.size()), &offset, &size), READ_BAD_OFFSET);
}
