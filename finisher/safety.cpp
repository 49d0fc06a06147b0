// The authoring rules once more, on the finished data: an entry that only
// becomes dangerous once its folders are known (a {sys} directory entry, a
// named value that is empty here) is caught with this machine's real
// folders. Entries the author forced only warn. They run before any merge:
// an earlier uninstaller's entries were checked when it was made.
#include "finisher/finish.h"
#include "format/rules.h"

static_assert((int)FOLDER_APP == (int)CONST_APP && (int)FOLDER_CF == (int)CONST_CF && (int)RULE_FILES == (int)LIST_FILES &&
                  (int)RULE_SHORTCUTS == (int)LIST_SHORTCUTS && (int)RULE_KEYS == (int)LIST_KEYS,
              "the rules number folders and lists as the template does");

// A "." dir is the folder OUT is written to: given to the rules as that
// absolute path, so that an installation into a folder the system owns is
// judged as such. Null when out of memory.
static const char* AbsoluteDir(const BlockText* dir, const char* appFolder) {
  const char* d = dir->bytes;
  int relative = dir->length >= 1 && d[0] == '.' && (dir->length == 1 || d[1] == '\\');
  if (!relative) return d;
  u32 appLength = StrLen(appFolder);
  u32 restLength = dir->length - 1;  // "\rest" or ""
  char* path = (char*)FinishAlloc(appLength + restLength + 1);
  if (!path) return 0;
  MemCopy(path, appFolder, appLength);
  const char* rest = d + 1;
  if (restLength && appLength && appFolder[appLength - 1] == '\\') rest++, restLength--;
  MemCopy(path + appLength, rest, restLength);
  path[appLength + restLength] = 0;
  return path;
}

static void ReportProblem(void* context, const RuleProblem* p) {
  (void)context;
  Say(p->severity == RULE_WARNING ? "warning: " : "");
  PutEntry(p->list, p->index, p->field[0] ? p->field : 0);
  PutFormat(": %s", p->text);
  if (p->detail[0]) PutFormat(" (%s)", p->detail);
  if (p->forced)
    Put("; kept because the entry says \"force\": true");
  else if (p->forceable)
    Put("; the template does not say the application owns it (\"force\": true)");
  EndLine();
}

int CheckSafety(const BlockData* data, const BlockForced* forced, u32 forcedCount,
                const ConstantTable* folders, const char* appFolder) {
  RuleFile* files = (RuleFile*)FinishAlloc(data->fileCount * (u32)sizeof(RuleFile) + 1);
  RuleShortcut* shortcuts = (RuleShortcut*)FinishAlloc(data->shortcutCount * (u32)sizeof(RuleShortcut) + 1);
  RuleKey* keys = (RuleKey*)FinishAlloc(data->keyCount * (u32)sizeof(RuleKey) + 1);
  if (!files || !shortcuts || !keys) goto outOfMemory;
  // Finished strings end in a zero byte (each is a block of its own) and
  // hold none inside (the limits refused that).
  for (u32 i = 0; i < data->fileCount; i++) {
    files[i].dir = AbsoluteDir(&data->files[i].dir, appFolder);
    if (!files[i].dir) goto outOfMemory;
    files[i].name = data->files[i].name.bytes;
    files[i].flags = data->files[i].flags;
  }
  for (u32 i = 0; i < data->shortcutCount; i++) {
    shortcuts[i].dir = data->shortcuts[i].dir.bytes;
    shortcuts[i].name = data->shortcuts[i].name.bytes;
  }
  for (u32 i = 0; i < data->keyCount; i++) {
    keys[i].root = data->keys[i].root;
    keys[i].path = data->keys[i].path.bytes;
  }
  for (u32 i = 0; i < forcedCount; i++) {
    u32 at = forced[i].index;
    if (forced[i].list == LIST_FILES && at < data->fileCount) files[at].force = 1;
    if (forced[i].list == LIST_SHORTCUTS && at < data->shortcutCount) shortcuts[at].force = 1;
    if (forced[i].list == LIST_KEYS && at < data->keyCount) keys[at].force = 1;
  }
  {
    RuleFolders known;
    MemZero(&known, sizeof known);
    for (int id = FOLDER_WIN; id < FOLDER_COUNT; id++)
      known.path[id] = folders->builtin[id].bytes;  // null: not on this machine
    known.path[FOLDER_APP] = appFolder;
    RuleInput input = {files, data->fileCount, shortcuts, data->shortcutCount,
                       keys, data->keyCount, &known};
    return CheckRules(&input, ReportProblem, 0) == 0;
  }
outOfMemory:
  SayOutOfMemory();
  return 0;
}
