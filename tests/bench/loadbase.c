/* The least a loader of the same uninstall data has to do: read the packed
   file in one piece and make the loader's allocations, of the same sizes
   and in the same order (string table, then per list: the pointer list, a
   520-byte scratch block and one block per record with its strings), show
   one confirmation box, then free it all.

   loadbase PACKED_EXE

   Exit code 0, or 1 when the file or its data cannot be read. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

#define SCRATCH_SIZE 520

/* The stub's records on i686: two pointers and a flags byte (12 bytes),
   two pointers (8), a root and a pointer (8). */
#define FILE_RECORD_SIZE 12
#define SHORTCUT_RECORD_SIZE 8
#define KEY_RECORD_SIZE 8

typedef struct {
    void **items;
    unsigned count;
} List;

static const unsigned char *g_p, *g_end;

static unsigned U16(void)
{
    unsigned v = 0;
    if (g_p + 2 <= g_end) v = g_p[0] | (g_p[1] << 8);
    g_p += 2;
    return v;
}

static unsigned U32(void)
{
    unsigned v = 0;
    if (g_p + 4 <= g_end) v = g_p[0] | (g_p[1] << 8) | (g_p[2] << 16) | ((unsigned)g_p[3] << 24);
    g_p += 4;
    return v;
}

/* One record of a path list: header bytes, then the two strings with their
   terminators, copied out of the file buffer. */
static void *PathRecord(unsigned header, int withFlags)
{
    unsigned dirLen = U16();
    const unsigned char *dir = g_p;
    unsigned nameLen;
    const unsigned char *name;
    char *block;
    g_p += dirLen;
    nameLen = U16();
    name = g_p;
    g_p += nameLen;
    if (withFlags) g_p++;
    if (g_p > g_end) return NULL;
    block = (char *)calloc(header + dirLen + nameLen + 2, 1);
    if (!block) return NULL;
    memcpy(block + header, dir, dirLen);
    memcpy(block + header + dirLen + 1, name, nameLen);
    return block;
}

static void ReadPathList(List *list, unsigned header, int withFlags)
{
    unsigned i, n = U32();
    void *scratch;
    list->items = (void **)calloc(n + 2, sizeof(void *));
    scratch = calloc(SCRATCH_SIZE, 1);
    if (!list->items || !scratch) exit(1);
    for (i = 0; i < n; i++) {
        if (!(list->items[i] = PathRecord(header, withFlags))) break;
        list->count = i + 1;
    }
    free(scratch);
}

static void ReadKeyList(List *list)
{
    unsigned i, n = U32();
    void *scratch;
    list->items = (void **)calloc(n + 3, sizeof(void *));
    scratch = calloc(SCRATCH_SIZE, 1);
    if (!list->items || !scratch) exit(1);
    for (i = 0; i < n; i++) {
        unsigned len;
        char *block;
        U32();
        len = U16();
        if (g_p + len > g_end || !(block = (char *)calloc(KEY_RECORD_SIZE + len + 1, 1))) break;
        memcpy(block + KEY_RECORD_SIZE, g_p, len);
        g_p += len;
        list->items[i] = block;
        list->count = i + 1;
    }
    free(scratch);
}

static void FreeList(List *list)
{
    unsigned i;
    for (i = 0; i < list->count; i++) free(list->items[i]);
    free(list->items);
}

int main(int argc, char **argv)
{
    HANDLE h;
    DWORD size, got = 0, offset = 0, i;
    unsigned char *data;
    char **strings = NULL;
    unsigned stringCount = 0;
    List files = {0}, shortcuts = {0}, keys = {0};

    if (argc != 2) return 1;
    h = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return 1;
    size = GetFileSize(h, NULL);
    data = (unsigned char *)malloc(size);
    if (!data || !ReadFile(h, data, size, &got, NULL) || got != size) return 1;
    CloseHandle(h);

    /* The locator record: its signature, then the data's offset. */
    for (i = 0; i + 10 <= size; i++) {
        if (!memcmp(data + i, "wwgT)H", 6)) {
            offset = data[i + 6] | (data[i + 7] << 8) | (data[i + 8] << 16) | ((DWORD)data[i + 9] << 24);
            break;
        }
    }
    if (!offset || offset >= size) return 1;

    g_p = data + offset;
    g_end = data + size;
    for (;;) {
        unsigned tag, length;
        const unsigned char *next;
        if (g_p + 8 > g_end) return 1;
        tag = U32() & 0xFFFF;
        length = U32();
        next = g_p + length;
        if (tag == 0x1234 && U16() >= 1 && (stringCount = U16()) != 0) {
            strings = (char **)calloc(stringCount + 1, sizeof(char *));
            if (!strings) return 1;
            for (i = 0; i < stringCount; i++) {
                unsigned len = U16();
                if (!(strings[i] = (char *)calloc(len + 1, 1))) return 1;
                memcpy(strings[i], g_p, len);
                g_p += len;
            }
        } else if (tag == 0x1235) {
            ReadPathList(&files, FILE_RECORD_SIZE, 1);
        } else if (tag == 0x1236) {
            ReadPathList(&shortcuts, SHORTCUT_RECORD_SIZE, 0);
        } else if (tag == 0x1237) {
            ReadKeyList(&keys);
        }
        g_p = next;
        if (tag == 0x7F7F) break;
    }

    MessageBoxA(NULL, stringCount > 1 ? strings[1] : "", stringCount > 0 ? strings[0] : "",
                MB_OKCANCEL | MB_ICONINFORMATION);

    FreeList(&keys);
    FreeList(&shortcuts);
    FreeList(&files);
    for (i = 0; i < stringCount; i++) free(strings[i]);
    free(strings);
    free(data);
    return 0;
}
