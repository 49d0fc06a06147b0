/* A DLL without DllUnregisterServer. */
#include <windows.h>

__declspec(dllexport) int PlainValue(void)
{
    return 7;
}
