#include "cli/pack.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "cli/codepage.h"
#include "cli/constants.h"
#include "cli/host_io.h"
#include "cli/manifest.h"

namespace sweepkit {

const char kTemplateLimitNote[] =
    "(a template is checked with every folder constant as \"C:\\\" and every named value empty)";

namespace {

// Where an issue's entry stands in the manifest: texts and the manifest as
// a whole first, then files, shortcuts and keys by number.
std::pair<int, unsigned long> EntryOrder(const std::string& message) {
  static const char* const lists[] = {"files[", "shortcuts[", "keys["};
  for (int i = 0; i < 3; ++i) {
    size_t n = std::strlen(lists[i]);
    if (message.compare(0, n, lists[i]) == 0) return {i + 1, std::strtoul(message.c_str() + n, nullptr, 10)};
  }
  return {message.compare(0, 5, "keys:") == 0 ? 4 : 0, 0};
}

bool AnyError(const std::vector<Issue>& issues) {
  for (const Issue& issue : issues)
    if (issue.error) return true;
  return false;
}

void SortIssues(std::vector<Issue>* issues) {
  std::stable_sort(issues->begin(), issues->end(), [](const Issue& a, const Issue& b) {
    return EntryOrder(a.message) < EntryOrder(b.message);
  });
}

bool HasConstants(const UninstallData& d) {
  auto any = [](const std::string& s) { return !ConstantsIn(s).empty(); };
  for (const std::string& s : d.strings)
    if (any(s)) return true;
  for (const FileEntry& f : d.files)
    if (any(f.dir) || any(f.name)) return true;
  for (const ShortcutEntry& s : d.shortcuts)
    if (any(s.dir) || any(s.name)) return true;
  for (const KeyEntry& k : d.keys)
    if (any(k.path)) return true;
  return false;
}

// After a failed resolution an entry still holds constant tokens; it is
// left out of the later checks, which would only misread the tokens.
void SetAsideUnresolved(UninstallData* data) {
  auto held = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  for (std::string& s : data->strings)
    if (held(s)) s.clear();
  for (FileEntry& f : data->files)
    if (held(f.dir) || held(f.name)) f.broken = true;
  for (ShortcutEntry& s : data->shortcuts)
    if (held(s.dir) || held(s.name)) s.broken = true;
  for (KeyEntry& k : data->keys)
    if (held(k.path)) k.broken = true;
}

PackOutcome PackTemplateFile(const Manifest& manifest, const PackRequest& request, std::vector<Issue> issues) {
  PackOutcome outcome;
  outcome.codepage = manifest.codepage;
  // The rules judge each entry by the folder constant it starts with; the
  // finisher judges it again once the folders are known.
  std::vector<Issue> limits = CheckTemplate(manifest.data, manifest.codepage);
  bool limitRefused = AnyError(limits);
  issues.insert(issues.end(), limits.begin(), limits.end());
  for (Issue& issue : CheckAuthoring(manifest.data, request.werror)) issues.push_back(issue);
  SortIssues(&issues);
  outcome.issues = issues;
  if (AnyError(issues)) {
    outcome.refused = true;
    outcome.limitNoteDue = limitRefused && HasConstants(manifest.data);
    return outcome;
  }
  Bytes block = BuildTemplate(manifest.data, manifest.codepage, manifest.forced);
  Bytes stub = ReadFileBytes(request.stub, "stub");
  WriteFileAtomically(request.out, PackTemplate(stub, block));
  outcome.blockSize = block.size();
  outcome.stubSize = stub.size();
  return outcome;
}

}  // namespace

PackOutcome PackManifest(const PackRequest& request) {
  if (SameFile(request.out, request.stub)) throw PackError("--out " + request.out + " is the stub itself");
  if (!request.manifestPath.empty() && SameFile(request.out, request.manifestPath))
    throw PackError("--out " + request.out + " is the manifest itself");
  std::vector<std::string> problems;
  Manifest manifest = ParseManifest(request.manifestText, &problems);

  // Each folder in one spelling, before anything judges or writes it.
  CanonicalDirs(&manifest.data, manifest.codepage);

  // Every problem of the manifest in one run.
  std::vector<Issue> issues;
  for (const std::string& p : problems) issues.push_back({true, p});
  if (request.asTemplate) return PackTemplateFile(manifest, request, issues);

  ConstantValues values;
  for (const std::string& setting : request.settings) {
    std::string name, value;
    ParseSetting(setting, &name, &value);
    if (!FromUtf8(value, manifest.codepage, &values[name]))
      throw PackError("--set " + name + ": the value cannot be represented in code page " +
                      std::to_string(manifest.codepage));
  }
  UninstallData data = ResolveData(manifest.data, values, manifest.codepage, &issues);
  SetAsideUnresolved(&data);
  for (Issue& issue : ValidateData(data)) issues.push_back(issue);
  // Folders given with --set are known by their paths as well.
  std::vector<std::string> folders(CONST_BUILTIN_COUNT + 1);
  for (int id = 1; id <= CONST_BUILTIN_COUNT; ++id) {
    auto it = values.find(ConstantName(id));
    if (it != values.end()) folders[id] = it->second;
  }
  for (Issue& issue : CheckAuthoring(data, request.werror, folders)) issues.push_back(issue);
  SortIssues(&issues);
  PackOutcome outcome;
  outcome.codepage = manifest.codepage;
  outcome.issues = issues;
  if (AnyError(issues)) {
    outcome.refused = true;
    return outcome;
  }
  Bytes block = BuildBlock(data);
  Bytes stub = ReadFileBytes(request.stub, "stub");
  WriteFileAtomically(request.out, PackStub(stub, block));
  outcome.blockSize = block.size();
  outcome.stubSize = stub.size();
  return outcome;
}

}  // namespace sweepkit
