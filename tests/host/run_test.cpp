// The main sequence: order of the steps, confirmed and cancelled runs, and
// every early exit with its code.
#include <algorithm>

#include "fixture.h"

namespace {

class RunTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    SimAddFile("C:\\Program Files\\Vantor\\glider.dll");
    InstallStub(ExampleBlock());
  }
  int Run() { return RunUninstaller(InstanceHandle, nullptr, (LPSTR) "", 1); }
  size_t IndexOf(const std::string& name) {
    auto names = SimCallNames();
    return std::find(names.begin(), names.end(), name) - names.begin();
  }
};

TEST_F(RunTest, ConfirmedRunRemovesThenReportsThenSchedulesRemoval) {
  SimAnswerMessageBox(IDOK);
  SimAnswerMessageBox(IDOK);
  EXPECT_EQ(0, Run());
  ASSERT_EQ(2u, SimMessageBoxes().size());
  EXPECT_EQ(kExampleTexts[STR_CONFIRM], SimMessageBoxes()[0].text);
  EXPECT_EQ((UINT)(MB_OKCANCEL | MB_ICONINFORMATION), SimMessageBoxes()[0].type);
  EXPECT_EQ(kExampleTexts[STR_DONE], SimMessageBoxes()[1].text);
  EXPECT_EQ((UINT)MB_ICONINFORMATION, SimMessageBoxes()[1].type);
  EXPECT_NE(nullptr, SimMessageBoxes()[0].owner);
  EXPECT_FALSE(SimExists("C:\\Program Files\\Vantor\\glider.dll"));

  EXPECT_LT(IndexOf("OleInitialize"), IndexOf("GetModuleFileNameA"));
  EXPECT_LT(IndexOf("CreateFileA"), IndexOf("RegisterClassA")) << "load before the window";
  EXPECT_LT(IndexOf("RegisterClassA"), IndexOf("CreateWindowExA"));
  EXPECT_LT(IndexOf("CreateWindowExA"), IndexOf("MessageBoxA"));
  EXPECT_LT(IndexOf("DeleteFileA"), IndexOf("SetCurrentDirectoryA")) << "files before the sweep";
  EXPECT_LT(IndexOf("SetCurrentDirectoryA"), IndexOf("GetVersionExA")) << "sweep before keys";
  EXPECT_LT(IndexOf("DestroyWindow"), IndexOf("CreateProcessA"));
  EXPECT_LT(IndexOf("CreateProcessA"), IndexOf("OleUninitialize"));
  auto names = SimCallNames();
  size_t lastBox = std::find(names.rbegin(), names.rend(), "MessageBoxA").base() - names.begin() - 1;
  EXPECT_LT(IndexOf("GetVersionExA"), lastBox) << "the done box comes after the stages";
  EXPECT_LT(lastBox, IndexOf("DestroyWindow"));
  EXPECT_TRUE(SimExists(StartedScript()));
  EXPECT_EQ(0, SimOleNesting());
  EXPECT_EQ(0, SimLiveGdiObjects());
  ExpectNothingLeaked();
}

TEST_F(RunTest, CancelledRunRemovesNothingAndStillShutsDown) {
  SimAnswerMessageBox(IDCANCEL);
  EXPECT_EQ(0, Run());
  EXPECT_EQ(1u, SimMessageBoxes().size());
  EXPECT_TRUE(SimExists("C:\\Program Files\\Vantor\\glider.dll"));
  EXPECT_EQ(0, SimCallCount("DeleteFileA"));
  EXPECT_EQ(0, SimCallCount("GetVersionExA"));
  EXPECT_EQ(0, SimCallCount("CreateProcessA"));
  EXPECT_FALSE(SimExists("C:\\Delme.bat"));
  EXPECT_EQ(1, SimCallCount("DestroyWindow"));
  EXPECT_EQ(1, SimCallCount("OleUninitialize"));
  EXPECT_EQ(0, SimLiveWindowCount());
  ExpectNothingLeaked();
}

TEST_F(RunTest, ConfirmationThatCannotBeShownCountsAsCancel) {
  SimFailCall("MessageBoxA", 1, 8);
  EXPECT_EQ(0, Run());
  EXPECT_EQ(0, SimCallCount("DeleteFileA"));
}

TEST_F(RunTest, EarlyExitsAndTheirCodes) {
  DataLocator.dataOffset = 0;
  EXPECT_EQ(-1, Run()) << "no data";
  EXPECT_EQ(0, SimCallCount("RegisterClassA"));
  EXPECT_TRUE(SimMessageBoxes().empty());

  TearDown();
  SetUp();
  SimFailCall("RegisterClassA", 1, 8);
  EXPECT_EQ(0, Run()) << "window class refused";
  EXPECT_EQ(0, SimCallCount("CreateWindowExA"));
  EXPECT_TRUE(SimMessageBoxes().empty());

  TearDown();
  SetUp();
  SimFailCall("CreateWindowExA", 1, 8);
  EXPECT_EQ(-1, Run()) << "window refused";
  EXPECT_TRUE(SimMessageBoxes().empty());

  TearDown();
  SetUp();
  InstallStubBytes("\x34\x12");
  EXPECT_EQ(-1, Run()) << "damaged data";
  EXPECT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ(0, SimCallCount("RegisterClassA"));

  TearDown();
  SetUp();
  SimFailAllocations(1, 2);
  EXPECT_EQ(0, Run()) << "no path buffer";
  EXPECT_EQ(0, SimCallCount("CreateFileA"));
}

TEST_F(RunTest, OwnerWindowIsHiddenAndOfItsClass) {
  SimAnswerMessageBox(IDCANCEL);
  Run();
  const SimWindowClass& wc = SimLastWindowClass();
  EXPECT_EQ("SweepkitClass", wc.className);
  EXPECT_EQ((UINT)(CS_HREDRAW | CS_VREDRAW), wc.wc.style);
  EXPECT_EQ(GetStockObject(NULL_BRUSH), (HGDIOBJ)wc.wc.hbrBackground);
  EXPECT_EQ(0, SimCallCount("ShowWindow"));
  EXPECT_TRUE(Called("LoadIconA(800)") || SimCallCount("LoadIconA") == 1);
}

TEST_F(RunTest, QueuedMessagesAreDispatchedBeforeTheLoopEnds) {
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  ASSERT_EQ(1, LoadUninstallInfo());
  ASSERT_NE(0, RegisterOwnerClass());
  ASSERT_EQ(1, CreateOwnerWindow());
  SimPostMessage(OwnerWindow, WM_USER, 1, 2);
  SimClearCalls();
  DrainMessageQueue();
  auto names = SimCallNames();
  ASSERT_GE(std::count(names.begin(), names.end(), "DispatchMessageA"), 1);
  EXPECT_EQ(0, SimEmptyQueueReads()) << "the loop ended at the quit message";
  EXPECT_FALSE(SimWindowExists(OwnerWindow));
}

TEST_F(RunTest, InstallDirIsTheStubsFolderWithABackslash) {
  const struct { const char* module; const char* dir; } cases[] = {
      {"D:\\Apps\\Tool\\stub.exe", "D:\\Apps\\Tool\\"},
      {"D:\\stub.exe", "D:\\"},
      {"stub.exe", "stub.exe\\"},
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    SimSetModulePath(c.module);
    ASSERT_EQ(1, InitializeRun(InstanceHandle));
    EXPECT_STREQ(c.dir, InstallDir) << c.module;
  }
  TearDown();
  SetUp();
  SimFailCall("GetModuleFileNameA", 1, 5);
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_STREQ("", InstallDir);
}

}  // namespace

namespace {

TEST_F(RunTest, DrainEndsEvenWhenTheWindowIsAlreadyGone) {
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  OwnerWindow = (HWND)(uintptr_t)0x4444;  // no such window: no WM_DESTROY, no quit message from it
  DrainMessageQueue();
  EXPECT_EQ(0, SimEmptyQueueReads()) << "the loop ended at a quit message of its own";
}

}  // namespace
