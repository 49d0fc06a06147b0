// Every code page the stub runs in: for every entry a writer puts down
// (pack, the finisher, the finisher's merge), the full path the stub's own
// path code builds is the one the author meant. Double-byte characters whose
// second byte is 0x5C (表, 乗, 許) are the hard case: the stub's byte-wise
// code takes that byte for a separator.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/run.h"
#include "cli/codepage.h"
#include "cli/constants.h"
#include "cli/manifest.h"
#include "finisher/finish.h"
#include "platform/host/sim.h"
#include "removal/removal.h"
#include "tests/cli/test_support.h"
#include "uninstall_info/process_state.h"

using namespace sweepkit;
using nlohmann::json;

namespace {

const char kInstall[] = "C:\\Program Files\\Vantor";
const char kPrograms[] = "C:\\WINDOWS\\Start Menu\\Programs";

struct Page {
  unsigned codepage;
  // UTF-8: a character whose second byte is 0x5C ("" where none is), and
  // two that differ only in an a-z letter's case in their second byte.
  const char* trail5C;
  const char* lower;
  const char* upper;
};

const Page kPages[] = {
    {932, "表", "ヂ", "ア"},
    {936, "乗", "乤", "丄"},
    {949, "", "갵", "갂"},
    {950, "許", "｛", "，"},
    {1252, "", "ö", "Ö"},
};

// A file or shortcut entry as the author writes it, and the path meant.
struct Entry {
  bool shortcut;
  std::string dir, name;  // manifest text
  std::string meant;      // UTF-8, without a final separator
};

std::string Join(std::string dir, const std::string& name) {
  while (!dir.empty() && dir.back() == '\\') dir.pop_back();
  return name.empty() ? dir : dir + "\\" + name;
}

// x: the value of {x}, UTF-8.
std::vector<Entry> Entries(const Page& p, const std::string& x) {
  std::vector<Entry> out;
  for (std::string w : {std::string(p.trail5C), std::string(p.lower) + "x", std::string("Vantor")}) {
    if (w == "x" || w.empty()) continue;
    out.push_back({false, "C:\\Apps\\" + w, "app.exe", Join("C:\\Apps\\" + w, "app.exe")});
    out.push_back({false, "C:\\Apps\\" + w + "\\\\", "b.dll", Join("C:\\Apps\\" + w, "b.dll")});
    out.push_back({false, "C:\\Apps\\" + w, "", "C:\\Apps\\" + w});
    out.push_back({false, "{app}\\" + w, "a.txt", Join(std::string(kInstall) + "\\" + w, "a.txt")});
    out.push_back({false, "{app}\\" + w, "", std::string(kInstall) + "\\" + w});
    out.push_back({false, "{app}", w + "\\c.txt", Join(kInstall, w + "\\c.txt")});
    out.push_back({true, "{programs}\\{x}", w + ".lnk", Join(std::string(kPrograms) + "\\" + x, w + ".lnk")});
    out.push_back({true, "{programs}\\" + w, "V.lnk", Join(std::string(kPrograms) + "\\" + w, "V.lnk")});
  }
  return out;
}

json ManifestOf(const Page& p, const std::vector<Entry>& entries) {
  json strings;
  for (const char* name : kStringNames) strings[name] = name;
  json m = {{"codepage", p.codepage}, {"strings", strings}, {"files", json::array()}, {"shortcuts", json::array()}};
  for (const Entry& e : entries)
    m[e.shortcut ? "shortcuts" : "files"].push_back({{"dir", e.dir}, {"name", e.name}});
  return m;
}

std::string InCodePage(const std::string& utf8, unsigned codepage) {
  std::string out;
  EXPECT_TRUE(FromUtf8(utf8, codepage, &out)) << utf8;
  return out;
}

// A path with one real final separator taken off (a directory entry may
// keep one).
std::string WithoutFinalSeparator(const std::string& path, unsigned codepage) {
  if (path.size() > 3 && path.back() == '\\' && !EndsInTrailBackslash(path.data(), uint32_t(path.size()), codepage))
    return path.substr(0, path.size() - 1);
  return path;
}

// The paths the stub builds for the uninstaller at `exe` on the simulated
// machine: its own start-up gives InstallDir, its loader the lists.
std::vector<std::string> StubPaths(const std::string& exe, unsigned codepage) {
  std::vector<std::string> paths;
  std::string bytes = SimFileBytes(exe);
  uint32_t offset = GetU32(reinterpret_cast<const uint8_t*>(bytes.data()) + sweepkit_test::kLocatorAt + 6);
  SimSetModulePath(exe);
  EXPECT_TRUE(InitializeRun(reinterpret_cast<HINSTANCE>(uintptr_t(0x400000))));
  EXPECT_EQ(LOAD_OK, ReadUninstallInfoFile(exe.c_str(), offset));
  for (u32 i = 0; i < UninstallInfo.fileCount; i++) {
    std::string path = ComposeEntryPath(UninstallInfo.fileList[i]) ? WorkPath : "(no path)";
    paths.push_back(WithoutFinalSeparator(path, codepage));
  }
  for (u32 i = 0; i < UninstallInfo.shortcutCount; i++)
    paths.push_back(ComposeShortcutPath(UninstallInfo.shortcutList[i]) ? WorkPath : "(no path)");
  ReleaseUninstallInfo();
  return paths;
}

void Machine(unsigned codepage) {
  SimReset();
  SimSetAnsiCodePage(codepage);
  SimSetSpecialFolder(CSIDL_PROGRAMS, kPrograms);
  SimRegSetValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", REG_SZ,
                 std::string("C:\\Program Files") + '\0');
  SimAddDir(kInstall);
  SimAddDir("C:\\Old");
}

TEST(CodePages, EveryWriterPutsDownThePathTheAuthorMeant) {
  for (const Page& p : kPages) {
    SCOPED_TRACE("code page " + std::to_string(p.codepage));
    const std::string xUtf8 = p.trail5C[0] ? p.trail5C : p.lower;
    const std::vector<Entry> entries = Entries(p, xUtf8);
    std::vector<std::string> meant;
    for (const Entry& e : entries)
      if (!e.shortcut) meant.push_back(InCodePage(e.meant, p.codepage));
    for (const Entry& e : entries)
      if (e.shortcut) meant.push_back(InCodePage(e.meant, p.codepage));
    std::string x = InCodePage(xUtf8, p.codepage);

    Manifest m = ParseManifest(ManifestOf(p, entries).dump());
    const std::string exe = std::string(kInstall) + "\\uninstall.exe";

    // pack, the machine's folders given on its command line
    std::vector<Issue> issues;
    UninstallData packed = ResolveData(m.data, {{"app", kInstall}, {"programs", kPrograms}, {"x", x}},
                                       p.codepage, &issues);
    EXPECT_TRUE(issues.empty()) << issues[0].message;
    Machine(p.codepage);
    Bytes image = PackStub(sweepkit_test::MinimalPe(), BuildBlock(packed));
    SimAddFile(exe, std::string(image.begin(), image.end()));
    EXPECT_EQ(meant, StubPaths(exe, p.codepage)) << "pack";

    // the finisher, and its merge of an earlier uninstaller in another
    // folder whose `.` entries it makes absolute
    Bytes templ = PackTemplate(sweepkit_test::MinimalPe(), BuildTemplate(m.data, m.codepage, m.forced));
    UninstallData old;
    old.strings.assign(STR_COUNT, "old");
    for (const Entry& e : entries)
      if (!e.shortcut && e.dir.compare(0, 5, "{app}") == 0)
        old.files.push_back({InCodePage("." + e.dir.substr(5) + "\\old", p.codepage), InCodePage(e.name, p.codepage), 0});
    Bytes earlier = PackStub(sweepkit_test::MinimalPe(), BuildBlock(old));
    for (bool merge : {false, true}) {
      Machine(p.codepage);
      SimAddFile("C:\\setup\\app.skt", std::string(templ.begin(), templ.end()));
      SimAddFile("C:\\Old\\uninstall.exe", std::string(earlier.begin(), earlier.end()));
      SimSetCommandLine("sweepkit-finish C:\\setup\\app.skt \"" + exe + "\" --set \"x=" + x + "\"" +
                        (merge ? " --merge C:\\Old\\uninstall.exe" : ""));
      ASSERT_EQ(0, RunFinisher()) << SimConsoleText(STD_ERROR_HANDLE);
      std::vector<std::string> want = meant;
      if (merge) {
        std::vector<std::string> kept;
        for (const Entry& e : entries)
          if (!e.shortcut && e.dir.compare(0, 5, "{app}") == 0)
            kept.push_back(InCodePage(Join("C:\\Old" + e.dir.substr(5) + "\\old", e.name), p.codepage));
        want.insert(want.end(), kept.begin(), kept.end());
      }
      std::vector<std::string> got = StubPaths(exe, p.codepage);
      std::sort(want.begin(), want.end());
      std::sort(got.begin(), got.end());
      EXPECT_EQ(want, got) << (merge ? "the finisher's merge" : "the finisher");
    }
  }
}

}  // namespace
