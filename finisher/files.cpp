// Whole-file reads and writes, and full paths.
#include "finisher/finish.h"

// Templates and uninstallers are small; anything larger is not one.
static const u32 MAX_FILE_SIZE = 0x40000000;

static DWORD ErrorOr(DWORD fallback) {
  DWORD error = GetLastError();
  return error ? error : fallback;
}

DWORD ReadWholeFile(const char* path, FileBytes* file) {
  file->data = 0;
  file->size = 0;
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, 0);
  if (h == INVALID_HANDLE_VALUE) return ErrorOr(ERROR_FILE_NOT_FOUND);
  DWORD error = 0;
  DWORD high = 0;
  DWORD size = GetFileSize(h, &high);
  if (size == INVALID_FILE_SIZE && GetLastError()) {
    error = GetLastError();
  } else if (high || size > MAX_FILE_SIZE) {
    error = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    file->data = (u8*)FinishAlloc(size + 1);
    if (!file->data) error = ERROR_NOT_ENOUGH_MEMORY;
  }
  u32 done = 0;
  while (!error && done < size) {
    DWORD got = 0;
    if (!ReadFile(h, file->data + done, size - done, &got, 0)) error = ErrorOr(ERROR_READ_FAULT);
    else if (got == 0) error = ERROR_HANDLE_EOF;  // the file shrank under us
    done += got;
  }
  CloseHandle(h);
  file->size = size;
  return error;
}

DWORD WriteNewFile(const char* path, const u8* data, u32 size) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
  if (h == INVALID_HANDLE_VALUE) return ErrorOr(ERROR_ACCESS_DENIED);
  DWORD error = 0;
  u32 done = 0;
  while (!error && done < size) {
    DWORD wrote = 0;
    if (!WriteFile(h, data + done, size - done, &wrote, 0)) error = ErrorOr(ERROR_WRITE_FAULT);
    else if (wrote == 0) error = ERROR_WRITE_FAULT;
    done += wrote;
  }
  // A close can report a write the system had still buffered.
  if (!CloseHandle(h) && !error) error = ErrorOr(ERROR_WRITE_FAULT);
  return error;
}

int SplitFullPath(const char* path, char* full, char* folder) {
  char* filePart = 0;
  DWORD n = GetFullPathNameA(path, PATH_BUFFER_SIZE, full, &filePart);
  if (n == 0) return -1;
  if (n >= PATH_BUFFER_SIZE || !filePart || !*filePart) return 0;
  u32 folderLength = (u32)(filePart - full);
  MemCopy(folder, full, folderLength);
  // "C:\" keeps its backslash; "C:\Apps\" loses it.
  if (folderLength > 3 && folder[folderLength - 1] == '\\') folderLength--;
  folder[folderLength] = 0;
  return 1;
}
