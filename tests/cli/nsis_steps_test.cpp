// sweepkit nsis-tree over random trees: what it records is every file and
// folder on disk, each folder after its contents, and a refused tree records
// nothing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "cli/nsis_steps.h"
#include "tests/cli/test_support.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using sweepkit_test::ReadFile;
using sweepkit_test::WriteFile;

namespace {

const char* const kParts[] = {"a", "B c", "d{e}", "$f", "g.h", "\xC3\xA9t\xC3\xA9", "i'j", "k`l"};

std::string Braced(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '{' ? std::string("{{") : std::string(1, c);
  return out;
}

class NsisTreeSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sweepkit-tree-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A random tree under root; returns the record each file and folder must
  // get: (dir, name), name "" for a folder.
  std::set<std::pair<std::string, std::string>> Grow(std::mt19937* rng, const fs::path& root) {
    std::set<std::pair<std::string, std::string>> want;
    std::vector<std::pair<fs::path, std::string>> folders = {{root, "{app}\\d"}};
    for (size_t i = 0; i < folders.size() && folders.size() < 12; ++i) {
      fs::create_directories(folders[i].first);
      want.insert({folders[i].second, ""});
      int entries = int((*rng)() % 5);
      for (int e = 0; e < entries; ++e) {
        std::string name = std::string(kParts[(*rng)() % 8]) + std::to_string(e);
        if ((*rng)() % 3 == 0) {
          folders.push_back({folders[i].first / name, folders[i].second + "\\" + Braced(name)});
        } else {
          WriteFile((folders[i].first / name).string(), name);
          want.insert({folders[i].second, Braced(name)});
        }
      }
    }
    return want;
  }

  int Tree(const fs::path& root) {
    WriteFile(dir_ + "/request",
              Json{{"at", "t.nsi:5"}, {"src", root.string()}, {"dest", "{app}\\d"}, {"nsis_dest", "$INSTDIR\\d"}}
                  .dump());
    return sweepkit::NsisTree(dir_ + "/request", dir_ + "/records", dir_ + "/include");
  }

  std::vector<Json> Records() {
    std::vector<Json> out;
    std::istringstream in(fs::exists(dir_ + "/records") ? ReadFile(dir_ + "/records") : "");
    for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
    return out;
  }

  std::string dir_;
};

TEST_F(NsisTreeSweep, RecordsEveryEntryOnceEachFolderAfterItsContents) {
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    fs::path root = fs::path(dir_) / ("tree" + std::to_string(seed));
    std::mt19937 rng(seed);
    auto want = Grow(&rng, root);
    fs::remove(dir_ + "/records");
    ASSERT_EQ(0, Tree(root));
    std::string include = ReadFile(dir_ + "/include");
    ASSERT_EQ(include.find("_SkRefusal"), std::string::npos) << include;

    std::vector<Json> records = Records();
    std::set<std::pair<std::string, std::string>> got;
    size_t firstFolder = records.size();
    for (size_t i = 0; i < records.size(); ++i) {
      const Json& r = records[i];
      EXPECT_EQ(r["at"], "t.nsi:5");
      EXPECT_TRUE(got.insert({r["dir"].get<std::string>(), r["name"].get<std::string>()}).second) << r.dump();
      if (r["name"] == "") {
        firstFolder = std::min(firstFolder, i);
        // nothing recorded later lies inside this folder
        std::string inside = r["dir"].get<std::string>() + "\\";
        for (size_t j = i + 1; j < records.size(); ++j)
          EXPECT_NE(records[j]["dir"].get<std::string>().rfind(inside, 0), 0u) << r.dump();
      } else {
        EXPECT_EQ(firstFolder, records.size()) << "a file after a folder: " << r.dump();
      }
    }
    EXPECT_EQ(want, got);

    // a SetOutPath per folder and the one after, dollars doubled for makensis
    size_t setOutPaths = 0, dollars = 0;
    for (size_t at = include.find("SetOutPath"); at != std::string::npos; at = include.find("SetOutPath", at + 1))
      ++setOutPaths;
    for (size_t at = include.find("$$f"); at != std::string::npos; at = include.find("$$f", at + 1)) ++dollars;
    size_t folders = 0, folderDollars = 0;
    for (const auto& w : want)
      if (w.second.empty()) {
        ++folders;
        folderDollars += w.first.find("$f") != std::string::npos;
      }
    EXPECT_EQ(folders + 1, setOutPaths);
    EXPECT_EQ(folderDollars > 0, dollars > 0);
  }
}

TEST_F(NsisTreeSweep, ARefusedTreeRecordsNothing) {
  std::mt19937 rng(7);
  fs::path root = fs::path(dir_) / "tree";
  Grow(&rng, root);
  for (const char* bad : {"a?b", "ends.", "ends ", "pipe|", "tab\t", "${define}"}) {
    SCOPED_TRACE(bad);
    WriteFile(dir_ + "/records", "{\"k\":\"text\"}\n");
    WriteFile((root / bad).string(), "x");
    ASSERT_EQ(0, Tree(root));
    fs::remove(root / bad);
    EXPECT_NE(ReadFile(dir_ + "/include").find("!define _SkRefusal"), std::string::npos);
    EXPECT_NE(ReadFile(dir_ + "/include").find("t.nsi:5: "), std::string::npos);
    EXPECT_EQ(ReadFile(dir_ + "/records"), "{\"k\":\"text\"}\n");
  }
}

TEST(NsisQuoted, PicksAQuoteTheTextDoesNotHold) {
  std::string q;
  for (std::string text : {"plain", "a\"b", "a\"b'c", "", "\"'"}) {
    ASSERT_TRUE(sweepkit::NsisQuoted(text, &q)) << text;
    EXPECT_EQ(q.front(), q.back());
    EXPECT_EQ(text.find(q.front()), std::string::npos);
    EXPECT_EQ(q.substr(1, q.size() - 2), text);
  }
  EXPECT_FALSE(sweepkit::NsisQuoted("a\"b'c`d", &q));
}

}  // namespace
