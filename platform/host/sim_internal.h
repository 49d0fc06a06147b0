// Shared plumbing of the simulated Windows: the call log, failure rules,
// handle numbers, path resolution and the hooks between the areas.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/host/sim.h"

namespace sim {

// Appends "name(args)" to the call log. Returns true when a failure rule hits
// this call; the last error is then already set to the rule's error.
bool Enter(const char* name, const std::string& args);
// The error of the rule that hit the latest Enter (for Reg* return values).
DWORD InjectedError();
void SetError(DWORD error);

// Distinct non-null handle values, never equal to HWND_BROADCAST.
uintptr_t NewHandle();

[[noreturn]] void Fatal(const std::string& message);

// Argument rendering for the log.
std::string Str(const char* text);
std::string Hex(uint64_t value);
std::string Dec(int64_t value);
std::string Handle(const void* handle);
template <typename... T>
std::string Join(const T&... parts) {
  std::string out;
  bool first = true;
  ((out += (first ? "" : ","), out += parts, first = false), ...);
  return out;
}

std::string Upper(const std::string& text);  // A-Z only
bool SameText(const std::string& a, const std::string& b);

// A resolved file-system path: a root ("C:" or "\\server\share") and names.
struct Path {
  std::string root;
  std::vector<std::string> names;
  std::string Text() const;  // "C:\a\b", the root alone as "C:\"
  std::string Key() const { return Upper(Text()); }
  bool IsRoot() const { return names.empty(); }
  Path Parent() const;
};
bool ResolvePath(const char* path, Path* out);
bool FileExists(const std::string& path);  // a file, not a directory

// Cross-area hooks.
BOOL SimMoveFileEx(LPCSTR existing, LPCSTR target, DWORD flags);  // files area
bool WriteConsole(HANDLE handle, const void* bytes, DWORD size);   // text area: false if not a console
void ResetText();
// Whether c starts a two-byte character in the ANSI code page (932, 936,
// 949, 950, 1361 have them): path names then split only at a 0x5C that is
// no such character's second byte, as Windows reads them.
bool IsAnsiLeadByte(unsigned char c);      // text area
DWORD PlatformId();                             // runtime area
bool ModuleFileLoaded(const std::string& key);  // process area
bool CloseProcessObject(void* handle);          // process area
int ProcessObjectCount();                       // process area
HFONT CreateSystemFont(const LOGFONTA& font);   // gdi area: not counted as live
void DeleteSystemFont(HFONT font);
struct BkColorCall {
  HDC dc;
  COLORREF color;
};
const std::vector<BkColorCall>& BkColorCalls();

// SimSnapshot's parts.
void SnapshotFiles(std::map<std::string, std::string>* out);
void SnapshotRegistry(std::map<std::string, std::string>* out);

void ResetRuntime();
void ResetFiles();
void ResetRegistry();
void ResetWindows();
void ResetGdi();
void ResetProcess();

// In sweepkit.exe, the conversion behind the simulated MultiByteToWideChar
// and WideCharToMultiByte: the real system's, between code pages named as
// iconv names them ("CP1252", "UTF-8", "UTF-16LE"). Same contract as the
// iconv version in sim_text.cpp.
bool HostConvert(const char* to, const char* from, const std::string& in, size_t unit,
                 const std::string& replacement, bool strict, std::string* out, bool* replaced);

}  // namespace sim
