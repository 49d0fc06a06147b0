// Whole confirmed uninstalls with every platform call and allocation of a
// clean run failed in turn, once and from that point on.
//
// After each run: the run ended (a call limit stops a runaway), nothing
// outside the lists changed (the system's own folders count as outside even
// when an entry names them, also when their lookup failed), every item the
// clean run removed is gone unless the failed call was its own, the
// self-removal script is the clean run's, started the same way, or absent,
// and a run that shut down freed everything. Runs that end early on
// purpose (start-up buffers, load, window class or window failed) return
// without the shutdown: the stub's entry point then ends the process.
//
// SWEEPKIT_SWEEP=full runs every fault point; otherwise every 7th.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <map>
#include <set>

#include "fixture.h"

namespace {

using Snapshot = std::map<std::string, std::string>;

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
  return s;
}

// A plausible failure for each call; 5 (access denied) where nothing else fits.
DWORD ErrorFor(const std::string& call) {
  static const std::map<std::string, DWORD> table = {
      {"CreateFileA", 32},    {"ReadFile", 23},          {"WriteFile", 112},
      {"SetFilePointer", 131}, {"GetFileAttributesA", 2}, {"RemoveDirectoryA", 145},
      {"RtCalloc", 8},        {"MessageBoxA", 8},        {"DialogBoxParamA", 1813},
      {"CreateProcessA", 2},  {"LoadLibraryExA", 126},     {"GetProcAddress", 127},
      {"RegQueryValueExA", 2}, {"GetModuleFileNameA", 122}, {"CreateWindowExA", 1407},
      {"RegisterClassA", 1410}};
  auto it = table.find(call);
  return it == table.end() ? 5 : it->second;
}

struct App {
  std::vector<Block::File> files;
  std::vector<Block::Shortcut> shortcuts;
  std::vector<Block::Key> keys;
  std::vector<std::string> protectedDirs;  // set as shell folders
  void (*install)();                       // items and neighbours on the machine
};

std::string ResolveDir(const std::string& dir) {
  if (dir == ".") return std::string(kInstallDir).substr(0, strlen(kInstallDir) - 1);
  if (dir.rfind(".\\", 0) == 0) return kInstallDir + dir.substr(2);
  return dir;
}

std::string RootName(uint32_t root) {
  switch (root) {
    case 0x80000000u: return "HKCR";
    case 0x80000001u: return "HKCU";
    case 0x80000002u: return "HKLM";
    default: return "HKU";
  }
}

// What the lists allow a run to change, worked out from the lists alone.
// The system's own folders never go, even when an entry names them.
struct Allowed {
  std::set<std::string> exact;      // snapshot keys
  std::vector<std::string> trees;   // key-tree prefixes ("K:HKLM\\PATH")
  std::set<std::string> protectedDirs;  // "D:" snapshot keys
  bool Covers(const std::string& key) const {
    if (protectedDirs.count(key)) return false;
    if (exact.count(key)) return true;
    // the NT script's own folder, a fresh one in the temporary folder
    const std::string scripts = ":C:\\WINDOWS\\TEMP\\~SK";
    if (key.compare(1, scripts.size(), scripts) == 0) return true;
    for (const auto& t : trees) {
      std::string k = "K" + key.substr(1);  // values as keys
      if (k.compare(0, t.size(), t) == 0 && (k.size() == t.size() || k[t.size()] == '\\' || k[t.size()] == '|'))
        return true;
    }
    return false;
  }
};

// The Windows, system and shell folders as the simulated machine reports them.
std::set<std::string> SystemFolders() {
  std::set<std::string> out;
  char path[PATH_BUFFER_SIZE];
  if (GetWindowsDirectoryA(path, sizeof(path))) out.insert("D:" + Upper(path));
  if (GetSystemDirectoryA(path, sizeof(path))) out.insert("D:" + Upper(path));
  for (int csidl : {CSIDL_DESKTOP, CSIDL_FONTS, CSIDL_PROGRAMS, CSIDL_STARTMENU, CSIDL_COMMON_DESKTOPDIRECTORY,
                    CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS}) {
    LPITEMIDLIST list = nullptr;
    if (SHGetSpecialFolderLocation(0, csidl, &list) != S_OK) continue;
    if (SHGetPathFromIDListA(list, path)) out.insert("D:" + Upper(path));
    CoTaskMemFree(list);
  }
  return out;
}

Allowed AllowedChanges(const App& app) {
  Allowed a;
  a.protectedDirs = SystemFolders();
  auto dirOf = [](const std::string& p) { return p.substr(0, p.rfind('\\')); };
  for (const auto& f : app.files) {
    std::string dir = ResolveDir(f.dir);
    while (dir.size() > 3 && dir.back() == '\\') dir.pop_back();
    std::string path = f.name.empty() ? dir : dir + "\\" + f.name;
    a.exact.insert("F:" + Upper(path));
    a.exact.insert("D:" + Upper(f.name.empty() ? path : dirOf(path)));
    if (f.flags & FILE_SHARED)
      a.exact.insert("V:HKLM\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHAREDDLLS|" + Upper(path));
  }
  for (const auto& s : app.shortcuts) {
    a.exact.insert("F:" + Upper(s.dir + "\\" + s.name));
    a.exact.insert("D:" + Upper(s.dir));
  }
  for (const auto& k : app.keys) a.trees.push_back("K:" + RootName(k.root) + "\\" + Upper(k.path));
  a.exact.insert("F:C:\\DELME.BAT");
  return a;
}

// Names the fault point when a sanitizer or the call limit ends the process.
std::string gFaultPoint;
extern "C" void ReportFaultPoint(int) {
  if (!gFaultPoint.empty()) fprintf(stderr, "fault sweep: died at %s\n", gFaultPoint.c_str());
}

class FaultSweep : public SimTest {
 protected:
  bool windows98_ = false;
  void Prepare(const App& app, bool cleanRun) {
    if (!cleanRun) {
      TearDown();
      SetUp();
    }
    if (windows98_) SimSetPlatform(VER_PLATFORM_WIN32_WINDOWS, 4, 10);
    for (size_t i = 0; i < app.protectedDirs.size(); i++)
      SimSetSpecialFolder(i == 0 ? CSIDL_DESKTOP : CSIDL_PROGRAMS, app.protectedDirs[i]);
    app.install();
    Block b;
    b.strings(kExampleTexts).files(app.files).shortcuts(app.shortcuts).keys(app.keys).end();
    InstallStub(b);
    SimAnswerMessageBox(IDOK);  // the confirmation; every other box and prompt: No
    SimClearCalls();
  }
  int Run() { return RunUninstaller(InstanceHandle, nullptr, (LPSTR) "", 1); }

  void Sweep(const App& app, const char* label);
};

// The items a failure at call i may keep: those its own calls name, and for
// a call that names none, the items of the calls on either side of it.
// Stage-wide calls keep a whole class of items.
struct Attribution {
  std::vector<std::set<std::string>> owners;  // per clean-run call
};

Attribution Attribute(const std::vector<std::string>& log, const std::set<std::string>& removed) {
  Attribution a;
  a.owners.resize(log.size());
  std::vector<std::pair<std::string, std::string>> mentions;  // item, how a call names it
  for (const auto& item : removed) {
    std::string body = item.substr(2);
    if (item[0] == 'K') body.replace(body.find('\\'), 1, ",");  // "HKLM,PATH"
    if (item[0] != 'V') mentions.emplace_back(item, body);
  }
  std::vector<int> named(log.size(), 0);
  size_t confirm = std::find_if(log.begin(), log.end(), [](const std::string& c) {
                     return c.rfind("MessageBoxA(", 0) == 0;
                   }) - log.begin();
  for (size_t i = 0; i < log.size(); i++) {
    std::string call = Upper(log[i]);
    std::string name = log[i].substr(0, log[i].find('('));
    if (i <= confirm) {
      a.owners[i] = removed;
      named[i] = 1;
      continue;
    }
    for (const auto& m : mentions) {
      size_t at = call.find(m.second);
      while (at != std::string::npos) {
        char after = at + m.second.size() < call.size() ? call[at + m.second.size()] : ')';
        char before = at ? call[at - 1] : '(';
        if ((after == ',' || after == ')') && (before == '(' || before == ',')) {
          a.owners[i].insert(m.first);
          named[i] = 1;
          break;
        }
        at = call.find(m.second, at + 1);
      }
    }
    std::string kind;
    if (name == "GetVersionExA") kind = "K";
    if (name == "GetWindowsDirectoryA" || name == "GetSystemDirectoryA" || name == "SetCurrentDirectoryA" ||
        name == "SHGetSpecialFolderLocation" || name == "SHGetPathFromIDListA" || name == "CoTaskMemFree")
      kind = "D";
    if (!kind.empty()) {
      for (const auto& r : removed)
        if (r[0] == kind[0] || (kind == "K" && r[0] == 'V')) a.owners[i].insert(r);
      named[i] = 1;
    }
  }
  for (size_t i = 0; i < log.size(); i++) {
    if (named[i]) continue;
    for (size_t j = i; j-- > 0;)
      if (named[j] && !a.owners[j].empty()) { a.owners[i] = a.owners[j]; break; }
    for (size_t j = i + 1; j < log.size(); j++)
      if (named[j] && !a.owners[j].empty()) { a.owners[i].insert(a.owners[j].begin(), a.owners[j].end()); break; }
  }
  return a;
}

// An owner keeps itself, what lies below it and the folders above it.
bool Kept(const std::string& item, const std::set<std::string>& owners) {
  std::string body = item.substr(2);
  std::string asKey = item[0] == 'V' ? body.substr(0, body.find('|')) : body;
  for (const auto& o : owners) {
    std::string ob = o.substr(2);
    if (ob == body || ob == asKey) return true;
    if (asKey.compare(0, ob.size() + 1, ob + "\\") == 0) return true;  // below the owner
    if (item[0] == 'D' && ob.compare(0, body.size() + 1, body + "\\") == 0) return true;  // above it
  }
  return false;
}

// The clean run's script, or command line, as a run whose script folder
// (NT) got another name (a name taken, a folder that could not be made)
// would write it: the folder's path and its name replaced.
std::string Renamed(std::string text, const SimProcessRecord& clean, const SimProcessRecord& now) {
  if (clean.commandLine.rfind("\"", 0) != 0 || clean.currentDirectory == now.currentDirectory) return text;
  auto leaf = [](const std::string& p) { return p.substr(p.find_last_of('\\') + 1); };
  for (auto [from, to] : {std::make_pair(clean.currentDirectory, now.currentDirectory),
                          std::make_pair(leaf(clean.currentDirectory), leaf(now.currentDirectory))})
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

void FaultSweep::Sweep(const App& app, const char* label) {
  bool full = getenv("SWEEPKIT_SWEEP") && std::string(getenv("SWEEPKIT_SWEEP")) == "full";
  Prepare(app, true);
  const Allowed allowed = AllowedChanges(app);
  SimClearCalls();
  Snapshot before = SimSnapshot();
  ASSERT_EQ(0, Run());
  const std::vector<std::string> log = SimCalls();
  Snapshot clean = SimSnapshot();
  const std::string script = SimFileBytes(StartedScript());
  ASSERT_FALSE(script.empty());
  ASSERT_EQ(1u, SimProcesses().size());
  const SimProcessRecord started = SimLastProcess();
  std::set<std::string> removed;
  for (const auto& e : before)
    if (!clean.count(e.first)) removed.insert(e.first);
  ASSERT_GT(removed.size(), 10u);
  Attribution attribution = Attribute(log, removed);
  std::signal(SIGABRT, ReportFaultPoint);
  for (const auto& e : clean)
    ASSERT_TRUE(allowed.Covers(e.first) || before.count(e.first) && before.at(e.first) == e.second)
        << "the clean run changed " << e.first;

  std::map<std::string, int> seen;  // occurrence of each call name so far
  int runs = 0, failures = 0, earlyEnds = 0;
  for (size_t i = 0; i < log.size(); i++) {
    std::string name = log[i].substr(0, log[i].find('('));
    int nth = ++seen[name];
    if (!full && i % 7 != 3) continue;
    for (bool onwards : {false, true}) {
      std::set<std::string> owners = attribution.owners[i];
      if (onwards) {
        for (size_t j = i + 1; j < log.size(); j++)
          if (log[j].compare(0, name.size() + 1, name + "(") == 0)
            owners.insert(attribution.owners[j].begin(), attribution.owners[j].end());
      }
      std::string where = std::string(label) + ": " + (onwards ? "from " : "only ") + log[i] + " #" +
                          std::to_string(nth) + " (call " + std::to_string(i) + ")";
      gFaultPoint = where;
      Prepare(app, false);
      SimSetCallLimit(log.size() * 20);
      if (onwards)
        SimFailCallsFrom(name.c_str(), nth, ErrorFor(name));
      else
        SimFailCall(name.c_str(), nth, ErrorFor(name));
      int code = Run();
      runs++;
      Snapshot after = SimSnapshot();
      int problems = 0;
      std::set<std::string> keys;
      for (const auto& e : before) keys.insert(e.first);
      for (const auto& e : after) keys.insert(e.first);
      for (const auto& k : keys) {
        bool same = before.count(k) == after.count(k) && (!before.count(k) || before.at(k) == after.at(k));
        if (!same && !allowed.Covers(k)) {
          ADD_FAILURE() << where << " changed " << k << " outside the lists";
          problems++;
        }
      }
      for (const auto& r : removed) {
        if (after.count(r) && !Kept(r, owners)) {
          ADD_FAILURE() << where << " left " << r;
          problems++;
        }
      }
      // The script as the clean run wrote it, started the same way, or
      // neither of the two. A thread that cannot be resumed stays suspended:
      // nothing else of the run depends on it.
      bool hasScript = !SimProcesses().empty() && SimExists(StartedScript());
      if (hasScript && SimFileBytes(StartedScript()) != Renamed(script, started, SimLastProcess())) {
        ADD_FAILURE() << where << " wrote the script\n" << SimFileBytes(StartedScript());
        problems++;
      }
      const auto& processes = SimProcesses();
      if (processes.size() != (hasScript ? 1u : 0u) ||
          (hasScript && (processes[0].commandLine != Renamed(started.commandLine, started, processes[0]) ||
                         processes[0].flags != started.flags ||
                         (!processes[0].resumed && name != "ResumeThread")))) {
        ADD_FAILURE() << where << ": " << processes.size() << " processes started, script "
                      << (hasScript ? "present" : "absent");
        problems++;
      }
      if (SimCallCount("OleUninitialize") > 0) {
        // A release call that fails leaves its object behind: that one is
        // the injected failure's, not the stub's.
        auto live = [&](const char* release, int count) { return name == release ? 0 : count; };
        if (SimLiveBlocks() || live("CloseHandle", SimOpenHandleCount()) ||
            live("RegCloseKey", SimOpenKeyCount()) || live("CoTaskMemFree", SimLiveItemLists()) ||
            live("FreeLibrary", SimLoadedModuleCount()) || live("DeleteObject", SimLiveGdiObjects()) ||
            live("DestroyWindow", SimLiveWindowCount())) {
          ADD_FAILURE() << where << " leaked: blocks " << SimLiveBlocks() << ", handles "
                        << SimOpenHandleCount() << ", keys " << SimOpenKeyCount() << ", item lists "
                        << SimLiveItemLists() << ", modules " << SimLoadedModuleCount() << ", GDI "
                        << SimLiveGdiObjects() << ", windows " << SimLiveWindowCount();
          problems++;
        }
      } else {
        earlyEnds++;
        EXPECT_TRUE(code == 0 || code == -1) << where;
      }
      failures += problems != 0;
    }
  }
  gFaultPoint.clear();
  std::signal(SIGABRT, SIG_DFL);
  printf("[ sweep    ] %s: %zu fault points, %d runs (%d ended early on purpose), %d failing\n", label,
         log.size(), runs, earlyEnds, failures);
}

void InstallFullApp();

// Nested folders, neighbours, shared files with counts 1, 2 and none, a font,
// a self-registering server, read-only and held files, a protected folder
// on the list, key trees with values beside neighbours.
const App kFullApp = {
    {{".", "app.exe", 0},
     {".\\data\\deep", "a.dat", 0},
     {".\\data", "b.dat", 0},
     {".\\data\\deep", "", 0},
     {".", "ro.txt", 0},
     {".", "held.txt", 0},
     {"C:\\WINDOWS\\SYSTEM32", "shared1.dll", FILE_SHARED},
     {"C:\\WINDOWS\\SYSTEM32", "shared2.dll", FILE_SHARED},
     {"C:\\WINDOWS\\SYSTEM32", "shared0.dll", FILE_SHARED},
     {"C:\\WINDOWS\\Fonts", "vantor.ttf", FILE_FONT},
     {".\\bin", "server.dll", FILE_SELFREG},
     {"C:\\WINDOWS\\Desktop", "Vantor.lnk", 0},
     {"C:\\Program Files\\Common\\Vantor", "common.dll", 0}},
    {{"C:\\WINDOWS\\Start Menu\\Programs\\Vantor", "App.lnk"},
     {"C:\\WINDOWS\\Start Menu\\Programs\\Vantor", "Readme.lnk"}},
    {{kHklm, "Software\\Vantor\\App"}, {0x80000001u, "Software\\Vantor"}},
    {"C:\\WINDOWS\\Desktop", "C:\\WINDOWS\\Start Menu\\Programs"},
    InstallFullApp};

void InstallFullApp() {
  const std::string dir = kInstallDir;
  for (const char* f : {"app.exe", "data\\deep\\a.dat", "data\\b.dat", "held.txt"}) SimAddFile(dir + f, f);
  SimAddFile(dir + "ro.txt", "ro", FILE_ATTRIBUTE_READONLY);
  SimHoldOpen(dir + "held.txt");
  SimAddModule(dir + "bin\\server.dll", true);
  for (const char* f : {"shared1.dll", "shared2.dll", "shared0.dll", "other.dll"})
    SimAddFile(std::string("C:\\WINDOWS\\SYSTEM32\\") + f, f);
  SimAddFile("C:\\WINDOWS\\Fonts\\vantor.ttf", "font");
  SimAddFile("C:\\WINDOWS\\Desktop\\Vantor.lnk", "lnk");
  SimAddFile("C:\\Program Files\\Common\\Vantor\\common.dll", "c");
  SimAddFile("C:\\Program Files\\Common\\Other\\keep.dll", "k");
  SimAddFile("C:\\Program Files\\Vantor Tools\\keep.txt", "neighbour", FILE_ATTRIBUTE_READONLY);
  SimAddFile("C:\\app.exe", "namesake in the current directory");
  for (const char* f : {"App.lnk", "Readme.lnk"})
    SimAddFile(std::string("C:\\WINDOWS\\Start Menu\\Programs\\Vantor\\") + f, f);
  SimAddFile("C:\\WINDOWS\\Start Menu\\Programs\\Vantor Tools.lnk", "neighbour");
  const std::string shared = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  SimRegSetDword(HKEY_LOCAL_MACHINE, shared, "C:\\WINDOWS\\SYSTEM32\\shared1.dll", 1);
  SimRegSetDword(HKEY_LOCAL_MACHINE, shared, "C:\\WINDOWS\\SYSTEM32\\shared2.dll", 2);
  SimRegSetDword(HKEY_LOCAL_MACHINE, shared, "C:\\WINDOWS\\SYSTEM32\\other.dll", 1);
  for (const char* k : {"Software\\Vantor\\App\\A\\A1", "Software\\Vantor\\App\\A\\A2", "Software\\Vantor\\App\\B",
                        "Software\\Vantor\\AppX", "Software\\Vantor\\Ap"})
    SimRegSetValue(HKEY_LOCAL_MACHINE, k, "v", REG_SZ, k);
  SimRegSetDword(HKEY_LOCAL_MACHINE, "Software\\Vantor", "keep", 1);
  SimRegSetValue(HKEY_CURRENT_USER, "Software\\Vantor\\Settings", "", REG_SZ, "x");
  SimRegSetValue(HKEY_CURRENT_USER, "Software\\Other", "keep", REG_SZ, "y");
}

void InstallExampleApp();

const std::string kDesktop = "C:\\WINDOWS\\\xD0\xE0\xE1\xEE\xF7\xE8\xE9 \xF1\xF2\xEE\xEB";
const std::string kGroup =
    "C:\\WINDOWS\\\xC3\xEB\xE0\xE2\xED\xEE\xE5 \xEC\xE5\xED\xFE\\\xCF\xF0\xEE\xE3\xF0\xE0\xEC\xEC\xFB\\Vantor Gliders";

const App kExampleApp = {
    {{".", "glider.dll", 0},
     {".", "glide.exe", 0},
     {kDesktop, "Vantor Gliders 1.0.lnk", 0},
     {".", "glide.dat", 0},
     {".", "guide.txt", 0}},
    {{kGroup, "Uninstall Vantor Gliders.lnk"}, {kGroup, "Vantor Gliders 1.0.lnk"}, {kGroup, "Vantor Gliders Read Me.lnk"}},
    {{kHklm, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor Gliders 1.0"}},
    {kDesktop, kGroup.substr(0, kGroup.rfind('\\'))},
    InstallExampleApp};

void InstallExampleApp() {
  for (const char* f : {"glider.dll", "glide.exe", "glide.dat", "guide.txt"}) SimAddFile(kInstallDir + std::string(f), f);
  SimAddFile(kDesktop + "\\Vantor Gliders 1.0.lnk", "lnk");
  SimAddFile(kDesktop + "\\Other.lnk", "neighbour");
  for (const auto& s : kExampleApp.shortcuts) SimAddFile(s.dir + "\\" + s.name, s.name);
  const std::string uninstall = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  SimRegSetValue(HKEY_LOCAL_MACHINE, uninstall + "Vantor Gliders 1.0", "DisplayName", REG_SZ, "Vantor Gliders 1.0");
  SimRegSetValue(HKEY_LOCAL_MACHINE, uninstall + "Vantor Gliders 1.0", "UninstallString", REG_SZ, kStubPath);
  SimRegSetValue(HKEY_LOCAL_MACHINE, uninstall + "Vantor Gliders 1.1", "DisplayName", REG_SZ, "neighbour");
}

TEST_F(FaultSweep, ExampleApplication) { Sweep(kExampleApp, "example"); }

TEST_F(FaultSweep, EveryFeature) { Sweep(kFullApp, "every feature"); }

// The 95 family deletes a key tree in one call.
TEST_F(FaultSweep, EveryFeatureOnWindows98) {
  windows98_ = true;
  Sweep(kFullApp, "every feature, Windows 98");
}

}  // namespace
