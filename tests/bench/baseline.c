/* The least an uninstaller of the benchmark's application has to do: one
   DeleteFileA per file, one RemoveDirectoryA per folder and one
   RegDeleteKeyA per key, bottom-up, in list order.

   baseline LIST INSTALL_DIR KEY_ROOT   (KEY_ROOT below HKEY_LOCAL_MACHINE)
   boxloop LIST INSTALL_DIR KEY_ROOT CAPTION CONFIRM DONE

   Built twice. baseline.exe is the removal floor, the bare loop; it does
   not even import the window manager. boxloop.exe (WITH_BOXES) is the floor
   of a confirmed run: the confirmation box (OK and Cancel), the loop only
   after OK, then the completion box, as the stub shows them.

   The exit code is the number of calls that failed (at most 255). */
#include <windows.h>
#include "benchlist.h"

int main(int argc, char **argv)
{
    BenchList list;
    char path[1024];
    int i, failed = 0;
#ifdef WITH_BOXES
    if (argc != 7 || !ReadBenchList(argv[1], &list)) return 255;
    if (MessageBoxA(NULL, argv[5], argv[4], MB_OKCANCEL | MB_ICONINFORMATION) != IDOK) return 0;
#else
    if (argc != 4 || !ReadBenchList(argv[1], &list)) return 255;
#endif
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
#ifdef WITH_BOXES
    MessageBoxA(NULL, argv[6], argv[4], MB_ICONINFORMATION);
#endif
    return failed > 255 ? 255 : failed;
}
