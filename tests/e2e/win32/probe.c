/* Hook DLL that the driver installs on the program's GUI thread: on the probe
   message it describes the window from inside the process (dialog units, fonts,
   icon) into a shared memory block named after the driver's process id. */
#include <windows.h>
#include <stdio.h>
#include "describe.h"

__declspec(dllexport) LRESULT CALLBACK ProbeHook(int code, WPARAM wParam, LPARAM lParam);

LRESULT CALLBACK ProbeHook(int code, WPARAM wParam, LPARAM lParam)
{
    static UINT probeMsg;
    const CWPSTRUCT *cwp = (const CWPSTRUCT *)lParam;
    if (!probeMsg) probeMsg = RegisterWindowMessageA("SweepkitProbe");
    if (code == HC_ACTION && cwp && cwp->message == probeMsg) {
        char name[64];
        HANDLE map;
        _snprintf(name, sizeof name, "SweepkitProbe%lu", (unsigned long)cwp->wParam);
        map = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        if (map) {
            char *view = (char *)MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, DESCRIBE_MAX);
            if (view) {
                DescribeWindow(cwp->hwnd, 1, view, DESCRIBE_MAX);
                UnmapViewOfFile(view);
            }
            CloseHandle(map);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
