// Writes the fuzzer's seed corpus: the example block and variants that
// reach the loader's corners (appended keys, flags, cut blocks, unknown and
// repeated chunks, oversized records and counts, texts with conversions).
//   sweepkit_fuzz_corpus DIR [TEMPLATE_DIR]
// TEMPLATE_DIR receives the finisher's seeds: templates of the example
// releases on a minimal program image.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/cli/test_support.h"
#include "cli/manifest.h"
#include "cli/writer.h"

using namespace sweepkit;

namespace {

std::string dir;

void Write(const char* name, const Bytes& b) {
  std::ofstream(dir + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::string ReadExample(const std::string& name) {
  std::ifstream in(std::string(SWEEPKIT_EXAMPLES_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteTemplates(const std::string& into) {
  dir = into;
  const char* const manifests[][2] = {{"vantor-gliders.json", "example.skt"},
                                      {"vantor-gliders-1.1.json", "example-1.1.skt"},
                                      {"literal/vantor-gliders.json", "literal.skt"}};
  for (const auto& m : manifests) {
    Manifest manifest = ParseManifest(ReadExample(m[0]));
    Write(m[1], PackTemplate(sweepkit_test::MinimalPe(),
                             BuildTemplate(manifest.data, manifest.codepage, manifest.forced)));
  }
  // the examples append their keys; the other layout lists them
  Manifest listed = ParseManifest(ReadExample("vantor-gliders-1.1.json"));
  listed.data.keyChunks = KeyChunks::List;
  Write("example-1.1-listed.skt",
        PackTemplate(sweepkit_test::MinimalPe(), BuildTemplate(listed.data, listed.codepage, listed.forced)));
}

void Chunk(Bytes& b, uint32_t tag, const Bytes& payload) {
  PutU32(b, tag);
  PutU32(b, uint32_t(payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
}

Bytes Key(uint32_t root, const std::string& path) {
  Bytes k;
  PutU32(k, root);
  PutU16(k, uint16_t(path.size()));
  k.insert(k.end(), path.begin(), path.end());
  return k;
}

// The strings chunk of a block built from data (always the first chunk).
Bytes StringsChunk(const UninstallData& data) {
  Bytes b = BuildBlock(data);
  b.resize(8 + GetU32(&b[4]));
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: sweepkit_fuzz_corpus DIR [TEMPLATE_DIR]\n");
    return 2;
  }
  dir = argv[1];
  UninstallData example = ParseManifest(ReadExample("literal/vantor-gliders.json")).data;

  Bytes block = BuildBlock(example);
  Write("example", block);
  Write("no_end", Bytes(block.begin(), block.end() - 8));
  Write("cut_header", Bytes(block.begin(), block.begin() + 5));

  UninstallData listed = example;
  listed.keyChunks = KeyChunks::List;
  listed.files[0].flags = FILE_SHARED | FILE_SELFREG;
  listed.files[1].flags = FILE_FONT;
  listed.files.push_back({".\\data", "", 0});
  listed.keys.push_back({0x80000001u, "Software\\Vantor"});
  Write("listed", BuildBlock(listed));

  // Sound but for one record a byte past the loader's scratch block.
  UninstallData past = example;
  past.files[0].dir = std::string(LIMIT_MAX_RECORD + 1 - past.files[0].name.size(), 'd');
  Write("record_past_scratch", BuildBlock(past));

  Bytes strings = StringsChunk(example);
  Bytes keys;
  Bytes b = strings;
  Chunk(b, 0x1238, Key(0x80000002u, "Software\\A"));  // TAG_KEY before TAG_KEYS
  Chunk(b, 0x7F7F, {});
  Write("key_before_keys", b);

  b = strings;
  Chunk(b, 0x1237, {0, 0, 0, 0});
  for (int i = 0; i < 4; i++) Chunk(b, 0x1238, Key(0x80000002u, "K" + std::to_string(i)));
  Chunk(b, 0x7F7F, {});
  Write("four_key_chunks", b);

  b.clear();
  Bytes groups;
  PutU16(groups, 2);
  PutU16(groups, 1);
  PutU16(groups, 3);
  groups.insert(groups.end(), {'O', 'n', 'e'});
  PutU16(groups, 1);
  PutU16(groups, 3);
  groups.insert(groups.end(), {'T', 'w', 'o'});
  Chunk(b, 0x1234, groups);
  Chunk(b, 0x5555, {1, 2, 3, 4, 5});          // unknown kind
  Chunk(b, 0x00021235, {});                   // TAG_FILES, high bits, empty
  Chunk(b, 0x1234, {1, 0, 0, 0});             // string count 0: table kept
  Chunk(b, 0x7F7F, {9, 9});                   // TAG_END with a payload
  b.insert(b.end(), {0xEE, 0xEE});
  Write("groups_and_unknown", b);

  b = strings;
  Bytes files;
  PutU32(files, 1);
  PutU16(files, 600);
  files.insert(files.end(), 600, 'd');
  PutU16(files, 10);
  files.insert(files.end(), 10, 'n');
  files.push_back(0);
  Chunk(b, 0x1235, files);
  Chunk(b, 0x7F7F, {});
  Write("long_record", b);

  b = strings;
  Chunk(b, 0x1235, {0xFF, 0xFF, 0xFF, 0xFF});
  Chunk(b, 0x7F7F, {});
  Write("huge_count", b);

  UninstallData percent = example;
  percent.strings[STR_WRITE_PROTECTED] = "%s%s%d%%";
  percent.strings[STR_SHARED_UNUSED] = std::string(2000, 'x') + "%s";
  percent.strings[STR_INVALID_INFO] = "100%";
  percent.strings.resize(9);
  Write("percent_texts", BuildBlock(percent));
  if (argc == 3) WriteTemplates(argv[2]);
  return 0;
}
