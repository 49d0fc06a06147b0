// Allocation and the byte-string helpers every module shares.
#include "uninstall_info/uninstall_info.h"

int AllocZeroed(u32 size, void** block) {
  void* p = RtCalloc(size);
  if (!p) {
    // One compaction and one more try; the heap may hold free pages it can
    // hand back before the request is refused for good.
    RtHeapMin();
    p = RtCalloc(size);
  }
  *block = p;
  return p != 0;
}

void FreeAndClear(void** block) {
  if (*block) {
    RtFree(*block);
    *block = 0;
  }
}

u32 StrLen(const char* s) {
  u32 n = 0;
  while (s[n]) n++;
  return n;
}

void StrCopy(char* destination, const char* source) {
  while ((*destination++ = *source++) != 0) {
  }
}

void MemCopy(void* destination, const void* source, u32 size) {
  u8* d = (u8*)destination;
  const u8* s = (const u8*)source;
  while (size--) *d++ = *s++;
}

void MemZero(void* destination, u32 size) {
  u8* d = (u8*)destination;
  while (size--) *d++ = 0;
}
