// Path rules on the process-wide buffers.
#include "fixture.h"

namespace {

class PathsTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    SimSetModulePath("D:\\Apps\\Tool\\stub.exe");
    ASSERT_EQ(1, InitializeRun(InstanceHandle));
  }
  std::string Resolve(const std::string& dir) {
    FileRecord r{(char*)dir.c_str(), (char*)"", 0};
    ResolveEntryDir(&r);
    return WorkPath;
  }
  std::string Compose(const std::string& dir, const std::string& name) {
    FileRecord r{(char*)dir.c_str(), (char*)name.c_str(), 0};
    EXPECT_EQ(1, ComposeEntryPath(&r)) << dir << " + " << name;
    return WorkPath;
  }
  static std::string Appended(std::string path) {
    char buffer[PATH_BUFFER_SIZE] = {};
    path.copy(buffer, sizeof(buffer) - 1);
    AppendBackslash(buffer);
    return buffer;
  }
  static std::string Stripped(std::string path) {
    char buffer[PATH_BUFFER_SIZE] = {};
    path.copy(buffer, sizeof(buffer) - 1);
    StripBackslash(buffer);
    return buffer;
  }
};

TEST_F(PathsTest, EntryDirResolvesAgainstInstallDir) {
  const struct { const char* dir; const char* resolved; } cases[] = {
      {".", "D:\\Apps\\Tool\\"},          {".\\", "D:\\Apps\\Tool\\"},
      {".\\data", "D:\\Apps\\Tool\\data"}, {".\\data\\", "D:\\Apps\\Tool\\data\\"},
      {"..", "D:\\Apps\\Tool\\"},          {"..\\Shared", "D:\\Apps\\Tool\\"},
      {".cache", "D:\\Apps\\Tool\\"},      {"E:\\Other\\Dir", "E:\\Other\\Dir"},
      {"sub\\dir", "sub\\dir"},            {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.resolved, Resolve(c.dir)) << "dir '" << c.dir << "'";

  InstallDir[0] = 0;  // the stub's own path could not be had at start-up
  for (const char* dir : {".", ".\\data", ".."}) {
    FileRecord r{(char*)dir, (char*)"app.exe", 0};
    EXPECT_EQ(0, ComposeEntryPath(&r)) << "'" << dir << "' must not fall back on the current directory";
  }
  EXPECT_EQ("E:\\x\\app.exe", Compose("E:\\x", "app.exe")) << "absolute entries still resolve";
}

TEST_F(PathsTest, EntryPathAddsOneSeparator) {
  EXPECT_EQ("D:\\Apps\\Tool\\readme.txt", Compose(".", "readme.txt"));
  EXPECT_EQ("E:\\Data\\x.dat", Compose("E:\\Data\\", "x.dat"));
  EXPECT_EQ("x.dat", Compose("", "x.dat"));
  EXPECT_EQ("D:\\Apps\\Tool\\data", Compose(".\\data", ""));
  EXPECT_EQ("D:\\Apps\\Tool\\data\\x.dat", Compose(".", "data\\x.dat"));
}

TEST_F(PathsTest, EntryPathThatWouldNotFitIsRefused) {
  std::string dir = "E:\\" + std::string(250, 'd');  // 253 bytes
  FileRecord fits{(char*)dir.c_str(), (char*)"12345", 0};
  EXPECT_EQ(1, ComposeEntryPath(&fits)) << "253 + 1 + 5 = 259 bytes";
  EXPECT_EQ(259u, strlen(WorkPath));
  FileRecord tooLong{(char*)dir.c_str(), (char*)"123456", 0};
  EXPECT_EQ(0, ComposeEntryPath(&tooLong));
  std::string rest = ".\\" + std::string(250, 'r');
  FileRecord relative{(char*)rest.c_str(), (char*)"", 0};
  EXPECT_EQ(0, ComposeEntryPath(&relative)) << "InstallDir plus 250 bytes";
}

TEST_F(PathsTest, AppendAndStripKeepRootsAndEmptyPaths) {
  EXPECT_EQ("", Appended(""));
  EXPECT_EQ("D:\\", Appended("D:"));
  EXPECT_EQ("D:\\a\\", Appended("D:\\a\\"));
  EXPECT_EQ("D:\\a\\\\", Appended("D:\\a\\\\"));
  EXPECT_EQ(std::string(259, 'x'), Appended(std::string(259, 'x'))) << "no room for a backslash";
  EXPECT_EQ("D:\\", Stripped("D:\\"));
  EXPECT_EQ("D:\\Apps", Stripped("D:\\Apps\\"));
  EXPECT_EQ("D:\\Apps\\", Stripped("D:\\Apps\\\\"));
  EXPECT_EQ("\\a\\", Stripped("\\a\\"));
  EXPECT_EQ("D:\\Apps", Stripped("D:\\Apps"));
}

TEST_F(PathsTest, TrailByteBackslashCountsAsBackslash) {
  const std::string so = "C:\\\x83\x5C";  // a double-byte character ending in 0x5C
  EXPECT_EQ(so, Appended(so));
  EXPECT_EQ("C:\\\x83", Stripped(so));
}

TEST_F(PathsTest, PathComparisonFoldsOnlyAsciiLetters) {
  EXPECT_TRUE(PathsEqual("C:\\WINDOWS\\Desktop", "c:\\windows\\desktop"));
  EXPECT_FALSE(PathsEqual("C:\\\xC0", "C:\\\xE0")) << "Cyrillic A and a differ";
  EXPECT_FALSE(PathsEqual("C:\\a", "C:\\a\\"));
  EXPECT_FALSE(PathsEqual("[", "{")) << "only A-Z fold";
}

}  // namespace
