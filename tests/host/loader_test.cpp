// The loader against blocks in the simulated stub file.
#include "fixture.h"

namespace {

class LoaderTest : public SimTest {};

TEST_F(LoaderTest, ExampleBlockLoadsEveryList) {
  ASSERT_EQ(1, StartAndLoad(ExampleBlock()));
  EXPECT_EQ(5u, UninstallInfo.fileCount);
  EXPECT_EQ(3u, UninstallInfo.shortcutCount);
  EXPECT_EQ(1u, UninstallInfo.keyCount);
  EXPECT_EQ(3u, UninstallInfo.keyCapacity) << "an empty TAG_KEYS list keeps room for three";
  EXPECT_EQ(0x80000002u, UninstallInfo.keyList[0]->root);
  EXPECT_STREQ("Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor Gliders 1.0",
               UninstallInfo.keyList[0]->path);
  EXPECT_STREQ(".", UninstallInfo.fileList[0]->dir);
  EXPECT_STREQ("glider.dll", UninstallInfo.fileList[0]->name);
  EXPECT_STREQ("Vantor Gliders 1.0.lnk", UninstallInfo.shortcutList[1]->name);
  EXPECT_EQ(nullptr, UninstallInfo.fileList[5]) << "spare entries stay null";
  for (int i = 0; i < STR_COUNT; i++) EXPECT_EQ(kExampleTexts[i], LookupString(0, i)) << "index " << i;
  EXPECT_TRUE(SimMessageBoxes().empty());
  EXPECT_EQ(0, SimOpenHandleCount()) << "the stub's file is closed after loading";
}

TEST_F(LoaderTest, LookupOutsideTheTableYieldsEmptyText) {
  ASSERT_EQ(1, StartAndLoad(ExampleBlock()));
  EXPECT_STREQ("", LookupString(0, 11));
  EXPECT_STREQ("", LookupString(0, -1));
  EXPECT_STREQ("", LookupString(1, 0));
  ReleaseUninstallInfo();
  EXPECT_STREQ("", LookupString(0, 0)) << "nothing is found after release";
  EXPECT_EQ(nullptr, UninstallInfo.fileList);
  EXPECT_EQ(0u, UninstallInfo.fileCount);
}

TEST_F(LoaderTest, ChunkKindsFollowTheReadingRules) {
  Block unknown;
  unknown.raw(std::string(20, 'x'));
  Block endPayload;
  endPayload.raw("123456");
  Block b;
  b.strings({"first"})
      .chunk(0x4242, unknown)                     // skipped by its length
      .strings({"Caption", "", "Done", ""})       // replaces the first table
      .chunk(0xABCD0000u | TAG_FILES, Block().u32(1).text("C:\\x").text("a").u8(7))
      .chunk(TAG_SHORTCUTS, Block())              // length 0: no list at all
      .chunk(TAG_END, endPayload)                 // payload skipped, still the end
      .raw("garbage that is never read");
  ASSERT_EQ(1, StartAndLoad(b));
  EXPECT_STREQ("Caption", LookupString(0, 0));
  EXPECT_STREQ("", LookupString(0, 1)) << "an empty text is a real entry";
  EXPECT_STREQ("Done", LookupString(0, 2)) << "and does not end the table";
  ASSERT_EQ(1u, UninstallInfo.fileCount) << "high tag bits are ignored";
  EXPECT_EQ(7, UninstallInfo.fileList[0]->flags);
  EXPECT_EQ(nullptr, UninstallInfo.shortcutList);
}

TEST_F(LoaderTest, EmptyGroupsLeaveTheTableAlone) {
  Block twoGroups;
  twoGroups.u16(2).u16(1).text("one").u16(1).text("two");
  Block b;
  b.chunk(TAG_STRINGS, twoGroups)
      .chunk(TAG_STRINGS, Block().u16(1).u16(0))  // stringCount 0: table stays
      .chunk(TAG_STRINGS, Block().u16(0))         // groupCount 0: table stays
      .end();
  ASSERT_EQ(1, StartAndLoad(b));
  EXPECT_STREQ("one", LookupString(0, 0));
  EXPECT_STREQ("", LookupString(0, 1)) << "the second group is not read";
}

TEST_F(LoaderTest, NoDataEndsSilently) {
  InstallStub(ExampleBlock());
  DataLocator.dataOffset = 0;
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(0, LoadUninstallInfo());
  EXPECT_TRUE(SimMessageBoxes().empty());
  EXPECT_EQ(0, SimCallCount("CreateFileA"));
}

TEST_F(LoaderTest, ModulePathOrFileUnavailableEndsSilently) {
  InstallStub(ExampleBlock());
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  SimFailCall("GetModuleFileNameA", 1, 5);
  EXPECT_EQ(0, LoadUninstallInfo());
  SimFailCall("CreateFileA", 1, 32);
  EXPECT_EQ(0, LoadUninstallInfo());
  EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(LoaderTest, ModulePathFillingTheBufferIsNotTrusted) {
  std::string longPath = "C:\\" + std::string(247, 'd') + "\\stub.exe";  // 259 bytes
  ASSERT_EQ(259u, longPath.size());
  SimSetModulePath(longPath);
  SimAddFile(longPath, std::string(kStubImageSize, 'M') + ExampleBlock().bytes());
  DataLocator.dataOffset = kStubImageSize;
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(1, LoadUninstallInfo()) << "259 bytes and a terminator fit";

  std::string tooLong = "C:\\" + std::string(248, 'd') + "\\stub.exe";  // 260 bytes
  SimSetModulePath(tooLong);
  SimAddFile(tooLong, std::string(kStubImageSize, 'M') + ExampleBlock().bytes());
  ReleaseUninstallInfo();
  EXPECT_EQ(0, LoadUninstallInfo());
  EXPECT_EQ('\0', ModulePath[259]) << "the buffer stays terminated";
  EXPECT_TRUE(SimMessageBoxes().empty());
}

TEST_F(LoaderTest, BlockCutShortShowsInvalidInfoWithTheStubPath) {
  Block full = ExampleBlock();
  std::string cut = full.bytes().substr(0, full.size() - 20);
  InstallStubBytes(cut);
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(0, LoadUninstallInfo());
  ASSERT_EQ(1u, SimMessageBoxes().size());
  const SimMessageBox& box = SimMessageBoxes()[0];
  EXPECT_EQ(std::string(
                "Invalid uninstall info. This program cannot uninstall Vantor Gliders 1.0."),
            box.text) << "no %s: shown as stored";
  EXPECT_EQ("Uninstall", box.caption);
  EXPECT_EQ((UINT)(MB_OK | MB_ICONINFORMATION), box.type);
  EXPECT_EQ(nullptr, box.owner);
}

TEST_F(LoaderTest, InvalidInfoTextGetsTheStubPath) {
  Block b;
  b.strings({"", "", "", "", "", "", "", "", "Damaged: %s."}).u32(TAG_FILES);  // header cut
  InstallStub(b);
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(0, LoadUninstallInfo());
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ(std::string("Damaged: ") + kStubPath + ".", SimMessageBoxes()[0].text);
}

TEST_F(LoaderTest, FirstHeaderCutShowsAnEmptyBox) {
  InstallStubBytes(std::string("\x34\x12\x00", 3));
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(0, LoadUninstallInfo());
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ("", SimMessageBoxes()[0].text);
  EXPECT_EQ("", SimMessageBoxes()[0].caption);
  EXPECT_EQ((UINT)0x40, SimMessageBoxes()[0].type);
}

TEST_F(LoaderTest, OffsetPastTheEndIsInvalid) {
  InstallStub(ExampleBlock());
  DataLocator.dataOffset = 0x100000;
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  EXPECT_EQ(0, LoadUninstallInfo());
  EXPECT_EQ(1u, SimMessageBoxes().size());
}

TEST_F(LoaderTest, ListCountTooLargeForMemoryIsOutOfMemory) {
  Block b;
  b.strings(kExampleTexts).chunk(TAG_FILES, Block().u32(0xFFFFFFFFu)).end();
  EXPECT_EQ(0, StartAndLoad(b)) << "count + 2 entries must not wrap round";
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ("Out of memory!", SimMessageBoxes()[0].text);
  Block c;
  c.strings(kExampleTexts).chunk(TAG_KEYS, Block().u32(0x3FFFFFFEu)).end();
  ReleaseUninstallInfo();
  InstallStub(c);
  EXPECT_EQ(0, LoadUninstallInfo()) << "count + 3 key entries must not wrap round";
  EXPECT_EQ(2u, SimMessageBoxes().size());
}

TEST_F(LoaderTest, RecordTooLargeForTheScratchBlockIsInvalid) {
  Block b;
  b.strings(kExampleTexts)
      .files({{std::string(300, 'd'), std::string(219, 'n'), 0}})  // 519 > 518
      .end();
  EXPECT_EQ(0, StartAndLoad(b));
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ(kExampleTexts[STR_INVALID_INFO], SimMessageBoxes()[0].text);

  Block fits;
  fits.strings(kExampleTexts).files({{std::string(300, 'd'), std::string(218, 'n'), 0}}).end();
  ReleaseUninstallInfo();
  InstallStub(fits);
  EXPECT_EQ(1, LoadUninstallInfo()) << "518 bytes fit";

  Block key;
  key.strings(kExampleTexts).keys({{kHklm, std::string(520, 'k')}}).end();
  ReleaseUninstallInfo();
  InstallStub(key);
  EXPECT_EQ(0, LoadUninstallInfo()) << "a key path over 519 bytes";
}

// Records are read one after another through one scratch block: a shorter
// record after a longer one must not keep any of the longer one's bytes.
TEST_F(LoaderTest, EachRecordHoldsExactlyItsOwnStrings) {
  const std::vector<Block::File> files = {
      {"C:\\Program Files\\Vantor Gliders\\data", "terrain-library.dat", 1},
      {"C:\\V", "a", 0}, {"", "", 0}, {"C:\\Vantor", "", 0}, {"", "b.txt", 4},
      {std::string(300, 'd'), std::string(218, 'n'), 2}, {"x", "y", 0}};
  const std::vector<Block::Key> keys = {
      {kHklm, "Software\\Vantor\\Gliders\\Settings\\Window"}, {kHklm, "S"}, {kHklm, ""},
      {kHklm, std::string(519, 'k')}, {kHklm, "Software\\V"}};
  Block b;
  b.strings(kExampleTexts).files(files).shortcuts({{"C:\\Menu\\Vantor", "Gliders.lnk"}, {"C:\\M", "g"}})
      .keys(keys).end();
  ASSERT_EQ(1, StartAndLoad(b));
  ASSERT_EQ(files.size(), UninstallInfo.fileCount);
  for (size_t i = 0; i < files.size(); i++) {
    EXPECT_EQ(files[i].dir, UninstallInfo.fileList[i]->dir) << "file " << i;
    EXPECT_EQ(files[i].name, UninstallInfo.fileList[i]->name) << "file " << i;
    EXPECT_EQ(files[i].flags, UninstallInfo.fileList[i]->flags) << "file " << i;
  }
  ASSERT_EQ(2u, UninstallInfo.shortcutCount);
  EXPECT_STREQ("C:\\M", UninstallInfo.shortcutList[1]->dir);
  EXPECT_STREQ("g", UninstallInfo.shortcutList[1]->name);
  ASSERT_EQ(keys.size(), UninstallInfo.keyCount);
  for (size_t i = 0; i < keys.size(); i++)
    EXPECT_EQ(keys[i].path, UninstallInfo.keyList[i]->path) << "key " << i;
}

TEST_F(LoaderTest, AppendedKeysBeyondTheSpareRoomAreKept) {
  Block b;
  b.strings(kExampleTexts).key({kHklm, "Software\\Early"}).keys({{kHklm, "Software\\A"}});
  for (int i = 0; i < 5; i++) b.key({kHklm, "Software\\K" + std::to_string(i)});
  b.end();
  ASSERT_EQ(1, StartAndLoad(b));
  ASSERT_EQ(6u, UninstallInfo.keyCount) << "the early key is dropped by TAG_KEYS; five appended";
  EXPECT_STREQ("Software\\A", UninstallInfo.keyList[0]->path);
  EXPECT_STREQ("Software\\K4", UninstallInfo.keyList[5]->path);
}

TEST_F(LoaderTest, ChunkEndingBeyondAnySeekIsInvalidUnlessItIsTheEnd) {
  Block b;
  b.strings(kExampleTexts).u32(0x4242).u32(0xFFFFFFF0u).end();
  EXPECT_EQ(0, StartAndLoad(b));
  EXPECT_EQ(1u, SimMessageBoxes().size());

  Block end;  // nothing follows an end chunk, so its length is never used
  end.strings(kExampleTexts).files({{".", "a", 0}}).u32(0xABCD0000u | TAG_END).u32(0xFFFFFFF0u);
  ReleaseUninstallInfo();
  InstallStub(end);
  EXPECT_EQ(1, LoadUninstallInfo()) << "a TAG_END of any length ends the block";
  EXPECT_EQ(1u, UninstallInfo.fileCount);
  EXPECT_EQ(1u, SimMessageBoxes().size()) << "no invalid-data box";
}

TEST_F(LoaderTest, RepeatedListsReplaceWithoutLeaking) {
  Block b;
  b.strings(kExampleTexts)
      .files({{".", "old1", 0}, {".", "old2", 0}})
      .files({{".", "new", 0}})
      .strings({"Again"})
      .end();
  ASSERT_EQ(1, StartAndLoad(b));
  ASSERT_EQ(1u, UninstallInfo.fileCount);
  EXPECT_STREQ("new", UninstallInfo.fileList[0]->name);
  EXPECT_STREQ("Again", LookupString(0, 0));
  ReleaseUninstallInfo();
  FreeAndClear(&ModulePath);
  FreeAndClear(&WorkPath);
  FreeAndClear(&InstallDir);
  EXPECT_EQ(0, SimLiveBlocks());
}

TEST_F(LoaderTest, PayloadCutShortKeepsOnlyWholeRecords) {
  Block b;
  b.strings(kExampleTexts).u32(TAG_FILES).u32(400).u32(1000).text(".").text("a").u8(0).text(".");
  EXPECT_EQ(0, StartAndLoad(b));
  EXPECT_EQ(1u, UninstallInfo.fileCount) << "only the record read whole";
  ASSERT_EQ(1u, SimMessageBoxes().size());
  EXPECT_EQ(kExampleTexts[STR_INVALID_INFO], SimMessageBoxes()[0].text);
}

TEST_F(LoaderTest, AllocationRetriedOnceAfterCompaction) {
  InstallStub(ExampleBlock());
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  SimFailAllocations(5, 1);
  EXPECT_EQ(1, LoadUninstallInfo());
  EXPECT_EQ(5u, UninstallInfo.fileCount);
}

// Fails every allocation of a full load in turn (with its retry): the load
// reports out of memory (or nothing, when even the message buffer cannot be
// had), never crashes, and leaves nothing behind once released.
TEST_F(LoaderTest, AllocationFailureSweep) {
  InstallStub(ExampleBlock());
  ASSERT_EQ(1, InitializeRun(InstanceHandle));
  int before = SimAllocationCount();
  ASSERT_EQ(1, LoadUninstallInfo());
  int allocations = SimAllocationCount() - before;
  ReleaseUninstallInfo();
  ASSERT_GT(allocations, 20);

  for (int n = 1; n <= allocations; n++) {
    SimFailAllocations(n, 2);
    size_t boxes = SimMessageBoxes().size();
    EXPECT_EQ(0, LoadUninstallInfo()) << "allocation " << n;
    ASSERT_LE(SimMessageBoxes().size(), boxes + 1) << "allocation " << n;
    if (SimMessageBoxes().size() == boxes + 1) {
      const SimMessageBox& box = SimMessageBoxes().back();
      EXPECT_TRUE(box.text == "Out of memory!" || box.text.empty()) << n << ": " << box.text;
      EXPECT_EQ((UINT)0x40, box.type);
    }
    ReleaseUninstallInfo();
    EXPECT_EQ(3, SimLiveBlocks()) << "only the three path buffers remain after " << n;
    SimFailAllocations(0, 0);
  }
}

}  // namespace
