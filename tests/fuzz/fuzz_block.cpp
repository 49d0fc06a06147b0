// libFuzzer target: inspect's block reader on bytes from anywhere.
//
// Besides the sanitizers: every chunk header it lists lies inside the
// input, and a block it reads whole and without a problem is one the stub's
// loader takes to the same texts, entries and keys; a record longer than the
// stub's 520-byte scratch block, which the loader refuses, is a problem.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/sim.h"
#include "tests/fuzz/sim_stub.h"
#include "cli/block_reader.h"
#include "uninstall_info/uninstall_info.h"

using namespace sweepkit;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_block: %s\n", what);
  std::abort();
}

// What the stub holds of a text: the bytes up to the first zero.
std::string AsLoaded(const std::string& s) { return std::string(s.c_str()); }

bool FitsScratch(const ParsedBlock& b) {
  for (const FileEntry& f : b.data.files)
    if (f.dir.size() > RECORD_SCRATCH_SIZE - 2 || f.name.size() > RECORD_SCRATCH_SIZE - 2 - f.dir.size())
      return false;
  for (const ShortcutEntry& s : b.data.shortcuts)
    if (s.dir.size() > RECORD_SCRATCH_SIZE - 2 || s.name.size() > RECORD_SCRATCH_SIZE - 2 - s.dir.size())
      return false;
  for (const KeyEntry& k : b.data.keys)
    if (k.path.size() > RECORD_SCRATCH_SIZE - 1) return false;
  return true;
}

void CompareWithLoader(const uint8_t* data, size_t size, const ParsedBlock& b) {
  fuzz_stub::PrepareStub(data, size);

  if (!FitsScratch(b)) Fail("the reader finds a record longer than the loader's scratch block sound");
  int loaded = LoadUninstallInfo();
  if (loaded != 1) Fail("the loader refused a block the reader finds sound");
  const UninstallInfoModel& m = UninstallInfo;
  for (int i = 0; i < STR_COUNT; i++) {
    std::string expected = i < (int)b.data.strings.size() ? AsLoaded(b.data.strings[i]) : "";
    if (expected != LookupString(0, i)) Fail("a text differs from the loader's");
  }
  if (m.fileCount != b.data.files.size()) Fail("file count differs from the loader's");
  for (u32 i = 0; i < m.fileCount; i++) {
    const FileEntry& f = b.data.files[i];
    const FileRecord* r = m.fileList[i];
    if (AsLoaded(f.dir) != r->dir || AsLoaded(f.name) != r->name || f.flags != r->flags)
      Fail("a file entry differs from the loader's");
  }
  if (m.shortcutCount != b.data.shortcuts.size()) Fail("shortcut count differs from the loader's");
  for (u32 i = 0; i < m.shortcutCount; i++) {
    const ShortcutEntry& s = b.data.shortcuts[i];
    const ShortcutRecord* r = m.shortcutList[i];
    if (AsLoaded(s.dir) != r->dir || AsLoaded(s.name) != r->name) Fail("a shortcut differs from the loader's");
  }
  if (m.keyCount != b.data.keys.size()) Fail("key count differs from the loader's");
  for (u32 i = 0; i < m.keyCount; i++)
    if (b.data.keys[i].root != m.keyList[i]->root || AsLoaded(b.data.keys[i].path) != m.keyList[i]->path)
      Fail("a key differs from the loader's");
  ReleaseUninstallInfo();
  if (SimLiveBlocks() != 0) Fail("blocks still allocated after ReleaseUninstallInfo");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ParsedBlock b = ParseBlock(data, size);
  size_t next = 0;
  for (const ChunkInfo& c : b.chunks) {
    if (c.offset != next || c.offset + 8 > size) Fail("a chunk lies outside the input or out of order");
    next = c.offset + 8 + c.length;
  }
  // A whole block ends after its end chunk's payload, or after its header
  // when the length runs past the input (the stub reads no payload there).
  if (b.complete && b.end != (next <= size ? next : b.chunks.back().offset + 8))
    Fail("the block's end is not its end chunk's end");
  if (b.complete && b.problems.empty()) CompareWithLoader(data, size, b);
  return 0;
}
