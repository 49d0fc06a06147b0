// Code-page conversion on Windows, through the system's own tables.
#include <windows.h>

#include <cstdio>

#include "cli/codepage.h"
#include "cli/pack_error.h"

namespace sweepkit {

namespace {

bool ToWide(const std::string& bytes, UINT codepage, std::wstring* wide) {
  wide->clear();
  if (bytes.empty()) return true;
  int n = MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  wide->resize(size_t(n));
  return MultiByteToWideChar(codepage, MB_ERR_INVALID_CHARS, bytes.data(), int(bytes.size()), &(*wide)[0], n) == n;
}

std::string Utf8Of(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string s(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &s[0], n, nullptr, nullptr);
  return s;
}

std::string Hex(unsigned char c) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", c);
  return hex;
}

}  // namespace

std::string CodepageName(unsigned codepage) { return "CP" + std::to_string(codepage); }

void CheckCodepage(unsigned codepage) {
  if (!IsValidCodePage(codepage))
    throw PackError("codepage: " + std::to_string(codepage) +
                    " is not a code page this system can convert to");
}

bool FromUtf8(const std::string& utf8, unsigned codepage, std::string* out) {
  out->clear();
  if (!IsValidCodePage(codepage)) return false;
  std::wstring wide;
  if (!ToWide(utf8, CP_UTF8, &wide)) return false;
  if (wide.empty()) return true;
  if (codepage == CP_UTF8) {
    *out = utf8;
    return true;
  }
  BOOL usedDefault = FALSE;
  int n = WideCharToMultiByte(codepage, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), nullptr, 0,
                              nullptr, &usedDefault);
  if (n <= 0 || usedDefault) return false;
  out->resize(size_t(n));
  WideCharToMultiByte(codepage, WC_NO_BEST_FIT_CHARS, wide.data(), int(wide.size()), &(*out)[0], n, nullptr,
                      &usedDefault);
  // Refuse best-fit mappings: the bytes must convert back to the same text.
  std::wstring again;
  return !usedDefault && ToWide(*out, codepage, &again) && again == wide;
}

std::string ToUtf8(const std::string& bytes, unsigned codepage) {
  std::wstring wide;
  if (IsValidCodePage(codepage) && ToWide(bytes, codepage, &wide)) return Utf8Of(wide);
  std::string out;
  if (!IsValidCodePage(codepage)) {
    for (unsigned char ch : bytes) out += ch < 0x80 ? std::string(1, char(ch)) : Hex(ch);
    return out;
  }
  // a character at a time; one that does not convert is shown as \xNN
  CPINFO info;
  bool dbcs = GetCPInfo(codepage, &info) && info.MaxCharSize > 1;
  for (size_t i = 0; i < bytes.size();) {
    size_t length = dbcs && IsDBCSLeadByteEx(codepage, BYTE(bytes[i])) && i + 1 < bytes.size() ? 2 : 1;
    if (ToWide(bytes.substr(i, length), codepage, &wide)) {
      out += Utf8Of(wide);
      i += length;
    } else {
      out += Hex(BYTE(bytes[i]));
      i += 1;
    }
  }
  return out;
}

}  // namespace sweepkit
