// Helpers shared by the tools tests: a minimal PE image holding the
// DataLocator, and file helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "cli/writer.h"

namespace sweepkit_test {

using sweepkit::Bytes;

constexpr size_t kSectionOffset = 0x200;
constexpr size_t kSectionSize = 0x200;
constexpr size_t kLocatorAt = kSectionOffset + 0x30;

// MZ header, PE header with one section of raw data, the DataLocator inside
// the section with the given dataOffset. The file ends with the section.
inline Bytes MinimalPe(uint32_t dataOffset = 0, size_t sectionSize = kSectionSize) {
  Bytes f(kSectionOffset + sectionSize, 0);
  f[0] = 'M';
  f[1] = 'Z';
  auto put32 = [&f](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
  };
  auto put16 = [&f](size_t at, uint16_t v) {
    f[at] = uint8_t(v);
    f[at + 1] = uint8_t(v >> 8);
  };
  const size_t pe = 0x40;
  put32(0x3C, pe);
  std::memcpy(&f[pe], "PE\0\0", 4);
  put16(pe + 4, 0x14C);  // i386
  put16(pe + 6, 1);      // one section
  put16(pe + 20, 0);     // no optional header
  const size_t section = pe + 24;
  std::memcpy(&f[section], ".data", 5);
  put32(section + 8, uint32_t(sectionSize));
  put32(section + 12, 0x1000);
  put32(section + 16, uint32_t(sectionSize));
  put32(section + 20, kSectionOffset);
  std::memcpy(&f[kLocatorAt], "wwgT)H", 6);
  put32(kLocatorAt + 6, dataOffset);
  return f;
}

inline void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  WriteFile(path, std::string(data.begin(), data.end()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string ExampleManifestPath() {
  return std::string(SWEEPKIT_EXAMPLES_DIR) + "/literal/vantor-gliders.json";
}

}  // namespace sweepkit_test
