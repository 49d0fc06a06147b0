// Authoring rules: entries that would make the stub remove the wrong thing
// (or nothing at all) are refused, risky but plausible ones are warned
// about. Written without the C++ runtime (no std::, no exceptions, no
// static constructors) so that the Win32 finisher links the same code as
// the host packer: pack, plan and the finisher judge with this one set.
// Strings are byte strings in the target code page; path rules are
// byte-wise with A-Z folding, as the stub's own.
//
// The tables of literal folder spellings and shared keys are data
// (format/rule_tables.cpp): the host programs link them, and `pack
// --template` puts the same bytes into the template, from which the
// finisher reads them. That keeps the finisher within its size budget
// without a smaller rule set of its own.
#pragma once

// Lists, numbered as the template's force records number them.
enum { RULE_FILES = 1, RULE_SHORTCUTS = 2, RULE_KEYS = 3 };

// Folders an entry may start with, numbered as the template's built-in
// constants: {app} {win} {sys} {fonts} {desktop} {commondesktop} {programs}
// {commonprograms} {startmenu} {commonstartmenu} {pf} {cf}.
enum {
  FOLDER_NONE = 0,
  FOLDER_APP,
  FOLDER_WIN,
  FOLDER_SYS,
  FOLDER_FONTS,
  FOLDER_DESKTOP,
  FOLDER_COMMONDESKTOP,
  FOLDER_PROGRAMS,
  FOLDER_COMMONPROGRAMS,
  FOLDER_STARTMENU,
  FOLDER_COMMONSTARTMENU,
  FOLDER_PF,
  FOLDER_CF,
  FOLDER_COUNT,
  // A template's named value ({group}) at the start of a dir: what it is
  // becomes known only when the template is finished.
  FOLDER_NAMED = 0xFF
};

// A file record. `name` null: the record has no name at all (only an empty
// name makes a directory entry). `base` non-zero: the dir starts with that
// folder constant and `dir` holds only what follows it ("" or "\rest").
struct RuleFile {
  const char* dir;
  const char* name;
  unsigned char flags;  // FILE_SHARED | FILE_FONT | FILE_SELFREG
  int force;
  int base;
};

struct RuleShortcut {
  const char* dir;
  const char* name;
  int force;
  int base;
};

struct RuleKey {
  unsigned int root;  // as stored: 0x80000000 HKEY_CLASSES_ROOT ...
  const char* path;
  int force;
};

// The machine's folders where they are known (the finisher passes the real
// ones); a null entry is recognised only by its usual literal forms.
struct RuleFolders {
  const char* path[FOLDER_COUNT];
};

// The tables: rows one after another, a zero byte after the last. A row is
// its kind byte; for ROW_FOLDER a RULE_BASE_ byte and a FOLDER_ id byte
// (FOLDER_NONE: the reason names it); then the pattern and the reason, each
// ending in a zero byte. A pattern's parts are separated by backslashes, ?
// standing for any one part. ROW_FOLDER patterns follow their base folder;
// ROW_KEY ones lie below HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER and each
// user of HKEY_USERS; ROW_CLASS ones below the class root (HKEY_CLASSES_ROOT
// and Software\Classes).
enum { ROW_END = 0, ROW_FOLDER = 'F', ROW_KEY = 'K', ROW_CLASS = 'C' };
enum { RULE_BASE_DRIVE = 1, RULE_BASE_WIN, RULE_BASE_PF };

// 1 when `size` bytes are well-formed tables that end where they should.
int RuleTablesValid(const unsigned char* tables, unsigned int size);

// The host programs' copy of the tables (format/rule_tables.cpp, which the
// finisher does not link); null when they do not fit the buffer built once.
const unsigned char* DefaultRuleTables(unsigned int* size);

struct RuleInput {
  const RuleFile* files;
  unsigned int fileCount;
  const RuleShortcut* shortcuts;
  unsigned int shortcutCount;
  const RuleKey* keys;
  unsigned int keyCount;
  const RuleFolders* folders;  // may be null
  // Missing or damaged tables: every entry is refused, none judged without
  // them.
  const unsigned char* tables;
  unsigned int tablesSize;
  // Only what is refused: the finisher has no one to warn (and some
  // warnings cost a pass over every entry per directory entry).
  int refusalsOnly;
};

enum { RULE_WARNING = 0, RULE_ERROR = 1 };

struct RuleProblem {
  int severity;         // RULE_ERROR or RULE_WARNING (after force)
  int forceable;        // a refusal that "force": true on the entry would turn into a warning
  int forced;           // a refusal that the entry's "force" turned into a warning
  int list;             // RULE_FILES, RULE_SHORTCUTS, RULE_KEYS
  unsigned int index;   // entry number in its list
  const char* field;    // "dir", "name", "path" or "" for the whole entry
  const char* text;     // what is wrong, one sentence without a full stop
  const char* detail;   // the listed folder or key with its reason, or ""
};

typedef void (*RuleReport)(void* context, const RuleProblem* problem);

// Checks every entry and reports every problem through `report`. Returns
// the number of errors (warnings are not counted).
int CheckRules(const RuleInput* input, RuleReport report, void* context);

// Name of a list for messages: "files", "shortcuts", "keys".
const char* RuleListName(int list);
