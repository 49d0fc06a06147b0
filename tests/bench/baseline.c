/* The least an uninstaller of the benchmark's application has to do: one
   DeleteFileA per file, one RemoveDirectoryA per folder and one
   RegDeleteKeyA per key, bottom-up, in list order.

   baseline LIST INSTALL_DIR KEY_ROOT   (KEY_ROOT below HKEY_LOCAL_MACHINE)

   The exit code is the number of calls that failed (at most 255). */
#include <windows.h>
#include "benchlist.h"

int main(int argc, char **argv)
{
    BenchList list;
    char path[1024];
    int i, failed = 0;
    if (argc != 4 || !ReadBenchList(argv[1], &list)) return 255;
    for (i = 0; i < list.count; i++) {
        const BenchEntry *e = &list.entries[i];
        if (e->kind == 'F') {
            JoinPath(path, argv[2], e->path);
            if (!DeleteFileA(path)) failed++;
        } else if (e->kind == 'D') {
            JoinPath(path, argv[2], e->path);
            if (!RemoveDirectoryA(path)) failed++;
        } else {
            JoinPath(path, argv[3], e->path);
            if (RegDeleteKeyA(HKEY_LOCAL_MACHINE, path) != ERROR_SUCCESS) failed++;
        }
    }
    return failed > 255 ? 255 : failed;
}
