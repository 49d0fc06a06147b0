// The finished uninstaller: composed in memory, written beside OUT, read back
// with the uninstaller's own loader, and only then put in OUT's place. An
// existing OUT stays as it was whenever a step fails.
#include "finisher/finish.h"

static char TempPath[PATH_BUFFER_SIZE];
static char AsidePath[PATH_BUFFER_SIZE];

static int Fail(const char* outPath, const char* what, DWORD error) {
  SayAboutPath(outPath, what, error, "; nothing was changed");
  return EXIT_REFUSED;
}

// ---- Read back -------------------------------------------------------------

static int SameText(const char* loaded, const BlockText* text) {
  if (!loaded || StrLen(loaded) != text->length) return 0;
  for (u32 i = 0; i < text->length; i++)
    if (loaded[i] != text->bytes[i]) return 0;
  return 1;
}

// Every record the loader built equals the one written.
static int SameRecords(const BlockData* data) {
  const UninstallInfoModel* m = &UninstallInfo;
  if (!m->StringTable) return 0;
  for (u32 i = 0; i < data->stringCount; i++)
    if (!SameText(m->StringTable[i], &data->strings[i])) return 0;
  if (m->StringTable[data->stringCount]) return 0;
  if (m->fileCount != data->fileCount || m->shortcutCount != data->shortcutCount ||
      m->keyCount != data->keyCount)
    return 0;
  for (u32 i = 0; i < data->fileCount; i++) {
    const FileRecord* r = m->fileList[i];
    if (!SameText(r->dir, &data->files[i].dir) || !SameText(r->name, &data->files[i].name) ||
        r->flags != data->files[i].flags)
      return 0;
  }
  for (u32 i = 0; i < data->shortcutCount; i++) {
    const ShortcutRecord* r = m->shortcutList[i];
    if (!SameText(r->dir, &data->shortcuts[i].dir) || !SameText(r->name, &data->shortcuts[i].name)) return 0;
  }
  for (u32 i = 0; i < data->keyCount; i++) {
    const KeyRecord* r = m->keyList[i];
    if (r->root != data->keys[i].root || !SameText(r->path, &data->keys[i].path)) return 0;
  }
  return 1;
}

// 0 when the file holds exactly `bytes` and the loader reads data back from
// it; otherwise what went wrong.
static const char* ReadBack(const u8* bytes, u32 size, const BlockData* data, DWORD* error) {
  FileBytes back;
  *error = ReadWholeFile(TempPath, &back);
  if (*error) return "cannot read the new file back";
  int same = back.size == size;
  for (u32 i = 0; same && i < size; i++) same = back.data[i] == bytes[i];
  if (!same) return "the new file reads back different";
  ImageLayout layout;
  if (FindImageLocator(back.data, back.size, &layout) != IMAGE_OK || layout.dataOffset == 0)
    return "the new file reads back different";
  int code = ReadUninstallInfoFile(TempPath, layout.dataOffset);
  same = code == LOAD_OK && SameRecords(data);
  ReleaseUninstallInfo();
  if (!same) return code == STR_OUT_OF_MEMORY ? "out of memory" : "the new file does not load as written";
  return 0;
}

// ---- Replacement -----------------------------------------------------------

typedef BOOL(WINAPI* MoveFileExProc)(LPCSTR existing, LPCSTR target, DWORD flags);

// Puts TempPath in place of outPath. 0 on success, else the error; outPath is
// then as it was, unless *movedAside says that it is now AsidePath.
static DWORD PutInPlace(const char* outPath, int* movedAside) {
  DWORD attributes = GetFileAttributesA(outPath);
  if (attributes == INVALID_FILE_ATTRIBUTES) return MoveFileA(TempPath, outPath) ? 0 : GetLastError();
  if (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) return ERROR_ACCESS_DENIED;

  // NT replaces in one step. Windows 95 has only a stand-in that fails.
  HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
  MoveFileExProc moveFileEx = kernel ? (MoveFileExProc)(void*)GetProcAddress(kernel, "MoveFileExA") : 0;
  if (moveFileEx) {
    if (moveFileEx(TempPath, outPath, MOVEFILE_REPLACE_EXISTING)) return 0;
    DWORD error = GetLastError();
    if (error != ERROR_CALL_NOT_IMPLEMENTED) return error ? error : ERROR_ACCESS_DENIED;
  }

  // Three renames: OUT aside, the new file in, the old one away; the first
  // two undone when the second fails.
  // The aside name is the new file's with "sko" for "skf": no placeholder
  // file is made for it, so none can be left behind.
  StrCopy(AsidePath, TempPath);
  u32 name = StrLen(AsidePath);
  while (name && AsidePath[name - 1] != '\\') name--;
  AsidePath[name + 2] = 'o';
  if (!MoveFileA(outPath, AsidePath)) return GetLastError();
  if (!MoveFileA(TempPath, outPath)) {
    DWORD error = GetLastError();
    *movedAside = !MoveFileA(AsidePath, outPath);
    return error ? error : ERROR_ACCESS_DENIED;
  }
  if (!DeleteFileA(AsidePath)) {
    Say("warning: left %s", AsidePath);
    EndLine();
  }
  return 0;
}

int WriteUninstaller(const char* outPath, const char* outFolder, const u8* image, u32 imageSize,
                     const ImageLayout* layout, const BlockData* data) {
  ByteSink sink = {0, 0, 0, 0};
  int status = BuildDataBlock(data, &sink);
  if (status != BUILD_OK && status != BUILD_NO_ROOM) return Fail(outPath, BuildReason(status), 0);
  u32 blockSize = sink.size;
  if (sink.tooLarge || blockSize > 0xFFFFFFF0u - imageSize) return Fail(outPath, BuildReason(BUILD_TOO_LARGE), 0);
  u32 total = imageSize + blockSize;
  u8* bytes = (u8*)FinishAlloc(total);
  if (!bytes) return Fail(outPath, "out of memory", 0);
  MemCopy(bytes, image, imageSize);
  u8* offset = bytes + layout->locatorOffset + DATA_LOCATOR_SIGNATURE_SIZE;
  for (u32 i = 0; i < 4; i++) offset[i] = (u8)(imageSize >> (8 * i));
  ByteSink out = {bytes + imageSize, blockSize, 0, 0};
  status = BuildDataBlock(data, &out);
  if (status != BUILD_OK || out.size != blockSize) return Fail(outPath, BuildReason(status), 0);

  if (!GetTempFileNameA(outFolder, "skf", 0, TempPath))
    return Fail(outPath, "cannot write beside it", GetLastError());
  DWORD error = WriteNewFile(TempPath, bytes, total);
  const char* problem = error ? "cannot write beside it" : ReadBack(bytes, total, data, &error);
  int movedAside = 0;
  if (!problem) {
    error = PutInPlace(outPath, &movedAside);
    if (error) problem = "cannot replace it";
  }
  if (problem) {
    DeleteFileA(TempPath);
    if (!movedAside) return Fail(outPath, problem, error);
    // Neither the new file nor the old one could be put under OUT's name.
    Say("%s: %s (error %u); the file that was there is now %s", outPath, problem, error, AsidePath);
    EndLine();
    return EXIT_MOVED_ASIDE;
  }
  return EXIT_WRITTEN;
}
