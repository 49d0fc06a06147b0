#include "format/rules.h"

// From format/block_build.h, whose system types this file does without.
const char* PackedText(const char* list, unsigned index);

enum { FILE_SHARED_FLAG = 1, FILE_FONT_FLAG = 2 };  // the format's FILE_SHARED, FILE_FONT
enum { ROOT_HKCR = 0x80000000u, ROOT_HKCU, ROOT_HKLM, ROOT_HKU, ROOT_HKCC = 0x80000005u };
enum { MAX_PARTS = 32, WORK_SIZE = 1100 };

// ---------------------------------------------------------------------------
// Byte-string helpers (A-Z fold only, as the stub compares paths)

static char Fold(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c; }

static unsigned Length(const char* s) {
  unsigned n = 0;
  while (s[n]) n++;
  return n;
}

static int IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

static int SameFolded(const char* a, unsigned an, const char* b, unsigned bn) {
  if (an != bn) return 0;
  for (unsigned i = 0; i < an; i++)
    if (Fold(a[i]) != Fold(b[i])) return 0;
  return 1;
}

// A path cut into its backslash-separated parts; empty parts are dropped.
struct Parts {
  const char* p[MAX_PARTS];
  unsigned n[MAX_PARTS];
  unsigned count;
  int overflow;
};

static void Split(const char* s, unsigned len, Parts* parts) {
  parts->count = 0;
  parts->overflow = 0;
  unsigned i = 0;
  while (i < len) {
    while (i < len && s[i] == '\\') i++;
    unsigned start = i;
    while (i < len && s[i] != '\\') i++;
    if (i == start) break;
    if (parts->count == MAX_PARTS) {
      parts->overflow = 1;
      return;
    }
    parts->p[parts->count] = s + start;
    parts->n[parts->count] = i - start;
    parts->count++;
  }
}

#ifndef SWEEPKIT_RULES_COMPACT
// Parts from `first` on against a pattern such as "Profiles\?\Desktop",
// where ? stands for any one part (a lone * is the class root's own key).
static int MatchParts(const Parts* parts, unsigned first, const char* pattern) {
  Parts want;
  Split(pattern, Length(pattern), &want);
  if (parts->overflow || parts->count - first != want.count) return 0;
  for (unsigned i = 0; i < want.count; i++) {
    if (want.n[i] == 1 && want.p[i][0] == '?') continue;
    if (!SameFolded(parts->p[first + i], parts->n[first + i], want.p[i], want.n[i])) return 0;
  }
  return 1;
}

static int PartIs(const Parts* parts, unsigned i, const char* word) {
  return i < parts->count && SameFolded(parts->p[i], parts->n[i], word, Length(word));
}
#endif

static int IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// A ".." part anywhere, between backslashes or the slashes Windows takes for
// them.
static int HasDotDotPart(const char* s) {
  for (const char* p = s; *p; p++)
    if (p[0] == '.' && p[1] == '.' && (p == s || IsPathSeparator(p[-1])) &&
        (!p[2] || IsPathSeparator(p[2])))
      return 1;
  return 0;
}

// %NAME% as an environment reference: a letter or _ and no %, \ or space
// before the closing %. The stub never expands it.
static int HasEnvironmentReference(const char* s) {
  for (const char* p = s; *p; p++) {
    if (*p != '%') continue;
    const char* q = p + 1;
    if (!(IsLetter(*q) || *q == '_')) continue;
    while (*q && *q != '%' && *q != '\\' && *q != ' ') q++;
    if (*q == '%') return 1;
  }
  return 0;
}

static int IsAbsolute(const char* s) {
  if (IsLetter(s[0]) && s[1] == ':' && s[2] == '\\') return 1;
  if (s[0] != '\\' || s[1] != '\\') return 0;
  const char* p = s + 2;  // \\server\share
  if (*p == '\\' || !*p) return 0;
  while (*p && *p != '\\') p++;
  return p[0] == '\\' && p[1] && p[1] != '\\';
}

static int IsInstallRelative(const char* s) { return s[0] == '.' && (s[1] == 0 || s[1] == '\\'); }

// ---------------------------------------------------------------------------
// Folders the system owns

// By FOLDER_ id from FOLDER_APP on (FolderName).
static const char kFolderNames[] =
    "the installation folder\0"
    "the Windows folder\0"
    "the system folder\0"
    "the Fonts folder\0"
    "the Desktop folder\0"
    "the all-users Desktop folder\0"
    "the Programs folder\0"
    "the all-users Programs folder\0"
    "the Start menu folder\0"
    "the all-users Start menu folder\0"
    "the Program Files folder\0"
    "the Common Files folder\0";

static const char* FolderName(int id) { return PackedText(kFolderNames, (unsigned)(id - FOLDER_APP)); }

#ifndef SWEEPKIT_RULES_COMPACT
// Folders the stub's directory sweep never removes.
static int SweepSpares(int folder) {
  return folder >= FOLDER_WIN && folder <= FOLDER_COMMONSTARTMENU;
}
#endif

// A folder as the checks see it: a constant it starts with (FOLDER_NONE for
// a literal path) and the text after it, without trailing backslashes.
struct Folder {
  int base;
  const char* text;
  unsigned length;
};

// The finisher, built small, knows system folders by this machine's own
// paths only; the packers also know their usual literal forms.
#ifndef SWEEPKIT_RULES_COMPACT
enum { BASE_DRIVE, BASE_WIN, BASE_PF };

struct FolderPattern {
  int base;
  const char* rest;
  int folder;        // a FOLDER_ id, or FOLDER_NONE with `name`
  const char* name;  // when folder is FOLDER_NONE
};

static const FolderPattern kFolderPatterns[] = {
    {BASE_WIN, "", FOLDER_WIN, 0},
    {BASE_WIN, "SYSTEM", FOLDER_SYS, 0},
    {BASE_WIN, "SYSTEM32", FOLDER_SYS, 0},
    {BASE_WIN, "FONTS", FOLDER_FONTS, 0},
    {BASE_WIN, "Desktop", FOLDER_DESKTOP, 0},
    {BASE_WIN, "Start Menu", FOLDER_STARTMENU, 0},
    {BASE_WIN, "Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {BASE_WIN, "All Users\\Desktop", FOLDER_COMMONDESKTOP, 0},
    {BASE_WIN, "All Users\\Start Menu", FOLDER_COMMONSTARTMENU, 0},
    {BASE_WIN, "All Users\\Start Menu\\Programs", FOLDER_COMMONPROGRAMS, 0},
    {BASE_WIN, "Profiles\\?\\Desktop", FOLDER_DESKTOP, 0},
    {BASE_WIN, "Profiles\\?\\Start Menu", FOLDER_STARTMENU, 0},
    {BASE_WIN, "Profiles\\?\\Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {BASE_DRIVE, "Documents and Settings\\?\\Desktop", FOLDER_DESKTOP, 0},
    {BASE_DRIVE, "Documents and Settings\\?\\Start Menu", FOLDER_STARTMENU, 0},
    {BASE_DRIVE, "Documents and Settings\\?\\Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {BASE_DRIVE, "Users\\?\\Desktop", FOLDER_DESKTOP, 0},
    {BASE_DRIVE, "Users\\?\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu", FOLDER_STARTMENU, 0},
    {BASE_DRIVE, "Users\\?\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
     FOLDER_PROGRAMS, 0},
    {BASE_DRIVE, "ProgramData\\Microsoft\\Windows\\Start Menu", FOLDER_COMMONSTARTMENU, 0},
    {BASE_DRIVE, "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs", FOLDER_COMMONPROGRAMS, 0},
    {BASE_PF, "", FOLDER_PF, 0},
    {BASE_PF, "Common Files", FOLDER_CF, 0},
    {BASE_PF, "Common Files\\Microsoft Shared", FOLDER_NONE, "a folder of components Windows shares"},
    {BASE_PF, "Common Files\\System", FOLDER_NONE, "a folder of components Windows shares"},
    // Folders Windows itself keeps in its own folder.
    {BASE_WIN, "All Users", FOLDER_NONE, "the all-users profile"},
    {BASE_WIN, "Profiles", FOLDER_NONE, "the folder of user profiles"},
    {BASE_WIN, "Profiles\\?", FOLDER_NONE, "a user profile"},
    {BASE_WIN, "Start Menu\\Programs\\StartUp", FOLDER_NONE, "the StartUp folder"},
    {BASE_WIN, "Start Menu\\Programs\\Accessories", FOLDER_NONE, "the Accessories folder"},
    {BASE_WIN, "SYSTEM32\\drivers", FOLDER_NONE, "the drivers folder"},
    {BASE_WIN, "SYSTEM32\\config", FOLDER_NONE, "the registry's folder"},
    {BASE_WIN, "SYSTEM32\\spool", FOLDER_NONE, "the print spooler's folder"},
    {BASE_WIN, "SYSTEM\\IOSUBSYS", FOLDER_NONE, "the drivers folder"},
    {BASE_WIN, "SYSTEM\\VMM32", FOLDER_NONE, "the drivers folder"},
    {BASE_WIN, "TEMP", FOLDER_NONE, "the Windows TEMP folder"},
    {BASE_WIN, "HELP", FOLDER_NONE, "the Windows HELP folder"},
    {BASE_WIN, "INF", FOLDER_NONE, "the Windows INF folder"},
    {BASE_WIN, "COMMAND", FOLDER_NONE, "the Windows COMMAND folder"},
    {BASE_WIN, "CURSORS", FOLDER_NONE, "the Windows CURSORS folder"},
    {BASE_WIN, "MEDIA", FOLDER_NONE, "the Windows MEDIA folder"},
    {BASE_WIN, "SendTo", FOLDER_NONE, "the SendTo folder"},
    {BASE_WIN, "Recent", FOLDER_NONE, "the Recent folder"},
    {BASE_WIN, "Favorites", FOLDER_NONE, "the Favorites folder"},
    {BASE_WIN, "ShellNew", FOLDER_NONE, "the ShellNew folder"},
    {BASE_WIN, "Application Data", FOLDER_NONE, "the Application Data folder"},
    {BASE_WIN, "Cookies", FOLDER_NONE, "the Cookies folder"},
    {BASE_WIN, "History", FOLDER_NONE, "the History folder"},
    {BASE_WIN, "NetHood", FOLDER_NONE, "the NetHood folder"},
    {BASE_WIN, "PrintHood", FOLDER_NONE, "the PrintHood folder"},
    {BASE_WIN, "Config", FOLDER_NONE, "the Windows Config folder"},
    {BASE_WIN, "Java", FOLDER_NONE, "the Windows Java folder"},
    {BASE_WIN, "Downloaded Program Files", FOLDER_NONE, "the Downloaded Program Files folder"},
    {BASE_WIN, "Temporary Internet Files", FOLDER_NONE, "the Temporary Internet Files folder"},
    {BASE_WIN, "Web", FOLDER_NONE, "the Windows Web folder"},
    {BASE_WIN, "Tasks", FOLDER_NONE, "the Tasks folder"},
    {BASE_WIN, "Spool", FOLDER_NONE, "the print spooler's folder"},
    {BASE_WIN, "SYSBCKUP", FOLDER_NONE, "the system backup folder"},
    {BASE_WIN, "Driver Cache", FOLDER_NONE, "the Driver Cache folder"},
    {BASE_WIN, "repair", FOLDER_NONE, "the Windows repair folder"},
    {BASE_WIN, "twain_32", FOLDER_NONE, "the scanner drivers folder"},
    {BASE_WIN, "Installer", FOLDER_NONE, "the Windows Installer folder"},
    {BASE_WIN, "Prefetch", FOLDER_NONE, "the Prefetch folder"},
    {BASE_WIN, "Resources", FOLDER_NONE, "the Windows Resources folder"},
    {BASE_WIN, "Debug", FOLDER_NONE, "the Windows Debug folder"},
    {BASE_WIN, "Logs", FOLDER_NONE, "the Windows Logs folder"},
    // Folders of every user at the top of a drive.
    {BASE_DRIVE, "Documents and Settings", FOLDER_NONE, "the folder of user profiles"},
    {BASE_DRIVE, "Documents and Settings\\?", FOLDER_NONE, "a user profile"},
    {BASE_DRIVE, "Documents and Settings\\?\\Application Data", FOLDER_NONE, "a user's Application Data folder"},
    {BASE_DRIVE, "Documents and Settings\\?\\My Documents", FOLDER_NONE, "a user's documents"},
    {BASE_DRIVE, "Users", FOLDER_NONE, "the folder of user profiles"},
    {BASE_DRIVE, "Users\\?", FOLDER_NONE, "a user profile"},
    {BASE_DRIVE, "Users\\?\\AppData", FOLDER_NONE, "a user's application data"},
    {BASE_DRIVE, "Users\\?\\AppData\\Roaming", FOLDER_NONE, "a user's application data"},
    {BASE_DRIVE, "Users\\?\\AppData\\Local", FOLDER_NONE, "a user's application data"},
    {BASE_DRIVE, "Users\\?\\Documents", FOLDER_NONE, "a user's documents"},
    {BASE_DRIVE, "ProgramData", FOLDER_NONE, "the all-users application data"},
    {BASE_DRIVE, "My Documents", FOLDER_NONE, "the documents folder"},
    {BASE_DRIVE, "TEMP", FOLDER_NONE, "the shared TEMP folder"},
    {BASE_DRIVE, "RECYCLED", FOLDER_NONE, "the Recycle Bin"},
    {BASE_DRIVE, "RECYCLER", FOLDER_NONE, "the Recycle Bin"},
    {BASE_DRIVE, "System Volume Information", FOLDER_NONE, "the system's volume data"},
};

static const char* const kWindowsNames[] = {"WINDOWS", "WINNT"};
static const char* const kProgramFilesNames[] = {"Program Files", "Program Files (x86)"};

// Number of leading parts of `parts` that name the base folder, for each
// way it can be written; calls back with how many parts it took.
static int BaseLengths(const Folder* folder, const Parts* parts, int base,
                       const RuleFolders* known, unsigned* taken, int max) {
  int found = 0;
  if (folder->base != FOLDER_NONE) {
    if ((base == BASE_WIN && folder->base == FOLDER_WIN) ||
        (base == BASE_PF && folder->base == FOLDER_PF))
      taken[found++] = 0;
    return found;
  }
  // A literal path: "X:" then the base's usual names, or a known path.
  if (parts->count == 0 || parts->n[0] != 2 || !IsLetter(parts->p[0][0]) || parts->p[0][1] != ':')
    return 0;
  if (base == BASE_DRIVE) {
    taken[found++] = 1;
    return found;
  }
  const char* const* names = base == BASE_WIN ? kWindowsNames : kProgramFilesNames;
  for (int i = 0; i < 2 && found < max; i++)
    if (PartIs(parts, 1, names[i])) taken[found++] = 2;
  const char* knownPath = known ? known->path[base == BASE_WIN ? FOLDER_WIN : FOLDER_PF] : 0;
  if (knownPath && found < max) {
    Parts k;
    Split(knownPath, Length(knownPath), &k);
    int same = k.count > 0 && !k.overflow && k.count <= parts->count;
    for (unsigned i = 0; same && i < k.count; i++)
      same = SameFolded(parts->p[i], parts->n[i], k.p[i], k.n[i]);
    if (same) taken[found++] = k.count;
  }
  return found;
}

#endif

static int SameAsKnown(const Folder* folder, const char* knownPath) {
  Parts a, b;
  Split(folder->text, folder->length, &a);
  Split(knownPath, Length(knownPath), &b);
  if (a.overflow || b.overflow || a.count != b.count || a.count == 0) return 0;
  for (unsigned i = 0; i < a.count; i++)
    if (!SameFolded(a.p[i], a.n[i], b.p[i], b.n[i])) return 0;
  return 1;
}

static unsigned TrimmedLength(const char* s, unsigned n) {
  while (n > 0 && s[n - 1] == '\\') n--;
  return n;
}

// Folders Windows keeps inside the folders above, where a user's choice (an
// installation folder, a Start menu group) can land: known by the constant
// of the folder they are in or by this machine's path of it, in every
// build.
// Each entry: the FOLDER_ id of the folder it is in as one byte, then its
// name and a zero byte; packed, so that the list costs no pointer per entry.
static const char kKeptFolders[] =
    "\7StartUp\0\10StartUp\0"
    "\7Accessories\0\10Accessories\0"
    "\7" "Administrative Tools\0\10" "Administrative Tools\0"
    "\2TEMP\0\2SYSTEM\0\2SYSTEM32\0"
    "\2INF\0\2HELP\0\2" "COMMAND\0"
    "\2Profiles\0\2" "All Users\0";
static_assert(FOLDER_WIN == 2 && FOLDER_PROGRAMS == 7 && FOLDER_COMMONPROGRAMS == 8,
              "the kept folders name their parents by these numbers");

static const char* KeptFolderName(const Folder* folder, const RuleFolders* known) {
  unsigned cut = folder->length;
  while (cut > 0 && folder->text[cut - 1] != '\\') cut--;
  if (cut == 0) return 0;  // no parent written
  const char* last = folder->text + cut;
  unsigned lastLength = folder->length - cut;
  Folder parent = {folder->base, folder->text, TrimmedLength(folder->text, cut)};
  for (const char* k = kKeptFolders; *k; k += Length(k) + 1) {
    int in = k[0];
    const char* name = k + 1;
    if (!SameFolded(last, lastLength, name, Length(name))) continue;
    if ((parent.base == in && parent.length == 0) ||
        (parent.base == FOLDER_NONE && known && known->path[in] && SameAsKnown(&parent, known->path[in])))
      return "a folder Windows keeps";
  }
  return 0;
}

// The system folder `folder` is, with the FOLDER_ id when it has one; null
// when it is none the rules know.
static const char* SystemFolderName(const Folder* folder, const RuleFolders* known, int* id) {
  *id = FOLDER_NONE;
  if (folder->base == FOLDER_APP || folder->base == FOLDER_NAMED) return 0;
  if (folder->base != FOLDER_NONE && folder->length == 0) {
    *id = folder->base;
    return FolderName(folder->base);
  }
  if (folder->base == FOLDER_NONE && known) {
    for (int f = FOLDER_WIN; f < FOLDER_COUNT; f++)
      if (known->path[f] && SameAsKnown(folder, known->path[f])) {
        *id = f;
        return FolderName(f);
      }
  }
  const char* kept = KeptFolderName(folder, known);
  if (kept) return kept;
#ifndef SWEEPKIT_RULES_COMPACT
  Parts parts;
  Split(folder->text, folder->length, &parts);
  for (unsigned i = 0; i < sizeof(kFolderPatterns) / sizeof(kFolderPatterns[0]); i++) {
    const FolderPattern* pattern = &kFolderPatterns[i];
    unsigned taken[4];
    int ways = BaseLengths(folder, &parts, pattern->base, known, taken, 4);
    for (int w = 0; w < ways; w++) {
      if (taken[w] > parts.count || !MatchParts(&parts, taken[w], pattern->rest)) continue;
      *id = pattern->folder;
      return pattern->folder != FOLDER_NONE ? FolderName(pattern->folder) : pattern->name;
    }
  }
#endif
  return 0;
}


static int IsDriveRoot(const Folder* folder) {
  if (folder->base != FOLDER_NONE) return 0;
  const char* s = folder->text;
  if (folder->length == 2 && IsLetter(s[0]) && s[1] == ':') return 1;
  if (folder->length < 2 || s[0] != '\\' || s[1] != '\\') return 0;
  Parts parts;
  Split(s, folder->length, &parts);
  return parts.count == 2;  // \\server\share
}

// The folder a file entry's path lies in (for a directory entry: the
// directory itself), composed into `work`. 0 when there is none.
static int EntryFolder(int base, const char* dir, const char* name, char* work, Folder* out) {
  unsigned d = Length(dir), n = name ? Length(name) : 0;
  if (d + 1 + n >= WORK_SIZE) return 0;
  unsigned len = 0;
  for (unsigned i = 0; i < d; i++) work[len++] = dir[i];
  if (n) {
    if (len && work[len - 1] != '\\') work[len++] = '\\';
    for (unsigned i = 0; i < n; i++) work[len++] = name[i];
    while (len > 0 && work[len - 1] != '\\') len--;  // cut the file's own name
  }
  work[len] = 0;
  out->base = base;
  out->text = work;
  out->length = TrimmedLength(work, len);
  if (base == FOLDER_NONE && out->length == 0) return 0;
  return 1;
}

// ---------------------------------------------------------------------------
// Keys other software shares

#ifndef SWEEPKIT_RULES_COMPACT
struct SharedKey {
  const char* path;
  const char* reason;
};

// Below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (and each user in
// HKEY_USERS); matched whole, ? standing for any one part.
static const SharedKey kSharedKeys[] = {
    {"Software\\Microsoft", "Windows and every Microsoft program keep their settings below it"},
    {"Software\\Microsoft\\Windows", "the settings of Windows itself"},
    {"Software\\Microsoft\\Windows\\CurrentVersion", "system-wide settings every installed program registers under"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "the uninstall entries of every installed program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Run", "the programs that start with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "the programs that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", "the programs that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunServices", "the services that start with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce", "the services that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", "the reference counts of every shared file"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths", "where Windows finds every registered program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", "the shell's settings"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "where the shell's folders are"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", "where the shell's folders are"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions", "the shell extensions of every program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved", "the shell extensions of every program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Policies", "restrictions set by the administrator"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "the settings of Windows Setup"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Fonts", "the fonts Windows loads"},
    {"Software\\Microsoft\\Windows NT", "the settings of Windows NT itself"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion", "the settings of Windows NT itself"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", "the fonts Windows loads"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "how Windows logs users on"},
    {"Software\\Microsoft\\Active Setup", "components set up for every user"},
    {"Software\\Microsoft\\Active Setup\\Installed Components", "components set up for every user"},
    {"Software\\Microsoft\\Internet Explorer", "the settings of the system's browser"},
    {"Software\\Microsoft\\Shared Tools", "components Microsoft programs share"},
    {"Software\\Classes", "every file type and COM registration (the class root)"},
    {"Software\\Policies", "restrictions set by the administrator"},
    {"Software\\Clients", "the default program of each kind"},
    {"Software\\ODBC", "the database drivers and sources of every program"},
    {"Software\\ODBC\\ODBC.INI", "the database sources of every program"},
    {"Software\\ODBC\\ODBCINST.INI", "the database drivers of every program"},
    {"Software\\Wow6432Node", "the 32-bit view of every program's settings"},
    {"Software\\RegisteredApplications", "the registered programs of every kind"},
    {"SYSTEM\\?", "a control set or other configuration of the machine"},
    {"SYSTEM\\?\\?", "a part of the machine's configuration (Control, Services, Enum, ...)"},
    {"SYSTEM\\?\\Control\\?", "the settings of a part of the system"},
    {"Control Panel\\?", "the user's Control Panel settings"},
};

// Below HKEY_CLASSES_ROOT and Software\Classes: containers every program
// registers into, and the types Windows itself owns. An application's own
// extension or class key is not among them.
static const SharedKey kSharedClassKeys[] = {
    {"CLSID", "the COM classes of every program"},
    {"Interface", "the COM interfaces of every program"},
    {"TypeLib", "the type libraries of every program"},
    {"AppID", "the COM applications of every program"},
    {"Component Categories", "the COM categories of every program"},
    {"*", "what every file's menu offers"},
    {"*\\?", "what every file's menu offers"},
    {"*\\shellex\\?", "the shell extensions of every file"},
    {"Directory", "what every folder's menu offers"},
    {"Directory\\?", "what every folder's menu offers"},
    {"Directory\\shellex\\?", "the shell extensions of every folder"},
    {"Directory\\Background\\?", "what every folder's background menu offers"},
    {"Directory\\Background\\shellex\\?", "the shell extensions of every folder"},
    {"Folder", "what every folder's menu offers"},
    {"Folder\\?", "what every folder's menu offers"},
    {"Folder\\shellex\\?", "the shell extensions of every folder"},
    {"Drive", "what every drive's menu offers"},
    {"Drive\\?", "what every drive's menu offers"},
    {"Drive\\shellex\\?", "the shell extensions of every drive"},
    {"AllFilesystemObjects", "what every file's and folder's menu offers"},
    {"AllFilesystemObjects\\?", "what every file's and folder's menu offers"},
    {"AllFilesystemObjects\\shellex\\?", "the shell extensions of every file and folder"},
    {"Unknown", "how files of unknown types are opened"},
    {"SystemFileAssociations", "menus shared by kinds of files"},
    {"Applications", "the registered programs of every file type"},
    {"MIME", "the content types of every program"},
    {"MIME\\Database", "the content types of every program"},
    {"MIME\\Database\\Content Type", "the content types of every program"},
    {"Protocols", "the protocol handlers of every program"},
    {"Protocols\\Handler", "the protocol handlers of every program"},
    {"Protocols\\Filter", "the protocol filters of every program"},
    {"exefile", "how every program starts"},
    {"dllfile", "a file type Windows owns"},
    {"lnkfile", "how every shortcut opens"},
    {"piffile", "how every DOS program starts"},
    {"batfile", "how every batch file runs"},
    {"cmdfile", "how every batch file runs"},
    {"comfile", "how every DOS program starts"},
    {"txtfile", "a file type Windows owns"},
    {"inifile", "a file type Windows owns"},
    {"regfile", "a file type Windows owns"},
    {"inffile", "a file type Windows owns"},
    {"htmlfile", "a file type Windows owns"},
    {"http", "how every web address opens"},
    {"https", "how every web address opens"},
    {"ftp", "how every FTP address opens"},
    {"mailto", "how every mail address opens"},
    {"file", "how every file address opens"},
    {".exe", "a file type Windows owns"},
    {".com", "a file type Windows owns"},
    {".bat", "a file type Windows owns"},
    {".cmd", "a file type Windows owns"},
    {".pif", "a file type Windows owns"},
    {".lnk", "a file type Windows owns"},
    {".dll", "a file type Windows owns"},
    {".txt", "a file type Windows owns"},
    {".ini", "a file type Windows owns"},
    {".inf", "a file type Windows owns"},
    {".reg", "a file type Windows owns"},
    {".htm", "a file type Windows owns"},
    {".html", "a file type Windows owns"},
};

static const char* MatchTable(const SharedKey* table, unsigned count, const Parts* parts, unsigned first) {
  for (unsigned i = 0; i < count; i++)
    if (MatchParts(parts, first, table[i].path)) return table[i].reason;
  return 0;
}

#define TABLE(t) t, (unsigned)(sizeof(t) / sizeof(t[0]))

#endif

// The reason the key is shared, or null when it is not on the list.
static const char* SharedKeyReason(unsigned root, const char* path) {
  Parts parts;
  Split(path, Length(path), &parts);
  if (parts.overflow) return 0;
  unsigned first = 0;
#ifdef SWEEPKIT_RULES_COMPACT
  if (root == ROOT_HKCR) return 0;
#else
  if (root == ROOT_HKCR) return MatchTable(TABLE(kSharedClassKeys), &parts, 0);
#endif
  if (root == ROOT_HKU) {
    if (parts.count == 1) return "a user's whole part of the registry (.DEFAULT: that of new users)";
    first = 1;
  } else if (root == ROOT_HKCC) {
    return parts.count == 1 ? "a first-level key: the current configuration keeps its data below it" : 0;
  } else if (root != ROOT_HKLM && root != ROOT_HKCU) {
    return 0;
  }
  if (parts.count - first == 1) return "a first-level key: other software keeps its data below it";
#ifdef SWEEPKIT_RULES_COMPACT
  return 0;
#else
  const char* reason = MatchTable(TABLE(kSharedKeys), &parts, first);
  if (reason) return reason;
  // Software\Classes holds the class root's own keys.
  if (PartIs(&parts, first, "Software") && PartIs(&parts, first + 1, "Classes"))
    return MatchTable(TABLE(kSharedClassKeys), &parts, first + 2);
  return 0;
#endif
}

// ---------------------------------------------------------------------------
// The checks

struct Checker {
  const RuleInput* input;
  RuleReport report;
  void* context;
  int errors;
  char work[WORK_SIZE];
  char other[WORK_SIZE];
};

// Reports one problem. `forceable` refusals become warnings on entries
// whose author set force.
static void Report(Checker* c, int severity, int forceable, int force, int list,
                   unsigned index, const char* field, const char* text, const char* detail) {
  RuleProblem problem;
  problem.forced = severity == RULE_ERROR && forceable && force;
  problem.severity = problem.forced ? RULE_WARNING : severity;
  problem.forceable = severity == RULE_ERROR && forceable;
  problem.list = list;
  problem.index = index;
  problem.field = field;
  problem.text = text;
  problem.detail = detail ? detail : "";
  if (problem.severity == RULE_ERROR) c->errors++;
  c->report(c->context, &problem);
}

#define REFUSE(list, i, field, text) Report(c, RULE_ERROR, 0, 0, list, i, field, text, 0)

static void CheckPathText(Checker* c, int list, unsigned i, const char* field, const char* s) {
  if (HasEnvironmentReference(s))
    REFUSE(list, i, field, "holds a %NAME% reference, which the uninstaller never expands");
}

static void CheckName(Checker* c, int list, unsigned i, const char* name) {
  if (IsLetter(name[0]) && name[1] == ':')
    REFUSE(list, i, "name", "starts with a drive; a name lies inside its dir");
  else if (name[0] == '\\')
    REFUSE(list, i, "name", "starts with a backslash; a name lies inside its dir");
  if (HasDotDotPart(name)) REFUSE(list, i, "name", "holds a .. part, naming something outside its dir");
  CheckPathText(c, list, i, "name", name);
}

// The constant an entry starts with must be followed by nothing or a
// backslash.
static int ConstantRestOk(const char* rest) { return rest[0] == 0 || rest[0] == '\\'; }

#ifndef SWEEPKIT_RULES_COMPACT
// Another entry's folder equals `folder` or lies below it.
static int FolderInUse(Checker* c, unsigned self, const Folder* folder) {
  const RuleInput* in = c->input;
  for (unsigned j = 0; j < in->fileCount + in->shortcutCount; j++) {
    Folder f;
    if (j < in->fileCount) {
      const RuleFile* e = &in->files[j];
      if (j == self || !e->name || !e->name[0]) continue;
      if (!EntryFolder(e->base, e->dir, e->name, c->other, &f)) continue;
    } else {
      const RuleShortcut* e = &in->shortcuts[j - in->fileCount];
      if (!EntryFolder(e->base, e->dir, 0, c->other, &f)) continue;
    }
    if (f.base != folder->base || f.length < folder->length) continue;
    if (!SameFolded(f.text, folder->length, folder->text, folder->length)) continue;
    if (f.length == folder->length || f.text[folder->length] == '\\' || folder->length == 0) return 1;
  }
  return 0;
}
#endif

// The form of an entry's dir, shared by files and shortcuts (only files may
// be relative to the installation folder). 1 when the folder rules can judge
// it: the form is sound and no named value still stands at its start.
static int CheckDirForm(Checker* c, int L, unsigned i, int base, const char* dir, int relativeAllowed) {
  int formOk = 1;
  if (base == FOLDER_NAMED) {
    formOk = 0;  // judged when the template is finished
  } else if (base != FOLDER_NONE) {
    formOk = ConstantRestOk(dir);
    if (!formOk) REFUSE(L, i, "dir", "continues its folder constant with something other than a backslash");
  } else if (!IsAbsolute(dir) && !(relativeAllowed && IsInstallRelative(dir))) {
    formOk = 0;
    if (relativeAllowed)
      REFUSE(L, i, "dir",
             "is neither absolute (X:\\... or \\\\server\\share\\...) nor relative to the installation "
             "folder (exactly . or .\\...); the uninstaller would resolve it against whatever folder it "
             "was started from");
    else
      REFUSE(L, i, "dir",
             "is not absolute (X:\\... or \\\\server\\share\\...); shortcut folders are never resolved "
             "against the installation folder");
  }
  if (HasDotDotPart(dir)) {
    formOk = 0;
    REFUSE(L, i, "dir", "holds a .. part, naming a folder other than it appears to");
  }
  CheckPathText(c, L, i, "dir", dir);
  return formOk;
}

static void CheckFile(Checker* c, unsigned i) {
  const RuleFile* e = &c->input->files[i];
  const int L = RULE_FILES;
  int formOk = CheckDirForm(c, L, i, e->base, e->dir, 1);
  if (!e->name) {
    REFUSE(L, i, "", "has no name; write \"name\": \"\" for a directory entry");
    return;
  }
  CheckName(c, L, i, e->name);
  if (!formOk) return;

  Folder folder;
  if (!EntryFolder(e->base, e->dir, e->name, c->work, &folder)) return;
  int id;
  const char* system = SystemFolderName(&folder, c->input->folders, &id);
  if (!e->name[0]) {
    if (IsDriveRoot(&folder))
      Report(c, RULE_ERROR, 1, e->force, L, i, "dir", "is a directory entry for a drive root", 0);
    else if (system)
      Report(c, RULE_ERROR, 1, e->force, L, i, "dir", "is a directory entry for a folder the system owns",
             system);
#ifndef SWEEPKIT_RULES_COMPACT
    else if (!FolderInUse(c, i, &folder))
      Report(c, RULE_WARNING, 0, 0, L, i, "dir",
             "is a directory entry for a folder no other entry uses", 0);
#endif
    return;
  }
  // Risky but plausible entries: the packers warn, the finisher has no one
  // to warn and only refuses.
#ifndef SWEEPKIT_RULES_COMPACT
  if (system && !SweepSpares(id))
    Report(c, RULE_WARNING, 0, 0, L, i, "dir",
           "puts a file directly in a folder the system owns, which the directory sweep removes when "
           "it is empty",
           system);
  if ((e->flags & FILE_SHARED_FLAG) && id != FOLDER_SYS)
    Report(c, RULE_WARNING, 0, 0, L, i, "dir",
           "marks a file shared that is not in the system folder; shared counts belong to system files", 0);
  if ((e->flags & FILE_FONT_FLAG) && id != FOLDER_FONTS)
    Report(c, RULE_WARNING, 0, 0, L, i, "dir", "marks a file as a font that is not in the Fonts folder", 0);
#endif
}

static void CheckShortcut(Checker* c, unsigned i) {
  const RuleShortcut* e = &c->input->shortcuts[i];
  const int L = RULE_SHORTCUTS;
  int formOk = CheckDirForm(c, L, i, e->base, e->dir, 0);
  CheckName(c, L, i, e->name ? e->name : "");
  if (!formOk) return;
  Folder folder;
  if (!EntryFolder(e->base, e->dir, 0, c->work, &folder)) return;
  int id;
  const char* system = SystemFolderName(&folder, c->input->folders, &id);
  if (system)
    Report(c, RULE_ERROR, 1, e->force, L, i, "dir",
           "lies directly in a folder the system owns, which the shortcut stage then tries to remove; "
           "list such a shortcut under files",
           system);
}

static void CheckKey(Checker* c, unsigned i) {
  const RuleKey* e = &c->input->keys[i];
  const int L = RULE_KEYS;
  if (!e->path[0]) {
    REFUSE(L, i, "path", "is empty, which names the root key itself");
    return;
  }
  if (e->path[0] == '\\') {
    REFUSE(L, i, "path", "starts with a backslash; the registry finds no such key");
    return;
  }
  CheckPathText(c, L, i, "path", e->path);
  const char* reason = SharedKeyReason(e->root, e->path);
  if (reason) Report(c, RULE_ERROR, 1, e->force, L, i, "path", "names a key other software shares", reason);
}

int CheckRules(const RuleInput* input, RuleReport report, void* context) {
  Checker c;
  c.input = input;
  c.report = report;
  c.context = context;
  c.errors = 0;
  for (unsigned i = 0; i < input->fileCount; i++) CheckFile(&c, i);
  for (unsigned i = 0; i < input->shortcutCount; i++) CheckShortcut(&c, i);
  for (unsigned i = 0; i < input->keyCount; i++) CheckKey(&c, i);
  return c.errors;
}

const char* RuleListName(int list) {
  return list == RULE_FILES ? "files" : list == RULE_SHORTCUTS ? "shortcuts" : "keys";
}
