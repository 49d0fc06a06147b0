// Message texts: lookup, formatting with a path, and the boxes.
#include "fixture.h"

namespace {

class StringsTest : public SimTest {
 protected:
  std::string Format(const std::string& text, const std::string& path) {
    std::vector<std::string> texts(STR_COUNT, "");
    texts[STR_WRITE_PROTECTED] = text;
    Block b;
    b.strings(texts).end();
    ReleaseUninstallInfo();
    InstallStub(b);
    if (!ModulePath) InitializeRun(InstanceHandle);
    EXPECT_EQ(1, LoadUninstallInfo());
    std::vector<char> out(MESSAGE_BUFFER_SIZE + 16, '#');
    FormatMessageText(out.data(), STR_WRITE_PROTECTED, path.c_str());
    EXPECT_EQ('#', out[MESSAGE_BUFFER_SIZE]) << "written past the 1024-byte buffer";
    return std::string(out.data());
  }
};

TEST_F(StringsTest, PathTakesThePlaceOfPercentS) {
  EXPECT_EQ("The following file is write-protected:\nC:\\a.txt\nDo you want to remove it anyway?",
            Format(kExampleTexts[STR_WRITE_PROTECTED], "C:\\a.txt"));
  EXPECT_EQ("100% sure: C:\\a", Format("100%% sure: %s", "C:\\a"));
}

TEST_F(StringsTest, TextWithoutPercentSIsCopiedAsStored) {
  EXPECT_EQ("Out of memory!", Format("Out of memory!", "C:\\ignored"));
  EXPECT_EQ("50%", Format("50%", "C:\\x")) << "a lone percent sign at the end";
  EXPECT_EQ("%d and %%", Format("%d and %%", "C:\\x")) << "no %s: no format processing";
}

TEST_F(StringsTest, OtherConversionsNeverReadMissingArguments) {
  EXPECT_EQ("%d C:\\x %s", Format("%d %s %s", "C:\\x"));
  EXPECT_EQ("%n%p C:\\x", Format("%n%p %s", "C:\\x"));
}

TEST_F(StringsTest, ComposedTextIsCutToTheBuffer) {
  std::string path(259, 'p');
  std::string text = std::string(900, 't') + "%s";
  std::string out = Format(text, path);
  EXPECT_EQ(1023u, out.size());
  EXPECT_EQ(std::string(900, 't') + std::string(123, 'p'), out);
  EXPECT_EQ(1023u, Format(std::string(3000, 'v'), "x").size());
}

TEST_F(StringsTest, ShowMessageIsOwnedAndCaptioned) {
  ASSERT_EQ(1, StartAndLoad(ExampleBlock()));
  OwnerWindow = (HWND)(uintptr_t)0x1234;
  SimAnswerMessageBox(IDYES);
  EXPECT_EQ(IDYES, ShowMessage("Question?", MB_YESNO | MB_ICONQUESTION));
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ(OwnerWindow, SimMessageBoxes()[0].owner);
  EXPECT_EQ("Uninstall", SimMessageBoxes()[0].caption);
  EXPECT_EQ("Question?", SimMessageBoxes()[0].text);
  SimFailCall("MessageBoxA", 1, 8);
  EXPECT_EQ(0, ShowMessage("x", MB_OK));
  OwnerWindow = nullptr;
}

}  // namespace
