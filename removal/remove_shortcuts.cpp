// The shortcut list: each shortcut, then its folder once it is empty.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"

void RemoveShortcuts(void) {
  for (u32 i = 0; i < UninstallInfo.shortcutCount; i++) {
    const ShortcutRecord* record = UninstallInfo.shortcutList[i];
    if (record->name[0]) {
      if (!ComposeShortcutPath(record)) continue;  // too long for a path: left alone
      DeleteFileA(WorkPath);
    }
    // Fails while the folder still holds anything, so the attempt after the
    // folder's last shortcut is the one that removes it.
    if (record->dir[0]) RemoveDirectoryA(record->dir);
  }
}
