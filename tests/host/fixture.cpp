#include "fixture.h"

#include <algorithm>

const std::vector<std::string> kExampleTexts = {
    "Uninstall",
    "This program will uninstall Vantor Gliders 1.0 from your hard drive. Click OK to continue.",
    "Vantor Gliders 1.0 has been successfully removed from your hard drive.",
    "&Yes",
    "Yes to &all",
    "&No",
    "No t&o all",
    "Out of memory!",
    "Invalid uninstall info. This program cannot uninstall Vantor Gliders 1.0.",
    "The following file is write-protected:\n%s\nDo you want to remove it anyway?",
    "The following system file is apparently no longer used:\n%s\nDo you want to remove it?",
};

const char kStubPath[] = "C:\\Program Files\\Vantor\\Uninst.exe";
const char kInstallDir[] = "C:\\Program Files\\Vantor\\";

Block ExampleBlock() {
  const std::string desktop = "C:\\WINDOWS\\\xD0\xE0\xE1\xEE\xF7\xE8\xE9 \xF1\xF2\xEE\xEB";
  const std::string programs =
      "C:\\WINDOWS\\\xC3\xEB\xE0\xE2\xED\xEE\xE5 \xEC\xE5\xED\xFE\\\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB"
      "\\Vantor Gliders";
  Block b;
  b.strings(kExampleTexts)
      .keys({})
      .files({{".", "glider.dll", 0},
              {".", "glide.exe", 0},
              {desktop, "Vantor Gliders 1.0.lnk", 0},
              {".", "glide.dat", 0},
              {".", "guide.txt", 0}})
      .shortcuts({{programs, "Uninstall Vantor Gliders.lnk"},
                  {programs, "Vantor Gliders 1.0.lnk"},
                  {programs, "Vantor Gliders Read Me.lnk"}})
      .key({kHklm, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor Gliders 1.0"})
      .end();
  return b;
}

void SimTest::SetUp() {
  SimReset();
  UninstallInfo = UninstallInfoModel{};
  InstanceHandle = (HINSTANCE)(uintptr_t)0x400000;
  OwnerWindow = nullptr;
  ModulePath = WorkPath = InstallDir = nullptr;
  AnswerMode = AnswerAsk;
  DialogBrush = nullptr;
  DialogFont = nullptr;
  DataLocator.dataOffset = 0;
  SimSetModulePath(kStubPath);
  SimAddDialogTemplate(IDD_WRITE_PROTECTED, {IDYES, IDC_YES_ALL, IDC_MESSAGE, IDNO, IDC_NO_ALL});
}

void SimTest::TearDown() {
  ReleaseUninstallInfo();
  FreeAndClear(&ModulePath);
  FreeAndClear(&WorkPath);
  FreeAndClear(&InstallDir);
  DataLocator.dataOffset = 0;
}

void SimTest::InstallStubBytes(const std::string& appended) {
  SimAddFile(kStubPath, std::string(kStubImageSize, 'M') + appended);
  DataLocator.dataOffset = kStubImageSize;
}

void SimTest::InstallStub(const Block& block) { InstallStubBytes(block.bytes()); }

int SimTest::StartAndLoad(const Block& block) {
  InstallStub(block);
  EXPECT_EQ(1, InitializeRun(InstanceHandle));
  return LoadUninstallInfo();
}

bool SimTest::Called(const std::string& entry) {
  const auto& calls = SimCalls();
  return std::find(calls.begin(), calls.end(), entry) != calls.end();
}

void ExpectNothingLeaked() {
  EXPECT_EQ(0, SimLiveBlocks()) << "heap blocks still allocated";
  EXPECT_EQ(0, SimOpenHandleCount()) << "file/process handles still open";
  EXPECT_EQ(0, SimOpenKeyCount()) << "registry keys still open";
  EXPECT_EQ(0, SimLiveItemLists()) << "shell item lists not freed";
  EXPECT_EQ(0, SimLoadedModuleCount()) << "modules not freed";
}

std::string StartedScript() {
  const SimProcessRecord& p = SimLastProcess();
  return p.commandLine.rfind("\"", 0) == 0 ? p.currentDirectory + "\\Delme.bat" : p.commandLine;
}
