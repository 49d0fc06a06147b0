// Shared set-up of the host tests: a fresh simulated Windows, the process
// state of a stub that has just started, and a builder for data blocks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "platform/host/sim.h"
#include "removal/removal.h"
#include "ui/ui.h"
#include "uninstall_info/uninstall_info.h"

// Little-endian chunk stream as the packer writes it.
class Block {
 public:
  Block& u8(uint8_t v) { bytes_.push_back((char)v); return *this; }
  Block& u16(uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
  Block& u32(uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
  Block& text(const std::string& s) { u16((uint16_t)s.size()); bytes_ += s; return *this; }
  Block& raw(const std::string& s) { bytes_ += s; return *this; }
  Block& chunk(uint32_t tag, const Block& payload) {
    u32(tag).u32((uint32_t)payload.bytes_.size());
    bytes_ += payload.bytes_;
    return *this;
  }
  Block& end() { return u32(TAG_END).u32(0); }

  Block& strings(const std::vector<std::string>& texts) {
    Block p;
    p.u16(1).u16((uint16_t)texts.size());
    for (const auto& t : texts) p.text(t);
    return chunk(TAG_STRINGS, p);
  }
  struct File { std::string dir, name; uint8_t flags; };
  Block& files(const std::vector<File>& list) {
    Block p;
    p.u32((uint32_t)list.size());
    for (const auto& f : list) p.text(f.dir).text(f.name).u8(f.flags);
    return chunk(TAG_FILES, p);
  }
  struct Shortcut { std::string dir, name; };
  Block& shortcuts(const std::vector<Shortcut>& list) {
    Block p;
    p.u32((uint32_t)list.size());
    for (const auto& s : list) p.text(s.dir).text(s.name);
    return chunk(TAG_SHORTCUTS, p);
  }
  struct Key { uint32_t root; std::string path; };
  Block& keys(const std::vector<Key>& list) {
    Block p;
    p.u32((uint32_t)list.size());
    for (const auto& k : list) p.u32(k.root).text(k.path);
    return chunk(TAG_KEYS, p);
  }
  Block& key(const Key& k) {
    Block p;
    p.u32(k.root).text(k.path);
    return chunk(TAG_KEY, p);
  }
  const std::string& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  std::string bytes_;
};

extern const std::vector<std::string> kExampleTexts;
constexpr uint32_t kHklm = 0x80000002;
extern const char kStubPath[];    // C:\Program Files\Vantor\Uninst.exe
extern const char kInstallDir[];  // C:\Program Files\Vantor\ (with its backslash)
constexpr uint32_t kStubImageSize = 0x200;

// The example application's block: texts, an empty key list extended by one
// appended key, five files and three shortcuts.
Block ExampleBlock();

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes the stub's file: a stand-in image followed by the block, and
  // points the DataLocator at the block.
  void InstallStub(const Block& block);
  void InstallStubBytes(const std::string& appended);
  // Start-up as RunUninstaller does it, then the loader; returns its result.
  int StartAndLoad(const Block& block);
  // The names of the calls logged since the last SimClearCalls.
  std::vector<std::string> CallNames() { return SimCallNames(); }
  bool Called(const std::string& entry);  // the exact log entry was made
};

// The script the last started process runs: on NT the interpreter (its
// quoted path first on the command line) runs "Delme.bat" in its starting
// folder, on 95/98 the command line names the script.
std::string StartedScript();

// Everything the test made is released: blocks, handles, keys, GDI objects.
void ExpectNothingLeaked();
