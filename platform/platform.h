// The one seam between the uninstaller's logic and the system it runs on.
//
// The logic calls Win32 operations by their own names and the few runtime
// routines through the Rt* wrappers below. In the stub (_WIN32) the names
// bind straight to the system DLLs and msvcrt.dll; on the host they bind to
// the simulated Windows in platform/host, which the tests control.
#pragma once

#include <stddef.h>
#include <stdint.h>

// sweepkit.exe (SWEEPKIT_SIMULATED) runs the logic on the simulated Windows
// too, for `plan`.
#if defined(_WIN32) && !defined(SWEEPKIT_SIMULATED)
#include <windows.h>
#include <shlobj.h>
#include <ole2.h>
#include <malloc.h>
#include <stdlib.h>
#else
#include "platform/host/win32_host.h"
#endif

// The stub's process-wide variables: placed with the initialised data, not
// in a .bss section of their own. Three sections instead of four let the
// headers fit the first 512 bytes of the file; anything large is allocated.
#if defined(_WIN32) && !defined(SWEEPKIT_SIMULATED)
#define IMAGE_DATA __attribute__((section(".data$state")))
#else
#define IMAGE_DATA
#endif

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;

// A registry root stored as a 32-bit value in the uninstall data becomes the
// key handle the registry functions take. Predefined roots are negative
// 32-bit values, so the value is sign-extended: on a 64-bit host the handle
// is then the same as the one the 32-bit stub uses.
static inline HKEY RootKeyFromValue(u32 value) {
  return (HKEY)(intptr_t)(int32_t)value;
}

#if defined(_WIN32) && !defined(SWEEPKIT_SIMULATED)
// Runtime routines of msvcrt.dll, bound directly.
static inline void* RtCalloc(u32 size) { return calloc(size, 1); }
static inline void RtFree(void* block) { free(block); }
static inline void RtHeapMin(void) { _heapmin(); }
#else
// The simulated runtime counts blocks and can fail the n-th allocation.
void* RtCalloc(u32 size);
void RtFree(void* block);
void RtHeapMin(void);
#endif
