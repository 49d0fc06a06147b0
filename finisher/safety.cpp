// The authoring rules once more, on the finished data: an entry that only
// becomes dangerous once its folders are known (a {sys} directory entry, a
// named value that is empty here) is caught with this machine's real
// folders, and so is an entry kept from an earlier uninstaller. Entries the
// author forced only warn.
#include "finisher/finish.h"
#include "format/rules.h"

// A text as a C string: a kept entry's text lies inside the earlier
// uninstaller's file, where no zero byte ends it. Null when out of memory.
static const char* Terminated(const BlockText* text) {
  if (text->bytes[text->length] == 0) return text->bytes;
  char* copy = (char*)FinishAlloc(text->length + 1);
  if (copy) MemCopy(copy, text->bytes, text->length);
  return copy;
}

static_assert((int)FOLDER_APP == (int)CONST_APP && (int)FOLDER_CF == (int)CONST_CF && (int)RULE_FILES == (int)LIST_FILES &&
                  (int)RULE_SHORTCUTS == (int)LIST_SHORTCUTS && (int)RULE_KEYS == (int)LIST_KEYS,
              "the rules number folders and lists as the template does");

// A "." dir is the folder OUT is written to: given to the rules as that
// absolute path, so that an installation into a folder the system owns is
// judged as such. Null when out of memory.
static const char* AbsoluteDir(const BlockText* dir, const char* appFolder) {
  const char* d = dir->bytes;
  int relative = dir->length >= 1 && d[0] == '.' && (dir->length == 1 || d[1] == '\\');
  if (!relative) return Terminated(dir);
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

// The named values the template put in the entry: they made it what it is.
static void PutNamedValues(const SafetyInput* in, int list, u32 index) {
  const BlockData* t = in->written;
  const BlockText* texts[2] = {0, 0};
  if (list == RULE_FILES) texts[0] = &t->files[index].dir, texts[1] = &t->files[index].name;
  else if (list == RULE_SHORTCUTS) texts[0] = &t->shortcuts[index].dir, texts[1] = &t->shortcuts[index].name;
  else texts[0] = &t->keys[index].path;
  for (int k = 0; k < 2 && texts[k]; k++) {
    u32 at = 0;
    TemplatePiece piece;
    while (NextTemplatePiece(texts[k], &at, &piece) == 1) {
      if (piece.constant != CONST_NAMED) continue;
      for (u32 v = 0; v < in->namedCount; v++) {
        const NamedValue* value = &in->named[v];
        if (!SameBytes(value->name, value->nameLength, piece.text.bytes, piece.text.length)) continue;
        Put("; {");
        PutText(&piece.text);
        Put("} is \"");
        PutText(&value->value);
        Put("\"");
      }
    }
  }
}

static void ReportProblem(void* context, const RuleProblem* p) {
  const SafetyInput* in = (const SafetyInput*)context;
  Say(p->severity == RULE_WARNING ? "warning: " : "");
  if (in->keptFrom) PutFormat("%s: ", in->keptFrom);
  PutEntry(p->list, in->keptFrom ? in->keptIndex[p->list - 1][p->index] : p->index, p->field[0] ? p->field : 0);
  PutFormat(": %s", p->text);
  if (p->detail[0]) PutFormat(" (%s)", p->detail);
  if (in->written) PutNamedValues(in, p->list, p->index);
  if (p->forced)
    Put("; kept because the entry says \"force\": true");
  else if (p->forceable)
    Put("; the template does not say the application owns it (\"force\": true)");
  EndLine();
}

int CheckSafety(const SafetyInput* in) {
  const BlockData* data = in->data;
  RuleFile* files = (RuleFile*)FinishAlloc(data->fileCount * (u32)sizeof(RuleFile) + 1);
  RuleShortcut* shortcuts = (RuleShortcut*)FinishAlloc(data->shortcutCount * (u32)sizeof(RuleShortcut) + 1);
  RuleKey* keys = (RuleKey*)FinishAlloc(data->keyCount * (u32)sizeof(RuleKey) + 1);
  if (!files || !shortcuts || !keys) goto outOfMemory;
  // Finished texts end in a zero byte (each is a block of its own); a kept
  // one lies in the earlier uninstaller's file and is copied (Terminated).
  for (u32 i = 0; i < data->fileCount; i++) {
    files[i].dir = AbsoluteDir(&data->files[i].dir, in->appFolder);
    files[i].name = Terminated(&data->files[i].name);
    if (!files[i].dir || !files[i].name) goto outOfMemory;
    files[i].flags = data->files[i].flags;
  }
  for (u32 i = 0; i < data->shortcutCount; i++) {
    shortcuts[i].dir = Terminated(&data->shortcuts[i].dir);
    shortcuts[i].name = Terminated(&data->shortcuts[i].name);
    if (!shortcuts[i].dir || !shortcuts[i].name) goto outOfMemory;
  }
  for (u32 i = 0; i < data->keyCount; i++) {
    keys[i].root = data->keys[i].root;
    keys[i].path = Terminated(&data->keys[i].path);
    if (!keys[i].path) goto outOfMemory;
  }
  for (u32 i = 0; i < in->forcedCount; i++) {
    u32 at = in->forced[i].index;
    if (in->forced[i].list == LIST_FILES && at < data->fileCount) files[at].force = 1;
    if (in->forced[i].list == LIST_SHORTCUTS && at < data->shortcutCount) shortcuts[at].force = 1;
    if (in->forced[i].list == LIST_KEYS && at < data->keyCount) keys[at].force = 1;
  }
  {
    RuleFolders known;
    MemZero(&known, sizeof known);
    for (int id = FOLDER_WIN; id < FOLDER_COUNT; id++)
      known.path[id] = in->folders->builtin[id].bytes;  // null: not on this machine
    known.path[FOLDER_APP] = in->appFolder;
    RuleInput input = {files, data->fileCount, shortcuts, data->shortcutCount, keys, data->keyCount,
                       &known, in->rules, in->rulesSize, 1};
    return CheckRules(&input, ReportProblem, (void*)in) == 0;
  }
outOfMemory:
  SayOutOfMemory();
  return 0;
}
