// sweepkit-finish: turns a template into the finished uninstaller on the
// machine it is installed on. Written like the stub (no C++ runtime, plain
// records, integer status) and through the same platform seam, so the host
// tests run these very sources against the simulated Windows.
#pragma once

#include "format/template.h"

// EXIT_MOVED_ASIDE: OUT could be neither replaced nor put back after it was
// renamed aside (Windows 95); the message names where it is.
enum { EXIT_WRITTEN = 0, EXIT_REFUSED = 1, EXIT_USAGE = 2, EXIT_MOVED_ASIDE = 3 };

// The whole program: reads the command line, writes OUT, returns the exit
// code. Refusals go to standard error, the one line of success to
// standard output.
int RunFinisher(void);

// ---- Memory (finish.cpp) ---------------------------------------------------
// Every block of a run is freed together at its end.
void* FinishAlloc(u32 size);  // zero-filled; null when out of memory
void FreeAllFinishBlocks(void);
// Gives each list of `data` an array for as many records as `counts` holds
// (`data` may be `counts`). 0 when out of memory.
int AllocLists(BlockData* data, const BlockData* counts);

// ---- Messages (finish.cpp) -------------------------------------------------
// One line on standard error is built piece by piece and written by EndLine.
void Put(const char* text);
void PutText(const BlockText* text);
void PutNumber(u32 value);
// Appends `format` with each %s replaced by a string argument and each %u by
// a number; Say puts "sweepkit-finish: " before it. Neither ends the line.
void PutFormat(const char* format, ...);
void Say(const char* format, ...);
void EndLine(void);
// "sweepkit-finish: PATH: WHAT (error N)TAIL" as a line of its own; the error
// part only when `error` is not 0. Returns 0, for refusals.
int SayAboutPath(const char* path, const char* what, DWORD error, const char* tail);
void SayOutOfMemory(void);

// ---- Command line (command_line.cpp) ---------------------------------------
// Splits a command line by the usual rules: whitespace separates arguments,
// quotes group, 2n backslashes before a quote give n and the quote groups,
// 2n+1 give n and a literal quote, other backslashes are literal. The first
// word (the program) ends at whitespace outside quotes. Returns the number of
// arguments after the program, or -1 when out of memory.
int SplitCommandLine(const char* line, char*** arguments);

// ---- Files (files.cpp) -----------------------------------------------------
struct FileBytes {
  u8* data;
  u32 size;
};
// 0 when read whole; otherwise the system's error code.
DWORD ReadWholeFile(const char* path, FileBytes* file);
DWORD WriteNewFile(const char* path, const u8* data, u32 size);
// The full path of `path` into full (PATH_BUFFER_SIZE), and its folder into
// folder: no final backslash except at a drive root. 0 when the path names
// no file or is too long, -1 when the system could not make it full.
int SplitFullPath(const char* path, char* full, char* folder);

// ---- PE image (image.cpp) --------------------------------------------------
enum { IMAGE_OK = 0, IMAGE_NOT_PE, IMAGE_NO_LOCATOR, IMAGE_TWO_LOCATORS };
struct ImageLayout {
  u32 locatorOffset;  // file offset of the DataLocator's signature
  u32 dataOffset;     // its current value
  u32 imageEnd;       // end of the last section's raw data
};
// Finds the one DataLocator inside the file-backed data of the image's
// sections, never in data that follows them.
int FindImageLocator(const u8* file, u32 size, ImageLayout* layout);
const char* ImageReason(int status);

// ---- Machine values and resolution (resolve.cpp) ---------------------------
struct ResolveInput {
  const TemplateContents* contents;
  const char* appFolder;  // the folder OUT is written to
  const NamedValue* named;
  u32 namedCount;
};
// Resolves every template string into finished data in the machine's ANSI
// code page, dirs in their one spelling (CanonicalDirs). On a refusal,
// prints it and returns 0.
int ResolveTemplate(const ResolveInput* input, BlockData* finished);

// The values ResolveTemplate found for the folder constants on this machine
// ({app} included); a folder it does not have has null bytes.
const ConstantTable* MachineConstants(void);

// Every file and shortcut dir of data in its one spelling (CanonicalDir),
// in the machine's code page, each in a block of its own; a dir with a ".."
// part stays, for the rules. Needs ResolveTemplate to have run. 0 when out
// of memory.
int CanonicalDirs(BlockData* data);

// The machine's ANSI code page, as ResolveTemplate found it.
u32 MachineCodePage(void);

// Prints the entry: strings.caption, files[2].dir, keys[0].path ...
void PutEntry(int list, u32 index, const char* field);

// ---- Merge (merge.cpp) -----------------------------------------------------
// Reads an earlier uninstaller strictly. On a refusal, prints it and
// returns 0. Texts point into old->data.
int ReadOldUninstaller(const char* path, FileBytes* file, BlockData* old);
// Adds old's entries that finished lacks, old's dirs first spelled as the
// new ones are (CanonicalDir); a file both list keeps the flags of both;
// old `.` entries are made absolute when oldFolder is not outFolder;
// directory entries end up after the entries inside them. Returns 0 when
// out of memory.
struct MergeKept {
  BlockData data;   // the entries kept, as written
  u32* index[3];    // each one's index in old, by list
  u32 count;
};
int MergeOld(BlockData* finished, const char* outFolder, BlockData* old, const char* oldFolder,
             MergeKept* kept);

// ---- Safety rules (safety.cpp) ---------------------------------------------
// The authoring rules (format/rules.h, with the template's tables) on
// finished data, with this machine's folders and the folder OUT is written
// to: entries that would remove the wrong thing are refused, each named on
// standard error with the named values the template put in it; forced
// entries' refusals only warn. Returns 0 after a refusal.
struct SafetyInput {
  const BlockData* data;
  // The template's own strings of the same entries (for the values named
  // in a message); null for entries kept from an earlier uninstaller.
  const BlockData* written;
  const BlockForced* forced;
  u32 forcedCount;
  const u8* rules;
  u32 rulesSize;
  const ConstantTable* folders;
  const char* appFolder;
  const NamedValue* named;
  u32 namedCount;
  // Entries kept from the earlier uninstaller at this path: each one's
  // index there, by list (files, shortcuts, keys).
  const char* keptFrom;
  const u32* keptIndex[3];
};
int CheckSafety(const SafetyInput* input);

// ---- Output (output.cpp) ---------------------------------------------------
// Writes image + block beside outPath, reads it back with the uninstaller's
// own loader, compares every record with data, then puts it in place of
// outPath: EXIT_WRITTEN. On a failure, prints it and leaves outPath as it
// was: EXIT_REFUSED; or EXIT_MOVED_ASIDE.
int WriteUninstaller(const char* outPath, const char* outFolder, const u8* image, u32 imageSize,
                     const ImageLayout* layout, const BlockData* data);
