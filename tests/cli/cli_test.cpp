// Runs the sweepkit binary as a user would and checks exit codes, messages
// and the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tests/cli/test_support.h"
#include "cli/writer.h"

namespace fs = std::filesystem;
using namespace sweepkit_test;

namespace {

struct CliRun {
  int code = -1;
  std::string out, err;
};

class Cli : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sweepkit-cli-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    stub_ = Path("stub.exe");
    WriteFile(stub_, MinimalPe());
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  CliRun Sweepkit(const std::string& args) {
    std::string cmd = std::string("'") + SWEEPKIT_CLI + "' " + args + " >'" + Path("stdout") +
                      "' 2>'" + Path("stderr") + "'";
    int status = std::system(cmd.c_str());
    CliRun r;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(Path("stdout"));
    r.err = ReadFile(Path("stderr"));
    fs::remove(Path("stdout"));
    fs::remove(Path("stderr"));
    return r;
  }

  CliRun Pack(const std::string& manifestText, const std::string& out = "out.exe") {
    WriteFile(Path("app.json"), manifestText);
    return Sweepkit("pack --stub '" + stub_ + "' --manifest '" + Path("app.json") + "' --out '" +
                    Path(out) + "'");
  }

  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_, stub_;
};

std::string ExampleWith(const std::string& from, const std::string& to) {
  std::string text = ReadFile(ExampleManifestPath());
  size_t at = text.find(from);
  if (at == std::string::npos) return "(no " + from + " in the example)";
  return text.replace(at, from.size(), to);
}

}  // namespace

TEST_F(Cli, PacksTheExampleAndInspectsIt) {
  CliRun pack = Pack(ReadFile(ExampleManifestPath()));
  ASSERT_EQ(pack.code, 0) << pack.err;
  EXPECT_EQ(pack.err, "");
  std::string packed = ReadFile(Path("out.exe"));
  EXPECT_EQ(packed.size(), MinimalPe().size() + 950);
  sweepkit::Bytes fresh = MinimalPe();
  EXPECT_EQ(ReadFile(stub_), std::string(fresh.begin(), fresh.end()))
      << "the stub itself was changed";
  EXPECT_EQ(Entries(), (std::vector<std::string>{"app.json", "out.exe", "stub.exe"}));

  CliRun inspect = Sweepkit("inspect '" + Path("out.exe") + "' --codepage 1251");
  ASSERT_EQ(inspect.code, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("dataOffset 0x00000400 (1024)"), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find("+858    tag 0x1238 TAG_KEY       length 76"), std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find("dir \"C:\\WINDOWS\\Рабочий стол\" name \"Vantor Gliders 1.0.lnk\""),
            std::string::npos) << inspect.out;
  EXPECT_NE(inspect.out.find("\"The following file is write-protected:\\n%s\\nDo you"), std::string::npos)
      << inspect.out;
  EXPECT_NE(inspect.out.find("root 0x80000002 HKEY_LOCAL_MACHINE"), std::string::npos) << inspect.out;
}

TEST_F(Cli, RefusalsExitWithOneAndLeaveNothingBehind) {
  struct Case {
    const char* what;
    std::string manifest;
    const char* expected;
  } cases[] = {
      {"text with another conversion",
       ExampleWith("write-protected:\\n%s", "write-protected %d:\\n%s"),
       "sweepkit: strings.write_protected: holds a conversion other than one %s (use %% for a percent sign)\n"},
      {"name with a zero byte", ExampleWith("\"vantor.dll\"", "\"van\\u0000tor.dll\""),
       "sweepkit: files[0].name: contains a zero byte\n"},
      {"not in the code page", ExampleWith("\"glide.dat\"", "\"glideü.dat\""),
       "sweepkit: files[3].name: cannot be represented in code page 1251\n"},
      {"missing text", ExampleWith("\"caption\": \"Uninstall\",", ""), "sweepkit: strings: missing caption\n"},
      {"broken JSON", "{", nullptr},
  };
  for (const Case& c : cases) {
    CliRun r = Pack(c.manifest);
    EXPECT_EQ(r.code, 1) << c.what << ": " << r.err;
    if (c.expected)
      EXPECT_EQ(r.err, c.expected) << c.what;
    else
      EXPECT_EQ(r.err.rfind("sweepkit: ", 0), 0u) << c.what << ": " << r.err;
    EXPECT_EQ(Entries(), (std::vector<std::string>{"app.json", "stub.exe"})) << c.what;
  }
}

TEST_F(Cli, RefusesAStubThatAlreadyCarriesData) {
  ASSERT_EQ(Pack(ReadFile(ExampleManifestPath())).code, 0);
  stub_ = Path("out.exe");
  CliRun again = Pack(ReadFile(ExampleManifestPath()), "again.exe");
  EXPECT_EQ(again.code, 1);
  EXPECT_EQ(again.err, "sweepkit: the stub already carries data (dataOffset is 1024); pack a fresh stub\n");
  EXPECT_FALSE(fs::exists(Path("again.exe")));
}

TEST_F(Cli, WarnsAboutPathsThatNeedAShortInstallDirButPacks) {
  CliRun r = Pack(ExampleWith("\"glide.exe\"", "\"" + std::string(200, 'g') + "\""));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.rfind("sweepkit: warning: files[1]: its path fits only an install dir of at most 59 bytes", 0), 0u)
      << r.err;
  EXPECT_TRUE(fs::exists(Path("out.exe")));
}

TEST_F(Cli, UnwritableOutputIsRefused) {
  CliRun r = Pack(ReadFile(ExampleManifestPath()), "no-such-dir/out.exe");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.rfind("sweepkit: cannot create a file beside ", 0), 0u) << r.err;
}

TEST_F(Cli, UsageErrorsExitWithTwoHelpAndVersionWithZero) {
  for (const std::string& args : {std::string(""), std::string("pack --stub x --manifest y"),
                                  std::string("frobnicate"), std::string("inspect a b")}) {
    CliRun r = Sweepkit(args);
    EXPECT_EQ(r.code, 2) << "'" << args << "': " << r.err;
  }
  EXPECT_EQ(Sweepkit("pack --help").code, 0);
  CliRun version = Sweepkit("--version");
  EXPECT_EQ(version.code, 0) << version.err;
  EXPECT_EQ(version.out, "sweepkit " SWEEPKIT_VERSION "\n");
}

TEST_F(Cli, InspectReportsMissingAndDamagedData) {
  CliRun fresh = Sweepkit("inspect '" + stub_ + "'");
  EXPECT_EQ(fresh.code, 1);
  EXPECT_NE(fresh.err.find("carries no uninstall data (dataOffset is 0)"), std::string::npos) << fresh.err;

  WriteFile(Path("plain.bin"), std::string(100, 'x'));
  CliRun plain = Sweepkit("inspect '" + Path("plain.bin") + "'");
  EXPECT_EQ(plain.code, 1);
  EXPECT_EQ(plain.err, "sweepkit: no DataLocator signature \"wwgT)H\" in the file\n");

  ASSERT_EQ(Pack(ReadFile(ExampleManifestPath())).code, 0);
  std::string packed = ReadFile(Path("out.exe"));
  WriteFile(Path("cut.exe"), packed.substr(0, packed.size() - 8));  // without TAG_END
  CliRun cut = Sweepkit("inspect '" + Path("cut.exe") + "'");
  EXPECT_EQ(cut.code, 1);
  EXPECT_NE(cut.err.find("damaged: the chunk header at +942 lies past the end of the file"), std::string::npos)
      << cut.err;

  sweepkit::Bytes far(packed.begin(), packed.end());
  far[kLocatorAt + 7] = 0x7F;  // dataOffset far past the end
  WriteFile(Path("far.exe"), far);
  CliRun beyond = Sweepkit("inspect '" + Path("far.exe") + "'");
  EXPECT_EQ(beyond.code, 1);
  EXPECT_NE(beyond.err.find("damaged: dataOffset"), std::string::npos) << beyond.err;
}

// A template's plan is the plan of the uninstaller the finisher would make:
// the same lines as the plan of the manifest packed with the plan machine's
// folders given by hand (only the uninstaller's own name differs).
TEST_F(Cli, PlanOfATemplateIsThePlanOfItsFinishedUninstaller) {
  const std::string install = "C:\\Program Files\\Vantor Gliders";
  const std::string sets[] = {"desktop=C:\\WINDOWS\\Desktop", "programs=C:\\WINDOWS\\Start Menu\\Programs",
                              "group=Vantor Gliders"};
  std::string packSets = " --set 'app=" + install + "'", planSets;
  for (const std::string& s : sets) {
    packSets += " --set '" + s + "'";
    if (s.compare(0, 6, "group=") == 0) planSets += " --set '" + s + "'";
  }
  std::string manifest = std::string(" --manifest '") + SWEEPKIT_EXAMPLES_DIR + "/vantor-gliders.json'";
  ASSERT_EQ(Sweepkit("pack --stub '" + stub_ + "'" + manifest + " --template --out '" + Path("app.skt") + "'").code, 0);
  ASSERT_EQ(Sweepkit("pack --stub '" + stub_ + "'" + manifest + packSets + " --out '" + Path("app.exe") + "'").code, 0);

  CliRun finished = Sweepkit("plan '" + Path("app.exe") + "' --install-dir '" + install + "'");
  CliRun planned = Sweepkit("plan '" + Path("app.skt") + "' --install-dir '" + install + "'" + planSets);
  ASSERT_EQ(finished.code, 0) << finished.err;
  ASSERT_EQ(planned.code, 0) << planned.err;
  auto lines = [](const std::string& out) { return out.substr(out.find("\nfiles")); };
  EXPECT_EQ(lines(planned.out), lines(finished.out));
  EXPECT_NE(planned.out.find("delete C:\\WINDOWS\\Start Menu\\Programs\\Vantor Gliders\\Vantor Gliders.lnk"),
            std::string::npos)
      << planned.out;

  // A named value the template needs and nothing gives: refused, named in
  // the finisher's own words (plan runs it).
  CliRun missing = Sweepkit("plan '" + Path("app.skt") + "'");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("sweepkit-finish: shortcuts[0].dir: unknown constant {group}"), std::string::npos)
      << missing.err;
}
