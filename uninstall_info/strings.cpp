// The string table's texts and the message boxes that show them.
#include "uninstall_info/process_state.h"
#include "uninstall_info/uninstall_info.h"

// Returned wherever a lookup finds nothing; never written.
static const char EmptyText[1] = {0};

const char* LookupString(int group, int index) {
  char** table = UninstallInfo.StringTable;
  if (group != 0 || !table || index < 0) return EmptyText;
  for (int i = 0; table[i]; i++) {
    if (i == index) return table[i];
  }
  return EmptyText;
}

static int HoldsPathConversion(const char* text) {
  for (; *text; text++) {
    if (text[0] == '%' && text[1] == 's') return 1;
  }
  return 0;
}

// A text that holds "%s" gets the path in place of its first "%s" and a
// single percent sign for each "%%", as a one-argument format would. Any
// other conversion is copied as it stands instead of reading arguments that
// were never passed. A text without "%s" is copied verbatim. Both are cut
// to fit the 1024-byte destination with its terminator.
void FormatMessageText(char* destination, int index, const char* argument) {
  const char* text = LookupString(0, index);
  const u32 limit = MESSAGE_BUFFER_SIZE - 1;
  u32 n = 0;
  if (!HoldsPathConversion(text)) {
    while (*text && n < limit) destination[n++] = *text++;
    destination[n] = 0;
    return;
  }
  int pathPlaced = 0;
  while (*text && n < limit) {
    if (text[0] == '%' && text[1] == '%') {
      destination[n++] = '%';
      text += 2;
    } else if (text[0] == '%' && text[1] == 's' && !pathPlaced) {
      for (const char* a = argument; *a && n < limit; a++) destination[n++] = *a;
      pathPlaced = 1;
      text += 2;
    } else {
      destination[n++] = *text++;
    }
  }
  destination[n] = 0;
}

int ShowMessage(const char* text, UINT type) {
  return MessageBoxA(OwnerWindow, text, LookupString(0, STR_CAPTION), type);
}
