// sweepkit: packs an application's uninstall data into a copy of the stub,
// and shows what a packed file carries.
//
//   sweepkit pack --stub STUB --manifest APP.json --out UNINSTALL.exe [--set NAME=VALUE]...
//   sweepkit pack --stub STUB --manifest APP.json --template --out APP.skt
//   sweepkit inspect FILE [--codepage N]
//
// Exit codes: 0 done, 1 refused or damaged (message on stderr), 2 usage.

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "tools/writer/block_reader.h"
#include "tools/writer/codepage.h"
#include "tools/writer/constants.h"
#include "tools/writer/manifest.h"
#include "tools/writer/writer.h"

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

// Prints the issues; true when one of them refuses.
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

int PackTemplateFile(const Manifest& manifest, const std::string& stubPath,
                     const std::string& outPath) {
  if (Report(CheckTemplate(manifest.data))) {
    if (HasConstants(manifest.data))
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
         bool asTemplate, const std::vector<std::string>& settings) {
  Bytes manifestBytes = ReadFile(manifestPath, "manifest");
  Manifest manifest = ParseManifest(std::string(manifestBytes.begin(), manifestBytes.end()));
  if (asTemplate) return PackTemplateFile(manifest, stubPath, outPath);

  ConstantValues values;
  for (const std::string& setting : settings) {
    std::string name, value;
    ParseSetting(setting, &name, &value);
    if (!FromUtf8(value, manifest.codepage, &values[name]))
      throw PackError("--set " + name + ": the value cannot be represented in code page " +
                      std::to_string(manifest.codepage));
  }
  std::vector<Issue> issues;
  UninstallData data = ResolveData(manifest.data, values, &issues);
  if (Report(issues) || Report(ValidateData(data))) return 1;

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

std::string Str(const BlockText& t) { return std::string(t.bytes, t.length); }

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

  // Count, then read into arrays of that size.
  const uint8_t* block = file.data() + offset;
  TemplateContents t = TemplateContents();
  ReadProblem problem;
  status = ReadTemplateBlock(block, size, &t, &problem);
  std::vector<BlockText> strings(t.data.stringCount);
  std::vector<BlockFile> files(t.data.fileCount);
  std::vector<BlockShortcut> shortcuts(t.data.shortcutCount);
  std::vector<BlockKey> keys(t.data.keyCount);
  std::vector<BlockForced> forced(t.forcedCount);
  if (status == READ_OK) {
    t.data = BlockData{strings.data(), uint32_t(strings.size()), files.data(),
                       uint32_t(files.size()), shortcuts.data(), uint32_t(shortcuts.size()),
                       keys.data(), uint32_t(keys.size()), 0};
    t.forced = forced.data();
    t.forcedCount = uint32_t(forced.size());
    status = ReadTemplateBlock(block, size, &t, &problem);
  }
  if (status != READ_OK) {
    std::fflush(stdout);
    std::cerr << "sweepkit: damaged template: " << TagName(problem.tag) << " chunk at +"
              << problem.offset << ": " << ReadReason(status) << "\n";
    return 1;
  }

  unsigned codepage = t.header.codepage;
  std::printf("version %" PRIu32 ", code page %u, keys %s\n", t.header.version, codepage,
              t.data.keysAppended ? "appended (TAG_KEY chunks)" : "listed");
  UninstallData d;
  d.keyChunks = t.data.keysAppended ? KeyChunks::Appended : KeyChunks::List;
  for (const BlockText& s : strings) d.strings.push_back(Str(s));
  for (const BlockFile& f : files) d.files.push_back({Str(f.dir), Str(f.name), f.flags});
  for (const BlockShortcut& s : shortcuts) d.shortcuts.push_back({Str(s.dir), Str(s.name)});
  for (const BlockKey& k : keys) d.keys.push_back({k.root, Str(k.path)});
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
  return Report(CheckTemplate(d)) || bad ? 1 : 0;
}

int Inspect(const std::string& path, unsigned codepage) {
  CheckCodepage(codepage);
  Bytes file = ReadFile(path, "file");
  uint32_t templateOffset = 0, templateSize = 0;
  if (file.size() <= 0xFFFFFFFFu &&
      FindTemplateBlock(file.data(), uint32_t(file.size()), &templateOffset, &templateSize) !=
          READ_NO_TRAILER)
    return InspectTemplate(path, file);

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
  }
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"sweepkit: pack uninstall data into the stub, or inspect a packed file"};
  app.require_subcommand(1);

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
  CLI::App* inspect = app.add_subcommand("inspect", "Show the uninstall data a file carries");
  inspect->add_option("file", file, "A packed uninstaller")->required();
  inspect->add_option("--codepage", codepage, "Code page of the texts (default 1252)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }

  try {
    if (pack->parsed()) return Pack(stub, manifest, out, asTemplate, settings);
    return Inspect(file, codepage);
  } catch (const PackError& e) {
    std::cout.flush();
    std::cerr << "sweepkit: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "sweepkit: " << e.what() << "\n";
    return 1;
  }
}
