// The self-removal script: its exact text, where it goes and how it starts.
// On Windows 95 and 98 it is "Delme.bat" in the drive's root; on NT it lives
// in a folder of its own that only administrators may write.
#include "fixture.h"

namespace {

class SelfRemovalTest : public SimTest {
 protected:
  // A finished confirmed run: InstallDir ends in its backslash. Windows 98
  // unless told otherwise.
  void Prepare(const std::string& module, DWORD platform = VER_PLATFORM_WIN32_WINDOWS, DWORD major = 4) {
    SimSetPlatform(platform, major, platform == VER_PLATFORM_WIN32_NT ? 0 : 10);
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
  table[0x8F] = 0xCF;
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

// SYSTEM and Administrators, full access, inherited by files and folders,
// nothing inherited from above: the descriptor as SDDL would spell it.
std::string DaclText(const std::string& sd) {
  auto u16 = [&](size_t at) { return (unsigned)(uint8_t)sd[at] | (unsigned)(uint8_t)sd[at + 1] << 8; };
  auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  if (sd.size() < 20) return "no descriptor";
  std::string out = "D:";
  if (u16(2) & 0x1000) out += "P";
  size_t acl = u32(16);
  for (size_t ace = acl + 8, i = 0; i < u16(acl + 4); i++, ace += u16(ace + 2)) {
    out += "(" + std::string((uint8_t)sd[ace] == 0 ? "A" : "?") + ";";
    out += ((uint8_t)sd[ace + 1] == 3 ? "OICI" : "flags" + std::to_string((uint8_t)sd[ace + 1])) + ";";
    out += (u32(ace + 4) == 0x1F01FF ? "FA" : std::to_string(u32(ace + 4))) + ";;;S-1-";
    out += std::to_string((uint8_t)sd[ace + 15]);
    for (int k = 0; k < (uint8_t)sd[ace + 9]; k++) out += "-" + std::to_string(u32(ace + 16 + 4 * k));
    out += ")";
  }
  return out;
}

TEST_F(SelfRemovalTest, NtScriptWaitsInAFreshAdministratorsOnlyFolderAndRunsThroughCmd) {
  Prepare("C:\\Program Files\\Editor\\Remove.exe", VER_PLATFORM_WIN32_NT, 10);
  SimSetShortName("C:\\Program Files", "C:\\PROGRA~1");
  SimAddDir("C:\\Delme.bat");  // anyone may make a folder in the root: no matter here
  ScheduleSelfRemoval();
  const SimProcessRecord& p = SimLastProcess();
  const std::string folder = p.currentDirectory;
  EXPECT_EQ(0u, folder.rfind("C:\\WINDOWS\\TEMP\\~sk", 0)) << folder;
  EXPECT_EQ(27u, folder.size()) << folder;
  EXPECT_EQ("D:P(A;OICI;FA;;;S-1-5-18)(A;OICI;FA;;;S-1-5-32-544)", DaclText(SimDirectoryDescriptor(folder)));
  EXPECT_TRUE(Called("CreateFileA(" + folder + "\\Delme.bat,0x40000000,0x0,1,0x80)")) << "created anew, never reused";
  EXPECT_EQ(
      "set k=0\r\n"
      ":Repeat\r\n"
      "del \"C:\\PROGRA~1\\Editor\\Remove.exe\"\r\n"
      "set /a k+=1\r\n"
      "if exist \"C:\\PROGRA~1\\Editor\\Remove.exe\" if %k% lss 100000 goto Repeat\r\n"
      "rmdir \"C:\\PROGRA~1\\Editor\"\r\n"
      "del \"" + folder + "\\Delme.bat\"\r\n",
      SimFileBytes(folder + "\\Delme.bat"));
  EXPECT_FALSE(p.hasApplication) << "the quoted full path leaves nothing to search for";
  // The script's folder goes once the interpreter has closed the script.
  EXPECT_EQ("\"C:\\WINDOWS\\SYSTEM32\\cmd.exe\" /D /E:ON /V:OFF /C call Delme.bat & cd .. & rmdir " +
                folder.substr(16),
            p.commandLine);
  EXPECT_EQ((DWORD)(CREATE_SUSPENDED | IDLE_PRIORITY_CLASS), p.flags);
  EXPECT_TRUE(p.resumed);
  EXPECT_TRUE(SimIsDir("C:\\Delme.bat"));
  EXPECT_EQ(0, SimOpenHandleCount());

  // NT 4.0's interpreter has no AutoRun and none of those switches.
  TearDown();
  SetUp();
  Prepare("C:\\App\\Remove.exe", VER_PLATFORM_WIN32_NT, 4);
  ScheduleSelfRemoval();
  EXPECT_EQ("\"C:\\WINDOWS\\SYSTEM32\\cmd.exe\" /C call Delme.bat & cd .. & rmdir " +
                SimLastProcess().currentDirectory.substr(16),
            SimLastProcess().commandLine);
}

// A folder someone made in advance is never used, whatever its name; a run
// that may not write the administrators' folder uses a plain one in its own
// temporary folder; any other failure leaves no script and no folder.
TEST_F(SelfRemovalTest, NtScriptFolderIsOnlyEverOneThisRunMade) {
  for (int round = 0; round < 3; round++) {
    TearDown();
    SetUp();
    Prepare("C:\\App\\Remove.exe", VER_PLATFORM_WIN32_NT, 6);
    SimClearCalls();
    if (round == 0) SimFailCall("CreateDirectoryA", 1, ERROR_ALREADY_EXISTS);
    if (round == 1) SimFailCall("CreateFileA", 1, ERROR_ACCESS_DENIED);
    if (round == 2) SimFailCall("CreateFileA", 1, ERROR_DISK_FULL);
    ScheduleSelfRemoval();
    std::vector<std::string> made;
    for (const std::string& call : SimCalls())
      if (call.rfind("CreateDirectoryA(", 0) == 0) made.push_back(call);
    std::vector<std::string> left = SimListDir("C:\\WINDOWS\\TEMP");
    if (round == 2) {
      EXPECT_TRUE(left.empty()) << left[0];
      EXPECT_TRUE(SimProcesses().empty());
      continue;
    }
    ASSERT_EQ(2u, made.size()) << round;
    EXPECT_NE(made[0], made[1]) << "a second name";
    ASSERT_EQ(1u, left.size()) << round;
    const std::string folder = "C:\\WINDOWS\\TEMP\\" + left[0];
    EXPECT_EQ(folder, SimLastProcess().currentDirectory);
    EXPECT_EQ(round == 1, SimDirectoryDescriptor(folder).empty()) << round;
  }
}

// Hostile folder names on the way to the script: each comes out quoted in
// the OEM code page with "%" doubled, or, where the code page would turn a
// character into a quote or a percent sign, there is no script at all.
TEST_F(SelfRemovalTest, HostileFolderNamesAreQuotedAfterConversionOrRefused) {
  unsigned char table[256];
  for (int i = 0; i < 256; i++) table[i] = (unsigned char)i;
  table[0x94] = '"';  // best fit of 1252 -> 437: right double quote
  table[0x89] = '%';  // per mille
  table[0x88] = '^';  // modifier circumflex
  table[0xE9] = 0x82, table[0x82] = 0xE9;  // e acute, a true mapping
  struct Row {
    const char* dir;
    const char* line;  // the rmdir line, or null: no script
    const char* line98 = nullptr;  // where 98 writes it unquoted
  } rows[] = {
      {"C:\\a\x94 & calc \x94x", nullptr},
      {"C:\\50\x89PATH\x89", nullptr},
      {"C:\\x\x88&y", nullptr},
      {"C:\\A!B!", "rmdir \"C:\\A!B!\""},
      {"C:\\a%PATH%b", "rmdir \"C:\\a%%PATH%%b\""},
      {"C:\\a&b^c|d", "rmdir \"C:\\a&b^c|d\""},
      {"C:\\caf\xE9", "rmdir \"C:\\caf\x82\"", "rmdir C:\\caf\x82"},
  };
  for (DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    for (const Row& row : rows) {
      TearDown();
      SetUp();
      SimSetOemTable(table);
      Prepare(std::string(row.dir) + "\\R.exe", platform, platform == VER_PLATFORM_WIN32_NT ? 10 : 4);
      ScheduleSelfRemoval();
      std::string where = std::string(row.dir) + (platform == VER_PLATFORM_WIN32_NT ? " on NT" : " on 98");
      if (!row.line) {
        EXPECT_TRUE(SimProcesses().empty()) << where;
        EXPECT_FALSE(SimExists("C:\\Delme.bat")) << where;
        EXPECT_TRUE(SimListDir("C:\\WINDOWS\\TEMP").empty()) << where;
        continue;
      }
      std::string script = SimFileBytes(StartedScript());
      std::string line = row.line98 && platform != VER_PLATFORM_WIN32_NT ? row.line98 : row.line;
      EXPECT_NE(std::string::npos, script.find(line + "\r\n")) << where << "\n" << script;
    }
  }
}

}  // namespace
