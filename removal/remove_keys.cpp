// The registry key list, each key with everything below it.
#include "removal/removal.h"

void RemoveRegistryKeys(void) {
  OSVERSIONINFOA version;
  MemZero(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  GetVersionExA(&version);
  // The NT family deletes only keys without subkeys; the 95 family deletes
  // the whole tree in one call.
  int isNt = version.dwPlatformId == VER_PLATFORM_WIN32_NT;

  for (u32 i = 0; i < UninstallInfo.keyCount; i++) {
    const KeyRecord* record = UninstallInfo.keyList[i];
    HKEY root = RootKeyFromValue(record->root);
    if (isNt) {
      DeleteKeyTree(root, record->path);
    } else if (record->path[0]) {
      // An empty path would name the root key itself.
      RegDeleteKeyA(root, record->path);
    }
  }
}

// Deletes subKey below parent, its subkeys first, depth-first. Returns the
// first failing system error code unchanged, or the result of deleting the
// key itself.
LONG DeleteKeyTree(HKEY parent, const char* subKey) {
  if (!subKey || !subKey[0]) return ERROR_BADKEY;
  HKEY key;
  // A symbolic-link key is opened as itself: followed, its target's tree
  // would be emptied. It is left in place, and so is the key that holds it,
  // since the deletion of a link would take its target.
  LONG result = RegOpenKeyExA(parent, subKey, REG_OPTION_OPEN_LINK,
                              DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &key);
  if (result != ERROR_SUCCESS) return result;
  DWORD type = 0;
  if (RegQueryValueExA(key, "SymbolicLinkValue", 0, &type, 0, 0) == ERROR_SUCCESS && type == REG_LINK) {
    RegCloseKey(key);
    return ERROR_ACCESS_DENIED;
  }
  char name[1024];
  for (;;) {
    DWORD size = sizeof(name);
    result = RegEnumKeyExA(key, 0, name, &size, 0, 0, 0, 0);
    if (result == ERROR_NO_MORE_ITEMS) {
      result = RegDeleteKeyA(parent, subKey);
      break;
    }
    if (result != ERROR_SUCCESS) break;
    // Each success removes the child; its next sibling moves to index 0.
    result = DeleteKeyTree(key, name);
    if (result != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return result;
}
