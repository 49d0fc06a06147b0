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
  LONG result = RegOpenKeyExA(parent, subKey, 0, DELETE | KEY_ENUMERATE_SUB_KEYS, &key);
  if (result != ERROR_SUCCESS) return result;
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
