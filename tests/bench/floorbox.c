/* Start-up floors of the benchmark: a windowed program that does nothing but
   show the stub's confirmation box and exit.

   floorbox CAPTION TEXT

   Built twice. As floorbox.exe it imports only what showing a box needs.
   As floorole.exe (WITH_OLE) it also imports from every system DLL the stub
   imports from, so that the loader maps the same set, and calls
   OleInitialize before the box and OleUninitialize after it, as the stub
   does. Exit code 0. */
#include <windows.h>
#ifdef WITH_OLE
#include <shlobj.h>
#include <ole2.h>
#include <stdlib.h>

/* Referenced, never called: each keeps its DLL in the import table. */
void *volatile g_keepImports[] = {
    (void *)GetStockObject, (void *)RegCloseKey, (void *)SHGetPathFromIDListA,
    (void *)CoTaskMemFree, (void *)calloc,
};
#endif

int main(int argc, char **argv)
{
    if (argc != 3) return 1;
#ifdef WITH_OLE
    OleInitialize(NULL);
#endif
    MessageBoxA(NULL, argv[2], argv[1], MB_OKCANCEL | MB_ICONINFORMATION);
#ifdef WITH_OLE
    OleUninitialize();
#endif
    return 0;
}
