// The uninstall data: its on-disk constants, the in-memory model, the loader,
// the allocation pair and the text services.
#pragma once

#include "platform/platform.h"

// Chunk tags (low 16 bits of a chunk header's tag).
enum {
  TAG_STRINGS = 0x1234,
  TAG_FILES = 0x1235,
  TAG_SHORTCUTS = 0x1236,
  TAG_KEYS = 0x1237,
  TAG_KEY = 0x1238,
  TAG_END = 0x7F7F
};

// FileRecord flags.
enum { FILE_SHARED = 0x01, FILE_FONT = 0x02, FILE_SELFREG = 0x04 };

// String table indices; 7 and 8 double as the loader's error codes.
enum {
  STR_CAPTION = 0,
  STR_CONFIRM = 1,
  STR_DONE = 2,
  STR_YES = 3,
  STR_YES_ALL = 4,
  STR_NO = 5,
  STR_NO_ALL = 6,
  STR_OUT_OF_MEMORY = 7,
  STR_INVALID_INFO = 8,
  STR_WRITE_PROTECTED = 9,
  STR_SHARED_UNUSED = 10,
  STR_COUNT = 11
};

// Limits of the format and of the buffers that read and show it.
enum {
  PATH_BUFFER_SIZE = 260,     // MAX_PATH: 259 bytes of text and a terminator
  MESSAGE_BUFFER_SIZE = 1024, // composed message texts
  RECORD_SCRATCH_SIZE = 520,  // dir and name (or a key path) with their terminators
  KEY_SPARE_ENTRIES = 3       // room a TAG_KEYS list keeps for appended TAG_KEY records
};

#define DATA_LOCATOR_SIGNATURE "wwgT)H"
#define DATA_LOCATOR_SIGNATURE_SIZE 6

#pragma pack(push, 1)
struct DataLocatorRecord {
  char signature[DATA_LOCATOR_SIGNATURE_SIZE];
  u32 dataOffset;  // file offset of the first chunk header; 0: no data
};
#pragma pack(pop)

// Lives in the stub's initialised data; the packer patches dataOffset in the
// file. Volatile so that the shipped 0 is read at run time, never folded.
extern volatile DataLocatorRecord DataLocator;

struct FileRecord {
  char* dir;
  char* name;
  u8 flags;
};

struct ShortcutRecord {
  char* dir;
  char* name;
};

struct KeyRecord {
  u32 root;
  char* path;
};

struct UninstallInfoModel {
  char** StringTable;  // texts in index order, then a null entry
  KeyRecord** keyList;
  u32 keyCount;
  u32 keyCapacity;  // entries keyList has room for
  ShortcutRecord** shortcutList;
  u32 shortcutCount;
  FileRecord** fileList;
  u32 fileCount;
};

extern UninstallInfoModel UninstallInfo;

// Allocation: zero-filled, retried once after heap compaction.
int AllocZeroed(u32 size, void** block);
template <typename T>
static inline int AllocZeroed(u32 size, T** block) {
  return AllocZeroed(size, reinterpret_cast<void**>(block));
}
void FreeAndClear(void** block);
template <typename T>
static inline void FreeAndClear(T** block) {
  FreeAndClear(reinterpret_cast<void**>(block));
}

int LoadUninstallInfo(void);
// Reads the block at dataOffset of any file into UninstallInfo, showing no
// box: for tools that check an uninstaller they wrote. Returns LOAD_OK, the
// loader's error code (STR_OUT_OF_MEMORY, STR_INVALID_INFO) or one below.
enum { LOAD_OK = 0, LOAD_NO_DATA = -1, LOAD_CANNOT_OPEN = -2 };
int ReadUninstallInfoFile(const char* path, u32 dataOffset);
void ReleaseUninstallInfo(void);

// Byte strings, without locale or case rules.
u32 StrLen(const char* s);
void StrCopy(char* destination, const char* source);
void MemCopy(void* destination, const void* source, u32 size);
void MemZero(void* destination, u32 size);

const char* LookupString(int group, int index);
void FormatMessageText(char* destination, int index, const char* argument);
int ShowMessage(const char* text, UINT type);
