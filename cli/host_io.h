// What the host program asks of the system it runs on: files, folders, its
// arguments and its standard output. One implementation for POSIX
// (host_io_posix.cpp), one for Windows (host_io_win32.cpp); paths are UTF-8
// in both, and either separator works on Windows.
#pragma once

#include <string>
#include <vector>

#include "cli/pack_error.h"

namespace sweepkit {

// The arguments as UTF-8 (Windows hands them over in the ANSI code page).
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Standard output and error write bytes as they are (no \r added).
void PrepareStdio();

// The whole file; throws PackError("cannot read <what> <path>: ...").
Bytes ReadFileBytes(const std::string& path, const char* what);

// Writes to a temporary file beside path and renames it into place, so that
// a failure never leaves a half-written file under the final name. Throws
// PackError.
void WriteFileAtomically(const std::string& path, const Bytes& data);

// Appends text to a file (created when missing). Throws PackError.
void AppendToFile(const std::string& path, const std::string& text);

// The same file, also through another name or a link.
bool SameFile(const std::string& a, const std::string& b);

// One name in a folder; links are followed, so a link to a folder is a
// folder and one that leads nowhere is Missing.
struct FolderEntry {
  enum Kind { File, Folder, Other, Missing };
  std::string name;  // bytes as the system gives them (UTF-8 on Windows)
  Kind kind;
};

// The folder's entries, unsorted, without . and ..; false and *error when
// it cannot be read.
bool ListFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* error);

// What identifies a folder however it is reached (device and number), so
// that a walk that follows links finds a folder inside itself; "" when it
// cannot be told.
std::string FolderIdentity(const std::string& path);

bool IsFolder(const std::string& path);

// Deletes path once the makensis that runs this program (through a shell or
// not) has exited, unless path is gone by then: a detached watcher, so that
// a build that fails after the header made its temporary file leaves none
// behind. Does nothing when no makensis runs this program. `watchPid` is the
// watcher's own entry on Windows (0 elsewhere and when called from the
// command line).
void DeleteWhenBuildEnds(const std::string& path, unsigned long watchPid);

// The separator this system's paths are written with.
char NativeSeparator();

}  // namespace sweepkit
