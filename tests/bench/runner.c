/* Times one run of a program: starts it, answers its message boxes in
   order, waits for it to exit and prints the wall time from CreateProcess
   to exit. Optionally waits (untimed) for files or folders to disappear,
   e.g. for the self-removal script of the stub, and before the start for
   processes of a name to end, e.g. the previous run's script interpreter.

   runner [--box ID]... [--poll MS] [--timeout MS] [--gone PATH]... [--idle NAME]... -- EXE [ARGS...]

   Each --box answers the next visible #32770 top-level window of the child
   with the button ID (1 OK, 2 Cancel); the runner polls for them every
   --poll MS (default 1) from start to exit. Output lines:
     box N ID AT_MS      a box appeared AT_MS after start and was answered
     closed N AT_MS      that box was gone
     unexpected box AT   a box beyond those expected (left alone)
     elapsed_ms T        CreateProcess to exit
     exit CODE           the child's exit code
     gone ok|timeout     the --gone paths disappeared (or not) in time
     idle ok|timeout     before the start: no process of an --idle name was
                         left (or some still ran when the timeout was over;
                         the program is not started then)
   Exit code 0 on success, 2 on a timeout (the child is then terminated). */
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_BOXES 8
#define MAX_GONE 8
#define MAX_IDLE 4

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

/* The child's next visible dialog that has not been answered yet. Only
   windows of the dialog class are listed (one query to the window manager
   while there is none), so polling every millisecond stays cheap next to
   the work being timed. */
static HWND FindBox(void)
{
    HWND hwnd = NULL;
    while ((hwnd = FindWindowExA(NULL, hwnd, "#32770", NULL)) != NULL) {
        DWORD pid = 0;
        int i, seen = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != g_proc.dwProcessId) continue;
        for (i = 0; i < g_answeredCount; i++)
            if (g_answered[i] == hwnd) seen = 1;
        if (!seen && IsWindowVisible(hwnd)) return hwnd;
    }
    return NULL;
}

/* Processes whose executable has one of the names (without case). */
static int CountProcesses(const char **names, int count)
{
    PROCESSENTRY32 entry;
    int found = 0, i;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    entry.dwSize = sizeof entry;
    if (Process32First(snapshot, &entry)) {
        do {
            const char *base = strrchr(entry.szExeFile, '\\');
            base = base ? base + 1 : entry.szExeFile;
            for (i = 0; i < count; i++)
                if (!lstrcmpiA(base, names[i])) found++;
        } while (Process32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return found;
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
    int boxes[MAX_BOXES], boxCount = 0, goneCount = 0, idleCount = 0, i;
    const char *gone[MAX_GONE], *idle[MAX_IDLE];
    DWORD timeout = 120000, poll = 1, code = 0;
    static char cmd[32768];
    STARTUPINFOA si;
    double elapsed;

    for (i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (!strcmp(argv[i], "--box") && i + 1 < argc && boxCount < MAX_BOXES)
            boxes[boxCount++] = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--poll") && i + 1 < argc)
            poll = (DWORD)atol(argv[++i]);
        else if (!strcmp(argv[i], "--timeout") && i + 1 < argc)
            timeout = (DWORD)atol(argv[++i]);
        else if (!strcmp(argv[i], "--gone") && i + 1 < argc && goneCount < MAX_GONE)
            gone[goneCount++] = argv[++i];
        else if (!strcmp(argv[i], "--idle") && i + 1 < argc && idleCount < MAX_IDLE)
            idle[idleCount++] = argv[++i];
        else {
            fprintf(stderr, "usage: runner [--box ID]... [--poll MS] [--timeout MS] [--gone PATH]... "
                            "[--idle NAME]... -- EXE [ARGS...]\n");
            return 3;
        }
    }
    if (i + 1 >= argc) {
        fprintf(stderr, "runner: no program given\n");
        return 3;
    }
    for (i++; i < argc; i++) AppendArg(cmd, sizeof cmd, argv[i]);

    if (idleCount) {
        DWORD deadline = GetTickCount() + timeout;
        int left;
        while ((left = CountProcesses(idle, idleCount)) != 0 && (LONG)(deadline - GetTickCount()) > 0)
            Sleep(5);
        printf("idle %s\n", left ? "timeout" : "ok");
        fflush(stdout);
        if (left) return 2;
    }

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    QueryPerformanceFrequency(&g_freq);
    QueryPerformanceCounter(&g_start);
    if (!CreateProcessA(NULL, cmd, NULL, NULL, FALSE, 0, NULL, NULL, &si, &g_proc)) {
        printf("FAIL CreateProcess %lu\n", GetLastError());
        return 3;
    }

    /* Poll from start to exit in every run, boxes or not: watching costs
       the timed program some time under Wine (each poll is a trip to the
       wineserver), and every program measured pays the same for it. Boxes
       are answered in order; one more than expected is reported. */
    {
        int next = 0;
        HWND pending = NULL;
        for (;;) {
            HWND box;
            if (pending && !IsWindow(pending)) {
                printf("closed %d %.3f\n", next, ElapsedMs());
                pending = NULL;
            }
            if ((box = FindBox()) != NULL && g_answeredCount < MAX_BOXES) {
                g_answered[g_answeredCount++] = box;
                if (next < boxCount) {
                    printf("box %d %d %.3f\n", next + 1, boxes[next], ElapsedMs());
                    PostMessageA(box, WM_COMMAND, MAKEWPARAM(boxes[next], BN_CLICKED),
                                 (LPARAM)GetDlgItem(box, boxes[next]));
                    pending = box;
                    next++;
                } else {
                    printf("unexpected box %.3f\n", ElapsedMs());
                }
            }
            if (WaitForSingleObject(g_proc.hProcess, poll) == WAIT_OBJECT_0) break;
            if (ElapsedMs() > timeout) Fail(next < boxCount ? "box" : "exit");
        }
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
