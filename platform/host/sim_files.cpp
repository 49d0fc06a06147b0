// Files and directories: one tree of nodes keyed by the upper-cased full
// path, a current directory, open file handles with share modes, short names,
// the stub's own module path and the Windows and system directories.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

struct Node {
  std::string path;  // as created, for listings
  bool dir = false;
  DWORD attributes = 0;
  std::string bytes;
  bool heldOpen = false;
  std::string descriptor;  // given to CreateDirectoryA
};

struct OpenFile {
  std::string key;
  DWORD access;
  DWORD share;
  uint64_t position;
};

struct FileState {
  std::map<std::string, Node> nodes;
  Path current;
  std::map<void*, OpenFile> handles;
  std::map<std::string, std::string> shortNames;  // by key of the long path
  std::string modulePath = "C:\\App\\Uninstall.exe";
  std::string windowsDir = "C:\\WINDOWS";
  std::string systemDir = "C:\\WINDOWS\\SYSTEM32";
  std::string tempPath = "C:\\WINDOWS\\TEMP\\";
  int moves = 0;
  unsigned nextTempNumber = 1;
};

FileState& State() {
  static FileState state;
  return state;
}

bool IsDriveLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

Node* Find(const Path& path) {
  auto it = State().nodes.find(path.Key());
  return it == State().nodes.end() ? nullptr : &it->second;
}

Node* FindParentDir(const Path& path) {
  if (path.IsRoot()) return nullptr;
  Node* parent = Find(path.Parent());
  return parent && parent->dir ? parent : nullptr;
}

// The error for a path that does not name a node: 2 when only the last name
// is missing, 3 when a directory on the way is missing.
DWORD MissingError(const Path& path) { return FindParentDir(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND; }

// The node a path argument names, or null with the last error set as the
// system would set it.
Node* FindExisting(LPCSTR text, Path* path) {
  if (!ResolvePath(text, path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  Node* node = Find(*path);
  if (!node) SetError(MissingError(*path));
  return node;
}

bool HasChildren(const Path& path) {
  std::string prefix = path.Key();
  if (prefix.back() != '\\') prefix += '\\';
  auto it = State().nodes.lower_bound(prefix);
  return it != State().nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

bool HasOpenHandles(const std::string& key) {
  for (const auto& entry : State().handles) {
    if (entry.second.key == key) return true;
  }
  return false;
}

// Another open handle's share mode refuses this access, or this share mode
// refuses an open handle's access.
bool SharingConflict(const std::string& key, DWORD access, DWORD share) {
  for (const auto& entry : State().handles) {
    const OpenFile& open = entry.second;
    if (open.key != key) continue;
    if ((access & GENERIC_READ) && !(open.share & FILE_SHARE_READ)) return true;
    if ((access & GENERIC_WRITE) && !(open.share & FILE_SHARE_WRITE)) return true;
    if ((open.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
    if ((open.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  }
  return false;
}

Node& MakeDirs(const Path& path) {
  if (!path.IsRoot()) MakeDirs(path.Parent());
  Node& node = State().nodes[path.Key()];
  if (node.path.empty()) {
    node.path = path.Text();
    node.dir = true;
    node.attributes = FILE_ATTRIBUTE_DIRECTORY;
  }
  return node;
}

Path MustResolve(const std::string& text) {
  Path path;
  if (!ResolvePath(text.c_str(), &path)) Fatal("bad simulated path: \"" + text + "\"");
  return path;
}

UINT CopyOut(const std::string& text, LPSTR buffer, UINT size) {
  if (size <= text.size()) return static_cast<UINT>(text.size() + 1);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<UINT>(text.size());
}

}  // namespace

std::string Path::Text() const {
  std::string text = root + "\\";
  for (size_t i = 0; i < names.size(); i++) text += (i ? "\\" : "") + names[i];
  return text;
}

Path Path::Parent() const {
  Path parent = *this;
  if (!parent.names.empty()) parent.names.pop_back();
  return parent;
}

bool ResolvePath(const char* text, Path* out) {
  if (!text || !*text) return false;
  std::string p(text);
  std::replace(p.begin(), p.end(), '/', '\\');
  const Path& current = State().current;
  Path path;
  std::string rest;
  if (p.size() >= 2 && IsDriveLetter(p[0]) && p[1] == ':') {
    path.root = Upper(p.substr(0, 2));
    if (p.size() >= 3 && p[2] == '\\') {
      rest = p.substr(3);
    } else {
      if (path.root == current.root) path.names = current.names;  // "C:name": relative on that drive
      rest = p.substr(2);
    }
  } else if (p.compare(0, 2, "\\\\") == 0) {
    size_t server = p.find('\\', 2);
    if (server == std::string::npos || server == 2) return false;
    size_t share = p.find('\\', server + 1);
    path.root = p.substr(0, share);
    if (share == server + 1 || path.root.size() == server + 1) return false;
    rest = share == std::string::npos ? "" : p.substr(share + 1);
  } else if (p[0] == '\\') {
    path.root = current.root;
    rest = p.substr(1);
  } else {
    path = current;
    rest = p;
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && rest[end] != '\\')
      end += IsAnsiLeadByte(static_cast<unsigned char>(rest[end])) && end + 1 < rest.size() ? 2 : 1;
    std::string name = rest.substr(start, end - start);
    if (name == "..") {
      if (!path.names.empty()) path.names.pop_back();
    } else if (!name.empty() && name != ".") {
      path.names.push_back(name);
    }
    start = end + 1;
  }
  *out = path;
  return true;
}

bool FileExists(const std::string& text) {
  Path path;
  if (!ResolvePath(text.c_str(), &path)) return false;
  Node* node = Find(path);
  return node && !node->dir;
}

void ResetFiles() {
  FileState& s = State();
  s = FileState();
  Path root;
  ResolvePath("C:\\", &root);
  s.current = root;
  MakeDirs(root);
  SimAddDir(s.windowsDir);
  SimAddDir(s.systemDir);
  SimAddFile(s.systemDir + "\\CMD.EXE", "MZ");
  SimAddDir(s.tempPath);
}

int FileHandleCount() { return static_cast<int>(State().handles.size()); }

void SnapshotFiles(std::map<std::string, std::string>* out) {
  for (const auto& entry : State().nodes) {
    const Node& node = entry.second;
    (*out)[(node.dir ? "D:" : "F:") + entry.first] =
        Hex(node.attributes) + (node.dir ? "" : " " + node.bytes);
  }
}

}  // namespace sim

using namespace sim;

// ---- Test control ----

void SimAddFile(const std::string& text, const std::string& bytes, DWORD attributes) {
  Path path = MustResolve(text);
  if (path.IsRoot()) Fatal("SimAddFile on a drive root");
  MakeDirs(path.Parent());
  Node& node = State().nodes[path.Key()];
  if (node.dir) Fatal("SimAddFile over a directory: " + text);
  node.path = path.Text();
  node.bytes = bytes;
  node.attributes = attributes & ~FILE_ATTRIBUTE_DIRECTORY;
  if (node.attributes == 0) node.attributes = FILE_ATTRIBUTE_NORMAL;
}

void SimAddDir(const std::string& text) {
  Path path = MustResolve(text);
  if (Node* node = Find(path)) {
    if (!node->dir) Fatal("SimAddDir over a file: " + text);
    return;
  }
  MakeDirs(path);
}

bool SimExists(const std::string& text) { return Find(MustResolve(text)) != nullptr; }

bool SimIsDir(const std::string& text) {
  Node* node = Find(MustResolve(text));
  return node && node->dir;
}

std::string SimFileBytes(const std::string& text) {
  Node* node = Find(MustResolve(text));
  return node ? node->bytes : std::string();
}

DWORD SimAttributes(const std::string& text) {
  Node* node = Find(MustResolve(text));
  return node ? node->attributes : INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> SimListDir(const std::string& text) {
  Path dir = MustResolve(text);
  std::vector<std::string> names;
  for (const auto& entry : State().nodes) {
    Path path = MustResolve(entry.second.path);
    if (!path.IsRoot() && path.Parent().Key() == dir.Key()) names.push_back(path.names.back());
  }
  return names;
}

void SimHoldOpen(const std::string& text, bool held) {
  Node* node = Find(MustResolve(text));
  if (!node) Fatal("SimHoldOpen on a missing path: " + text);
  node->heldOpen = held;
}

void SimSetShortName(const std::string& longPath, const std::string& shortPath) {
  State().shortNames[MustResolve(longPath).Key()] = shortPath;
}

std::string SimCurrentDirectory() { return State().current.Text(); }

void SimSetCurrentDirectory(const std::string& text) {
  Path path = MustResolve(text);
  SimAddDir(path.Text());
  State().current = path;
}

int SimOpenHandleCount() { return FileHandleCount() + ProcessObjectCount(); }

void SimSetModulePath(const std::string& path) { State().modulePath = path; }

void SimSetWindowsDirectory(const std::string& path) {
  State().windowsDir = path;
  SimAddDir(path);
}

void SimSetSystemDirectory(const std::string& path) {
  State().systemDir = path;
  SimAddDir(path);
}

// ---- Kernel: files ----

DWORD GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
  if (Enter("GetModuleFileNameA", Join(Handle(module), Dec(size)))) return 0;
  const std::string& path = State().modulePath;
  if (path.empty()) {
    SetError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (size == 0) return 0;
  if (size <= path.size()) {
    // Windows XP: the first `size` bytes, no terminator, result `size`.
    std::memcpy(buffer, path.data(), size);
    return size;
  }
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}

HANDLE CreateFileA(LPCSTR text, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD attributes, HANDLE) {
  if (Enter("CreateFileA", Join(Str(text), Hex(access), Hex(share), Dec(disposition), Hex(attributes))))
    return INVALID_HANDLE_VALUE;
  Path path;
  if (!ResolvePath(text, &path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Node* node = Find(path);
  if (node && node->dir) {
    SetError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (!node && !FindParentDir(path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (node && (node->heldOpen || SharingConflict(path.Key(), access, share))) {
    SetError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  bool truncate = false;
  switch (disposition) {
    case CREATE_NEW:
      if (node) {
        SetError(ERROR_ALREADY_EXISTS);
        return INVALID_HANDLE_VALUE;
      }
      break;
    case CREATE_ALWAYS:
    case TRUNCATE_EXISTING:
      truncate = node != nullptr;
      if (!node && disposition == TRUNCATE_EXISTING) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      break;
    case OPEN_EXISTING:
      if (!node) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
      }
      break;
    case OPEN_ALWAYS:
      break;
    default:
      SetError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (node) {
    bool readOnly = node->attributes & FILE_ATTRIBUTE_READONLY;
    // Replacing a hidden or system file needs the same attributes requested.
    DWORD kept = node->attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if ((readOnly && ((access & GENERIC_WRITE) || truncate)) ||
        (disposition == CREATE_ALWAYS && (attributes & kept) != kept)) {
      SetError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
  }
  bool existed = node != nullptr;
  if (!node) {
    node = &State().nodes[path.Key()];
    node->path = path.Text();
  }
  if (!existed || disposition == CREATE_ALWAYS) {
    DWORD kept = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
    node->attributes = kept | FILE_ATTRIBUTE_ARCHIVE;
  }
  if (truncate) node->bytes.clear();
  HANDLE handle = reinterpret_cast<HANDLE>(NewHandle());
  State().handles[handle] = OpenFile{path.Key(), access, share, 0};
  // Windows reports a replaced or reopened file through the last error.
  SetError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS : 0);
  return handle;
}

static OpenFile* FindOpenFile(HANDLE handle) {
  auto it = State().handles.find(handle);
  return it == State().handles.end() ? nullptr : &it->second;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  if (read) *read = 0;
  if (Enter("ReadFile", Join(Handle(handle), Dec(toRead)))) return FALSE;
  OpenFile* file = FindOpenFile(handle);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->access & GENERIC_READ)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const std::string& bytes = State().nodes[file->key].bytes;
  uint64_t available = file->position < bytes.size() ? bytes.size() - file->position : 0;
  DWORD count = static_cast<DWORD>(std::min<uint64_t>(toRead, available));
  if (count) std::memcpy(buffer, bytes.data() + file->position, count);
  file->position += count;
  if (read) *read = count;
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  if (written) *written = 0;
  if (Enter("WriteFile", Join(Handle(handle), Dec(toWrite)))) return FALSE;
  if (WriteConsole(handle, buffer, toWrite)) {
    if (written) *written = toWrite;
    return TRUE;
  }
  OpenFile* file = FindOpenFile(handle);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!(file->access & GENERIC_WRITE)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::string& bytes = State().nodes[file->key].bytes;
  if (bytes.size() < file->position + toWrite) bytes.resize(file->position + toWrite, '\0');
  if (toWrite) bytes.replace(file->position, toWrite, static_cast<const char*>(buffer), toWrite);
  file->position += toWrite;
  if (written) *written = toWrite;
  return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, PLONG distanceHigh, DWORD method) {
  if (Enter("SetFilePointer", Join(Handle(handle), Dec(distance), Dec(method)))) return INVALID_SET_FILE_POINTER;
  OpenFile* file = FindOpenFile(handle);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t move = distanceHigh ? (static_cast<int64_t>(*distanceHigh) << 32) | static_cast<uint32_t>(distance)
                              : static_cast<int64_t>(distance);
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = static_cast<int64_t>(file->position);
  } else if (method == FILE_END) {
    base = static_cast<int64_t>(State().nodes[file->key].bytes.size());
  } else if (method != FILE_BEGIN) {
    SetError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target = base + move;
  if (target < 0) {
    SetError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  file->position = static_cast<uint64_t>(target);
  if (distanceHigh) *distanceHigh = static_cast<LONG>(target >> 32);
  SetError(0);
  return static_cast<DWORD>(target);
}

BOOL CloseHandle(HANDLE handle) {
  if (Enter("CloseHandle", Handle(handle))) return FALSE;
  if (State().handles.erase(handle)) return TRUE;
  if (CloseProcessObject(handle)) return TRUE;
  // The pseudo handles of the current process and thread close harmlessly.
  intptr_t value = reinterpret_cast<intptr_t>(handle);
  if (value == -1 || value == -2) return TRUE;
  SetError(ERROR_INVALID_HANDLE);
  return FALSE;
}

BOOL DeleteFileA(LPCSTR text) {
  if (Enter("DeleteFileA", Str(text))) return FALSE;
  Path path;
  Node* node = FindExisting(text, &path);
  if (!node) return FALSE;
  // Directories and read-only files are refused; a loaded DLL is mapped.
  if (node->dir || (node->attributes & FILE_ATTRIBUTE_READONLY) || ModuleFileLoaded(path.Key())) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (node->heldOpen || HasOpenHandles(path.Key())) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  State().nodes.erase(path.Key());
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR text) {
  if (Enter("GetFileAttributesA", Str(text))) return INVALID_FILE_ATTRIBUTES;
  Path path;
  Node* node = FindExisting(text, &path);
  if (!node) return INVALID_FILE_ATTRIBUTES;
  return node->attributes;
}

BOOL SetFileAttributesA(LPCSTR text, DWORD attributes) {
  if (Enter("SetFileAttributesA", Join(Str(text), Hex(attributes)))) return FALSE;
  Path path;
  Node* node = FindExisting(text, &path);
  if (!node) return FALSE;
  DWORD kept = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
  if (node->dir) {
    node->attributes = kept | FILE_ATTRIBUTE_DIRECTORY;
  } else {
    node->attributes = kept ? kept : FILE_ATTRIBUTE_NORMAL;
  }
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR text) {
  if (Enter("RemoveDirectoryA", Str(text))) return FALSE;
  Path path;
  Node* node = FindExisting(text, &path);
  if (!node) return FALSE;
  if (!node->dir) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  if (path.IsRoot() || (node->attributes & FILE_ATTRIBUTE_READONLY)) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (HasChildren(path)) {
    SetError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  if (path.Key() == State().current.Key() || node->heldOpen) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  State().nodes.erase(path.Key());
  return TRUE;
}

BOOL SetCurrentDirectoryA(LPCSTR text) {
  if (Enter("SetCurrentDirectoryA", Str(text))) return FALSE;
  Path path;
  Node* node = FindExisting(text, &path);
  if (!node) return FALSE;
  if (!node->dir) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  State().current = path;
  return TRUE;
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
  if (Enter("GetShortPathNameA", Join(Str(longPath), Dec(size)))) return 0;
  Path path;
  if (!ResolvePath(longPath, &path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return 0;
  }
  if (!Find(path)) {
    SetError(MissingError(path));
    return 0;
  }
  // The longest ancestor (or the path itself) with a short form replaces that
  // part; without any, the path comes back as it was given.
  std::string result = longPath;
  Path prefix = path;
  while (true) {
    auto it = State().shortNames.find(prefix.Key());
    if (it != State().shortNames.end()) {
      result = it->second;
      for (size_t i = prefix.names.size(); i < path.names.size(); i++) {
        if (result.empty() || result.back() != '\\') result += '\\';
        result += path.names[i];
      }
      size_t given = std::strlen(longPath);
      if (given && longPath[given - 1] == '\\' && (result.empty() || result.back() != '\\')) result += '\\';
      break;
    }
    if (prefix.IsRoot()) break;
    prefix = prefix.Parent();
  }
  if (size <= result.size()) return static_cast<DWORD>(result.size() + 1);
  std::memmove(shortPath, result.c_str(), result.size() + 1);
  return static_cast<DWORD>(result.size());
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  if (Enter("GetWindowsDirectoryA", Dec(size))) return 0;
  return CopyOut(State().windowsDir, buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (Enter("GetSystemDirectoryA", Dec(size))) return 0;
  return CopyOut(State().systemDir, buffer, size);
}

DWORD GetFileSize(HANDLE handle, LPDWORD high) {
  if (Enter("GetFileSize", Handle(handle))) return INVALID_FILE_SIZE;
  OpenFile* file = FindOpenFile(handle);
  if (!file) {
    SetError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = State().nodes[file->key].bytes.size();
  if (high) *high = static_cast<DWORD>(size >> 32);
  SetError(0);
  return static_cast<DWORD>(size);
}

DWORD GetFullPathNameA(LPCSTR text, DWORD size, LPSTR buffer, LPSTR* filePart) {
  if (Enter("GetFullPathNameA", Join(Str(text), Dec(size)))) return 0;
  Path path;
  if (!ResolvePath(text, &path)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string full = path.Text();
  size_t given = std::strlen(text);
  // A trailing backslash stays: the result then names a directory.
  if (!path.IsRoot() && given && (text[given - 1] == '\\' || text[given - 1] == '/')) full += '\\';
  if (size <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  if (filePart) {
    char* last = std::strrchr(buffer, '\\');
    *filePart = last && last[1] ? last + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

UINT GetTempFileNameA(LPCSTR dir, LPCSTR prefix, UINT unique, LPSTR buffer) {
  if (Enter("GetTempFileNameA", Join(Str(dir), Str(prefix), Dec(unique)))) return 0;
  Path folder;
  Node* node = FindExisting(dir, &folder);
  if (!node) return 0;
  if (!node->dir) {
    SetError(ERROR_DIRECTORY);
    return 0;
  }
  if (unique) Fatal("GetTempFileNameA with a fixed number is not simulated");
  std::string stem = std::string(prefix ? prefix : "").substr(0, 3);
  for (;;) {
    unsigned number = State().nextTempNumber++ & 0xFFFF;
    if (!number) continue;
    char name[16];
    std::snprintf(name, sizeof name, "%X.TMP", number);
    std::string full = folder.Text();
    if (full.back() != '\\') full += '\\';
    full += stem + name;
    if (full.size() >= MAX_PATH) {
      SetError(ERROR_BUFFER_OVERFLOW);
      return 0;
    }
    if (Find(MustResolve(full))) continue;
    SimAddFile(full);
    std::memcpy(buffer, full.c_str(), full.size() + 1);
    return number;
  }
}

// Renames a file, or replaces the target when asked to.
static BOOL MoveFileCommon(LPCSTR existing, LPCSTR target, bool replace) {
  Path from, to;
  Node* source = FindExisting(existing, &from);
  if (!source) return FALSE;
  if (!ResolvePath(target, &to) || !FindParentDir(to)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (source->dir) {
    SetError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (source->heldOpen || HasOpenHandles(from.Key())) {
    SetError(ERROR_SHARING_VIOLATION);
    return FALSE;
  }
  if (from.Key() == to.Key()) return TRUE;
  if (Node* existingTarget = Find(to)) {
    if (!replace) {
      SetError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (existingTarget->dir || (existingTarget->attributes & FILE_ATTRIBUTE_READONLY) ||
        ModuleFileLoaded(to.Key())) {
      SetError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (existingTarget->heldOpen || HasOpenHandles(to.Key())) {
      SetError(ERROR_SHARING_VIOLATION);
      return FALSE;
    }
  }
  Node moved = *source;
  moved.path = to.Text();
  State().nodes.erase(from.Key());
  State().nodes[to.Key()] = moved;
  State().moves++;
  return TRUE;
}

BOOL MoveFileA(LPCSTR existing, LPCSTR target) {
  if (Enter("MoveFileA", Join(Str(existing), Str(target)))) return FALSE;
  return MoveFileCommon(existing, target, false);
}

namespace sim {
BOOL SimMoveFileEx(LPCSTR existing, LPCSTR target, DWORD flags) {
  if (Enter("MoveFileExA", Join(Str(existing), Str(target), Hex(flags)))) return FALSE;
  return MoveFileCommon(existing, target, (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}
}  // namespace sim

int SimMoveCount() { return State().moves; }

void SimMakeLink(const std::string& text) {
  Node* node = Find(MustResolve(text));
  if (!node) Fatal("SimMakeLink on a missing path: " + text);
  node->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
}

std::string SimDirectoryDescriptor(const std::string& text) {
  Node* node = Find(MustResolve(text));
  return node ? node->descriptor : std::string();
}

void SimSetTempPath(const std::string& path) { State().tempPath = path; }

// The bytes of a self-relative descriptor up to the end of its DACL (the
// only part a program of ours sets).
static std::string DescriptorBytes(const void* descriptor) {
  const unsigned char* p = static_cast<const unsigned char*>(descriptor);
  if (p[0] != 1 || !(p[3] & 0x80)) Fatal("CreateDirectoryA: not a self-relative descriptor");
  uint32_t dacl = p[16] | p[17] << 8 | p[18] << 16 | static_cast<uint32_t>(p[19]) << 24;
  if (!dacl) return std::string(reinterpret_cast<const char*>(p), 20);
  uint32_t aclSize = p[dacl + 2] | p[dacl + 3] << 8;
  return std::string(reinterpret_cast<const char*>(p), dacl + aclSize);
}

BOOL CreateDirectoryA(LPCSTR text, LPSECURITY_ATTRIBUTES sa) {
  if (Enter("CreateDirectoryA", Join(Str(text), sa ? "descriptor" : "null"))) return FALSE;
  Path path;
  if (!ResolvePath(text, &path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (Find(path)) {
    SetError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (path.IsRoot() || !FindParentDir(path)) {
    SetError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  Node& node = MakeDirs(path);
  if (sa && sa->lpSecurityDescriptor) node.descriptor = DescriptorBytes(sa->lpSecurityDescriptor);
  return TRUE;
}

DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  if (Enter("GetTempPathA", Dec(size))) return 0;
  const std::string& path = State().tempPath;
  if (path.size() >= size) return static_cast<DWORD>(path.size() + 1);
  std::memcpy(buffer, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}
