#include "format/rules.h"

// From format/block_build.h, whose system types this file does without.
const char* PackedText(const char* list, unsigned index);

// A refusal's explanation: the installer's program, which only refuses what
// a named value changed, says what is wrong without it.
#ifdef SWEEPKIT_RULES_REFUSALS_ONLY
#define RULE_WHY(text) ""
#else
#define RULE_WHY(text) text
#endif

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

// ---------------------------------------------------------------------------
// The tables (rows as format/rules.h describes them)

struct Row {
  int kind;
  int base;
  int folder;
  const char* pattern;
  const char* reason;
};

// The row at p into *row; returns where the next one starts.
static const unsigned char* ReadRow(const unsigned char* p, Row* row) {
  row->kind = *p++;
  row->base = row->folder = 0;
  if (row->kind == ROW_FOLDER) {
    row->base = *p++;
    row->folder = *p++;
  }
  row->pattern = (const char*)p;
  p += Length(row->pattern) + 1;
  row->reason = (const char*)p;
  return p + Length(row->reason) + 1;
}

int RuleTablesValid(const unsigned char* t, unsigned size) {
  if (!t) return 0;
  unsigned at = 0;
  while (at < size) {
    int kind = t[at++];
    if (kind == ROW_END) return at == size;
    if (kind == ROW_FOLDER) {
      if (size - at < 2 || t[at] < RULE_BASE_DRIVE || t[at] > RULE_BASE_PF || t[at + 1] >= FOLDER_COUNT) return 0;
      at += 2;
    } else if (kind != ROW_KEY && kind != ROW_CLASS) {
      return 0;
    }
    for (int text = 0; text < 2; text++) {
      unsigned start = at;
      while (at < size && t[at]) at++;
      if (at == size || (text == 0 && kind != ROW_FOLDER && at == start)) return 0;
      at++;
    }
  }
  return 0;
}

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

// A spelling Windows reads as another path: the stub compares paths byte
// for byte, so a system folder spelled so would escape the protection the
// sweep and these rules give it. The reason, or null. With skipLast the
// last part is not looked at (a name's own last part is a file).
static const char* OtherSpelling(const char* s, int skipLast) {
  if (IsPathSeparator(s[0]) && IsPathSeparator(s[1]) && (s[2] == '?' || s[2] == '.') && IsPathSeparator(s[3]))
    return "a \\\\?\\ or \\\\.\\ prefix";
  const char* part = s;
  const char* tilde = 0;
  for (const char* p = s;; p++) {
    if (*p == ':' && p != s + 1) return "a colon";
    if (*p == '~') tilde = p;
    if (*p && !IsPathSeparator(*p)) continue;
    if (!*p && skipLast) return 0;
    unsigned n = (unsigned)(p - part);
    int dots = n <= 2 && part[0] == '.' && part[n - 1] == '.';  // "." or ".."
    if (n && !dots && (p[-1] == '.' || p[-1] == ' ')) return "a name ending in a dot or space";
    // NAME~N[.EXT]: a short (8.3) alias of a longer name.
    if (tilde && tilde > part && tilde - part < 7 && tilde[1] >= '0' && tilde[1] <= '9') {
      const char* d = tilde + 1;
      while (*d >= '0' && *d <= '9') d++;
      if (d - part <= 8 && (d == p || *d == '.')) return "a short (8.3) name";
    }
    if (!*p) return 0;
    part = p + 1;
    tilde = 0;
  }
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

// Folders the stub's directory sweep never removes.
static int SweepSpares(int folder) {
  return folder >= FOLDER_WIN && folder <= FOLDER_COMMONSTARTMENU;
}

// A folder as the checks see it: a constant it starts with (FOLDER_NONE for
// a literal path) and the text after it, without trailing backslashes.
struct Folder {
  int base;
  const char* text;
  unsigned length;
};

static const char* const kWindowsNames[] = {"WINDOWS", "WINNT"};
static const char* const kProgramFilesNames[] = {"Program Files", "Program Files (x86)"};

// Number of leading parts of `parts` that name the base folder, for each
// way it can be written; calls back with how many parts it took.
static int BaseLengths(const Folder* folder, const Parts* parts, int base,
                       const RuleFolders* known, unsigned* taken, int max) {
  int found = 0;
  if (folder->base != FOLDER_NONE) {
    if ((base == RULE_BASE_WIN && folder->base == FOLDER_WIN) ||
        (base == RULE_BASE_PF && folder->base == FOLDER_PF))
      taken[found++] = 0;
    return found;
  }
  // A literal path: "X:" then the base's usual names, or a known path.
  if (parts->count == 0 || parts->n[0] != 2 || !IsLetter(parts->p[0][0]) || parts->p[0][1] != ':')
    return 0;
  if (base == RULE_BASE_DRIVE) {
    taken[found++] = 1;
    return found;
  }
  const char* const* names = base == RULE_BASE_WIN ? kWindowsNames : kProgramFilesNames;
  for (int i = 0; i < 2 && found < max; i++)
    if (PartIs(parts, 1, names[i])) taken[found++] = 2;
  const char* knownPath = known ? known->path[base == RULE_BASE_WIN ? FOLDER_WIN : FOLDER_PF] : 0;
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
static const char* SystemFolderName(const Folder* folder, const RuleFolders* known,
                                    const unsigned char* tables, int* id) {
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
  Parts parts;
  Split(folder->text, folder->length, &parts);
  Row row;
  for (const unsigned char* p = tables; *p != ROW_END;) {
    p = ReadRow(p, &row);
    if (row.kind != ROW_FOLDER) continue;
    unsigned taken[4];
    int ways = BaseLengths(folder, &parts, row.base, known, taken, 4);
    for (int w = 0; w < ways; w++) {
      if (taken[w] > parts.count || !MatchParts(&parts, taken[w], row.pattern)) continue;
      *id = row.folder;
      return row.folder != FOLDER_NONE ? FolderName(row.folder) : row.reason;
    }
  }
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

// The reason of the first row of `kind` that the parts from `first` on
// match; null when none does.
static const char* MatchTable(const unsigned char* tables, int kind, const Parts* parts, unsigned first) {
  Row row;
  for (const unsigned char* p = tables; *p != ROW_END;) {
    p = ReadRow(p, &row);
    if (row.kind == kind && MatchParts(parts, first, row.pattern)) return row.reason;
  }
  return 0;
}

// The reason the key is shared, or null when it is not on the list.
static const char* SharedKeyReason(const unsigned char* tables, unsigned root, const char* path) {
  Parts parts;
  Split(path, Length(path), &parts);
  if (parts.overflow) return 0;
  unsigned first = 0;
  if (root == ROOT_HKCR) return MatchTable(tables, ROW_CLASS, &parts, 0);
  if (root == ROOT_HKU) {
    if (parts.count == 1) return "a user's whole part of the registry" RULE_WHY(" (.DEFAULT: that of new users)");
    first = 1;
  } else if (root == ROOT_HKCC) {
    return parts.count == 1 ? "a first-level key" RULE_WHY(": the current configuration keeps its data below it") : 0;
  } else if (root != ROOT_HKLM && root != ROOT_HKCU) {
    return 0;
  }
  if (parts.count - first == 1) return "a first-level key" RULE_WHY(": other software keeps its data below it");
  const char* reason = MatchTable(tables, ROW_KEY, &parts, first);
  if (reason) return reason;
  // Software\Classes holds the class root's own keys.
  if (PartIs(&parts, first, "Software") && PartIs(&parts, first + 1, "Classes"))
    return MatchTable(tables, ROW_CLASS, &parts, first + 2);
  return 0;
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

// The finisher warns of nothing (refusalsOnly); its Win32 build leaves the
// warnings out altogether to stay within its size. What is refused is
// decided by the same code either way.
#ifdef SWEEPKIT_RULES_REFUSALS_ONLY
static const int kWarnings = 0;
#else
static const int kWarnings = 1;
#endif

#define REFUSE(list, i, field, text) Report(c, RULE_ERROR, 0, 0, list, i, field, text, 0)

static const char kOtherSpelling[] =
    "is a spelling Windows reads as another path";

static void CheckPathText(Checker* c, int list, unsigned i, const char* field, const char* s) {
  if (HasEnvironmentReference(s))
    REFUSE(list, i, field, "holds a %NAME% reference" RULE_WHY(", which the uninstaller never expands"));
}

static void CheckName(Checker* c, int list, unsigned i, const char* name) {
  if (IsLetter(name[0]) && name[1] == ':')
    REFUSE(list, i, "name", "starts with a drive" RULE_WHY("; a name lies inside its dir"));
  else if (name[0] == '\\')
    REFUSE(list, i, "name", "starts with a backslash" RULE_WHY("; a name lies inside its dir"));
  if (HasDotDotPart(name)) REFUSE(list, i, "name", "holds a .. part" RULE_WHY(", naming something outside its dir"));
  const char* other = OtherSpelling(name, 1);
  if (other) Report(c, RULE_ERROR, 0, 0, list, i, "name", kOtherSpelling, other);
  CheckPathText(c, list, i, "name", name);
}

// The constant an entry starts with must be followed by nothing or a
// backslash.
static int ConstantRestOk(const char* rest) { return rest[0] == 0 || rest[0] == '\\'; }

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

// The form of an entry's dir, shared by files and shortcuts (only files may
// be relative to the installation folder). 1 when the folder rules can judge
// it: the form is sound and no named value still stands at its start.
static int CheckDirForm(Checker* c, int L, unsigned i, int base, const char* dir, int relativeAllowed) {
  int formOk = 1;
  if (base == FOLDER_NAMED) {
    formOk = 0;  // judged when the template is finished
  } else if (base != FOLDER_NONE) {
    formOk = ConstantRestOk(dir);
    if (!formOk) REFUSE(L, i, "dir", "continues its folder constant" RULE_WHY(" with something other than a backslash"));
  } else if (!IsAbsolute(dir) && !(relativeAllowed && IsInstallRelative(dir))) {
    formOk = 0;
    if (relativeAllowed)
      REFUSE(L, i, "dir",
             "is neither absolute" RULE_WHY(" (X:\\... or \\\\server\\share\\...)") " nor relative to the "
             "installation folder" RULE_WHY(" (exactly . or .\\...); the uninstaller would resolve it against "
                                            "whatever folder it was started from"));
    else
      REFUSE(L, i, "dir",
             "is not absolute" RULE_WHY(" (X:\\... or \\\\server\\share\\...); shortcut folders are never "
                                        "resolved against the installation folder"));
  }
  if (HasDotDotPart(dir)) {
    formOk = 0;
    REFUSE(L, i, "dir", "holds a .. part" RULE_WHY(", naming a folder other than it appears to"));
  }
  const char* other = OtherSpelling(dir, 0);
  if (other) {
    formOk = 0;
    Report(c, RULE_ERROR, 0, 0, L, i, "dir", kOtherSpelling, other);
  }
  CheckPathText(c, L, i, "dir", dir);
  return formOk;
}

static void CheckFile(Checker* c, unsigned i) {
  const RuleFile* e = &c->input->files[i];
  const int L = RULE_FILES;
  int formOk = CheckDirForm(c, L, i, e->base, e->dir, 1);
  if (!e->name) {
    REFUSE(L, i, "", "has no name" RULE_WHY("; write \"name\": \"\" for a directory entry"));
    return;
  }
  CheckName(c, L, i, e->name);
  if (!formOk) return;

  Folder folder;
  if (!EntryFolder(e->base, e->dir, e->name, c->work, &folder)) return;
  int id;
  const char* system = SystemFolderName(&folder, c->input->folders, c->input->tables, &id);
  // The stub's sweep tries a file's folder without its final backslash:
  // for C:\x that is "C:", which Windows reads as the drive's current folder.
  if (IsDriveRoot(&folder) && (!e->name[0] || folder.length == 2)) {
    Report(c, RULE_ERROR, 1, e->force, L, i, "dir",
           e->name[0] ? "puts a file directly in a drive root"
                      : "is a directory entry for a drive root",
           0);
    return;
  }
  if (!e->name[0]) {
    if (system)
      Report(c, RULE_ERROR, 1, e->force, L, i, "dir", "is a directory entry for a folder the system owns",
             system);
    else if (kWarnings && !c->input->refusalsOnly && !FolderInUse(c, i, &folder))
      Report(c, RULE_WARNING, 0, 0, L, i, "dir",
             "is a directory entry for a folder no other entry uses", 0);
    return;
  }
  // Risky but plausible entries: the packers warn, the finisher has no one
  // to warn and only refuses.
  if (!kWarnings || c->input->refusalsOnly) return;
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
  const char* system = SystemFolderName(&folder, c->input->folders, c->input->tables, &id);
  if (system)
    Report(c, RULE_ERROR, 1, e->force, L, i, "dir",
           "lies directly in a folder the system owns" RULE_WHY(
               ", which the shortcut stage then tries to remove; list such a shortcut under files"),
           system);
}

static void CheckKey(Checker* c, unsigned i) {
  const RuleKey* e = &c->input->keys[i];
  const int L = RULE_KEYS;
  if (!e->path[0]) {
    REFUSE(L, i, "path", "is empty" RULE_WHY(", which names the root key itself"));
    return;
  }
  if (e->path[0] == '\\') {
    REFUSE(L, i, "path", "starts with a backslash" RULE_WHY("; the registry finds no such key"));
    return;
  }
  CheckPathText(c, L, i, "path", e->path);
  const char* reason = SharedKeyReason(c->input->tables, e->root, e->path);
  if (reason) Report(c, RULE_ERROR, 1, e->force, L, i, "path", "names a key other software shares", reason);
}

int CheckRules(const RuleInput* input, RuleReport report, void* context) {
  Checker c;
  c.input = input;
  c.report = report;
  c.context = context;
  c.errors = 0;
  // Without the tables nothing is judged safe.
  int tablesOk = RuleTablesValid(input->tables, input->tablesSize);
  unsigned counts[] = {input->fileCount, input->shortcutCount, input->keyCount};
  for (int L = RULE_FILES; L <= RULE_KEYS; L++) {
    for (unsigned i = 0; i < counts[L - 1]; i++) {
      if (!tablesOk)
        Report(&c, RULE_ERROR, 0, 0, L, i, "", "no rules' tables", 0);
      else if (L == RULE_FILES)
        CheckFile(&c, i);
      else if (L == RULE_SHORTCUTS)
        CheckShortcut(&c, i);
      else
        CheckKey(&c, i);
    }
  }
  return c.errors;
}

const char* RuleListName(int list) {
  return list == RULE_FILES ? "files" : list == RULE_SHORTCUTS ? "shortcuts" : "keys";
}
