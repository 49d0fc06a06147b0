// The finisher's main sequence: arguments, template, resolution, merge,
// checks, output. Also its memory and its message lines.
#include "finisher/finish.h"
#include "format/execution_level.h"

#include <stdarg.h>

// ---- Memory ----------------------------------------------------------------

// Each block is preceded by a link to the block allocated before it.
struct BlockLink {
  BlockLink* previous;
  u32 pad;  // keeps the block 8-byte aligned on the host
};
static BlockLink* LastBlock;

void* FinishAlloc(u32 size) {
  if (size > 0xFFFFFFF0u - (u32)sizeof(BlockLink)) return 0;
  BlockLink* link;
  if (!AllocZeroed(size + (u32)sizeof(BlockLink), &link)) return 0;
  link->previous = LastBlock;
  LastBlock = link;
  return link + 1;
}

int AllocLists(BlockData* data, const BlockData* counts) {
  data->strings = (BlockText*)FinishAlloc(counts->stringCount * (u32)sizeof(BlockText) + 1);
  data->files = (BlockFile*)FinishAlloc(counts->fileCount * (u32)sizeof(BlockFile) + 1);
  data->shortcuts = (BlockShortcut*)FinishAlloc(counts->shortcutCount * (u32)sizeof(BlockShortcut) + 1);
  data->keys = (BlockKey*)FinishAlloc(counts->keyCount * (u32)sizeof(BlockKey) + 1);
  return data->strings && data->files && data->shortcuts && data->keys;
}

void FreeAllFinishBlocks(void) {
  while (LastBlock) {
    BlockLink* previous = LastBlock->previous;
    FreeAndClear(&LastBlock);
    LastBlock = previous;
  }
}

// ---- Messages --------------------------------------------------------------

enum { LINE_SIZE = 2048 };
static char Line[LINE_SIZE];
static u32 LineLength;

static void PutBytes(const char* bytes, u32 length) {
  for (u32 i = 0; i < length && LineLength < LINE_SIZE - 2; i++) Line[LineLength++] = bytes[i];
}

void Put(const char* text) { PutBytes(text, StrLen(text)); }

void PutText(const BlockText* text) { PutBytes(text->bytes, text->length); }

void PutNumber(u32 value) {
  char digits[10];
  u32 n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) PutBytes(&digits[--n], 1);
}

static void PutFormatList(const char* format, va_list arguments) {
  for (const char* f = format; *f; f++) {
    if (f[0] == '%' && f[1] == 's') Put(va_arg(arguments, const char*)), f++;
    else if (f[0] == '%' && f[1] == 'u') PutNumber(va_arg(arguments, u32)), f++;
    else PutBytes(f, 1);
  }
}

void PutFormat(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PutFormatList(format, arguments);
  va_end(arguments);
}

void Say(const char* format, ...) {
  Put("sweepkit-finish: ");
  va_list arguments;
  va_start(arguments, format);
  PutFormatList(format, arguments);
  va_end(arguments);
}

static void EndLineOn(DWORD which) {
  Line[LineLength++] = '\r';
  Line[LineLength++] = '\n';
  DWORD written;
  HANDLE out = GetStdHandle(which);
  if (out != INVALID_HANDLE_VALUE && out) WriteFile(out, Line, LineLength, &written, 0);
  LineLength = 0;
}

void EndLine(void) { EndLineOn(STD_ERROR_HANDLE); }

void SayOutOfMemory(void) {
  Say("out of memory");
  EndLine();
}

// ---- Arguments -------------------------------------------------------------

enum { MAX_NAMED = 64 };

static struct {
  const char* templatePath;
  const char* outPath;
  const char* mergePath;
  const char* onlyPath;
  const char* notePath;
  const char* notedPath;
  NamedValue named[MAX_NAMED];
  u32 namedCount;
} Args;

int SayAboutPath(const char* path, const char* what, DWORD error, const char* tail) {
  Say("%s: %s", path, what);
  if (error) PutFormat(" (error %u)", error);
  Put(tail);
  EndLine();
  return 0;
}

static int Usage(const char* problem, const char* argument) {
  Say("%s", problem);
  if (argument) PutFormat(": %s", argument);
  EndLine();
  Put("usage: sweepkit-finish APP.skt OUT.exe [--set NAME=VALUE]... [--merge OLD.exe] [--only KEEP]"
      " [--note|--noted NOTES]");
  EndLine();
  return 0;
}


static int AddNamed(const char* assignment) {
  u32 nameLength = 0;
  while (assignment[nameLength] && assignment[nameLength] != '=') nameLength++;
  if (!assignment[nameLength] || !IsConstantName(assignment, nameLength))
    return Usage("--set wants NAME=VALUE", assignment);
  if (BuiltinConstantId(assignment, nameLength))
    return Usage("--set cannot give a folder constant", assignment);
  for (u32 i = 0; i < Args.namedCount; i++)
    if (SameBytes(Args.named[i].name, Args.named[i].nameLength, assignment, nameLength))
      return Usage("--set twice for one name", assignment);
  if (Args.namedCount == MAX_NAMED) return Usage("too many --set values", assignment);
  NamedValue* v = &Args.named[Args.namedCount++];
  v->name = assignment;
  v->nameLength = nameLength;
  v->value.bytes = assignment + nameLength + 1;
  v->value.length = StrLen(v->value.bytes);
  return 1;
}

// 1 when the arguments make sense; 0 after a usage message; -1 out of memory.
static int ParseArguments(void) {
  char** argv;
  int argc = SplitCommandLine(GetCommandLineA(), &argv);
  if (argc < 0) return -1;
  u32 positional = 0;
  for (int i = 0; i < argc; i++) {
    const char* a = argv[i];
    if (a[0] == '-' && a[1] == '-') {
      int isSet = SameBytes(a, StrLen(a), "--set", 5);
      const char** slot = SameBytes(a, StrLen(a), "--merge", 7)   ? &Args.mergePath
                          : SameBytes(a, StrLen(a), "--only", 6)  ? &Args.onlyPath
                          : SameBytes(a, StrLen(a), "--note", 6)  ? &Args.notePath
                          : SameBytes(a, StrLen(a), "--noted", 7) ? &Args.notedPath
                                                                  : 0;
      if (!isSet && !slot) return Usage("unknown option", a);
      if (i + 1 >= argc) return Usage("a value must follow", a);
      const char* value = argv[++i];
      if (isSet) {
        if (!AddNamed(value)) return 0;
      } else {
        if (*slot) return Usage("given twice", a);
        *slot = value;
      }
    } else if (positional == 0) {
      Args.templatePath = a;
      positional++;
    } else if (positional == 1) {
      Args.outPath = a;
      positional++;
    } else {
      return Usage("too many arguments", a);
    }
  }
  if (positional < 2) return Usage("APP.skt and OUT.exe are needed", 0);
  return 1;
}

// ---- Template --------------------------------------------------------------

static int Refuse(const char* path, const char* reason) { return SayAboutPath(path, reason, 0, ""); }

static struct {
  FileBytes file;
  u32 blockOffset;
  TemplateContents contents;
  ImageLayout layout;
} Template;

static int ReadTemplate(void) {
  const char* path = Args.templatePath;
  DWORD error = ReadWholeFile(path, &Template.file);
  if (error) return SayAboutPath(path, "cannot be read", error, "");
  u32 blockSize;
  int status = FindTemplateBlock(Template.file.data, Template.file.size, &Template.blockOffset, &blockSize);
  const u8* block = Template.file.data + Template.blockOffset;
  TemplateContents* c = &Template.contents;
  ReadProblem problem = {READ_OK, 0, 0};
  // First pass counts the records, the second one fills arrays of that size.
  if (status == READ_OK) status = ReadTemplateBlock(block, blockSize, c, &problem);
  if (status == READ_OK) {
    int ok = AllocLists(&c->data, &c->data);
    c->forced = (BlockForced*)FinishAlloc(c->forcedCount * (u32)sizeof(BlockForced) + 1);
    if (!ok || !c->forced) {
      SayOutOfMemory();
      return 0;
    }
    status = ReadTemplateBlock(block, blockSize, c, &problem);
  }
  if (status != READ_OK) {
    Say("%s: not a usable template: %s", path, ReadReason(status));
    if (status != READ_NO_TRAILER && status != READ_BAD_OFFSET)
      PutFormat(" (chunk at block offset %u)", problem.offset);
    EndLine();
    return 0;
  }
  status = FindImageLocator(Template.file.data, Template.blockOffset, &Template.layout);
  if (status != IMAGE_OK) return Refuse(path, ImageReason(status));
  if (Template.layout.imageEnd > Template.blockOffset) return Refuse(path, "the template's program is cut short");
  if (Template.layout.dataOffset != 0) return Refuse(path, "the template's program already carries data");
  if (!c->rules) return Refuse(path, "has no rules' tables");
  return 1;
}

// ---- Main sequence ---------------------------------------------------------

static char OutFull[PATH_BUFFER_SIZE];
static char OutFolder[PATH_BUFFER_SIZE];
static char OldFull[PATH_BUFFER_SIZE];
static char OldFolder[PATH_BUFFER_SIZE];
static char TemplateFull[PATH_BUFFER_SIZE];
static char TemplateFolder[PATH_BUFFER_SIZE];

static int FoldedEqual(const char* a, const char* b) {
  for (;; a++, b++) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
    if (x != y) return 0;
    if (!x) return 1;
  }
}

// Everything the stub needs of the data where OUT is written. 0 after a
// refusal.
static int CheckLimits(const BlockData* data) {
  int list;
  u32 index;
  u32 folderLength = StrLen(OutFolder);
  u32 installDirLength = folderLength + (OutFolder[folderLength - 1] == '\\' ? 0 : 1);
  int status = CheckDataLimits(data, installDirLength, &list, &index);
  if (status == LIMIT_OK) return 1;
  Say("");
  PutEntry(list, index, 0);
  PutFormat(": %s", LimitReason(status));
  EndLine();
  return 0;
}

// Whether anything is at a file or shortcut entry's path on this machine
// (a "." dir is the folder OUT is written to).
static char EntryPath[2 * PATH_BUFFER_SIZE];
static int Present(const BlockFile* entry) {
  const char* d = entry->dir.bytes;
  u32 dirLength = entry->dir.length, n = 0;
  if (dirLength && d[0] == '.' && (dirLength == 1 || d[1] == '\\')) {
    n = StrLen(OutFolder);
    MemCopy(EntryPath, OutFolder, n);
    d++, dirLength--;
  }
  if (n + dirLength + entry->name.length + 2 > sizeof EntryPath) return 1;  // never taken for new
  MemCopy(EntryPath + n, d, dirLength);
  n += dirLength;
  if (entry->name.length) {
    if (!n || EntryPath[n - 1] != '\\') EntryPath[n++] = '\\';
    MemCopy(EntryPath + n, entry->name.bytes, entry->name.length);
    n += entry->name.length;
  }
  EntryPath[n] = 0;
  return GetFileAttributesA(EntryPath) != INVALID_FILE_ATTRIBUTES;
}

// What the installation wrote, from the installer's byte per template
// entry (files, then shortcuts, then keys): '1' keeps the entry; 'n' keeps
// a file or shortcut that is there now and was not when the installation
// began (`noted`: '1' for each path then free); anything else, or no byte,
// drops it. With `note`, the paths free now are noted instead.
static void KeepOnly(BlockData* data, const FileBytes* keep, const FileBytes* noted, u8* note) {
  void* lists[3] = {data->files, data->shortcuts, data->keys};
  u32* counts[3] = {&data->fileCount, &data->shortcutCount, &data->keyCount};
  static const u32 sizes[3] = {sizeof(BlockFile), sizeof(BlockShortcut), sizeof(BlockKey)};
  u32 at = 0;
  for (int l = 0; l < 3; l++) {
    u8* records = (u8*)lists[l];
    u32 kept = 0;
    for (u32 i = 0; i < *counts[l]; i++, at++) {
      const BlockFile* entry = (const BlockFile*)(records + i * sizes[l]);  // dir and name come first
      if (note && l < 2) note[at] = Present(entry) ? '0' : '1';
      u8 mark = at < keep->size ? keep->data[at] : 0;
      if (mark == 'n' && l < 2) mark = at < noted->size && noted->data[at] == '1' && Present(entry) ? '1' : 0;
      if (mark == '1') MemCopy(records + kept++ * sizes[l], entry, sizes[l]);
    }
    *counts[l] = kept;
  }
}

static int Finish(void) {
  int parsed = ParseArguments();
  if (parsed < 0) {
    SayOutOfMemory();
    return EXIT_REFUSED;
  }
  if (!parsed) return EXIT_USAGE;
  const char* path = Args.outPath;
  int split = SplitFullPath(path, OutFull, OutFolder);
  if (split > 0 && Args.mergePath) split = SplitFullPath(path = Args.mergePath, OldFull, OldFolder);
  if (split < 0) return SayAboutPath(path, "cannot be made a full path", GetLastError(), ""), EXIT_REFUSED;
  if (!split) return Usage("not a file path", path), EXIT_USAGE;

  if (!ReadTemplate()) return EXIT_REFUSED;
  // Putting the uninstaller in place of the template would lose the
  // template.
  if (SplitFullPath(Args.templatePath, TemplateFull, TemplateFolder) > 0 && FoldedEqual(TemplateFull, OutFull))
    return Refuse(Args.outPath, "is the template itself"), EXIT_REFUSED;

  // OLD is read whole, and its file closed, before anything is written: it
  // is often OUT itself.
  FileBytes oldFile = {0, 0};
  BlockData old;
  MemZero(&old, sizeof old);
  if (Args.mergePath && !ReadOldUninstaller(Args.mergePath, &oldFile, &old)) return EXIT_REFUSED;

  // The stub takes a final 0x5C byte for a separator: in a folder whose
  // name ends in a double-byte character with that trail byte, every entry
  // relative to it would name a file beside the folder instead.
  if (EndsInTrailBackslash(OutFolder, StrLen(OutFolder), GetACP()))
    return Refuse(Args.outPath, "folder ends in a character read as a backslash"),
           EXIT_REFUSED;

  ResolveInput input = {&Template.contents, OutFolder, Args.named, Args.namedCount};
  BlockData finished;
  if (!ResolveTemplate(&input, &finished) || !CheckLimits(&finished)) return EXIT_REFUSED;
  const TemplateContents* t = &Template.contents;
  SafetyInput safety = {&finished, &t->data, t->forced, t->forcedCount, t->rules, t->rulesSize,
                        MachineConstants(), OutFolder, Args.named, Args.namedCount, 0, {0, 0, 0}};
  if (!CheckSafety(&safety)) return EXIT_REFUSED;
  if (Args.onlyPath) {
    FileBytes keep = {0, 0}, noted = {0, 0};
    u32 entries = finished.fileCount + finished.shortcutCount;
    u8* note = Args.notePath ? (u8*)FinishAlloc(entries + 1) : 0;
    const char* path = Args.onlyPath;
    DWORD error = ReadWholeFile(path, &keep);
    if (!error && Args.notedPath) error = ReadWholeFile(path = Args.notedPath, &noted);
    if (error) return SayAboutPath(path, "cannot be read", error, ""), EXIT_REFUSED;
    if (Args.notePath && !note) return SayOutOfMemory(), EXIT_REFUSED;
    KeepOnly(&finished, &keep, &noted, note);
    if (note && (error = WriteNewFile(Args.notePath, note, entries)) != 0)
      return SayAboutPath(Args.notePath, "cannot be written", error, ""), EXIT_REFUSED;
  }

  MergeKept kept;
  kept.count = 0;
  if (Args.mergePath) {
    const char* oldFolder = FoldedEqual(OldFolder, OutFolder) ? OutFolder : OldFolder;
    if (!MergeOld(&finished, OutFolder, &old, oldFolder, &kept)) {
      SayOutOfMemory();
      return EXIT_REFUSED;
    }
    // What only the earlier uninstaller lists is judged like the template's
    // own entries.
    SafetyInput earlier = {&kept.data, 0, 0, 0, t->rules, t->rulesSize, MachineConstants(), OutFolder,
                           0, 0, OldFull, {kept.index[0], kept.index[1], kept.index[2]}};
    if (!CheckSafety(&earlier)) return EXIT_REFUSED;
  }
  // Appended key chunks hold three keys; a longer merged list is written as
  // one list, which the stub reads the same way.
  if (finished.keyCount > KEY_SPARE_ENTRIES) finished.keysAppended = 0;

  // Merged entries made absolute may have grown past what the stub can use.
  if (Args.mergePath && !CheckLimits(&finished)) return EXIT_REFUSED;

  // Decided again from the final keys: merged ones count, and the template's
  // own choice could not see what its constants stood for.
  SetExecutionLevel(Template.file.data, Template.layout.imageEnd, finished.keys, finished.keyCount);

  int code = WriteUninstaller(OutFull, OutFolder, Template.file.data, Template.blockOffset,
                              &Template.layout, &finished);
  if (code != EXIT_WRITTEN) return code;
  Say("wrote %s: %u files, %u shortcuts, %u keys", OutFull, finished.fileCount, finished.shortcutCount,
      finished.keyCount);
  if (Args.mergePath) PutFormat(", %u kept from %s", kept.count, OldFull);
  EndLineOn(STD_OUTPUT_HANDLE);
  return EXIT_WRITTEN;
}

int RunFinisher(void) {
  MemZero(&Args, sizeof Args);
  MemZero(&Template, sizeof Template);
  LineLength = 0;
  int code = Finish();
  FreeAllFinishBlocks();
  return code;
}
