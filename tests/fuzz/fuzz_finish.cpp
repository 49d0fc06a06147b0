// libFuzzer target: sweepkit-finish run on the simulated Windows with an
// arbitrary file as its template. Exercises the template's trailer and
// block reader, the image's locator search, resolution into the machine's
// code page, the limits, the writer and the read-back.
//
// Besides the sanitizers' checks: the run ends with exit 0 or 1 (the
// arguments are always well formed), frees everything and closes every
// file; a refusal leaves the earlier OUT as it was, and a written OUT loads
// with the stub's own loader.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/host/sim.h"
#include "finisher/finish.h"

namespace {

const char kOut[] = "C:\\Program Files\\Vantor\\uninstall.exe";
const char kOld[] = "earlier uninstaller";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_finish: %s\n", what);
  std::abort();
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
  FileBytes file = {reinterpret_cast<u8*>(&out[0]), static_cast<u32>(out.size())};
  ImageLayout layout;
  if (FindImageLocator(file.data, file.size, &layout) != IMAGE_OK) Fail("written file without its locator");
  if (ReadUninstallInfoFile(kOut, layout.dataOffset) != LOAD_OK) Fail("written file does not load");
  ReleaseUninstallInfo();
  if (SimLiveBlocks() != 0) Fail("the loader left blocks allocated");
  return 0;
}
