// The host side of the authoring rules: the manifest's entries handed to
// the stub-style checker, its findings turned into messages.
#include <string>
#include <vector>

#include "tools/writer/rules.h"
#include "tools/writer/writer.h"

namespace sweepkit {

namespace {

struct Collector {
  std::vector<Issue>* issues;
  const UninstallData* data;
  bool werror;
};

void Collect(void* context, const RuleProblem* p) {
  Collector* c = static_cast<Collector*>(context);
  const UninstallData& d = *c->data;
  if (p->list == RULE_FILES && d.files[p->index].broken) return;  // refused by the parser
  if (p->list == RULE_SHORTCUTS && d.shortcuts[p->index].broken) return;
  if (p->list == RULE_KEYS && d.keys[p->index].broken) return;
  // ValidateData already refuses an empty key path.
  if (p->list == RULE_KEYS && d.keys[p->index].path.empty()) return;
  std::string message = std::string(RuleListName(p->list)) + "[" + std::to_string(p->index) + "]";
  if (p->field[0]) message += std::string(".") + p->field;
  message += std::string(": ") + p->text;
  if (p->detail[0]) message += std::string(" (") + p->detail + ")";
  if (p->forced)
    message += "; kept because the entry says \"force\": true";
  else if (p->forceable)
    message += "; if this application truly owns it, say so with \"force\": true on the entry";
  bool error = p->severity == RULE_ERROR || c->werror;
  c->issues->push_back({error, message});
}

}  // namespace

std::vector<Issue> CheckAuthoring(const UninstallData& data, bool werror) {
  // Constants written at the start of a dir ("{sys}\x") are recognised, so
  // that data still holding them is judged by the folder they stand for.
  std::vector<RuleFile> files;
  for (const FileEntry& f : data.files) {
    RuleFile r{};
    r.base = FolderConstantPrefix(f.dir.c_str(), &r.dir);
    r.name = f.hasName ? f.name.c_str() : nullptr;
    r.flags = f.flags;
    r.force = f.force;
    files.push_back(f.broken ? RuleFile{".", "", 0, 0, 0} : r);
  }
  std::vector<RuleShortcut> shortcuts;
  for (const ShortcutEntry& s : data.shortcuts) {
    RuleShortcut r{};
    r.base = FolderConstantPrefix(s.dir.c_str(), &r.dir);
    r.name = s.name.c_str();
    r.force = s.force;
    shortcuts.push_back(s.broken ? RuleShortcut{"C:\\x", "x", 0, 0} : r);
  }
  std::vector<RuleKey> keys;
  for (const KeyEntry& k : data.keys)
    keys.push_back(k.broken ? RuleKey{0, "x", 0} : RuleKey{k.root, k.path.c_str(), k.force});

  RuleInput input{};
  input.files = files.data();
  input.fileCount = unsigned(files.size());
  input.shortcuts = shortcuts.data();
  input.shortcutCount = unsigned(shortcuts.size());
  input.keys = keys.data();
  input.keyCount = unsigned(keys.size());
  std::vector<Issue> issues;
  Collector collector{&issues, &data, werror};
  CheckRules(&input, Collect, &collector);
  return issues;
}

}  // namespace sweepkit
