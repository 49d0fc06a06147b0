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
