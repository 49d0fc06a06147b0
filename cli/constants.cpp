#include "cli/constants.h"

#include "cli/codepage.h"

namespace sweepkit {

namespace {

bool IsName(const std::string& s) { return IsConstantName(s.data(), uint32_t(s.size())); }

BlockText View(const std::string& s) { return BlockText{s.data(), uint32_t(s.size())}; }

void AppendLiteral(std::vector<TextPiece>& pieces, const std::string& text) {
  if (text.empty()) return;
  if (!pieces.empty() && !pieces.back().constant)
    pieces.back().text += text;
  else
    pieces.push_back({false, text});
}

}  // namespace

std::vector<TextPiece> SplitConstants(const std::string& utf8) {
  // '{' and '}' never occur inside a UTF-8 multi-byte sequence, so a
  // byte-wise scan cannot split a character.
  std::vector<TextPiece> pieces;
  size_t i = 0;
  while (i < utf8.size()) {
    size_t brace = utf8.find('{', i);
    if (brace == std::string::npos) {
      AppendLiteral(pieces, utf8.substr(i));
      break;
    }
    AppendLiteral(pieces, utf8.substr(i, brace - i));
    if (brace + 1 < utf8.size() && utf8[brace + 1] == '{') {
      AppendLiteral(pieces, "{");
      i = brace + 2;
      continue;
    }
    size_t close = utf8.find('}', brace + 1);
    std::string name =
        close == std::string::npos ? std::string() : utf8.substr(brace + 1, close - brace - 1);
    if (IsName(name)) {
      pieces.push_back({true, name});
      i = close + 1;
    } else {
      AppendLiteral(pieces, "{");  // a GUID, a lone brace: text as it stands
      i = brace + 1;
    }
  }
  return pieces;
}

bool ToTemplateString(const std::string& utf8, unsigned codepage, std::string* out) {
  out->clear();
  for (const TextPiece& p : SplitConstants(utf8)) {
    if (!p.constant) {
      std::string bytes;
      if (!FromUtf8(p.text, codepage, &bytes)) return false;
      *out += bytes;
      continue;
    }
    int id = BuiltinConstantId(p.text.data(), uint32_t(p.text.size()));
    uint8_t token[3 + CONST_MAX_NAME];
    ByteSink sink = {token, sizeof token, 0, 0};
    SinkConstantToken(&sink, id ? uint8_t(id) : uint8_t(CONST_NAMED), p.text.data(),
                      uint32_t(p.text.size()));
    out->append(reinterpret_cast<const char*>(token), sink.size);
  }
  return true;
}

std::vector<std::string> ConstantsIn(const std::string& templateString) {
  std::vector<std::string> names;
  BlockText text = View(templateString);
  TemplatePiece piece;
  uint32_t at = 0;
  while (NextTemplatePiece(&text, &at, &piece) == 1)
    if (piece.kind == PIECE_CONSTANT) names.emplace_back(piece.text.bytes, piece.text.length);
  return names;
}

bool ParseSetting(const std::string& setting, std::string* name, std::string* value) {
  size_t eq = setting.find('=');
  if (eq == std::string::npos) return false;
  *name = setting.substr(0, eq);
  *value = setting.substr(eq + 1);
  return IsName(*name);
}

// ---------------------------------------------------------------------------
// Resolving

namespace {

class Resolver {
 public:
  Resolver(const ConstantValues& values, std::vector<Issue>* issues) : issues_(issues) {
    table_ = ConstantTable();
    for (const auto& v : values) {
      int id = BuiltinConstantId(v.first.data(), uint32_t(v.first.size()));
      if (id)
        table_.builtin[id] = View(v.second);
      else
        named_.push_back(NamedValue{v.first.data(), uint32_t(v.first.size()), View(v.second)});
    }
    table_.named = named_.data();
    table_.namedCount = uint32_t(named_.size());
  }

  std::string Resolve(const std::string& in, int role, const std::string& entry) {
    BlockText text = View(in);
    std::string out(in.size() + 256, '\0');
    for (;;) {
      uint32_t length = 0;
      ResolveProblem problem;
      int status = ResolveTemplateString(&text, role, &table_, nullptr, nullptr, &out[0],
                                         uint32_t(out.size()), &length, &problem);
      if (status == RESOLVE_NO_ROOM && out.size() < (size_t(1) << 26)) {
        out.resize(out.size() * 2);
        continue;
      }
      if (status == RESOLVE_OK) {
        out.resize(length);
        return out;
      }
      std::string name(problem.name.bytes ? problem.name.bytes : "", problem.name.length);
      issues_->push_back(
          {true, status == RESOLVE_UNKNOWN_CONSTANT
                     ? entry + ": {" + name + "} is not given (give it with --set " + name + "=VALUE)"
                     : entry + ": " + ResolveReason(status)});
      return in;
    }
  }

 private:
  ConstantTable table_;
  std::vector<NamedValue> named_;
  std::vector<Issue>* issues_;
};

// A formatted text whose author wrote %s only inside %%s shows no path.
// Judged on the text as written: a value may bring %s in, and the resolver
// then writes every % of the text doubled.
bool HidesSlot(uint32_t index, const std::string& templateString) {
  std::string literal;
  BlockText text = View(templateString);
  TemplatePiece piece;
  uint32_t at = 0;
  while (NextTemplatePiece(&text, &at, &piece) == 1)
    if (piece.kind == PIECE_LITERAL) literal.append(piece.text.bytes, piece.text.length);
  BlockText written = View(literal);
  uint32_t shown = 0;
  return CheckTextLimits(int(index), &written, &shown) == LIMIT_HIDDEN_SLOT;
}

}  // namespace

UninstallData ResolveData(const UninstallData& data, const ConstantValues& values,
                          unsigned codepage, std::vector<Issue>* issues) {
  Resolver r(values, issues);
  UninstallData out = data;
  for (size_t i = 0; i < out.strings.size(); ++i) {
    std::string entry = std::string("strings.") + (i < STR_COUNT ? kStringNames[i] : "?");
    out.strings[i] = r.Resolve(data.strings[i], TextRole(uint32_t(i)), entry);
    if (HidesSlot(uint32_t(i), data.strings[i]))
      issues->push_back({true, entry + ": " + LimitReason(LIMIT_HIDDEN_SLOT)});
  }
  for (size_t i = 0; i < out.files.size(); ++i) {
    std::string entry = "files[" + std::to_string(i) + "]";
    out.files[i].dir = r.Resolve(data.files[i].dir, ROLE_FILE_DIR, entry + ".dir");
    out.files[i].name = r.Resolve(data.files[i].name, ROLE_PATH, entry + ".name");
  }
  for (size_t i = 0; i < out.shortcuts.size(); ++i) {
    std::string entry = "shortcuts[" + std::to_string(i) + "]";
    out.shortcuts[i].dir = r.Resolve(data.shortcuts[i].dir, ROLE_PATH, entry + ".dir");
    out.shortcuts[i].name = r.Resolve(data.shortcuts[i].name, ROLE_PATH, entry + ".name");
  }
  for (size_t i = 0; i < out.keys.size(); ++i)
    out.keys[i].path =
        r.Resolve(data.keys[i].path, ROLE_PATH, "keys[" + std::to_string(i) + "].path");
  CanonicalDirs(&out, codepage);
  return out;
}

void CanonicalDirs(UninstallData* data, unsigned codepage) {
  auto canonical = [codepage](std::string& dir) {
    uint32_t length = uint32_t(dir.size());
    if (dir.empty()) return;
    dir.push_back('\0');  // room for the separator kept after a 0x5C trail byte
    if (!CanonicalDir(&dir[0], &length, uint32_t(dir.size()), codepage)) length = uint32_t(dir.size() - 1);
    dir.resize(length);
  };
  for (FileEntry& f : data->files) canonical(f.dir);
  for (ShortcutEntry& s : data->shortcuts) canonical(s.dir);
}

std::vector<Issue> CheckTemplate(const UninstallData& data, unsigned codepage) {
  ConstantValues shortest;
  for (int id = 1; id <= CONST_BUILTIN_COUNT; ++id) shortest[ConstantName(id)] = "C:\\";
  auto addNames = [&shortest](const std::string& s) {
    for (const std::string& name : ConstantsIn(s))
      if (!BuiltinConstantId(name.data(), uint32_t(name.size()))) shortest[name] = "";
  };
  for (const std::string& s : data.strings) addNames(s);
  for (const FileEntry& f : data.files) addNames(f.dir), addNames(f.name);
  for (const ShortcutEntry& s : data.shortcuts) addNames(s.dir), addNames(s.name);
  for (const KeyEntry& k : data.keys) addNames(k.path);

  std::vector<Issue> issues;
  UninstallData resolved = ResolveData(data, shortest, codepage, &issues);
  if (!issues.empty()) return issues;
  return ValidateData(resolved);
}

// ---------------------------------------------------------------------------
// Display

std::string TemplateToUtf8(const std::string& templateString, unsigned codepage) {
  std::string out;
  std::vector<bool> literal;  // by byte of out: from a literal piece
  BlockText text = View(templateString);
  TemplatePiece piece;
  uint32_t at = 0;
  while (NextTemplatePiece(&text, &at, &piece) == 1) {
    std::string part = piece.kind == PIECE_LITERAL
                           ? ToUtf8(std::string(piece.text.bytes, piece.text.length), codepage)
                           : "{" + std::string(piece.text.bytes, piece.text.length) + "}";
    out += part;
    literal.insert(literal.end(), part.size(), piece.kind == PIECE_LITERAL);
  }
  // A literal brace that would read as the start of a constant, or of "{{",
  // is shown doubled, as the manifest writes it.
  std::string shown;
  for (size_t i = 0; i < out.size(); ++i) {
    shown += out[i];
    if (out[i] != '{' || !literal[i]) continue;
    size_t close = out.find('}', i + 1);
    bool readsAsConstant =
        close != std::string::npos && IsName(out.substr(i + 1, close - i - 1));
    if (readsAsConstant || (i + 1 < out.size() && out[i + 1] == '{')) shown += '{';
  }
  return shown;
}

}  // namespace sweepkit
