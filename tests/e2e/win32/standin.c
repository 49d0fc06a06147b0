/* Stand-in for the stub in the driver's own tests: standin <mode> <exit code>.
   owned: a hidden owner window of class SweepkitClass owns an OK/Cancel box,
   OK leads to a second box; unowned: one OK box without owner; none: no window. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmd, int show)
{
    char mode[32] = "";
    int code = 0;
    (void)prev; (void)show;
    {
        const char *p = cmd;
        int i = 0;
        while (*p == ' ') ++p;
        while (*p && *p != ' ' && i < 31) mode[i++] = *p++;
        mode[i] = 0;
        code = atoi(p);
    }
    if (!strcmp(mode, "owned")) {
        WNDCLASSA wc;
        HWND owner;
        memset(&wc, 0, sizeof wc);
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = inst;
        wc.lpszClassName = "SweepkitClass";
        RegisterClassA(&wc);
        owner = CreateWindowExA(0, "SweepkitClass", "Uninstall", WS_OVERLAPPEDWINDOW, 0, 0,
                                CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, inst, NULL);
        if (MessageBoxA(owner, "Remove it?\nReally.", "Uninstall", MB_OKCANCEL | MB_ICONINFORMATION) == IDOK)
            MessageBoxA(owner, "Done.", "Uninstall", MB_ICONINFORMATION);
        DestroyWindow(owner);
    } else if (!strcmp(mode, "unowned")) {
        MessageBoxA(NULL, "Broken \"C:\\x\"", "", MB_OK | MB_ICONINFORMATION);
    } else if (!strcmp(mode, "question")) {
        MessageBoxA(NULL, "Delete?", "Q", MB_YESNO | MB_ICONQUESTION);
    }
    return code;
}
