// The DataLocator of a stub image, found through the section table. Only the
// file-backed part of the sections is searched (whichever section the linker
// put the locator in): a text in the appended data that happens to hold the
// signature is never taken for it.
#include "finisher/finish.h"

enum {
  SECTION_HEADER_SIZE = 40,
  LOCATOR_SIZE = DATA_LOCATOR_SIGNATURE_SIZE + 4
};

static u32 U16At(const u8* p) { return (u32)p[0] | ((u32)p[1] << 8); }
static u32 U32At(const u8* p) { return U16At(p) | (U16At(p + 2) << 16); }

const char* ImageReason(int status) {
  return PackedText(
      "not a 32-bit Windows program\0"  // IMAGE_NOT_PE
      "no data locator\0"               // IMAGE_NO_LOCATOR
      "two data locators\0",            // IMAGE_TWO_LOCATORS
      (u32)status - IMAGE_NOT_PE);
}

static int MatchesSignature(const u8* p) {
  for (u32 i = 0; i < DATA_LOCATOR_SIGNATURE_SIZE; i++)
    if (p[i] != (u8)DATA_LOCATOR_SIGNATURE[i]) return 0;
  return 1;
}

int FindImageLocator(const u8* file, u32 size, ImageLayout* layout) {
  MemZero(layout, sizeof *layout);
  if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') return IMAGE_NOT_PE;
  u32 pe = U32At(file + 0x3C);
  if (pe > size || size - pe < 24 || U32At(file + pe) != 0x00004550) return IMAGE_NOT_PE;
  if (U16At(file + pe + 4) != 0x14C) return IMAGE_NOT_PE;  // i386
  u32 sectionCount = U16At(file + pe + 6);
  u32 table = pe + 24 + U16At(file + pe + 20);
  if (table > size || (size - table) / SECTION_HEADER_SIZE < sectionCount) return IMAGE_NOT_PE;

  u32 found = 0;
  for (u32 s = 0; s < sectionCount; s++) {
    const u8* header = file + table + s * SECTION_HEADER_SIZE;
    u32 virtualSize = U32At(header + 8);
    u32 rawSize = U32At(header + 16);
    u32 rawOffset = U32At(header + 20);
    if (rawSize == 0) continue;
    if (rawOffset > size || rawSize > size - rawOffset) return IMAGE_NOT_PE;
    if (rawOffset + rawSize > layout->imageEnd) layout->imageEnd = rawOffset + rawSize;
    // Bytes past the virtual size are file padding, not loaded as data.
    u32 backed = virtualSize && virtualSize < rawSize ? virtualSize : rawSize;
    for (u32 at = 0; at + LOCATOR_SIZE <= backed; at++) {
      const u8* p = file + rawOffset + at;
      if (!MatchesSignature(p)) continue;
      if (found++) return IMAGE_TWO_LOCATORS;
      layout->locatorOffset = rawOffset + at;
      layout->dataOffset = U32At(p + DATA_LOCATOR_SIGNATURE_SIZE);
    }
  }
  return found ? IMAGE_OK : IMAGE_NO_LOCATOR;
}
