// libFuzzer target: sweepkit-finish run on the simulated Windows with an
// arbitrary file as its template. Exercises the template's trailer and
// block reader, the image's locator search, resolution into the machine's
// code page, the limits, the writer and the read-back.
//
// Besides the sanitizers' checks: the run ends with exit 0 or 1 (the
// arguments are always well formed), frees everything and closes every
// file; a refusal leaves the earlier OUT as it was, and a written OUT is one
// the strict reader accepts (so that the next version can merge it) and the
// stub's own loader takes to the same texts, entries and keys, every dir in
// its folder's one spelling. The same template then merges over it.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "finisher/finish.h"
#include "format/block_read.h"
#include "platform/host/sim.h"

namespace {

const char kOut[] = "C:\\Program Files\\Vantor\\uninstall.exe";
const char kOld[] = "earlier uninstaller";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_finish: %s\n", what);
  std::abort();
}

std::vector<std::unique_ptr<uint8_t[]>> Blocks;

void* ReaderAlloc(void*, u32 size) {
  Blocks.emplace_back(new uint8_t[size]());
  return Blocks.back().get();
}

int ReaderFound(void*, const BlockFinding* f) {
  std::fprintf(stderr, "fuzz_finish: finding %d in the chunk at +%u\n", f->what, f->chunk);
  Fail("the strict reader refuses a block the finisher wrote");
}

bool Same(const BlockText& t, const char* loaded) { return std::string(t.bytes, t.length) == loaded; }

// A dir written in the one spelling of its folder.
void CheckSpelling(const BlockText& dir) {
  std::string spelled(dir.bytes, dir.length);
  spelled.push_back('\0');
  u32 length = dir.length;
  if (!CanonicalDir(&spelled[0], &length, dir.length + 1, 1252) || spelled.substr(0, length) != std::string(dir.bytes, dir.length))
    Fail("a dir written in another spelling than its folder's one");
}

// The strict reader and the loader on the written block; its entry count.
u32 CompareReaders(const FileBytes& file, u32 dataOffset) {
  BlockReadHooks hooks = {nullptr, ReaderAlloc, ReaderFound, nullptr};
  BlockData d;
  BlockReadEnd end;
  ReadDataBlock(file.data + dataOffset, file.size - dataOffset, &hooks, &d, &end);
  if (ReadUninstallInfoFile(kOut, dataOffset) != LOAD_OK) Fail("written file does not load");
  const UninstallInfoModel& m = UninstallInfo;
  for (u32 i = 0; i < d.stringCount; i++)
    if (!Same(d.strings[i], m.StringTable[i])) Fail("a text differs from the loader's");
  if (d.fileCount != m.fileCount || d.shortcutCount != m.shortcutCount || d.keyCount != m.keyCount)
    Fail("a list's count differs from the loader's");
  for (u32 i = 0; i < d.fileCount; i++)
    if (!Same(d.files[i].dir, m.fileList[i]->dir) || !Same(d.files[i].name, m.fileList[i]->name) ||
        d.files[i].flags != m.fileList[i]->flags)
      Fail("a file entry differs from the loader's");
  for (u32 i = 0; i < d.fileCount; i++) CheckSpelling(d.files[i].dir);
  for (u32 i = 0; i < d.shortcutCount; i++) CheckSpelling(d.shortcuts[i].dir);
  for (u32 i = 0; i < d.shortcutCount; i++)
    if (!Same(d.shortcuts[i].dir, m.shortcutList[i]->dir) || !Same(d.shortcuts[i].name, m.shortcutList[i]->name))
      Fail("a shortcut differs from the loader's");
  for (u32 i = 0; i < d.keyCount; i++)
    if (d.keys[i].root != m.keyList[i]->root || !Same(d.keys[i].path, m.keyList[i]->path))
      Fail("a key differs from the loader's");
  ReleaseUninstallInfo();
  Blocks.clear();
  return d.fileCount + d.shortcutCount + d.keyCount;
}

// OUT as it stands: its locator found and both readers agreeing.
u32 CheckWritten(std::string* out) {
  *out = SimFileBytes(kOut);
  FileBytes file = {reinterpret_cast<u8*>(&(*out)[0]), static_cast<u32>(out->size())};
  ImageLayout layout;
  if (FindImageLocator(file.data, file.size, &layout) != IMAGE_OK) Fail("written file without its locator");
  u32 entries = CompareReaders(file, layout.dataOffset);
  if (SimLiveBlocks() != 0) Fail("the loader left blocks allocated");
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  SimReset();
  SimRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 REG_SZ, std::string("C:\\Program Files") + '\0');
  SimAddFile("C:\\setup\\app.skt", std::string(reinterpret_cast<const char*>(data), size));
  SimAddFile(kOut, kOld);
  SimSetCommandLine(std::string("sweepkit-finish.exe C:\\setup\\app.skt \"") + kOut +
                    "\" --set \"group=Vantor Gliders\"");
  int code = RunFinisher();
  if (code != EXIT_WRITTEN && code != EXIT_REFUSED) Fail("exit code other than 0 or 1");
  if (SimLiveBlocks() != 0) Fail("blocks left allocated");
  if (SimOpenHandleCount() != 0) Fail("files left open");
  std::string out = SimFileBytes(kOut);
  if (code == EXIT_REFUSED) {
    if (out != kOld) Fail("a refusal changed the earlier uninstaller");
    if (SimConsoleText(STD_ERROR_HANDLE).empty()) Fail("a refusal without a message");
    return 0;
  }
  u32 entries = CheckWritten(&out);

  // The same release installed again merges what it wrote: every entry once,
  // and a third install writes the very same uninstaller.
  std::string merged[2];
  for (std::string& again : merged) {
    SimSetCommandLine(std::string("sweepkit-finish.exe C:\\setup\\app.skt \"") + kOut +
                      "\" --set \"group=Vantor Gliders\" --merge \"" + kOut + "\"");
    if (RunFinisher() != EXIT_WRITTEN) Fail("the finisher refuses to merge what it wrote");
    if (SimLiveBlocks() != 0 || SimOpenHandleCount() != 0) Fail("a merge left blocks allocated or files open");
    if (CheckWritten(&again) != entries) Fail("merging the same release changed the number of entries");
  }
  if (merged[0] != merged[1]) Fail("merging the same release again changed the uninstaller");
  return 0;
}
