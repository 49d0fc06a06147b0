// Shortcuts, the directory sweep and the registry keys.
#include <algorithm>

#include "fixture.h"

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return s;
}

const std::string kGroup = "C:\\WINDOWS\\Start Menu\\Programs\\Vantor";

class StagesTest : public SimTest {
 protected:
  void Load(const Block& lists) {
    Block b;
    b.strings(kExampleTexts).raw(lists.bytes()).end();
    ASSERT_EQ(1, StartAndLoad(b));
    SimClearCalls();
  }
  std::vector<std::string> Calls(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& c : SimCalls())
      if (c.compare(0, name.size() + 1, name + "(") == 0) out.push_back(c);
    return out;
  }
};

TEST_F(StagesTest, ShortcutFolderGoesWithItsLastShortcut) {
  for (const char* n : {"a.lnk", "b.lnk", "c.lnk"}) SimAddFile(kGroup + "\\" + n);
  Load(Block().shortcuts({{kGroup, "a.lnk"}, {kGroup, "b.lnk"}, {kGroup, "c.lnk"}}));
  RemoveShortcuts();
  EXPECT_FALSE(SimExists(kGroup));
  EXPECT_EQ(3u, Calls("RemoveDirectoryA").size()) << "tried after every shortcut";
}

TEST_F(StagesTest, ShortcutFolderWithOtherFilesStays) {
  SimAddFile(kGroup + "\\a.lnk");
  SimAddFile(kGroup + "\\mine.txt");
  SimAddFile(kGroup + "\\ro.lnk", "", FILE_ATTRIBUTE_READONLY);
  Load(Block().shortcuts({{kGroup, "a.lnk"}, {kGroup, "ro.lnk"}}));
  RemoveShortcuts();
  EXPECT_FALSE(SimExists(kGroup + "\\a.lnk"));
  EXPECT_TRUE(SimExists(kGroup + "\\ro.lnk")) << "read-only shortcuts stay without a prompt";
  EXPECT_TRUE(SimExists(kGroup + "\\mine.txt"));
  EXPECT_TRUE(SimDialogs().empty());
}

TEST_F(StagesTest, ShortcutRecordsWithEmptyParts) {
  Load(Block().shortcuts({{kGroup + "\\", ""}, {"", "bare.lnk"}, {"", ""}, {".\\x", "y.lnk"}}));
  SimSetCurrentDirectory("C:\\Here");
  SimAddFile("C:\\Here\\bare.lnk");
  RemoveShortcuts();
  std::vector<std::string> expected = {"RemoveDirectoryA(" + kGroup + "\\)", "DeleteFileA(bare.lnk)",
                                       "GetFileAttributesA(.\\x)", "DeleteFileA(.\\x\\y.lnk)",
                                       "RemoveDirectoryA(.\\x)"};
  EXPECT_EQ(expected, SimCalls());
  EXPECT_FALSE(SimExists("C:\\Here\\bare.lnk"));
}

// A link at each level: above the installation folder (followed, as a
// relocated Program Files must be), at it, below it, at an entry's own
// folder elsewhere, and the entry itself. Nothing is deleted, changed,
// unregistered or removed through one, and each folder is checked once.
TEST_F(StagesTest, NothingIsRemovedThroughALink) {
  const std::string app = "C:\\Program Files\\Vantor";
  const char* levels[] = {nullptr, "C:\\Program Files", "C:\\Program Files\\Vantor",
                          "C:\\Program Files\\Vantor\\a", "C:\\Program Files\\Vantor\\a\\b",
                          "C:\\Shared\\Lib", "C:\\Program Files\\Vantor\\srv.dll"};
  for (const char* link : levels) {
    TearDown();
    SetUp();
    std::vector<std::string> files = {app + "\\a\\b\\f1.txt", app + "\\a\\b\\f2.txt", app + "\\a\\f3.txt",
                                      app + "\\top.txt", "C:\\Shared\\Lib\\lib.dll", kGroup + "\\go.lnk"};
    for (const auto& f : files) SimAddFile(f, "", f == files.back() ? 0 : FILE_ATTRIBUTE_READONLY);
    SimAddModule(app + "\\srv.dll", true);
    SimAddDir(app + "\\a\\b\\c");
    if (link) SimMakeLink(link);
    Load(Block()
             .files({{".\\a\\b", "f1.txt", 0}, {".\\a\\b", "f2.txt", 0}, {".\\a", "f3.txt", 0},
                     {".", "top.txt", 0}, {".", "srv.dll", FILE_SELFREG}, {".\\a\\b\\c", "", 0},
                     {"C:\\Shared\\Lib", "lib.dll", 0}})
             .shortcuts({{kGroup, "go.lnk"}}));
    AnswerMode = AnswerYesToAll;
    std::vector<std::string> calls;
    for (void (*stage)() : {RemoveFiles, RemoveShortcuts, SweepDirectories}) {
      SimClearCalls();
      stage();
      std::vector<std::string> checks = Calls("GetFileAttributesA");
      for (const auto& c : checks)
        EXPECT_TRUE(link || std::count(checks.begin(), checks.end(), c) == 1) << "checked again: " << c;
      if (stage == RemoveFiles && !link) {
        std::vector<std::string> expected = {
            "GetFileAttributesA(" + app + ")", "GetFileAttributesA(" + app + "\\a)",
            "GetFileAttributesA(" + app + "\\a\\b)", "GetFileAttributesA(" + app + "\\srv.dll)",
            "GetFileAttributesA(C:\\Shared\\Lib)"};
        for (const auto& e : expected) EXPECT_EQ(1, std::count(checks.begin(), checks.end(), e)) << e;
      }
      calls.insert(calls.end(), SimCalls().begin(), SimCalls().end());
    }
    std::string where = link ? link : "no link";
    bool above = link && std::string(link) == "C:\\Program Files";
    std::string under = link && !above ? Upper(std::string(link)) + "\\" : "\x01";
    for (const auto& call : calls) {
      std::string name = call.substr(0, call.find('('));
      bool changes = name == "DeleteFileA" || name == "SetFileAttributesA" || name == "RemoveDirectoryA" ||
                     name == "LoadLibraryExA" || name == "RemoveFontResourceA";
      EXPECT_FALSE(changes && Upper(call).find(under) != std::string::npos) << where << ": " << call;
    }
    for (const auto& f : files) {
      bool kept = Upper(f).rfind(under, 0) == 0;
      EXPECT_EQ(kept, SimExists(f)) << where << ": " << f;
    }
    bool self = link && std::string(link).find("srv.dll") != std::string::npos;
    bool reached = !link || above || self || std::string(link).find("Vantor") == std::string::npos ||
                   std::string(link).find("\\a") != std::string::npos;
    long unregistered = std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
      return c.rfind("DllUnregisterServer(", 0) == 0;
    });
    EXPECT_EQ(reached && !self ? 1 : 0, unregistered) << where;
    EXPECT_EQ(self, SimExists(app + "\\srv.dll") == false && self) << where << ": the link itself is deleted";
  }
}

class SweepTest : public StagesTest {
 protected:
  std::vector<std::string> Attempts() { return Calls("RemoveDirectoryA"); }
};

TEST_F(SweepTest, MemorySkipsImmediateRepeatsAndProtectedFolders) {
  SimSetSpecialFolder(CSIDL_DESKTOP, "C:\\WINDOWS\\Desktop");
  Load(Block().files({{".", "a", 0}, {".", "b", 0}, {"C:\\WINDOWS\\Desktop", "app.lnk", 0},
                      {".", "c", 0}, {".", "d", 0}}));
  SweepDirectories();
  EXPECT_EQ(std::vector<std::string>{"RemoveDirectoryA(C:\\Program Files\\Vantor)"}, Attempts());
  EXPECT_STREQ(kInstallDir, InstallDir) << "ends with its backslash";
  EXPECT_EQ("C:\\Program Files", SimCurrentDirectory());
  EXPECT_EQ(0, SimLiveItemLists());
}

TEST_F(SweepTest, DirectoryComingBackAfterAnotherIsTriedAgain) {
  Load(Block().files({{"C:\\A", "1", 0}, {"C:\\B", "2", 0}, {"c:\\a\\", "", 0}}));
  SweepDirectories();
  std::vector<std::string> expected = {"RemoveDirectoryA(C:\\A)", "RemoveDirectoryA(C:\\B)",
                                       "RemoveDirectoryA(c:\\a)"};
  EXPECT_EQ(expected, Attempts());
}

TEST_F(SweepTest, ProtectedFoldersMatchInAnyAsciiCaseOnly) {
  SimSetSpecialFolder(CSIDL_FONTS, "C:\\WINDOWS\\Fonts");
  SimSetSpecialFolder(CSIDL_PROGRAMS, "C:\\WINDOWS\\\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB");
  Load(Block().files({{"c:\\windows", "x", 0},
                      {"C:\\windows\\system32\\", "", 0},
                      {"c:\\windows\\fonts", "y", 0},
                      {"C:\\WINDOWS\\\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB", "z", 0},  // other case, Cyrillic
                      {"C:\\WINDOWS\\Fonts\\Sub", "w", 0},
                      {"C:\\WINDOWS\\Fonts", "font.ttf", FILE_FONT}}));
  SweepDirectories();
  std::vector<std::string> expected = {
      "RemoveDirectoryA(C:\\WINDOWS\\\xEF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB)",
      "RemoveDirectoryA(C:\\WINDOWS\\Fonts\\Sub)"};
  EXPECT_EQ(expected, Attempts());
}

TEST_F(SweepTest, EntriesWithoutADirectoryAndNestedNames) {
  Load(Block().files({{"", "plain.txt", 0}, {".", "data\\x.dat", 0}}));
  SweepDirectories();
  EXPECT_EQ(std::vector<std::string>{"RemoveDirectoryA(C:\\Program Files\\Vantor\\data)"}, Attempts());
}

TEST_F(SweepTest, EmptyListStillLeavesTheInstallDirectory) {
  Load(Block());
  SimSetCurrentDirectory(kInstallDir);
  SweepDirectories();
  EXPECT_EQ("C:\\Program Files", SimCurrentDirectory());
  EXPECT_TRUE(Attempts().empty());
  EXPECT_STREQ(kInstallDir, InstallDir);
}

// Each case: a lookup that fails (none, an optional folder missing as on
// Windows 95, or one of the folders every Windows has) and the folders the
// sweep then tries, out of one file in each protected folder and C:\Gone.
TEST_F(SweepTest, ProtectedFoldersAndFailedLookups) {
  const std::string common = "C:\\WINDOWS\\All Users\\";
  const std::vector<std::string> dirs = {
      "C:\\WINDOWS",          "C:\\WINDOWS\\SYSTEM",   "C:\\WINDOWS\\Desktop",
      "C:\\WINDOWS\\Fonts",  "C:\\WINDOWS\\Start Menu\\Programs", "C:\\WINDOWS\\Start Menu",
      common + "Desktop",   common + "Start Menu",   common + "Start Menu\\Programs",
      "C:\\Gone"};
  struct Case {
    const char* failing;  // call name, or a CSIDL the system lacks ("csidl:N")
    int nth;
    std::vector<std::string> tried;
  } cases[] = {
      {"", 0, {"C:\\Gone"}},
      {"csidl:25", 0, {common + "Desktop", "C:\\Gone"}},
      {"csidl:23", 0, {common + "Start Menu\\Programs", "C:\\Gone"}},
      {"SHGetSpecialFolderLocation", 4, {"C:\\WINDOWS\\Start Menu", "C:\\Gone"}},
      {"SHGetPathFromIDListA", 5, {common + "Desktop", "C:\\Gone"}},
      {"GetWindowsDirectoryA", 1, {}},
      {"GetSystemDirectoryA", 1, {}},
      {"SHGetSpecialFolderLocation", 1, {}},
      {"SHGetPathFromIDListA", 2, {}},
      {"SHGetSpecialFolderLocation", 3, {}},
  };
  for (const Case& c : cases) {
    std::string failing = c.failing;
    SimSetSystemDirectory("C:\\WINDOWS\\SYSTEM");
    std::vector<Block::File> files;
    for (const auto& d : dirs) files.push_back({d, "x", 0});
    Load(Block().files(files));
    if (failing.rfind("csidl:", 0) == 0)
      SimSetSpecialFolder(std::stoi(failing.substr(6)), "");
    else if (!failing.empty())
      SimFailCall(c.failing, c.nth, 5);
    SweepDirectories();
    std::vector<std::string> expected;
    for (const auto& d : c.tried) expected.push_back("RemoveDirectoryA(" + d + ")");
    EXPECT_EQ(expected, Attempts()) << failing << " #" << c.nth;
    EXPECT_EQ(0, SimLiveItemLists()) << failing << " #" << c.nth;
    TearDown();
    SetUp();
  }
}

class KeysTest : public StagesTest {};

TEST_F(KeysTest, TreeIsDeletedLeavesFirstOnNt) {
  for (const char* k : {"Software\\V\\A\\A1", "Software\\V\\A\\A2", "Software\\V\\B"})
    SimRegCreateKey(HKEY_LOCAL_MACHINE, k);
  SimRegCreateKey(HKEY_LOCAL_MACHINE, "Software\\Keep");
  Load(Block().keys({{kHklm, "Software\\V"}, {kHklm, "Software\\Missing"}, {kHklm, ""}}));
  RemoveRegistryKeys();
  EXPECT_FALSE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\V"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\Keep"));
  std::vector<std::string> deletions = Calls("RegDeleteKeyA");
  ASSERT_EQ(5u, deletions.size());
  EXPECT_NE(std::string::npos, deletions[0].find("A1"));
  EXPECT_NE(std::string::npos, deletions[4].find("Software\\V)")) << deletions[4];
  EXPECT_EQ(0, SimOpenKeyCount());
}

// Below a listed key, a symbolic link to another key is opened as itself and
// left in place, with the keys that hold it; whatever it leads to is kept.
TEST_F(KeysTest, LinkKeysAreNotFollowed) {
  for (const char* k : {"Software\\Victim\\Deep", "Software\\Leaf", "Software\\V\\Plain"})
    SimRegCreateKey(HKEY_CURRENT_USER, k);
  SimRegMakeLink(HKEY_CURRENT_USER, "Software\\V\\Tree", HKEY_CURRENT_USER, "Software\\Victim");
  SimRegMakeLink(HKEY_CURRENT_USER, "Software\\V\\Sub\\ToLeaf", HKEY_CURRENT_USER, "Software\\Leaf");
  Load(Block().keys({{0x80000001, "Software\\V"}}));
  RemoveRegistryKeys();
  EXPECT_TRUE(SimRegKeyExists(HKEY_CURRENT_USER, "Software\\Victim\\Deep"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_CURRENT_USER, "Software\\Leaf"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_CURRENT_USER, "Software\\V\\Tree"));
  EXPECT_EQ(0, SimOpenKeyCount());
  for (const auto& open : Calls("RegOpenKeyExA"))
    EXPECT_NE(std::string::npos, open.find(",0x8,")) << "opened without REG_OPTION_OPEN_LINK: " << open;
}

TEST_F(KeysTest, DeleteKeyTreeResults) {
  EXPECT_EQ(ERROR_BADKEY, DeleteKeyTree(HKEY_LOCAL_MACHINE, ""));
  EXPECT_EQ(ERROR_BADKEY, DeleteKeyTree(HKEY_LOCAL_MACHINE, nullptr));
  EXPECT_TRUE(SimCalls().empty()) << "no registry call for an empty path";
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\Missing"));

  for (const char* k : {"Software\\T\\1", "Software\\T\\2\\deep", "Software\\T\\3"})
    SimRegCreateKey(HKEY_LOCAL_MACHINE, k);
  SimRegDenyOpen(HKEY_LOCAL_MACHINE, "Software\\T\\2");
  EXPECT_EQ(ERROR_ACCESS_DENIED, DeleteKeyTree(HKEY_LOCAL_MACHINE, "Software\\T"));
  EXPECT_FALSE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\T\\1"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\T\\2\\deep"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\T\\3"));
  EXPECT_EQ(0, SimOpenKeyCount());
}

TEST_F(KeysTest, OtherPlatformsDeleteEachKeyInOneCall) {
  SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  SimRegCreateKey(HKEY_LOCAL_MACHINE, "Software\\V\\A\\A1");
  SimRegCreateKey(HKEY_LOCAL_MACHINE, "Software\\V\\B");  // a tree that branches
  Load(Block().keys({{kHklm, "Software\\V"}, {kHklm, ""}, {0x80000001u, "Software\\U"}}));
  RemoveRegistryKeys();
  EXPECT_FALSE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\V"));
  std::vector<std::string> names = SimCallNames();
  std::vector<std::string> expected = {"GetVersionExA", "RegDeleteKeyA", "RegDeleteKeyA"};
  EXPECT_EQ(expected, names) << "the empty path is refused";
}

TEST_F(KeysTest, EmptyListMakesOnlyTheVersionQuery) {
  Load(Block());
  RemoveRegistryKeys();
  EXPECT_EQ(std::vector<std::string>{"GetVersionExA"}, SimCallNames());
}

}  // namespace
