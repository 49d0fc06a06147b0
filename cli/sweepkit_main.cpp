// sweepkit: packs an application's uninstall data into a copy of the stub,
// and shows what a packed file carries.
//
//   sweepkit pack --stub STUB --manifest APP.json --out UNINSTALL.exe [--set NAME=VALUE]... [--werror]
//   sweepkit pack --stub STUB --manifest APP.json --template --out APP.skt [--werror]
//   sweepkit inspect FILE [--codepage N]
//   sweepkit plan FILE [--install-dir DIR] [--set NAME=VALUE]... [--codepage N] [--merge OLD.exe]
//   sweepkit --version
//
// Exit codes: 0 done, 1 refused or damaged (message on stderr), 2 usage.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/plan.h"
#include "cli/block_reader.h"
#include "cli/codepage.h"
#include "cli/constants.h"
#include "cli/manifest.h"
#include "cli/writer.h"

using namespace sweepkit;

namespace {

Bytes ReadFile(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackError(std::string("cannot read ") + what + " " + path + ": " + std::strerror(errno));
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw PackError(std::string("cannot read ") + what + " " + path);
  std::string s = ss.str();
  return Bytes(s.begin(), s.end());
}

// Writes to a temporary file beside path and renames it into place, so that
// a failure never leaves a half-written file under the final name.
void WriteFileAtomically(const std::string& path, const Bytes& data) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) throw PackError("cannot create a file beside " + path + ": " + std::strerror(errno));
  size_t done = 0;
  bool ok = true;
  while (ok && done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += size_t(n);
  }
  int err = errno;
  ok = ok && fchmod(fd, 0755) == 0 && fsync(fd) == 0;
  if (!ok) err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    throw PackError("cannot write " + path + ": " + std::strerror(err));
  }
}

// The same file (also through another name or a link).
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

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

// Prints the issues; true when any is an error.
bool Report(const std::vector<Issue>& issues) {
  bool refused = false;
  for (const Issue& issue : issues) {
    std::cerr << "sweepkit: " << (issue.error ? "" : "warning: ") << issue.message << "\n";
    refused = refused || issue.error;
  }
  return refused;
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

// Prints the issues in manifest order; true when one of them refuses.
bool ReportSorted(std::vector<Issue> issues) {
  std::stable_sort(issues.begin(), issues.end(), [](const Issue& a, const Issue& b) {
    return EntryOrder(a.message) < EntryOrder(b.message);
  });
  return Report(issues);
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

int PackTemplateFile(const Manifest& manifest, const std::string& stubPath,
                     const std::string& outPath, std::vector<Issue> issues, bool werror) {
  // The rules judge each entry by the folder constant it starts with; the
  // finisher judges it again once the folders are known.
  std::vector<Issue> limits = CheckTemplate(manifest.data, manifest.codepage);
  bool limitRefused = false;
  for (const Issue& issue : limits) limitRefused = limitRefused || issue.error;
  issues.insert(issues.end(), limits.begin(), limits.end());
  for (Issue& issue : CheckAuthoring(manifest.data, werror)) issues.push_back(issue);
  if (ReportSorted(issues)) {
    if (limitRefused && HasConstants(manifest.data))
      std::cerr << "sweepkit: (a template is checked with every folder constant as \"C:\\\" and "
                   "every named value empty)\n";
    return 1;
  }
  Bytes block = BuildTemplate(manifest.data, manifest.codepage, manifest.forced);
  Bytes stub = ReadFile(stubPath, "stub");
  WriteFileAtomically(outPath, PackTemplate(stub, block));
  std::cout << "wrote a template of " << block.size() << " bytes at offset " << stub.size()
            << " (code page " << manifest.codepage << ") to " << outPath << "\n";
  return 0;
}

int Pack(const std::string& stubPath, const std::string& manifestPath, const std::string& outPath,
         bool asTemplate, const std::vector<std::string>& settings, bool werror) {
  if (SameFile(outPath, stubPath)) throw PackError("--out " + outPath + " is the stub itself");
  if (SameFile(outPath, manifestPath))
    throw PackError("--out " + outPath + " is the manifest itself");
  Bytes manifestBytes = ReadFile(manifestPath, "manifest");
  std::vector<std::string> problems;
  Manifest manifest =
      ParseManifest(std::string(manifestBytes.begin(), manifestBytes.end()), &problems);

  // Each folder in one spelling, before anything judges or writes it.
  CanonicalDirs(&manifest.data, manifest.codepage);

  // Every problem of the manifest in one run.
  std::vector<Issue> issues;
  for (const std::string& p : problems) issues.push_back({true, p});
  if (asTemplate) return PackTemplateFile(manifest, stubPath, outPath, issues, werror);

  ConstantValues values;
  for (const std::string& setting : settings) {
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
  for (Issue& issue : CheckAuthoring(data, werror, folders)) issues.push_back(issue);
  if (ReportSorted(issues)) return 1;

  Bytes block = BuildBlock(data);
  Bytes stub = ReadFile(stubPath, "stub");
  Bytes packed = PackStub(stub, block);
  WriteFileAtomically(outPath, packed);
  std::cout << "packed " << block.size() << " bytes of uninstall data at offset " << stub.size()
            << " into " << outPath << "\n";
  return 0;
}

// A text for display: UTF-8 with control bytes escaped, quoted.
std::string QuoteUtf8(const std::string& utf8) {
  std::string out = "\"";
  for (unsigned char c : utf8) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02X", c);
          out += hex;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

std::string FlagNames(uint8_t flags) {
  std::string s;
  if (flags & FILE_SHARED) s += " shared";
  if (flags & FILE_FONT) s += " font";
  if (flags & FILE_SELFREG) s += " selfreg";
  return s;
}

// The lists of the data, each string shown through show().
template <typename Show>
void PrintData(const UninstallData& d, Show show) {
  std::printf("\nstrings (%zu):\n", d.strings.size());
  for (size_t i = 0; i < d.strings.size(); ++i)
    std::printf("  [%2zu] %-16s %s\n", i, i < STR_COUNT ? kStringNames[i] : "(unused)",
                show(d.strings[i]).c_str());
  std::printf("\nfiles (%zu):\n", d.files.size());
  for (size_t i = 0; i < d.files.size(); ++i)
    std::printf("  [%zu] dir %s name %s flags 0x%02X%s\n", i, show(d.files[i].dir).c_str(),
                show(d.files[i].name).c_str(), d.files[i].flags,
                FlagNames(d.files[i].flags).c_str());
  std::printf("\nshortcuts (%zu):\n", d.shortcuts.size());
  for (size_t i = 0; i < d.shortcuts.size(); ++i)
    std::printf("  [%zu] dir %s name %s\n", i, show(d.shortcuts[i].dir).c_str(),
                show(d.shortcuts[i].name).c_str());
  std::printf("\nkeys (%zu):\n", d.keys.size());
  for (size_t i = 0; i < d.keys.size(); ++i) {
    std::string name = RootName(d.keys[i].root);
    std::printf("  [%zu] root 0x%08" PRIX32 "%s%s path %s\n", i, d.keys[i].root,
                name.empty() ? "" : " ", name.c_str(), show(d.keys[i].path).c_str());
  }
}


int InspectTemplate(const std::string& path, const Bytes& file) {
  uint32_t offset = 0, size = 0;
  int status = FindTemplateBlock(file.data(), uint32_t(file.size()), &offset, &size);
  std::printf("file: %s (%zu bytes)\n", path.c_str(), file.size());
  if (status != READ_OK) {
    std::fflush(stdout);
    std::cerr << "sweepkit: damaged template: " << ReadReason(status) << "\n";
    return 1;
  }
  // The locator is searched for in the stub only: template texts may hold
  // anything.
  size_t locator = FindLocator(Bytes(file.begin(), file.begin() + offset));
  uint32_t dataOffset = GetU32(&file[locator + DATA_LOCATOR_SIGNATURE_SIZE]);
  std::printf("template: block at file offset %" PRIu32 " (%" PRIu32 " bytes), trailer \"%s\"\n",
              offset, size, TEMPLATE_TRAILER_SIGNATURE);
  std::printf("DataLocator at file offset 0x%zX (%zu): dataOffset 0x%08" PRIX32 " (%" PRIu32 ")\n",
              locator, locator, dataOffset, dataOffset);

  TemplateRead t = ReadTemplateData(file.data() + offset, size);
  if (t.status != READ_OK) {
    std::fflush(stdout);
    std::cerr << "sweepkit: damaged template: " << TagName(t.problem.tag) << " chunk at +"
              << t.problem.offset << ": " << ReadReason(t.status) << "\n";
    return 1;
  }

  unsigned codepage = t.header.codepage;
  std::printf("version %" PRIu32 ", code page %u, keys %s\n", t.header.version, codepage,
              t.data.keyChunks == KeyChunks::Appended ? "appended (TAG_KEY chunks)" : "listed");
  const UninstallData& d = t.data;
  const std::vector<BlockForced>& forced = t.forced;
  PrintData(d, [codepage](const std::string& s) { return QuoteUtf8(TemplateToUtf8(s, codepage)); });
  if (!forced.empty()) {
    static const char* const kLists[] = {"", "files", "shortcuts", "keys"};
    std::printf("\nforced:");
    for (const BlockForced& f : forced) std::printf(" %s[%" PRIu32 "]", kLists[f.list], f.index);
    std::printf("\n");
  }
  std::fflush(stdout);

  bool bad = dataOffset != 0;
  if (bad) std::cerr << "sweepkit: damaged template: its stub carries a dataOffset\n";
  bad = Report(CheckTemplate(d, codepage)) || bad;
  // The authoring rules as pack --template applied them, as warnings.
  std::vector<Issue> rules = CheckAuthoring(d, false);
  for (Issue& issue : rules) issue.error = false;
  Report(rules);
  return bad ? 1 : 0;
}

int Inspect(const std::string& path, unsigned codepage, bool codepageGiven) {
  CheckCodepage(codepage);
  Bytes file = ReadFile(path, "file");
  uint32_t templateOffset = 0, templateSize = 0;
  if (file.size() <= 0xFFFFFFFFu &&
      FindTemplateBlock(file.data(), uint32_t(file.size()), &templateOffset, &templateSize) !=
          READ_NO_TRAILER)
    return InspectTemplate(path, file);

  // Finished data holds bytes only; which code page they were written in is
  // not recorded (a template records it).
  std::printf("texts shown as code page %u (%s); the data does not record its code page: pass "
              "--codepage N with the manifest's \"codepage\"\n",
              codepage, codepageGiven ? "--codepage" : "the default");

  size_t locator = FindLocator(file);
  uint32_t offset = GetU32(&file[locator + DATA_LOCATOR_SIGNATURE_SIZE]);
  std::printf("file: %s (%zu bytes)\n", path.c_str(), file.size());
  std::printf("DataLocator at file offset 0x%zX (%zu): dataOffset 0x%08" PRIX32 " (%" PRIu32 ")\n",
              locator, locator, offset, offset);
  if (offset == 0) {
    std::fflush(stdout);
    std::cerr << "sweepkit: " << path << " carries no uninstall data (dataOffset is 0)\n";
    return 1;
  }
  if (offset > file.size()) {
    std::fflush(stdout);
    std::cerr << "sweepkit: damaged: dataOffset " << offset << " lies past the end of the file ("
              << file.size() << " bytes)\n";
    return 1;
  }

  ParsedBlock block = ParseBlock(file.data() + offset, file.size() - offset);
  std::printf("\nchunks (offsets from the start of the block):\n");
  for (const ChunkInfo& c : block.chunks)
    std::printf("  +%-6zu tag 0x%04" PRIX32 " %-13s length %" PRIu32 "\n", c.offset, c.tag,
                TagName(c.tag), c.length);
  if (block.complete) {
    std::printf("block: %zu bytes, file offsets %" PRIu32 " to %zu", block.end, offset,
                offset + block.end);
    size_t after = file.size() - offset - block.end;
    if (after) std::printf("; %zu bytes follow TAG_END (never read)", after);
    std::printf("\n");
  }

  const UninstallData& d = block.data;
  PrintData(d, [codepage](const std::string& s) { return QuoteUtf8(ToUtf8(s, codepage)); });
  std::fflush(stdout);

  bool bad = !block.problems.empty();
  for (const std::string& p : block.problems) std::cerr << "sweepkit: " << p << "\n";
  if (block.hasStrings || !d.files.empty() || !d.shortcuts.empty() || !d.keys.empty()) {
    UninstallData check = d;
    check.keyChunks = KeyChunks::List;
    bad = Report(ValidateData(check)) || bad;
    // Whether an entry was forced is not recorded: the safety rules warn.
    std::vector<Issue> rules = CheckAuthoring(check, false);
    for (Issue& issue : rules) issue.error = false;
    Report(rules);
  }
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"sweepkit: pack uninstall data into the stub, or inspect a packed file"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("sweepkit ") + SWEEPKIT_VERSION);

  std::string stub, manifest, out, file;
  std::vector<std::string> settings;
  bool asTemplate = false;
  unsigned codepage = 1252;
  CLI::App* pack = app.add_subcommand("pack", "Append the uninstall data of a manifest to a copy of the stub");
  pack->add_option("--stub", stub, "The stub executable (left unchanged)")->required();
  pack->add_option("--manifest", manifest, "The application's manifest (UTF-8 JSON)")->required();
  pack->add_option("--out", out, "The uninstaller (or template) to write")->required();
  CLI::Option* templateFlag = pack->add_flag("--template", asTemplate,
                 "Write a template: constants stay for sweepkit-finish.exe to resolve");
  CLI::Option* setOption =
      pack->add_option("--set", settings, "A constant's value, NAME=VALUE (repeatable)")
      ->check([](const std::string& s) {
        std::string name, value;
        return ParseSetting(s, &name, &value)
                   ? std::string()
                   : "expected NAME=VALUE with a name of letters, digits and _: " + s;
      });
  // A template keeps its constants for the finisher.
  templateFlag->excludes(setOption);
  bool werror = false;
  pack->add_flag("--werror", werror, "Refuse the manifest on warnings too");
  PlanOptions planOptions;
  std::string planFile;
  std::vector<std::string> sets;
  CLI::App* plan = app.add_subcommand(
      "plan", "List in order what an uninstaller would remove, by running the stub's own logic on a "
              "simulated machine where every listed item exists");
  plan->add_option("file", planFile, "A packed uninstaller or a template")->required();
  plan->add_option("--install-dir", planOptions.installDir,
                   "The folder the uninstaller sits in (default C:\\Program Files\\App)");
  plan->add_option("--set", sets,
                   "A folder of the simulated machine, NAME=VALUE: win, sys, fonts, desktop, "
                   "commondesktop, programs, commonprograms, startmenu, commonstartmenu, pf, cf "
                   "(an empty VALUE: the machine has no such folder), or a template's named value");
  plan->add_option("--codepage", planOptions.codepage, "Code page of the paths (default 1252)");
  std::string planMerge;
  plan->add_option("--merge", planMerge,
                   "A template's plan: the earlier uninstaller the finisher merges, as if it stood in the "
                   "install dir");
  CLI::App* inspect = app.add_subcommand("inspect", "Show the uninstall data a file carries");
  inspect->add_option("file", file, "A packed uninstaller")->required();
  CLI::Option* codepageOption =
      inspect->add_option("--codepage", codepage, "Code page of the texts (default 1252; the data does not record it)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }

  try {
    if (pack->parsed()) return Pack(stub, manifest, out, asTemplate, settings, werror);
    if (plan->parsed()) {
      CheckCodepage(planOptions.codepage);
      PlanValues named;
      for (const std::string& set : sets) {
        std::string name, value;
        if (!ParseSetting(set, &name, &value) || name == "app") {
          std::cerr << "sweepkit: --set " << set << ": expected NAME=VALUE with a folder name "
                    << "(win, sys, fonts, desktop, ...) or a template's named value "
                    << "({app} is --install-dir)\n";
          return 2;
        }
        (IsPlanFolder(name) ? planOptions.folders : named)[name] = value;
      }
      Bytes planBytes = ReadFile(planFile, "file");
      if (!planMerge.empty()) {
        planOptions.earlier = ReadFile(planMerge, "--merge");
        planOptions.earlierName = planMerge.substr(planMerge.find_last_of("/\\") + 1);
      }
      if (IsTemplateFile(planBytes)) return PrintTemplatePlan(planFile, planBytes, planOptions, named);
      if (!planOptions.earlier.empty()) {
        std::cerr << "sweepkit: --merge: only a template is merged\n";
        return 2;
      }
      if (!named.empty()) {
        std::cerr << "sweepkit: --set " << named.begin()->first
                  << ": not a folder, and a finished uninstaller has no named values\n";
        return 2;
      }
      return PrintPlan(planFile, planBytes, planOptions);
    }
    return Inspect(file, codepage, codepageOption->count() > 0);
  } catch (const PackError& e) {
    std::cout.flush();
    std::cerr << "sweepkit: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "sweepkit: " << e.what() << "\n";
    return 1;
  }
}
