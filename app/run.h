// Run control: start-up, the main sequence, the hidden owner window,
// shutdown and the self-removal script.
#pragma once

#include "platform/platform.h"
#include "uninstall_info/process_state.h"

#define OWNER_CLASS_NAME "SweepkitClass"
#define BATCH_FILE_NAME "Delme.bat"

int RunUninstaller(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand);
int InitializeRun(HINSTANCE instance);
int RegisterOwnerClass(void);
int CreateOwnerWindow(void);
LRESULT CALLBACK OwnerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void DrainMessageQueue(void);
void ShutdownRun(void);
void ScheduleSelfRemoval(void);
