// The constants' values on this machine and the resolution of every
// template string into the machine's ANSI code page.
#include "finisher/finish.h"

// ---- Folder values ---------------------------------------------------------

static char FolderValues[CONST_BUILTIN_COUNT + 1][PATH_BUFFER_SIZE];

// Keeps a machine value as a constant's value: without a final backslash
// except at a drive root. An empty value counts as not given.
static void Keep(ConstantTable* table, int id, u32 length) {
  char* value = FolderValues[id];
  if (length > 3 && value[length - 1] == '\\') length--;
  value[length] = 0;
  if (length == 0) return;
  table->builtin[id].bytes = value;
  table->builtin[id].length = length;
}

static int FolderExists(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static int ShellFolder(int csidl, char* path) {
  LPITEMIDLIST list = 0;
  if (SHGetSpecialFolderLocation(0, csidl, &list) != S_OK || !list) return 0;
  path[0] = 0;
  int ok = SHGetPathFromIDListA(list, path) && path[0];
  CoTaskMemFree(list);
  return ok;
}

static const struct {
  u8 id;
  u8 csidl;
  u8 perUser;  // the per-user folder an all-users one falls back to; 0: none
} ShellFolders[] = {
    {CONST_FONTS, CSIDL_FONTS, 0},
    {CONST_DESKTOP, CSIDL_DESKTOPDIRECTORY, 0},
    {CONST_COMMONDESKTOP, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_DESKTOPDIRECTORY},
    {CONST_PROGRAMS, CSIDL_PROGRAMS, 0},
    {CONST_COMMONPROGRAMS, CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS},
    {CONST_STARTMENU, CSIDL_STARTMENU, 0},
    {CONST_COMMONSTARTMENU, CSIDL_COMMON_STARTMENU, CSIDL_STARTMENU},
};

static const char CurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";

static void RegistryFolder(ConstantTable* table, HKEY key, int id, const char* valueName) {
  DWORD type = 0;
  DWORD size = PATH_BUFFER_SIZE - 1;
  char* value = FolderValues[id];
  if (RegQueryValueExA(key, valueName, 0, &type, (LPBYTE)value, &size) != ERROR_SUCCESS) return;
  if (type != REG_SZ || size == 0) return;
  value[size] = 0;
  Keep(table, id, StrLen(value));
}

// Looks up every folder constant. One that this machine does not have stays
// not given, and is refused only where a template uses it.
static void MachineFolders(ConstantTable* table) {
  UINT n = GetWindowsDirectoryA(FolderValues[CONST_WIN], PATH_BUFFER_SIZE);
  if (n && n < PATH_BUFFER_SIZE) Keep(table, CONST_WIN, n);
  n = GetSystemDirectoryA(FolderValues[CONST_SYS], PATH_BUFFER_SIZE);
  if (n && n < PATH_BUFFER_SIZE) Keep(table, CONST_SYS, n);
  for (u32 i = 0; i < sizeof ShellFolders / sizeof ShellFolders[0]; i++) {
    char* path = FolderValues[ShellFolders[i].id];
    // An all-users folder that this system lacks (Windows 95 without user
    // profiles) is the per-user one.
    int ok = ShellFolder(ShellFolders[i].csidl, path) && (!ShellFolders[i].perUser || FolderExists(path));
    if (!ok && ShellFolders[i].perUser) ok = ShellFolder(ShellFolders[i].perUser, path);
    if (ok) Keep(table, ShellFolders[i].id, StrLen(path));
  }
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CurrentVersionKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    RegistryFolder(table, key, CONST_PF, "ProgramFilesDir");
    RegistryFolder(table, key, CONST_CF, "CommonFilesDir");
    RegCloseKey(key);
  }
}

// ---- Code pages ------------------------------------------------------------

struct Conversion {
  UINT from;   // the template's code page
  UINT to;     // the machine's ANSI code page
  WCHAR* wide; // scratch of MAX_COUNTED units, twice
  char* back;  // scratch of MAX_COUNTED bytes
};

enum { MAX_COUNTED = 0xFFFF };

// Literal bytes from the template's code page to the machine's, accepted only
// when they convert back to the very same bytes: a character the machine's
// code page lacks (or maps to a look-alike) is refused.
static int ConvertLiteral(void* context, const char* in, u32 length, char* out, u32 capacity,
                          u32* written) {
  Conversion* c = (Conversion*)context;
  *written = 0;
  if (length == 0) return 1;
  if (c->from == c->to) {
    if (length > capacity) return -1;
    MemCopy(out, in, length);
    *written = length;
    return 1;
  }
  // With no room at all the system would only measure, and report the size
  // it needs as if it had written that much.
  if (length > MAX_COUNTED || capacity == 0) return -1;
  WCHAR* wide = c->wide;
  WCHAR* again = c->wide + MAX_COUNTED;
  int units = MultiByteToWideChar(c->from, 0, in, (int)length, wide, MAX_COUNTED);
  if (units <= 0) return 0;
  // No flag for a default character: UTF-8 refuses one, and the round trip
  // below finds a lost character anyway.
  int bytes = WideCharToMultiByte(c->to, 0, wide, units, out, (int)capacity, 0, 0);
  if (bytes <= 0) return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? -1 : 0;
  int againUnits = MultiByteToWideChar(c->to, 0, out, bytes, again, MAX_COUNTED);
  if (againUnits <= 0) return 0;
  int backBytes = WideCharToMultiByte(c->from, 0, again, againUnits, c->back, MAX_COUNTED, 0, 0);
  if (backBytes != (int)length) return 0;
  for (u32 i = 0; i < length; i++)
    if (c->back[i] != in[i]) return 0;
  *written = (u32)bytes;
  return 1;
}

// ---- Entry names -----------------------------------------------------------

// The manifest's names of the texts, in their order, one after another.
static const char TextNames[] =
    "caption\0confirm\0done\0yes\0yes_all\0no\0no_all\0"
    "out_of_memory\0invalid_info\0write_protected\0shared_unused\0";

void PutEntry(int list, u32 index, const char* field) {
  if (list == 0) {
    Put("strings.");
    if (index < STR_COUNT) {
      Put(PackedText(TextNames, index));
    } else {
      PutNumber(index);
    }
    return;
  }
  PutFormat("%s[%u]", list == LIST_FILES ? "files" : list == LIST_SHORTCUTS ? "shortcuts" : "keys", index);
  if (field) PutFormat(".%s", field);
}

// ---- Resolution ------------------------------------------------------------

static struct {
  ConstantTable table;
  Conversion conversion;
  char* scratch;
} Resolver;

// Resolves one string into a block of its own. 0 after a refusal.
static int ResolveOne(const BlockText* text, int role, int list, u32 index, const char* field,
                      BlockText* result) {
  u32 length = 0;
  ResolveProblem problem;
  int status = ResolveTemplateString(text, role, &Resolver.table, ConvertLiteral, &Resolver.conversion,
                                     Resolver.scratch, MAX_COUNTED, &length, &problem);
  if (status == RESOLVE_OK) {
    char* copy = (char*)FinishAlloc(length + 1);
    if (!copy) {
      SayOutOfMemory();
      return 0;
    }
    MemCopy(copy, Resolver.scratch, length);
    result->bytes = copy;
    result->length = length;
    return 1;
  }
  Say("");
  PutEntry(list, index, field);
  Put(": ");
  if (status == RESOLVE_UNKNOWN_CONSTANT && problem.constant != CONST_NAMED) {
    PutFormat("no folder {%s}", ConstantName(problem.constant));
  } else if (status == RESOLVE_UNKNOWN_CONSTANT) {
    Put("unknown constant {");
    PutText(&problem.name);
    Put("} (--set it)");
  } else if (status == RESOLVE_CONVERSION) {
    PutFormat("a character code page %u lacks", Resolver.conversion.to);
  } else if (status == RESOLVE_NO_ROOM) {
    Put(BuildReason(BUILD_STRING_TOO_LONG));
  } else {
    Put(ResolveReason(status));
  }
  EndLine();
  return 0;
}

static int ResolveAll(const BlockData* in, BlockData* out) {
  for (u32 i = 0; i < in->stringCount; i++)
    if (!ResolveOne(&in->strings[i], TextRole(i), 0, i, 0, &out->strings[i])) return 0;
  for (u32 i = 0; i < in->fileCount; i++) {
    if (!ResolveOne(&in->files[i].dir, ROLE_FILE_DIR, LIST_FILES, i, "dir", &out->files[i].dir) ||
        !ResolveOne(&in->files[i].name, ROLE_PATH, LIST_FILES, i, "name", &out->files[i].name))
      return 0;
    out->files[i].flags = in->files[i].flags;
  }
  for (u32 i = 0; i < in->shortcutCount; i++) {
    if (!ResolveOne(&in->shortcuts[i].dir, ROLE_PATH, LIST_SHORTCUTS, i, "dir", &out->shortcuts[i].dir) ||
        !ResolveOne(&in->shortcuts[i].name, ROLE_PATH, LIST_SHORTCUTS, i, "name", &out->shortcuts[i].name))
      return 0;
  }
  for (u32 i = 0; i < in->keyCount; i++) {
    if (!ResolveOne(&in->keys[i].path, ROLE_PATH, LIST_KEYS, i, "path", &out->keys[i].path)) return 0;
    out->keys[i].root = in->keys[i].root;
  }
  return 1;
}

const ConstantTable* MachineConstants(void) { return &Resolver.table; }

int ResolveTemplate(const ResolveInput* input, BlockData* finished) {
  const BlockData* in = &input->contents->data;
  MemZero(&Resolver, sizeof Resolver);
  MemZero(FolderValues, sizeof FolderValues);
  MemZero(finished, sizeof *finished);
  ConstantTable* table = &Resolver.table;
  MachineFolders(table);
  u32 appLength = StrLen(input->appFolder);
  table->builtin[CONST_APP].bytes = input->appFolder;
  table->builtin[CONST_APP].length = appLength;
  table->named = input->named;
  table->namedCount = input->namedCount;
  Resolver.conversion.from = input->contents->header.codepage;
  Resolver.conversion.to = GetACP();

  Resolver.scratch = (char*)FinishAlloc(MAX_COUNTED + 1);
  Resolver.conversion.wide = (WCHAR*)FinishAlloc(2 * MAX_COUNTED * (u32)sizeof(WCHAR));
  Resolver.conversion.back = (char*)FinishAlloc(MAX_COUNTED + 1);
  // Room for each list to grow by what a merge may add is made there.
  if (!AllocLists(finished, in) || !Resolver.scratch || !Resolver.conversion.wide || !Resolver.conversion.back) {
    SayOutOfMemory();
    return 0;
  }
  finished->stringCount = in->stringCount;
  finished->fileCount = in->fileCount;
  finished->shortcutCount = in->shortcutCount;
  finished->keyCount = in->keyCount;
  finished->keysAppended = in->keysAppended;
  if (!ResolveAll(in, finished)) return 0;
  if (CanonicalDirs(finished)) return 1;
  SayOutOfMemory();
  return 0;
}

// Each dir into a block of its own with a byte to spare (the separator
// kept after a final 0x5C trail byte); an earlier uninstaller's lies in the
// finisher's copy of its file, where it cannot grow. Ends in a zero byte
// (finished texts are read as C strings too). 0 when out of memory.
static int Canonical(BlockText* dir) {
  char* bytes = (char*)FinishAlloc(dir->length + 2);
  if (!bytes) return 0;
  MemCopy(bytes, dir->bytes, dir->length);
  u32 length = dir->length;
  if (!CanonicalDir(bytes, &length, dir->length + 1, Resolver.conversion.to)) length = dir->length;
  bytes[length] = 0;
  dir->bytes = bytes;
  dir->length = length;
  return 1;
}

int CanonicalDirs(BlockData* data) {
  for (u32 i = 0; i < data->fileCount; i++)
    if (!Canonical(&data->files[i].dir)) return 0;
  for (u32 i = 0; i < data->shortcutCount; i++)
    if (!Canonical(&data->shortcuts[i].dir)) return 0;
  return 1;
}

u32 MachineCodePage(void) { return Resolver.conversion.to; }
