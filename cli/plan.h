// sweepkit plan: what an uninstaller would do, found by running the stub's
// own logic (the host build of the same sources) on the simulated Windows,
// where every item the data lists exists.
#pragma once

#include <map>
#include <string>

#include "cli/writer.h"

namespace sweepkit {

struct PlanOptions {
  std::string installDir = "C:\\Program Files\\App";  // UTF-8
  // Folder values by constant name (win, sys, fonts, desktop, ...), UTF-8.
  std::map<std::string, std::string> folders;
  unsigned codepage = 1252;
  // A template's plan: an earlier uninstaller the finisher merges (empty:
  // none), as if it stood in the install dir under earlierName.
  Bytes earlier;
  std::string earlierName = "uninstall.exe";
};

// The folder names --set accepts for plan, and whether `name` is one.
bool IsPlanFolder(const std::string& name);

// Values of a template's named constants ("group"), UTF-8.
using PlanValues = std::map<std::string, std::string>;

// Whether the file is a template (its trailer is there).
bool IsTemplateFile(const Bytes& file);

// Prints the plan of a template finished on the simulated machine by the
// finisher's own code (the machine's folders, {app} the install dir, named
// values, options.earlier merged), then planned like a packed uninstaller.
// Returns 1 when the template is damaged or the finisher refuses it (its
// messages on standard error).
int PrintTemplatePlan(const std::string& label, const Bytes& file, const PlanOptions& options,
                      const PlanValues& named);

// Prints the plan of a packed uninstaller to stdout. Returns 0, or 1 when
// the stub's loader refuses the data (the box it shows is printed).
// Throws PackError when the file carries no data.
int PrintPlan(const std::string& label, const Bytes& file, const PlanOptions& options);

}  // namespace sweepkit
