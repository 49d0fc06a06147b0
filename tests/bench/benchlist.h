/* The application's list as the benchmark programs read it: one plain text
   file, read in one piece, one entry a line:
     F <path>   a file, relative to the installation folder
     D <path>   a folder, relative to the installation folder
     K <path>   a registry key below the tree root (empty: the root itself)
   Keys are listed bottom-up (children before their parent), folders after
   their files. */
#ifndef BENCHLIST_H
#define BENCHLIST_H

#include <windows.h>
#include <stdlib.h>

typedef struct {
    char kind;         /* 'F', 'D' or 'K' */
    const char *path;  /* points into the list's buffer */
} BenchEntry;

typedef struct {
    char *text;
    BenchEntry *entries;
    int count;
} BenchList;

/* Reads the whole file and cuts it into entries in place; 0 on failure. */
static int ReadBenchList(const char *file, BenchList *list)
{
    HANDLE h = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD size, got = 0;
    int lines = 0, n = 0;
    char *p, *end;
    if (h == INVALID_HANDLE_VALUE) return 0;
    size = GetFileSize(h, NULL);
    list->text = (char *)malloc(size + 1);
    if (!list->text || !ReadFile(h, list->text, size, &got, NULL) || got != size) {
        CloseHandle(h);
        return 0;
    }
    CloseHandle(h);
    list->text[size] = 0;
    for (p = list->text; *p; p++)
        if (*p == '\n') lines++;
    list->entries = (BenchEntry *)malloc((lines + 1) * sizeof(BenchEntry));
    if (!list->entries) return 0;
    for (p = list->text; *p; p = end) {
        char *line = p;
        for (end = p; *end && *end != '\n'; end++) {}
        if (*end) *end++ = 0;
        if (end - line >= 2 && end[-2] == '\r') end[-2] = 0;
        if ((line[0] == 'F' || line[0] == 'D' || line[0] == 'K') && (line[1] == ' ' || line[1] == 0)) {
            list->entries[n].kind = line[0];
            list->entries[n].path = line[1] ? line + 2 : line + 1;
            n++;
        }
    }
    list->count = n;
    return 1;
}

/* base + "\" + rel into out (rel may be empty: base alone). */
static void JoinPath(char *out, const char *base, const char *rel)
{
    char *o = out;
    while (*base) *o++ = *base++;
    if (*rel) {
        if (o > out && o[-1] != '\\') *o++ = '\\';
        while (*rel) *o++ = *rel++;
    }
    *o = 0;
}

#endif
