// The file list: directories, shared system files by their reference
// counts, fonts, self-registering servers, and the write-protected prompt.
#include "uninstall_info/process_state.h"
#include "removal/removal.h"
#include "ui/ui.h"

int AnswerMode = AnswerAsk;

// How long one window may take over the font change before the broadcast
// moves on (milliseconds).
enum { FONT_BROADCAST_TIMEOUT = 1000 };

static const char SharedDllsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

// Failures that mean "not allowed now" rather than "not there": read-only,
// in use, locked, write-protected media, network access refused.
static int IsAccessDenied(DWORD error) {
  if (error >= 19 && error <= 36) return 1;
  switch (error) {
    case 5: case 16: case 65: case 82: case 83: case 108: case 132: case 158: case 167:
      return 1;
  }
  return 0;
}

// Takes one reference off the shared file in WorkPath. Returns 1 when the
// file may go on to be deleted: its count ran out (or could not be read) and
// the user agreed, or the question could not be asked.
static int ReleaseSharedReference(void) {
  HKEY key;
  int keyOpen = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SharedDllsKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS;
  int goOn = 1;
  if (keyOpen) {
    DWORD count = 1, type = REG_DWORD, size = sizeof(count);
    if (RegQueryValueExA(key, WorkPath, 0, &type, (BYTE*)&count, &size) == ERROR_SUCCESS) {
      if (count > 0) {
        count--;
        if (count != 0) goOn = 0;
      }
      RegSetValueExA(key, WorkPath, 0, type, (const BYTE*)&count, size);
      if (!goOn) {
        RegCloseKey(key);
        return 0;  // other programs still use it
      }
    }
  }
  char* message;
  if (AllocZeroed(MESSAGE_BUFFER_SIZE, &message)) {
    FormatMessageText(message, STR_SHARED_UNUSED, WorkPath);
    if (ShowMessage(message, MB_YESNO | MB_ICONQUESTION) != IDYES) goOn = 0;
    FreeAndClear(&message);
  }
  if (keyOpen) {
    if (goOn) RegDeleteValueA(key, WorkPath);
    RegCloseKey(key);
  }
  return goOn;
}

// The server's own dependencies come from its folder, never from the
// uninstaller's or the current one.
static void UnregisterServer(void) {
  HMODULE module = LoadLibraryExA(WorkPath, 0, LibraryLoadFlags);
  if ((UINT_PTR)module < 32) return;
  typedef HRESULT(WINAPI * UnregisterProc)(void);
  UnregisterProc unregister = (UnregisterProc)(void*)GetProcAddress(module, "DllUnregisterServer");
  if (unregister) unregister();
  FreeLibrary(module);
}

// A link's attributes would be set on what it points to.
static void ClearReadOnly(void) {
  DWORD attributes = GetFileAttributesA(WorkPath);
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    SetFileAttributesA(WorkPath, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
}

// A font or server entry that is itself a link gets no treatment: that
// would unregister or unload whatever the link points to. Deleting it
// removes only the link.
static u8 TreatmentsFor(u8 flags) {
  if (!(flags & (FILE_FONT | FILE_SELFREG))) return flags;
  DWORD attributes = GetFileAttributesA(WorkPath);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return 0;
  return flags;
}

// Font and server treatment, then the deletion; a refused deletion is
// settled by AnswerMode or the user.
static void RemoveFile(u8 flags) {
  for (;;) {
    if (flags & FILE_FONT) {
      RemoveFontResourceA(WorkPath);
      // A window that no longer answers would hold a plain broadcast for ever.
      ULONG_PTR ignored;
      SendMessageTimeoutA(HWND_BROADCAST, WM_FONTCHANGE, 0, 0, SMTO_ABORTIFHUNG,
                          FONT_BROADCAST_TIMEOUT, &ignored);
    }
    if (flags & FILE_SELFREG) UnregisterServer();
    if (DeleteFileA(WorkPath)) return;
    if (!IsAccessDenied(GetLastError())) return;
    if (AnswerMode == AnswerNoToAll) return;
    if (AnswerMode == AnswerYesToAll) {
      ClearReadOnly();
      DeleteFileA(WorkPath);
      return;
    }
    int answer = AskWriteProtected(WorkPath);
    if (answer == IDYES) {
      ClearReadOnly();
      continue;  // the same file again, treatments included
    }
    if (answer == IDC_YES_ALL) {
      AnswerMode = AnswerYesToAll;
      ClearReadOnly();
      DeleteFileA(WorkPath);
    } else if (answer == IDC_NO_ALL) {
      AnswerMode = AnswerNoToAll;
    }
    return;
  }
}

void RemoveFiles(void) {
  char checked[PATH_BUFFER_SIZE];
  checked[0] = 0;
  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    const FileRecord* record = UninstallInfo.fileList[i];
    // A path that does not fit the buffer, or that leads through a link, is
    // left alone entirely.
    if (!ComposeEntryPath(record) || !EntryFolderFreeOfLinks(checked)) continue;
    if (!record->name[0]) {
      RemoveDirectoryA(WorkPath);
      continue;
    }
    if ((record->flags & FILE_SHARED) && !ReleaseSharedReference()) continue;
    RemoveFile(TreatmentsFor(record->flags));
  }
}
