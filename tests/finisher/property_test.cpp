// One rule set, as a property: random templates with adversarial named
// values (Microsoft, empty, .., CLSID, a final backslash, a quote, ...) and
// random earlier uninstallers. Whatever the finisher writes, `plan` of it
// touches nothing the rules protect; and the finisher and `plan` of the
// template refuse the same inputs. SWEEPKIT_PROPERTY_CASES runs more than
// the default; a failure names its seed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/manifest.h"
#include "cli/plan.h"
#include "finisher/finish.h"
#include "platform/host/sim.h"
#include "tests/cli/test_support.h"

using namespace sweepkit;
using nlohmann::json;

namespace {

const char kInstall[] = "C:\\Program Files\\App";

// What no uninstall may remove, written down here rather than taken from the
// rules: folders no stage may try (the drive, the folders the stub's sweep
// spares), folders the system owns that no entry may name as a directory or
// a shortcut's folder (a file in one only draws a warning: the sweep tries
// it once emptied), and the registry keys every program shares.
const char* const kNeverTried[] = {
    "C:", "C:\\WINDOWS", "C:\\WINDOWS\\SYSTEM", "C:\\WINDOWS\\FONTS", "C:\\WINDOWS\\Desktop",
    "C:\\WINDOWS\\Start Menu", "C:\\WINDOWS\\Start Menu\\Programs"};
const char* const kNeverNamed[] = {"C:\\WINDOWS\\Start Menu\\Programs\\StartUp", "C:\\WINDOWS\\TEMP",
                                   "C:\\Program Files", "C:\\Program Files\\Common Files", "C:\\WINDOWS\\INF"};
const char* const kProtectedKeys[] = {
    "HKLM\\Software", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall",
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run",
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", "HKLM\\Software\\Classes\\CLSID",
    "HKLM\\Software\\Classes\\*", "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
    "HKCU\\Software\\Classes\\Directory", "HKCR\\CLSID", "HKCR\\*", "HKCR\\Interface", "HKU\\.DEFAULT\\Software",
    "HKLM\\SYSTEM\\CurrentControlSet"};

const char* const kValues[] = {"Microsoft", "", "..", "CLSID", "Vantor\\", "Van\"tor", "Vantor", "Microsoft\\Windows",
                               "Classes", "C:\\WINDOWS", "FONTS", "Start Menu", "PROGRA~1", "Uninstall", "Software",
                               ".", "Vantor\\..", "SYSTEM", "*", "C:\\", "Programs\\StartUp", "\\"};

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return s;
}

struct Gen {
  std::mt19937 rng;
  template <size_t N>
  const char* Pick(const char* const (&list)[N]) {
    return list[rng() % N];
  }
  bool Chance(int percent) { return int(rng() % 100) < percent; }
};

json RandomManifest(Gen& g) {
  static const char* const fileDirs[] = {"{app}", "{app}\\{x}", "{app}\\data", "{sys}", "{win}\\{x}", "{win}",
                                         "{fonts}", "{pf}\\{x}", "{cf}\\{y}", "{x}", "C:\\{x}", "{programs}\\{y}",
                                         "{desktop}", "{startmenu}\\{x}\\{y}", "{app}", "{app}\\bin", "{app}\\{y}",
                                         "{app}", "{app}\\data\\{x}"};
  static const char* const fileNames[] = {"a.exe", "b.dll", "", "{x}", "{y}.txt", "sub\\c.txt", "d.hlp", "e.ttf"};
  static const char* const linkDirs[] = {"{programs}\\{x}", "{programs}\\{y}\\{x}", "{startmenu}\\{x}", "{x}",
                                         "{programs}\\App", "{programs}\\{y}"};
  static const char* const linkNames[] = {"V.lnk", "{y}.lnk"};
  static const char* const roots[] = {"HKLM", "HKCU", "HKCR", "HKU"};
  static const char* const keyPaths[] = {"Software\\{x}", "Software\\Vantor\\{x}", "{x}", "Software\\Classes\\{x}",
                                         "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{x}",
                                         ".DEFAULT\\Software\\{x}", "{x}\\{y}", "Software\\{x}\\{y}", "Software\\App",
                                         "Software\\App\\{y}", "Software\\{y}"};
  json strings;
  for (const char* name : kStringNames) strings[name] = name;
  json m = {{"codepage", 1252}, {"strings", strings}, {"files", json::array()}, {"shortcuts", json::array()},
            {"keys", json::array()}};
  for (int n = 1 + g.rng() % 4; n > 0; n--) {
    json f = {{"dir", g.Pick(fileDirs)}, {"name", g.Pick(fileNames)}};
    if (g.Chance(15)) f["shared"] = true;
    if (g.Chance(10)) f["font"] = true;
    if (g.Chance(10)) f["selfreg"] = true;
    m["files"].push_back(f);
  }
  for (int n = g.rng() % 3; n > 0; n--) m["shortcuts"].push_back({{"dir", g.Pick(linkDirs)}, {"name", g.Pick(linkNames)}});
  for (int n = g.rng() % 4; n > 0; n--) m["keys"].push_back({{"root", g.Pick(roots)}, {"path", g.Pick(keyPaths)}});
  return m;
}

UninstallData RandomEarlier(Gen& g) {
  static const char* const dirs[] = {".", ".\\data", "C:\\Program Files\\App", "C:\\WINDOWS", "C:\\WINDOWS\\FONTS",
                                     "C:\\WINDOWS\\SYSTEM", "C:\\", "C:\\WINDOWS\\Start Menu\\Programs", "C:\\Other",
                                     "C:\\PROGRA~1", "C:\\WINDOWS\\Desktop\\.", "c:\\windows\\temp\\",
                                     "C:\\Program Files", "C:\\WINDOWS\\INF", "C:\\Vantor"};
  static const char* const names[] = {"a.exe", "", "old.txt", "b.dll"};
  static const char* const linkDirs[] = {"C:\\WINDOWS\\Start Menu\\Programs\\App", "C:\\WINDOWS\\Start Menu\\Programs",
                                         "C:\\WINDOWS\\Desktop", "C:\\WINDOWS\\Start Menu\\Programs\\\\StartUp"};
  static const std::pair<uint32_t, const char*> keys[] = {
      {0x80000002u, "Software\\Vantor"}, {0x80000000u, "CLSID"}, {0x80000002u, "Software"},
      {0x80000001u, "Software\\Microsoft\\Windows"}, {0x80000000u, ".vgl"}, {0x80000002u, "Software\\Classes\\*"}};
  UninstallData old;
  old.strings.assign(STR_COUNT, "old");
  // Mostly what an earlier release of the application would list.
  for (int n = 1 + g.rng() % 4; n > 0; n--)
    old.files.push_back({g.Chance(70) ? (g.Chance(50) ? "." : ".\\old") : g.Pick(dirs), g.Pick(names),
                         uint8_t(g.rng() % 8)});
  for (int n = g.rng() % 2; n > 0; n--) old.shortcuts.push_back({g.Pick(linkDirs), "V.lnk"});
  for (int n = g.Chance(50) ? g.rng() % 3 : 0; n > 0; n--) {
    auto k = keys[g.rng() % (sizeof keys / sizeof keys[0])];
    old.keys.push_back({k.first, k.second});
  }
  return old;
}

// Standard output and error of fn, with its result.
int Captured(const std::function<int()>& fn, std::string* out, std::string* err) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* o = std::tmpfile();
  FILE* e = std::tmpfile();
  int savedOut = dup(1), savedErr = dup(2);
  dup2(fileno(o), 1);
  dup2(fileno(e), 2);
  int code;
  try {
    code = fn();
  } catch (const PackError& error) {
    std::fprintf(stderr, "sweepkit: %s\n", error.what());
    code = 1;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  for (auto [file, text] : {std::make_pair(o, out), std::make_pair(e, err)}) {
    std::rewind(file);
    text->clear();
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
    std::fclose(file);
  }
  return code;
}

// The finisher on the plan's machine (a Windows 95 layout on C:), on its
// own: the template and the earlier uninstaller put there by hand.
int FinishDirectly(const Bytes& templ, const std::string& x, const std::string& y, const Bytes* earlier,
                   std::string* written, std::string* said) {
  SimReset();
  SimSetSpecialFolder(CSIDL_FONTS, "C:\\WINDOWS\\FONTS");
  for (int csidl : {CSIDL_DESKTOP, CSIDL_PROGRAMS, CSIDL_STARTMENU})
    SimSetSpecialFolder(csidl, csidl == CSIDL_STARTMENU ? "C:\\WINDOWS\\Start Menu"
                               : csidl == CSIDL_PROGRAMS ? "C:\\WINDOWS\\Start Menu\\Programs"
                                                         : "C:\\WINDOWS\\Desktop");
  const char key[] = "Software\\Microsoft\\Windows\\CurrentVersion";
  SimRegSetValue(HKEY_LOCAL_MACHINE, key, "ProgramFilesDir", REG_SZ, std::string("C:\\Program Files") + '\0');
  SimRegSetValue(HKEY_LOCAL_MACHINE, key, "CommonFilesDir", REG_SZ,
                 std::string("C:\\Program Files\\Common Files") + '\0');
  SimAddDir(kInstall);
  SimAddFile("C:\\setup\\app.skt", std::string(templ.begin(), templ.end()));
  const std::string out = std::string(kInstall) + "\\app.exe";
  // Arguments as a user's shell would quote them: \" for a quote, a final
  // backslash doubled.
  auto quoted = [](const std::string& v) {
    std::string q = "\"";
    for (size_t i = 0; i < v.size(); i++) {
      if (v[i] == '"') q += "\\\"";
      else q += v[i];
    }
    size_t backslashes = 0;
    while (backslashes < v.size() && v[v.size() - 1 - backslashes] == '\\') backslashes++;
    return q + std::string(backslashes, '\\') + "\"";
  };
  std::string line = "sweepkit-finish C:\\setup\\app.skt \"" + out + "\" --set " + quoted("x=" + x) + " --set " +
                     quoted("y=" + y);
  if (earlier) {
    SimAddFile(std::string(kInstall) + "\\uninstall.exe", std::string(earlier->begin(), earlier->end()));
    line += " --merge \"" + std::string(kInstall) + "\\uninstall.exe\"";
  }
  SimSetCommandLine(line);
  int code = RunFinisher();
  *said = SimConsoleText(STD_ERROR_HANDLE);
  *written = code == EXIT_WRITTEN ? SimFileBytes(out) : "";
  return code;
}

// The folders and keys plan's listing says the stages touch: every folder
// removal attempted (named: by an entry, not the sweep), every key tree
// deleted.
void Touched(const std::string& plan, std::vector<std::string>* folders, std::vector<std::string>* named,
             std::vector<std::string>* keys) {
  std::istringstream in(plan);
  std::string line, section;
  auto path = [](std::string rest) {
    size_t end = rest.find("  [");
    if (end != std::string::npos) rest.resize(end);
    return rest;
  };
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] != ' ') section = line;
    if (line.compare(0, 19, "  remove directory ") == 0) named->push_back(path(line.substr(19)));
    if (line.compare(0, 18, "    then its folder") == 0) named->push_back(path(line.substr(20)));
    if (line.compare(0, 6, "  try ") == 0) folders->push_back(path(line.substr(6)));
    if (section.compare(0, 13, "registry keys") == 0 && line.compare(0, 9, "  delete ") == 0) {
      std::string k = line.substr(9);
      size_t below = k.find(" and ");
      if (below != std::string::npos) k.resize(below);
      keys->push_back(k);
    }
  }
}

std::string Trimmed(std::string p) {
  while (!p.empty() && p.back() == '\\') p.pop_back();
  return Upper(p);
}

TEST(Property, WhateverTheFinisherWritesPlanTouchesNothingTheRulesProtect) {
  const char* more = std::getenv("SWEEPKIT_PROPERTY_CASES");
  const int cases = more ? std::atoi(more) : 400;
  int written = 0, refused = 0, merged = 0;
  for (int seed = 0; seed < cases; seed++) {
    Gen g{std::mt19937(seed)};
    json manifest = RandomManifest(g);
    std::vector<std::string> problems;
    Manifest m = ParseManifest(manifest.dump(), &problems);
    ASSERT_TRUE(problems.empty()) << "seed " << seed << ": " << problems[0];
    Bytes templ = PackTemplate(sweepkit_test::MinimalPe(), BuildTemplate(m.data, m.codepage, m.forced));
    static const char* const benign[] = {"Vantor", "App", "Vantor Gliders", "Gliders 2"};
    std::string x = g.Chance(40) ? g.Pick(kValues) : g.Pick(benign);
    std::string y = g.Chance(30) ? g.Pick(kValues) : g.Pick(benign);
    Bytes earlier;
    if (g.Chance(50)) earlier = PackStub(sweepkit_test::MinimalPe(), BuildBlock(RandomEarlier(g)));
    std::string what = "seed " + std::to_string(seed) + ", x=" + x + ", y=" + y + "\n" + manifest.dump();

    std::string out, said;
    int finished = FinishDirectly(templ, x, y, earlier.empty() ? nullptr : &earlier, &out, &said);
    ASSERT_TRUE(finished == EXIT_WRITTEN || finished == EXIT_REFUSED) << what << "\n" << said;

    PlanOptions options;
    options.installDir = kInstall;
    options.earlier = earlier;
    std::string planOut, planErr;
    int planned = Captured([&] { return PrintTemplatePlan("app.skt", templ, options, {{"x", x}, {"y", y}}); },
                           &planOut, &planErr);
    EXPECT_EQ(finished == EXIT_WRITTEN, planned == 0)
        << what << "\nthe finisher said: " << said << "\nplan said: " << planErr;
    if (finished != EXIT_WRITTEN) {
      refused++;
      continue;
    }
    written++;
    merged += !earlier.empty();

    PlanOptions plain;
    plain.installDir = kInstall;
    std::string listing, listingErr;
    ASSERT_EQ(0, Captured([&] { return PrintPlan("app.exe", Bytes(out.begin(), out.end()), plain); }, &listing,
                          &listingErr))
        << what << "\n" << listingErr;
    std::vector<std::string> folders, named, keys;
    Touched(listing, &folders, &named, &keys);
    folders.insert(folders.end(), named.begin(), named.end());
    for (const std::string& f : folders)
      for (const char* p : kNeverTried)
        EXPECT_NE(Trimmed(f), Upper(p)) << what << "\nplan tries to remove " << f << ":\n" << listing;
    for (const std::string& f : named)
      for (const char* p : kNeverNamed)
        EXPECT_NE(Trimmed(f), Upper(p)) << what << "\nan entry names " << f << ":\n" << listing;
    for (const std::string& k : keys)
      for (const char* p : kProtectedKeys) {
        std::string key = Upper(k), shared = Upper(p);
        EXPECT_FALSE(shared == key || shared.compare(0, key.size() + 1, key + "\\") == 0)
            << what << "\nplan deletes " << k << ", which holds " << p << ":\n" << listing;
      }
    if (HasFailure()) break;
  }
  // Both outcomes occur often enough for the property to mean something.
  EXPECT_GT(written, cases / 5);
  EXPECT_GT(refused, cases / 5);
  EXPECT_GT(merged, cases / 20);
  std::printf("%d cases: %d written (%d merged), %d refused\n", cases, written, merged, refused);
}

}  // namespace
