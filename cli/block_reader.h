// The strict block reader (format/block_read.h) for inspect and the tests:
// the chunks with their offsets, the data as host strings, and every finding
// as a sentence naming its chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/writer.h"

namespace sweepkit {

struct ChunkInfo {
  size_t offset = 0;  // from the start of the block
  uint32_t tag = 0;
  uint32_t length = 0;
};

struct ParsedBlock {
  std::vector<ChunkInfo> chunks;
  UninstallData data;     // what the stub would load (keys: all appended ones too)
  bool hasStrings = false;
  bool complete = false;  // a TAG_END chunk was reached
  size_t end = 0;         // block offset just after TAG_END
  // Damage and breaches of the format, each naming the chunk.
  std::vector<std::string> problems;
};

ParsedBlock ParseBlock(const uint8_t* block, size_t size);

// "TAG_FILES" etc., or "unknown" for a tag with no meaning.
const char* TagName(uint32_t tag);

}  // namespace sweepkit
