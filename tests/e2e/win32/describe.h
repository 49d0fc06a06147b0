/* One-line description of a top-level window and its controls, shared by the
   driver (seen from outside the process) and the probe hook (run inside it). */
#ifndef SWEEPKIT_E2E_DESCRIBE_H
#define SWEEPKIT_E2E_DESCRIBE_H
#include <windows.h>

#define DESCRIBE_MAX 16384

/* Appends printable ASCII to out: quotes, backslashes, control and high bytes
   are escaped (\n, \r, \t, \\, \", \xNN). */
void DescAppendEscaped(char *out, size_t cap, const char *text);
void DescAppend(char *out, size_t cap, const char *fmt, ...);

/* inside != 0: the caller runs in the window's own process, so dialog units,
   fonts and the message box icon can be read as well. */
void DescribeWindow(HWND hwnd, int inside, char *out, size_t cap);

#endif
