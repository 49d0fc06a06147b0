// The shortcut list: each shortcut, then its folder once it is empty.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"

void RemoveShortcuts(void) {
  char checked[PATH_BUFFER_SIZE];
  checked[0] = 0;
  for (u32 i = 0; i < UninstallInfo.shortcutCount; i++) {
    const ShortcutRecord* record = UninstallInfo.shortcutList[i];
    if (record->name[0]) {
      // too long for a path, or in a folder that is a link: left alone
      if (!ComposeShortcutPath(record) || !EntryFolderFreeOfLinks(checked)) continue;
      DeleteFileA(WorkPath);
    }
    // Fails while the folder still holds anything, so the attempt after the
    // folder's last shortcut is the one that removes it.
    if (record->dir[0]) RemoveDirectoryA(record->dir);
  }
}
