/* Self-registering test server: DllUnregisterServer leaves "<dll path>.unregistered". */
#include <windows.h>

static HINSTANCE g_module;

BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) g_module = inst;
    return TRUE;
}

__declspec(dllexport) HRESULT WINAPI DllUnregisterServer(void)
{
    char path[MAX_PATH + 16];
    DWORD len = GetModuleFileNameA(g_module, path, MAX_PATH);
    HANDLE h;
    if (!len) return E_FAIL;
    lstrcatA(path, ".unregistered");
    h = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) return E_FAIL;
    CloseHandle(h);
    return S_OK;
}
