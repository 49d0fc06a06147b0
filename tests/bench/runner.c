/* Times one run of a program: starts it, answers its message boxes in
   order, waits for it to exit and prints the wall time from CreateProcess
   to exit. Optionally waits (untimed) for files or folders to disappear,
   e.g. for the self-removal script of the stub.

   runner [--box ID]... [--timeout MS] [--gone PATH]... -- EXE [ARGS...]

   Each --box answers the next visible #32770 top-level window of the child
   with the button ID (1 OK, 2 Cancel). Output lines:
     box N ID AT_MS      a box appeared AT_MS after start and was answered
     closed N AT_MS      that box was gone
     elapsed_ms T        CreateProcess to exit
     exit CODE           the child's exit code
     gone ok|timeout     the --gone paths disappeared (or not) in time
   Exit code 0 on success, 2 on a timeout (the child is then terminated). */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_BOXES 8
#define MAX_GONE 8

static LARGE_INTEGER g_freq, g_start;
static PROCESS_INFORMATION g_proc;
static HWND g_answered[MAX_BOXES];
static int g_answeredCount;

static double ElapsedMs(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - g_start.QuadPart) * 1000.0 / (double)g_freq.QuadPart;
}

static void Fail(const char *what)
{
    printf("TIMEOUT %s\n", what);
    fflush(stdout);
    if (g_proc.hProcess && WaitForSingleObject(g_proc.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(g_proc.hProcess, 99);
        WaitForSingleObject(g_proc.hProcess, 5000);
    }
    exit(2);
}

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM param)
{
    DWORD pid = 0;
    char cls[16];
    int i;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != g_proc.dwProcessId || !IsWindowVisible(hwnd)) return TRUE;
    if (!GetClassNameA(hwnd, cls, sizeof cls) || strcmp(cls, "#32770") != 0) return TRUE;
    for (i = 0; i < g_answeredCount; i++)
        if (g_answered[i] == hwnd) return TRUE;
    *(HWND *)param = hwnd;
    return FALSE;
}

/* Appends one argument to a command line, quoted when it holds a space. */
static void AppendArg(char *cmd, size_t room, const char *arg)
{
    int quote = strchr(arg, ' ') != NULL || *arg == 0;
    size_t n = strlen(cmd);
    if (n + strlen(arg) + 4 >= room) {
        fprintf(stderr, "command line too long\n");
        exit(3);
    }
    if (n) cmd[n++] = ' ';
    if (quote) cmd[n++] = '"';
    strcpy(cmd + n, arg);
    n += strlen(arg);
    if (quote) cmd[n++] = '"';
    cmd[n] = 0;
}

int main(int argc, char **argv)
{
    int boxes[MAX_BOXES], boxCount = 0, goneCount = 0, i;
    const char *gone[MAX_GONE];
    DWORD timeout = 120000, code = 0;
    static char cmd[32768];
    STARTUPINFOA si;
    double elapsed;

    for (i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (!strcmp(argv[i], "--box") && i + 1 < argc && boxCount < MAX_BOXES)
            boxes[boxCount++] = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout = (DWORD)atol(argv[++i]);
        else if (!strcmp(argv[i], "--gone") && i + 1 < argc && goneCount < MAX_GONE)
            gone[goneCount++] = argv[++i];
        else {
            fprintf(stderr, "usage: runner [--box ID]... [--timeout MS] [--gone PATH]... -- EXE [ARGS...]\n");
            return 3;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "runner: no program given\n");
        return 3;
    }
    for (i++; i < argc; i++) AppendArg(cmd, sizeof cmd, argv[i]);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    QueryPerformanceFrequency(&g_freq);
    QueryPerformanceCounter(&g_start);
    if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &g_proc)) {
        printf("FAIL CreateProcess %lu\n", GetLastError());
        return 3;
    }

    /* Answer the boxes in order; a child that exits early ends the search. */
    for (i = 0; i < boxCount; i++) {
        HWND box = NULL;
        while (!box) {
            EnumWindows(FindBox, (LPARAM)&box);
            if (box) break;
            if (WaitForSingleObject(g_proc.hProcess, 1) == WAIT_OBJECT_0) break;
            if (ElapsedMs() > timeout) Fail("box");
        }
        if (!box) break;
        g_answered[g_answeredCount++] = box;
        printf("box %d %d %.3f\n", i + 1, boxes[i], ElapsedMs());
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(boxes[i], BN_CLICKED), (LPARAM)GetDlgItem(box, boxes[i]));
        while (IsWindow(box) && WaitForSingleObject(g_proc.hProcess, 1) == WAIT_TIMEOUT) {
            if (ElapsedMs() > timeout) Fail("close");
        }
        printf("closed %d %.3f\n", i + 1, ElapsedMs());
    }

    {
        double left = timeout - ElapsedMs();
        if (left < 1 || WaitForSingleObject(g_proc.hProcess, (DWORD)left) != WAIT_OBJECT_0) Fail("exit");
    }
    elapsed = ElapsedMs();
    GetExitCodeProcess(g_proc.hProcess, &code);
    CloseHandle(g_proc.hProcess);
    CloseHandle(g_proc.hThread);
    printf("elapsed_ms %.3f\nexit %ld\n", elapsed, (long)code);
    fflush(stdout);

    if (goneCount) {
        DWORD deadline = GetTickCount() + timeout;
        int left;
        do {
            left = 0;
            for (i = 0; i < goneCount; i++)
                if (GetFileAttributesA(gone[i]) != INVALID_FILE_ATTRIBUTES) left++;
            if (left) Sleep(5);
        } while (left && (LONG)(deadline - GetTickCount()) > 0);
        printf("gone %s\n", left ? "timeout" : "ok");
        if (left) return 2;
    }
    return 0;
}
