// The main sequence: start-up, load, the hidden owner window, confirmation,
// the removal stages, completion, shutdown.
#include "app/run.h"
#include "removal/removal.h"
#include "ui/ui.h"
#include "uninstall_info/uninstall_info.h"

int RunUninstaller(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand) {
  (void)previous;
  (void)commandLine;
  (void)showCommand;
  if (!InitializeRun(instance)) return 0;
  if (!LoadUninstallInfo()) return -1;
  if (!RegisterOwnerClass()) return 0;
  if (!CreateOwnerWindow()) return -1;

  int button = ShowMessage(LookupString(0, STR_CONFIRM), MB_OKCANCEL | MB_ICONINFORMATION);
  if (button == IDOK) {
    RemoveFiles();
    RemoveShortcuts();
    SweepDirectories();
    RemoveRegistryKeys();
    ShowMessage(LookupString(0, STR_DONE), MB_ICONINFORMATION);
  }
  DrainMessageQueue();
  ReleaseUninstallInfo();
  if (button == IDOK) ScheduleSelfRemoval();
  ShutdownRun();
  return 0;
}

// Sets up the process-wide state. Fails (0) only when one of the three path
// buffers cannot be had: every later step needs them.
// System code loads DLLs by name (the theme, version and window-manager
// libraries among them), and by default the program's own folder is searched
// first: a folder other users can write to would supply them. Where Windows
// offers it (8 and later, 7 and Vista with their update), only the system
// folder is searched from here on.
static void RestrictLibrarySearch(void) {
  typedef BOOL(WINAPI * SetDefaultProc)(DWORD);
  SetDefaultProc setDefault =
      (SetDefaultProc)(void*)GetProcAddress(GetModuleHandleA("kernel32"), "SetDefaultDllDirectories");
  LibraryLoadFlags = setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)
                         ? LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32
                         : LOAD_WITH_ALTERED_SEARCH_PATH;
}

int InitializeRun(HINSTANCE instance) {
  RestrictLibrarySearch();
  InstanceHandle = instance;
  OleInitialize(0);
  CreateDialogBrush();
  AllocZeroed(PATH_BUFFER_SIZE, &ModulePath);
  AllocZeroed(PATH_BUFFER_SIZE, &WorkPath);
  AllocZeroed(PATH_BUFFER_SIZE, &InstallDir);
  if (!ModulePath || !WorkPath || !InstallDir) return 0;

  // A path that fills the buffer may be cut short; an empty InstallDir is
  // safer than a wrong one (the load fails on the same path anyway).
  DWORD n = GetModuleFileNameA(InstanceHandle, InstallDir, PATH_BUFFER_SIZE);
  if (n >= PATH_BUFFER_SIZE) InstallDir[0] = 0;
  char* lastBackslash = 0;
  for (char* p = InstallDir; *p; p++) {
    if (*p == '\\') lastBackslash = p;
  }
  if (lastBackslash) *lastBackslash = 0;
  AppendBackslash(InstallDir);
  return 1;
}

int RegisterOwnerClass(void) {
  WNDCLASSA wc;
  MemZero(&wc, sizeof(wc));
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = OwnerWindowProc;
  wc.hInstance = InstanceHandle;
  wc.hIcon = LoadIconA(InstanceHandle, MAKEINTRESOURCEA(IDI_MAIN));
  wc.hCursor = LoadCursorA(0, IDC_ARROW);
  wc.hbrBackground = (HBRUSH)GetStockObject(NULL_BRUSH);
  wc.lpszClassName = OWNER_CLASS_NAME;
  return (WORD)RegisterClassA(&wc);
}

int CreateOwnerWindow(void) {
  OwnerWindow = CreateWindowExA(0, OWNER_CLASS_NAME, LookupString(0, STR_CAPTION),
                                WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, CW_USEDEFAULT,
                                CW_USEDEFAULT, 0, 0, InstanceHandle, 0);
  return OwnerWindow != 0;
}

LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(window, message, wParam, lParam);
}

void DrainMessageQueue(void) {
  // Without the window's WM_DESTROY no quit message would come and the loop
  // below would wait for ever; post it ourselves then.
  if (!DestroyWindow(OwnerWindow)) PostQuitMessage(0);
  MSG msg;
  // GetMessageA returns -1 on error: that ends the loop too.
  while (GetMessageA(&msg, 0, 0, 0) > 0) DispatchMessageA(&msg);
}

void ShutdownRun(void) {
  OleUninitialize();
  FreeAndClear(&ModulePath);
  FreeAndClear(&InstallDir);
  FreeAndClear(&WorkPath);
  ReleaseDialogObjects();
}
