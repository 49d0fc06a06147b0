// The packer's manifest: UTF-8 JSON naming the texts, files, shortcuts and
// registry keys of one application.
#pragma once

#include <string>

#include "tools/writer/writer.h"

namespace sweepkit {

struct Manifest {
  unsigned codepage = 1252;
  // Template strings: code page bytes, folder constants as tokens (plain
  // text when the manifest uses none).
  UninstallData data;
  std::vector<BlockForced> forced;  // entries marked "force": true
};

// Parses and converts a manifest. Throws PackError naming the offending
// entry ("files[3].dir: ...") on bad JSON, unknown keys, wrong types,
// missing texts, zero bytes and text that the code page cannot represent. The format
// rules are checked separately by ValidateData.
Manifest ParseManifest(const std::string& json);

// Registry root by name (HKEY_LOCAL_MACHINE, HKLM, ...); false if unknown.
bool RootFromName(const std::string& name, uint32_t* root);
// The canonical name of a root value, or "" for a value with no name.
std::string RootName(uint32_t root);

}  // namespace sweepkit
