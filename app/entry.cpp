// Process entry of the stub. The image is linked without the C runtime's
// start-up files: nothing runs before this function, there are no static
// constructors, and msvcrt.dll is used only as a plain function library.
#include "app/run.h"

extern "C" void WinMainCRTStartup(void) {
  // The command line and show command are passed for the logic's signature;
  // it uses only the instance handle.
  int exitCode = RunUninstaller(GetModuleHandleA(NULL), NULL, NULL, SW_SHOWDEFAULT);
  ExitProcess((UINT)exitCode);
}
