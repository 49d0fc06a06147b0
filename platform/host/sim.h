// Test control of the simulated Windows (host build only).
//
// All state is process-wide. SimReset() puts everything back to the defaults:
// an empty call log, no failure rules, drive C: with the Windows folders, the
// current directory C:\, an NT 5.1 platform, no windows, no registry keys.
//
// Paths given to the Sim* functions follow the same rules as the simulated
// calls: backslash separated, case-insensitive on A-Z only, relative paths
// taken against the simulated current directory.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

void SimReset();

// Call log: one entry per simulated call, "Name(arg,arg,...)".
const std::vector<std::string>& SimCalls();
std::vector<std::string> SimCallNames();
void SimClearCalls();
// Called as each simulated call begins, before it is logged: the state then
// is what the previous call left. The observer must make no simulated call.
void SimObserveCalls(void (*observer)(void* context), void* context);
int SimCallCount(const char* name);

// Failure injection. The nth call of `name` made after this rule was set
// (1-based; 0: every call) returns the call's failure value and sets the last
// error to `error` (Reg* calls return `error` itself).
void SimFailCall(const char* name, int nth, DWORD error);
// The same from the nth call on: that call and every later one fail.
void SimFailCallsFrom(const char* name, int nth, DWORD error);
// A run that makes more calls than this is stopped as a runaway (0: no limit).
void SimSetCallLimit(size_t calls);

// The whole machine as text, for comparing states: "F:<path>" -> attributes
// and bytes of a file, "D:<path>" -> attributes of a directory, "K:<root>\<path>"
// -> "" for a key, "V:<root>\<path>|<name>" -> type and bytes of a value.
// Paths and names in upper case (the system compares them that way).
std::map<std::string, std::string> SimSnapshot();

// Runtime allocation. Fails `count` consecutive RtCalloc calls, starting with
// the first-th RtCalloc after this call (1-based). Sizes above 256 MiB always
// fail. Counts are since SimReset; SimReset frees the blocks still live.
void SimFailAllocations(int first, int count);
int SimAllocationCount();
int SimLiveBlocks();

// Files and directories.
void SimAddFile(const std::string& path, const std::string& bytes = "",
                DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);  // creates missing parents
void SimAddDir(const std::string& path);                     // creates missing parents
bool SimExists(const std::string& path);
bool SimIsDir(const std::string& path);
std::string SimFileBytes(const std::string& path);  // "" when missing
DWORD SimAttributes(const std::string& path);       // INVALID_FILE_ATTRIBUTES when missing
std::vector<std::string> SimListDir(const std::string& path);  // child names, sorted
// Another program holds the file open without sharing.
void SimHoldOpen(const std::string& path, bool held = true);
// Short form of a path (and of every path below it) for GetShortPathNameA.
void SimSetShortName(const std::string& longPath, const std::string& shortPath);
std::string SimCurrentDirectory();
void SimSetCurrentDirectory(const std::string& path);  // creates it when missing
int SimOpenHandleCount();  // open files, processes and threads
void SimSetModulePath(const std::string& path);  // what GetModuleFileNameA returns
// Marks an existing file or directory as a reparse point (a junction, mount
// point or symbolic link); what it points to is not simulated.
void SimMakeLink(const std::string& path);
// The security descriptor CreateDirectoryA was given for a directory, as the
// self-relative bytes its DACL spans; "" when it was given none.
std::string SimDirectoryDescriptor(const std::string& path);
// What GetTempPathA returns (with its backslash); C:\WINDOWS\TEMP\ by default,
// created on reset.
void SimSetTempPath(const std::string& path);
// Renames and replacements so far (MoveFileA, MoveFileExA): tests count them.
int SimMoveCount();

// The command line and the console.
void SimSetCommandLine(const std::string& line);   // what GetCommandLineA returns
std::string SimConsoleText(DWORD which);           // STD_OUTPUT_HANDLE or STD_ERROR_HANDLE
// Code pages: GetACP's answer (1252 by default). The conversions know every
// code page the host's iconv knows.
void SimSetAnsiCodePage(UINT codepage);

// Registry.
void SimRegCreateKey(HKEY root, const std::string& path);
void SimRegSetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                    const std::string& bytes);  // creates the key when missing
void SimRegSetDword(HKEY root, const std::string& path, const std::string& name, DWORD value);
bool SimRegKeyExists(HKEY root, const std::string& path);
bool SimRegValueExists(HKEY root, const std::string& path, const std::string& name);
std::string SimRegValue(HKEY root, const std::string& path, const std::string& name);
DWORD SimRegValueType(HKEY root, const std::string& path, const std::string& name);
std::vector<std::string> SimRegSubkeys(HKEY root, const std::string& path);
// A symbolic-link key at path that leads to target: opening it follows the
// link unless REG_OPTION_OPEN_LINK is given, and so does RegDeleteKeyA.
void SimRegMakeLink(HKEY root, const std::string& path, HKEY targetRoot, const std::string& target);
void SimRegDenyOpen(HKEY root, const std::string& path);  // open and delete fail with 5
int SimOpenKeyCount();
// Drives GetVersionExA and RegDeleteKeyA (NT: refuses keys with subkeys;
// 95/98: deletes the whole tree).
void SimSetPlatform(DWORD platformId, DWORD major, DWORD minor);

// Folders.
void SimSetWindowsDirectory(const std::string& path);
void SimSetSystemDirectory(const std::string& path);
// The shell's folder for csidl; the directory is created unless told not to.
// Desktop, Fonts, Programs, Start Menu, the desktop directory and the
// all-users folders are known by default. An empty path makes the lookup
// fail, as the all-users folders do on Windows 95.
void SimSetSpecialFolder(int csidl, const std::string& path, bool create = true);
int SimLiveItemLists();

// Modules: a DLL at `path` (the file is created when missing).
void SimAddModule(const std::string& path, bool hasUnregisterExport);
int SimLoadedModuleCount();
// Flags of the last LoadLibraryExA call (-1: none).
int SimLastLoadFlags();
// Whether kernel32 has SetDefaultDllDirectories (Windows 8 and later, 7 and
// Vista with their update; by default on the NT family only).
void SimSetDefaultDllDirectories(bool available);
// The search order the program left in force: "default" or "system32".
std::string SimDllSearch();  // LoadLibraryA calls not yet balanced by FreeLibrary

// Processes.
struct SimProcessRecord {
  bool hasApplication = false;
  std::string application;
  std::string commandLine;
  bool inheritHandles = false;
  DWORD flags = 0;
  bool hasEnvironment = false;
  bool hasCurrentDirectory = false;
  std::string currentDirectory;  // the one passed, or the simulated one when null
  STARTUPINFOA startup{};
  HANDLE process = nullptr;
  HANDLE thread = nullptr;
  bool resumed = false;
  bool hasThreadPriority = false;
  int threadPriority = 0;
};
const std::vector<SimProcessRecord>& SimProcesses();
const SimProcessRecord& SimLastProcess();  // an empty record when none was created
void SimSetOemTable(const unsigned char table[256]);  // CharToOemBuffA, bytes >= 0x80

// Windows and the message queue.
struct SimWindowClass {
  WNDCLASSA wc{};
  std::string className;
};
const SimWindowClass& SimLastWindowClass();
void SimPostMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
bool SimWindowExists(HWND window);  // created and not destroyed
std::string SimWindowTitle(HWND window);
int SimLiveWindowCount();
int SimEmptyQueueReads();
// A top-level window of another program that no longer answers messages:
// a broadcast sent with SendMessageA would wait for it for ever.
void SimAddHungWindow();  // GetMessageA calls that found nothing to return

// Message boxes.
// Boxes and dialogs are shown whatever the owner handle; ownerExists tells
// whether it was a live window (Windows would refuse a dead one).
struct SimMessageBox {
  HWND owner;
  bool ownerExists;
  std::string text;
  std::string caption;
  UINT type;
  int answer;
};
void SimAnswerMessageBox(int id);
const std::vector<SimMessageBox>& SimMessageBoxes();
int SimUnscriptedBoxes();
int SimMisfitAnswers();  // scripted answers that are not a button of their box

// Dialogs.
void SimAddDialogTemplate(int id, std::vector<int> controlIds);
void SimAnswerDialog(int commandId);
struct SimDialogRecord {
  int templateId = 0;
  HWND owner = nullptr;
  bool ownerExists = false;
  HWND dialog = nullptr;
  LPARAM param = 0;
  // State right after WM_INITDIALOG.
  std::string caption;
  std::map<int, std::string> texts;  // by control id
  std::map<int, HFONT> fonts;        // by control id
  INT_PTR initResult = 0;
  // What the procedure returned for each WM_CTLCOLOR* message, and the
  // SetBkColor calls it made while handling them (message, colour).
  std::map<UINT, INT_PTR> colorResults;
  std::vector<std::pair<UINT, COLORREF>> bkColors;
  int command = 0;       // the WM_COMMAND id sent
  bool ended = false;    // EndDialog was called
  INT_PTR result = 0;    // what DialogBoxParamA returned
};
const std::vector<SimDialogRecord>& SimDialogs();
int SimUnscriptedDialogs();

// GDI.
LOGFONTA SimFont(HFONT font);  // zeroed when not a font
bool SimGdiObjectLive(HGDIOBJ object);
int SimLiveGdiObjects();  // brushes and fonts created and not deleted
void SimSetSysColor(int index, COLORREF color);

// OLE.
int SimOleNesting();
