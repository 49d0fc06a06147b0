// The simulated Windows behaves the way the logic's tests assume real
// Windows does: error codes, registry semantics, scripted answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/host/sim.h"

namespace {

class Sim : public ::testing::Test {
 protected:
  void SetUp() override { SimReset(); }
};

DWORD DeleteError(const char* path) {
  EXPECT_FALSE(DeleteFileA(path)) << path;
  return GetLastError();
}

TEST_F(Sim, DeleteFileErrorCodes) {
  SimAddFile("C:\\App\\plain.txt");
  SimAddFile("C:\\App\\locked.txt", "", FILE_ATTRIBUTE_READONLY);
  SimAddFile("C:\\App\\held.txt");
  SimHoldOpen("C:\\App\\held.txt");
  EXPECT_EQ(2u, DeleteError("C:\\App\\missing.txt"));
  EXPECT_EQ(3u, DeleteError("C:\\Nowhere\\missing.txt"));
  EXPECT_EQ(5u, DeleteError("C:\\App\\locked.txt"));
  EXPECT_EQ(32u, DeleteError("C:\\App\\held.txt"));
  EXPECT_EQ(5u, DeleteError("C:\\App"));
  EXPECT_TRUE(DeleteFileA("c:\\app\\PLAIN.TXT"));  // A-Z fold only
  EXPECT_FALSE(SimExists("C:\\App\\plain.txt"));
  EXPECT_EQ(6, SimCallCount("DeleteFileA"));
  EXPECT_EQ("DeleteFileA(C:\\App\\missing.txt)", SimCalls()[0]);
}

TEST_F(Sim, NonAsciiBytesAreNotFolded) {
  SimAddFile("C:\\\xC0\\a.txt");  // upper-case A with grave in Windows-1252
  EXPECT_FALSE(SimExists("C:\\\xE0\\a.txt"));
  EXPECT_TRUE(SimExists("c:\\\xC0\\A.TXT"));
}

TEST_F(Sim, RemoveDirectoryAndCurrentDirectory) {
  SimAddFile("C:\\App\\Sub\\f.txt");
  EXPECT_FALSE(RemoveDirectoryA("C:\\App"));
  EXPECT_EQ(145u, GetLastError());
  EXPECT_FALSE(RemoveDirectoryA("C:\\Gone"));
  EXPECT_EQ(2u, GetLastError());

  ASSERT_TRUE(SetCurrentDirectoryA("C:\\App\\Sub"));
  ASSERT_TRUE(DeleteFileA("f.txt"));  // relative to the current directory
  EXPECT_FALSE(RemoveDirectoryA("C:\\App\\Sub"));
  EXPECT_EQ(32u, GetLastError());
  ASSERT_TRUE(SetCurrentDirectoryA(".."));
  EXPECT_EQ("C:\\App", SimCurrentDirectory());
  EXPECT_TRUE(RemoveDirectoryA("Sub\\"));  // a trailing backslash is fine
  EXPECT_FALSE(SimExists("C:\\App\\Sub"));
}

// WideCharToMultiByte: a character the code page lacks becomes the default
// character and is reported; UTF-7 and UTF-8 take neither a default character
// nor the flag (ERROR_INVALID_PARAMETER), CP_ACP included when it is UTF-8.
TEST_F(Sim, WideToMultiByteDefaultCharacterRules) {
  const WCHAR text[] = {'g', 0x00EF, 'd', 0x0416};  // g, i with diaeresis, d, Cyrillic Zhe
  const char dash = '-';
  struct Case {
    UINT acp;
    UINT codepage;
    bool defaultChar, usedFlag;
    int result;
    const char* bytes;  // on success
    DWORD error;        // on failure
    BOOL used;
  } cases[] = {
      {1252, 1252, false, true, 4, "g\xEF" "d?", 0, TRUE},
      {1252, 1252, true, true, 4, "g\xEF" "d-", 0, TRUE},
      {1252, 1251, false, true, 4, "g?d\xC6", 0, TRUE},
      {1252, CP_UTF8, false, false, 6, "g\xC3\xAF" "d\xD0\x96", 0, FALSE},
      {1252, CP_UTF8, false, true, 0, "", ERROR_INVALID_PARAMETER, FALSE},
      {1252, CP_UTF8, true, false, 0, "", ERROR_INVALID_PARAMETER, FALSE},
      {1252, CP_UTF7, false, true, 0, "", ERROR_INVALID_PARAMETER, FALSE},
      {CP_UTF8, CP_ACP, false, true, 0, "", ERROR_INVALID_PARAMETER, FALSE},
      {CP_UTF8, CP_ACP, false, false, 6, "g\xC3\xAF" "d\xD0\x96", 0, FALSE},
  };
  for (const Case& c : cases) {
    SimSetAnsiCodePage(c.acp);
    char out[16] = {};
    BOOL used = FALSE;
    int n = WideCharToMultiByte(c.codepage, 0, text, 4, out, sizeof out, c.defaultChar ? &dash : nullptr,
                                c.usedFlag ? &used : nullptr);
    std::string what = "ACP " + std::to_string(c.acp) + ", code page " + std::to_string(c.codepage) +
                       (c.defaultChar ? ", default character" : "") + (c.usedFlag ? ", used flag" : "");
    EXPECT_EQ(c.result, n) << what;
    EXPECT_EQ(std::string(c.bytes), std::string(out, n > 0 ? size_t(n) : 0)) << what;
    EXPECT_EQ(c.error, n ? 0u : GetLastError()) << what;
    EXPECT_EQ(c.used, used) << what;
  }
}

TEST_F(Sim, FileHandlesReadWriteSeekAndSharing) {
  HANDLE out = CreateFileA("C:\\x.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, out);
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileA("C:\\x.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(32u, GetLastError());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(out, "abcdef", 6, &written, nullptr));
  ASSERT_TRUE(CloseHandle(out));
  EXPECT_EQ("abcdef", SimFileBytes("C:\\x.bin"));

  HANDLE in = CreateFileA("C:\\x.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, in);
  EXPECT_EQ(1, SimOpenHandleCount());
  char buffer[8] = {};
  DWORD read = 0;
  EXPECT_EQ(4u, SetFilePointer(in, 4, nullptr, FILE_BEGIN));
  ASSERT_TRUE(ReadFile(in, buffer, 8, &read, nullptr));  // short read at the end
  EXPECT_EQ(2u, read);
  EXPECT_EQ(0, std::memcmp(buffer, "ef", 2));
  EXPECT_EQ(100u, SetFilePointer(in, 100, nullptr, FILE_BEGIN));
  ASSERT_TRUE(ReadFile(in, buffer, 8, &read, nullptr));
  EXPECT_EQ(0u, read);
  CloseHandle(in);
  EXPECT_EQ(0, SimOpenHandleCount());

  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileA("C:\\none.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(2u, GetLastError());
}

TEST_F(Sim, ModulePathTruncatesLikeXp) {
  SimSetModulePath("C:\\App\\Uninst.exe");  // 17 bytes
  char buffer[32];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(17u, GetModuleFileNameA(nullptr, buffer, sizeof buffer));
  EXPECT_STREQ("C:\\App\\Uninst.exe", buffer);
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(10u, GetModuleFileNameA(nullptr, buffer, 10));
  EXPECT_EQ('x', buffer[10]);  // no terminator written
  EXPECT_EQ(0, std::memcmp(buffer, "C:\\App\\Uni", 10));
}

TEST_F(Sim, ShortNamesInPlace) {
  SimAddFile("C:\\Program Files\\Editor\\Remove.exe");
  SimSetShortName("C:\\Program Files", "C:\\PROGRA~1");
  char path[MAX_PATH] = "C:\\Program Files\\Editor\\";
  EXPECT_EQ(19u, GetShortPathNameA(path, path, MAX_PATH));
  EXPECT_STREQ("C:\\PROGRA~1\\Editor\\", path);
  char plain[MAX_PATH] = "C:\\WINDOWS";
  EXPECT_EQ(10u, GetShortPathNameA(plain, plain, MAX_PATH));
  EXPECT_STREQ("C:\\WINDOWS", plain);
  EXPECT_EQ(0u, GetShortPathNameA("C:\\Missing", plain, MAX_PATH));
}

TEST_F(Sim, QueryValueSemantics) {
  const char* path = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  SimRegSetDword(HKEY_LOCAL_MACHINE, path, "C:\\App\\a.dll", 3);
  SimRegSetValue(HKEY_LOCAL_MACHINE, path, "C:\\App\\long.dll", REG_BINARY, "12345678");
  HKEY key = nullptr;
  ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ("RegOpenKeyExA(HKLM," + std::string(path) + ",0x0,0xf003f)", SimCalls().back());
  EXPECT_EQ(1, SimOpenKeyCount());

  DWORD value = 1, type = REG_DWORD, size = 4;
  ASSERT_EQ(0, RegQueryValueExA(key, "c:\\app\\A.DLL", nullptr, &type, (LPBYTE)&value, &size));
  EXPECT_EQ(3u, value);
  value = 1;
  size = 4;
  EXPECT_EQ(234, RegQueryValueExA(key, "C:\\App\\long.dll", nullptr, &type, (LPBYTE)&value, &size));
  EXPECT_EQ(1u, value);  // untouched
  EXPECT_EQ(8u, size);
  EXPECT_EQ((DWORD)REG_BINARY, type);
  size = 0;
  EXPECT_EQ(0, RegQueryValueExA(key, "C:\\App\\long.dll", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(8u, size);
  EXPECT_EQ(2, RegQueryValueExA(key, "C:\\App\\none.dll", nullptr, &type, (LPBYTE)&value, &size));

  ASSERT_EQ(0, RegDeleteValueA(key, "C:\\App\\a.dll"));
  EXPECT_FALSE(SimRegValueExists(HKEY_LOCAL_MACHINE, path, "C:\\App\\a.dll"));
  EXPECT_EQ(0, RegCloseKey(key));
  EXPECT_EQ(0, SimOpenKeyCount());
  EXPECT_EQ(2, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\None", 0, KEY_ALL_ACCESS, &key));
}

TEST_F(Sim, EnumerationIsAlphabeticalAndBounded) {
  SimRegCreateKey(HKEY_CURRENT_USER, "Top\\beta");
  SimRegCreateKey(HKEY_CURRENT_USER, "Top\\Alpha");
  SimRegCreateKey(HKEY_CURRENT_USER, "Top\\gamma");
  HKEY key;
  ASSERT_EQ(0, RegOpenKeyExA(HKEY_CURRENT_USER, "Top", 0, KEY_ENUMERATE_SUB_KEYS, &key));
  char name[16];
  std::vector<std::string> names;
  for (DWORD i = 0;; i++) {
    DWORD size = sizeof name;
    LONG rc = RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc == 259) break;
    ASSERT_EQ(0, rc);
    EXPECT_EQ(std::strlen(name), size);
    names.push_back(name);
  }
  EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", "gamma"}), names);
  DWORD small = 5;  // "Alpha" needs 6 with its terminator
  EXPECT_EQ(234, RegEnumKeyExA(key, 0, name, &small, nullptr, nullptr, nullptr, nullptr));
  // Opened without KEY_QUERY_VALUE: values cannot be read.
  DWORD size = sizeof name;
  EXPECT_EQ(5, RegQueryValueExA(key, "", nullptr, nullptr, (LPBYTE)name, &size));
  RegCloseKey(key);
}

TEST_F(Sim, DeleteKeyPerPlatform) {
  SimRegCreateKey(HKEY_LOCAL_MACHINE, "Software\\App\\Sub");
  EXPECT_EQ(5, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\App"));  // NT: subkeys remain
  EXPECT_TRUE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\App\\Sub"));
  EXPECT_EQ(0, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\App\\Sub"));
  EXPECT_EQ(0, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\App"));
  EXPECT_EQ(2, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\App"));

  SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
  SimRegCreateKey(HKEY_LOCAL_MACHINE, "Software\\App\\Sub\\Deeper");
  EXPECT_EQ(0, RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\App"));  // 95/98: the whole tree
  EXPECT_FALSE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software\\App"));
  EXPECT_TRUE(SimRegKeyExists(HKEY_LOCAL_MACHINE, "Software"));

  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(GetVersionExA(&info));
  EXPECT_EQ((DWORD)VER_PLATFORM_WIN32_WINDOWS, info.dwPlatformId);

  SimRegDenyOpen(HKEY_CURRENT_USER, "Locked");
  HKEY key;
  EXPECT_EQ(5, RegOpenKeyExA(HKEY_CURRENT_USER, "Locked", 0, KEY_ALL_ACCESS, &key));
}

TEST_F(Sim, FailureInjectionHitsTheNthCall) {
  SimAddFile("C:\\a.txt");
  SimAddFile("C:\\b.txt");
  SimFailCall("DeleteFileA", 2, 19);
  EXPECT_TRUE(DeleteFileA("C:\\missing-but-first.txt") == FALSE && GetLastError() == 2);
  EXPECT_FALSE(DeleteFileA("C:\\a.txt"));
  EXPECT_EQ(19u, GetLastError());
  EXPECT_TRUE(SimExists("C:\\a.txt"));
  EXPECT_TRUE(DeleteFileA("C:\\a.txt"));

  SimFailCall("RegOpenKeyExA", 0, 1234);
  HKEY key;
  EXPECT_EQ(1234, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS, &key));
  EXPECT_EQ(1234, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_ALL_ACCESS, &key));

  SimFailCallsFrom("GetFileAttributesA", 2, 21);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\b.txt"));
  for (int i = 0; i < 3; i++) EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA("C:\\b.txt")) << "call " << i + 2;
}

TEST_F(Sim, AllocationFailuresAndCounts) {
  void* first = RtCalloc(16);
  ASSERT_NE(nullptr, first);
  SimFailAllocations(2, 2);  // the 2nd and 3rd calls from here on
  void* a = RtCalloc(16);
  EXPECT_NE(nullptr, a);
  EXPECT_EQ(nullptr, RtCalloc(16));
  EXPECT_EQ(nullptr, RtCalloc(16));
  void* b = RtCalloc(16);
  EXPECT_NE(nullptr, b);
  EXPECT_EQ(nullptr, RtCalloc(300u * 1024 * 1024));  // more than a 32-bit process gets
  EXPECT_EQ(6, SimAllocationCount());
  EXPECT_EQ(3, SimLiveBlocks());
  EXPECT_EQ(0, static_cast<char*>(b)[15]);  // zero-filled
  RtFree(first);
  RtFree(a);
  RtFree(b);
  RtFree(nullptr);
  EXPECT_EQ(0, SimLiveBlocks());
}

TEST_F(Sim, FreeingAnUnknownBlockAborts) {
  int local = 0;
  EXPECT_DEATH(RtFree(&local), "RtFree");
}

// A dialog procedure that does what the write-protected prompt does.
HFONT gFont;
INT_PTR CALLBACK PromptProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
      SendMessageA(child, WM_SETFONT, (WPARAM)gFont, 0);
    SetWindowTextA(dialog, "Caption");
    SetDlgItemTextA(dialog, 1000, (const char*)lParam);
    return 1;
  }
  if (message == WM_COMMAND) {
    EndDialog(dialog, LOWORD(wParam));
    return 1;
  }
  if (message == WM_CTLCOLORBTN) {
    SetBkColor((HDC)wParam, GetSysColor(COLOR_BTNFACE));
    return 77;
  }
  return 0;
}

TEST_F(Sim, DialogScriptAndSnapshot) {
  SimAddDialogTemplate(109, {6, 1001, 1000, 7, 1002});
  SimSetSysColor(COLOR_BTNFACE, RGB(1, 2, 3));
  LOGFONTA logFont{};
  HFONT templateFont;
  {
    // The template font as the dialog reports it, in a one-off dialog.
    struct Probe {
      static INT_PTR CALLBACK Proc(HWND d, UINT m, WPARAM, LPARAM p) {
        if (m == WM_INITDIALOG) *(HFONT*)p = (HFONT)SendMessageA(d, WM_GETFONT, 0, 0);
        if (m == WM_COMMAND) EndDialog(d, 0);
        return 0;
      }
    };
    SimAnswerDialog(2);
    DialogBoxParamA(nullptr, MAKEINTRESOURCEA(109), nullptr, Probe::Proc, (LPARAM)&templateFont);
  }
  logFont = SimFont(templateFont);
  EXPECT_EQ(-11, logFont.lfHeight);
  EXPECT_EQ(700, logFont.lfWeight);
  EXPECT_STREQ("MS Sans Serif", logFont.lfFaceName);

  logFont.lfWeight = FW_NORMAL;
  gFont = CreateFontIndirectA(&logFont);
  SimAnswerDialog(1001);
  char text[] = "message";
  EXPECT_EQ(1001, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(109), nullptr, PromptProc, (LPARAM)text));
  EXPECT_EQ(0, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(109), nullptr, PromptProc, (LPARAM)text) - IDCANCEL);
  EXPECT_EQ(1, SimUnscriptedDialogs());
  EXPECT_EQ(-1, DialogBoxParamA(nullptr, MAKEINTRESOURCEA(110), nullptr, PromptProc, 0));

  ASSERT_EQ(3u, SimDialogs().size());
  const SimDialogRecord& shown = SimDialogs()[1];
  EXPECT_EQ("Caption", shown.caption);
  EXPECT_EQ("message", shown.texts.at(1000));
  EXPECT_EQ(5u, shown.fonts.size());
  for (const auto& entry : shown.fonts) EXPECT_EQ(gFont, entry.second) << entry.first;
  EXPECT_EQ(1, shown.initResult);
  EXPECT_EQ(77, shown.colorResults.at(WM_CTLCOLORBTN));
  EXPECT_EQ(0, shown.colorResults.at(WM_CTLCOLORDLG));
  ASSERT_EQ(1u, shown.bkColors.size());
  EXPECT_EQ(RGB(1, 2, 3), shown.bkColors[0].second);
  EXPECT_EQ(0, SimLiveWindowCount());
  EXPECT_TRUE(DeleteObject(gFont));
  EXPECT_EQ(0, SimLiveGdiObjects());
}

TEST_F(Sim, MessageBoxesFollowTheScript) {
  SimAnswerMessageBox(IDOK);
  EXPECT_EQ(IDOK, MessageBoxA(nullptr, "Go?", "Cap", MB_OKCANCEL | MB_ICONINFORMATION));
  EXPECT_EQ(IDNO, MessageBoxA(nullptr, "Remove?", "Cap", MB_YESNO));
  EXPECT_EQ(IDCANCEL, MessageBoxA(nullptr, "Go?", "Cap", MB_OKCANCEL));
  EXPECT_EQ(2, SimUnscriptedBoxes());
  SimAnswerMessageBox(IDYES);
  MessageBoxA(nullptr, "Done", "Cap", MB_OK);
  EXPECT_EQ(1, SimMisfitAnswers());
  ASSERT_EQ(4u, SimMessageBoxes().size());
  EXPECT_EQ("Remove?", SimMessageBoxes()[1].text);
  EXPECT_EQ("MessageBoxA(owner=0,type=0x41)", SimCalls()[0]);
}

// The owner window's procedure as the run uses it.
LRESULT CALLBACK OwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcA(window, message, wParam, lParam);
}

TEST_F(Sim, WindowLifecycleAndQueue) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = OwnerProc;
  wc.lpszClassName = "TestClass";
  ASSERT_NE(0, RegisterClassA(&wc));
  EXPECT_EQ(0, RegisterClassA(&wc));
  HWND window = CreateWindowExA(0, "testclass", "Title", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, window);
  EXPECT_EQ("Title", SimWindowTitle(window));
  SimPostMessage(window, WM_USER, 0, 0);
  MessageBoxA(window, "before", "", MB_OK);
  ASSERT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(SimWindowExists(window));
  MessageBoxA(window, "after", "", MB_OK);
  ASSERT_EQ(2u, SimMessageBoxes().size());
  EXPECT_TRUE(SimMessageBoxes()[0].ownerExists);
  EXPECT_FALSE(SimMessageBoxes()[1].ownerExists);
  SimPostMessage(nullptr, WM_USER + 1, 0, 0);  // posted after the quit: still read first

  MSG msg;
  std::vector<UINT> read;
  while (GetMessageA(&msg, nullptr, 0, 0)) read.push_back(msg.message);
  EXPECT_EQ((std::vector<UINT>{WM_USER, WM_USER + 1}), read);
  EXPECT_EQ((UINT)WM_QUIT, msg.message);
  EXPECT_EQ(0, SimEmptyQueueReads());
  EXPECT_FALSE(GetMessageA(&msg, nullptr, 0, 0));  // would block on Windows
  EXPECT_EQ(1, SimEmptyQueueReads());
}

TEST_F(Sim, ModulesProcessesAndFolders) {
  SimAddModule("C:\\App\\srv.dll", true);
  HMODULE module = LoadLibraryA("C:\\App\\srv.dll");
  ASSERT_NE(nullptr, module);
  EXPECT_GE((uintptr_t)module, 32u);
  EXPECT_EQ(5u, DeleteError("C:\\App\\srv.dll"));  // a loaded DLL is mapped
  FARPROC proc = GetProcAddress(module, "DllUnregisterServer");
  ASSERT_NE(nullptr, proc);
  reinterpret_cast<HRESULT (*)()>(proc)();
  EXPECT_EQ("DllUnregisterServer(C:\\App\\srv.dll)", SimCalls().back());
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(0, SimLoadedModuleCount());
  EXPECT_EQ(nullptr, LoadLibraryA("C:\\App\\none.dll"));
  EXPECT_EQ(126u, GetLastError());

  SimAddFile("C:\\Delme.bat");
  STARTUPINFOA startup{};
  startup.dwFlags = STARTF_USESHOWWINDOW;
  PROCESS_INFORMATION info{};
  char line[] = "C:\\Delme.bat";
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0x44, nullptr, nullptr, &startup, &info));
  EXPECT_NE(info.hProcess, info.hThread);
  EXPECT_EQ(2, SimOpenHandleCount());
  EXPECT_EQ(1u, ResumeThread(info.hThread));
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  EXPECT_EQ(0, SimOpenHandleCount());
  EXPECT_EQ("C:\\Delme.bat", SimLastProcess().commandLine);
  EXPECT_TRUE(SimLastProcess().resumed);

  LPITEMIDLIST list = nullptr;
  ASSERT_EQ(S_OK, SHGetSpecialFolderLocation(nullptr, CSIDL_FONTS, &list));
  char path[MAX_PATH];
  ASSERT_TRUE(SHGetPathFromIDListA(list, path));
  EXPECT_STREQ("C:\\WINDOWS\\Fonts", path);
  EXPECT_EQ(1, SimLiveItemLists());
  CoTaskMemFree(list);
  EXPECT_EQ(0, SimLiveItemLists());
}

}  // namespace
