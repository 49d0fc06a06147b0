// The command line as one string (GetCommandLineA), split into arguments the
// way programs built with the usual C runtime see them.
#include "finisher/finish.h"

static int IsSpace(char c) { return c == ' ' || c == '\t'; }

int SplitCommandLine(const char* line, char*** arguments) {
  u32 length = StrLen(line);
  u32 codepage = GetACP();
  // No argument is longer than the line; there are at most length / 2 + 1.
  char* storage = (char*)FinishAlloc(length + 1);
  char** list = (char**)FinishAlloc((length / 2 + 2) * (u32)sizeof(char*));
  if (!storage || !list) return -1;

  // The program's name: up to whitespace outside quotes, quotes dropped,
  // backslashes literal.
  const char* p = line;
  int quoted = 0;
  while (*p && (quoted || !IsSpace(*p))) {
    if (*p == '"') quoted = !quoted;
    p++;
  }

  int count = 0;
  char* out = storage;
  for (;;) {
    while (IsSpace(*p)) p++;
    if (!*p) break;
    list[count++] = out;
    quoted = 0;
    while (*p && (quoted || !IsSpace(*p))) {
      if (*p == '\\') {
        u32 slashes = 0;
        while (*p == '\\') {
          slashes++;
          p++;
        }
        if (*p == '"') {
          for (u32 i = 0; i < slashes / 2; i++) *out++ = '\\';
          if (slashes % 2) {
            *out++ = '"';
            p++;
          }
        } else {
          for (u32 i = 0; i < slashes; i++) *out++ = '\\';
        }
      } else if (*p == '"') {
        // Inside quotes, "" is a literal quote and the quotes go on.
        if (quoted && p[1] == '"') {
          *out++ = '"';
          p += 2;
        } else {
          quoted = !quoted;
          p++;
        }
      } else {
        // A two-byte character whose second byte is 0x5C (表) is no
        // backslash before a quote, as the runtime reads it too.
        if (IsLeadByte(codepage, (u8)*p) && p[1]) *out++ = *p++;
        *out++ = *p++;
      }
    }
    *out++ = 0;
  }
  list[count] = 0;
  *arguments = list;
  return count;
}
