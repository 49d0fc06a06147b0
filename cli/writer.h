// Host-side writer of the uninstall data: the model a manifest turns into,
// the checks that keep a block readable by the stub, the block builder and
// the packer that appends a block to a copy of the stub.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/pack_error.h"
#include "format/block_build.h"
#include "format/template.h"
#include "uninstall_info/uninstall_info.h"

namespace sweepkit {


// All strings below are bytes in the target code page, ready to be written.
// `force`: the author owns what a safety rule would refuse (a shared key, a
// system folder); the refusal becomes a warning. `broken`: a placeholder
// for an entry the manifest parser refused.
struct FileEntry {
  std::string dir;
  std::string name;
  uint8_t flags = 0;  // FILE_SHARED | FILE_FONT | FILE_SELFREG
  bool hasName = true;  // false: the record had no name at all
  bool force = false;
  bool broken = false;
};

struct ShortcutEntry {
  std::string dir;
  std::string name;
  bool force = false;
  bool broken = false;
};

struct KeyEntry {
  uint32_t root = 0;
  std::string path;
  bool force = false;
  bool broken = false;
};

// How keys are written: all in TAG_KEYS, or an empty TAG_KEYS followed by
// one TAG_KEY chunk per key (at most KEY_SPARE_ENTRIES).
enum class KeyChunks { List, Appended };

struct UninstallData {
  std::vector<std::string> strings;  // STR_COUNT texts, by index
  std::vector<FileEntry> files;
  std::vector<ShortcutEntry> shortcuts;
  std::vector<KeyEntry> keys;
  KeyChunks keyChunks = KeyChunks::List;
};

// The block library's view of the data: its records point into `data`,
// which must outlive the view and stay unchanged.
struct BlockView {
  explicit BlockView(const UninstallData& data);
  BlockView(const BlockView&) = delete;
  BlockView& operator=(const BlockView&) = delete;
  std::vector<BlockText> strings;
  std::vector<BlockFile> files;
  std::vector<BlockShortcut> shortcuts;
  std::vector<BlockKey> keys;
  BlockData data;
};

// Manifest names of the texts, by index ("caption" ... "shared_unused").
extern const char* const kStringNames[STR_COUNT];

// Install dir lengths the relative-path check assumes: the shortest one
// there is ("C:\") and a typical one.
constexpr size_t kShortestInstallDir = 3;
constexpr size_t kTypicalInstallDir = 64;
constexpr size_t kMaxPath = PATH_BUFFER_SIZE - 1;        // 259
constexpr size_t kMaxMessage = MESSAGE_BUFFER_SIZE - 1;  // 1023
constexpr size_t kMaxRecordStrings = RECORD_SCRATCH_SIZE - 2;  // 518

struct Issue {
  bool error;           // false: a warning; the block is still written
  std::string message;  // "files[2]: ..." naming the entry
};

// Checks the data against everything the stub relies on. Entries are named
// as in the manifest: strings.<name>, files[i], shortcuts[i], keys[i].
std::vector<Issue> ValidateData(const UninstallData& data);

// The authoring rules (tools/writer/rules.h) over the data: entries that
// would remove the wrong thing are errors unless forced, risky ones are
// warnings (errors with `werror`). Messages name the entry's field. The
// data may be a template's: an entry is then judged by the folder constant
// it starts with. `folders` holds folder values by constant id (1 "app" to
// 12 "cf", code page bytes, "" unknown); a path equal to one is that folder.
std::vector<Issue> CheckAuthoring(const UninstallData& data, bool werror,
                                  const std::vector<std::string>& folders = {});

// Length of the path the removal composes from dir and name, given the
// install dir length a leading dot stands for (byte-wise, as the stub does).
size_t ComposedFilePathLength(const std::string& dir, const std::string& name,
                              size_t installDirLength);
size_t ComposedShortcutPathLength(const std::string& dir, const std::string& name);

// The chunk block: TAG_STRINGS, TAG_KEYS, TAG_FILES, TAG_SHORTCUTS, any
// TAG_KEY chunks, TAG_END, built by BuildDataBlock. Throws PackError on data the format cannot hold
// (a string over 65535 bytes, too many appended keys).
Bytes BuildBlock(const UninstallData& data);

// Where the DataLocator sits in a stub image.
struct StubLayout {
  size_t locatorOffset = 0;  // offset of the signature
  uint32_t dataOffset = 0;   // current value of dataOffset
  size_t imageEnd = 0;       // end of the last section (or symbol table)
};

// Finds the locator and the end of the PE image. Throws PackError when the
// signature is missing or not unique, or the file is not a PE image.
StubLayout InspectStub(const Bytes& stub);

// Offset of the one locator signature in any file; throws PackError when
// it is missing or found more than once.
size_t FindLocator(const Bytes& file);

// A copy of the stub with the block appended and dataOffset patched, its
// manifest's execution level chosen by the block's keys (ExecutionLevelFor).
// Refuses a stub that already carries data.
Bytes PackStub(const Bytes& stub, const Bytes& block);

// The template block of data holding template strings: the TAG_TEMPLATE
// header (version, code page, key layout), the data's chunks, the forced
// entries, TAG_END. Throws PackError like BuildBlock.
Bytes BuildTemplate(const UninstallData& data, unsigned codepage,
                    const std::vector<BlockForced>& forced);

// A copy of the stub (left with dataOffset 0, its execution level chosen by
// the template's keys) followed by the template block and the trailer that
// points at it. Refuses a stub that carries data.
Bytes PackTemplate(const Bytes& stub, const Bytes& templateBlock);

// A template block read as the finisher reads it (counted, then read into
// arrays of that size), as the host model with the forced entries marked.
// `status` is READ_OK or the reader's refusal, with `problem` saying where.
struct TemplateRead {
  int status = -1;
  ReadProblem problem = {};
  TemplateHeader header = {};
  UninstallData data;
  std::vector<BlockForced> forced;
};
TemplateRead ReadTemplateData(const uint8_t* block, uint32_t size);

// Little-endian field helpers shared by the writer, the reader and tests.
void PutU16(Bytes& out, uint16_t v);
void PutU32(Bytes& out, uint32_t v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

}  // namespace sweepkit
