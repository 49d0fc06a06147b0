// Modules, process creation and priorities, the shell's special folders and
// OLE initialisation.
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

struct Module {
  std::string path;
  std::string key;
  bool hasUnregister;
  int slot;  // which DllUnregisterServer stand-in belongs to it
  HMODULE handle = nullptr;
  int loads = 0;
};

enum class ObjectKind { Process, Thread };

struct ItemList {
  ITEMIDLIST id;  // first, so the list pointer is the block pointer
  int csidl;
};

struct ProcessState {
  std::vector<Module> modules;
  std::vector<SimProcessRecord> processes;
  std::map<void*, ObjectKind> objects;  // open process and thread handles
  std::map<int, std::string> folders{
      {CSIDL_DESKTOP, "C:\\WINDOWS\\Desktop"},
      {CSIDL_DESKTOPDIRECTORY, "C:\\WINDOWS\\Desktop"},
      {CSIDL_FONTS, "C:\\WINDOWS\\Fonts"},
      {CSIDL_PROGRAMS, "C:\\WINDOWS\\Start Menu\\Programs"},
      {CSIDL_STARTMENU, "C:\\WINDOWS\\Start Menu"},
      {CSIDL_COMMON_DESKTOPDIRECTORY, "C:\\WINDOWS\\All Users\\Desktop"},
      {CSIDL_COMMON_STARTMENU, "C:\\WINDOWS\\All Users\\Start Menu"},
      {CSIDL_COMMON_PROGRAMS, "C:\\WINDOWS\\All Users\\Start Menu\\Programs"}};
  std::set<ItemList*> itemLists;
  bool hasOemTable = false;
  unsigned char oemTable[256];
  int oleNesting = 0;
  DWORD nextId = 0x100;
  int lastLoadFlags = -1;
  bool dllApiSet = false;
  bool dllApi = true;
  std::string dllSearch = "default";
  DWORD ticks = 0x2A5F31;
};

ProcessState& State() {
  static ProcessState state;
  return state;
}

HRESULT CallUnregister(int slot) {
  for (const Module& module : State().modules) {
    if (module.slot == slot) {
      Enter("DllUnregisterServer", module.path);
      return S_OK;
    }
  }
  Fatal("DllUnregisterServer of a module the simulation no longer knows");
}

// GetProcAddress hands out plain function pointers, so every module with the
// export gets its own stand-in function.
template <int Slot>
HRESULT UnregisterStandIn() {
  return CallUnregister(Slot);
}

constexpr int kSlots = 32;

template <int... Slots>
FARPROC StandIn(int slot, std::integer_sequence<int, Slots...>) {
  using Entry = HRESULT (*)();
  static const Entry table[] = {&UnregisterStandIn<Slots>...};
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(table[slot]));
}

Module* FindModule(HMODULE handle) {
  for (Module& module : State().modules) {
    if (module.handle == handle && module.loads > 0) return &module;
  }
  return nullptr;
}

SimProcessRecord* FindProcess(HANDLE handle, bool thread) {
  for (SimProcessRecord& record : State().processes) {
    if ((thread ? record.thread : record.process) == handle) return &record;
  }
  return nullptr;
}

// The program that a command line starts: its first word, or the quoted text.
std::string FirstWord(const std::string& line) {
  if (!line.empty() && line[0] == '"') {
    size_t end = line.find('"', 1);
    return line.substr(1, end == std::string::npos ? std::string::npos : end - 1);
  }
  return line.substr(0, line.find(' '));
}

}  // namespace

bool ModuleFileLoaded(const std::string& key) {
  for (const Module& module : State().modules) {
    if (module.key == key && module.loads > 0) return true;
  }
  return false;
}

bool CloseProcessObject(void* handle) { return State().objects.erase(handle) > 0; }

int ProcessObjectCount() { return static_cast<int>(State().objects.size()); }

void ResetProcess() {
  for (ItemList* block : State().itemLists) delete block;
  State() = ProcessState();
}

}  // namespace sim

using namespace sim;

// ---- Test control ----

void SimAddModule(const std::string& path, bool hasUnregisterExport) {
  ProcessState& s = State();
  if (s.modules.size() >= kSlots) Fatal("too many simulated modules");
  Path resolved;
  if (!ResolvePath(path.c_str(), &resolved)) Fatal("bad module path: " + path);
  if (!SimExists(path)) SimAddFile(path, "MZ");
  Module module{resolved.Text(), resolved.Key(), hasUnregisterExport, static_cast<int>(s.modules.size())};
  s.modules.push_back(module);
}

int SimLoadedModuleCount() {
  int count = 0;
  for (const Module& module : State().modules) count += module.loads;
  return count;
}

const std::vector<SimProcessRecord>& SimProcesses() { return State().processes; }

const SimProcessRecord& SimLastProcess() {
  static const SimProcessRecord none;
  return State().processes.empty() ? none : State().processes.back();
}

void SimSetOemTable(const unsigned char table[256]) {
  State().hasOemTable = true;
  std::memcpy(State().oemTable, table, 256);
}

void SimSetSpecialFolder(int csidl, const std::string& path, bool create) {
  if (path.empty()) {
    State().folders.erase(csidl);
    return;
  }
  State().folders[csidl] = path;
  if (create) SimAddDir(path);
}

int SimLiveItemLists() { return static_cast<int>(State().itemLists.size()); }

int SimOleNesting() { return State().oleNesting; }

int SimLastLoadFlags() { return State().lastLoadFlags; }

void SimSetDefaultDllDirectories(bool available) {
  State().dllApiSet = true;
  State().dllApi = available;
}

std::string SimDllSearch() { return State().dllSearch; }

// ---- Modules ----

static bool HasSetDefaultDllDirectories() {
  if (State().dllApiSet) return State().dllApi;
  return PlatformId() == VER_PLATFORM_WIN32_NT;
}

static HMODULE LoadModule(LPCSTR path) {
  Path resolved;
  if (!ResolvePath(path, &resolved) || !FileExists(resolved.Text())) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  for (Module& module : State().modules) {
    if (module.key != resolved.Key()) continue;
    if (module.loads++ == 0) module.handle = reinterpret_cast<HMODULE>(NewHandle());
    return module.handle;
  }
  SetError(ERROR_BAD_EXE_FORMAT);  // a file, but not a DLL
  return nullptr;
}

HMODULE LoadLibraryA(LPCSTR path) {
  if (Enter("LoadLibraryA", Str(path))) return nullptr;
  return LoadModule(path);
}

HMODULE LoadLibraryExA(LPCSTR path, HANDLE file, DWORD flags) {
  if (Enter("LoadLibraryExA", Join(Str(path), Hex(flags)))) return nullptr;
  State().lastLoadFlags = static_cast<int>(flags);
  // The search flags need an absolute path and, before Windows 8, an update.
  bool search = flags & ~LOAD_WITH_ALTERED_SEARCH_PATH;
  if (file || (search && (!HasSetDefaultDllDirectories() || (flags & LOAD_WITH_ALTERED_SEARCH_PATH)))) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return LoadModule(path);
}

// The system's own module: only what programs look up at run time.
static const HMODULE kKernelModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF00000));
static const HMODULE kProgramModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));

HMODULE GetModuleHandleA(LPCSTR name) {
  if (Enter("GetModuleHandleA", Str(name))) return nullptr;
  if (!name) return kProgramModule;
  if (SameText(name, "KERNEL32.DLL") || SameText(name, "KERNEL32")) return kKernelModule;
  SetError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

// Windows 95 exports MoveFileExA as a stand-in that always fails.
static BOOL MoveFileExStandIn(LPCSTR, LPCSTR, DWORD) {
  Enter("MoveFileExA", "stand-in");
  SetError(ERROR_CALL_NOT_IMPLEMENTED);
  return FALSE;
}

static BOOL WINAPI SetDefaultDllDirectoriesStandIn(DWORD flags) {
  if (Enter("SetDefaultDllDirectories", Hex(flags))) return FALSE;
  if (flags != LOAD_LIBRARY_SEARCH_SYSTEM32) Fatal("SetDefaultDllDirectories: only the system folder is simulated");
  State().dllSearch = "system32";
  return TRUE;
}

FARPROC GetProcAddress(HMODULE handle, LPCSTR name) {
  if (Enter("GetProcAddress", Join(Handle(handle), Str(name)))) return nullptr;
  if (handle == kKernelModule) {
    if (name && std::strcmp(name, "SetDefaultDllDirectories") == 0 && HasSetDefaultDllDirectories())
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectoriesStandIn));
    if (name && std::strcmp(name, "MoveFileExA") == 0) {
      auto proc = PlatformId() == VER_PLATFORM_WIN32_NT ? &SimMoveFileEx : &MoveFileExStandIn;
      return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(proc));
    }
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  Module* module = FindModule(handle);
  if (!module) {
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!name || std::strcmp(name, "DllUnregisterServer") != 0 || !module->hasUnregister) {
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return StandIn(module->slot, std::make_integer_sequence<int, kSlots>());
}

BOOL FreeLibrary(HMODULE handle) {
  if (Enter("FreeLibrary", Handle(handle))) return FALSE;
  Module* module = FindModule(handle);
  if (!module) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (--module->loads == 0) module->handle = nullptr;
  return TRUE;
}

// ---- Processes ----

BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                    BOOL inherit, DWORD flags, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startup, LPPROCESS_INFORMATION info) {
  if (Enter("CreateProcessA", Join(Str(application), Str(commandLine), Hex(flags), Str(currentDirectory))))
    return FALSE;
  if (!startup || !info || (!application && !commandLine)) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string program = application ? application : FirstWord(commandLine);
  if (!FileExists(program)) {
    SetError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (currentDirectory && !SimIsDir(currentDirectory)) {
    SetError(ERROR_DIRECTORY);
    return FALSE;
  }
  ProcessState& s = State();
  SimProcessRecord record;
  record.hasApplication = application != nullptr;
  record.application = application ? application : "";
  record.commandLine = commandLine ? commandLine : "";
  record.inheritHandles = inherit != FALSE;
  record.flags = flags;
  record.hasEnvironment = environment != nullptr;
  record.hasCurrentDirectory = currentDirectory != nullptr;
  record.currentDirectory = currentDirectory ? currentDirectory : SimCurrentDirectory();
  record.startup = *startup;
  record.process = reinterpret_cast<HANDLE>(NewHandle());
  record.thread = reinterpret_cast<HANDLE>(NewHandle());
  s.objects[record.process] = ObjectKind::Process;
  s.objects[record.thread] = ObjectKind::Thread;
  s.processes.push_back(record);
  info->hProcess = record.process;
  info->hThread = record.thread;
  info->dwProcessId = s.nextId;
  info->dwThreadId = s.nextId + 4;
  s.nextId += 8;
  return TRUE;
}

DWORD ResumeThread(HANDLE thread) {
  if (Enter("ResumeThread", Handle(thread))) return static_cast<DWORD>(-1);
  auto it = State().objects.find(thread);
  SimProcessRecord* record = FindProcess(thread, true);
  if (it == State().objects.end() || it->second != ObjectKind::Thread || !record) {
    SetError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  // The previous suspend count: 1 for a thread created suspended.
  DWORD previous = (record->flags & CREATE_SUSPENDED) && !record->resumed ? 1 : 0;
  record->resumed = true;
  return previous;
}

HANDLE GetCurrentThread(void) {
  Enter("GetCurrentThread", "");
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

HANDLE GetCurrentProcess(void) {
  Enter("GetCurrentProcess", "");
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (Enter("SetThreadPriority", Join(Handle(thread), Dec(priority)))) return FALSE;
  if (thread == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2))) return TRUE;
  SimProcessRecord* record = State().objects.count(thread) ? FindProcess(thread, true) : nullptr;
  if (!record) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  record->hasThreadPriority = true;
  record->threadPriority = priority;
  return TRUE;
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (Enter("SetPriorityClass", Join(Handle(process), Hex(priorityClass)))) return FALSE;
  if (process == reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) return TRUE;
  if (!State().objects.count(process) || !FindProcess(process, false)) {
    SetError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) {
  if (Enter("CharToOemBuffA", Dec(length))) return FALSE;
  if (!source || !destination) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (DWORD i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(source[i]);
    destination[i] = static_cast<char>(c >= 0x80 && State().hasOemTable ? State().oemTable[c] : c);
  }
  return TRUE;
}

// The inverse of the OEM table: an OEM byte becomes the first ANSI byte
// that converts to it, or '?' when none does.
BOOL OemToCharBuffA(LPCSTR source, LPSTR destination, DWORD length) {
  if (Enter("OemToCharBuffA", Dec(length))) return FALSE;
  if (!source || !destination) {
    SetError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (DWORD i = 0; i < length; i++) {
    unsigned char c = static_cast<unsigned char>(source[i]);
    unsigned char out = c;
    if (State().hasOemTable && c >= 0x80) {
      out = '?';
      for (int a = 0x80; a < 256; a++) {
        if (State().oemTable[a] == c) {
          out = static_cast<unsigned char>(a);
          break;
        }
      }
    }
    destination[i] = static_cast<char>(out);
  }
  return TRUE;
}

DWORD GetTickCount(void) {
  Enter("GetTickCount", "");
  return State().ticks += 16;
}

DWORD GetCurrentProcessId(void) {
  Enter("GetCurrentProcessId", "");
  return 0x5A4;
}

// ---- Shell and OLE ----

HRESULT SHGetSpecialFolderLocation(HWND owner, int folder, LPITEMIDLIST* list) {
  if (list) *list = nullptr;
  if (Enter("SHGetSpecialFolderLocation", Join(Handle(owner), Dec(folder)))) return E_FAIL;
  if (!list || !State().folders.count(folder)) return E_INVALIDARG;
  ItemList* block = new ItemList{{{0, 0}}, folder};
  State().itemLists.insert(block);
  *list = &block->id;
  return S_OK;
}

BOOL SHGetPathFromIDListA(LPCITEMIDLIST list, LPSTR path) {
  if (Enter("SHGetPathFromIDListA", list ? "list" : "null")) return FALSE;
  auto* block = reinterpret_cast<ItemList*>(const_cast<ITEMIDLIST*>(list));
  if (!list || !path || !State().itemLists.count(block)) return FALSE;
  const std::string& folder = State().folders[block->csidl];
  std::strncpy(path, folder.c_str(), MAX_PATH - 1);
  path[MAX_PATH - 1] = '\0';
  return TRUE;
}

void CoTaskMemFree(LPVOID memory) {
  Enter("CoTaskMemFree", memory ? "block" : "null");
  if (!memory) return;
  auto* block = static_cast<ItemList*>(memory);
  if (!State().itemLists.erase(block)) Fatal("CoTaskMemFree of memory the shell did not hand out");
  delete block;
}

HRESULT OleInitialize(LPVOID) {
  if (Enter("OleInitialize", "")) return E_FAIL;
  return State().oleNesting++ == 0 ? S_OK : S_FALSE;
}

void OleUninitialize(void) {
  Enter("OleUninitialize", "");
  if (State().oleNesting > 0) State().oleNesting--;
}
