// sweepkit-finish on the simulated Windows: what it writes, what it refuses,
// and that an existing uninstaller survives every failure of every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/host/sim.h"
#include "tests/cli/test_support.h"
#include "finisher/finish.h"
#include "cli/manifest.h"

using namespace sweepkit;
using sweepkit_test::MinimalPe;

namespace {

const char kTemplatePath[] = "C:\\setup\\app.skt";
const char kOut[] = "C:\\Program Files\\Vantor\\uninstall.exe";
const char kOldBytes[] = "the earlier uninstaller";

std::string ExampleJson() { return sweepkit_test::ReadFile(SWEEPKIT_EXAMPLES_DIR "/vantor-gliders.json"); }

std::string TemplateBytes(const std::string& json) {
  Manifest m = ParseManifest(json);
  Bytes t = PackTemplate(MinimalPe(), BuildTemplate(m.data, m.codepage, m.forced));
  return std::string(t.begin(), t.end());
}

// A machine with the folders every Windows has, Program Files in the
// registry, the template in C:\setup and an application folder.
void Machine(const std::string& templateBytes) {
  SimReset();
  SimRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 REG_SZ, std::string("C:\\Program Files") + '\0');
  SimAddFile(kTemplatePath, templateBytes);
  SimAddDir("C:\\Program Files\\Vantor");
}

struct Outcome {
  int code;
  std::string out, err;
};

Outcome Finish(const std::string& arguments) {
  SimSetCommandLine("sweepkit-finish.exe " + arguments);
  int code = RunFinisher();
  return {code, SimConsoleText(STD_OUTPUT_HANDLE), SimConsoleText(STD_ERROR_HANDLE)};
}

const std::string kArguments = std::string(kTemplatePath) + " \"" + kOut + "\" --set \"group=Vantor Gliders\"";

// The data of a finished uninstaller, read with the stub's own loader.
struct Loaded {
  int status = -100;
  std::vector<std::string> strings, files, shortcuts, keys;
};

Loaded Load(const std::string& path) {
  Loaded l;
  std::string bytes = SimFileBytes(path);
  if (bytes.size() < sweepkit_test::kLocatorAt + 10) return l;
  uint32_t offset = GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + sweepkit_test::kLocatorAt + 6);
  l.status = ReadUninstallInfoFile(path.c_str(), offset);
  if (l.status != LOAD_OK) return l;
  for (int i = 0; i < STR_COUNT; i++) l.strings.push_back(UninstallInfo.StringTable[i]);
  for (u32 i = 0; i < UninstallInfo.fileCount; i++)
    l.files.push_back(std::string(UninstallInfo.fileList[i]->dir) + "|" + UninstallInfo.fileList[i]->name);
  for (u32 i = 0; i < UninstallInfo.shortcutCount; i++)
    l.shortcuts.push_back(std::string(UninstallInfo.shortcutList[i]->dir) + "|" +
                          UninstallInfo.shortcutList[i]->name);
  for (u32 i = 0; i < UninstallInfo.keyCount; i++) l.keys.push_back(UninstallInfo.keyList[i]->path);
  ReleaseUninstallInfo();
  return l;
}

// Every file and folder of the simulated machine below `root`.
std::set<std::string> Tree(const std::string& root) {
  std::set<std::string> all;
  std::function<void(const std::string&)> walk = [&](const std::string& dir) {
    for (const std::string& name : SimListDir(dir)) {
      std::string path = dir + "\\" + name;
      all.insert(path + (SimIsDir(path) ? "\\" : "=" + SimFileBytes(path)));
      if (SimIsDir(path)) walk(path);
    }
  };
  walk(root);
  return all;
}

TEST(Finisher, ResolvesTheExampleOnTheInstallingMachine) {
  Machine(TemplateBytes(ExampleJson()));
  Outcome r = Finish(kArguments);
  ASSERT_EQ(0, r.code) << r.err;
  EXPECT_EQ("", r.err);
  EXPECT_NE(std::string::npos, r.out.find("wrote C:\\Program Files\\Vantor\\uninstall.exe: 5 files")) << r.out;

  Loaded l = Load(kOut);
  ASSERT_EQ(LOAD_OK, l.status);
  EXPECT_NE(std::string::npos, l.strings[STR_CONFIRM].find("from C:\\Program Files\\Vantor. Click"))
      << "{app} in a text is the folder's absolute path: " << l.strings[STR_CONFIRM];
  EXPECT_EQ(".|vantor.dll", l.files[0]) << "{app} as a whole dir follows the uninstaller";
  EXPECT_EQ("C:\\WINDOWS\\Desktop|Vantor Gliders.lnk", l.files[2]);
  EXPECT_EQ("C:\\WINDOWS\\Start Menu\\Programs\\Vantor Gliders|Vantor Gliders.lnk", l.shortcuts[1]);
  EXPECT_EQ("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor Gliders", l.keys[0]);
  EXPECT_EQ(0, SimOpenHandleCount());
  EXPECT_EQ(0, SimLiveBlocks());
}

// An all-users folder is used where the system has it, the per-user one
// where it does not (Windows 95 without user profiles).
TEST(Finisher, AllUsersFoldersFallBackToThePerUserOnes) {
  std::string json = ExampleJson();
  const std::string desktop = "\"dir\": \"{desktop}\"";
  json.replace(json.find(desktop), desktop.size(), "\"dir\": \"{commondesktop}\"");
  const std::string templ = TemplateBytes(json);
  struct Case {
    const char* what;
    std::function<void()> machine;
    const char* dir;
  } cases[] = {
      {"all-users folder present", [] { SimSetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, "C:\\WINDOWS\\All Users\\Desktop"); },
       "C:\\WINDOWS\\All Users\\Desktop"},
      {"lookup fails", [] { SimSetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, ""); }, "C:\\WINDOWS\\Desktop"},
      {"folder named but missing",
       [] { SimSetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, "C:\\WINDOWS\\All Users\\Desktop", false); },
       "C:\\WINDOWS\\Desktop"},
  };
  for (const Case& c : cases) {
    Machine(templ);
    c.machine();
    Outcome r = Finish(kArguments);
    ASSERT_EQ(0, r.code) << c.what << ": " << r.err;
    Loaded l = Load(kOut);
    ASSERT_EQ(LOAD_OK, l.status) << c.what;
    EXPECT_EQ(std::string(c.dir) + "|Vantor Gliders.lnk", l.files[2]) << c.what;
  }
}

// Texts and paths are written in the machine's ANSI code page, whatever the
// template's; the UTF-8 one included.
TEST(Finisher, WritesInTheMachinesCodePage) {
  std::string json = ExampleJson();
  json.replace(json.find("guide.txt"), 9, "gu\xC3\xAF" "de.txt");
  const std::string templ = TemplateBytes(json);
  struct Case {
    UINT codepage;
    const char* name;
  } cases[] = {{1252, "gu\xEF" "de.txt"}, {CP_UTF8, "gu\xC3\xAF" "de.txt"}, {1254, "gu\xEF" "de.txt"}};
  for (const Case& c : cases) {
    Machine(templ);
    SimSetAnsiCodePage(c.codepage);
    Outcome r = Finish(kArguments);
    ASSERT_EQ(0, r.code) << "code page " << c.codepage << ": " << r.err;
    Loaded l = Load(kOut);
    ASSERT_EQ(LOAD_OK, l.status) << c.codepage;
    EXPECT_EQ(std::string(".|") + c.name, l.files[4]) << "code page " << c.codepage;
    EXPECT_EQ("Uninstall", l.strings[STR_CAPTION]) << "code page " << c.codepage;
  }
}

// A value shows in a text the uninstaller formats exactly as it stands,
// whatever percent signs it holds, and the text's own %s is where the path
// goes: the uninstaller's own loader and formatter read what was written.
TEST(Finisher, ValuesShowInFormattedTextsAsTheyStand) {
  const std::string path = "C:\\PROGRA~1\\VANTOR\\GLIDE.DLL";
  struct Case {
    const char* text;   // invalid_info
    const char* group;
    const char* shown;  // %p: the path
  } cases[] = {
      {"Cannot uninstall {group}.", "Gliders 50%sale", "Cannot uninstall Gliders 50%sale."},
      {"Cannot uninstall {group}.", "100% Gliders 50%sale", "Cannot uninstall 100% Gliders 50%sale."},
      {"Cannot uninstall {group}.", "100% Gliders", "Cannot uninstall 100% Gliders."},
      {"Cannot uninstall {group}s at 100%.", "Gliders 50%", "Cannot uninstall Gliders 50%s at 100%."},
      {"{group}: %s is damaged.", "100% Gliders 50%sale", "100% Gliders 50%sale: %p is damaged."},
      {"%s: {group}", "50%s at 100%%", "%p: 50%s at 100%%"},
      {"100%% of {group}: %s", "%d", "100% of %d: %p"},
  };
  std::string json = ExampleJson();
  const std::string from = "\"invalid_info\": \"Invalid uninstall info. This program cannot uninstall Vantor Gliders 1.0.\"";
  ASSERT_NE(std::string::npos, json.find(from));
  for (const Case& c : cases) {
    std::string changed = json;
    changed.replace(changed.find(from), from.size(), std::string("\"invalid_info\": \"") + c.text + "\"");
    Machine(TemplateBytes(changed));
    Outcome r = Finish(std::string(kTemplatePath) + " \"" + kOut + "\" --set \"group=" + c.group + "\"");
    std::string what = std::string(c.text) + " with " + c.group;
    ASSERT_EQ(0, r.code) << what << ": " << r.err;
    std::string bytes = SimFileBytes(kOut);
    uint32_t offset = GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + sweepkit_test::kLocatorAt + 6);
    ASSERT_EQ(LOAD_OK, ReadUninstallInfoFile(kOut, offset)) << what;
    char message[MESSAGE_BUFFER_SIZE];
    FormatMessageText(message, STR_INVALID_INFO, path.c_str());
    ReleaseUninstallInfo();
    std::string shown = c.shown;
    if (shown.find("%p") != std::string::npos) shown.replace(shown.find("%p"), 2, path);
    EXPECT_EQ(shown, message) << what;
  }
}

// Everything the finisher refuses leaves the output folder as it was and
// says on standard error what is wrong.
TEST(Finisher, RefusalsWriteNothing) {
  const std::string example = ExampleJson();
  auto with = [&](const std::string& from, const std::string& to) {
    std::string json = example;
    size_t at = json.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return json.replace(at, from.size(), to);
  };
  struct Case {
    const char* what;
    std::string templ;
    std::string arguments;
    UINT codepage;
    int code;
    const char* message;
  };
  const std::string out = std::string(" \"") + kOut + "\"";
  const std::string longName(250, 'n');
  // Constants that fill the 65,535 bytes a string holds, then a literal to
  // convert into no room at all.
  const std::string fill = kArguments + " --set big=" + std::string(65535, 'b');
  const std::string caption = "\"caption\": \"Uninstall\"";
  const Case cases[] = {
      {"no arguments", TemplateBytes(example), "", 1252, 2, "APP.skt and OUT.exe are needed"},
      {"unknown option", TemplateBytes(example), kArguments + " --quiet", 1252, 2, "unknown option: --quiet"},
      {"--set without a value", TemplateBytes(example), kArguments + " --set group", 1252, 2, "NAME=VALUE"},
      {"--set of a folder", TemplateBytes(example), kArguments + " --set app=C:\\x", 1252, 2, "folder constant"},
      {"a value nothing gives", TemplateBytes(example), kTemplatePath + out, 1252, 1, "{group}"},
      {"no template", TemplateBytes(example), "C:\\setup\\none.skt" + out, 1252, 1, "none.skt: cannot be read"},
      {"not a template", "MZ plain bytes", kArguments, 1252, 1, "not a usable template"},
      {"a path over 259 bytes", TemplateBytes(with("\"name\": \"guide.txt\"", "\"name\": \"" + longName + "\"")),
       kArguments, 1252, 1, "files[4]"},
      {"a letter the machine cannot hold", TemplateBytes(with("guide.txt", "gu\xC3\xAF" "de.txt")), kArguments,
       1251, 1, "files[4]"},
      {"a literal after 65,535 bytes of values, converted", TemplateBytes(with(caption, "\"caption\": \"{big}xyz\"")),
       fill, 1251, 1, "strings.caption: a string is over 65535 bytes"},
      {"one literal byte after 65,535 bytes of values, converted",
       TemplateBytes(with(caption, "\"caption\": \"{big}x\"")), fill, 1251, 1,
       "strings.caption: a string is over 65535 bytes"},
      {"a literal after 65,535 bytes of values", TemplateBytes(with(caption, "\"caption\": \"{big}xyz\"")),
       fill, 1252, 1, "strings.caption: a string is over 65535 bytes"},
      {"a merge of no uninstaller", TemplateBytes(example), kArguments + " --merge C:\\setup\\app.skt", 1252, 1,
       "app.skt"},
  };
  for (const Case& c : cases) {
    Machine(c.templ);
    SimSetAnsiCodePage(c.codepage);
    SimAddFile(kOut, kOldBytes);
    std::set<std::string> before = Tree("C:");
    Outcome r = Finish(c.arguments);
    EXPECT_EQ(c.code, r.code) << c.what << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.what << " said: " << r.err;
    EXPECT_TRUE(before == Tree("C:")) << c.what << ": the machine changed";
    EXPECT_EQ(0, SimLiveBlocks()) << c.what;
  }
}

// A text that holds the locator's signature: only the one inside the
// program's sections is patched.
TEST(Finisher, SignatureInATextIsNotTheLocator) {
  std::string json = ExampleJson();
  std::string caption = "\"caption\": \"Uninstall\"";
  json.replace(json.find(caption), caption.size(), "\"caption\": \"wwgT)H twice wwgT)H\"");
  Machine(TemplateBytes(json));
  Outcome r = Finish(kArguments);
  ASSERT_EQ(0, r.code) << r.err;
  Loaded l = Load(kOut);
  ASSERT_EQ(LOAD_OK, l.status);
  EXPECT_EQ("wwgT)H twice wwgT)H", l.strings[STR_CAPTION]);
}

// An upgrade keeps what only the earlier version installed, once; its
// `.` entries, written elsewhere, become absolute, and its folders take the
// one spelling of the new ones.
TEST(Finisher, MergeKeepsWhatOnlyTheOldVersionListed) {
  Machine(TemplateBytes(ExampleJson()));
  UninstallData old;
  old.strings.assign(STR_COUNT, "old");
  old.files = {{".", "vantor.dll", 0}, {".", "old-only.hlp", 0}, {"C:\\WINDOWS\\\\SYSTEM\\", "vgrt.dll", FILE_SHARED}};
  old.shortcuts = {{"C:\\WINDOWS\\Start Menu\\Programs\\\\Vantor Gliders\\", "Vantor Gliders.lnk"}};
  old.keys = {{0x80000002u, "Software\\Vantor\\Gliders"}};
  Bytes image = PackStub(MinimalPe(), BuildBlock(old));
  SimAddFile("C:\\Vantor\\uninstall.exe", std::string(image.begin(), image.end()));

  Outcome r = Finish(kArguments + " --merge C:\\Vantor\\uninstall.exe");
  ASSERT_EQ(0, r.code) << r.err;
  Loaded l = Load(kOut);
  ASSERT_EQ(LOAD_OK, l.status);
  auto count = [](const std::vector<std::string>& list, const std::string& item) {
    return std::count(list.begin(), list.end(), item);
  };
  EXPECT_EQ(1, count(l.files, ".|vantor.dll")) << "an entry both list is written once";
  EXPECT_EQ(1, count(l.files, "C:\\Vantor\\.|vantor.dll") + count(l.files, "C:\\Vantor|vantor.dll"))
      << "the old folder's copy is still removed";
  EXPECT_EQ(1, count(l.files, "C:\\Vantor|old-only.hlp"));
  EXPECT_EQ(1, count(l.files, "C:\\WINDOWS\\SYSTEM|vgrt.dll"));
  EXPECT_EQ(1, count(l.keys, "Software\\Vantor\\Gliders"));
  EXPECT_EQ(3u, l.shortcuts.size()) << "a shortcut both list, its folder spelled two ways, is kept once";
  EXPECT_EQ("Uninstall", l.strings[STR_CAPTION]) << "the new version's texts";
}

// The installer's record of what it wrote: one byte per template entry;
// the uninstaller lists those marked '1', in template order, and whatever
// the earlier uninstaller lists besides. A missing record writes nothing.
TEST(Finisher, OnlyWhatTheInstallationWroteIsListed) {
  Machine(TemplateBytes(ExampleJson()));
  ASSERT_EQ(0, Finish(kArguments).code);
  Loaded all = Load(kOut);
  ASSERT_EQ(LOAD_OK, all.status);
  const size_t total = all.files.size() + all.shortcuts.size() + all.keys.size();
  std::mt19937 random(20261210);
  for (int round = 0; round < 40; round++) {
    std::string keep;
    size_t length = round == 0 ? 0 : round == 1 ? total + 3 : random() % (total + 1);
    for (size_t i = 0; i < length; i++) keep += "1102x"[random() % 5];
    SimAddFile("C:\\setup\\keep", keep);
    Outcome r = Finish(kArguments + " --only C:\\setup\\keep");
    ASSERT_EQ(0, r.code) << r.err;
    Loaded l = Load(kOut);
    ASSERT_EQ(LOAD_OK, l.status);
    std::vector<std::string> want[3];
    const std::vector<std::string>* lists[3] = {&all.files, &all.shortcuts, &all.keys};
    size_t at = 0;
    for (int k = 0; k < 3; k++)
      for (const std::string& e : *lists[k]) {
        if (at < keep.size() && keep[at] == '1') want[k].push_back(e);
        at++;
      }
    EXPECT_EQ(want[0], l.files) << "keep \"" << keep << "\"";
    EXPECT_EQ(want[1], l.shortcuts) << "keep \"" << keep << "\"";
    EXPECT_EQ(want[2], l.keys) << "keep \"" << keep << "\"";
  }

  // What an earlier release listed stays listed, written or not this time.
  UninstallData old;
  old.strings.assign(STR_COUNT, "old");
  old.files = {{".", "vantor.dll", 0}};
  old.keys = {{0x80000002u, "Software\\Vantor\\Gliders"}};
  Bytes image = PackStub(MinimalPe(), BuildBlock(old));
  SimAddFile("C:\\Vantor\\uninstall.exe", std::string(image.begin(), image.end()));
  SimAddFile("C:\\setup\\keep", "");
  Outcome merged = Finish(kArguments + " --merge C:\\Vantor\\uninstall.exe --only C:\\setup\\keep");
  ASSERT_EQ(0, merged.code) << merged.err;
  Loaded m = Load(kOut);
  EXPECT_EQ(std::vector<std::string>{"C:\\Vantor|vantor.dll"}, m.files);
  EXPECT_EQ(std::vector<std::string>{"Software\\Vantor\\Gliders"}, m.keys);
  EXPECT_TRUE(m.shortcuts.empty()) << m.shortcuts.size();

  std::string before = SimFileBytes(kOut);
  Outcome missing = Finish(kArguments + " --only C:\\setup\\none");
  EXPECT_EQ(1, missing.code);
  EXPECT_NE(std::string::npos, missing.err.find("C:\\setup\\none: cannot be read")) << missing.err;
  EXPECT_EQ(before, SimFileBytes(kOut)) << "the uninstaller there is left as it was";
  EXPECT_EQ(2, Finish(kArguments + " --only a --only b").code);
}

// 'n' asks whether the installation made the entry: kept when something is
// at its path now and nothing was when the first run noted the paths.
TEST(Finisher, NewEntriesAreThoseNothingWasAtBefore) {
  Machine(TemplateBytes(ExampleJson()));
  ASSERT_EQ(0, Finish(kArguments).code);
  Loaded all = Load(kOut);
  std::vector<std::string> paths;  // files, then shortcuts
  for (const auto* list : {&all.files, &all.shortcuts})
    for (const std::string& e : *list) {
      std::string dir = e.substr(0, e.find('|')), name = e.substr(e.find('|') + 1);
      if (dir == ".") dir = "C:\\Program Files\\Vantor";
      paths.push_back(dir + "\\" + name);
    }
  std::mt19937 random(7);
  for (int round = 0; round < 20; round++) {
    Machine(TemplateBytes(ExampleJson()));
    std::vector<int> before(paths.size()), after(paths.size());
    for (size_t i = 0; i < paths.size(); i++) {
      before[i] = random() % 3 == 0;
      after[i] = before[i] || random() % 2;
    }
    for (size_t i = 0; i < paths.size(); i++)
      if (before[i]) SimAddFile(paths[i], "there before");
    SimAddFile("C:\\setup\\keep", std::string(paths.size() + all.keys.size(), '0'));
    Outcome first = Finish(kArguments + " --only C:\\setup\\keep --note C:\\setup\\noted");
    ASSERT_EQ(0, first.code) << first.err;
    Loaded early = Load(kOut);
    EXPECT_TRUE(early.files.empty() && early.shortcuts.empty()) << "nothing written yet is listed";
    for (size_t i = 0; i < paths.size(); i++)
      if (after[i] && !before[i]) SimAddFile(paths[i], "installed");
    SimAddFile("C:\\setup\\keep", std::string(paths.size(), 'n') + std::string(all.keys.size(), '1'));
    Outcome last = Finish(kArguments + " --merge \"" + kOut + "\" --only C:\\setup\\keep --noted C:\\setup\\noted");
    ASSERT_EQ(0, last.code) << last.err;
    Loaded l = Load(kOut);
    std::vector<std::string> want[2];
    for (size_t i = 0; i < paths.size(); i++)
      if (after[i] && !before[i]) want[i < all.files.size() ? 0 : 1].push_back(i < all.files.size() ? all.files[i] : all.shortcuts[i - all.files.size()]);
    EXPECT_EQ(want[0], l.files) << "round " << round;
    EXPECT_EQ(want[1], l.shortcuts) << "round " << round;
    EXPECT_EQ(all.keys, l.keys);
  }
}

// What the merge keeps is the earlier release's as much as the new one's:
// a file both list keeps the flags either set (a DLL shared in 1.0 and plain
// in 1.1 still gives its count back), names differ where the code page
// spells them differently (ヂ and ア differ only in an a-z case of their
// second byte), and an entry only the earlier uninstaller lists is judged
// like the template's own: one that is a system folder or a shared key
// refuses the merge, named with the earlier file and its index there.
TEST(Finisher, MergeKeepsFlagsComparesNamesAsSpelledAndJudgesWhatItKeeps) {
  const std::string templ = TemplateBytes(ExampleJson());
  const std::string oldPath = kOut;  // an upgrade: the earlier uninstaller is OUT
  auto run = [&](const UninstallData& old) {
    Machine(templ);
    SimSetAnsiCodePage(932);
    Bytes image = PackStub(MinimalPe(), BuildBlock(old));
    SimAddFile(oldPath, std::string(image.begin(), image.end()));
    return Finish(kArguments + " --merge \"" + oldPath + "\"");
  };
  UninstallData old;
  old.strings.assign(STR_COUNT, "old");
  old.files = {{".", "vantor.dll", FILE_SHARED | FILE_SELFREG}, {".", "\x83\x61.txt", 0}, {".", "\x83\x41.txt", 0}};
  Outcome r = run(old);
  ASSERT_EQ(0, r.code) << r.err;
  std::string bytes = SimFileBytes(kOut);
  uint32_t offset = GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + sweepkit_test::kLocatorAt + 6);
  ASSERT_EQ(LOAD_OK, ReadUninstallInfoFile(kOut, offset));
  std::map<std::string, int> flags;
  for (u32 i = 0; i < UninstallInfo.fileCount; i++)
    flags[std::string(UninstallInfo.fileList[i]->dir) + "|" + UninstallInfo.fileList[i]->name] =
        UninstallInfo.fileList[i]->flags;
  ReleaseUninstallInfo();
  EXPECT_EQ(FILE_SHARED | FILE_SELFREG, flags[".|vantor.dll"]) << "the earlier release's flags are kept";
  EXPECT_EQ(1u, flags.count(".|\x83\x61.txt"));
  EXPECT_EQ(1u, flags.count(".|\x83\x41.txt")) << "two names taken for one";

  struct Case {
    const char* what;
    BlockFile file;
    BlockKey key;
    const char* message;
  } refused[] = {
      {"a directory entry for the Fonts folder", {{"C:\\WINDOWS\\FONTS", 16}, {"", 0}, 0}, {0, {0, 0}},
       "C:\\Program Files\\Vantor\\uninstall.exe: files[1].dir: is a directory entry for a folder the system owns"},
      {"the class root's CLSID", {{0, 0}, {0, 0}, 0}, {0x80000000u, {"CLSID", 5}},
       "C:\\Program Files\\Vantor\\uninstall.exe: keys[0].path: names a key other software shares"},
      {"a key below Microsoft", {{0, 0}, {0, 0}, 0}, {0x80000001u, {"Software\\Microsoft\\Windows", 26}},
       "C:\\Program Files\\Vantor\\uninstall.exe: keys[0].path: names a key other software shares"},
  };
  for (const Case& c : refused) {
    UninstallData bad;
    bad.strings.assign(STR_COUNT, "old");
    bad.files = {{".", "glide.exe", 0}};
    if (c.file.dir.bytes) bad.files.push_back({c.file.dir.bytes, "", 0});
    if (c.key.path.bytes) bad.keys.push_back({c.key.root, c.key.path.bytes});
    Outcome o = run(bad);
    Bytes image = PackStub(MinimalPe(), BuildBlock(bad));
    EXPECT_EQ(std::string(image.begin(), image.end()), SimFileBytes(kOut)) << c.what << ": changed";
    EXPECT_EQ(1, o.code) << c.what << ": " << o.err;
    EXPECT_NE(std::string::npos, o.err.find("sweepkit-finish: " + std::string(c.message))) << c.what << ": " << o.err;
  }

  // An install folder whose name ends in 表 (0x95 0x5C): the stub would
  // take its last byte for a separator and every `.` entry would name a
  // file beside the folder.
  Machine(templ);
  SimSetAnsiCodePage(932);
  SimAddDir("C:\\Apps\\\x95\x5C");
  Outcome dbcs = Finish(std::string(kTemplatePath) + " \"C:\\Apps\\\x95\x5C\\uninstall.exe\" --set group=V");
  EXPECT_EQ(1, dbcs.code) << dbcs.err;
  EXPECT_NE(std::string::npos, dbcs.err.find("uninstall.exe: folder ends in a character read as a backslash")) << dbcs.err;
  EXPECT_FALSE(SimExists("C:\\Apps\\\x95\x5C\\uninstall.exe"));
}

// Every call the finisher makes, failed in turn (once, and from that call
// on), and every allocation, on NT (one MoveFileExA) and on Windows 95 (three
// renames): it either writes the very uninstaller of a clean run, or refuses
// with exit 1 and leaves the earlier one and everything else as they were,
// or (exit 3) says where the earlier one is when it was moved aside and
// could not be put back. Nothing is left open or allocated either way.
TEST(Finisher, EveryFailureLeavesTheEarlierUninstallerIntact) {
  const std::string templ = TemplateBytes(ExampleJson());
  for (DWORD platform : {DWORD(VER_PLATFORM_WIN32_NT), DWORD(VER_PLATFORM_WIN32_WINDOWS)}) {
    auto prepare = [&]() {
      Machine(templ);
      SimSetPlatform(platform, 4, 0);
      SimAddFile(kOut, kOldBytes);
    };
    prepare();
    ASSERT_EQ(0, Finish(kArguments).code);
    const std::string written = SimFileBytes(kOut);
    const std::set<std::string> clean = Tree("C:");
    const std::vector<std::string> calls = SimCallNames();
    const int allocations = SimAllocationCount();
    prepare();
    const std::set<std::string> before = Tree("C:");
    int movedAside = 0;

    auto check = [&](const std::string& fault) {
      std::string what = (platform == VER_PLATFORM_WIN32_NT ? "NT, " : "95, ") + fault;
      Outcome r = Finish(kArguments);
      std::set<std::string> after = Tree("C:");
      const std::string aside = "; the file that was there is now C:\\Program Files\\Vantor\\sko";
      size_t at = r.err.find(aside);
      if (r.code == 3) {
        movedAside++;
        ASSERT_NE(std::string::npos, at) << what << " said: " << r.err;
        std::string asidePath = r.err.substr(at + aside.find("C:"));
        asidePath = asidePath.substr(0, asidePath.find_first_of("\r\n"));
        EXPECT_EQ(kOldBytes, SimFileBytes(asidePath)) << what << ": " << asidePath;
        EXPECT_FALSE(SimExists(kOut)) << what;
        std::set<std::string> moved = before;
        moved.erase(std::string(kOut) + "=" + kOldBytes);
        moved.insert(asidePath + "=" + kOldBytes);
        EXPECT_TRUE(after == moved) << what << ": more changed than the earlier file's name";
      } else if (r.code == 0) {
        EXPECT_EQ(written, SimFileBytes(kOut)) << what << " reported success";
        // The earlier uninstaller that could not be deleted once the new
        // one is in place stays, named in a warning.
        EXPECT_TRUE(after == clean || r.err.find("warning: left C:\\Program Files\\Vantor\\sko") != std::string::npos)
            << what << ": success left other changes; said: " << r.err;
      } else {
        EXPECT_EQ(1, r.code) << what << " said: " << r.err;
        // (unless every write fails, those to the console too)
        if (fault != "WriteFile from #1") EXPECT_NE("", r.err) << what << ": a refusal says why";
        EXPECT_TRUE(after == before) << what << ": a refusal changed the machine; said: " << r.err;
      }
      EXPECT_EQ(0, SimOpenHandleCount()) << what;
      EXPECT_EQ(0, SimLiveBlocks()) << what;
    };

    std::map<std::string, int> seen;
    for (const std::string& name : calls) {
      int nth = ++seen[name];
      // The simulation keeps a handle whose close failed open; Windows
      // does not, so a failed close is no fault to sweep.
      if (name == "CloseHandle") continue;
      DWORD error = name == "WriteFile" ? 112 : name == "CreateFileA" ? 32 : 5;
      prepare();
      SimFailCall(name.c_str(), nth, error);
      check(name + " #" + std::to_string(nth));
      prepare();
      SimFailCallsFrom(name.c_str(), nth, error);
      check(name + " from #" + std::to_string(nth));
    }
    for (int n = 1; n <= allocations; n++) {
      prepare();
      SimFailAllocations(SimAllocationCount() + n, 1);
      check("allocation #" + std::to_string(n));
    }
    EXPECT_GT(seen["MoveFileA"] + seen["MoveFileExA"], 0) << "the clean run put the file in place";
    // Windows 95: the new file is not let in and the old one not back.
    EXPECT_EQ(platform == VER_PLATFORM_WIN32_NT ? 0 : 1, movedAside) << "runs that left OUT aside";
  }
}

}  // namespace
