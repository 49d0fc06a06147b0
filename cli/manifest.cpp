#include "cli/manifest.h"

#include <nlohmann/json.hpp>

#include <set>

#include "cli/codepage.h"
#include "cli/constants.h"

namespace sweepkit {

using nlohmann::json;

namespace {

struct RootNameEntry {
  const char* name;
  uint32_t value;
};

const RootNameEntry kRoots[] = {
    {"HKEY_CLASSES_ROOT", 0x80000000u}, {"HKEY_CURRENT_USER", 0x80000001u},
    {"HKEY_LOCAL_MACHINE", 0x80000002u}, {"HKEY_USERS", 0x80000003u},
    {"HKEY_CURRENT_CONFIG", 0x80000005u}, {"HKCR", 0x80000000u},
    {"HKCU", 0x80000001u}, {"HKLM", 0x80000002u},
    {"HKU", 0x80000003u}, {"HKCC", 0x80000005u},
};

[[noreturn]] void Refuse(const std::string& entry, const std::string& what) {
  throw PackError((entry.empty() ? "manifest" : entry) + ": " + what);
}

void RequireObject(const json& j, const std::string& entry, const std::set<std::string>& known) {
  if (!j.is_object()) Refuse(entry, "must be an object");
  for (auto it = j.begin(); it != j.end(); ++it)
    if (!known.count(it.key()))
      Refuse(entry.empty() ? it.key() : entry + "." + it.key(), "unknown key");
}

class Converter {
 public:
  explicit Converter(unsigned codepage) : codepage_(codepage) {}

  // The text as a template string: constants become tokens, which is why a
  // zero byte of the text itself cannot be stored.
  std::string Text(const json& j, const std::string& entry) const {
    if (!j.is_string()) Refuse(entry, "must be a string");
    const std::string& utf8 = j.get_ref<const std::string&>();
    if (utf8.find('\0') != std::string::npos) Refuse(entry, "contains a zero byte");
    std::string out;
    if (!ToTemplateString(utf8, codepage_, &out))
      Refuse(entry, "cannot be represented in code page " + std::to_string(codepage_));
    return out;
  }

  // An optional string member; absent means empty.
  std::string Member(const json& obj, const char* key, const std::string& entry,
                     bool required) const {
    auto it = obj.find(key);
    if (it == obj.end()) {
      if (required) Refuse(entry, std::string("missing ") + key);
      return std::string();
    }
    return Text(*it, entry + "." + key);
  }

 private:
  unsigned codepage_;
};

bool Flag(const json& obj, const char* key, const std::string& entry) {
  auto it = obj.find(key);
  if (it == obj.end()) return false;
  if (!it->is_boolean()) Refuse(entry + "." + key, "must be true or false");
  return it->get<bool>();
}

const json& List(const json& root, const char* key, const json& empty) {
  auto it = root.find(key);
  if (it == root.end()) return empty;
  if (!it->is_array()) Refuse(key, "must be a list");
  return *it;
}

}  // namespace

bool RootFromName(const std::string& name, uint32_t* root) {
  for (const RootNameEntry& r : kRoots)
    if (name == r.name) {
      *root = r.value;
      return true;
    }
  return false;
}

std::string RootName(uint32_t root) {
  for (const RootNameEntry& r : kRoots)
    if (r.value == root) return r.name;
  return std::string();
}

namespace {

// Runs one entry's parsing; a refusal is recorded and the entry kept as a
// placeholder, so later entries are still checked and keep their numbers.
template <typename Entry, typename Parse>
void ParseEntry(std::vector<Entry>& list, std::vector<std::string>* problems, Parse parse) {
  try {
    list.push_back(parse());
  } catch (const PackError& e) {
    problems->push_back(e.what());
    Entry broken;
    broken.broken = true;
    list.push_back(broken);
  }
}

}  // namespace

Manifest ParseManifest(const std::string& text) {
  std::vector<std::string> problems;
  Manifest m = ParseManifest(text, &problems);
  if (problems.empty()) return m;
  std::string all;
  for (const std::string& p : problems) all += (all.empty() ? "" : "\n") + p;
  throw PackError(all);
}

Manifest ParseManifest(const std::string& text, std::vector<std::string>* problems) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {  // syntax errors, and numbers too large for any type
    std::string what = e.what();
    size_t cut = what.find("] ");
    throw PackError("manifest: not valid JSON: " +
                    (cut == std::string::npos ? what : what.substr(cut + 2)));
  }
  RequireObject(root, "", {"codepage", "strings", "files", "shortcuts", "keys", "key_chunks"});

  Manifest m;
  if (root.contains("codepage")) {
    const json& cp = root["codepage"];
    if (!cp.is_number_unsigned() || cp.get<uint64_t>() == 0 || cp.get<uint64_t>() > 65535)
      Refuse("codepage", "must be a code page number such as 1252");
    m.codepage = cp.get<unsigned>();
  }
  CheckCodepage(m.codepage);
  Converter conv(m.codepage);

  if (root.contains("key_chunks")) {
    const json& kc = root["key_chunks"];
    if (kc == "list")
      m.data.keyChunks = KeyChunks::List;
    else if (kc == "appended")
      m.data.keyChunks = KeyChunks::Appended;
    else
      Refuse("key_chunks", "must be \"list\" or \"appended\"");
  }

  if (!root.contains("strings")) Refuse("strings", "missing");
  const json& strings = root["strings"];
  RequireObject(strings, "strings",
                std::set<std::string>(std::begin(kStringNames), std::end(kStringNames)));
  std::string missing;
  for (const char* name : kStringNames)
    if (!strings.contains(name)) missing += (missing.empty() ? "" : ", ") + std::string(name);
  if (!missing.empty()) Refuse("strings", "missing " + missing);
  for (const char* name : kStringNames) {
    try {
      m.data.strings.push_back(conv.Text(strings[name], std::string("strings.") + name));
    } catch (const PackError& e) {
      problems->push_back(e.what());
      m.data.strings.push_back(std::string());
    }
  }

  const json empty = json::array();
  const json& files = List(root, "files", empty);
  for (size_t i = 0; i < files.size(); ++i) {
    std::string entry = "files[" + std::to_string(i) + "]";
    const json& f = files[i];
    ParseEntry(m.data.files, problems, [&] {
      RequireObject(f, entry, {"dir", "name", "shared", "font", "selfreg", "force"});
      FileEntry e;
      e.dir = conv.Member(f, "dir", entry, true);
      // Only an explicit empty name makes a directory entry.
      e.hasName = f.contains("name");
      e.name = conv.Member(f, "name", entry, false);
      e.flags = uint8_t((Flag(f, "shared", entry) ? FILE_SHARED : 0) |
                        (Flag(f, "font", entry) ? FILE_FONT : 0) |
                        (Flag(f, "selfreg", entry) ? FILE_SELFREG : 0));
      e.force = Flag(f, "force", entry);
      return e;
    });
  }

  const json& shortcuts = List(root, "shortcuts", empty);
  for (size_t i = 0; i < shortcuts.size(); ++i) {
    std::string entry = "shortcuts[" + std::to_string(i) + "]";
    const json& s = shortcuts[i];
    ParseEntry(m.data.shortcuts, problems, [&] {
      RequireObject(s, entry, {"dir", "name", "force"});
      ShortcutEntry e;
      e.dir = conv.Member(s, "dir", entry, true);
      e.name = conv.Member(s, "name", entry, true);
      e.force = Flag(s, "force", entry);
      return e;
    });
  }

  const json& keys = List(root, "keys", empty);
  for (size_t i = 0; i < keys.size(); ++i) {
    std::string entry = "keys[" + std::to_string(i) + "]";
    const json& k = keys[i];
    ParseEntry(m.data.keys, problems, [&] {
    RequireObject(k, entry, {"root", "path", "force"});
    KeyEntry e;
    if (!k.contains("root")) Refuse(entry, "missing root");
    const json& r = k["root"];
    if (r.is_string()) {
      if (!RootFromName(r.get<std::string>(), &e.root))
        Refuse(entry + ".root", "unknown root key \"" + r.get<std::string>() +
                                    "\" (use HKEY_LOCAL_MACHINE, HKLM, ... or a number)");
    } else if (r.is_number_unsigned() && r.get<uint64_t>() <= 0xFFFFFFFFu) {
      e.root = r.get<uint32_t>();
    } else {
      Refuse(entry + ".root", "must be a root key name or a number up to 0xFFFFFFFF");
    }
    e.path = conv.Member(k, "path", entry, true);
    e.force = Flag(k, "force", entry);
    return e;
    });
  }

  // The template keeps each forced entry as a record of its own.
  for (size_t i = 0; i < m.data.files.size(); ++i)
    if (m.data.files[i].force) m.forced.push_back(BlockForced{LIST_FILES, uint32_t(i)});
  for (size_t i = 0; i < m.data.shortcuts.size(); ++i)
    if (m.data.shortcuts[i].force) m.forced.push_back(BlockForced{LIST_SHORTCUTS, uint32_t(i)});
  for (size_t i = 0; i < m.data.keys.size(); ++i)
    if (m.data.keys[i].force) m.forced.push_back(BlockForced{LIST_KEYS, uint32_t(i)});
  return m;
}

}  // namespace sweepkit
