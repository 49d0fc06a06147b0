// The write-protected prompt and the dialog's brush and font.
#include "fixture.h"

namespace {

class DialogTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, StartAndLoad(ExampleBlock()));
    OwnerWindow = (HWND)(uintptr_t)0x99;
  }
  void TearDown() override {
    ReleaseDialogObjects();
    SimTest::TearDown();
  }
};

TEST_F(DialogTest, PromptShowsTextsFromTheTableAndReturnsTheButton) {
  SimAnswerDialog(IDC_YES_ALL);
  EXPECT_EQ(IDC_YES_ALL, AskWriteProtected("C:\\f.txt"));
  ASSERT_EQ(1u, SimDialogs().size());
  const SimDialogRecord& d = SimDialogs()[0];
  EXPECT_EQ(IDD_WRITE_PROTECTED, d.templateId);
  EXPECT_EQ(OwnerWindow, d.owner);
  EXPECT_EQ("Uninstall", d.caption);
  EXPECT_EQ("The following file is write-protected:\nC:\\f.txt\nDo you want to remove it anyway?",
            d.texts.at(IDC_MESSAGE));
  EXPECT_EQ("&Yes", d.texts.at(IDYES));
  EXPECT_EQ("Yes to &all", d.texts.at(IDC_YES_ALL));
  EXPECT_EQ("&No", d.texts.at(IDNO));
  EXPECT_EQ("No t&o all", d.texts.at(IDC_NO_ALL));
  EXPECT_EQ(1, d.initResult) << "focus goes to the first tab stop";
}

TEST_F(DialogTest, MessageBufferIsFreedAfterTheDialog) {
  int before = SimLiveBlocks();
  SimAnswerDialog(IDNO);
  AskWriteProtected("C:\\f.txt");
  SimFailCall("DialogBoxParamA", 1, 1813);
  AskWriteProtected("C:\\f.txt");
  EXPECT_EQ(before, SimLiveBlocks());
}

TEST_F(DialogTest, EveryCommandEndsTheDialogWithItsId) {
  for (int id : {IDYES, IDNO, IDC_NO_ALL, IDCANCEL, 4242}) {
    SimAnswerDialog(id);
    EXPECT_EQ(id, AskWriteProtected("x")) << id;
  }
  SimFailCall("DialogBoxParamA", 1, 1813);
  EXPECT_EQ(IDNO, AskWriteProtected("x")) << "a dialog that cannot be made counts as No";
  SimFailAllocations(1, 2);
  EXPECT_EQ(IDNO, AskWriteProtected("x")) << "no message buffer";
  EXPECT_EQ(6, SimCallCount("DialogBoxParamA")) << "no dialog without its text";
}

TEST_F(DialogTest, ControlsGetOneNormalWeightFontAcrossShowings) {
  SimAnswerDialog(IDNO);
  SimAnswerDialog(IDNO);
  AskWriteProtected("a");
  AskWriteProtected("b");
  ASSERT_EQ(2u, SimDialogs().size());
  HFONT font = SimDialogs()[0].fonts.at(IDYES);
  ASSERT_NE(nullptr, font);
  EXPECT_EQ(FW_NORMAL, SimFont(font).lfWeight);
  EXPECT_STREQ("MS Sans Serif", SimFont(font).lfFaceName);
  for (const auto& d : SimDialogs())
    for (int id : {IDYES, IDC_YES_ALL, IDC_MESSAGE, IDNO, IDC_NO_ALL})
      EXPECT_EQ(font, d.fonts.at(id)) << "control " << id;
  EXPECT_EQ(1, SimCallCount("CreateFontIndirectA"));
}

TEST_F(DialogTest, FontThatCannotBeMadeIsTriedAgainNextTime) {
  SimFailCall("CreateFontIndirectA", 1, 8);
  SimAnswerDialog(IDNO);
  SimAnswerDialog(IDNO);
  AskWriteProtected("a");
  AskWriteProtected("b");
  EXPECT_NE(DialogFont, SimDialogs()[0].fonts.at(IDYES)) << "the template font stays";
  EXPECT_EQ(DialogFont, SimDialogs()[1].fonts.at(IDYES));
  EXPECT_EQ(2, SimCallCount("CreateFontIndirectA"));
}

TEST_F(DialogTest, ColourMessagesGetTheButtonFaceBrush) {
  SimAnswerDialog(IDNO);
  AskWriteProtected("a");
  const SimDialogRecord& d = SimDialogs()[0];
  for (UINT m : {WM_CTLCOLORDLG, WM_CTLCOLORBTN, WM_CTLCOLORSTATIC, WM_CTLCOLORMSGBOX})
    EXPECT_EQ((INT_PTR)DialogBrush, d.colorResults.at(m)) << std::hex << m;
  EXPECT_EQ(0, d.colorResults.at(WM_CTLCOLOREDIT));
  EXPECT_EQ(0, DialogColorHandler(nullptr, WM_CTLCOLORSCROLLBAR, 0, 0));
  EXPECT_EQ(0, DialogColorHandler(nullptr, WM_CTLCOLORLISTBOX, 0, 0));
}

TEST_F(DialogTest, BrushFollowsStartupColourAndStockBrushIsNeverDeleted) {
  SimSetSysColor(COLOR_BTNFACE, RGB(1, 2, 3));
  ReleaseDialogObjects();
  CreateDialogBrush();
  SimSetSysColor(COLOR_BTNFACE, RGB(9, 9, 9));
  SimAnswerDialog(IDNO);
  AskWriteProtected("a");
  for (const auto& bk : SimDialogs()[0].bkColors) EXPECT_EQ(RGB(9, 9, 9), bk.second);

  ReleaseDialogObjects();
  SimFailCall("CreateSolidBrush", 1, 8);
  CreateDialogBrush();
  EXPECT_EQ(GetStockObject(LTGRAY_BRUSH), (HGDIOBJ)DialogBrush);
  SimClearCalls();
  DialogFont = nullptr;
  ReleaseDialogObjects();
  EXPECT_EQ(0, SimCallCount("DeleteObject"));
  DialogBrush = nullptr;
}

}  // namespace
