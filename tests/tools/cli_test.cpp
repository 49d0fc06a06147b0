// Runs the sweepkit binary as a user would and checks exit codes, messages
// and the files it leaves behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "tests/tools/test_support.h"
#include "tools/writer/writer.h"

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

  // A named value the template needs and nothing gives: refused, named.
  CliRun missing = Sweepkit("plan '" + Path("app.skt") + "'");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.err.find("shortcuts[0].dir: {group} is not given"), std::string::npos) << missing.err;
}

}  // namespace
