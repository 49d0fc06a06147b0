// sweepkit.exe's simulated code-page conversions, done by the real system.
// A file of its own: <windows.h> and the simulated declarations cannot meet.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace sim {

namespace {

const UINT kUtf16 = 1200;

UINT CodepageOf(const char* name) {
  if (std::strcmp(name, "UTF-16LE") == 0) return kUtf16;
  if (std::strcmp(name, "UTF-8") == 0) return CP_UTF8;
  if (std::strcmp(name, "UTF-7") == 0) return CP_UTF7;
  if (std::strncmp(name, "CP", 2) == 0) return UINT(std::strtoul(name + 2, nullptr, 10));
  return 0;
}

bool Wide(UINT codepage, const std::string& bytes, std::wstring* out) {
  out->clear();
  if (bytes.empty()) return true;
  int n = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(size_t(n));
  return MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), &(*out)[0], n) == n;
}

}  // namespace

bool HostConvert(const char* to, const char* from, const std::string& in, size_t unit,
                 const std::string& replacement, bool strict, std::string* out, bool* replaced) {
  UINT source = CodepageOf(from), target = CodepageOf(to);
  out->clear();
  if (source == kUtf16) {
    if (!IsValidCodePage(target)) return false;
    std::wstring wide(in.size() / 2, L'\0');
    if (!wide.empty()) std::memcpy(&wide[0], in.data(), wide.size() * 2);
    if (wide.empty()) return true;
    bool utf = target == CP_UTF8 || target == CP_UTF7;
    BOOL used = FALSE;
    char fallback = replacement.empty() ? '?' : replacement[0];
    DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
    int n = WideCharToMultiByte(target, flags, wide.data(), int(wide.size()), nullptr, 0,
                                utf ? nullptr : &fallback, utf ? nullptr : &used);
    if (n <= 0) return false;
    out->resize(size_t(n));
    WideCharToMultiByte(target, flags, wide.data(), int(wide.size()), &(*out)[0], n, utf ? nullptr : &fallback,
                        utf ? nullptr : &used);
    if (used) {
      if (strict) return false;
      *replaced = true;
    }
    return true;
  }
  if (target != kUtf16 || !IsValidCodePage(source)) return false;
  std::wstring wide;
  if (!Wide(source, in, &wide)) {
    if (strict) return false;
    // a character at a time; one that does not convert is the replacement
    CPINFO info;
    bool dbcs = GetCPInfo(source, &info) && info.MaxCharSize > 1;
    std::wstring piece;
    wide.clear();
    std::string bytes;
    for (size_t i = 0; i < in.size();) {
      size_t length = dbcs && IsDBCSLeadByteEx(source, BYTE(in[i])) && i + 1 < in.size() ? 2 : 1;
      if (Wide(source, in.substr(i, length), &piece)) {
        bytes.append(reinterpret_cast<const char*>(piece.data()), piece.size() * 2);
        i += length;
      } else {
        bytes += replacement;
        *replaced = true;
        i += unit < in.size() - i ? unit : in.size() - i;
      }
    }
    *out = bytes;
    return true;
  }
  out->assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
  return true;
}

}  // namespace sim
