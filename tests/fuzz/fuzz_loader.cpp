// libFuzzer target: the loader reading an arbitrary block from the stub's
// own (simulated) file. Each input is the data block; it follows a small
// fixed prefix standing for the executable, and dataOffset points at it.
//
// Besides the sanitizers' checks: the load must close the file, release
// every block it allocated once ReleaseUninstallInfo has run (after a
// failed load too), and a loaded model must be consistent and format every
// text into the 1024-byte buffer without overrunning it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/sim.h"
#include "tests/fuzz/sim_stub.h"
#include "uninstall_info/uninstall_info.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_loader: %s\n", what);
  std::abort();
}

// Every string the model holds is terminated and fits the record limits.
void CheckModel() {
  const UninstallInfoModel& m = UninstallInfo;
  if (m.fileCount && !m.fileList) Fail("files counted without a list");
  for (u32 i = 0; i < m.fileCount; i++) {
    const FileRecord* r = m.fileList[i];
    if (!r) continue;
    if (std::strlen(r->dir) + std::strlen(r->name) > RECORD_SCRATCH_SIZE - 2)
      Fail("file record longer than the scratch block");
  }
  if (m.shortcutCount && !m.shortcutList) Fail("shortcuts counted without a list");
  for (u32 i = 0; i < m.shortcutCount; i++) {
    const ShortcutRecord* r = m.shortcutList[i];
    if (r && std::strlen(r->dir) + std::strlen(r->name) > RECORD_SCRATCH_SIZE - 2)
      Fail("shortcut record longer than the scratch block");
  }
  if (m.keyCount && !m.keyList) Fail("keys counted without a list");
  if (m.keyCount > m.keyCapacity) Fail("more keys than the key list has room for");
  for (u32 i = 0; i < m.keyCount; i++) {
    const KeyRecord* r = m.keyList[i];
    if (r && std::strlen(r->path) > RECORD_SCRATCH_SIZE - 1) Fail("key path longer than 519 bytes");
  }

  // A 259-byte path, the longest one a text is formatted with. The buffer
  // is exactly 1024 bytes so that the sanitizer sees any overrun.
  std::string path(PATH_BUFFER_SIZE - 1, 'p');
  char* message = static_cast<char*>(std::malloc(MESSAGE_BUFFER_SIZE));
  for (int index = -1; index <= STR_COUNT; index++) {
    const char* text = LookupString(0, index);
    if (!text) Fail("LookupString returned null");
    FormatMessageText(message, index, path.c_str());
    if (std::strlen(message) > MESSAGE_BUFFER_SIZE - 1) Fail("formatted text too long");
  }
  std::free(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_stub::PrepareStub(data, size);

  // Message boxes are answered by the simulation's default button.
  int loaded = LoadUninstallInfo();
  if (SimOpenHandleCount() != 0) Fail("the loader left a handle open");
  if (loaded == 1) CheckModel();
  else if (loaded != 0) Fail("LoadUninstallInfo returned neither 0 nor 1");
  ReleaseUninstallInfo();
  if (SimLiveBlocks() != 0) Fail("blocks still allocated after ReleaseUninstallInfo");
  for (int index = 0; index < STR_COUNT; index++)
    if (LookupString(0, index)[0] != 0) Fail("a text survived ReleaseUninstallInfo");
  return 0;
}
