// The compile-time half of Sweepkit.nsh, which makensis runs with !system.
//
// nsis-tree lists a folder tree for ${SkTree}: an include with a SetOutPath
// per folder and a File per file, and a record per file and folder appended
// to the records file. nsis-check builds the manifest from the records,
// checks and packs it as pack --template does, and writes an include whose
// !warning lines, and refusal, name the script line that recorded each entry
// judged.
//
// Both write the include and exit 0 whatever they find; a refusal is
// `!define _SkRefusal "file:line: ..."` in it, which the header turns into
// an !error once it has deleted its temporary files. Another exit code means
// the step itself failed.
#pragma once

#include <string>

namespace sweepkit {

int NsisTree(const std::string& requestPath, const std::string& recordsPath, const std::string& includePath);
int NsisCheck(const std::string& recordsPath, const std::string& includePath);

// text as one NSIS argument, in a quote it does not hold; false when it
// holds all three.
bool NsisQuoted(const std::string& text, std::string* quoted);

}  // namespace sweepkit
