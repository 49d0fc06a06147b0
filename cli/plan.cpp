#include "cli/plan.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "app/run.h"
#include "platform/host/sim.h"
#include "removal/removal.h"
#include "cli/codepage.h"
#include "cli/constants.h"
#include "finisher/finish.h"
#include "format/template.h"
#include "ui/ui.h"
#include "uninstall_info/uninstall_info.h"

namespace sweepkit {

namespace {

enum { NOT_SHELL = -1 };

std::string Fold(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + ('a' - 'A'));
  return out;
}

// The folders of the simulated machine: a Windows 95 layout unless --set
// says otherwise; an empty value is a folder the system does not have
// (its lookup fails, as the all-users ones do on Windows 95).
struct PlanFolder {
  const char* name;
  int csidl;  // the shell's number for it, or NOT_SHELL
  const char* value;
  const char* label;
};

const PlanFolder kPlanFolders[] = {
    {"win", NOT_SHELL, "C:\\WINDOWS", "the Windows folder"},
    {"sys", NOT_SHELL, "C:\\WINDOWS\\SYSTEM", "the system folder"},
    {"fonts", 0x14, "C:\\WINDOWS\\FONTS", "the Fonts folder"},
    {"desktop", 0x00, "C:\\WINDOWS\\Desktop", "the Desktop folder"},
    {"commondesktop", 0x19, "", "the all-users Desktop folder"},
    {"programs", 0x02, "C:\\WINDOWS\\Start Menu\\Programs", "the Programs folder"},
    {"commonprograms", 0x17, "", "the all-users Programs folder"},
    {"startmenu", 0x0B, "C:\\WINDOWS\\Start Menu", "the Start menu folder"},
    {"commonstartmenu", 0x16, "", "the all-users Start menu folder"},
    {"pf", NOT_SHELL, "C:\\Program Files", "the Program Files folder"},
    {"cf", NOT_SHELL, "C:\\Program Files\\Common Files", "the Common Files folder"},
};

struct Machine {
  struct Folder {
    std::string path;  // code page
    const char* name;
    const char* label;
  };
  std::vector<Folder> folders;
  std::string installDir;                                   // code page, no trailing backslash
  std::string stubPath;
};

std::string Convert(const std::string& utf8, unsigned codepage, const std::string& what) {
  std::string out;
  if (!FromUtf8(utf8, codepage, &out))
    throw PackError(what + ": cannot be represented in code page " + std::to_string(codepage));
  return out;
}

std::string TrimBackslash(std::string s) {
  while (s.size() > 3 && s.back() == '\\') s.pop_back();
  return s;
}

bool Exists(const std::string& path, bool* isDir) {
  DWORD a = GetFileAttributesA(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  *isDir = (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

// A path the simulated file system can resolve.
bool Valid(const std::string& path) {
  if (path.empty()) return false;
  if (path.compare(0, 2, "\\\\") != 0) return true;
  size_t server = path.find('\\', 2);
  return server != std::string::npos && server != 2 && server + 1 < path.size() &&
         path[server + 1] != '\\';
}

// Whether the simulated file system can hold `path` as a file or folder:
// a valid form, no file where a folder must be.
bool Creatable(const std::string& path, bool asDir) {
  if (!Valid(path)) return false;
  bool dir = false;
  if (Exists(path, &dir)) return dir == asDir;
  for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
    if (at == 0 || (at == 1 && path[0] == '\\')) continue;
    if (Exists(path.substr(0, at), &dir) && !dir) return false;
  }
  return true;
}

void AddItem(const std::string& path, bool asDir) {
  bool dir = false;
  if (!Creatable(path, asDir) || Exists(path, &dir)) return;
  if (asDir)
    SimAddDir(path);
  else
    SimAddFile(path, "listed item");
}

bool CanCreateKey(const std::string& path) {
  return !path.empty() && path[0] != '\\' && path.find("\\\\") == std::string::npos;
}

// A folder of the simulated machine in code page bytes, "" when it has none.
std::string FolderValue(const PlanFolder& f, const PlanOptions& options) {
  auto given = options.folders.find(f.name);
  std::string value = given != options.folders.end()
                          ? Convert(given->second, options.codepage, std::string("--set ") + f.name)
                          : std::string(f.value);
  return TrimBackslash(value);
}

void SetUpMachine(const Bytes& file, uint32_t dataOffset, const std::string& fileName,
                  const PlanOptions& options, Machine* m) {
  SimReset();
  for (const PlanFolder& f : kPlanFolders) {
    std::string value = FolderValue(f, options);
    if (value.empty()) continue;
    std::string name = f.name;
    if (name == "win")
      SimSetWindowsDirectory(value);
    else if (name == "sys")
      SimSetSystemDirectory(value);
    else if (f.csidl != NOT_SHELL)
      SimSetSpecialFolder(f.csidl, value);
    if (Creatable(value, true)) SimAddDir(value);
    m->folders.push_back({value, f.name, f.label});
  }
  m->installDir = TrimBackslash(Convert(options.installDir, options.codepage, "--install-dir"));
  if (!Creatable(m->installDir + "\\x", false))
    throw PackError("--install-dir " + options.installDir + " is not a usable folder");
  m->stubPath = m->installDir + "\\" + Convert(fileName, options.codepage, "the file name");
  SimAddFile(m->stubPath, std::string(file.begin(), file.end()));
  SimSetModulePath(m->stubPath);
  SimAddDialogTemplate(IDD_WRITE_PROTECTED, {IDYES, IDC_YES_ALL, IDC_MESSAGE, IDNO, IDC_NO_ALL});
  DataLocator.dataOffset = dataOffset;
}

// Every item the loaded data lists, made to exist at the path the stub's
// own path rules give it; shared files with one reference left.
int CreateListedItems() {
  static const char kSharedDlls[] = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
  int questions = 0;
  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    const FileRecord* r = UninstallInfo.fileList[i];
    if (!ComposeEntryPath(r)) continue;
    std::string path = WorkPath;
    AddItem(TrimBackslash(path), r->name[0] == 0);
    if (!r->name[0]) continue;
    if (r->flags & FILE_SELFREG) SimAddModule(path, true);
    if (r->flags & FILE_SHARED) {
      SimRegSetDword(HKEY_LOCAL_MACHINE, kSharedDlls, path, 1);
      questions++;
    }
  }
  for (u32 i = 0; i < UninstallInfo.shortcutCount; i++) {
    const ShortcutRecord* r = UninstallInfo.shortcutList[i];
    if (r->dir[0]) AddItem(TrimBackslash(r->dir), true);
    if (r->name[0] && ComposeShortcutPath(r)) AddItem(WorkPath, false);
  }
  for (u32 i = 0; i < UninstallInfo.keyCount; i++) {
    const KeyRecord* r = UninstallInfo.keyList[i];
    if (CanCreateKey(r->path)) SimRegCreateKey(RootKeyFromValue(r->root), r->path);
  }
  return questions;
}

// ---------------------------------------------------------------------------
// Reading the call log

struct Call {
  std::string name;
  std::string args;
};

Call Parse(const std::string& entry) {
  size_t open = entry.find('(');
  Call c;
  c.name = entry.substr(0, open);
  if (open != std::string::npos && entry.size() > open + 1)
    c.args = entry.substr(open + 1, entry.size() - open - 2);
  return c;
}

// "HKLM,Software\X" -> root name and path of a call on a root key; false
// for a call on an opened key.
bool RootCall(const std::string& args, std::string* root, std::string* path) {
  static const char* const roots[] = {"HKCR", "HKCU", "HKLM", "HKU"};
  for (const char* r : roots) {
    std::string prefix = std::string(r) + ",";
    if (args.compare(0, prefix.size(), prefix) == 0) {
      *root = r;
      *path = args.substr(prefix.size());
      return true;
    }
  }
  return false;
}

// What each removal call achieved, seen as the next call begins (or the
// stage ends): "deleted", "removed", or what still holds the folder.
struct Outcomes {
  const Machine* machine;
  unsigned codepage;
  std::map<size_t, std::string> byCall;
};

std::string Outcome(const std::string& path, bool isDir, const Machine& m, unsigned codepage) {
  if (!Valid(path) || !SimExists(path)) return isDir ? "removed" : "deleted";
  if (!isDir || !SimIsDir(path)) return "left";
  std::vector<std::string> children = SimListDir(path);
  std::string out = "left: holds ";
  for (size_t i = 0; i < children.size() && i < 3; ++i)
    out += (i ? ", " : "") + ToUtf8(children[i], codepage);
  if (children.size() > 3) out += ", ... (" + std::to_string(children.size()) + " items)";
  // The script deletes the stub, then removes the folder only if that
  // leaves it empty.
  std::string stubName = m.stubPath.substr(m.stubPath.rfind('\\') + 1);
  if (PathsEqual(path.c_str(), m.installDir.c_str()) && children.size() == 1 &&
      PathsEqual(children[0].c_str(), stubName.c_str()))
    out += "; the self-removal script removes it";
  return out;
}

void Observe(void* context) {
  Outcomes* o = static_cast<Outcomes*>(context);
  const std::vector<std::string>& calls = SimCalls();
  if (calls.empty() || o->byCall.count(calls.size() - 1)) return;
  const std::string& last = calls.back();
  size_t open = last.find('(');
  std::string name = last.substr(0, open), arg = last.substr(open + 1, last.size() - open - 2);
  if (name == "DeleteFileA" || name == "RemoveDirectoryA")
    o->byCall[calls.size() - 1] = Outcome(arg, name == "RemoveDirectoryA", *o->machine, o->codepage);
}

class Printer {
 public:
  Printer(const Machine& m, unsigned codepage, const Outcomes& o) : m_(m), codepage_(codepage), o_(o) {}

  std::string Show(const std::string& bytes) const { return ToUtf8(bytes, codepage_); }

  const char* FolderLabel(const std::string& path) const {
    for (const auto& f : m_.folders)
      if (PathsEqual(f.path.c_str(), path.c_str())) return f.label;
    return nullptr;
  }

  std::string Result(size_t call) const {
    auto it = o_.byCall.find(call);
    return it == o_.byCall.end() ? "?" : it->second;
  }

 private:
  const Machine& m_;
  unsigned codepage_;
  const Outcomes& o_;
};

void PrintFiles(const std::vector<std::string>& log, const Printer& p) {
  std::printf("\nfiles (in list order):\n");
  std::vector<std::string> treatments;
  bool any = false;
  for (size_t i = 0; i < log.size(); ++i) {
    Call c = Parse(log[i]);
    if (c.name == "RegQueryValueExA") {
      treatments.push_back("shared: one reference taken off its SharedDLLs count (1 here)");
    } else if (c.name == "MessageBoxA") {
      treatments.push_back("count ran out: asks whether to remove it (the plan answers Yes)");
    } else if (c.name == "RegDeleteValueA") {
      treatments.push_back("its SharedDLLs value removed");
    } else if (c.name == "RemoveFontResourceA") {
      treatments.push_back("font: removed from the font table, WM_FONTCHANGE broadcast");
    } else if (c.name == "GetProcAddress" && c.args.find("DllUnregisterServer") != std::string::npos) {
      treatments.push_back("selfreg: loaded and DllUnregisterServer called");
    } else if (c.name == "DeleteFileA" || c.name == "RemoveDirectoryA") {
      bool isDir = c.name == "RemoveDirectoryA";
      std::printf("  %s %s  [%s]\n", isDir ? "remove directory" : "delete", p.Show(c.args).c_str(),
                  p.Result(i).c_str());
      for (const std::string& t : treatments) std::printf("      %s\n", t.c_str());
      treatments.clear();
      any = true;
    }
  }
  if (!any) std::printf("  (nothing)\n");
}

void PrintShortcuts(const std::vector<std::string>& log, const Printer& p) {
  std::printf("\nshortcuts:\n");
  bool any = false;
  for (size_t i = 0; i < log.size(); ++i) {
    Call c = Parse(log[i]);
    if (c.name == "DeleteFileA") {
      std::printf("  delete %s  [%s]\n", p.Show(c.args).c_str(), p.Result(i).c_str());
      any = true;
    } else if (c.name == "RemoveDirectoryA") {
      std::printf("    then its folder %s  [%s]\n", p.Show(c.args).c_str(), p.Result(i).c_str());
      any = true;
    }
  }
  if (!any) std::printf("  (nothing)\n");
}

// The sweep's attempts, and the folders of listed files it did not try
// with the protected folder that is the reason.
void PrintSweep(const std::vector<std::string>& log, const Printer& p,
                const std::vector<std::string>& fileFolders) {
  std::printf("\ndirectory sweep (each folder the file list touched, if empty by now):\n");
  std::set<std::string> tried;
  for (size_t i = 0; i < log.size(); ++i) {
    Call c = Parse(log[i]);
    if (c.name == "SetCurrentDirectoryA" && c.args != "..")
      std::printf("  current directory: %s, then its parent\n", p.Show(c.args).c_str());
    if (c.name != "RemoveDirectoryA") continue;
    tried.insert(Fold(c.args));
    std::printf("  try %s  [%s]\n", p.Show(c.args).c_str(), p.Result(i).c_str());
  }
  std::set<std::string> told;
  for (const std::string& folder : fileFolders) {
    if (tried.count(Fold(folder)) || !told.insert(Fold(folder)).second) continue;
    const char* label = p.FolderLabel(folder);
    if (label)
      std::printf("  spared %s: it is %s\n", p.Show(folder).c_str(), label);
  }
}

void PrintKeys(const std::vector<std::string>& log, const Printer& p) {
  std::printf("\nregistry keys (each with everything below it):\n");
  bool any = false;
  int below = 0;
  std::string open;
  auto flush = [&]() {
    if (open.empty()) return;
    std::printf("%s\n", open.c_str());
    open.clear();
  };
  for (const std::string& entry : log) {
    Call c = Parse(entry);
    std::string root, path;
    if (c.name == "RegDeleteKeyA") {
      if (RootCall(c.args, &root, &path)) {
        flush();
        std::string tree = below ? " and " + std::to_string(below) + " keys below it" : "";
        std::printf("  delete %s\\%s%s\n", root.c_str(), p.Show(path).c_str(), tree.c_str());
        below = 0;
        any = true;
      } else {
        below++;
      }
    } else if (c.name == "RegOpenKeyExA" && RootCall(c.args, &root, &path)) {
      flush();
      size_t comma = path.rfind(',');
      if (comma != std::string::npos) path.resize(comma);
      open = "  " + root + "\\" + p.Show(path) + ": cannot be opened, nothing deleted";
      any = true;
    }
    if (c.name == "RegDeleteKeyA" || c.name == "RegEnumKeyExA") open.clear();
  }
  flush();
  if (!any) std::printf("  (nothing)\n");
}

}  // namespace

bool IsTemplateFile(const Bytes& file) {
  uint32_t offset = 0, size = 0;
  return file.size() <= 0xFFFFFFFFu &&
         FindTemplateBlock(file.data(), uint32_t(file.size()), &offset, &size) != READ_NO_TRAILER;
}

namespace {

// One argument of a Windows command line as SplitCommandLine reads it back:
// quoted, a quote escaped, backslashes doubled where a quote follows them.
std::string QuoteArgument(const std::string& text) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

const char kPlanTemplate[] = "C:\\SWEEPKIT.TMP\\template.skt";

}  // namespace

int PrintTemplatePlan(const std::string& label, const Bytes& file, const PlanOptions& given,
                      const PlanValues& named) {
  uint32_t offset = 0, size = 0;
  int status = FindTemplateBlock(file.data(), uint32_t(file.size()), &offset, &size);
  TemplateRead t;
  if (status == READ_OK) {
    t = ReadTemplateData(file.data() + offset, size);
    status = t.status;
  }
  if (status != READ_OK) throw PackError(label + ": damaged template: " + ReadReason(status));

  // The simulated machine's ANSI code page is the template's: its bytes
  // need no conversion.
  PlanOptions options = given;
  options.codepage = t.header.codepage;

  // The finisher itself, on the plan's machine: its folders, {app} the
  // install dir, named values from --set, an earlier uninstaller to merge.
  // Whatever it refuses, plan refuses with the same words.
  Machine m;
  std::string name = label.substr(label.find_last_of("/\\") + 1);
  size_t dot = name.rfind('.');
  name = (dot == std::string::npos ? name : name.substr(0, dot)) + ".exe";
  SetUpMachine(Bytes(file.begin(), file.begin() + offset), 0, name, options, &m);
  SimSetAnsiCodePage(options.codepage);
  static const char kCurrentVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";
  for (const auto& f : m.folders) {
    std::string name = f.name;
    if (name == "pf" || name == "cf")
      SimRegSetValue(HKEY_LOCAL_MACHINE, kCurrentVersion, name == "pf" ? "ProgramFilesDir" : "CommonFilesDir",
                     REG_SZ, f.path + '\0');
  }
  SimAddFile(kPlanTemplate, std::string(file.begin(), file.end()));
  std::string out = m.installDir + "\\" + Convert(name, options.codepage, "the file name");
  std::string line = std::string("sweepkit-finish ") + QuoteArgument(kPlanTemplate) + " " + QuoteArgument(out);
  for (const auto& v : named)
    line += " --set " + QuoteArgument(v.first + "=" + Convert(v.second, options.codepage, "--set " + v.first));
  if (!given.earlier.empty()) {
    std::string earlier = m.installDir + "\\" + Convert(given.earlierName, options.codepage, "--merge");
    SimAddFile(earlier, std::string(given.earlier.begin(), given.earlier.end()));
    line += " --merge " + QuoteArgument(earlier);
  }
  SimSetCommandLine(line);
  int code = RunFinisher();
  std::string said = SimConsoleText(STD_ERROR_HANDLE);
  if (!said.empty()) std::fprintf(stderr, "%s", ToUtf8(said, options.codepage).c_str());
  if (code != EXIT_WRITTEN) return 1;
  std::string finished = SimFileBytes(out);

  std::printf("template finished as sweepkit-finish would on the machine below\n");
  return PrintPlan(name, Bytes(finished.begin(), finished.end()), options);
}

bool IsPlanFolder(const std::string& name) {
  for (const PlanFolder& f : kPlanFolders)
    if (name == f.name) return true;
  return false;
}

int PrintPlan(const std::string& label, const Bytes& file, const PlanOptions& options) {
  size_t locator = FindLocator(file);
  uint32_t dataOffset = GetU32(&file[locator + DATA_LOCATOR_SIGNATURE_SIZE]);
  if (dataOffset == 0) throw PackError(label + " carries no uninstall data (dataOffset is 0)");
  std::string fileName = label.substr(label.find_last_of("/\\") + 1);

  Machine m;
  SetUpMachine(file, dataOffset, fileName, options, &m);
  Outcomes outcomes{&m, options.codepage, {}};
  Printer p(m, options.codepage, outcomes);

  InitializeRun((HINSTANCE)(uintptr_t)0x400000);
  if (!LoadUninstallInfo()) {
    std::printf("the stub refuses the data:");
    for (const SimMessageBox& box : SimMessageBoxes()) std::printf(" \"%s\"", p.Show(box.text).c_str());
    std::printf("\nnothing would be removed\n");
    return 1;
  }
  int questions = CreateListedItems();
  std::vector<std::string> fileFolders;
  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    const FileRecord* r = UninstallInfo.fileList[i];
    if (!ComposeEntryPath(r)) {
      std::printf("note: files[%u] is skipped by the stub: its path does not fit 260 bytes\n", i);
      continue;
    }
    std::string path = TrimBackslash(WorkPath);
    if (r->name[0]) path = TrimBackslash(path.substr(0, path.find_last_of('\\') + 1));
    if (!(r->flags & FILE_FONT)) fileFolders.push_back(path);
  }
  RegisterOwnerClass();
  CreateOwnerWindow();
  for (int i = 0; i < questions; i++) SimAnswerMessageBox(IDYES);

  std::printf("plan of %s\n", label.c_str());
  std::printf("installed as %s on a simulated machine where every listed item exists\n",
              p.Show(m.stubPath).c_str());
  std::printf("folders (--set NAME=VALUE to change):\n");
  for (const auto& f : m.folders) std::printf("  %-15s %s\n", f.name, p.Show(f.path).c_str());

  // The stages in the order the stub runs them after the confirmation.
  std::vector<std::vector<std::string>> logs;
  void (*const stages[])(void) = {RemoveFiles, RemoveShortcuts, SweepDirectories, RemoveRegistryKeys};
  for (auto stage : stages) {
    SimClearCalls();
    outcomes.byCall.clear();
    SimObserveCalls(Observe, &outcomes);
    stage();
    Observe(&outcomes);  // the stage's last call
    SimObserveCalls(nullptr, nullptr);
    logs.push_back(SimCalls());
    if (stage == RemoveFiles) PrintFiles(logs.back(), p);
    if (stage == RemoveShortcuts) PrintShortcuts(logs.back(), p);
    if (stage == SweepDirectories) PrintSweep(logs.back(), p, fileFolders);
    if (stage == RemoveRegistryKeys) PrintKeys(logs.back(), p);
  }
  std::printf("\nthen the self-removal script deletes %s and removes %s if it is empty\n",
              p.Show(m.stubPath).c_str(), p.Show(m.installDir).c_str());
  ReleaseUninstallInfo();  // for a caller that plans again
  return 0;
}

}  // namespace sweepkit
