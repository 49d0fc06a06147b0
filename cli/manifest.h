// The packer's manifest: UTF-8 JSON naming the texts, files, shortcuts and
// registry keys of one application.
#pragma once

#include <string>
#include <vector>

#include "cli/writer.h"

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
// missing texts, zero bytes and text that the code page cannot represent;
// with several such entries the message lists each on its own line. The
// format rules are checked separately by ValidateData, the authoring rules
// by CheckAuthoring.
Manifest ParseManifest(const std::string& json);

// The same, but a refused entry is recorded in `problems` and kept as a
// placeholder (`broken`), so every problem of a manifest shows in one run.
// Throws only when the manifest as a whole cannot be read.
Manifest ParseManifest(const std::string& json, std::vector<std::string>* problems);

// Registry root by name (HKEY_LOCAL_MACHINE, HKLM, ...); false if unknown.
bool RootFromName(const std::string& name, uint32_t* root);
// The canonical name of a root value, or "" for a value with no name.
std::string RootName(uint32_t root);

}  // namespace sweepkit
