// The host program's byte buffer and its refusal, apart from the data model
// (writer.h), so that the files that include <windows.h> can use them.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace sweepkit {

using Bytes = std::vector<uint8_t>;

// A refusal with a message meant for the user.
struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace sweepkit
