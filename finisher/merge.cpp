// An earlier uninstaller: read strictly, then merged into the new data so
// that the new uninstaller also removes what only the earlier version put
// on the machine.
#include "finisher/finish.h"
#include "format/block_read.h"

// ---- Strict reading --------------------------------------------------------
// The stub's loader forgives a lot; an uninstaller whose entries are about to
// be carried forward must be exactly what the packer writes, so the first
// finding of the strict reader refuses it.

static const char* OldReason;

// The reasons, then the one of each FOUND_ code by its number there.
static const char FindingTexts[] =
    "no end mark\0"                           // 0
    "a chunk runs past the end\0"             // 1
    "a chunk's records do not fill it\0"      // 2
    "an unknown chunk\0"                      // 3
    "the texts are not first\0"               // 4
    "an empty chunk\0"                        // 5
    "a list twice\0"                          // 6
    "misplaced keys\0"                        // 7
    "not the eleven texts\0"                  // 8
    "a record the uninstaller cannot read\0"  // 9
    "bytes after the end mark\0"              // 10
    "a list is missing\0"                     // 11
    "out of memory\0";                        // 12

static const u8 FindingReason[] = {
    0,   // (none)
    0,   // HEADER_CUT
    1,   // PAYLOAD_CUT
    2,   // RECORDS_CUT
    3,   // TAG_HIGH_BITS
    4,   // STRINGS_NOT_FIRST
    5,   // EMPTY_CHUNK
    3,   // UNKNOWN_CHUNK
    6,   // SECOND_LIST
    7,   // KEYS_DISCARDED
    7,   // KEY_BEFORE_LIST
    7,   // TOO_MANY_KEY_CHUNKS
    8,   // GROUP_COUNT
    8,   // STRING_COUNT
    9,   // FLAG_BITS
    9,   // ZERO_BYTE
    9,   // RECORD_TOO_LONG
    2,   // LEFT_OVER
    10,  // END_PAYLOAD
    1,   // END_PAST_FILE
    10,  // AFTER_END
    11,  // LIST_MISSING
    12,  // OUT_OF_MEMORY
};

static_assert(sizeof FindingReason == FOUND_OUT_OF_MEMORY + 1, "a reason for every finding");

static void* OldAlloc(void*, u32 size) { return FinishAlloc(size); }

static int OldFound(void*, const BlockFinding* finding) {
  OldReason = PackedText(FindingTexts, FindingReason[finding->what]);
  return 0;
}

int ReadOldUninstaller(const char* path, FileBytes* file, BlockData* old) {
  DWORD error = ReadWholeFile(path, file);
  if (error) return SayAboutPath(path, "cannot be read", error, "");
  ImageLayout layout;
  int status = FindImageLocator(file->data, file->size, &layout);
  const char* reason = 0;
  if (status != IMAGE_OK) reason = ImageReason(status);
  else if (layout.dataOffset == 0) reason = "no uninstall data";
  else if (layout.dataOffset < layout.imageEnd || layout.dataOffset >= file->size)
    reason = "the data offset is wrong";
  else {
    BlockReadHooks hooks = {0, OldAlloc, OldFound, 0};
    BlockReadEnd end;
    if (ReadDataBlock(file->data + layout.dataOffset, file->size - layout.dataOffset, &hooks, old, &end))
      reason = OldReason;
  }
  if (!reason) return 1;
  return SayAboutPath(path, "not a Sweepkit uninstaller or damaged: ", 0, reason);
}

// ---- Entry identity --------------------------------------------------------

// Full path of a file entry with its `.` resolved against folder, the way the
// removal composes it, without a final backslash (a drive root keeps it).
// Texts are at most 518 bytes together and the folder 259.
enum { KEY_ROOM = PATH_BUFFER_SIZE + RECORD_SCRATCH_SIZE + 4 };

static u32 Append(char* out, u32 n, const char* bytes, u32 length) {
  MemCopy(out + n, bytes, length);
  return n + length;
}

static u32 CodePage;  // the machine's, which its paths are spelled in

// A 0x5C that is the second byte of a two-byte character is no separator.
static int EndsInSeparator(const char* out, u32 n) {
  return n && out[n - 1] == '\\' && !EndsInTrailBackslash(out, n, CodePage);
}

static u32 AppendPart(char* out, u32 n, const char* bytes, u32 length) {
  if (length == 0) return n;
  if (n && !EndsInSeparator(out, n)) out[n++] = '\\';
  return Append(out, n, bytes, length);
}

static u32 ComposeFile(const BlockFile* f, const char* folder, char* out) {
  u32 n = 0;
  const char* dir = f->dir.bytes;
  if (f->dir.length && dir[0] == '.') {
    n = Append(out, 0, folder, StrLen(folder));
    if (f->dir.length >= 2 && dir[1] == '\\') n = AppendPart(out, n, dir + 2, f->dir.length - 2);
  } else {
    n = Append(out, 0, dir, f->dir.length);
  }
  n = AppendPart(out, n, f->name.bytes, f->name.length);
  if (n > 3 && EndsInSeparator(out, n)) n--;
  return n;
}

static u32 ComposeShortcut(const BlockShortcut* s, char* out) {
  return AppendPart(out, Append(out, 0, s->dir.bytes, s->dir.length), s->name.bytes, s->name.length);
}

static u8 Fold(u8 c) { return c >= 'a' && c <= 'z' ? (u8)(c - 'a' + 'A') : c; }

// Identities of all entries of one kind: folded bytes with a hash each.
struct Identity {
  const char* bytes;
  u32 length;
  u32 hash;
};

// FNV-1a, a byte at a time, so that a prefix's hash is a step on the way.
enum : u32 { HASH_START = 2166136261u };
static u32 HashStep(u32 hash, char c) { return (hash ^ (u8)c) * 16777619u; }

// Letters are folded as the system compares names; the second byte of a
// two-byte character is no letter (ヂ and ア differ there only in a-z case).
static int MakeIdentity(Identity* id, const char* composed, u32 length, u32 root) {
  char* copy = (char*)FinishAlloc(length + 1);
  if (!copy) return 0;
  u32 hash = HASH_START ^ root;
  int trail = 0;
  for (u32 i = 0; i < length; i++) {
    copy[i] = trail ? composed[i] : (char)Fold((u8)composed[i]);
    trail = !trail && IsLeadByte(CodePage, (u8)composed[i]);
    hash = HashStep(hash, copy[i]);
  }
  id->bytes = copy;
  id->length = length;
  id->hash = hash;
  return 1;
}

static int SameIdentity(const Identity* a, const Identity* b) {
  if (a->hash != b->hash || a->length != b->length) return 0;
  for (u32 i = 0; i < a->length; i++)
    if (a->bytes[i] != b->bytes[i]) return 0;
  return 1;
}

// Identities found by their hash, so that a merge or an ordering of tens of
// thousands of entries stays linear: a chain per bucket of links (index + 1,
// 0 ending a chain) into an array of identities.
struct IdTable {
  const Identity* ids;
  u32* head;
  u32* next;
  u32 mask;
};

static int MakeTable(IdTable* t, const Identity* ids, u32 room) {
  u32 buckets = 16;
  while (buckets < room && buckets < 0x10000000u) buckets <<= 1;
  t->ids = ids;
  t->head = (u32*)FinishAlloc(buckets * (u32)sizeof(u32));
  t->next = (u32*)FinishAlloc(room * (u32)sizeof(u32) + 1);
  t->mask = buckets - 1;
  return t->head && t->next;
}

// Put at the head of its chain: inserted in descending order, a chain lists
// equal identities by ascending index.
static void Insert(IdTable* t, u32 index) {
  u32* head = &t->head[t->ids[index].hash & t->mask];
  t->next[index] = *head;
  *head = index + 1;
}

// The first link from `link` on whose identity equals id; 0 when none.
static u32 FindFrom(const IdTable* t, u32 link, const Identity* id) {
  for (; link; link = t->next[link - 1])
    if (SameIdentity(&t->ids[link - 1], id)) return link;
  return 0;
}

static u32 Find(const IdTable* t, const Identity* id) { return FindFrom(t, t->head[id->hash & t->mask], id); }

// ---- Union -----------------------------------------------------------------

static char* Composed;

// Identity of a record: the composed path (a key's path with its root).
typedef u32 (*ComposeProc)(const void* record, const char* folder, char* out, u32* root);

static u32 ComposeFileRecord(const void* record, const char* folder, char* out, u32* root) {
  *root = 0;
  return ComposeFile((const BlockFile*)record, folder, out);
}

static u32 ComposeShortcutRecord(const void* record, const char*, char* out, u32* root) {
  *root = 0;
  return ComposeShortcut((const BlockShortcut*)record, out);
}

static u32 ComposeKeyRecord(const void* record, const char*, char* out, u32* root) {
  const BlockKey* key = (const BlockKey*)record;
  *root = key->root;
  return Append(out, 0, key->path.bytes, key->path.length);
}

// The new records, then each old one that equals none of them, its index
// in the old list into from[]. A file both list keeps the flags either
// release set: a DLL shared in one release and plain in the next still
// gives its count back. *list gets a new array.
static int MergeList(void** list, u32* count, const void* oldList, u32 oldCount, u32 size,
                     ComposeProc compose, const char* outFolder, const char* oldFolder, u32* kept,
                     u32** from) {
  u32 total = *count + oldCount;
  u8* merged = (u8*)FinishAlloc(total * size + 1);
  Identity* ids = (Identity*)FinishAlloc(total * (u32)sizeof(Identity) + 1);
  IdTable table;
  *from = (u32*)FinishAlloc(oldCount * (u32)sizeof(u32) + 1);
  if (!merged || !ids || !*from || !MakeTable(&table, ids, total)) return 0;
  MemCopy(merged, *list, *count * size);
  u32 n = *count;
  for (u32 i = 0; i < total; i++) {
    int isOld = i >= *count;
    const u8* record = isOld ? (const u8*)oldList + (i - *count) * size : merged + i * size;
    u32 root;
    u32 length = compose(record, isOld ? oldFolder : outFolder, Composed, &root);
    u32 at = isOld ? n : i;
    if (!MakeIdentity(&ids[at], Composed, length, root)) return 0;
    if (isOld) {
      u32 link = Find(&table, &ids[at]);
      if (link) {
        if (compose == ComposeFileRecord) ((BlockFile*)merged)[link - 1].flags |= ((const BlockFile*)record)->flags;
        continue;
      }
      MemCopy(merged + n * size, record, size);
      (*from)[n - *count] = i - *count;
      n++;
      ++*kept;
    }
    Insert(&table, at);
  }
  *list = merged;
  *count = n;
  return 1;
}

// A `.` dir of an uninstaller in another folder, made absolute, in its one
// spelling (a folder ending in a 0x5C trail byte keeps a separator).
static int AbsoluteDir(BlockText* dir, const char* folder) {
  char* path = (char*)FinishAlloc(KEY_ROOM);
  if (!path) return 0;
  u32 n = Append(path, 0, folder, StrLen(folder));
  if (dir->length >= 2 && dir->bytes[1] == '\\') n = AppendPart(path, n, dir->bytes + 2, dir->length - 2);
  u32 written = n;
  if (!CanonicalDir(path, &n, KEY_ROOM - 1, CodePage)) n = written;  // a .. part: the rules refuse it
  path[n] = 0;
  dir->bytes = path;
  dir->length = n;
  return 1;
}

// ---- Directory order -------------------------------------------------------
// The file stage removes a directory entry where it stands in the list, so
// it must come after every entry inside it. Entries keep their order except
// that a directory waits until the last entry inside it has gone out.

static struct {
  const BlockFile* in;
  Identity* ids;
  IdTable dirs;    // directory entries only
  u32* waiting;    // per entry: entries inside it not yet out (dirs only)
  u8* deferred;
  u8* out;
  BlockFile* result;
  u32 resultCount;
} Order;

static void Emit(u32 i);

// Each directory entry that entry i is inside, found as a prefix of its path
// that ends before a backslash or with one (a drive root): counted, or once i
// is out released, which puts out a deferred directory nothing waits in.
static void Enclosing(u32 i, int release) {
  const Identity* entry = &Order.ids[i];
  Identity prefix = {entry->bytes, 0, HASH_START};  // a file's root is 0
  for (u32 p = 1; p < entry->length; p++) {
    prefix.hash = HashStep(prefix.hash, entry->bytes[p - 1]);
    if (entry->bytes[p] != '\\' && entry->bytes[p - 1] != '\\') continue;
    prefix.length = p;
    u32 link = Find(&Order.dirs, &prefix);
    for (; link; link = FindFrom(&Order.dirs, Order.dirs.next[link - 1], &prefix)) {
      u32 d = link - 1;
      if (!release) Order.waiting[d]++;
      else if (!Order.out[d] && --Order.waiting[d] == 0 && Order.deferred[d]) Emit(d);
    }
  }
}

static void Emit(u32 i) {
  Order.out[i] = 1;
  Order.result[Order.resultCount++] = Order.in[i];
  Enclosing(i, 1);
}

static int OrderDirectories(BlockData* data, const char* outFolder) {
  u32 n = data->fileCount;
  MemZero(&Order, sizeof Order);
  Order.in = data->files;
  Order.ids = (Identity*)FinishAlloc(n * (u32)sizeof(Identity) + 1);
  Order.waiting = (u32*)FinishAlloc(n * (u32)sizeof(u32) + 1);
  Order.deferred = (u8*)FinishAlloc(n + 1);
  Order.out = (u8*)FinishAlloc(n + 1);
  Order.result = (BlockFile*)FinishAlloc(n * (u32)sizeof(BlockFile) + 1);
  if (!Order.ids || !Order.waiting || !Order.deferred || !Order.out || !Order.result ||
      !MakeTable(&Order.dirs, Order.ids, n))
    return 0;
  for (u32 i = 0; i < n; i++)
    if (!MakeIdentity(&Order.ids[i], Composed, ComposeFile(&data->files[i], outFolder, Composed), 0))
      return 0;
  for (u32 i = n; i-- > 0;)
    if (data->files[i].name.length == 0 && Order.ids[i].length) Insert(&Order.dirs, i);
  for (u32 i = 0; i < n; i++) Enclosing(i, 0);
  for (u32 i = 0; i < n; i++) {
    if (Order.out[i]) continue;
    if (Order.waiting[i]) Order.deferred[i] = 1;
    else Emit(i);
  }
  data->files = Order.result;
  return 1;
}

int MergeOld(BlockData* data, const char* outFolder, BlockData* old, const char* oldFolder,
             MergeKept* kept) {
  MemZero(kept, sizeof *kept);
  CodePage = MachineCodePage();
  u32 newShortcuts = data->shortcutCount, newKeys = data->keyCount;
  // An earlier uninstaller's folders in the one spelling of the new ones, so
  // that an entry both list is one entry.
  Composed = (char*)FinishAlloc(KEY_ROOM);
  if (!CanonicalDirs(old)) return 0;
  u32 newFiles = data->fileCount;
  if (!Composed ||
      !MergeList((void**)&data->files, &data->fileCount, old->files, old->fileCount, (u32)sizeof(BlockFile),
                 ComposeFileRecord, outFolder, oldFolder, &kept->count, &kept->index[0]) ||
      !MergeList((void**)&data->shortcuts, &data->shortcutCount, old->shortcuts, old->shortcutCount,
                 (u32)sizeof(BlockShortcut), ComposeShortcutRecord, outFolder, oldFolder, &kept->count,
                 &kept->index[1]) ||
      !MergeList((void**)&data->keys, &data->keyCount, old->keys, old->keyCount, (u32)sizeof(BlockKey),
                 ComposeKeyRecord, outFolder, oldFolder, &kept->count, &kept->index[2]))
    return 0;
  if (oldFolder != outFolder) {
    for (u32 i = newFiles; i < data->fileCount; i++) {
      BlockText* dir = &data->files[i].dir;
      if (dir->length && dir->bytes[0] == '.' && !AbsoluteDir(dir, oldFolder)) return 0;
    }
  }
  // The kept entries stand at the end of each list until the files are
  // ordered.
  BlockData* k = &kept->data;
  k->files = data->files + newFiles;
  k->fileCount = data->fileCount - newFiles;
  k->shortcuts = data->shortcuts + newShortcuts;
  k->shortcutCount = data->shortcutCount - newShortcuts;
  k->keys = data->keys + newKeys;
  k->keyCount = data->keyCount - newKeys;
  return OrderDirectories(data, outFolder);
}
