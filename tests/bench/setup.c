/* Installs the benchmark's application before a run, or counts what a run
   left of it.

   setup install LIST INSTALL_DIR KEY_ROOT
   setup check   LIST INSTALL_DIR KEY_ROOT

   install creates the folders, the small files and the key tree (each key
   with one value) below HKEY_LOCAL_MACHINE\KEY_ROOT; exit code 0 when all
   of it was made. check prints "left files F folders D keys K" and exits
   with 0 only when nothing is left. */
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include "benchlist.h"

static const char Content[] = "Sweepkit benchmark file: a small file of the application.\r\n";

static int Install(const BenchList *list, const char *dir, const char *root)
{
    char path[1024];
    int i;
    CreateDirectoryA(dir, NULL);
    /* Folders and keys come after their contents in the list: walk it
       backwards so that parents are made first. */
    for (i = list->count - 1; i >= 0; i--) {
        const BenchEntry *e = &list->entries[i];
        if (e->kind == 'D') {
            JoinPath(path, dir, e->path);
            if (!CreateDirectoryA(path, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 1;
        } else if (e->kind == 'F') {
            HANDLE h;
            DWORD written;
            JoinPath(path, dir, e->path);
            h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (h == INVALID_HANDLE_VALUE) return 1;
            WriteFile(h, Content, sizeof Content - 1, &written, NULL);
            CloseHandle(h);
        } else {
            HKEY key;
            JoinPath(path, root, e->path);
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL) !=
                ERROR_SUCCESS)
                return 1;
            RegSetValueExA(key, "Installed", 0, REG_SZ, (const BYTE *)"1", 2);
            RegCloseKey(key);
        }
    }
    return 0;
}

static int Check(const BenchList *list, const char *dir, const char *root)
{
    char path[1024];
    int i, files = 0, folders = 0, keys = 0;
    for (i = 0; i < list->count; i++) {
        const BenchEntry *e = &list->entries[i];
        if (e->kind == 'K') {
            HKEY key;
            JoinPath(path, root, e->path);
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) == ERROR_SUCCESS) {
                keys++;
                RegCloseKey(key);
            }
        } else {
            JoinPath(path, dir, e->path);
            if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
                if (e->kind == 'F') files++; else folders++;
            }
        }
    }
    printf("left files %d folders %d keys %d\n", files, folders, keys);
    fflush(stdout);
    return files + folders + keys ? 1 : 0;
}

int main(int argc, char **argv)
{
    BenchList list;
    if (argc != 5 || !ReadBenchList(argv[2], &list)) {
        fprintf(stderr, "usage: setup install|check LIST INSTALL_DIR KEY_ROOT\n");
        return 3;
    }
    if (!strcmp(argv[1], "install")) return Install(&list, argv[3], argv[4]);
    if (!strcmp(argv[1], "check")) return Check(&list, argv[3], argv[4]);
    return 3;
}
