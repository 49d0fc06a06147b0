#include "uninstall_info/process_state.h"

IMAGE_DATA HINSTANCE InstanceHandle;
IMAGE_DATA HWND OwnerWindow;
IMAGE_DATA char* ModulePath;
IMAGE_DATA char* WorkPath;
IMAGE_DATA char* InstallDir;
IMAGE_DATA DWORD LibraryLoadFlags;
