#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "tests/cli/test_support.h"
#include "cli/manifest.h"

using namespace sweepkit;
using nlohmann::json;

namespace {

json MinimalManifest() {
  json strings;
  for (const char* name : kStringNames) strings[name] = name;
  return json{{"codepage", 1252}, {"strings", strings}};
}

std::string Refusal(const json& manifest) {
  try {
    ParseManifest(manifest.dump());
  } catch (const PackError& e) {
    return e.what();
  }
  return "(accepted)";
}

}  // namespace

TEST(Manifest, ReadsEntriesWithTheirDefaults) {
  json m = MinimalManifest();
  m["files"] = {{{"dir", "."}, {"name", "a.dll"}, {"shared", true}, {"selfreg", true}},
                {{"dir", ".\\data"}},
                {{"dir", "C:\\Fonts"}, {"name", "f.ttf"}, {"font", true}}};
  m["keys"] = {{{"root", "HKCU"}, {"path", "Software\\A"}},
               {{"root", "HKEY_CLASSES_ROOT"}, {"path", ".abc"}},
               {{"root", 2147483651u}, {"path", "X"}}};
  Manifest parsed = ParseManifest(m.dump());
  EXPECT_EQ(parsed.codepage, 1252u);
  EXPECT_EQ(parsed.data.keyChunks, KeyChunks::List);
  ASSERT_EQ(parsed.data.files.size(), 3u);
  EXPECT_EQ(parsed.data.files[0].flags, FILE_SHARED | FILE_SELFREG);
  EXPECT_FALSE(parsed.data.files[1].hasName) << "a missing name is no directory entry";
  EXPECT_EQ(parsed.data.files[1].flags, 0);
  EXPECT_EQ(parsed.data.files[2].flags, FILE_FONT);
  ASSERT_EQ(parsed.data.keys.size(), 3u);
  EXPECT_EQ(parsed.data.keys[0].root, 0x80000001u);
  EXPECT_EQ(parsed.data.keys[1].root, 0x80000000u);
  EXPECT_EQ(parsed.data.keys[2].root, 0x80000003u);
  EXPECT_EQ(parsed.data.strings[STR_SHARED_UNUSED], "shared_unused");
}

TEST(Manifest, ConvertsTextToTheCodePage) {
  json m = MinimalManifest();
  m["codepage"] = 1251;
  m["strings"]["caption"] = "Удаление";
  m["files"] = {{{"dir", "C:\\Рабочий стол"}, {"name", "x"}}};
  Manifest parsed = ParseManifest(m.dump());
  EXPECT_EQ(parsed.data.strings[STR_CAPTION], "\xD3\xE4\xE0\xEB\xE5\xED\xE8\xE5");
  EXPECT_EQ(parsed.data.files[0].dir.size(), 3u + 12u);

  m = MinimalManifest();
  m["codepage"] = 932;
  m["files"] = {{{"dir", "C:\\表"}, {"name", "x"}}};
  EXPECT_EQ(ParseManifest(m.dump()).data.files[0].dir, "C:\\\x95\x5C")
      << "a double-byte character whose second byte is a backslash";
}

TEST(Manifest, RefusalsNameTheEntry) {
  struct Case {
    const char* what;
    json manifest;
    std::string expected;
  };
  std::vector<Case> cases;
  auto add = [&cases](const char* what, const std::function<void(json&)>& change, std::string expected) {
    json m = MinimalManifest();
    change(m);
    cases.push_back({what, m, expected});
  };
  add("unknown top-level key", [](json& m) { m["colour"] = 1; }, "colour: unknown key");
  add("unknown text", [](json& m) { m["strings"]["hello"] = "x"; }, "strings.hello: unknown key");
  add("missing texts", [](json& m) { m["strings"].erase("no"); m["strings"].erase("no_all"); },
      "strings: missing no, no_all");
  add("no strings", [](json& m) { m.erase("strings"); }, "strings: missing");
  add("text not a string", [](json& m) { m["strings"]["done"] = 5; }, "strings.done: must be a string");
  add("files not a list", [](json& m) { m["files"] = json::object(); }, "files: must be a list");
  add("unknown file key", [](json& m) { m["files"] = {{{"dir", "."}, {"nmae", "x"}}}; },
      "files[0].nmae: unknown key");
  add("file without dir", [](json& m) { m["files"] = {{{"dir", "."}}, {{"name", "x"}}}; },
      "files[1]: missing dir");
  add("flag not boolean", [](json& m) { m["files"] = {{{"dir", "."}, {"shared", "yes"}}}; },
      "files[0].shared: must be true or false");
  add("shortcut without name", [](json& m) { m["shortcuts"] = {{{"dir", "C:\\M"}}}; },
      "shortcuts[0]: missing name");
  add("unknown root", [](json& m) { m["keys"] = {{{"root", "HKEY_NOWHERE"}, {"path", "x"}}}; },
      "keys[0].root: unknown root key \"HKEY_NOWHERE\"");
  add("negative root", [](json& m) { m["keys"] = {{{"root", -1}, {"path", "x"}}}; },
      "keys[0].root: must be a root key name or a number");
  add("root too large", [](json& m) { m["keys"] = {{{"root", 4294967296u}, {"path", "x"}}}; },
      "keys[0].root: must be a root key name or a number");
  add("bad key_chunks", [](json& m) { m["key_chunks"] = "some"; },
      "key_chunks: must be \"list\" or \"appended\"");
  add("fractional code page", [](json& m) { m["codepage"] = 1252.5; }, "codepage: must be a code page number");
  add("unknown code page", [](json& m) { m["codepage"] = 64999; }, "codepage: 64999 is not a code page");
  add("not in cp1251", [](json& m) {
        m["codepage"] = 1251;
        m["files"] = {{{"dir", "."}}, {{"dir", "."}}, {{"dir", "."}}, {{"dir", "C:\\Müll"}}};
      },
      "files[3].dir: cannot be represented in code page 1251");
  add("not in cp1252", [](json& m) { m["strings"]["caption"] = "Удаление"; },
      "strings.caption: cannot be represented in code page 1252");

  for (const Case& c : cases) EXPECT_EQ(Refusal(c.manifest).rfind(c.expected, 0), 0u)
      << c.what << ": " << Refusal(c.manifest);

  EXPECT_EQ(Refusal(json("a string")), "manifest: must be an object");
}

TEST(Manifest, RefusesInvalidJson) {
  for (std::string text : {std::string("{\"codepage\": 1252,"), "{\"codepage\": 1" + std::string(400, '0') + "}"}) {
    try {
      ParseManifest(text);
      FAIL() << "accepted " << text;
    } catch (const PackError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("manifest: not valid JSON: ", 0), 0u) << e.what();
    }
  }
}
