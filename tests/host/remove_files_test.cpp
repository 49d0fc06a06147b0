// The file stage: shared counts, fonts, servers, and the write-protected
// answers.
#include "fixture.h"

namespace {

const char kShared[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
const std::string kDll = "C:\\WINDOWS\\SYSTEM\\common.dll";

class RemoveFilesTest : public SimTest {
 protected:
  // Loads a file list and leaves the run at the point where the stage starts.
  void Load(const std::vector<Block::File>& files) {
    Block b;
    b.strings(kExampleTexts).files(files).end();
    ASSERT_EQ(1, StartAndLoad(b));
    OwnerWindow = (HWND)(uintptr_t)0x77;
    SimClearCalls();
  }
  void TearDown() override {
    ReleaseDialogObjects();
    SimTest::TearDown();
  }
  std::string Count() { return SimRegValue(HKEY_LOCAL_MACHINE, kShared, kDll); }
  static std::string Dword(uint32_t v) { return std::string((const char*)&v, 4); }
};

TEST_F(RemoveFilesTest, SharedCountAboveOneIsDecrementedAndTheFileStays) {
  SimAddFile(kDll);
  SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 3);
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED | FILE_FONT | FILE_SELFREG}});
  RemoveFiles();
  EXPECT_EQ(Dword(2), Count());
  EXPECT_EQ(REG_DWORD, SimRegValueType(HKEY_LOCAL_MACHINE, kShared, kDll));
  EXPECT_TRUE(SimExists(kDll));
  EXPECT_TRUE(SimMessageBoxes().empty());
  EXPECT_EQ(0, SimCallCount("RemoveFontResourceA"));
  EXPECT_EQ(0, SimCallCount("LoadLibraryExA"));
  EXPECT_EQ(0, SimOpenKeyCount());
}

TEST_F(RemoveFilesTest, LastReferenceAsksAndYesDeletesValueAndFile) {
  SimAddFile(kDll);
  SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 1);
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED}});
  SimAnswerMessageBox(IDYES);
  RemoveFiles();
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ("The following system file is apparently no longer used:\n" + kDll +
                "\nDo you want to remove it?",
            SimMessageBoxes()[0].text);
  EXPECT_EQ((UINT)(MB_YESNO | MB_ICONQUESTION), SimMessageBoxes()[0].type);
  EXPECT_FALSE(SimRegValueExists(HKEY_LOCAL_MACHINE, kShared, kDll));
  EXPECT_FALSE(SimExists(kDll));
}

TEST_F(RemoveFilesTest, LastReferenceAnsweredNoKeepsZeroAndTheFile) {
  SimAddFile(kDll);
  SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 1);
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED}});
  SimAnswerMessageBox(IDNO);
  RemoveFiles();
  EXPECT_EQ(Dword(0), Count());
  EXPECT_TRUE(SimExists(kDll));
}

TEST_F(RemoveFilesTest, OddCountValuesAndMissingKeys) {
  // Short values replace the low bytes of a preset 1 and keep their length.
  const struct { std::string stored; std::string after; bool asked; } cases[] = {
      {Dword(0), Dword(0), true},
      {"", "", true},                             // counts as 1, written back empty
      {std::string("\x05", 1), std::string("\x04", 1), false},
      {std::string("\x01\x00\x00", 3), std::string("\x00\x00\x00", 3), true},
      {std::string(8, '\x09'), std::string(8, '\x09'), true},  // too long: not read
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    SimAddFile(kDll);
    SimRegSetValue(HKEY_LOCAL_MACHINE, kShared, kDll, REG_BINARY, c.stored);
    Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED}});
    SimAnswerMessageBox(IDNO);
    RemoveFiles();
    EXPECT_EQ(c.after, Count()) << "stored " << c.stored.size() << " bytes";
    EXPECT_EQ(REG_BINARY, SimRegValueType(HKEY_LOCAL_MACHINE, kShared, kDll));
    EXPECT_EQ(c.asked ? 1u : 0u, SimMessageBoxes().size()) << "stored " << c.stored.size();
  }
  TearDown();
  SetUp();
  SimAddFile(kDll);
  SimRegSetValue(HKEY_LOCAL_MACHINE, kShared, kDll, REG_BINARY, std::string(8, '\x09'));
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED}});
  SimAnswerMessageBox(IDYES);
  RemoveFiles();
  EXPECT_FALSE(SimRegValueExists(HKEY_LOCAL_MACHINE, kShared, kDll)) << "Yes deletes the 8-byte value";
  EXPECT_FALSE(SimExists(kDll));
}

TEST_F(RemoveFilesTest, KeyThatWillNotOpenAsksForEveryEntry) {
  SimAddFile(kDll);
  SimAddFile("C:\\WINDOWS\\SYSTEM\\other.dll");
  SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 5);
  SimRegDenyOpen(HKEY_LOCAL_MACHINE, kShared);
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED},
        {"C:\\WINDOWS\\SYSTEM", "other.dll", FILE_SHARED}});
  SimAnswerMessageBox(IDYES);
  SimAnswerMessageBox(IDNO);
  RemoveFiles();
  EXPECT_EQ(2u, SimMessageBoxes().size());
  EXPECT_FALSE(SimExists(kDll));
  EXPECT_TRUE(SimExists("C:\\WINDOWS\\SYSTEM\\other.dll"));
  EXPECT_EQ(Dword(5), Count()) << "no value changes";
}

TEST_F(RemoveFilesTest, NoMessageBufferLetsTheSharedFileGo) {
  SimAddFile(kDll);
  SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 1);
  Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED}});
  SimFailAllocations(1, 2);
  RemoveFiles();
  EXPECT_TRUE(SimMessageBoxes().empty());
  EXPECT_FALSE(SimRegValueExists(HKEY_LOCAL_MACHINE, kShared, kDll));
  EXPECT_FALSE(SimExists(kDll));
}

TEST_F(RemoveFilesTest, DirectoryEntryIgnoresItsFlags) {
  SimAddDir("C:\\Program Files\\Vantor\\data");
  Load({{".\\data", "", FILE_SHARED | FILE_FONT | FILE_SELFREG}});
  RemoveFiles();
  EXPECT_EQ((std::vector<std::string>{"GetFileAttributesA(C:\\Program Files\\Vantor)",
                                      "RemoveDirectoryA(C:\\Program Files\\Vantor\\data)"}),
            SimCalls()) << "only the installation folder is checked for a link";
  EXPECT_FALSE(SimExists("C:\\Program Files\\Vantor\\data"));
}

// A top-level window that no longer answers cannot hold the uninstall: the
// broadcast skips hung windows and waits at most a second for each other.
TEST_F(RemoveFilesTest, FontIsRemovedAndBroadcastBeforeDeletion) {
  SimAddFile("C:\\WINDOWS\\Fonts\\glide.ttf", "", FILE_ATTRIBUTE_READONLY);
  SimAddHungWindow();
  Load({{"C:\\WINDOWS\\Fonts", "glide.ttf", FILE_FONT}});
  SimAnswerDialog(IDNO);
  RemoveFiles();
  std::vector<std::string> calls = SimCalls();
  ASSERT_GE(calls.size(), 5u);
  EXPECT_EQ("GetFileAttributesA(C:\\WINDOWS\\Fonts)", calls[0]);
  EXPECT_EQ("GetFileAttributesA(C:\\WINDOWS\\Fonts\\glide.ttf)", calls[1]) << "not a link";
  EXPECT_EQ("RemoveFontResourceA(C:\\WINDOWS\\Fonts\\glide.ttf)", calls[2]);
  EXPECT_EQ("SendMessageTimeoutA(broadcast,0x1d,0x0,0x0,0x2,1000)", calls[3]);
  EXPECT_EQ("DeleteFileA(C:\\WINDOWS\\Fonts\\glide.ttf)", calls[4]);
}

TEST_F(RemoveFilesTest, ServerIsUnregisteredThenDeleted) {
  SimAddModule("C:\\Program Files\\Vantor\\srv.dll", true);
  SimAddModule("C:\\Program Files\\Vantor\\plain.dll", false);
  SimAddFile("C:\\Program Files\\Vantor\\gone.dll");
  Load({{".", "srv.dll", FILE_SELFREG}, {".", "plain.dll", FILE_SELFREG}, {".", "gone.dll", FILE_SELFREG}});
  SimFailCall("LoadLibraryExA", 3, 126);
  RemoveFiles();
  EXPECT_TRUE(Called("DllUnregisterServer(C:\\Program Files\\Vantor\\srv.dll)"));
  EXPECT_EQ(1, SimCallCount("DllUnregisterServer"));
  EXPECT_EQ(2, SimCallCount("FreeLibrary"));
  EXPECT_EQ(0, SimLoadedModuleCount());
  EXPECT_FALSE(SimExists("C:\\Program Files\\Vantor\\srv.dll"));
  EXPECT_FALSE(SimExists("C:\\Program Files\\Vantor\\plain.dll"));
  EXPECT_FALSE(SimExists("C:\\Program Files\\Vantor\\gone.dll")) << "deleted even when not loadable";
  EXPECT_EQ(LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32, SimLastLoadFlags())
      << "its dependencies from its own folder and the system's";
}

// Before anything loads a library by name, the search is cut down as far as
// the system allows; a server is then loaded to match.
TEST_F(RemoveFilesTest, LibrarySearchIsRestrictedAtStartUp) {
  struct {
    bool available;
    const char* search;
    int flags;
  } rows[] = {{true, "system32", LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32},
              {false, "default", LOAD_WITH_ALTERED_SEARCH_PATH}};
  for (const auto& row : rows) {
    TearDown();
    SetUp();
    SimSetDefaultDllDirectories(row.available);
    SimAddModule("C:\\Program Files\\Vantor\\srv.dll", true);
    Load({{".", "srv.dll", FILE_SELFREG}});
    EXPECT_EQ(row.search, SimDllSearch());
    RemoveFiles();
    EXPECT_EQ(row.flags, SimLastLoadFlags()) << row.search;
    EXPECT_EQ(1, SimCallCount("DllUnregisterServer")) << row.search;
  }
}

class AnswerTest : public RemoveFilesTest {
 protected:
  void LoadReadOnly(int n) {
    std::vector<Block::File> files;
    for (int i = 0; i < n; i++) {
      std::string name = "f" + std::to_string(i) + ".txt";
      SimAddFile(std::string(kInstallDir) + name, "", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
      files.push_back({".", name, 0});
    }
    Load(files);
  }
  bool Exists(int i) { return SimExists(std::string(kInstallDir) + "f" + std::to_string(i) + ".txt"); }
};

TEST_F(AnswerTest, YesClearsOnlyReadOnlyAndRetries) {
  LoadReadOnly(1);
  SimAnswerDialog(IDYES);
  RemoveFiles();
  EXPECT_FALSE(Exists(0));
  ASSERT_EQ(1u, SimDialogs().size());
  EXPECT_EQ(std::string("The following file is write-protected:\n") + kInstallDir +
                "f0.txt\nDo you want to remove it anyway?",
            SimDialogs()[0].texts.at(IDC_MESSAGE));
  EXPECT_TRUE(Called(std::string("SetFileAttributesA(") + kInstallDir + "f0.txt,0x20)"))
      << "the archive bit is written back";
  EXPECT_EQ(AnswerAsk, AnswerMode);
}

TEST_F(AnswerTest, NoAndCancelKeepTheFileAndAskAgainNextTime) {
  LoadReadOnly(3);
  SimAnswerDialog(IDNO);
  SimAnswerDialog(IDCANCEL);
  SimAnswerDialog(IDYES);
  RemoveFiles();
  EXPECT_TRUE(Exists(0));
  EXPECT_TRUE(Exists(1));
  EXPECT_FALSE(Exists(2));
  EXPECT_EQ(3u, SimDialogs().size());
}

TEST_F(AnswerTest, NoToAllKeepsEveryLaterFileWithoutAsking) {
  LoadReadOnly(3);
  SimAnswerDialog(IDC_NO_ALL);
  RemoveFiles();
  EXPECT_TRUE(Exists(0) && Exists(1) && Exists(2));
  EXPECT_EQ(1u, SimDialogs().size());
  EXPECT_EQ(AnswerNoToAll, AnswerMode);
}

TEST_F(AnswerTest, YesToAllDeletesEveryLaterFileOnceWithoutAsking) {
  LoadReadOnly(3);
  SimHoldOpen(std::string(kInstallDir) + "f1.txt");
  SimAnswerDialog(IDC_YES_ALL);
  RemoveFiles();
  EXPECT_FALSE(Exists(0));
  EXPECT_TRUE(Exists(1)) << "held open: a second refusal is ignored";
  EXPECT_FALSE(Exists(2));
  EXPECT_EQ(1u, SimDialogs().size());
  EXPECT_EQ(AnswerYesToAll, AnswerMode);
}

TEST_F(AnswerTest, HeldFileAsksAgainAfterEveryYes) {
  LoadReadOnly(1);
  SimHoldOpen(std::string(kInstallDir) + "f0.txt");
  SimAnswerDialog(IDYES);
  SimAnswerDialog(IDYES);
  SimAnswerDialog(IDNO);
  RemoveFiles();
  EXPECT_EQ(3u, SimDialogs().size());
  EXPECT_TRUE(Exists(0));
}

TEST_F(AnswerTest, PromptThatCannotBeShownCountsAsNo) {
  LoadReadOnly(2);
  SimFailCall("DialogBoxParamA", 0, 8);
  RemoveFiles();
  EXPECT_TRUE(Exists(0) && Exists(1));
  EXPECT_EQ(AnswerAsk, AnswerMode);
  EXPECT_EQ(2, SimCallCount("DialogBoxParamA")) << "asked again for the second file";
}

TEST_F(AnswerTest, MissingFileIsNotAnAccessProblem) {
  Load({{".", "never-there.txt", 0}, {"Z:\\nowhere", "x.txt", 0}});
  RemoveFiles();
  EXPECT_TRUE(SimDialogs().empty());
  EXPECT_EQ(2, SimCallCount("DeleteFileA"));
}

TEST_F(AnswerTest, TooLongPathIsLeftAlone) {
  Load({{"C:\\" + std::string(250, 'd'), "toolong.txt", FILE_SHARED}});
  RemoveFiles();
  EXPECT_TRUE(SimCallNames().empty()) << "nothing is touched";
}

// Every platform call of the stage fails in turn: the stage goes on with
// the next entry and reports nothing.
TEST_F(AnswerTest, EveryFailingCallIsAbsorbed) {
  const char* calls[] = {"RegOpenKeyExA", "RegQueryValueExA", "RegSetValueExA", "RegDeleteValueA",
                         "RemoveFontResourceA", "SendMessageTimeoutA", "LoadLibraryExA", "GetProcAddress",
                         "DeleteFileA", "GetFileAttributesA", "SetFileAttributesA", "RemoveDirectoryA",
                         "DialogBoxParamA", "MessageBoxA", "RegCloseKey", "FreeLibrary"};
  for (const char* call : calls) {
    TearDown();
    SetUp();
    SimAddModule(kDll, true);
    SimRegSetDword(HKEY_LOCAL_MACHINE, kShared, kDll, 1);
    SimAddFile(std::string(kInstallDir) + "ro.txt", "", FILE_ATTRIBUTE_READONLY);
    SimAddFile(std::string(kInstallDir) + "last.txt");
    SimAddDir(std::string(kInstallDir) + "sub");
    Load({{"C:\\WINDOWS\\SYSTEM", "common.dll", FILE_SHARED | FILE_FONT | FILE_SELFREG},
          {".", "ro.txt", 0}, {".\\sub", "", 0}, {".", "last.txt", 0}});
    SimFailCall(call, 0, 5);
    SimAnswerMessageBox(IDYES);
    SimAnswerDialog(IDYES);
    RemoveFiles();
    if (std::string(call) != "DeleteFileA")
      EXPECT_FALSE(SimExists(std::string(kInstallDir) + "last.txt")) << call << " stopped the stage";
    EXPECT_LE(SimMessageBoxes().size(), 1u) << call;
    if (std::string(call) != "FreeLibrary") EXPECT_EQ(0, SimLoadedModuleCount()) << call;
  }
}

}  // namespace
