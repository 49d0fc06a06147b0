// The command line, the console's standard handles and the code-page
// conversions (through the host's iconv, so every Windows code page it knows
// converts as the system would, best-fit mappings aside; in sweepkit.exe
// through the real system's, sim_convert_win32.cpp).
#ifndef _WIN32
#include <errno.h>
#include <iconv.h>
#endif

#include <cstring>
#include <map>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

const uintptr_t kStdOutput = 0x7001;
const uintptr_t kStdError = 0x7002;
const uintptr_t kStdInput = 0x7003;

struct TextState {
  std::string commandLine = "sweepkit-finish.exe";
  std::map<uintptr_t, std::string> console;
  UINT acp = 1252;
};

TextState& State() {
  static TextState state;
  return state;
}

UINT ActualCodepage(UINT codepage) { return codepage == CP_ACP ? State().acp : codepage; }

#ifdef _WIN32
bool Convert(const char* to, const char* from, const std::string& in, size_t unit,
             const std::string& replacement, bool strict, std::string* out, bool* replaced) {
  return HostConvert(to, from, in, unit, replacement, strict, out, replaced);
}
#else
// Converts between a code page and UTF-16LE. A sequence that does not convert
// becomes `replacement` (skipping `unit` input bytes) and sets *replaced; with
// strict, it stops the conversion. Returns false when iconv knows no such code
// page or a strict conversion met a bad sequence.
bool Convert(const char* to, const char* from, const std::string& in, size_t unit,
             const std::string& replacement, bool strict, std::string* out, bool* replaced) {
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) return false;
  out->clear();
  char* src = const_cast<char*>(in.data());
  size_t left = in.size();
  bool ok = true;
  while (left) {
    char buffer[256];
    char* dst = buffer;
    size_t room = sizeof buffer;
    size_t r = iconv(cd, &src, &left, &dst, &room);
    out->append(buffer, static_cast<size_t>(dst - buffer));
    if (r != (size_t)-1 || errno == E2BIG) continue;
    if (strict) {
      ok = false;
      break;
    }
    *replaced = true;
    *out += replacement;
    size_t skip = unit < left ? unit : left;
    src += skip;
    left -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  iconv_close(cd);
  return ok;
}
#endif

std::string IconvName(UINT codepage) {
  if (codepage == CP_UTF8) return "UTF-8";
  if (codepage == CP_UTF7) return "UTF-7";
  return "CP" + std::to_string(codepage);
}

}  // namespace

bool WriteConsole(HANDLE handle, const void* bytes, DWORD size) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  if (value != kStdOutput && value != kStdError) return false;
  State().console[value].append(static_cast<const char*>(bytes), size);
  return true;
}

void ResetText() { State() = TextState(); }

}  // namespace sim

using namespace sim;

void SimSetCommandLine(const std::string& line) { State().commandLine = line; }

std::string SimConsoleText(DWORD which) {
  uintptr_t handle = which == STD_ERROR_HANDLE ? kStdError : kStdOutput;
  return State().console[handle];
}

void SimSetAnsiCodePage(UINT codepage) { State().acp = codepage; }

namespace sim {

bool IsAnsiLeadByte(unsigned char c) {
  switch (State().acp) {
    case 932: return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936: case 949: case 950: return c >= 0x81 && c <= 0xFE;
    case 1361: return (c >= 0x84 && c <= 0xD3) || (c >= 0xD8 && c <= 0xDE) || (c >= 0xE0 && c <= 0xF9);
    default: return false;
  }
}

}  // namespace sim

LPSTR GetCommandLineA(void) {
  Enter("GetCommandLineA", "");
  return const_cast<LPSTR>(State().commandLine.c_str());
}

HANDLE GetStdHandle(DWORD which) {
  if (Enter("GetStdHandle", Dec(static_cast<int32_t>(which)))) return INVALID_HANDLE_VALUE;
  switch (which) {
    case STD_OUTPUT_HANDLE: return reinterpret_cast<HANDLE>(kStdOutput);
    case STD_ERROR_HANDLE: return reinterpret_cast<HANDLE>(kStdError);
    case STD_INPUT_HANDLE: return reinterpret_cast<HANDLE>(kStdInput);
    default:
      SetError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
}

UINT GetACP(void) {
  Enter("GetACP", "");
  return State().acp;
}

// Lengths of -1 include the terminator, as on Windows. A destination length
// of 0 asks for the size needed.
int MultiByteToWideChar(UINT codepage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength) {
  if (Enter("MultiByteToWideChar", Join(Dec(codepage), Hex(flags), Dec(sourceLength), Dec(destinationLength))))
    return 0;
  if (!source || destinationLength < 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string in = sourceLength < 0 ? std::string(source, std::strlen(source) + 1)
                                    : std::string(source, static_cast<size_t>(sourceLength));
  std::string wide;
  bool replaced = false;
  const std::string replacement("\xFD\xFF", 2);  // U+FFFD
  if (!Convert("UTF-16LE", IconvName(ActualCodepage(codepage)).c_str(), in, 1, replacement,
               (flags & MB_ERR_INVALID_CHARS) != 0, &wide, &replaced)) {
    SetError(flags & MB_ERR_INVALID_CHARS ? ERROR_NO_UNICODE_TRANSLATION : ERROR_INVALID_PARAMETER);
    return 0;
  }
  int units = static_cast<int>(wide.size() / 2);
  if (destinationLength == 0) return units;
  if (units > destinationLength) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(destination, wide.data(), wide.size());
  return units;
}

int WideCharToMultiByte(UINT codepage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar) {
  if (Enter("WideCharToMultiByte", Join(Dec(codepage), Hex(flags), Dec(sourceLength), Dec(destinationLength))))
    return 0;
  UINT actual = ActualCodepage(codepage);
  // UTF-7 and UTF-8 hold every character: Windows refuses a default
  // character for them, and a flag asking whether one was used.
  bool utf = actual == CP_UTF7 || actual == CP_UTF8;
  if (!source || destinationLength < 0 || (utf && (defaultChar || usedDefaultChar))) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefaultChar) *usedDefaultChar = FALSE;
  size_t units = 0;
  if (sourceLength < 0) {
    while (source[units]) units++;
    units++;
  } else {
    units = static_cast<size_t>(sourceLength);
  }
  std::string in(reinterpret_cast<const char*>(source), units * 2);
  std::string bytes;
  bool replaced = false;
  if (!Convert(IconvName(actual).c_str(), "UTF-16LE", in, 2,
               defaultChar ? std::string(defaultChar, 1) : std::string("?"), false, &bytes, &replaced)) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefaultChar) *usedDefaultChar = replaced ? TRUE : FALSE;
  int count = static_cast<int>(bytes.size());
  if (destinationLength == 0) return count;
  if (count > destinationLength) {
    SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(destination, bytes.data(), bytes.size());
  return count;
}
