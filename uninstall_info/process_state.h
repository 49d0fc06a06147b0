// Process-wide state every part of the run shares: the instance, the hidden
// owner window and the three path buffers. It sits at the bottom of the
// logic so that every folder reaches it by including downwards; app/ sets it
// up and tears it down.
#pragma once

#include "platform/platform.h"

extern HINSTANCE InstanceHandle;
extern HWND OwnerWindow;
extern char* ModulePath;  // the stub's own full path, filled by the loader
extern char* WorkPath;    // scratch path of the removal stages
extern char* InstallDir;  // directory of the stub's own file
// The flags a self-registering server is loaded with: its dependencies come
// from its own folder and the system's (set at start-up).
extern DWORD LibraryLoadFlags;
