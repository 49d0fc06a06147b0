// Folder constants on the packer's side: recognising them in manifest text,
// resolving a manifest's data with values given on the command line, the
// checks a template can have before the folders are known, and showing
// template strings with their constants as written.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "format/template.h"
#include "cli/writer.h"

namespace sweepkit {

// A piece of manifest text: literal UTF-8, or the name of a constant.
struct TextPiece {
  bool constant;
  std::string text;
};

// Splits manifest text (UTF-8) at its constants: "{name}" with a name of
// letters, digits and '_' is a constant, "{{" a literal '{'; any other brace
// stays literal.
std::vector<TextPiece> SplitConstants(const std::string& utf8);

// Manifest text to a template string: literal pieces converted to the code
// page, constants as tokens. False when a literal does not convert.
bool ToTemplateString(const std::string& utf8, unsigned codepage, std::string* out);

// The names of the constants in a template string, in order.
std::vector<std::string> ConstantsIn(const std::string& templateString);

// Values by constant name ("app", "group", ...), in code page bytes.
using ConstantValues = std::map<std::string, std::string>;

// "NAME=VALUE": false when there is no '=' or the name is not a constant
// name.
bool ParseSetting(const std::string& setting, std::string* name, std::string* value);

// Resolves every string of the data (values and result in code page
// `codepage`; dirs in their one spelling). Issues name the entry and the
// constant, or a formatted text whose own words hold %s only inside %%s;
// the returned data is complete only when none is an error.
UninstallData ResolveData(const UninstallData& data, const ConstantValues& values,
                          unsigned codepage, std::vector<Issue>* issues);

// What can be checked before the folders are known: the data resolved with
// every folder at its shortest ("C:\") and every named value empty, then
// ValidateData.
std::vector<Issue> CheckTemplate(const UninstallData& data, unsigned codepage);

// Every file and shortcut dir (template strings or finished ones) in its one
// spelling (CanonicalDir); a dir with a ".." part stays, for the rules.
void CanonicalDirs(UninstallData* data, unsigned codepage);

// A template string for display, in UTF-8, constants as "{name}" and a
// literal '{' that would read as a constant as "{{".
std::string TemplateToUtf8(const std::string& templateString, unsigned codepage);

}  // namespace sweepkit
