// Reads the uninstall data appended to the stub's own file into UninstallInfo.
//
// The block is a stream of chunks (u32 tag, u32 length, payload). Only a
// chunk header that cannot be read makes the block invalid; payload fields
// are taken as they come, and each chunk is left by repositioning to its end
// as its length says. A payload read that the file cannot supply ends that
// chunk's records early; the next header read then fails and the block is
// reported invalid.
#include "uninstall_info/process_state.h"
#include "uninstall_info/uninstall_info.h"

volatile DataLocatorRecord DataLocator = {{'w', 'w', 'g', 'T', ')', 'H'}, 0};

IMAGE_DATA UninstallInfoModel UninstallInfo;

enum { LOAD_OUT_OF_MEMORY = STR_OUT_OF_MEMORY, LOAD_INVALID = STR_INVALID_INFO };

// Positions past this cannot be reached by a seek without a high part.
static const u32 MAX_FILE_POSITION = 0x7FFFFFFF;

// ---- File wrappers ---------------------------------------------------------
// The stub's file is read through one buffer: a block holds many small
// fields, and one system call per field would dominate the load. The
// wrappers keep the contract of plain reads: FileRead fails unless it
// delivers every byte asked for, FileTell and FileSeek work on the logical
// position.

// The buffer lives on the heap for the load only: as a variable it would
// take its size in the image's file.
enum { READ_BUFFER_SIZE = 16384 };

IMAGE_DATA static struct {
  HANDLE handle;
  u32 position;     // logical position of the next byte to deliver
  u32 bufferStart;  // file position of buffer[0]
  u32 bufferLength; // valid bytes in buffer
  u8* buffer;
} Reader;

static HANDLE FileOpen(const char* path) {
  Reader.position = 0;
  Reader.bufferStart = 0;
  Reader.bufferLength = 0;
  Reader.handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, 0);
  return Reader.handle;
}

static int FillBuffer(void) {
  Reader.bufferLength = 0;
  Reader.bufferStart = Reader.position;
  if (Reader.position > MAX_FILE_POSITION) return 0;
  if (SetFilePointer(Reader.handle, (LONG)Reader.position, 0, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return 0;
  DWORD got = 0;
  if (!ReadFile(Reader.handle, Reader.buffer, READ_BUFFER_SIZE, &got, 0)) return 0;
  Reader.bufferLength = got > (DWORD)READ_BUFFER_SIZE ? (u32)READ_BUFFER_SIZE : got;
  return Reader.bufferLength != 0;
}

// 0 when all n bytes were delivered; non-zero when the file ended first.
static int FileRead(void* destination, u32 n) {
  u8* out = (u8*)destination;
  while (n) {
    u32 offset = Reader.position - Reader.bufferStart;
    if (Reader.position < Reader.bufferStart || offset >= Reader.bufferLength) {
      if (!FillBuffer()) return 1;
      offset = 0;
    }
    u32 take = Reader.bufferLength - offset;
    if (take > n) take = n;
    MemCopy(out, Reader.buffer + offset, take);
    out += take;
    n -= take;
    Reader.position += take;
  }
  return 0;
}

static u32 FileTell(void) { return Reader.position; }

static void FileSeek(u32 position) { Reader.position = position; }

static void FileClose(void) {
  CloseHandle(Reader.handle);
  FreeAndClear(&Reader.buffer);
}

static int ReadU16(u16* value) {
  u8 b[2];
  if (FileRead(b, 2)) return 1;
  *value = (u16)(b[0] | (b[1] << 8));
  return 0;
}

static int ReadU32(u32* value) {
  u8 b[4];
  if (FileRead(b, 4)) return 1;
  *value = (u32)b[0] | ((u32)b[1] << 8) | ((u32)b[2] << 16) | ((u32)b[3] << 24);
  return 0;
}

// ---- Lists -----------------------------------------------------------------

// An array of count + spare pointers. A count whose size does not fit 32
// bits is refused like a failed allocation instead of wrapping round.
static int AllocList(u32 count, u32 spare, void** list) {
  const u32 entrySize = (u32)sizeof(void*);
  if (count > 0xFFFFFFFFu / entrySize - spare) {
    *list = 0;
    return 0;
  }
  return AllocZeroed((count + spare) * entrySize, list);
}

// Frees a list's records and the list. Entries past the filled ones are null.
static void ReleaseList(void*** list, u32* count) {
  if (*list) {
    for (u32 i = 0; i < *count; i++) FreeAndClear(&(*list)[i]);
    FreeAndClear(list);
  }
  *count = 0;
}

static void ReleaseKeyList(void) {
  ReleaseList((void***)&UninstallInfo.keyList, &UninstallInfo.keyCount);
  UninstallInfo.keyCapacity = 0;
}

static void ReleaseShortcutList(void) {
  ReleaseList((void***)&UninstallInfo.shortcutList, &UninstallInfo.shortcutCount);
}

static void ReleaseFileList(void) {
  ReleaseList((void***)&UninstallInfo.fileList, &UninstallInfo.fileCount);
}

static void ReleaseStringTable(void) {
  char** table = UninstallInfo.StringTable;
  if (!table) return;
  for (u32 i = 0; table[i]; i++) FreeAndClear(&table[i]);
  FreeAndClear(&UninstallInfo.StringTable);
}

// ---- Chunk steps -----------------------------------------------------------

static int ReadStringsChunk(void) {
  u16 groupCount = 0, stringCount = 0;
  if (ReadU16(&groupCount) || groupCount == 0) return LOAD_OK;
  if (ReadU16(&stringCount) || stringCount == 0) return LOAD_OK;
  ReleaseStringTable();
  if (!AllocZeroed(((u32)stringCount + 1) * (u32)sizeof(char*), &UninstallInfo.StringTable))
    return LOAD_OUT_OF_MEMORY;
  char** table = UninstallInfo.StringTable;
  for (u32 i = 0; i < stringCount; i++) {
    u16 length = 0;
    if (ReadU16(&length)) return LOAD_OK;
    if (!AllocZeroed((u32)length + 1, &table[i])) return LOAD_OUT_OF_MEMORY;
    if (length && FileRead(table[i], length)) {
      // Cut short: the table ends at the last whole text.
      FreeAndClear(&table[i]);
      return LOAD_OK;
    }
  }
  return LOAD_OK;
}

// Reads a counted string of at most room bytes into destination; a longer
// one does not fit the record scratch block and makes the block invalid.
static int ReadCountedString(char* destination, u32 room, u32* length) {
  u16 n = 0;
  if (ReadU16(&n)) return 1;
  if (n > room) return LOAD_INVALID;
  *length = n;
  return n ? FileRead(destination, n) : 0;
}

// File and shortcut records share their layout up to the flags byte.
static int ReadPathRecords(void*** list, u32* count, int withFlags) {
  u32 declared = 0;
  if (ReadU32(&declared)) return LOAD_OK;
  if (withFlags) ReleaseFileList(); else ReleaseShortcutList();
  if (!AllocList(declared, 2, (void**)list)) return LOAD_OUT_OF_MEMORY;
  char* scratch;
  if (!AllocZeroed(RECORD_SCRATCH_SIZE, &scratch)) {
    FreeAndClear(list);
    return LOAD_OUT_OF_MEMORY;
  }
  int result = LOAD_OK;
  for (u32 i = 0; i < declared; i++) {
    u32 dirLength = 0, nameLength = 0;
    u8 flags = 0;
    int r = ReadCountedString(scratch, RECORD_SCRATCH_SIZE - 2, &dirLength);
    if (!r) r = ReadCountedString(scratch + dirLength + 1, RECORD_SCRATCH_SIZE - 2 - dirLength, &nameLength);
    if (!r && withFlags) r = FileRead(&flags, 1);
    if (r) {
      if (r == LOAD_INVALID) result = LOAD_INVALID;
      break;
    }
    // Each string ends in its terminator; the rest of the scratch block is
    // never copied, so it need not be cleared for every record.
    scratch[dirLength] = 0;
    scratch[dirLength + 1 + nameLength] = 0;
    u32 strings = dirLength + nameLength + 2;
    u32 header = withFlags ? (u32)sizeof(FileRecord) : (u32)sizeof(ShortcutRecord);
    char* block;
    if (!AllocZeroed(header + strings, &block)) {
      result = LOAD_OUT_OF_MEMORY;
      break;
    }
    char* text = block + header;
    MemCopy(text, scratch, strings);
    if (withFlags) {
      FileRecord* record = (FileRecord*)block;
      record->dir = text;
      record->name = text + dirLength + 1;
      record->flags = flags;
    } else {
      ShortcutRecord* record = (ShortcutRecord*)block;
      record->dir = text;
      record->name = text + dirLength + 1;
    }
    (*list)[i] = block;
    *count = i + 1;
  }
  FreeAndClear(&scratch);
  return result;
}

static int ReadFilesChunk(void) {
  return ReadPathRecords((void***)&UninstallInfo.fileList, &UninstallInfo.fileCount, 1);
}

static int ReadShortcutsChunk(void) {
  return ReadPathRecords((void***)&UninstallInfo.shortcutList, &UninstallInfo.shortcutCount, 0);
}

// Reads up to n key records into the list from entry keyCount on.
static int ReadKeyRecords(u32 n) {
  char* scratch;
  if (!AllocZeroed(RECORD_SCRATCH_SIZE, &scratch)) return LOAD_OUT_OF_MEMORY;
  int result = LOAD_OK;
  for (u32 i = 0; i < n; i++) {
    u32 root = 0, pathLength = 0;
    int r = ReadU32(&root);
    if (!r) r = ReadCountedString(scratch, RECORD_SCRATCH_SIZE - 1, &pathLength);
    if (r) {
      if (r == LOAD_INVALID) result = LOAD_INVALID;
      break;
    }
    KeyRecord* record;
    if (!AllocZeroed((u32)sizeof(KeyRecord) + pathLength + 1, &record)) {
      result = LOAD_OUT_OF_MEMORY;
      break;
    }
    record->root = root;
    record->path = (char*)(record + 1);
    scratch[pathLength] = 0;
    MemCopy(record->path, scratch, pathLength + 1);
    UninstallInfo.keyList[UninstallInfo.keyCount++] = record;
  }
  FreeAndClear(&scratch);
  return result;
}

static int ReadKeysChunk(void) {
  u32 declared = 0;
  if (ReadU32(&declared)) return LOAD_OK;
  ReleaseKeyList();
  if (!AllocList(declared, KEY_SPARE_ENTRIES, (void**)&UninstallInfo.keyList))
    return LOAD_OUT_OF_MEMORY;
  UninstallInfo.keyCapacity = declared + KEY_SPARE_ENTRIES;
  return declared ? ReadKeyRecords(declared) : LOAD_OK;
}

// A TAG_KEY record goes into the first unfilled entry. When there is none
// (no TAG_KEYS list yet, or its spare entries are used up) the list grows,
// so that no key is lost and nothing is written outside the list.
static int ReadKeyChunk(void) {
  if (UninstallInfo.keyCount >= UninstallInfo.keyCapacity || !UninstallInfo.keyList) {
    u32 count = UninstallInfo.keyCount;
    KeyRecord** grown;
    if (!AllocList(count, KEY_SPARE_ENTRIES + 1, (void**)&grown)) return LOAD_OUT_OF_MEMORY;
    if (UninstallInfo.keyList) MemCopy(grown, UninstallInfo.keyList, count * (u32)sizeof(KeyRecord*));
    FreeAndClear(&UninstallInfo.keyList);
    UninstallInfo.keyList = grown;
    UninstallInfo.keyCapacity = count + KEY_SPARE_ENTRIES + 1;
  }
  return ReadKeyRecords(1);
}

static int ReadChunk(u32 tag) {
  switch (tag & 0xFFFF) {
    case TAG_STRINGS: return ReadStringsChunk();
    case TAG_FILES: return ReadFilesChunk();
    case TAG_SHORTCUTS: return ReadShortcutsChunk();
    case TAG_KEYS: return ReadKeysChunk();
    case TAG_KEY: return ReadKeyChunk();
    default: return LOAD_OK;
  }
}

// ---- Loader ----------------------------------------------------------------

static int ReadBlock(u32 offset) {
  FileSeek(offset);
  for (;;) {
    u32 tag = 0, length = 0;
    if (ReadU32(&tag) || ReadU32(&length)) return LOAD_INVALID;
    // The end chunk's payload is never read, so its length does not matter.
    if ((tag & 0xFFFF) == TAG_END) return LOAD_OK;
    if (length) {
      u32 start = FileTell();
      // A chunk that would end beyond what a seek can reach cannot be
      // followed by another header; repositioning there would wrap round.
      if (start > MAX_FILE_POSITION || length > MAX_FILE_POSITION - start) return LOAD_INVALID;
      int code = ReadChunk(tag);
      if (code) return code;
      FileSeek(start + length);
    }
  }
}

int ReadUninstallInfoFile(const char* path, u32 dataOffset) {
  if (!dataOffset) return LOAD_NO_DATA;
  if (FileOpen(path) == INVALID_HANDLE_VALUE) return LOAD_CANNOT_OPEN;
  int code = AllocZeroed(READ_BUFFER_SIZE, &Reader.buffer) ? ReadBlock(dataOffset) : LOAD_OUT_OF_MEMORY;
  FileClose();
  return code;
}

int LoadUninstallInfo(void) {
  u32 offset = DataLocator.dataOffset;
  if (!offset) return 0;
  // A path that fills the whole buffer may have been cut and may lack its
  // terminator: it cannot be trusted to name the stub's file.
  DWORD n = GetModuleFileNameA(InstanceHandle, ModulePath, PATH_BUFFER_SIZE);
  if (n == 0 || n >= PATH_BUFFER_SIZE) {
    ModulePath[PATH_BUFFER_SIZE - 1] = 0;
    return 0;
  }
  int code = ReadUninstallInfoFile(ModulePath, offset);
  if (code == LOAD_OK) return 1;
  if (code < 0) return 0;  // the file cannot be opened: no message

  char* message;
  if (!AllocZeroed(MESSAGE_BUFFER_SIZE, &message)) return 0;
  FormatMessageText(message, code, ModulePath);
  ShowMessage(message, MB_OK | MB_ICONINFORMATION);
  FreeAndClear(&message);
  return 0;
}

// Safe after a failed load as well: every list is walked only up to the
// records it holds.
void ReleaseUninstallInfo(void) {
  ReleaseKeyList();
  ReleaseShortcutList();
  ReleaseFileList();
  ReleaseStringTable();
}
