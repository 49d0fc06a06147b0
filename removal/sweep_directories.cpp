// The directory sweep: every directory the file list touched is removed if
// it is empty by now, except the system's own folders.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"

// The Windows, system, Desktop, Fonts and Programs folders, which every
// Windows has, then the per-user Start menu and the all-users Desktop, Start
// menu and Programs folders (Windows 95 has no all-users folders). Looked up once per run
// (on the first candidate), without their trailing backslash. A failed
// lookup of one of the first five makes every folder count as protected:
// the sweep then removes nothing rather than an empty Desktop or Programs
// folder. Any other failed lookup matches nothing.
enum { ALWAYS_PRESENT_COUNT = 5, PROTECTED_FOLDER_COUNT = 9 };

static const int ShellFolders[PROTECTED_FOLDER_COUNT - 2] = {
    CSIDL_DESKTOP,          CSIDL_FONTS,          CSIDL_PROGRAMS,
    CSIDL_STARTMENU,        CSIDL_COMMON_DESKTOPDIRECTORY,
    CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS};

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
  for (int i = 2; i < PROTECTED_FOLDER_COUNT; i++)
    folders->found[i] = ShellFolderPath(ShellFolders[i - 2], folders->path[i]);
  for (int i = 0; i < PROTECTED_FOLDER_COUNT; i++) {
    if (!folders->found[i]) continue;  // the buffer was never filled
    folders->path[i][PATH_BUFFER_SIZE - 1] = 0;
    StripBackslash(folders->path[i]);
  }
}

static int IsProtected(ProtectedFolders* folders, const char* path) {
  if (!folders->looked) LookUpProtectedFolders(folders);
  for (int i = 0; i < PROTECTED_FOLDER_COUNT; i++) {
    if (!folders->found[i]) {
      if (i < ALWAYS_PRESENT_COUNT) return 1;
    } else if (PathsEqual(path, folders->path[i])) {
      return 1;
    }
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
  char checked[PATH_BUFFER_SIZE];
  checked[0] = 0;

  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    const FileRecord* record = UninstallInfo.fileList[i];
    if (record->flags & FILE_FONT) continue;
    if (!CandidateDirectory(record)) continue;
    if (PathsEqual(WorkPath, lastAttemptedDir)) continue;
    if (IsProtected(&folders, WorkPath)) continue;
    if (!EntryFolderFreeOfLinks(checked)) continue;
    StrCopy(lastAttemptedDir, WorkPath);
    RemoveDirectoryA(lastAttemptedDir);
  }
  AppendBackslash(InstallDir);
}
