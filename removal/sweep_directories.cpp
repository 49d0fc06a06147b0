// The directory sweep: every directory the file list touched is removed if
// it is empty by now, except the system's own folders.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"

enum { PROTECTED_FOLDER_COUNT = 5 };

// The Windows, system, Desktop, Fonts and Programs folders, looked up once
// per run (on the first candidate) without their trailing backslash. A
// folder that cannot be looked up matches nothing.
struct ProtectedFolders {
  int looked;
  int found[PROTECTED_FOLDER_COUNT];
  char path[PROTECTED_FOLDER_COUNT][PATH_BUFFER_SIZE];
};

static int ShellFolderPath(int csidl, char* path) {
  LPITEMIDLIST list = 0;
  if (SHGetSpecialFolderLocation(0, csidl, &list) != S_OK || !list) return 0;
  int ok = SHGetPathFromIDListA(list, path) != 0;
  CoTaskMemFree(list);
  return ok;
}

static void LookUpProtectedFolders(ProtectedFolders* folders) {
  folders->looked = 1;
  UINT n = GetWindowsDirectoryA(folders->path[0], PATH_BUFFER_SIZE);
  folders->found[0] = n > 0 && n < PATH_BUFFER_SIZE;
  n = GetSystemDirectoryA(folders->path[1], PATH_BUFFER_SIZE);
  folders->found[1] = n > 0 && n < PATH_BUFFER_SIZE;
  folders->found[2] = ShellFolderPath(CSIDL_DESKTOP, folders->path[2]);
  folders->found[3] = ShellFolderPath(CSIDL_FONTS, folders->path[3]);
  folders->found[4] = ShellFolderPath(CSIDL_PROGRAMS, folders->path[4]);
  for (int i = 0; i < PROTECTED_FOLDER_COUNT; i++) {
    folders->path[i][PATH_BUFFER_SIZE - 1] = 0;
    StripBackslash(folders->path[i]);
  }
}

static int IsProtected(ProtectedFolders* folders, const char* path) {
  if (!folders->looked) LookUpProtectedFolders(folders);
  for (int i = 0; i < PROTECTED_FOLDER_COUNT; i++) {
    if (folders->found[i] && PathsEqual(path, folders->path[i])) return 1;
  }
  return 0;
}

// The directory the entry lives in (or the directory entry itself) into
// WorkPath; 0 when the entry yields none.
static int CandidateDirectory(const FileRecord* record) {
  if (!ComposeEntryPath(record)) return 0;
  if (record->name[0]) {
    char* lastBackslash = 0;
    for (char* p = WorkPath; *p; p++) {
      if (*p == '\\') lastBackslash = p;
    }
    if (!lastBackslash) return 0;
    *lastBackslash = 0;
  }
  StripBackslash(WorkPath);
  return 1;
}

void SweepDirectories(void) {
  // Leave the installation directory, so that this process does not keep it
  // in use; the self-removal script inherits the parent as its directory.
  StripBackslash(InstallDir);
  SetCurrentDirectoryA(InstallDir);
  SetCurrentDirectoryA("..");
  AppendBackslash(InstallDir);

  char lastAttemptedDir[PATH_BUFFER_SIZE];
  lastAttemptedDir[0] = 0;
  ProtectedFolders folders;
  folders.looked = 0;

  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    const FileRecord* record = UninstallInfo.fileList[i];
    if (record->flags & FILE_FONT) continue;
    if (!CandidateDirectory(record)) continue;
    if (PathsEqual(WorkPath, lastAttemptedDir)) continue;
    if (IsProtected(&folders, WorkPath)) continue;
    StrCopy(lastAttemptedDir, WorkPath);
    RemoveDirectoryA(lastAttemptedDir);
  }
  AppendBackslash(InstallDir);
}
