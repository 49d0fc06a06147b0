// After a confirmed run: a hidden batch script deletes the stub's own file
// once the stub has exited, then the installation directory, then itself.
#include "app/run.h"
#include "removal/removal.h"
#include "uninstall_info/uninstall_info.h"

// The command interpreter reads these as operators or variables even in a
// file name; such a path, or one with a space, goes into quotes.
static int NeedsQuotes(const char* path) {
  for (; *path; path++) {
    switch (*path) {
      case ' ': case '&': case '|': case '<': case '>': case '^':
      case '(': case ')': case '%': case ',': case ';': case '=':
        return 1;
    }
  }
  return 0;
}

struct ScriptText {
  char* text;
  u32 length;
  u32 capacity;  // bytes, terminator included
  int overflow;
};

static void Put(ScriptText* s, const char* text) {
  for (; *text; text++) {
    if (s->length + 1 >= s->capacity) {
      s->overflow = 1;
      return;
    }
    s->text[s->length++] = *text;
  }
  s->text[s->length] = 0;
}

// A path as it stands when it needs no quoting; otherwise in quotes with
// every percent sign doubled, since "%" still expands inside quotes.
static void PutPath(ScriptText* s, const char* path) {
  if (!NeedsQuotes(path)) {
    Put(s, path);
    return;
  }
  Put(s, "\"");
  char one[2] = {0, 0};
  for (; *path; path++) {
    one[0] = *path;
    Put(s, *path == '%' ? "%%" : one);
  }
  Put(s, "\"");
}

// ":Repeat / del stub / if exist stub goto Repeat / rmdir dir / del batch",
// each line ended by CR LF.
static int ComposeScript(ScriptText* s, const char* stub, const char* dir, const char* batch) {
  Put(s, ":Repeat\r\ndel ");
  PutPath(s, stub);
  Put(s, "\r\nif exist ");
  PutPath(s, stub);
  Put(s, " goto Repeat\r\nrmdir ");
  PutPath(s, dir);
  Put(s, "\r\ndel ");
  PutPath(s, batch);
  Put(s, "\r\n");
  return !s->overflow;
}

// Room for four paths of 259 bytes, each quoted with every byte a doubled
// percent sign, and the 52 bytes of the lines themselves.
enum { SCRIPT_CAPACITY = 52 + 4 * (2 * (PATH_BUFFER_SIZE - 1) + 2) + 1 };

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

  // The root of the installation drive, or the bare name without a drive.
  char batchPath[PATH_BUFFER_SIZE];
  batchPath[0] = 0;
  if (InstallDir[0] && InstallDir[1] == ':') {
    batchPath[0] = InstallDir[0];
    batchPath[1] = ':';
    batchPath[2] = 0;
  }
  AppendBackslash(batchPath);
  StrCopy(batchPath + StrLen(batchPath), BATCH_FILE_NAME);

  char text[SCRIPT_CAPACITY];
  ScriptText script = {text, 0, sizeof(text), 0};
  if (!ComposeScript(&script, WorkPath, InstallDir, batchPath)) return;
  // The interpreter reads batch files in the OEM code page; paths are ANSI.
  CharToOemBuffA(script.text, script.text, script.length);

  HANDLE file = CreateFileA(batchPath, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  if (file == INVALID_HANDLE_VALUE) return;
  // A script cut short would be started (and left behind) as it stands.
  DWORD written = 0;
  BOOL complete = WriteFile(file, script.text, script.length, &written, 0) && written == script.length;
  CloseHandle(file);
  if (!complete) {
    DeleteFileA(batchPath);
    return;
  }

  STARTUPINFOA startup;
  MemZero(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process;
  MemZero(&process, sizeof(process));
  if (!CreateProcessA(0, batchPath, 0, 0, FALSE, CREATE_SUSPENDED | IDLE_PRIORITY_CLASS, 0, 0,
                      &startup, &process)) {
    DeleteFileA(batchPath);
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
