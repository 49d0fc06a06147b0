#include "uninstall_info/process_state.h"

HINSTANCE InstanceHandle;
HWND OwnerWindow;
char* ModulePath;
char* WorkPath;
char* InstallDir;
