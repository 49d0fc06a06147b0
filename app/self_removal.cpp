// After a confirmed run: a hidden batch script deletes the stub's own file
// once the stub has exited, then the installation directory, then itself.
//
// The command interpreter reads the script again for every line it runs, so
// whoever can write the script while it waits can run commands with the
// uninstaller's rights. On the NT family it therefore lives in a folder of
// a fresh name that this run creates itself, in the temporary folder, open
// to SYSTEM and administrators only. Windows 95 and 98 know no such rights:
// there the script is "Delme.bat" in the root of the installation drive.
#include "app/run.h"
#include "removal/removal.h"
#include "uninstall_info/uninstall_info.h"

// The command interpreter reads these as operators or variables even in a
// file name; such a path, or one with a space, goes into quotes.
static int NeedsQuotes(const char* path) {
  for (; *path; path++) {
    switch (*path) {
      case ' ': case '&': case '|': case '<': case '>': case '^': case '!':
      case '(': case ')': case '%': case ',': case ';': case '=':
        return 1;
    }
  }
  return 0;
}

// How often the NT script tries to delete the stub's file before it gives
// up: a few seconds on a fast machine, much more than the stub needs to exit.
#define SCRIPT_TRIES "100000"

// A path as it stands where the 95 family needs no quotes; otherwise in
// quotes with every percent sign doubled, since "%" still expands inside
// quotes. Returns the end of what it wrote.
static char* PutPath(char* out, const char* path, int nt) {
  int quote = nt || NeedsQuotes(path);
  if (quote) *out++ = '"';
  for (; *path; path++) {
    if (*path == '%' && quote) *out++ = '%';
    *out++ = *path;
  }
  if (quote) *out++ = '"';
  return out;
}

// The scripts, with a byte 1 to 3 where the stub's path, the installation
// directory or the script's own path goes. 95 family: ":Repeat / del stub /
// if exist stub goto Repeat / rmdir dir / del batch". NT family: the same,
// but the wait ends after a bounded number of tries (the stub's file may
// never become deletable). Its folder goes once the interpreter has let go
// of the script (see the command line).
static const char Script95[] = ":Repeat\r\ndel \1\r\nif exist \1 goto Repeat\r\nrmdir \2\r\ndel \3\r\n";
static const char ScriptNt[] =
    "set k=0\r\n:Repeat\r\ndel \1\r\nset /a k+=1\r\nif exist \1 if %k% lss " SCRIPT_TRIES
    " goto Repeat\r\nrmdir \2\r\ndel \3\r\n";

// The script's length.
static u32 ComposeScript(char* text, const char* const* paths, int nt) {
  char* out = text;
  for (const char* p = nt ? ScriptNt : Script95; *p; p++) {
    if (*p < 5) out = PutPath(out, paths[*p - 1], nt);
    else *out++ = *p;
  }
  return (u32)(out - text);
}

// Room for the longer script with each of its four paths 259 bytes long,
// quoted, every byte a doubled percent sign: no script can be longer.
enum {
  SCRIPT_CAPACITY = sizeof(ScriptNt) + 4 * (2 * (PATH_BUFFER_SIZE - 1) + 2),
  SCRIPT_FOLDER_ATTEMPTS = 16,
  SCRIPT_FOLDER_NAME_LENGTH = 11  // "~sk" and eight hexadecimal digits
};

// Full access for SYSTEM and the Administrators group, inherited by the
// script, and nothing from the folder above: a self-relative descriptor,
// constant, that NT 4.0 understands as well.
static const u32 AdministratorsOnly[] = {
    0x90040001, 0, 0, 0, 20,                                   // protected DACL at 20
    0x00340002, 2,                                             // ACL: 52 bytes, 2 entries
    0x00140300, 0x001F01FF, 0x00000101, 0x05000000, 18,        // allow S-1-5-18
    0x00180300, 0x001F01FF, 0x00000201, 0x05000000, 32, 544};  // allow S-1-5-32-544

static void PutHex(char* out, DWORD value) {
  for (int i = 7; i >= 0; i--, value >>= 4) out[i] = "0123456789abcdef"[value & 15];
  out[8] = 0;
}

// Makes a folder of a fresh name in the temporary folder and the script in
// it. Only a folder this call created is used: one that someone made in
// advance under the same name is passed over. A run without administrator
// rights cannot write into the administrators' folder; its own temporary
// folder, which other users cannot enter, takes an ordinary one instead.
static HANDLE CreateNtScript(char* folder, char* batchPath) {
  DWORD n = GetTempPathA(PATH_BUFFER_SIZE, folder);
  if (n == 0 || n + 24 > PATH_BUFFER_SIZE) return INVALID_HANDLE_VALUE;
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = (void*)AdministratorsOnly;
  attributes.bInheritHandle = FALSE;
  SECURITY_ATTRIBUTES* security = &attributes;
  DWORD seed = GetTickCount();
  StrCopy(folder + n, "~sk");
  for (int attempt = 0; attempt < SCRIPT_FOLDER_ATTEMPTS; attempt++) {
    seed = seed * 0x08088405 + 1;
    PutHex(folder + n + 3, seed);
    if (!CreateDirectoryA(folder, security)) continue;
    StrCopy(batchPath, folder);
    AppendBackslash(batchPath);
    StrCopy(batchPath + StrLen(batchPath), BATCH_FILE_NAME);
    HANDLE file = CreateFileA(batchPath, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    if (file != INVALID_HANDLE_VALUE) return file;
    DWORD error = GetLastError();
    RemoveDirectoryA(folder);
    if (!security || error != ERROR_ACCESS_DENIED) break;
    security = 0;
  }
  return INVALID_HANDLE_VALUE;
}

static void RemoveScript(const char* batchPath, const char* folder, int nt) {
  DeleteFileA(batchPath);
  if (nt) RemoveDirectoryA(folder);
}

void ScheduleSelfRemoval(void) {
  if (!InstallDir[0]) return;  // its folder unknown: the script could not name it
  GetShortPathNameA(InstallDir, InstallDir, PATH_BUFFER_SIZE);
  StripBackslash(InstallDir);
  DWORD n = GetModuleFileNameA(InstanceHandle, WorkPath, PATH_BUFFER_SIZE);
  if (n == 0 || n >= PATH_BUFFER_SIZE) return;
  GetShortPathNameA(WorkPath, WorkPath, PATH_BUFFER_SIZE);

  // "del" cannot delete a read-only file: the script would retry for ever.
  DWORD attributes = GetFileAttributesA(WorkPath);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    SetFileAttributesA(WorkPath, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    attributes = GetFileAttributesA(WorkPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return;
  }

  OSVERSIONINFOA version;
  MemZero(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  // Unknown, the family could be NT, where the 95 family's script is unsafe.
  if (!GetVersionExA(&version)) return;
  int nt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;

  char folder[PATH_BUFFER_SIZE];
  char batchPath[PATH_BUFFER_SIZE];
  HANDLE file;
  if (nt) {
    file = CreateNtScript(folder, batchPath);
  } else {
    // The root of the installation drive, or the bare name without a drive.
    batchPath[0] = 0;
    if (InstallDir[0] && InstallDir[1] == ':') {
      batchPath[0] = InstallDir[0];
      batchPath[1] = ':';
      batchPath[2] = 0;
    }
    AppendBackslash(batchPath);
    StrCopy(batchPath + StrLen(batchPath), BATCH_FILE_NAME);
    file = CreateFileA(batchPath, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  }
  if (file == INVALID_HANDLE_VALUE) return;

  // The interpreter reads the script in the OEM code page. Its best fit
  // could turn a character of a path into a quote, a percent sign or a caret,
  // so the text must convert back to itself: then every ASCII byte, quotes
  // and operators among them, stands as it was composed. A script cut short,
  // or one that would not say what it means, is neither kept nor started.
  char* text;
  DWORD written = 0;
  int complete = 0;
  if (AllocZeroed(3 * SCRIPT_CAPACITY, &text)) {
    char* oem = text + SCRIPT_CAPACITY;
    char* back = oem + SCRIPT_CAPACITY;
    const char* paths[] = {WorkPath, InstallDir, batchPath};
    u32 length = ComposeScript(text, paths, nt);
    complete = CharToOemBuffA(text, oem, length) && OemToCharBuffA(oem, back, length);
    for (u32 i = 0; i < length; i++) complete &= text[i] == back[i];
    complete = complete && WriteFile(file, oem, length, &written, 0) && written == length;
    FreeAndClear(&text);
  }
  CloseHandle(file);
  if (!complete) {
    RemoveScript(batchPath, folder, nt);
    return;
  }

  // NT: the interpreter by its full path, in quotes, never a program found
  // on the search path; no AutoRun commands, extensions on, "!" plain text
  // (NT 4.0 lacks those switches and AutoRun alike). It starts in the
  // script's folder and, once the script is done and closed, removes that
  // folder by its name, the only path on the command line.
  char commandLine[PATH_BUFFER_SIZE + 80];
  const char* directory = 0;
  char* line = batchPath;
  if (nt) {
    UINT length = GetSystemDirectoryA(commandLine + 1, PATH_BUFFER_SIZE);
    if (length >= PATH_BUFFER_SIZE) length = 0;
    commandLine[0] = '"';
    StrCopy(commandLine + 1 + length, "\\cmd.exe\"");
    if (version.dwMajorVersion >= 5) StrCopy(commandLine + StrLen(commandLine), " /D /E:ON /V:OFF");
    StrCopy(commandLine + StrLen(commandLine), " /C call " BATCH_FILE_NAME " & cd .. & rmdir ");
    StrCopy(commandLine + StrLen(commandLine), folder + StrLen(folder) - SCRIPT_FOLDER_NAME_LENGTH);
    // Without the system folder there is no command line: the start fails.
    line = length ? commandLine : 0;
    directory = folder;
  }

  STARTUPINFOA startup;
  MemZero(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process;
  MemZero(&process, sizeof(process));
  if (!CreateProcessA(0, line, 0, 0, FALSE, CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, 0,
                      directory, &startup, &process)) {
    RemoveScript(batchPath, folder, nt);
    return;
  }
  // The script waits at idle priority while the stub, raised, finishes and
  // exits; only then can "del" succeed.
  SetThreadPriority(process.hThread, THREAD_PRIORITY_IDLE);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  CloseHandle(process.hProcess);
  ResumeThread(process.hThread);
  CloseHandle(process.hThread);
}
