// The registry: four predefined roots, each a tree of keys with values.
// Open handles keep their key alive; a deleted key answers 1018 through them.
#include <cstring>
#include <map>
#include <memory>

#include "platform/host/sim_internal.h"

namespace sim {
namespace {

struct Value {
  DWORD type;
  std::string bytes;
};

struct Key {
  std::string name;
  std::map<std::string, std::shared_ptr<Key>> subkeys;  // by upper-cased name: enumeration order
  std::map<std::string, Value> values;                  // by upper-cased name
  bool denyOpen = false;
  bool deleted = false;
  std::shared_ptr<Key> link;  // a symbolic-link key: where it leads
};

struct OpenKey {
  std::shared_ptr<Key> key;
  REGSAM access;
};

struct RegistryState {
  std::map<HKEY, std::shared_ptr<Key>> roots;
  std::map<HKEY, OpenKey> handles;
};

RegistryState& State() {
  static RegistryState state;
  return state;
}

std::string KeyName(HKEY key) {
  if (key == HKEY_CLASSES_ROOT) return "HKCR";
  if (key == HKEY_CURRENT_USER) return "HKCU";
  if (key == HKEY_LOCAL_MACHINE) return "HKLM";
  if (key == HKEY_USERS) return "HKU";
  return Handle(key);
}

// A root or an open handle; access of a root is unrestricted.
bool Lookup(HKEY handle, std::shared_ptr<Key>* key, REGSAM* access) {
  RegistryState& s = State();
  auto root = s.roots.find(handle);
  if (root != s.roots.end()) {
    *key = root->second;
    *access = KEY_ALL_ACCESS;
    return true;
  }
  auto open = s.handles.find(handle);
  if (open == s.handles.end()) return false;
  *key = open->second.key;
  *access = open->second.access;
  return true;
}

bool SplitKeyPath(const char* path, std::vector<std::string>* names) {
  names->clear();
  if (!path) return true;
  if (path[0] == '\\') return false;
  std::string rest(path);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('\\', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) names->push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

// Walks `names` below `from`; null when a key on the way is missing.
std::shared_ptr<Key> Walk(std::shared_ptr<Key> from, const std::vector<std::string>& names,
                          bool create = false) {
  for (const std::string& name : names) {
    auto it = from->subkeys.find(Upper(name));
    if (it == from->subkeys.end()) {
      if (!create) return nullptr;
      auto child = std::make_shared<Key>();
      child->name = name;
      it = from->subkeys.emplace(Upper(name), child).first;
    }
    from = it->second;
    if (from->link && &name != &names.back()) from = from->link;  // keys on the way are followed
  }
  return from;
}

std::shared_ptr<Key> SimKey(HKEY root, const std::string& path, bool create = false) {
  auto it = State().roots.find(root);
  if (it == State().roots.end()) Fatal("not a predefined registry root");
  std::vector<std::string> names;
  if (!SplitKeyPath(path.c_str(), &names)) Fatal("bad registry path: " + path);
  return Walk(it->second, names, create);
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& child : key.subkeys) MarkDeleted(*child.second);
  key.subkeys.clear();
}

// The key that holds `key` as a subkey, searched below `from`.
std::shared_ptr<Key> FindOwner(const std::shared_ptr<Key>& from, const std::shared_ptr<Key>& key) {
  for (const auto& child : from->subkeys) {
    if (child.second == key) return from;
    if (auto found = FindOwner(child.second, key)) return found;
  }
  return nullptr;
}

std::string ValueName(const char* name) { return name ? Upper(name) : std::string(); }

}  // namespace

void ResetRegistry() {
  RegistryState& s = State();
  s = RegistryState();
  for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
    s.roots[root] = std::make_shared<Key>();
  }
}

static void SnapshotKey(const Key& key, const std::string& path, std::map<std::string, std::string>* out) {
  (*out)["K:" + path] = "";
  for (const auto& value : key.values)
    (*out)["V:" + path + "|" + value.first] = Hex(value.second.type) + " " + value.second.bytes;
  for (const auto& child : key.subkeys) SnapshotKey(*child.second, path + "\\" + child.first, out);
}

void SnapshotRegistry(std::map<std::string, std::string>* out) {
  for (const auto& root : State().roots) SnapshotKey(*root.second, KeyName(root.first), out);
}

}  // namespace sim

using namespace sim;

// ---- Test control ----

void SimRegCreateKey(HKEY root, const std::string& path) { SimKey(root, path, true); }

void SimRegSetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
                    const std::string& bytes) {
  SimKey(root, path, true)->values[Upper(name)] = Value{type, bytes};
}

void SimRegSetDword(HKEY root, const std::string& path, const std::string& name, DWORD value) {
  SimRegSetValue(root, path, name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), 4));
}

bool SimRegKeyExists(HKEY root, const std::string& path) { return SimKey(root, path) != nullptr; }

bool SimRegValueExists(HKEY root, const std::string& path, const std::string& name) {
  auto key = SimKey(root, path);
  return key && key->values.count(Upper(name));
}

std::string SimRegValue(HKEY root, const std::string& path, const std::string& name) {
  auto key = SimKey(root, path);
  if (!key || !key->values.count(Upper(name))) return std::string();
  return key->values[Upper(name)].bytes;
}

DWORD SimRegValueType(HKEY root, const std::string& path, const std::string& name) {
  auto key = SimKey(root, path);
  if (!key || !key->values.count(Upper(name))) return REG_NONE;
  return key->values[Upper(name)].type;
}

std::vector<std::string> SimRegSubkeys(HKEY root, const std::string& path) {
  std::vector<std::string> names;
  if (auto key = SimKey(root, path)) {
    for (const auto& child : key->subkeys) names.push_back(child.second->name);
  }
  return names;
}

void SimRegMakeLink(HKEY root, const std::string& path, HKEY targetRoot, const std::string& target) {
  auto to = SimKey(targetRoot, target);
  if (!to) Fatal("SimRegMakeLink to a missing key: " + target);
  auto key = SimKey(root, path, true);
  if (!key->subkeys.empty()) Fatal("SimRegMakeLink over a key with subkeys: " + path);
  key->link = to;
  key->values[Upper("SymbolicLinkValue")] = Value{REG_LINK, target};
}

void SimRegDenyOpen(HKEY root, const std::string& path) { SimKey(root, path, true)->denyOpen = true; }

int SimOpenKeyCount() { return static_cast<int>(State().handles.size()); }

// ---- Registry calls ----

LONG RegOpenKeyExA(HKEY parent, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) {
  if (Enter("RegOpenKeyExA", Join(KeyName(parent), Str(subKey), Hex(options), Hex(access))))
    return InjectedError();
  std::shared_ptr<Key> from;
  REGSAM parentAccess;
  if (!Lookup(parent, &from, &parentAccess)) return ERROR_INVALID_HANDLE;
  if (from->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> names;
  if (!SplitKeyPath(subKey, &names)) return ERROR_BAD_PATHNAME;
  std::shared_ptr<Key> key = Walk(from, names);
  if (!key) return ERROR_FILE_NOT_FOUND;
  if (key->link && !(options & REG_OPTION_OPEN_LINK)) key = key->link;
  if (key->denyOpen) return ERROR_ACCESS_DENIED;
  HKEY handle = reinterpret_cast<HKEY>(NewHandle());
  State().handles[handle] = OpenKey{key, access};
  *result = handle;
  return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY handle, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (Enter("RegQueryValueExA", Join(KeyName(handle), Str(name), size ? Dec(*size) : "null")))
    return InjectedError();
  std::shared_ptr<Key> key;
  REGSAM access;
  if (!Lookup(handle, &key, &access)) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (!(access & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  auto it = key->values.find(ValueName(name));
  if (it == key->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& value = it->second;
  if (type) *type = value.type;
  DWORD length = static_cast<DWORD>(value.bytes.size());
  if (!data) {
    if (size) *size = length;
    return ERROR_SUCCESS;
  }
  if (*size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, value.bytes.data(), length);
  *size = length;
  return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY handle, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (Enter("RegSetValueExA", Join(KeyName(handle), Str(name), Dec(type), Dec(size)))) return InjectedError();
  std::shared_ptr<Key> key;
  REGSAM access;
  if (!Lookup(handle, &key, &access)) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if (!data && size) return ERROR_INVALID_PARAMETER;
  key->values[ValueName(name)] = Value{type, std::string(reinterpret_cast<const char*>(data), data ? size : 0)};
  return ERROR_SUCCESS;
}

LONG RegDeleteValueA(HKEY handle, LPCSTR name) {
  if (Enter("RegDeleteValueA", Join(KeyName(handle), Str(name)))) return InjectedError();
  std::shared_ptr<Key> key;
  REGSAM access;
  if (!Lookup(handle, &key, &access)) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (!(access & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  return key->values.erase(ValueName(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LONG RegCloseKey(HKEY handle) {
  if (Enter("RegCloseKey", KeyName(handle))) return InjectedError();
  if (State().roots.count(handle)) return ERROR_SUCCESS;
  return State().handles.erase(handle) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG RegEnumKeyExA(HKEY handle, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR className,
                   LPDWORD classSize, PFILETIME) {
  if (Enter("RegEnumKeyExA", Join(KeyName(handle), Dec(index), nameSize ? Dec(*nameSize) : "null")))
    return InjectedError();
  std::shared_ptr<Key> key;
  REGSAM access;
  if (!Lookup(handle, &key, &access)) return ERROR_INVALID_HANDLE;
  if (key->deleted) return ERROR_KEY_DELETED;
  if (!(access & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
  if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  auto it = key->subkeys.begin();
  std::advance(it, index);
  const std::string& found = it->second->name;
  if (found.size() >= *nameSize) return ERROR_MORE_DATA;
  std::memcpy(name, found.c_str(), found.size() + 1);
  *nameSize = static_cast<DWORD>(found.size());
  if (className && classSize && *classSize) className[0] = '\0';
  if (classSize) *classSize = 0;
  return ERROR_SUCCESS;
}

LONG RegDeleteKeyA(HKEY parent, LPCSTR subKey) {
  if (Enter("RegDeleteKeyA", Join(KeyName(parent), Str(subKey)))) return InjectedError();
  std::shared_ptr<Key> from;
  REGSAM access;
  if (!Lookup(parent, &from, &access)) return ERROR_INVALID_HANDLE;
  if (from->deleted) return ERROR_KEY_DELETED;
  std::vector<std::string> names;
  if (!subKey || !SplitKeyPath(subKey, &names)) return ERROR_BAD_PATHNAME;
  if (names.empty()) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> parentNames(names.begin(), names.end() - 1);
  std::shared_ptr<Key> owner = Walk(from, parentNames);
  if (owner && owner->link) owner = owner->link;
  std::shared_ptr<Key> key = owner ? Walk(owner, {names.back()}) : nullptr;
  if (!key) return ERROR_FILE_NOT_FOUND;
  // The deletion follows a link and takes the key it leads to.
  while (key->link) {
    std::shared_ptr<Key> target = key->link;
    owner = nullptr;
    for (const auto& root : State().roots) owner = owner ? owner : FindOwner(root.second, target);
    if (!owner) return ERROR_FILE_NOT_FOUND;
    key = target;
  }
  if (key->denyOpen) return ERROR_ACCESS_DENIED;
  // NT deletes only leaf keys; 95/98 take the whole tree.
  if (PlatformId() == VER_PLATFORM_WIN32_NT && !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  MarkDeleted(*key);
  owner->subkeys.erase(Upper(key->name));
  return ERROR_SUCCESS;
}
