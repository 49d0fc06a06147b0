// pack and pack --template: a manifest checked and appended to a copy of the
// stub. The command line and the NSIS header's check step both use it.
#pragma once

#include <string>
#include <vector>

#include "cli/writer.h"

namespace sweepkit {

struct PackRequest {
  std::string stub, manifestPath, out;
  std::string manifestText;  // the manifest's JSON (read from manifestPath by the caller)
  bool asTemplate = false;
  bool werror = false;
  std::vector<std::string> settings;  // NAME=VALUE, finished uninstallers only
};

struct PackOutcome {
  std::vector<Issue> issues;  // in manifest order
  bool refused = false;       // nothing written
  // a template refused for a limit: its folders were judged as "C:\"
  bool limitNoteDue = false;
  size_t blockSize = 0, stubSize = 0;
  unsigned codepage = 1252;
};

// Checks the manifest and, unless an issue refuses it, writes the
// uninstaller or template. Throws PackError for what stops it outright (an
// unreadable stub, --out naming an input, an unreadable manifest).
PackOutcome PackManifest(const PackRequest& request);

extern const char kTemplateLimitNote[];

}  // namespace sweepkit
