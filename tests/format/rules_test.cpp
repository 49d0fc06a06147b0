// The authoring rules, one table: per rule, entries that trip it and the
// nearest legitimate entries that must still pack without a word. Each
// packer that applies the rules is a Packer below; the table runs against
// every one of them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "platform/host/sim.h"
#include "tests/cli/test_support.h"
#include "finisher/finish.h"
#include "cli/block_reader.h"
#include "cli/codepage.h"
#include "cli/manifest.h"
#include "format/rules.h"
#include "cli/writer.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace sweepkit_test;

namespace {

enum Kind { Structural, Safety, Warning };

struct RuleCase {
  const char* rule;
  Kind kind;
  const char* list;  // the list whose first entry trips the rule
  const char* field;
  const char* text;  // start of the message after "list[i].field: "
  json trip;         // {"files": [...], "shortcuts": [...], "keys": [...]}
  json legit;
  // The finisher refuses it too, with the same rules and tables (but not a
  // record the manifest parser refuses before a template is made).
  bool finisher = true;
};

json F(const char* dir, const char* name) { return {{"dir", dir}, {"name", name}}; }
json K(const char* root, const char* path) { return {{"root", root}, {"path", path}}; }

const char kNeither[] = "is neither absolute";
const char kShared[] = "names a key other software shares";
const char kSystemDir[] = "is a directory entry for a folder the system owns";
const char kOtherSpelling[] = "is a spelling Windows reads as another path";

std::vector<RuleCase> Cases() {
  json app = F(".", "app.exe");
  std::string deep = ".\\";  // then 32 parts: more than the rules once split a path into
  for (int i = 0; i < 32; i++) deep += "a\\";
  return {
      {"relative dir", Structural, "files", "dir", kNeither,
       {{"files", {F("data", "x.dat")}}}, {{"files", {F(".\\data", "x.dat")}}}},
      {"dir naming the install folder's parent", Structural, "files", "dir", kNeither,
       {{"files", {F("..\\x", "y")}}}, {{"files", {F(".\\x", "y")}}}},
      {"drive-relative dir", Structural, "files", "dir", kNeither,
       {{"files", {F("C:Vantor", "x")}}}, {{"files", {F("C:\\Vantor", "x")}}}},
      {"server without share", Structural, "files", "dir", kNeither,
       {{"files", {F("\\\\server", "x")}}}, {{"files", {F("\\\\server\\share\\Vantor", "x")}}}},
      {"shortcut dir not absolute", Structural, "shortcuts", "dir", "is not absolute",
       {{"shortcuts", {F(".", "a.lnk")}}},
       {{"shortcuts", {F("C:\\WINDOWS\\Start Menu\\Programs\\Vantor", "a.lnk")}}}},
      {"name with a drive", Structural, "files", "name", "starts with a drive",
       {{"files", {F(".", "C:x.dll")}}}, {{"files", {F(".", "x.dll")}}}},
      {"name with a leading backslash", Structural, "files", "name", "starts with a backslash",
       {{"files", {F(".", "\\x.dll")}}}, {{"files", {F(".", "sub\\x.dll")}}}},
      {"name climbing out", Structural, "files", "name", "holds a .. part",
       {{"files", {F(".", "..\\x.dll")}}}, {{"files", {F(".", "..x.dll")}}}},
      {"name climbing out through slashes", Structural, "files", "name", "holds a .. part",
       {{"files", {F(".", "sub/../../x.dll")}}}, {{"files", {F(".", "sub/x.dll")}}}},
      {"dir climbing out after 32 parts", Structural, "files", "dir", "holds a .. part",
       {{"files", {F((deep + "..\\..").c_str(), "x")}}}, {{"files", {F((deep + "b").c_str(), "x")}}}},
      {"environment reference in a dir", Structural, "files", "dir", "holds a %NAME% reference",
       {{"files", {F("C:\\%WINDIR%\\SYSTEM", "a.dll")}}},
       {{"files", {F("C:\\Vantor\\100% sure", "a.dll")}}}},
      {"environment reference in a key", Structural, "keys", "path", "holds a %NAME% reference",
       {{"keys", {K("HKLM", "Software\\%USERNAME%")}}}, {{"keys", {K("HKLM", "Software\\Vantor 50%")}}}},
      {"file record without name", Structural, "files", "", "has no name",
       {{"files", {{{"dir", ".\\data"}}, F(".\\data", "x")}}},
       {{"files", {F(".\\data", "x"), F(".\\data", "")}}}, false},
      // spellings Windows reads as another path, which the stub's byte-wise
      // comparisons would not know a system folder by
      {"a long-path prefix", Structural, "files", "dir", kOtherSpelling,
       {{"files", {F("\\\\?\\C:\\WINDOWS\\FONTS", "")}}}, {{"files", {F("\\\\server\\share\\Vantor", "a.txt")}}}},
      {"a short name", Structural, "files", "dir", kOtherSpelling,
       {{"files", {F("C:\\WINDOWS\\DESKTO~1", "V.lnk")}}}, {{"files", {F("C:\\Vantor~Gliders", "V.lnk")}}}},
      {"a final dot", Structural, "shortcuts", "dir", kOtherSpelling,
       {{"shortcuts", {F("C:\\WINDOWS\\Start Menu\\Programs.", "V.lnk")}}},
       {{"shortcuts", {F("C:\\WINDOWS\\Start Menu\\Programs.V", "V.lnk")}}}},
      {"a short name inside a name", Structural, "files", "name", kOtherSpelling,
       {{"files", {F("C:\\WINDOWS", "DESKTO~1\\V.lnk")}}}, {{"files", {F("C:\\Vantor", "GLIDE~1.TXT")}}}},
      {"key path with a leading backslash", Structural, "keys", "path", "starts with a backslash",
       {{"keys", {K("HKLM", "\\Software\\Vantor")}}}, {{"keys", {K("HKLM", "Software\\Vantor")}}}},
      {"first level of a root", Safety, "keys", "path", kShared,
       {{"keys", {K("HKLM", "Software")}}}, {{"keys", {K("HKLM", "Software\\Vantor")}}}},
      {"uninstall list itself", Safety, "keys", "path", kShared,
       {{"keys", {K("HKLM", "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall")}}},
       {{"keys", {K("HKLM", "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor")}}}},
      {"Run key", Safety, "keys", "path", kShared,
       {{"keys", {K("HKCU", "software\\microsoft\\windows\\currentversion\\run")}}},
       {{"keys", {K("HKCU", "Software\\Vantor\\Run")}}}},
      {"CLSID container", Safety, "keys", "path", kShared, {{"keys", {K("HKCR", "CLSID")}}},
       {{"keys", {K("HKCR", "CLSID\\{6B29FC40-CA47-1067-B31D-00DD010662DA}")}}}},
      {"every file's menu", Safety, "keys", "path", kShared, {{"keys", {K("HKCR", "*\\shellex")}}},
       {{"keys", {K("HKCR", "*\\shellex\\ContextMenuHandlers\\Vantor")}}}},
      {"class root under Software", Safety, "keys", "path", kShared,
       {{"keys", {K("HKLM", "Software\\Classes\\Directory")}}},
       {{"keys", {K("HKLM", "Software\\Classes\\.vgl")}}}},
      {"a user's hive", Safety, "keys", "path", kShared, {{"keys", {K("HKU", ".DEFAULT")}}},
       {{"keys", {K("HKU", ".DEFAULT\\Software\\Vantor")}}}},
      {"services list", Safety, "keys", "path", kShared,
       {{"keys", {K("HKLM", "SYSTEM\\CurrentControlSet\\Services")}}},
       {{"keys", {K("HKLM", "SYSTEM\\CurrentControlSet\\Services\\VantorSvc")}}}},
      {"drive root", Safety, "files", "dir", "is a directory entry for a drive root",
       {{"files", {F("C:\\", "")}}}, {{"files", {F("C:\\Vantor", ""), F("C:\\Vantor", "x")}}}},
      {"Fonts folder", Safety, "files", "dir", kSystemDir, {{"files", {F("C:\\WINDOWS\\FONTS", "")}}},
       {{"files", {F("C:\\WINDOWS\\Vantor", ""), F("C:\\WINDOWS\\Vantor", "x")}}}},
      {"Fonts folder spelled with a . part", Safety, "files", "dir", kSystemDir,
       {{"files", {F("C:\\WINDOWS\\.\\FONTS", "")}}},
       {{"files", {F("C:\\WINDOWS\\.\\Vantor", ""), F("C:\\WINDOWS\\Vantor", "x")}}}},
      {"Windows TEMP folder", Safety, "files", "dir", kSystemDir,
       {{"files", {F("c:\\windows\\temp\\", "")}}},
       {{"files", {F("C:\\WINDOWS\\TEMP\\Vantor", ""), F("C:\\WINDOWS\\TEMP\\Vantor", "x")}}}},
      {"Program Files", Safety, "files", "dir", kSystemDir, {{"files", {F("D:\\Program Files", "")}}},
       {{"files", {F("D:\\Program Files\\Vantor", ""), F("D:\\Program Files\\Vantor", "x")}}}},
      {"a profile's Desktop", Safety, "files", "dir", kSystemDir,
       {{"files", {F("C:\\WINNT\\Profiles\\Alice\\Desktop", "")}}},
       {{"files", {F("C:\\WINNT\\Profiles\\Alice\\Desktop", "Vantor.lnk")}}}},
      {"shortcut in the Desktop folder", Safety, "shortcuts", "dir", "lies directly in a folder",
       {{"shortcuts", {F("C:\\WINDOWS\\Desktop", "Vantor.lnk")}}},
       {{"files", {F("C:\\WINDOWS\\Desktop", "Vantor.lnk")}}}},
      {"shortcut in the Programs folder", Safety, "shortcuts", "dir", "lies directly in a folder",
       {{"shortcuts", {F("C:\\Documents and Settings\\All Users\\Start Menu\\Programs", "V.lnk")}}},
       {{"shortcuts", {F("C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Vantor", "V.lnk")}}}},
      {"shared file outside the system folder", Warning, "files", "dir", "marks a file shared",
       {{"files", {{{"dir", "."}, {"name", "v.dll"}, {"shared", true}}}}},
       {{"files", {{{"dir", "C:\\WINDOWS\\SYSTEM"}, {"name", "v.dll"}, {"shared", true}}}}}},
      {"font outside the Fonts folder", Warning, "files", "dir", "marks a file as a font",
       {{"files", {{{"dir", "."}, {"name", "v.ttf"}, {"font", true}}}}},
       {{"files", {{{"dir", "C:\\WINDOWS\\FONTS"}, {"name", "v.ttf"}, {"font", true}}}}}},
      {"directory entry nothing else uses", Warning, "files", "dir", "is a directory entry for a folder no",
       {{"files", {F(".\\cache", ""), F(".\\data", "x")}}},
       {{"files", {F(".\\cache\\a", "x"), F(".\\cache", "")}}}},
      {"file directly in a folder the sweep removes", Warning, "files", "dir", "puts a file directly",
       {{"files", {F("C:\\WINDOWS\\HELP", "vantor.hlp")}}},
       {{"files", {F("C:\\WINDOWS\\HELP\\Vantor", "vantor.hlp")}}}},
  };
}

struct Result {
  int code = -1;
  std::string err;
  bool wrote = false;
};

// One way of packing a manifest with the rules applied. The finisher has
// no --werror and does not warn.
struct Packer {
  const char* name;
  std::function<Result(const json& manifest, bool werror)> pack;
  bool finisher = false;
};

// A Windows 95 machine for the finisher: its folders on drive C:.
void SetUpMachine() {
  SimReset();
  SimSetWindowsDirectory("C:\\WINDOWS");
  SimSetSystemDirectory("C:\\WINDOWS\\SYSTEM");
  SimRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                 REG_SZ, std::string("C:\\Program Files") + '\0');
  SimAddDir("C:\\Program Files\\Vantor");
  SimAddDir("C:\\setup");
}

// A stub whose one section holds initialised data, as the finisher wants.
sweepkit::Bytes FinishableStub() {
  sweepkit::Bytes stub = MinimalPe();
  stub[0x40 + 24 + 36] = 0x40;
  return stub;
}

// The finisher on the simulated machine, finishing into
// C:\Program Files\Vantor.
Result FinishTemplate(const sweepkit::Bytes& skt, const std::vector<std::string>& sets,
                      const std::string& out = "C:\\Program Files\\Vantor\\uninst.exe",
                      UINT codepage = 1252) {
  Result r;
  SetUpMachine();
  SimSetAnsiCodePage(codepage);
  SimAddFile("C:\\setup\\app.skt", std::string(skt.begin(), skt.end()));
  std::string line = "sweepkit-finish C:\\setup\\app.skt \"" + out + "\"";
  for (const std::string& set : sets)
    line += set.find(' ') == std::string::npos ? " --set " + set : " --set \"" + set + "\"";
  SimSetCommandLine(line);
  r.code = RunFinisher();
  r.err = SimConsoleText(STD_ERROR_HANDLE);
  r.wrote = SimExists(out) && SimFileBytes(out) != std::string(skt.begin(), skt.end());
  return r;
}

// The manifest made into a template without the packer's checks, so that
// every entry reaches the finisher.
Result RunFinisherOn(const json& manifest) {
  std::vector<std::string> problems;
  sweepkit::Manifest m = sweepkit::ParseManifest(manifest.dump(), &problems);
  if (!problems.empty()) return Result{1, problems[0], false};
  return FinishTemplate(
      sweepkit::PackTemplate(FinishableStub(), sweepkit::BuildTemplate(m.data, m.codepage, m.forced)), {});
}

class Rules : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sweepkit-rules-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    WriteFile(dir_ + "/stub.exe", FinishableStub());
  }
  void TearDown() override { fs::remove_all(dir_); }

  Result RunPack(const json& manifest, bool werror, const char* options = "") {
    WriteFile(dir_ + "/app.json", manifest.dump());
    fs::remove(dir_ + "/out.exe");
    std::string cmd = std::string("'") + SWEEPKIT_CLI + "' pack --stub '" + dir_ + "/stub.exe' --manifest '" +
                      dir_ + "/app.json' --out '" + dir_ + "/out.exe'" + (werror ? " --werror " : " ") +
                      options + " >/dev/null 2>'" + dir_ + "/err'";
    int status = std::system(cmd.c_str());
    Result r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadFile(dir_ + "/err");
    r.wrote = fs::exists(dir_ + "/out.exe");
    return r;
  }

  std::vector<Packer> Packers() {
    return {{"pack", [this](const json& m, bool w) { return RunPack(m, w); }},
            {"pack --template", [this](const json& m, bool w) { return RunPack(m, w, "--template"); }},
            {"sweepkit-finish", [](const json& m, bool) { return RunFinisherOn(m); }, true}};
  }

  std::string dir_;
};

json Manifest(const json& entries) {
  json strings;
  for (const char* name : sweepkit::kStringNames) strings[name] = name;
  json m = {{"codepage", 1252}, {"strings", strings}};
  for (auto it = entries.begin(); it != entries.end(); ++it) m[it.key()] = it.value();
  return m;
}

json Forced(json entries, const char* list) {
  entries[list][0]["force"] = true;
  return entries;
}

std::string Expected(const RuleCase& c, size_t index, const char* program = "sweepkit") {
  std::string path = std::string(c.list) + "[" + std::to_string(index) + "]";
  if (*c.field) path += std::string(".") + c.field;
  return std::string(program) + (c.kind == Warning ? ": warning: " : ": ") + path + ": " + c.text;
}

TEST_F(Rules, EachRuleTripsAndItsNearestLegitimateEntryPacks) {
  for (const Packer& packer : Packers()) {
    for (const RuleCase& c : Cases()) {
      if (packer.finisher && !c.finisher) continue;
      SCOPED_TRACE(std::string(packer.name) + ": " + c.rule);
      Result legit = packer.pack(Manifest(c.legit), true);
      EXPECT_EQ(legit.code, 0) << legit.err;
      EXPECT_EQ(legit.err, "") << "the legitimate entry draws a message";

      Result trip = packer.pack(Manifest(c.trip), false);
      if (packer.finisher && c.kind == Warning) {
        EXPECT_EQ(trip.code, 0) << trip.err;
        EXPECT_TRUE(trip.wrote);
        continue;
      }
      EXPECT_NE(trip.err.find(Expected(c, 0, packer.finisher ? "sweepkit-finish" : "sweepkit")), std::string::npos) << trip.err;
      EXPECT_EQ(trip.code, c.kind == Warning ? 0 : 1) << trip.err;
      EXPECT_EQ(trip.wrote, c.kind == Warning) << "written despite a refusal, or not despite a warning";

      if (!packer.finisher) {
        Result strict = packer.pack(Manifest(c.trip), true);
        EXPECT_EQ(strict.code, 1) << "--werror: " << strict.err;
        EXPECT_FALSE(strict.wrote);
      }

      Result forced = packer.pack(Manifest(Forced(c.trip, c.list)), false);
      if (c.kind == Safety) {
        EXPECT_EQ(forced.code, 0) << forced.err;
        EXPECT_NE(forced.err.find("kept because the entry says \"force\": true"), std::string::npos)
            << forced.err;
      } else if (c.kind == Structural) {
        EXPECT_EQ(forced.code, 1) << "force must not override a structural rule: " << forced.err;
      }
    }
  }
}

TEST_F(Rules, EveryProblemOfAManifestInOneRun) {
  json all = {{"files", json::array()}, {"shortcuts", json::array()}, {"keys", json::array()}};
  std::vector<std::string> expected;
  for (const RuleCase& c : Cases()) {
    expected.push_back(Expected(c, all[c.list].size()));
    for (const char* list : {"files", "shortcuts", "keys"})
      if (c.trip.contains(list))
        for (const json& e : c.trip[list]) all[list].push_back(e);
  }
  all["files"].push_back({{"dir", "."}, {"name", 7}});  // a parser refusal among them
  for (const Packer& packer : Packers()) {
    if (packer.finisher) continue;  // it stops at the parser's refusal
    Result r = packer.pack(Manifest(all), false);
    EXPECT_EQ(r.code, 1) << packer.name;
    EXPECT_FALSE(r.wrote) << packer.name;
    for (const std::string& e : expected) EXPECT_NE(r.err.find(e), std::string::npos) << packer.name << ": " << e;
    std::string parser = "files[" + std::to_string(all["files"].size() - 1) + "].name: must be a string";
    EXPECT_NE(r.err.find(parser), std::string::npos) << r.err;
  }
}

TEST_F(Rules, OutputThatIsTheStubIsRefused) {
  WriteFile(dir_ + "/app.json", Manifest({{"files", {F(".", "a")}}}).dump());
  fs::create_symlink(dir_ + "/stub.exe", dir_ + "/link.exe");
  std::string before = ReadFile(dir_ + "/stub.exe");
  for (const char* out : {"stub.exe", "link.exe", "app.json"}) {
    std::string cmd = std::string("'") + SWEEPKIT_CLI + "' pack --stub '" + dir_ + "/stub.exe' --manifest '" +
                      dir_ + "/app.json' --out '" + dir_ + "/" + out + "' >/dev/null 2>&1";
    int status = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << out;
  }
  EXPECT_EQ(ReadFile(dir_ + "/stub.exe"), before);

  // The finisher's OUT may not be the template (named in another letter
  // case here): refused, the template left as it was.
  sweepkit::Manifest m = sweepkit::ParseManifest(Manifest({{"files", {F(".", "a")}}}).dump());
  Result r = FinishTemplate(sweepkit::PackTemplate(FinishableStub(), sweepkit::BuildTemplate(m.data, 1252, {})),
                            {}, "c:\\SETUP\\App.skt");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_FALSE(r.wrote) << "the template was overwritten";
  EXPECT_NE(r.err.find("is the template itself"), std::string::npos) << r.err;
}

// What only the installing machine knows: a named value that makes an entry
// a system folder, a first-level key or a relative dir. The template packs;
// the finisher refuses, writes nothing, and with "force" only warns (but a
// path form stays refused).
TEST_F(Rules, FinisherJudgesEntriesOnceResolved) {
  struct Case {
    const char* what;
    const char* list;
    json entries;
    std::string set;
    std::string message;
    bool forceable;
  };
  json app = F("{app}", "glide.exe");
  const std::vector<Case> cases = {
      {"a named dir that is the Fonts folder", "files", {{"files", {app, F("{x}", "")}}},
       "x=C:\\WINDOWS\\FONTS",
       "files[1].dir: is a directory entry for a folder the system owns (the Fonts folder)", true},
      {"a named dir that is a drive root", "files", {{"files", {app, F("{x}\\", "")}}}, "x=C:\\",
       "files[1].dir: is a directory entry for a drive root", true},
      {"an empty Start menu group", "shortcuts", {{"shortcuts", {F("{programs}\\{group}", "V.lnk")}}},
       "group=", "shortcuts[0].dir: lies directly in a folder the system owns", true},
      {"a Start menu group named StartUp", "shortcuts",
       {{"shortcuts", {F("{programs}\\{group}", "V.lnk")}}}, "group=StartUp",
       "shortcuts[0].dir: lies directly in a folder the system owns", true},
      {"an empty company name", "keys", {{"keys", {K("HKLM", "Software\\{company}")}}}, "company=",
       "keys[0].path: names a key other software shares", true},
      {"a named dir that is relative", "files", {{"files", {F("{x}", "a.dat")}}}, "x=data",
       "files[0].dir: is neither absolute", false},
      // every depth, every root: the message names the value that did it
      {"a company named Microsoft", "keys", {{"keys", {K("HKCU", "Software\\{company}")}}}, "company=Microsoft",
       "keys[0].path: names a key other software shares (Windows and every Microsoft program keep their "
       "settings below it); {company} is \"Microsoft\"", true},
      {"a class named CLSID", "keys", {{"keys", {K("HKLM", "Software\\Classes\\{cls}")}}}, "cls=CLSID",
       "keys[0].path: names a key other software shares (the COM classes of every program); {cls} is \"CLSID\"",
       true},
      {"a group that is the Programs folder's parent", "shortcuts", {{"shortcuts", {F("{programs}\\{group}", "V.lnk")}}},
       "group=..", "shortcuts[0].dir: holds a .. part", false},
      {"a named dir in its short name", "files", {{"files", {app, F("{x}", "")}}}, "x=C:\\WINDOWS\\FONTS~1",
       "files[1].dir: is a spelling Windows reads as another path (a short (8.3) name)", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool force : {false, true}) {
      json entries = force ? Forced(c.entries, c.list) : c.entries;
      if (force && std::string(c.list) == "files") entries["files"][entries["files"].size() - 1]["force"] = true;
      Result packed = RunPack(Manifest(entries), true, "--template");
      ASSERT_EQ(packed.code, 0) << "the template must pack: " << packed.err;
      std::string skt = ReadFile(dir_ + "/out.exe");
      Result finished = FinishTemplate(sweepkit::Bytes(skt.begin(), skt.end()), {c.set});
      EXPECT_NE(finished.err.find("sweepkit-finish: " + std::string(force && c.forceable ? "warning: " : "") +
                                  c.message),
                std::string::npos)
          << finished.err;
      bool kept = force && c.forceable;
      EXPECT_EQ(finished.code, kept ? 0 : 1) << finished.err;
      EXPECT_EQ(finished.wrote, kept) << "written despite a refusal, or not despite force";
    }
  }
}

// The first file's or shortcut's dir as a packed or finished file holds it,
// in UTF-8.
std::string WrittenDir(const std::string& file, const std::string& list, unsigned codepage) {
  sweepkit::Bytes bytes(file.begin(), file.end());
  uint32_t offset = sweepkit::GetU32(&bytes[sweepkit::FindLocator(bytes) + 6]);
  if (offset == 0 || offset >= bytes.size()) return "(no data)";
  sweepkit::ParsedBlock block = sweepkit::ParseBlock(&bytes[offset], bytes.size() - offset);
  const std::string* dir = nullptr;
  if (list == "files" && !block.data.files.empty()) dir = &block.data.files[0].dir;
  if (list == "shortcuts" && !block.data.shortcuts.empty()) dir = &block.data.shortcuts[0].dir;
  return dir ? sweepkit::ToUtf8(*dir, codepage) : "(no entry)";
}

// One spelling per folder: the stub compares paths byte for byte, so every
// writer (pack, and pack --template finished on the simulated machine) puts
// a dir down in the one spelling its folder has, values substituted first;
// a ".." part, which that spelling cannot resolve, is refused.
TEST_F(Rules, EveryWriterSpellsAFolderOneWay) {
  const std::string programs = "C:\\WINDOWS\\Start Menu\\Programs";
  struct Case {
    const char* list;
    const char* dir;
    std::vector<std::string> sets;  // named values, for pack and the finisher
    const char* spelled;            // what is written; null: refused as holding a ".."
    unsigned codepage;
  };
  const std::vector<Case> cases = {
      {"files", "C:\\Vantor\\\\data\\\\", {}, "C:\\Vantor\\data", 1252},
      {"files", "C:/Vantor//data/", {}, "C:\\Vantor\\data", 1252},
      {"files", "C:\\Vantor\\.\\data\\.", {}, "C:\\Vantor\\data", 1252},
      {"shortcuts", "C:\\\\", {}, "C:\\", 1252},  // (a file there is refused: the sweep would try C:)
      {"files", "C:\\WINDOWS\\\\Desktop", {}, "C:\\WINDOWS\\Desktop", 1252},  // a folder the sweep spares
      {"files", "\\\\server\\share\\\\Vantor\\", {}, "\\\\server\\share\\Vantor", 1252},
      {"files", ".\\\\data\\\\", {}, ".\\data", 1252},
      {"files", ".\\.\\data", {}, ".\\data", 1252},
      {"files", ".\\", {}, ".", 1252},
      {"files", "{app}\\\\data\\", {}, ".\\data", 1252},
      {"files", "{x}\\data", {"x=C:\\Vantor\\"}, "C:\\Vantor\\data", 1252},
      {"files", "C:\\\xE8\xA1\xA8\\\\data", {}, "C:\\\xE8\xA1\xA8\\data", 932},  // 表: 0x95 0x5C
      // 表 ends in 0x5C, which the stub takes for a separator: one follows it
      {"files", "C:\\Vantor\\\xE8\xA1\xA8", {}, "C:\\Vantor\\\xE8\xA1\xA8\\", 932},
      {"shortcuts", "{programs}\\{group}\\", {"group=Vantor"}, "C:\\WINDOWS\\Start Menu\\Programs\\Vantor", 1252},
      {"shortcuts", "{programs}\\\\{group}", {"group=Vantor\\\\Gliders\\"},
       "C:\\WINDOWS\\Start Menu\\Programs\\Vantor\\Gliders", 1252},
      {"shortcuts", "{programs}\\{group}\\{sub}", {"group=Vantor", "sub="},
       "C:\\WINDOWS\\Start Menu\\Programs\\Vantor", 1252},
      {"files", ".\\data\\..\\x", {}, nullptr, 1252},
      {"files", "C:\\Vantor\\data\\..", {}, nullptr, 1252},
      {"files", "C:\\Vantor/../WINDOWS", {}, nullptr, 1252},
      {"files", "{x}", {"x=C:\\Vantor\\..\\WINDOWS"}, nullptr, 1252},
      {"shortcuts", "{programs}\\{group}", {"group=..\\Vantor"}, nullptr, 1252},
  };
  for (const Case& c : cases) {
    std::string list = c.list;
    SCOPED_TRACE(list + " dir " + c.dir + (c.sets.empty() ? "" : " with " + c.sets[0]));
    json manifest = Manifest({{list, {F(c.dir, list == "files" ? "a.txt" : "V.lnk")}}});
    manifest["codepage"] = c.codepage;
    std::string refusal = list + "[0].dir: holds a .. part";

    std::string sets = " --set 'programs=" + programs + "'";
    for (const std::string& set : c.sets) sets += " --set '" + set + "'";
    Result packed = RunPack(manifest, false, sets.c_str());
    if (c.spelled) {
      EXPECT_EQ(packed.code, 0) << "pack: " << packed.err;
      EXPECT_EQ(WrittenDir(ReadFile(dir_ + "/out.exe"), list, c.codepage), c.spelled) << "pack";
    } else {
      EXPECT_EQ(packed.code, 1) << "pack";
      EXPECT_FALSE(packed.wrote) << "pack";
      EXPECT_NE(packed.err.find("sweepkit: " + refusal), std::string::npos) << "pack: " << packed.err;
    }

    Result templ = RunPack(manifest, false, "--template");
    if (templ.code != 0) {  // a ".." written in the manifest
      EXPECT_EQ(c.spelled, nullptr) << "pack --template: " << templ.err;
      EXPECT_NE(templ.err.find("sweepkit: " + refusal), std::string::npos) << "pack --template: " << templ.err;
      continue;
    }
    std::string skt = ReadFile(dir_ + "/out.exe");
    const std::string out = "C:\\Program Files\\Vantor\\uninst.exe";
    Result finished = FinishTemplate(sweepkit::Bytes(skt.begin(), skt.end()), c.sets, out, c.codepage);
    if (c.spelled) {
      EXPECT_EQ(finished.code, 0) << "finisher: " << finished.err;
      EXPECT_EQ(WrittenDir(SimFileBytes(out), list, c.codepage), c.spelled) << "finisher";
    } else {
      EXPECT_EQ(finished.code, 1) << "finisher";
      EXPECT_FALSE(finished.wrote) << "finisher";
      EXPECT_NE(finished.err.find("sweepkit-finish: " + refusal), std::string::npos) << "finisher: " << finished.err;
    }
  }
}

// A template still holds its folders as constants: the rules judge an entry
// by the constant it starts with.
TEST(RulesApi, ConstantFoldersAndKnownPaths) {
  struct Seen {
    std::vector<std::string> problems;
  } seen;
  auto collect = [](void* context, const RuleProblem* p) {
    static_cast<Seen*>(context)->problems.push_back(std::string(RuleListName(p->list)) + "[" +
                                                    std::to_string(p->index) + "] " + p->text);
  };
  RuleFile files[] = {
      {"", "", 0, 0, FOLDER_FONTS},            // {fonts} as a directory entry
      {"\\TEMP", "", 0, 0, FOLDER_WIN},        // {win}\TEMP
      {"\\data", "", 0, 0, FOLDER_APP},        // {app}\data, used by the next entry
      {"\\data", "x", 0, 0, FOLDER_APP},
      {"D:\\OS\\FONTS", "", 0, 0, FOLDER_NONE},  // the machine's Fonts folder, known by path
  };
  RuleShortcut shortcuts[] = {{"", "V.lnk", 0, FOLDER_COMMONDESKTOP},
                              {"\\Vantor", "V.lnk", 0, FOLDER_PROGRAMS}};
  RuleFolders known{};
  known.path[FOLDER_FONTS] = "d:\\os\\fonts\\";
  RuleInput in{files, 5, shortcuts, 2, nullptr, 0, &known, nullptr, 0, 0};
  in.tables = DefaultRuleTables(&in.tablesSize);
  EXPECT_EQ(CheckRules(&in, collect, &seen), 4);
  std::vector<std::string> want = {
      "files[0] is a directory entry for a folder the system owns",
      "files[1] is a directory entry for a folder the system owns",
      "files[4] is a directory entry for a folder the system owns",
      "shortcuts[0] lies directly in a folder the system owns, which the shortcut stage then tries to "
      "remove; list such a shortcut under files"};
  EXPECT_EQ(seen.problems, want);
}

}  // namespace
