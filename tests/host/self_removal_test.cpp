// The self-removal script: its exact text, where it goes and how it starts.
#include "fixture.h"

namespace {

class SelfRemovalTest : public SimTest {
 protected:
  // A finished confirmed run: InstallDir ends in its backslash.
  void Prepare(const std::string& module) {
    SimSetModulePath(module);
    SimAddFile(module);
    ASSERT_EQ(1, InitializeRun(InstanceHandle));
    SimClearCalls();
  }
};

TEST_F(SelfRemovalTest, ScriptForShortPathsIsTheFiveLinesAsTheyStand) {
  Prepare("C:\\Program Files\\Editor\\Remove.exe");
  SimSetShortName("C:\\Program Files", "C:\\PROGRA~1");
  SimSetShortName("C:\\Program Files\\Editor", "C:\\PROGRA~1\\EDITOR");
  SimSetShortName("C:\\Program Files\\Editor\\Remove.exe", "C:\\PROGRA~1\\EDITOR\\REMOVE.EXE");
  ScheduleSelfRemoval();
  EXPECT_EQ(
      ":Repeat\r\n"
      "del C:\\PROGRA~1\\EDITOR\\REMOVE.EXE\r\n"
      "if exist C:\\PROGRA~1\\EDITOR\\REMOVE.EXE goto Repeat\r\n"
      "rmdir C:\\PROGRA~1\\EDITOR\r\n"
      "del C:\\Delme.bat\r\n",
      SimFileBytes("C:\\Delme.bat"));
  const SimProcessRecord& p = SimLastProcess();
  EXPECT_FALSE(p.hasApplication);
  EXPECT_EQ("C:\\Delme.bat", p.commandLine);
  EXPECT_EQ((DWORD)(CREATE_SUSPENDED | IDLE_PRIORITY_CLASS), p.flags);
  EXPECT_FALSE(p.inheritHandles);
  EXPECT_FALSE(p.hasEnvironment);
  EXPECT_FALSE(p.hasCurrentDirectory);
  EXPECT_EQ((DWORD)STARTF_USESHOWWINDOW, p.startup.dwFlags);
  EXPECT_EQ(SW_HIDE, p.startup.wShowWindow);
  EXPECT_EQ((DWORD)sizeof(STARTUPINFOA), p.startup.cb);
  EXPECT_TRUE(p.resumed);
  EXPECT_EQ(THREAD_PRIORITY_IDLE, p.threadPriority);
  std::vector<std::string> tail;
  for (const auto& n : SimCallNames())
    if (n == "SetThreadPriority" || n == "SetPriorityClass" || n == "ResumeThread" || n == "CloseHandle")
      tail.push_back(n);
  std::vector<std::string> expected = {"CloseHandle" /* the script file */, "SetThreadPriority",
                                       "SetThreadPriority", "SetPriorityClass", "CloseHandle",
                                       "ResumeThread", "CloseHandle"};
  EXPECT_EQ(expected, tail);
  EXPECT_EQ(0, SimOpenHandleCount());
}

TEST_F(SelfRemovalTest, StubInADriveRootRemovesTheRoot) {
  Prepare("D:\\Remove.exe");
  ScheduleSelfRemoval();
  EXPECT_EQ(":Repeat\r\ndel D:\\Remove.exe\r\nif exist D:\\Remove.exe goto Repeat\r\nrmdir D:\\\r\n"
            "del D:\\Delme.bat\r\n",
            SimFileBytes("D:\\Delme.bat"));
}

TEST_F(SelfRemovalTest, NoDriveLetterUsesTheBareName) {
  Prepare("\\\\server\\share\\app\\Remove.exe");
  SimSetCurrentDirectory("C:\\Work");
  ScheduleSelfRemoval();
  std::string script = SimFileBytes("C:\\Work\\Delme.bat");
  EXPECT_NE(std::string::npos, script.find("rmdir \\\\server\\share\\app\r\ndel Delme.bat\r\n")) << script;
  EXPECT_EQ("Delme.bat", SimLastProcess().commandLine);
}

TEST_F(SelfRemovalTest, PathsThatTheInterpreterWouldSplitOrExpandAreQuoted) {
  Prepare("C:\\A B & C\\50% (x)\\Remove.exe");
  ScheduleSelfRemoval();
  EXPECT_EQ(":Repeat\r\n"
            "del \"C:\\A B & C\\50%% (x)\\Remove.exe\"\r\n"
            "if exist \"C:\\A B & C\\50%% (x)\\Remove.exe\" goto Repeat\r\n"
            "rmdir \"C:\\A B & C\\50%% (x)\"\r\n"
            "del C:\\Delme.bat\r\n",
            SimFileBytes("C:\\Delme.bat"));
}

TEST_F(SelfRemovalTest, LongestPathsStillFitTheScript) {
  std::string dir = "C:\\" + std::string(236, '%');  // stub path of 259 bytes
  Prepare(dir + "\\" + std::string(15, '&') + ".exe");
  ScheduleSelfRemoval();
  std::string script = SimFileBytes("C:\\Delme.bat");
  EXPECT_NE(std::string::npos, script.find("rmdir \"C:\\" + std::string(472, '%') + "\"\r\n"));
  EXPECT_EQ(1u, SimProcesses().size());
}

TEST_F(SelfRemovalTest, ReadOnlyStubIsMadeDeletableFirst) {
  Prepare("C:\\App\\Remove.exe");
  SimAddFile("C:\\App\\Remove.exe", "", FILE_ATTRIBUTE_READONLY);
  ScheduleSelfRemoval();
  EXPECT_EQ(0u, SimAttributes("C:\\App\\Remove.exe") & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(1u, SimProcesses().size());

  TearDown();
  SetUp();
  Prepare("C:\\App\\Remove.exe");
  SimAddFile("C:\\App\\Remove.exe", "", FILE_ATTRIBUTE_READONLY);
  SimFailCall("SetFileAttributesA", 0, 5);
  ScheduleSelfRemoval();
  EXPECT_TRUE(SimProcesses().empty()) << "a script that could never finish is not started";
  EXPECT_FALSE(SimExists("C:\\Delme.bat"));
}

TEST_F(SelfRemovalTest, ScriptIsWrittenInTheOemCodePage) {
  unsigned char table[256];
  for (int i = 0; i < 256; i++) table[i] = (unsigned char)i;
  table[0xCF] = 0x8F;  // Cyrillic capital Pe: 1251 -> 866
  SimSetOemTable(table);
  Prepare("C:\\\xCF\\R.exe");
  ScheduleSelfRemoval();
  EXPECT_NE(std::string::npos, SimFileBytes("C:\\Delme.bat").find("rmdir C:\\\x8F\r\n"));
}

// Without the stub's own path the script's lines would name whatever the
// scratch path last held: the last folder the sweep tried.
TEST_F(SelfRemovalTest, NoScriptWithoutTheStubsOwnPath) {
  for (bool cutShort : {false, true}) {
    Prepare("C:\\App\\Remove.exe");
    StrCopy(WorkPath, "C:\\App\\Data");
    SimAddDir("C:\\App\\Data");
    if (cutShort)
      SimSetModulePath("C:\\App\\" + std::string(260, 'x') + ".exe");
    else
      SimFailCall("GetModuleFileNameA", 1, ERROR_INVALID_HANDLE);
    ScheduleSelfRemoval();
    EXPECT_FALSE(SimExists("C:\\Delme.bat")) << (cutShort ? "path cut short" : "call failed");
    EXPECT_TRUE(SimProcesses().empty()) << (cutShort ? "path cut short" : "call failed");
    TearDown();
    SetUp();
  }
}

TEST_F(SelfRemovalTest, FailuresLeaveNothingRunning) {
  Prepare("C:\\App\\Remove.exe");
  SimFailCall("CreateFileA", 1, 5);
  ScheduleSelfRemoval();
  EXPECT_EQ(0, SimCallCount("CreateProcessA"));

  SimFailCall("CreateProcessA", 1, 2);
  ScheduleSelfRemoval();
  EXPECT_FALSE(SimExists("C:\\Delme.bat")) << "the unused script is deleted";
  EXPECT_EQ(0, SimOpenHandleCount());

  SimFailCall("WriteFile", 1, 112);
  ScheduleSelfRemoval();
  EXPECT_FALSE(SimExists("C:\\Delme.bat")) << "a script not written whole is deleted";
  EXPECT_TRUE(SimProcesses().empty()) << "and not started";
}

}  // namespace
