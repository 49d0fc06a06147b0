// The host program on Windows: wide-character file calls for UTF-8 paths.
#include "cli/host_io.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdio>

namespace sweepkit {

namespace {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &w[0], n);
  return w;
}

// UTF-16 to UTF-8; a lone surrogate makes U+FFFD, which the tree step refuses
// as a name Windows cannot hold in a code page anyway.
std::string Utf8(const wchar_t* w, int length) {
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w, length, nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, length, &s[0], n, nullptr, nullptr);
  return s;
}

// The reasons a user meets most in the words the Linux build uses, so that
// both print the same; the system's own words for the rest.
std::string Reason(DWORD error) {
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "No such file or directory";
  if (error == ERROR_ACCESS_DENIED) return "Permission denied";
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string s = n ? Utf8(text, int(n)) : "error " + std::to_string(error);
  if (text) LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.'))
    s.pop_back();
  return s;
}

bool WriteAll(HANDLE h, const void* bytes, size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : DWORD(size), done = 0;
    if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) return false;
    p += done;
    size -= done;
  }
  return true;
}

HANDLE OpenForIdentity(const std::string& path) {
  return CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION* info) {
  HANDLE h = OpenForIdentity(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i], int(wcslen(wide[i]))));
  LocalFree(wide);
  return args;
}

void PrepareStdio() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

Bytes ReadFileBytes(const std::string& path, const char* what) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    throw PackError(std::string("cannot read ") + what + " " + path + ": " + Reason(GetLastError()));
  Bytes data;
  char buffer[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
      DWORD err = GetLastError();
      CloseHandle(h);
      throw PackError(std::string("cannot read ") + what + " " + path + ": " + Reason(err));
    }
    if (n == 0) break;
    data.insert(data.end(), buffer, buffer + n);
  }
  CloseHandle(h);
  return data;
}

void WriteFileAtomically(const std::string& path, const Bytes& data) {
  std::wstring target = Wide(path);
  std::wstring tmp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (unsigned i = 0; i < 100 && h == INVALID_HANDLE_VALUE; ++i) {
    tmp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(i);
    h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE)
    throw PackError("cannot create a file beside " + path + ": " + Reason(GetLastError()));
  bool ok = WriteAll(h, data.data(), data.size()) && FlushFileBuffers(h);
  DWORD err = GetLastError();
  if (!CloseHandle(h) && ok) {
    ok = false;
    err = GetLastError();
  }
  if (ok && !MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    err = GetLastError();
  }
  if (!ok) {
    DeleteFileW(tmp.c_str());
    throw PackError("cannot write " + path + ": " + Reason(err));
  }
}

void AppendToFile(const std::string& path, const std::string& text) {
  HANDLE h = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  bool ok = h != INVALID_HANDLE_VALUE && WriteAll(h, text.data(), text.size());
  DWORD err = GetLastError();
  if (h != INVALID_HANDLE_VALUE && !CloseHandle(h) && ok) {
    ok = false;
    err = GetLastError();
  }
  if (!ok) throw PackError("cannot write " + path + ": " + Reason(err));
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION ia, ib;
  return Identity(a, &ia) && Identity(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
         ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error) {
  entries->clear();
  std::wstring base = Wide(path);
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  WIN32_FIND_DATAW found;
  HANDLE h = FindFirstFileW((base + L"*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return true;  // an empty drive root
    *error = Reason(err);
    return false;
  }
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry::Kind kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FolderEntry::Folder
                                                                                 : FolderEntry::File;
    // a link or junction: what it leads to, if anything
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      DWORD attributes = GetFileAttributesW((base + name).c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES)
        kind = FolderEntry::Missing;
      else
        kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FolderEntry::Folder : FolderEntry::File;
      if (kind != FolderEntry::Missing) {
        HANDLE target = OpenForIdentity(Utf8(base.c_str(), int(base.size())) + Utf8(name.c_str(), int(name.size())));
        if (target == INVALID_HANDLE_VALUE)
          kind = FolderEntry::Missing;
        else
          CloseHandle(target);
      }
    }
    entries->push_back({Utf8(name.c_str(), int(name.size())), kind});
  } while (FindNextFileW(h, &found));
  DWORD err = GetLastError();
  FindClose(h);
  if (err != ERROR_NO_MORE_FILES) {
    *error = Reason(err);
    return false;
  }
  return true;
}

std::string FolderIdentity(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!Identity(path, &info)) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) + ":" +
         std::to_string(info.nFileIndexLow);
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// Image name and parent of a process; false when it is not running.
bool ProcessInfo(DWORD pid, std::wstring* name, DWORD* parent) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != pid) continue;
    *name = entry.szExeFile;
    *parent = entry.th32ParentProcessID;
    found = true;
  }
  CloseHandle(snapshot);
  for (wchar_t& c : *name) c = wchar_t(towlower(c));
  return found;
}

}  // namespace

void DeleteWhenBuildEnds(const std::string& path, unsigned long watchPid) {
  if (watchPid) {  // the watcher
    HANDLE build = OpenProcess(SYNCHRONIZE, FALSE, DWORD(watchPid));
    if (!build) return;
    std::wstring target = Wide(path);
    while (WaitForSingleObject(build, 100) == WAIT_TIMEOUT)
      if (GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES) {
        CloseHandle(build);
        return;
      }
    CloseHandle(build);
    DeleteFileW(target.c_str());
    return;
  }
  // !system runs cmd.exe, which runs this program
  std::wstring name;
  DWORD build = 0, parent = GetCurrentProcessId();
  do {
    build = parent;
    if (!ProcessInfo(build, &name, &parent)) return;
  } while (build == GetCurrentProcessId() || name == L"cmd.exe");
  if (name != L"makensis.exe") return;
  wchar_t self[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return;
  std::wstring line = L"\"" + std::wstring(self) + L"\" nsis-watch --records \"" + Wide(path) +
                      L"\" --pid " + std::to_wstring(build);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB, nullptr,
                      nullptr, &si, &pi) &&
      !CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, flags, nullptr, nullptr, &si, &pi))
    return;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

char NativeSeparator() { return '\\'; }

}  // namespace sweepkit
