// Random installations and answers against a small model of what an
// uninstall must leave behind.
//
// Each case comes from a seed: an installation folder, a machine (files,
// read-only and held files, servers, empty folders, neighbours, shared
// counts, key trees beside neighbours), file, shortcut and key lists with
// repeated and overlapping entries and every flag, protected folders,
// awkward names (command-interpreter characters, code pages 1252, 1251 and
// 932 with 0x5C trail bytes, paths near 259 bytes), a platform and the
// user's answers. Blocks are built directly, so entries the packer refuses
// come through. The model replays the four stages on a copy of the machine
// from the promised behaviour alone; it shares no code with the stub. A case
// that disagrees is shrunk and printed with its seed.
//
// SWEEPKIT_RANDOM_CASES (default 1000) and SWEEPKIT_RANDOM_SEED (default 1)
// choose the run; SWEEPKIT_RANDOM_SEED=<seed> SWEEPKIT_RANDOM_CASES=1
// replays one case.
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>

#include "finisher/finish.h"
#include "fixture.h"
#include "tests/cli/test_support.h"

namespace {

using Nodes = std::set<std::string>;

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return (uint32_t)(s >> 32);
  }
  int Pick(int n) { return (int)(Next() % (uint32_t)n); }
  bool Chance(int percent) { return Pick(100) < percent; }
};

// A thing on the machine before the run.
struct Item {
  char kind;  // F file, M server module, D folder, V shared count, K key, W key value, X key denied
  std::string path, name;
  uint32_t root = 0, value = 0;
  bool readOnly = false, held = false;
};

struct Case {
  uint32_t seed;
  std::string stub;  // the stub's full path
  DWORD platform = VER_PLATFORM_WIN32_NT, major = 5, minor = 1;
  std::vector<std::pair<int, std::string>> folders;  // shell folders set ("" fails the lookup)
  std::vector<Item> machine;
  std::vector<Block::File> files;
  std::vector<Block::Shortcut> shortcuts;
  std::vector<Block::Key> keys;
  bool confirm = true;
  std::vector<int> boxes, dialogs;  // answers to the shared-file questions and prompts
};

const char kShared[] = "SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\SHAREDDLLS";

std::string Up(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = (char)(c - 32);
  return s;
}

// ---- The model ----

// A path as the system takes it: against the current directory, separators
// collapsed, "." and ".." resolved, A-Z folded. "" when it names nothing.
std::string Key(const std::string& path, const std::string& cwd) {
  if (path.empty()) return "";
  std::string root = cwd.substr(0, 2), rest = path;
  std::vector<std::string> names;
  if (path.size() >= 3 && path[1] == ':' && path[2] == '\\') {
    root = path.substr(0, 2);
    rest = path.substr(3);
  } else if (path[0] == '\\') {
    rest = path.substr(1);
  } else {
    rest = cwd.substr(3) + "\\" + path;
  }
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = std::min(rest.find('\\', start), rest.size());
    std::string name = rest.substr(start, end - start);
    if (name == "..") {
      if (!names.empty()) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    start = end + 1;
  }
  std::string key = root + "\\";
  for (size_t i = 0; i < names.size(); i++) key += (i ? "\\" : "") + names[i];
  return Up(key);
}

std::string RootName(uint32_t root) {
  switch (root) {
    case 0x80000000u: return "HKCR";
    case 0x80000001u: return "HKCU";
    case 0x80000002u: return "HKLM";
    case 0x80000003u: return "HKU";
  }
  return "";
}

// A key as the registry names it: root, then the path's names in capitals.
std::string RegKey(uint32_t root, const std::string& path) {
  std::string key = RootName(root);
  for (size_t start = 0; start <= path.size();) {
    size_t end = std::min(path.find('\\', start), path.size());
    if (end > start) key += "\\" + Up(path.substr(start, end - start));
    start = end + 1;
  }
  return key;
}

// The path a file entry names, "." standing for the installation folder;
// false when it names none or would not fit 259 bytes.
bool EntryPath(const std::string& installDir, const Block::File& f, std::string* out) {
  std::string dir = f.dir;
  if (!dir.empty() && dir[0] == '.') {
    if (installDir.empty()) return false;
    dir = installDir + (dir.size() > 1 && dir[1] == '\\' ? dir.substr(2) : "");
  }
  std::string sep = !f.name.empty() && !dir.empty() && dir.back() != '\\' ? "\\" : "";
  if (dir.size() + sep.size() + f.name.size() > 259) return false;
  *out = dir + sep + f.name;
  return true;
}

// The stub's folder: its path up to the last backslash, then one backslash
// unless it already ends in one.
std::string InstallDirOf(const std::string& stub) {
  std::string dir = stub.substr(0, stub.rfind('\\'));
  return dir.empty() || dir.back() == '\\' ? dir : dir + "\\";
}

std::string StripOne(std::string p) {
  if (p.size() > 3 && p.back() == '\\') p.pop_back();
  return p;
}

struct Model {
  const Case& c;
  Nodes nodes;
  std::set<std::string> readOnly, held;
  std::map<std::string, uint32_t> counts;  // shared value name -> count
  std::set<std::string> denied;            // keys that refuse to open
  std::string cwd = "C:\\";
  int mode = -1;  // -1 ask, 0 no to all, 1 yes to all
  size_t box = 0, dialog = 0;

  int Box() { return box < c.boxes.size() ? c.boxes[box++] : IDNO; }
  int Dialog() { return dialog < c.dialogs.size() ? c.dialogs[dialog++] : IDCANCEL; }
  bool Has(const std::string& k) const { return nodes.count(k) != 0; }
  void EraseBelow(const std::string& prefix) {  // prefix and what lies under it
    for (auto it = nodes.begin(); it != nodes.end();) {
      const std::string& n = *it;
      bool under = n.compare(0, prefix.size(), prefix) == 0 &&
                   (n.size() == prefix.size() || n[prefix.size()] == '\\' || n[prefix.size()] == '|');
      it = under ? nodes.erase(it) : std::next(it);
    }
  }

  DWORD DeleteFile(const std::string& path) {
    std::string k = Key(path, cwd);
    if (Has("D:" + k)) return 5;
    if (k.empty() || !Has("F:" + k)) return 2;
    if (readOnly.count(k)) return 5;
    if (held.count(k)) return 32;
    nodes.erase("F:" + k);
    return 0;
  }
  void RemoveDir(const std::string& path) {
    std::string k = Key(path, cwd);
    if (k.empty() || !Has("D:" + k) || k.size() == 3 || k == cwd) return;
    for (const auto& n : nodes)
      if ((n[0] == 'F' || n[0] == 'D') && n.compare(2, k.size() + 1, k + "\\") == 0) return;
    nodes.erase("D:" + k);
  }

  void Files(const std::string& installDir) {
    for (const auto& f : c.files) {
      std::string path;
      if (!EntryPath(installDir, f, &path)) continue;
      if (f.name.empty()) {
        RemoveDir(path);
        continue;
      }
      if ((f.flags & FILE_SHARED) && !Shared(path)) continue;
      for (;;) {
        DWORD error = DeleteFile(path);
        if (error != 5 && error != 32) break;
        int answer = mode == 1 ? IDC_YES_ALL : mode == 0 ? IDC_NO_ALL : Dialog();
        if (answer == IDYES || answer == IDC_YES_ALL) readOnly.erase(Key(path, cwd));
        if (answer == IDYES) continue;
        if (answer == IDC_YES_ALL) mode = 1, DeleteFile(path);
        if (answer == IDC_NO_ALL) mode = 0;
        break;
      }
    }
  }
  // A shared file goes on to deletion only when its count runs out (or is
  // unknown) and the user says Yes.
  bool Shared(const std::string& path) {
    bool open = Has("K:HKLM\\" + std::string(kShared));
    std::string value = "V:HKLM\\" + std::string(kShared) + "|" + Up(path);
    if (open && Has(value)) {
      uint32_t& n = counts[Up(path)];
      if (n > 1) return --n, false;
      n = 0;
    }
    if (Box() != IDYES) return false;
    nodes.erase(value);
    return true;
  }
  void Shortcuts() {
    for (const auto& s : c.shortcuts) {
      if (!s.name.empty()) {
        std::string sep = !s.dir.empty() && s.dir.back() != '\\' ? "\\" : "";
        if (s.dir.size() + sep.size() + s.name.size() > 259) continue;
        DeleteFile(s.dir + sep + s.name);
      }
      if (!s.dir.empty()) RemoveDir(s.dir);
    }
  }
  void Sweep(const std::string& installDir, const std::vector<std::string>& guarded) {
    std::string k = Key(installDir, cwd);
    cwd = k.size() > 3 ? k.substr(0, std::max<size_t>(k.rfind('\\'), 3)) : k;
    std::string last;
    for (const auto& f : c.files) {
      std::string path;
      if ((f.flags & FILE_FONT) || !EntryPath(installDir, f, &path)) continue;
      if (!f.name.empty()) {
        size_t cut = path.rfind('\\');
        if (cut == std::string::npos) continue;
        path.resize(cut);
      }
      path = StripOne(path);
      bool spared = Up(path) == Up(last);
      for (const auto& g : guarded) spared = spared || Up(path) == Up(g);
      if (spared) continue;
      last = path;
      RemoveDir(path);
    }
  }
  // NT: the subkeys first, in the registry's order, and the first one that
  // cannot be opened stops the walk. The 95 family: the key with its tree
  // in one go, unless the key itself is refused.
  std::string FirstSubkey(const std::string& key) const {
    std::string prefix = "K:" + key + "\\", first;
    for (auto it = nodes.lower_bound(prefix); it != nodes.end() && it->compare(0, prefix.size(), prefix) == 0; ++it) {
      std::string name = it->substr(prefix.size());
      if (name.find('\\') == std::string::npos && (first.empty() || name < first)) first = name;
    }
    return first;
  }
  bool DeleteTree(const std::string& key) {
    if (!Has("K:" + key) || denied.count(key)) return false;
    if (c.platform == VER_PLATFORM_WIN32_NT)
      for (std::string sub; !(sub = FirstSubkey(key)).empty();)
        if (!DeleteTree(key + "\\" + sub)) return false;
    EraseBelow("K:" + key), EraseBelow("V:" + key);
    return true;
  }
  void Keys() {
    for (const auto& k : c.keys)
      if (!RootName(k.root).empty() && !k.path.empty()) DeleteTree(RegKey(k.root, k.path));
  }
};

// The folders the sweep must spare, as the case's machine has them.
std::vector<std::string> ProtectedFolders(const Case& c) {
  std::vector<std::string> out = {"C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM32", "C:\\WINDOWS\\Fonts",
                                  "C:\\WINDOWS\\Start Menu\\Programs", "C:\\WINDOWS\\Start Menu"};
  bool allUsers = true;
  for (const auto& f : c.folders) {
    if (f.first == CSIDL_DESKTOP) out.push_back(StripOne(f.second));
    if (f.second.empty()) allUsers = false;  // as on Windows 95
  }
  if (allUsers)
    for (const char* p : {"C:\\WINDOWS\\All Users\\Desktop", "C:\\WINDOWS\\All Users\\Start Menu",
                          "C:\\WINDOWS\\All Users\\Start Menu\\Programs"})
      out.push_back(p);
  return out;
}

// ---- Generating cases ----

const char* const kPieces[] = {"app", "Data", "read me", "a&b", "50%", "x^y", "(1)", "hey!", "a,b", "c;d",
                               "\xDCn\xEF", "\xCF\xF0\xEE\xE3", "\x83\x5C", "\x95\x5C\x8E\xA6", "Vantor"};

// The other case of the code page's letters: another folder to the system.
std::string FlipHigh(std::string s) {
  for (char& ch : s)
    if ((unsigned char)ch >= 0xC0) ch = (char)(ch ^ 0x20);
  return s;
}

std::string Name(Rng& r) {
  std::string n = kPieces[r.Pick(15)];
  if (r.Chance(40)) n += kPieces[r.Pick(15)];
  return r.Chance(15) ? Up(n) : n;
}

struct Generator {
  Rng r;
  Case c;
  std::string installDir;  // with its backslash
  std::map<std::string, char> made;  // model key -> 'F' or 'D'

  // Whether a file (or folder) may go at this key without clashing.
  bool Free(const std::string& k, char kind) {
    if (k.size() <= 3 || made.count(k)) return made.count(k) && made[k] == 'D' && kind == 'D';
    for (size_t i = k.find('\\', 3); i != std::string::npos; i = k.find('\\', i + 1))
      if (made.count(k.substr(0, i)) && made[k.substr(0, i)] == 'F') return false;
    return true;
  }
  void Mark(const std::string& k, char kind) {
    for (size_t i = k.find('\\', 3); i != std::string::npos; i = k.find('\\', i + 1)) made[k.substr(0, i)] = 'D';
    made[k] = kind;
  }
  void Add(Item item) {
    bool file = item.kind == 'F' || item.kind == 'M' || item.kind == 'D';
    std::string k = Key(item.path, "C:\\");
    char kind = item.kind == 'D' ? 'D' : 'F';
    if (file && (item.path.size() > 259 || !Free(k, kind))) return;
    if (file) Mark(k, kind);
    c.machine.push_back(item);
  }
  std::string Folder(const std::string& path) {
    size_t cut = path.rfind('\\');
    return cut == std::string::npos || cut < 3 ? "" : path.substr(0, cut);
  }

  Case Make(uint32_t seed) {
    r.s = seed * 0x9E3779B97F4A7C15ull + 1;
    c.seed = seed;
    std::string drive = r.Chance(80) ? "C:" : "D:";
    std::string base = drive + "\\" + Name(r) + (r.Chance(50) ? "\\" + Name(r) : "");
    size_t length = 200 + r.Pick(50);  // the stub's folder near 259 bytes
    if (r.Chance(15) && base.size() + 1 < length) base += "\\" + std::string(length - base.size() - 1, 'L');
    c.stub = base + (r.Chance(50) ? "\\Uninst.exe" : "\\Un inst%1.exe");
    if (c.stub.size() > 259 && !r.Chance(5)) c.stub = base.substr(0, 230) + "\\Uninst.exe";
    installDir = InstallDirOf(c.stub);
    Mark(Key(c.stub, "C:\\"), 'F');
    int platform = r.Pick(10);
    if (platform >= 6) c.platform = VER_PLATFORM_WIN32_WINDOWS, c.major = 4, c.minor = platform < 8 ? 10 : 0;
    if (platform >= 8)
      for (int csidl : {CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_STARTMENU, CSIDL_COMMON_PROGRAMS})
        c.folders.push_back({csidl, ""});
    std::string desktop = r.Chance(25) ? "C:\\WINDOWS\\" + Name(r) : "C:\\WINDOWS\\Desktop";
    c.folders.push_back({CSIDL_DESKTOP, desktop});
    const std::string programs = "C:\\WINDOWS\\Start Menu\\Programs";
    const std::vector<std::string> protectedDirs = {"C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM32", desktop,
                                                    "C:\\WINDOWS\\Fonts", programs};
    for (const auto& p : ProtectedFolders(c)) Mark(Key(p, "C:\\"), 'D');
    std::vector<std::string> names, subs;
    static const char* const kTypes[] = {".dll", ".exe", ".txt", ""};
    static const char* const kDots[] = {"..", ".x", "..\\other"};
    for (int i = 0; i < 4; i++) names.push_back(Name(r) + kTypes[r.Pick(4)]);
    for (int i = 0; i < 2; i++) subs.push_back(Name(r) + (r.Chance(30) ? "\\" + Name(r) : ""));
    std::string common = drive + "\\Common\\" + Name(r);
    bool sharedKey = r.Chance(85);

    for (int i = r.Pick(13); i > 0; i--) {
      Block::File f{"", names[r.Pick(4)], (uint8_t)(r.Pick(8) | (r.Chance(10) ? 0xF0 : 0))};
      std::string flip = protectedDirs[r.Pick(5)];
      switch (r.Pick(9)) {
        case 0: f.dir = "."; break;
        case 1: f.dir = ".\\"; break;
        case 2: f.dir = ".\\" + subs[r.Pick(2)]; break;
        case 3: f.dir = ".\\" + subs[r.Pick(2)] + "\\"; break;
        case 4: f.dir = kDots[r.Pick(3)]; break;
        case 5: f.dir = common; break;
        case 6: f.dir = (r.Chance(40) ? Up(flip) : r.Chance(30) ? FlipHigh(flip) : flip) + (r.Chance(20) ? "\\" : ""); break;
        case 7: f.dir = programs + "\\" + subs[0]; break;
        default: f.dir = r.Chance(50) ? "" : "rel\\" + subs[1]; break;
      }
      if (r.Chance(15)) f.name = "";
      else if (r.Chance(10)) f.name = subs[r.Pick(2)] + "\\" + f.name;
      c.files.push_back(f);
      std::string path;
      if (!EntryPath(installDir, f, &path) || path.empty() || !r.Chance(75)) continue;
      if (f.name.empty()) {
        Add({'D', path});
      } else if ((f.flags & FILE_SELFREG) && r.Chance(50)) {
        Add({'M', path, "", 0, (uint32_t)r.Chance(70)});
      } else {
        Item item{'F', path};
        item.readOnly = r.Chance(20);
        item.held = r.Chance(10);
        Add(item);
      }
      if (r.Chance(25) && !Folder(path).empty()) Add({'F', Folder(path) + "\\keep " + Name(r)});
      int count = r.Pick(5);  // none, or 0 to 3
      if ((f.flags & FILE_SHARED) && count && sharedKey) Add({'V', kShared, path, 0x80000002u, (uint32_t)count - 1});
    }
    if (sharedKey) Add({'V', kShared, "C:\\WINDOWS\\SYSTEM32\\other.dll", 0x80000002u, 1});
    Add({'F', installDir + "keep.txt"});
    Add({'F', base + " Tools\\keep.txt"});

    std::vector<std::string> groups = {programs + "\\" + Name(r), programs + "\\" + Name(r)};
    for (int i = r.Pick(6); i > 0; i--) {
      Block::Shortcut s{"", Name(r) + ".lnk"};
      switch (r.Pick(6)) {
        case 0: case 1: case 2: s.dir = groups[r.Pick(2)]; break;
        case 3: s.dir = desktop; break;
        case 4: s.dir = r.Chance(50) ? "" : ".\\" + subs[0]; break;
        default: s.dir = common + "\\"; break;
      }
      if (r.Chance(15)) s.name = "";
      c.shortcuts.push_back(s);
      if (r.Chance(75) && !s.name.empty() && !s.dir.empty()) Add({'F', StripOne(s.dir) + "\\" + s.name});
      if (r.Chance(20) && !s.dir.empty()) Add({'F', StripOne(s.dir) + "\\Other.lnk"});
    }

    const uint32_t roots[] = {0x80000000u, 0x80000001u, 0x80000002u, 0x80000003u};
    for (int i = r.Pick(4); i > 0; i--) {
      uint32_t root = roots[r.Pick(4)];
      std::string key = "Software\\" + Name(r);
      std::vector<std::string> tree = {key};
      for (int j = r.Pick(5); j > 0; j--) tree.push_back(tree[r.Pick((int)tree.size())] + "\\" + Name(r));
      for (const auto& k : tree) c.machine.push_back({r.Chance(60) ? 'W' : 'K', k, Name(r), root, 7});
      c.machine.push_back({'W', key + "X", "keep", root, 1});
      if (r.Chance(15)) c.machine.push_back({'X', tree[r.Pick((int)tree.size())], "", root});
      c.machine.push_back({'W', "Software", Name(r), root, 2});
      if (r.Chance(85)) c.keys.push_back({root, key});
      if (r.Chance(30)) c.keys.push_back({root, tree[r.Pick((int)tree.size())]});
    }
    if (r.Chance(10)) c.keys.push_back({roots[r.Pick(4)], ""});
    if (r.Chance(10)) c.keys.push_back({r.Chance(50) ? 0u : 0x80000005u, "Software\\Vantor"});
    if (r.Chance(10)) c.keys.push_back({0x80000002u, "Software\\Missing"});

    c.confirm = r.Chance(92);
    for (int i = r.Pick(4); i > 0; i--) c.boxes.push_back(r.Chance(50) ? IDYES : IDNO);
    const int prompts[] = {IDYES, IDC_YES_ALL, IDNO, IDC_NO_ALL, IDCANCEL};
    for (int i = r.Pick(6); i > 0; i--) c.dialogs.push_back(prompts[r.Pick(5)]);
    return c;
  }
};

// ---- Running a case ----

// Bytes of the code page as \xNN, for messages.
std::string Shown(const std::string& s) {
  std::string out;
  char buf[8];
  for (unsigned char ch : s) {
    if (ch >= 0x80) snprintf(buf, sizeof buf, "\\x%02X", ch), out += buf;
    else out += (char)ch;
  }
  return out;
}

class RandomInstall : public SimTest {
 protected:
  // "" when the stub and the model agree; otherwise what differs.
  std::string Check(const Case& c);
};

std::string RandomInstall::Check(const Case& c) {
  TearDown();
  SetUp();
  SimSetModulePath(c.stub);
  SimSetPlatform(c.platform, c.major, c.minor);
  for (const auto& f : c.folders) SimSetSpecialFolder(f.first, f.second);
  Model m{c};
  for (const Item& item : c.machine) {
    HKEY root = RootKeyFromValue(item.root);
    std::string k = Key(item.path, "C:\\");
    if (item.kind == 'F') SimAddFile(item.path, "x", item.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    if (item.kind == 'F' && item.readOnly) m.readOnly.insert(k);
    if (item.kind == 'F' && item.held) SimHoldOpen(item.path), m.held.insert(k);
    if (item.kind == 'M') SimAddModule(item.path, item.value != 0);
    if (item.kind == 'D') SimAddDir(item.path);
    if (item.kind == 'K') SimRegCreateKey(root, item.path);
    if (item.kind == 'X') SimRegDenyOpen(root, item.path), m.denied.insert(RegKey(item.root, item.path));
    if (item.kind == 'V' || item.kind == 'W') SimRegSetDword(root, item.path, item.name, item.value);
    if (item.kind == 'V') m.counts[Up(item.name)] = item.value;
  }
  Block b;
  b.strings(kExampleTexts).files(c.files).shortcuts(c.shortcuts).keys(c.keys).end();
  SimAddFile(c.stub, std::string(kStubImageSize, 'M') + b.bytes());
  DataLocator.dataOffset = kStubImageSize;
  SimAnswerMessageBox(c.confirm ? IDOK : IDCANCEL);
  for (int a : c.boxes) SimAnswerMessageBox(a);
  for (int a : c.dialogs) SimAnswerDialog(a);
  for (const auto& e : SimSnapshot()) m.nodes.insert(e.first);

  std::vector<std::string> guarded = ProtectedFolders(c);
  bool loads = c.stub.size() <= 259;
  std::string installDir = loads ? InstallDirOf(c.stub) : "";
  if (loads && c.confirm) {
    m.Files(installDir);
    m.Shortcuts();
    m.Sweep(installDir, guarded);
    m.Keys();
    if (c.platform != VER_PLATFORM_WIN32_NT) m.nodes.insert("F:" + Up(c.stub.substr(0, 2)) + "\\DELME.BAT");
  }

  int code = RunUninstaller(InstanceHandle, nullptr, (LPSTR) "", 1);
  // NT: the script waits in a folder of its own, directly in the temporary folder.
  if (loads && c.confirm && c.platform == VER_PLATFORM_WIN32_NT) {
    std::string folder = Up(SimLastProcess().currentDirectory);
    if (folder.rfind("C:\\WINDOWS\\TEMP\\~SK", 0) != 0 || folder.find('\\', 16) != std::string::npos)
      return "the script's folder is " + folder + "\n";
    m.nodes.insert("D:" + folder);
    m.nodes.insert("F:" + folder + "\\DELME.BAT");
  }
  std::string diff;
  if (code != (loads ? 0 : -1)) diff += "exit code " + std::to_string(code) + "\n";
  std::map<std::string, std::string> after = SimSnapshot();
  for (const auto& e : after) {
    if (!m.nodes.count(e.first)) diff += "  the stub left " + Shown(e.first) + "\n";
    bool readOnly = e.first[0] == 'F' && (strtoul(e.second.c_str(), nullptr, 16) & FILE_ATTRIBUTE_READONLY);
    if (e.first[0] == 'F' && readOnly != (m.readOnly.count(e.first.substr(2)) != 0))
      diff += "  read-only differs: " + Shown(e.first) + "\n";
  }
  for (const auto& n : m.nodes)
    if (!after.count(n)) diff += "  the stub removed " + Shown(n) + "\n";
  for (const auto& count : m.counts) {
    std::string bytes = SimRegValue(HKEY_LOCAL_MACHINE, kShared, count.first);
    if (bytes.size() == 4 && bytes != std::string((const char*)&count.second, 4))
      diff += "  shared count of " + Shown(count.first) + " differs\n";
  }
  // A run that could not load ends the process at once and frees nothing.
  if (loads && (SimLiveBlocks() || SimOpenHandleCount() || SimOpenKeyCount() || SimLiveItemLists() ||
                SimLoadedModuleCount()))
    diff += "  left behind: " + std::to_string(SimLiveBlocks()) + " blocks, " +
            std::to_string(SimOpenHandleCount()) + " handles, " + std::to_string(SimOpenKeyCount()) + " keys\n";
  return diff;
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  char buf[8];
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') out += '\\', out += (char)ch;
    else if (ch < 0x20 || ch >= 0x80) snprintf(buf, sizeof buf, "\\u%04x", ch), out += buf;
    else out += (char)ch;
  }
  return out + "\"";
}

// The case as a manifest (bytes of the code page as \u00XX), with the
// machine and the answers it needs.
std::string Manifest(const Case& c) {
  std::string out = "{\"seed\": " + std::to_string(c.seed) + ", \"stub\": " + Quote(c.stub) +
                    ", \"platform\": [" + std::to_string(c.platform) + ", " + std::to_string(c.major) + ", " +
                    std::to_string(c.minor) + "], \"confirm\": " + (c.confirm ? "true" : "false") + ",\n \"folders\": [";
  for (const auto& f : c.folders) out += "[" + std::to_string(f.first) + ", " + Quote(f.second) + "], ";
  out += "],\n \"boxes\": [";
  for (int a : c.boxes) out += std::to_string(a) + ", ";
  out += "], \"prompts\": [";
  for (int a : c.dialogs) out += std::to_string(a) + ", ";
  out += "],\n \"machine\": [\n";
  for (const auto& i : c.machine)
    out += "  {\"kind\": \"" + std::string(1, i.kind) + "\", \"path\": " + Quote(i.path) + ", \"name\": " +
           Quote(i.name) + ", \"root\": " + std::to_string(i.root) + ", \"value\": " + std::to_string(i.value) +
           (i.readOnly ? ", \"readonly\": true" : "") + (i.held ? ", \"held\": true" : "") + "},\n";
  out += " ],\n \"files\": [\n";
  for (const auto& f : c.files)
    out += "  {\"dir\": " + Quote(f.dir) + ", \"name\": " + Quote(f.name) + ", \"shared\": " +
           (f.flags & 1 ? "true" : "false") + ", \"font\": " + (f.flags & 2 ? "true" : "false") +
           ", \"selfreg\": " + (f.flags & 4 ? "true" : "false") + ", \"flags\": " + std::to_string(f.flags) + "},\n";
  out += " ],\n \"shortcuts\": [\n";
  for (const auto& s : c.shortcuts) out += "  {\"dir\": " + Quote(s.dir) + ", \"name\": " + Quote(s.name) + "},\n";
  out += " ],\n \"keys\": [\n";
  for (const auto& k : c.keys) out += "  {\"root\": " + std::to_string(k.root) + ", \"path\": " + Quote(k.path) + "},\n";
  return out + " ]}\n";
}

TEST_F(RandomInstall, StubAgreesWithTheModel) {
  const char* casesText = getenv("SWEEPKIT_RANDOM_CASES");
  const char* seedText = getenv("SWEEPKIT_RANDOM_SEED");
  uint32_t cases = casesText ? (uint32_t)strtoul(casesText, nullptr, 10) : 1000;
  uint32_t first = seedText ? (uint32_t)strtoul(seedText, nullptr, 10) : 1;
  auto start = std::chrono::steady_clock::now();
  int failing = 0;
  for (uint32_t seed = first; seed < first + cases && failing < 3; seed++) {
    Case c = Generator().Make(seed);
    std::string diff = Check(c);
    if (diff.empty()) continue;
    failing++;
    // Drop entries, machine items and answers while the disagreement stays.
    for (bool shrunk = true; shrunk;) {
      shrunk = false;
      auto drop = [&](auto& list) {
        for (size_t i = list.size(); i-- > 0;) {
          auto kept = list;
          list.erase(list.begin() + i);
          if (Check(c).empty()) list = kept;
          else shrunk = true;
        }
      };
      drop(c.files), drop(c.shortcuts), drop(c.keys), drop(c.machine), drop(c.boxes), drop(c.dialogs);
    }
    ADD_FAILURE() << "seed " << seed << " disagrees with the model (replay: SWEEPKIT_RANDOM_SEED=" << seed
                  << " SWEEPKIT_RANDOM_CASES=1):\n"
                  << diff << "smallest case that still disagrees:\n" << Check(c) << Manifest(c);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printf("[ random   ] seeds %u..%u: %u cases in %.1f s (%.0f a minute), %d disagreeing\n", first,
         first + cases - 1, cases, seconds, cases / seconds * 60, failing);
}

// A file entry as the merge tells entries apart: its full path (a `.` dir
// taken in folder), A-Z folded, without a final backslash but a drive's.
struct Entry {
  std::string path;
  bool folder;
};

Entry FileEntry(const BlockFile& f, const std::string& folder) {
  std::string dir(f.dir.bytes, f.dir.length), path = dir;
  if (!dir.empty() && dir[0] == '.') path = folder + (dir.size() >= 2 && dir[1] == '\\' ? "\\" + dir.substr(2) : "");
  if (f.name.length)
    path += (path.empty() || path.back() == '\\' ? "" : "\\") + std::string(f.name.bytes, f.name.length);
  if (path.size() > 3 && path.back() == '\\') path.pop_back();
  return {Up(path), f.name.length == 0 && !path.empty()};
}

// The list in the order the file stage needs: a folder entry waits until
// every entry inside it has gone out, all else keeps its place.
std::vector<std::string> FoldersLast(const std::vector<Entry>& list) {
  auto inside = [](const std::string& e, const std::string& d) {
    return e.size() > d.size() && e.compare(0, d.size(), d) == 0 && (d.back() == '\\' || e[d.size()] == '\\');
  };
  std::vector<bool> out(list.size()), waits(list.size());
  std::vector<std::string> order;
  auto ready = [&](size_t d) {
    for (size_t e = 0; e < list.size(); e++)
      if (!out[e] && e != d && inside(list[e].path, list[d].path)) return false;
    return true;
  };
  for (size_t i = 0; i < list.size(); i++) {
    if (out[i]) continue;
    if (list[i].folder && !ready(i)) {
      waits[i] = true;
      continue;
    }
    out[i] = true;
    order.push_back(list[i].path);
    // then the first waiting folder now free, and again from the top
    for (size_t d = 0; d < list.size(); d++)
      if (waits[d] && !out[d] && ready(d)) out[d] = true, order.push_back(list[d].path), d = (size_t)-1;
  }
  return order;
}

// Every block the writer makes of a generated installation, in either key
// layout and with lists left empty, is one the finisher's merge reads back
// whole and carries forward: the packer, `pack --template` and the finisher
// all write through this one builder. Flags stay within the three the
// writer can be given; entries over the stub's limits are left out, as the
// writer refuses them.
TEST(RandomBlocks, EveryWrittenBlockMerges) {
  const char* casesText = getenv("SWEEPKIT_RANDOM_CASES");
  uint32_t cases = casesText ? (uint32_t)strtoul(casesText, nullptr, 10) : 1000;
  const char kOld[] = "C:\\Old\\uninstall.exe";
  for (uint32_t seed = 1; seed <= cases; seed++) {
    Case c = Generator().Make(seed);
    for (int appended = 0; appended < 2; appended++) {
      std::vector<BlockText> strings;
      for (const std::string& t : kExampleTexts) strings.push_back({t.data(), (u32)t.size()});
      std::vector<BlockFile> files;
      std::vector<BlockShortcut> shortcuts;
      std::vector<BlockKey> keys;
      auto text = [](const std::string& t) { return BlockText{t.data(), (u32)t.size()}; };
      for (const auto& f : c.files) {
        BlockFile b{text(f.dir), text(f.name), (u8)(f.flags & 7)};
        u32 length;
        if (CheckFileLimits(&b, 64, &length) == LIMIT_OK) files.push_back(b);
      }
      for (const auto& sc : c.shortcuts) {
        BlockShortcut b{text(sc.dir), text(sc.name)};
        u32 length;
        if (CheckShortcutLimits(&b, &length) == LIMIT_OK) shortcuts.push_back(b);
      }
      for (const auto& k : c.keys) {
        BlockKey b{k.root, text(k.path)};
        if (CheckKeyLimits(&b) == LIMIT_OK && (!appended || keys.size() < KEY_SPARE_ENTRIES)) keys.push_back(b);
      }
      if (seed % 7 == 0) appended ? shortcuts.clear() : files.clear();
      BlockData data{strings.data(), (u32)strings.size(), files.data(), (u32)files.size(), shortcuts.data(),
                     (u32)shortcuts.size(), keys.data(), (u32)keys.size(), appended};
      ByteSink size{nullptr, 0, 0, 0};
      ASSERT_EQ(BUILD_NO_ROOM, BuildDataBlock(&data, &size)) << "seed " << seed;
      sweepkit::Bytes block(size.size);
      ByteSink sink{block.data(), (u32)block.size(), 0, 0};
      ASSERT_EQ(BUILD_OK, BuildDataBlock(&data, &sink)) << "seed " << seed;
      sweepkit::Bytes image = sweepkit::PackStub(sweepkit_test::MinimalPe(), block);
      SimReset();
      SimAddFile(kOld, std::string(image.begin(), image.end()));

      FileBytes file;
      BlockData old;
      int read = ReadOldUninstaller(kOld, &file, &old);
      ASSERT_EQ(1, read) << "seed " << seed << (appended ? ", keys appended: " : ", keys listed: ")
                         << SimConsoleText(STD_ERROR_HANDLE);
      auto same = [](const BlockText& a, const BlockText& b) {
        return a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
      };
      ASSERT_EQ(files.size(), old.fileCount) << "seed " << seed;
      for (size_t i = 0; i < files.size(); i++)
        EXPECT_TRUE(same(files[i].dir, old.files[i].dir) && same(files[i].name, old.files[i].name) &&
                    files[i].flags == old.files[i].flags) << "seed " << seed << ": files[" << i << "]";
      ASSERT_EQ(shortcuts.size(), old.shortcutCount) << "seed " << seed;
      for (size_t i = 0; i < shortcuts.size(); i++)
        EXPECT_TRUE(same(shortcuts[i].dir, old.shortcuts[i].dir) && same(shortcuts[i].name, old.shortcuts[i].name))
            << "seed " << seed << ": shortcuts[" << i << "]";
      ASSERT_EQ(keys.size(), old.keyCount) << "seed " << seed;
      for (size_t i = 0; i < keys.size(); i++)
        EXPECT_TRUE(keys[i].root == old.keys[i].root && same(keys[i].path, old.keys[i].path))
            << "seed " << seed << ": keys[" << i << "]";

      // Into a release that lists nothing, everything written comes forward.
      BlockData next{old.strings, old.stringCount, nullptr, 0, nullptr, 0, nullptr, 0, 0};
      MergeKept kept;
      ASSERT_EQ(1, MergeOld(&next, "C:\\New", &old, "C:\\Old", &kept)) << "seed " << seed;
      EXPECT_LE(next.fileCount + next.shortcutCount + next.keyCount, files.size() + shortcuts.size() + keys.size());
      EXPECT_EQ(kept.count, next.fileCount + next.shortcutCount + next.keyCount) << "seed " << seed;
      EXPECT_EQ(files.empty(), next.fileCount == 0) << "seed " << seed;
      EXPECT_EQ(keys.empty(), next.keyCount == 0) << "seed " << seed;

      // Into a release that lists every third of them again in capitals, and
      // the drive's root as a folder: the files come out as one list with each
      // path once and every folder entry after the last entry inside it.
      std::vector<std::string> spelled;
      for (size_t i = 0; i < files.size(); i += 3) {
        spelled.push_back(Up(std::string(files[i].dir.bytes, files[i].dir.length)));
        spelled.push_back(Up(std::string(files[i].name.bytes, files[i].name.length)));
      }
      std::vector<BlockFile> again;
      for (size_t i = 0; i < spelled.size(); i += 2)
        again.push_back({text(spelled[i]), text(spelled[i + 1]), (u8)(files[i / 2 * 3].flags & 7)});
      again.push_back({{"C:\\", 3}, {"", 0}, 0});
      std::vector<Entry> before;  // what the merge lists, before folders wait
      std::set<std::string> seen;
      for (const auto& f : again) {
        before.push_back(FileEntry(f, "C:\\New"));
        seen.insert(before.back().path);
      }
      for (u32 i = 0; i < old.fileCount; i++)
        if (seen.insert(FileEntry(old.files[i], "C:\\Old").path).second)
          before.push_back(FileEntry(old.files[i], "C:\\Old"));
      BlockData release{old.strings, old.stringCount, again.data(), (u32)again.size(), nullptr, 0, nullptr, 0, 0};
      ASSERT_EQ(1, MergeOld(&release, "C:\\New", &old, "C:\\Old", &kept)) << "seed " << seed;
      std::vector<std::string> merged;
      for (u32 i = 0; i < release.fileCount; i++) merged.push_back(FileEntry(release.files[i], "C:\\New").path);
      EXPECT_EQ(before.size() - again.size(), kept.count - release.shortcutCount - release.keyCount) << "seed " << seed;
      EXPECT_EQ(FoldersLast(before), merged) << "seed " << seed << (appended ? ", keys appended" : "");
      FreeAllFinishBlocks();
    }
  }
}

}  // namespace
