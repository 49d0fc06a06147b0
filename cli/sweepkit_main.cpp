// sweepkit: packs an application's uninstall data into a copy of the stub,
// and shows what a packed file carries.
//
//   sweepkit pack --stub STUB --manifest APP.json --out UNINSTALL.exe [--set NAME=VALUE]... [--werror]
//   sweepkit pack --stub STUB --manifest APP.json --template --out APP.skt [--werror]
//   sweepkit inspect FILE [--codepage N]
//   sweepkit plan FILE [--install-dir DIR] [--set NAME=VALUE]... [--codepage N] [--merge OLD.exe]
//   sweepkit nsis-tree --request REQ --records REC --out INC   (Sweepkit.nsh's steps)
//   sweepkit nsis-check --records REC --out INC
//   sweepkit nsis-watch --records REC
//   sweepkit --version
//
// Exit codes: 0 done, 1 refused or damaged (message on stderr), 2 usage.

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <iostream>

#include "cli/block_reader.h"
#include "cli/codepage.h"
#include "cli/constants.h"
#include "cli/host_io.h"
#include "cli/manifest.h"
#include "cli/nsis_steps.h"
#include "cli/pack.h"
#include "cli/plan.h"
#include "cli/writer.h"
#include "format/execution_level.h"

using namespace sweepkit;

namespace {

// Prints the issues; true when any is an error.
bool Report(const std::vector<Issue>& issues) {
  bool refused = false;
  for (const Issue& issue : issues) {
    std::cerr << "sweepkit: " << (issue.error ? "" : "warning: ") << issue.message << "\n";
    refused = refused || issue.error;
  }
  return refused;
}

int Pack(PackRequest request) {
  Bytes manifestBytes = ReadFileBytes(request.manifestPath, "manifest");
  request.manifestText.assign(manifestBytes.begin(), manifestBytes.end());
  PackOutcome outcome = PackManifest(request);
  Report(outcome.issues);
  if (outcome.refused) {
    if (outcome.limitNoteDue) std::cerr << "sweepkit: " << kTemplateLimitNote << "\n";
    return 1;
  }
  if (request.asTemplate)
    std::cout << "wrote a template of " << outcome.blockSize << " bytes at offset " << outcome.stubSize
              << " (code page " << outcome.codepage << ") to " << request.out << "\n";
  else
    std::cout << "packed " << outcome.blockSize << " bytes of uninstall data at offset " << outcome.stubSize
              << " into " << request.out << "\n";
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

// The level the image's manifest asks Windows for; a warning when the keys
// call for the other one.
void PrintExecutionLevel(const Bytes& file, size_t imageEnd, const UninstallData& data) {
  LevelSlot slot;
  imageEnd = std::min(imageEnd, file.size());
  if (imageEnd > 0xFFFFFFFFu || !FindExecutionLevel(file.data(), uint32_t(imageEnd), &slot)) {
    std::printf("execution level: none (the program carries no manifest)\n");
    return;
  }
  std::string level(file.begin() + slot.at, file.begin() + slot.at + slot.length);
  std::printf("execution level: %s (manifest at file offset %" PRIu32 ")\n", level.c_str(), slot.at);
  BlockView view(data);
  const char* wanted = ExecutionLevelName(ExecutionLevelFor(view.data.keys, view.data.keyCount));
  if (level != wanted) {
    std::fflush(stdout);
    std::cerr << "sweepkit: warning: the keys call for execution level " << wanted << "\n";
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
  PrintExecutionLevel(file, InspectStub(Bytes(file.begin(), file.begin() + offset)).imageEnd, d);
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
  Bytes file = ReadFileBytes(path, "file");
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
  PrintExecutionLevel(file, InspectStub(file).imageEnd, d);
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
  PrepareStdio();
  std::vector<std::string> args = Utf8Arguments(argc, argv);
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(&a[0]);
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

  std::string request, records, include;
  CLI::App* nsisTree = app.add_subcommand("nsis-tree", "Sweepkit.nsh's SkTree step: list a folder tree");
  nsisTree->add_option("--request", request)->required();
  nsisTree->add_option("--records", records)->required();
  nsisTree->add_option("--out", include)->required();
  CLI::App* nsisCheck = app.add_subcommand("nsis-check", "Sweepkit.nsh's SkFinish step: check the records");
  nsisCheck->add_option("--records", records)->required();
  nsisCheck->add_option("--out", include)->required();
  unsigned long watchPid = 0;
  CLI::App* nsisWatch = app.add_subcommand("nsis-watch", "Sweepkit.nsh's cleanup: delete the records once makensis ends");
  nsisWatch->add_option("--records", records)->required();
  nsisWatch->add_option("--pid", watchPid);
  nsisTree->group("");
  nsisCheck->group("");
  nsisWatch->group("");

  try {
    app.parse(int(argp.size()), argp.data());
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }

  try {
    if (pack->parsed()) {
      PackRequest r;
      r.stub = stub;
      r.manifestPath = manifest;
      r.out = out;
      r.asTemplate = asTemplate;
      r.settings = settings;
      r.werror = werror;
      return Pack(r);
    }
    if (nsisTree->parsed()) return NsisTree(request, records, include);
    if (nsisCheck->parsed()) return NsisCheck(records, include);
    if (nsisWatch->parsed()) {
      DeleteWhenBuildEnds(records, watchPid);
      return 0;
    }
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
      Bytes planBytes = ReadFileBytes(planFile, "file");
      if (!planMerge.empty()) {
        planOptions.earlier = ReadFileBytes(planMerge, "--merge");
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
