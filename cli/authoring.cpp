// The host side of the authoring rules: the manifest's entries handed to
// the stub-style checker, its findings turned into messages.
#include <deque>
#include <string>
#include <vector>

#include "format/rules.h"
#include "format/template.h"
#include "cli/writer.h"

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

// A string as the rules read it. Data may still hold folder constants (a
// template): one at the very start becomes the entry's base (a named value
// there: a folder known only when finished); any later constant reads as
// its written form "{name}", a folder name like any other.
std::string RuleText(const std::string& s, int* base) {
  BlockText text{s.data(), uint32_t(s.size())};
  std::string out;
  uint32_t at = 0;
  TemplatePiece piece;
  if (base) *base = FOLDER_NONE;
  bool first = true;
  int step;
  while ((step = NextTemplatePiece(&text, &at, &piece)) == 1) {
    if (piece.kind == PIECE_LITERAL) {
      out.append(piece.text.bytes, piece.text.length);
    } else if (first && base) {
      *base = piece.constant == CONST_NAMED ? FOLDER_NAMED : int(piece.constant);
    } else {
      out += "{" + std::string(piece.text.bytes, piece.text.length) + "}";
    }
    first = false;
  }
  if (step < 0) return s;  // not a template string: the bytes as they are
  return out;
}

}  // namespace

std::vector<Issue> CheckAuthoring(const UninstallData& data, bool werror,
                                  const std::vector<std::string>& folders) {
  // The texts the rules see must outlive the check (a deque keeps them in
  // place as it grows).
  std::deque<std::string> texts;
  auto keep = [&texts](const std::string& s, int* base) {
    texts.push_back(RuleText(s, base));
    return texts.back().c_str();
  };
  std::vector<RuleFile> files;
  for (const FileEntry& f : data.files) {
    RuleFile r{};
    r.dir = keep(f.dir, &r.base);
    r.name = f.hasName ? keep(f.name, nullptr) : nullptr;
    r.flags = f.flags;
    r.force = f.force;
    files.push_back(f.broken ? RuleFile{".", "", 0, 0, 0} : r);
  }
  std::vector<RuleShortcut> shortcuts;
  for (const ShortcutEntry& s : data.shortcuts) {
    RuleShortcut r{};
    r.dir = keep(s.dir, &r.base);
    r.name = keep(s.name, nullptr);
    r.force = s.force;
    shortcuts.push_back(s.broken ? RuleShortcut{"C:\\x", "x", 0, 0} : r);
  }
  std::vector<RuleKey> keys;
  for (const KeyEntry& k : data.keys)
    keys.push_back(k.broken ? RuleKey{0, "x", 0} : RuleKey{k.root, keep(k.path, nullptr), k.force});

  RuleFolders known{};
  for (size_t i = 0; i < folders.size() && i < FOLDER_COUNT; ++i)
    if (!folders[i].empty()) known.path[i] = folders[i].c_str();

  RuleInput input{};
  input.files = files.data();
  input.fileCount = unsigned(files.size());
  input.shortcuts = shortcuts.data();
  input.shortcutCount = unsigned(shortcuts.size());
  input.keys = keys.data();
  input.keyCount = unsigned(keys.size());
  input.folders = &known;
  input.tables = DefaultRuleTables(&input.tablesSize);
  std::vector<Issue> issues;
  Collector collector{&issues, &data, werror};
  CheckRules(&input, Collect, &collector);
  return issues;
}

}  // namespace sweepkit
