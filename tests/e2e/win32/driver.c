/* Plays the user of a Win32 program from a line script (see tests/e2e/README.md
   for the commands). Every output line is one machine-readable record; a
   timeout kills the program and ends the driver with code 2, failed checks end
   it with code 1. Every wait is bounded by the timeout given in the script. */
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "describe.h"

#define MAX_TOKENS 16
#define MAX_HOLDS 16

static PROCESS_INFORMATION g_proc;
static int g_started;
static HWND g_window;     /* the window that the last expect found */
static int g_failures;
static HANDLE g_probeMap;
static HANDLE g_nul;
static char *g_probeView;
static struct { char path[MAX_PATH]; HANDLE handle; } g_holds[MAX_HOLDS];

static void Out(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

static void OutQuoted(const char *text)
{
    static char buf[8192];
    buf[0] = 0;
    DescAppendEscaped(buf, sizeof buf, text);
    Out("\"%s\"", buf);
}

static void KillProgram(void)
{
    if (g_started && WaitForSingleObject(g_proc.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(g_proc.hProcess, 99);
        WaitForSingleObject(g_proc.hProcess, 5000);
        Out("killed\n");
    }
}

static void Abort(const char *what)
{
    Out("TIMEOUT %s\n", what);
    KillProgram();
    exit(2);
}

static void Fail(const char *what)
{
    Out("FAIL %s\n", what);
    KillProgram();
    exit(1);
}

static int ProgramRunning(void)
{
    return g_started && WaitForSingleObject(g_proc.hProcess, 0) == WAIT_TIMEOUT;
}

typedef struct { DWORD pid; HWND found; } FindCtx;

static BOOL CALLBACK FindVisible(HWND hwnd, LPARAM param)
{
    FindCtx *ctx = (FindCtx *)param;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == ctx->pid && IsWindowVisible(hwnd)) {
        ctx->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

static HWND VisibleWindow(void)
{
    FindCtx ctx;
    if (!g_started) return NULL;
    ctx.pid = g_proc.dwProcessId;
    ctx.found = NULL;
    EnumWindows(FindVisible, (LPARAM)&ctx);
    return ctx.found;
}

/* Describes the window from inside its process through the probe hook; falls
   back to what can be read from outside when the hook cannot be placed. */
static void DescribeFound(HWND hwnd)
{
    static char line[DESCRIBE_MAX];
    char dll[MAX_PATH], *slash;
    HMODULE probe;
    HOOKPROC proc = NULL;
    HHOOK hook = NULL;
    DWORD tid = GetWindowThreadProcessId(hwnd, NULL);
    DWORD_PTR result;

    if (!g_probeMap) {
        char name[64];
        _snprintf(name, sizeof name, "SweepkitProbe%lu", (unsigned long)GetCurrentProcessId());
        g_probeMap = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, DESCRIBE_MAX, name);
        if (g_probeMap) g_probeView = (char *)MapViewOfFile(g_probeMap, FILE_MAP_WRITE, 0, 0, DESCRIBE_MAX);
    }
    GetModuleFileNameA(NULL, dll, sizeof dll);
    slash = strrchr(dll, '\\');
    if (slash) strcpy(slash + 1, "probe.dll");
    probe = LoadLibraryA(dll);
    if (probe) proc = (HOOKPROC)GetProcAddress(probe, "ProbeHook@12");
    if (probe && !proc) proc = (HOOKPROC)GetProcAddress(probe, "ProbeHook");
    if (proc && g_probeView) {
        g_probeView[0] = 0;
        hook = SetWindowsHookExA(WH_CALLWNDPROC, proc, probe, tid);
    }
    if (hook) {
        SendMessageTimeoutA(hwnd, RegisterWindowMessageA("SweepkitProbe"), GetCurrentProcessId(), 0,
                            SMTO_ABORTIFHUNG, 3000, &result);
        UnhookWindowsHookEx(hook);
    }
    if (hook && g_probeView[0]) {
        g_probeView[DESCRIBE_MAX - 1] = 0;
        Out("%s\n", g_probeView);
    } else {
        line[0] = 0;
        DescribeWindow(hwnd, 0, line, sizeof line);
        Out("%s\n", line);
    }
    if (probe) FreeLibrary(probe);
}

static void CmdStart(char **tok, int n)
{
    char cmdline[2048];
    STARTUPINFOA si;
    int i;
    if (n < 2) Fail("start needs a path");
    _snprintf(cmdline, sizeof cmdline, "\"%s\"", tok[1]);
    for (i = 2; i < n; ++i) {
        strncat(cmdline, " ", sizeof cmdline - strlen(cmdline) - 1);
        strncat(cmdline, tok[i], sizeof cmdline - strlen(cmdline) - 1);
    }
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    /* the program and its children (the batch script) write nothing into
       the driver's output */
    if (!g_nul) {
        SECURITY_ATTRIBUTES sa = { sizeof sa, NULL, TRUE };
        g_nul = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            OPEN_EXISTING, 0, NULL);
    }
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = si.hStdOutput = si.hStdError = g_nul;
    if (!CreateProcessA(tok[1], cmdline, NULL, NULL, TRUE, 0, NULL, NULL, &si, &g_proc)) {
        Out("FAIL start error=%lu\n", GetLastError());
        exit(1);
    }
    g_started = 1;
    g_window = NULL;
    Out("started pid=%lu\n", g_proc.dwProcessId);
}

static void CmdExpect(DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = VisibleWindow();
        if (hwnd) {
            Sleep(150); /* let the box finish its initialisation and paint */
            if (!IsWindow(hwnd)) continue;
            g_window = hwnd;
            DescribeFound(hwnd);
            return;
        }
        if (!ProgramRunning()) {
            DWORD code = 0;
            if (g_started) GetExitCodeProcess(g_proc.hProcess, &code);
            Out("FAIL expect: no window, program exited %ld\n", (long)code);
            exit(1);
        }
        if (GetTickCount() - start > timeout) Abort("expect: no window");
        Sleep(50);
    }
}

static void WaitClosed(HWND hwnd, const char *what)
{
    DWORD start = GetTickCount();
    while (IsWindow(hwnd) && IsWindowVisible(hwnd)) {
        if (GetTickCount() - start > 10000) Abort(what);
        Sleep(30);
    }
    g_window = NULL;
}

static void CmdPress(int id)
{
    HWND ctl;
    char what[64];
    if (!g_window || !IsWindow(g_window)) Fail("press: no window");
    ctl = GetDlgItem(g_window, id);
    if (!ctl) { Out("FAIL press %d: no such control\n", id); KillProgram(); exit(1); }
    if (!IsWindowEnabled(ctl)) { Out("FAIL press %d: disabled\n", id); KillProgram(); exit(1); }
    PostMessageA(g_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)ctl);
    _snprintf(what, sizeof what, "press %d: window stays", id);
    WaitClosed(g_window, what);
    Out("pressed %d\n", id);
}

static void CmdKey(const char *name)
{
    GUITHREADINFO gti;
    HWND target;
    UINT vk, scan;
    if (!g_window || !IsWindow(g_window)) Fail("key: no window");
    if (!strcmp(name, "enter")) vk = VK_RETURN;
    else if (!strcmp(name, "esc")) vk = VK_ESCAPE;
    else Fail("key: unknown key");
    memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    target = g_window;
    if (GetGUIThreadInfo(GetWindowThreadProcessId(g_window, NULL), &gti) && gti.hwndFocus)
        target = gti.hwndFocus;
    scan = MapVirtualKeyA(vk, 0);
    /* posted keys reach the modal loop's IsDialogMessage like typed ones */
    PostMessageA(target, WM_KEYDOWN, vk, 1 | (scan << 16));
    PostMessageA(target, WM_KEYUP, vk, 1 | (scan << 16) | 0xC0000000u);
    WaitClosed(g_window, "key: window stays");
    Out("key %s\n", name);
}

static void CmdNoWindow(DWORD timeout)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND hwnd = VisibleWindow();
        if (hwnd) {
            Sleep(150);
            DescribeFound(hwnd);
            Fail("nowindow: a window appeared");
        }
        if (!ProgramRunning()) { Out("nowindow ok exited\n"); return; }
        if (GetTickCount() - start > timeout) { Out("nowindow ok\n"); return; }
        Sleep(50);
    }
}

static void CmdWait(DWORD timeout)
{
    DWORD code = 0;
    if (!g_started) Fail("wait: nothing started");
    if (WaitForSingleObject(g_proc.hProcess, timeout) != WAIT_OBJECT_0) Abort("wait: program still running");
    GetExitCodeProcess(g_proc.hProcess, &code);
    Out("exit %ld\n", (long)(LONG)code);
    CloseHandle(g_proc.hThread);
    CloseHandle(g_proc.hProcess);
    g_started = 0;
}

static void Check(const char *kind, const char *subject, int ok)
{
    Out("check %s ", kind);
    OutQuoted(subject);
    Out(" %s\n", ok ? "ok" : "FAIL");
    if (!ok) ++g_failures;
}

static int PathExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static void MakeParents(const char *path)
{
    char buf[MAX_PATH];
    char *p;
    lstrcpynA(buf, path, sizeof buf);
    for (p = buf + 3; *p; ++p) {
        if (*p == '\\') {
            *p = 0;
            CreateDirectoryA(buf, NULL);
            *p = '\\';
        }
    }
}

static void CmdMkfile(char **tok, int n)
{
    const char *text = "";
    int readonly = 0, i;
    HANDLE h;
    DWORD written;
    if (n < 2) Fail("mkfile needs a path");
    for (i = 2; i < n; ++i) {
        if (!strcmp(tok[i], "readonly")) readonly = 1;
        else text = tok[i];
    }
    MakeParents(tok[1]);
    SetFileAttributesA(tok[1], FILE_ATTRIBUTE_NORMAL);
    h = CreateFileA(tok[1], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) { Out("FAIL mkfile error=%lu\n", GetLastError()); exit(1); }
    WriteFile(h, text, (DWORD)strlen(text), &written, NULL);
    CloseHandle(h);
    if (readonly) SetFileAttributesA(tok[1], FILE_ATTRIBUTE_READONLY);
    Out("made ");
    OutQuoted(tok[1]);
    Out("\n");
}

static void CmdMkdir(const char *path)
{
    char buf[MAX_PATH];
    _snprintf(buf, sizeof buf, "%s\\", path);
    MakeParents(buf);
    if (!PathExists(path)) { Out("FAIL mkdir error=%lu\n", GetLastError()); exit(1); }
    Out("made ");
    OutQuoted(path);
    Out("\n");
}

static void CmdHold(const char *path)
{
    int i;
    for (i = 0; i < MAX_HOLDS; ++i) {
        if (!g_holds[i].handle) {
            HANDLE h = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            if (h == INVALID_HANDLE_VALUE) { Out("FAIL hold error=%lu\n", GetLastError()); exit(1); }
            lstrcpynA(g_holds[i].path, path, MAX_PATH);
            g_holds[i].handle = h;
            Out("held ");
            OutQuoted(path);
            Out("\n");
            return;
        }
    }
    Fail("hold: too many");
}

static void CmdRelease(const char *path)
{
    int i;
    for (i = 0; i < MAX_HOLDS; ++i) {
        if (g_holds[i].handle && !lstrcmpiA(g_holds[i].path, path)) {
            CloseHandle(g_holds[i].handle);
            g_holds[i].handle = NULL;
            Out("released ");
            OutQuoted(path);
            Out("\n");
            return;
        }
    }
    Fail("release: not held");
}

static HKEY ParseRoot(const char *s)
{
    if (!lstrcmpiA(s, "HKLM") || !lstrcmpiA(s, "HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
    if (!lstrcmpiA(s, "HKCU") || !lstrcmpiA(s, "HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
    if (!lstrcmpiA(s, "HKCR") || !lstrcmpiA(s, "HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
    if (!lstrcmpiA(s, "HKU") || !lstrcmpiA(s, "HKEY_USERS")) return HKEY_USERS;
    return (HKEY)(ULONG_PTR)strtoul(s, NULL, 0);
}

static int HexNibble(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static void CmdRegSet(char **tok, int n)
{
    HKEY key;
    BYTE data[1024];
    DWORD size = 0, type;
    LONG rc;
    if (n < 5) Fail("regset: root path name type [value]");
    if (!strcmp(tok[4], "dword")) {
        DWORD v = n > 5 ? strtoul(tok[5], NULL, 0) : 0;
        type = REG_DWORD;
        memcpy(data, &v, 4);
        size = 4;
    } else if (!strcmp(tok[4], "sz")) {
        type = REG_SZ;
        lstrcpynA((char *)data, n > 5 ? tok[5] : "", sizeof data);
        size = (DWORD)strlen((char *)data) + 1;
    } else if (!strcmp(tok[4], "binary")) {
        const char *h = n > 5 ? tok[5] : "";
        type = REG_BINARY;
        while (h[0] && h[1] && size < sizeof data) {
            data[size++] = (BYTE)(HexNibble(h[0]) * 16 + HexNibble(h[1]));
            h += 2;
        }
    } else {
        Fail("regset: unknown type");
        return;
    }
    rc = RegCreateKeyExA(ParseRoot(tok[1]), tok[2], 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (rc) { Out("FAIL regset open error=%ld\n", rc); exit(1); }
    rc = RegSetValueExA(key, tok[3], 0, type, data, size);
    RegCloseKey(key);
    if (rc) { Out("FAIL regset error=%ld\n", rc); exit(1); }
    Out("regset ");
    OutQuoted(tok[2]);
    Out(" ");
    OutQuoted(tok[3]);
    Out("\n");
}

static void CmdRegKey(char **tok, int n)
{
    HKEY key;
    LONG rc;
    if (n < 3) Fail("regkey: root path");
    rc = RegCreateKeyExA(ParseRoot(tok[1]), tok[2], 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL);
    if (rc) { Out("FAIL regkey error=%ld\n", rc); exit(1); }
    RegCloseKey(key);
    Out("regkey ");
    OutQuoted(tok[2]);
    Out("\n");
}

/* 1 when the key (and the value, if named) exists */
static int RegPresent(char **tok, int n)
{
    HKEY key;
    int found;
    if (RegOpenKeyExA(ParseRoot(tok[1]), tok[2], 0, KEY_READ, &key)) return 0;
    found = n < 4 || RegQueryValueExA(key, tok[3], NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

static void CmdRegValue(char **tok, int n)
{
    HKEY key;
    BYTE data[1024];
    DWORD size = sizeof data - 1, type = 0, i;
    if (n < 4) Fail("regvalue: root path name");
    Out("regvalue ");
    OutQuoted(tok[2]);
    Out(" ");
    OutQuoted(tok[3]);
    if (RegOpenKeyExA(ParseRoot(tok[1]), tok[2], 0, KEY_READ, &key)) { Out(" nokey\n"); return; }
    if (RegQueryValueExA(key, tok[3], NULL, &type, data, &size)) {
        RegCloseKey(key);
        Out(" missing\n");
        return;
    }
    RegCloseKey(key);
    if (type == REG_DWORD && size == 4) {
        DWORD v;
        memcpy(&v, data, 4);
        Out(" dword %lu\n", (unsigned long)v);
    } else if (type == REG_SZ) {
        data[size] = 0;
        Out(" sz ");
        OutQuoted((char *)data);
        Out("\n");
    } else {
        Out(" type%lu ", (unsigned long)type);
        for (i = 0; i < size; ++i) Out("%02X", data[i]);
        Out("\n");
    }
}

/* Lets an outside observer act (e.g. take a screenshot) while a box is up:
   waits until it creates the file. */
static void CmdWaitFile(const char *path, DWORD timeout)
{
    DWORD start = GetTickCount();
    while (!PathExists(path)) {
        if (GetTickCount() - start > timeout) Abort("waitfile");
        Sleep(50);
    }
    Out("waited ");
    OutQuoted(path);
    Out("\n");
}

static void CmdWaitAbsent(const char *path, DWORD timeout)
{
    DWORD start = GetTickCount();
    while (PathExists(path)) {
        if (GetTickCount() - start > timeout) {
            Check("waitabsent", path, 0);
            return;
        }
        Sleep(100);
    }
    Check("waitabsent", path, 1);
}

/* The path of a special folder, looked up the way the stub does it. */
static void CmdSpecialFolder(int csidl)
{
    LPITEMIDLIST list = NULL;
    char path[MAX_PATH];
    path[0] = 0;
    if (SHGetSpecialFolderLocation(NULL, csidl, &list) != S_OK || !SHGetPathFromIDListA(list, path)) {
        Out("FAIL specialfolder %d\n", csidl);
        exit(1);
    }
    CoTaskMemFree(list);
    Out("folder %d ", csidl);
    OutQuoted(path);
    Out("\n");
}

static void CmdShortPath(const char *path)
{
    char buf[MAX_PATH];
    DWORD n = GetShortPathNameA(path, buf, sizeof buf);
    Out("shortpath ");
    OutQuoted(path);
    if (!n || n >= sizeof buf) { Out(" error=%lu\n", GetLastError()); return; }
    Out(" ");
    OutQuoted(buf);
    Out("\n");
}

static void CmdReadOnly(const char *path)
{
    DWORD a = GetFileAttributesA(path);
    if (a == INVALID_FILE_ATTRIBUTES || !SetFileAttributesA(path, a | FILE_ATTRIBUTE_READONLY))
        Fail("readonly");
    Out("readonly ");
    OutQuoted(path);
    Out("\n");
}

/* Splits a line into words; "double quoted" words keep their spaces and
   backslashes as they are. */
static int Tokenize(char *line, char **tok)
{
    int n = 0;
    char *p = line;
    while (*p && n < MAX_TOKENS) {
        while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
        if (!*p) break;
        if (*p == '"') {
            tok[n++] = ++p;
            while (*p && *p != '"') ++p;
        } else {
            tok[n++] = p;
            while (*p && *p != ' ' && *p != '\t' && *p != '\r' && *p != '\n') ++p;
        }
        if (*p) *p++ = 0;
    }
    return n;
}

static DWORD Ms(char **tok, int n, int i)
{
    return n > i ? (DWORD)strtoul(tok[i], NULL, 10) : 10000;
}

int main(int argc, char **argv)
{
    FILE *script;
    char line[4096];
    char *tok[MAX_TOKENS];
    int n, i;

    if (argc < 2) {
        fprintf(stderr, "usage: driver <script>\n");
        return 64;
    }
    script = fopen(argv[1], "rb");
    if (!script) {
        Out("FAIL cannot open script\n");
        return 64;
    }
    while (fgets(line, sizeof line, script)) {
        if (line[0] == '#') continue;
        n = Tokenize(line, tok);
        if (!n) continue;
        if (!strcmp(tok[0], "start")) CmdStart(tok, n);
        else if (!strcmp(tok[0], "expect")) CmdExpect(Ms(tok, n, 1));
        else if (!strcmp(tok[0], "press") && n > 1) CmdPress(atoi(tok[1]));
        else if (!strcmp(tok[0], "key") && n > 1) CmdKey(tok[1]);
        else if (!strcmp(tok[0], "nowindow")) CmdNoWindow(Ms(tok, n, 1));
        else if (!strcmp(tok[0], "wait")) CmdWait(Ms(tok, n, 1));
        else if (!strcmp(tok[0], "sleep")) Sleep(Ms(tok, n, 1));
        else if (!strcmp(tok[0], "hold") && n > 1) CmdHold(tok[1]);
        else if (!strcmp(tok[0], "release") && n > 1) CmdRelease(tok[1]);
        else if (!strcmp(tok[0], "mkfile")) CmdMkfile(tok, n);
        else if (!strcmp(tok[0], "mkdir") && n > 1) CmdMkdir(tok[1]);
        else if (!strcmp(tok[0], "exists") && n > 1) Check("exists", tok[1], PathExists(tok[1]));
        else if (!strcmp(tok[0], "absent") && n > 1) Check("absent", tok[1], !PathExists(tok[1]));
        else if (!strcmp(tok[0], "waitabsent") && n > 1) CmdWaitAbsent(tok[1], Ms(tok, n, 2));
        else if (!strcmp(tok[0], "waitfile") && n > 1) CmdWaitFile(tok[1], Ms(tok, n, 2));
        else if (!strcmp(tok[0], "regset")) CmdRegSet(tok, n);
        else if (!strcmp(tok[0], "regkey")) CmdRegKey(tok, n);
        else if (!strcmp(tok[0], "regexists") && n > 2) Check("regexists", tok[2], RegPresent(tok, n));
        else if (!strcmp(tok[0], "regabsent") && n > 2) Check("regabsent", tok[2], !RegPresent(tok, n));
        else if (!strcmp(tok[0], "regvalue")) CmdRegValue(tok, n);
        else if (!strcmp(tok[0], "specialfolder") && n > 1) CmdSpecialFolder((int)strtol(tok[1], NULL, 0));
        else if (!strcmp(tok[0], "shortpath") && n > 1) CmdShortPath(tok[1]);
        else if (!strcmp(tok[0], "readonly") && n > 1) CmdReadOnly(tok[1]);
        else {
            Out("FAIL unknown command %s\n", tok[0]);
            KillProgram();
            return 64;
        }
    }
    fclose(script);
    for (i = 0; i < MAX_HOLDS; ++i)
        if (g_holds[i].handle) CloseHandle(g_holds[i].handle);
    if (ProgramRunning()) {
        Out("FAIL program still running at the end of the script\n");
        KillProgram();
        return 1;
    }
    Out("done failures=%d\n", g_failures);
    return g_failures ? 1 : 0;
}
