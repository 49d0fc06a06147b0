// In-place, byte-wise path rules. A 0x5C byte is a backslash wherever it
// stands, also as the trail byte of a double-byte character.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"

static const u32 MAX_PATH_TEXT = PATH_BUFFER_SIZE - 1;

void AppendBackslash(char* path) {
  u32 n = StrLen(path);
  if (n == 0 || path[n - 1] == '\\') return;
  if (n >= MAX_PATH_TEXT) return;  // no room left in a path buffer
  path[n] = '\\';
  path[n + 1] = 0;
}

void StripBackslash(char* path) {
  u32 n = StrLen(path);
  if (n <= 3) return;  // a drive root such as D:\ keeps its backslash
  if (path[n - 1] == '\\') path[n - 1] = 0;
}

// A dir that begins with a full stop stands for InstallDir; after ".\" the
// rest is appended, after anything else it is ignored. Without a known
// InstallDir such an entry resolves to nothing: it would otherwise name a
// file of the same name in the current directory.
int ResolveEntryDir(const FileRecord* record) {
  const char* dir = record->dir;
  const char* rest = "";
  const char* base = dir;
  if (dir[0] == '.') {
    base = InstallDir;
    if (dir[1] == '\\') rest = dir + 2;
  }
  u32 baseLength = StrLen(base);
  if ((dir[0] == '.' && !baseLength) || baseLength + StrLen(rest) > MAX_PATH_TEXT) {
    WorkPath[0] = 0;
    return 0;
  }
  StrCopy(WorkPath, base);
  StrCopy(WorkPath + baseLength, rest);
  return 1;
}

// Appends a backslash where needed and the name, if the result fits.
static int AppendName(const char* name) {
  u32 n = StrLen(WorkPath);
  u32 separator = (n && WorkPath[n - 1] != '\\') ? 1 : 0;
  if (n + separator + StrLen(name) > MAX_PATH_TEXT) return 0;
  AppendBackslash(WorkPath);
  StrCopy(WorkPath + n + separator, name);
  return 1;
}

int ComposeEntryPath(const FileRecord* record) {
  if (!ResolveEntryDir(record)) return 0;
  if (!record->name[0]) return 1;  // a directory entry: the directory as resolved
  return AppendName(record->name);
}

int ComposeShortcutPath(const ShortcutRecord* record) {
  if (StrLen(record->dir) > MAX_PATH_TEXT) return 0;
  StrCopy(WorkPath, record->dir);
  return AppendName(record->name);
}

static char FoldAsciiUpper(char c) {
  return (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c;
}

int PathsEqual(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    if (FoldAsciiUpper(*a) != FoldAsciiUpper(*b)) return 0;
  }
  return *a == *b;
}

// The length of the folders `path` shares with the first n bytes of
// WorkPath (up to and including the last common backslash).
static u32 SharedFolders(const char* path, u32 n) {
  u32 shared = 0;
  for (u32 i = 0; i < n && FoldAsciiUpper(path[i]) == FoldAsciiUpper(WorkPath[i]); i++)
    if (WorkPath[i] == '\\') shared = i + 1;
  return shared;
}

// Another user who can write below the installation folder could swap one
// of its folders for a link to anywhere. Below InstallDir every folder from
// InstallDir down counts; elsewhere only the entry's own. Folders above
// InstallDir are followed: a relocated Program Files is a link too.
int EntryFolderFreeOfLinks(char* checked) {
  u32 n = StrLen(WorkPath);
  if (n && WorkPath[n - 1] == '\\') n--;  // a folder entry: its own name is the last part
  while (n && WorkPath[n - 1] != '\\') n--;
  if (!n) return 1;  // a bare name: no folder of its own to check
  // WorkPath[0, n) is the entry's folder with its backslash. The folders it
  // shares with `checked` were found free with it.
  u32 shared = SharedFolders(checked, n);
  u32 install = StrLen(InstallDir);
  u32 from = n - 1;
  if (install && SharedFolders(InstallDir, n) == install) {
    if (shared == n) return 1;  // the folder or one that holds it was checked
    from = shared >= install ? shared : install - 1;
  } else if (shared == n && !checked[n]) {
    return 1;
  }
  for (; from < n; from++) {
    if (WorkPath[from] != '\\' || from < 3) continue;  // a drive root is never a link
    WorkPath[from] = 0;
    DWORD attributes = GetFileAttributesA(WorkPath);
    WorkPath[from] = '\\';
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
  }
  // A folder that holds the last one checked (the installation folder's own,
  // in the sweep) leaves that one remembered.
  if (shared < n) {
    MemCopy(checked, WorkPath, n);
    checked[n] = 0;
  }
  return 1;
}
