// libFuzzer target: the packer's manifest parser and its checks on any text.
//
// Besides the sanitizers: the parser refuses only with its own error (any
// other exception escapes and is reported), and data that passes the checks
// builds a block that the inspect reader reads back whole, without a
// problem, to the same texts, entries and keys.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/block_reader.h"
#include "cli/manifest.h"

using namespace sweepkit;

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_manifest: %s\n", what);
  std::abort();
}

bool SameFiles(const std::vector<FileEntry>& a, const std::vector<FileEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].dir != b[i].dir || a[i].name != b[i].name || a[i].flags != b[i].flags) return false;
  return true;
}

bool SameShortcuts(const std::vector<ShortcutEntry>& a, const std::vector<ShortcutEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].dir != b[i].dir || a[i].name != b[i].name) return false;
  return true;
}

bool SameKeys(const std::vector<KeyEntry>& a, const std::vector<KeyEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].root != b[i].root || a[i].path != b[i].path) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Manifest manifest;
  try {
    manifest = ParseManifest(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const PackError&) {
    return 0;
  }
  // What the packer refuses: the format's limits and the authoring rules.
  for (const Issue& issue : ValidateData(manifest.data))
    if (issue.error) return 0;
  for (const Issue& issue : CheckAuthoring(manifest.data, false))
    if (issue.error) return 0;
  Bytes block;
  try {
    block = BuildBlock(manifest.data);
  } catch (const PackError& e) {
    std::fprintf(stderr, "fuzz_manifest: %s\n", e.what());
    Fail("checked data that the block builder refuses");
  }
  ParsedBlock read = ParseBlock(block.data(), block.size());
  if (!read.complete || read.end != block.size()) Fail("the built block does not end where it should");
  if (!read.problems.empty()) {
    std::fprintf(stderr, "fuzz_manifest: %s\n", read.problems[0].c_str());
    Fail("the reader finds a problem in a block built from checked data");
  }
  if (read.data.strings != manifest.data.strings) Fail("texts differ after the round trip");
  if (!SameFiles(read.data.files, manifest.data.files)) Fail("files differ after the round trip");
  if (!SameShortcuts(read.data.shortcuts, manifest.data.shortcuts)) Fail("shortcuts differ after the round trip");
  if (!SameKeys(read.data.keys, manifest.data.keys)) Fail("keys differ after the round trip");
  return 0;
}
