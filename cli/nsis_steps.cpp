#include "cli/nsis_steps.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <map>
#include <set>

#include "cli/host_io.h"
#include "cli/pack.h"

namespace sweepkit {

using Json = nlohmann::ordered_json;

namespace {

void ReplaceAll(std::string* s, const std::string& from, const std::string& to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
    s->replace(at, from.size(), to);
}

// An !error or !warning text: nothing in it may read as a define, a line
// break or the backquote the directive may be written in.
std::string DirectiveText(std::string text) {
  ReplaceAll(&text, "${", "$ {");
  ReplaceAll(&text, "\n", " ");
  ReplaceAll(&text, "`", "'");
  return text;
}

std::string Quoted(const std::string& text) {
  std::string q;
  NsisQuoted(text, &q);  // DirectiveText leaves no backquote
  return q;
}

std::string WarningLine(const std::string& text) { return "!warning " + Quoted(DirectiveText(text)) + "\n"; }

void WriteInclude(const std::string& path, const std::vector<std::string>& lines) {
  std::string text = "\xEF\xBB\xBF";
  for (const std::string& line : lines) text += line;
  WriteFileAtomically(path, Bytes(text.begin(), text.end()));
}

void WriteRefusal(const std::string& path, const std::string& message) {
  WriteInclude(path, {"!define _SkRefusal " + Quoted(DirectiveText(message)) + "\n"});
}

bool ValidUtf8(const std::string& s) {
  static const uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  size_t i = 0, n = s.size();
  while (i < n) {
    unsigned char c = s[i];
    size_t more;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      more = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      unsigned char t = s[i + k];
      if ((t & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if (cp < kMin[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

// A name for a message, quoted, control bytes escaped.
std::string ShowName(const std::string& name) {
  std::string out = "'";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && !ValidUtf8(name))) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out + "'";
}

// What a Windows file name cannot hold; * and ? would also be File wildcards.
bool WindowsCannotHold(const std::string& name) {
  for (unsigned char c : name)
    if (c < 0x20 || std::string("\\/:*?\"<>|").find(char(c)) != std::string::npos) return true;
  return name.empty() || name.back() == ' ' || name.back() == '.';
}

std::string Dollars(std::string text) {
  ReplaceAll(&text, "$", "$$");
  return text;
}

std::string Braced(std::string text) {
  ReplaceAll(&text, "{", "{{");
  return text;
}

// A bare folder constant such as {app}: the folder is not the tree's to remove.
bool BareConstant(const std::string& dest) {
  if (dest.size() < 3 || dest.front() != '{' || dest.back() != '}') return false;
  for (size_t i = 1; i + 1 < dest.size(); ++i) {
    char c = dest[i];
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_')) return false;
  }
  return true;
}

struct TreeWalk {
  std::string at, src, dest, nsisDest;
  char sep = '/';
  std::vector<std::string> lines;
  std::vector<Json> records;
  std::vector<std::pair<size_t, Json>> folders;  // (depth, record)
  std::vector<std::string> problems;
  std::vector<std::string> ancestors;  // identities of the folders being walked

  void Walk(const std::string& path, std::vector<std::string>& parts) {
    std::string id = FolderIdentity(path);
    if (!id.empty() && std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end()) {
      problems.push_back(at + ": " + path + " leads back into a folder that holds it (a link loop); "
                         "SkTree follows links, so remove or replace this one");
      return;
    }
    std::vector<FolderEntry> entries;
    std::string error;
    if (!ListFolder(path, &entries, &error)) {
      problems.push_back(at + ": cannot list " + path + ": " + error);
      return;
    }
    std::sort(entries.begin(), entries.end(),
              [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
    std::string outDir = nsisDest, recDir = dest;
    for (const std::string& p : parts) {
      outDir += "\\" + Dollars(p);
      recDir += "\\" + Braced(p);
    }
    lines.push_back("SetOutPath " + Quoted(outDir) + "\n");
    std::vector<std::string> subfolders;
    size_t files = 0;
    for (const FolderEntry& e : entries) {
      if (!ValidUtf8(e.name)) {
        problems.push_back(at + ": a name under " + src + " is not UTF-8: " + ShowName(e.name));
        continue;
      }
      if (e.name.find("${") != std::string::npos) {
        problems.push_back(at + ": makensis would read ${ in the name " + ShowName(e.name) + " as a define (under " +
                           src + ")");
        continue;
      }
      if (WindowsCannotHold(e.name)) {
        problems.push_back(at + ": Windows cannot hold the name " + ShowName(e.name) + " (under " + src + ")");
        continue;
      }
      std::string full = path + sep + e.name;
      switch (e.kind) {
        case FolderEntry::Folder:
          subfolders.push_back(e.name);
          break;
        case FolderEntry::File:
          ++files;
          records.push_back(Json{{"k", "file"}, {"dir", recDir}, {"name", Braced(e.name)}, {"at", at}});
          break;
        case FolderEntry::Missing:
          problems.push_back(at + ": the link " + full + " leads nowhere");
          break;
        case FolderEntry::Other:
          problems.push_back(at + ": " + full + " is neither a file nor a folder");
          break;
      }
    }
    // One File for the folder's files: makensis scans the folder for every
    // File it is given, so a File per file costs the square of the folder's
    // size. Every name in it was just listed and recorded (a name that
    // could not be refuses the whole tree), so the wildcard adds no other.
    if (files) {
      std::string quoted;
      if (NsisQuoted(path + sep + "*", &quoted))
        lines.push_back("File " + quoted + "\n");
      else
        problems.push_back(at + ": the path " + path + " holds all three kinds of quote");
    }
    // the destination itself only when it is not a bare folder constant
    if (!parts.empty() || !BareConstant(dest))
      folders.push_back({parts.size(), Json{{"k", "file"}, {"dir", recDir}, {"name", ""}, {"at", at}}});
    ancestors.push_back(id);
    for (const std::string& name : subfolders) {
      parts.push_back(name);
      Walk(path + sep + name, parts);
      parts.pop_back();
    }
    ancestors.pop_back();
  }
};

std::string ReadText(const std::string& path, const char* what) {
  Bytes b = ReadFileBytes(path, what);
  std::string s(b.begin(), b.end());
  if (s.compare(0, 3, "\xEF\xBB\xBF") == 0) s.erase(0, 3);
  return s;
}

std::string StringOr(const Json& j, const char* key, const std::string& fallback) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : fallback;
}

size_t Depth(const Json& entry) {
  size_t n = 0;
  std::string dir = StringOr(entry, "dir", "");
  size_t start = 0;
  for (;;) {
    size_t end = dir.find('\\', start);
    if ((end == std::string::npos ? dir.size() : end) > start) ++n;
    if (end == std::string::npos) return n;
    start = end + 1;
  }
}

std::string Describe(const Json& entry) {
  if (entry.contains("root")) return StringOr(entry, "root", "") + "\\" + StringOr(entry, "path", "");
  std::string dir = StringOr(entry, "dir", ""), name = StringOr(entry, "name", "");
  return dir + "\\" + name;
}

// An entry as recorded, and what the installer checks at run time to tell
// whether it wrote it.
struct Recorded {
  Json entry;       // the manifest's entry
  std::string at;   // the script line that recorded it
  int context = 0;  // 1, 2: its folder is the per-user or all-users one
  std::string nsis;  // a file's path as the script wrote it
  std::string mark;  // a key's: the variable its macro sets when it runs
  bool shctx = false;
};

// The folders that follow the shell context: {per-user, all-users}.
const char* const kContextFolders[][2] = {
    {"programs", "commonprograms"}, {"startmenu", "commonstartmenu"}, {"desktop", "commondesktop"}};

// The context folder a dir starts with: {row, 1 or 2}, or {-1, 0}.
std::pair<int, int> ContextFolder(const std::string& dir) {
  for (int row = 0; row < 3; ++row)
    for (int c = 0; c < 2; ++c) {
      std::string head = std::string("{") + kContextFolders[row][c] + "}";
      if (dir.compare(0, head.size(), head) == 0 && (dir.size() == head.size() || dir[head.size()] == '\\'))
        return {row, c + 1};
    }
  return {-1, 0};
}

// The lines of a script that start with one of `words` (an NSIS command,
// any case), by number; none when the script cannot be read.
std::vector<size_t> CommandLines(const std::string& script, std::initializer_list<const char*> words) {
  std::vector<size_t> found;
  Bytes b;
  try {
    b = ReadFileBytes(script, "script");
  } catch (const PackError&) {
    return found;
  }
  std::string text(b.begin(), b.end());
  size_t line = 1, start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t i = text.find_first_not_of(" \t", start);
    size_t stop = i == std::string::npos ? end : text.find_first_of(" \t\r", i);
    if (i != std::string::npos && i < end) {
      std::string word = text.substr(i, std::min(stop, end) - i);
      std::transform(word.begin(), word.end(), word.begin(), [](unsigned char ch) { return std::tolower(ch); });
      for (const char* w : words)
        if (word == w) found.push_back(line);
    }
    ++line;
    start = end + 1;
  }
  return found;
}

// Where a record was made: the script's path, its name in messages (as in
// "at"), the line.
struct ScriptLine {
  std::string path, shown;
  size_t line = 0;
};

ScriptLine WhereRecorded(const Json& r) {
  ScriptLine w;
  std::string at = StringOr(r, "at", "?");
  size_t colon = at.rfind(':');
  w.shown = colon == std::string::npos ? at : at.substr(0, colon);
  w.path = StringOr(r, "script", w.shown);
  try {
    if (colon != std::string::npos) w.line = std::stoul(at.substr(colon + 1));
  } catch (...) {
  }
  return w;
}

// A file recorded where its macro does not write it: a plain SetOutPath
// between the SkOutPath it installs into and the macro (recorded in one
// folder, written in another), or that SkOutPath in another section or
// function (which may not run: the folder would not be there). The first
// such line, or "".
std::string MisplacedFile(const std::vector<ScriptLine>& outpaths, const std::vector<ScriptLine>& installs) {
  std::map<std::string, std::vector<size_t>> plain, bounds;
  for (const ScriptLine& f : installs) {
    if (!plain.count(f.path)) {
      plain[f.path] = CommandLines(f.path, {"setoutpath"});
      bounds[f.path] = CommandLines(f.path, {"section", "sectionend", "function", "functionend", "sectiongroup",
                                             "sectiongroupend"});
    }
    size_t lastSk = 0;
    for (const ScriptLine& o : outpaths)
      if (o.path == f.path && o.line < f.line) lastSk = std::max(lastSk, o.line);
    for (size_t line : plain[f.path])
      if (line > lastSk && line < f.line)
        return f.shown + ":" + std::to_string(line) + ": a plain SetOutPath before the file recorded at line " +
               std::to_string(f.line) + "; use SkOutPath, so that files are recorded in the folder they go to";
    for (size_t line : bounds[f.path])
      if (lastSk && line > lastSk && line < f.line)
        return f.shown + ":" + std::to_string(f.line) + ": the file's folder is set by the SkOutPath at line " +
               std::to_string(lastSk) + ", in another section or function, which may not run; set it with "
               "SkOutPath in this one";
  }
  return "";
}

// The run-time half: the byte per template entry (files, shortcuts, keys)
// that the finisher's --only reads. _SkKeepEarly, for the uninstaller
// written before anything is installed, keeps the Add/Remove Programs key
// and every file, shortcut and folder whose path is free ('f'): should the
// installation stop half way, that uninstaller removes what it may have
// made and nothing that was there;
// _SkAfter, at the end, keeps a shared DLL whose count this installation
// raised (its mark under the Add/Remove Programs key) and a key whose macro
// ran, and asks the finisher ('n') to keep a file, shortcut or folder that
// is there now and was not when the installation began (it noted that with
// --note). An all-users entry on Windows 95 and 98, whose folders are the
// per-user ones, is left to its per-user twin.
void RunTimeFunctions(const std::vector<Recorded>* lists, std::vector<std::string>* lines) {
  auto add = [&](const std::string& line) { lines->push_back(line + "\n"); };
  auto quoted = [](const std::string& text) {
    std::string q;
    if (!NsisQuoted(text, &q)) throw PackError("a path holds all three kinds of quote: " + text);
    return q;
  };
  for (const char* v : {"_SkH", "_SkV", "_SkW", "_SkCtx", "_SkAllP", "_SkSame"})
    add(std::string("Var /GLOBAL ") + v);
  // $_SkAllP: the all-users Programs folder, which an SHCTX key's mark
  // holds when it ran in that context; the script's context is put back.
  // Windows 95 and 98 ($_SkSame 1) have one set of folders: nothing is
  // switched there.
  auto contexts = [&]() {
    add("  ReadRegStr $_SkW HKLM \"Software\\Microsoft\\Windows NT\\CurrentVersion\" \"CurrentVersion\"");
    add("  StrCpy $_SkSame 1");
    add("  StrCpy $_SkCtx $SMPROGRAMS");
    add("  StrCpy $_SkAllP $SMPROGRAMS");
    add("  StrCmp $_SkW \"\" +7");
    add("  StrCpy $_SkSame 0");
    add("  SetShellVarContext all");
    add("  StrCpy $_SkAllP $SMPROGRAMS");
    add("  SetShellVarContext current");
    add("  StrCmp $_SkCtx $_SkAllP 0 +2");
    add("    SetShellVarContext all");
  };
  auto keyByte = [&](const Recorded& r) {
    std::string mark = "$_SkK" + r.mark;
    add("  StrCpy $_SkV 48");
    if (!r.shctx) {
      add("  StrCmp " + mark + " \"\" +2");
    } else if (r.context == 1) {
      // HKCU: it ran in the per-user context (on 95 and 98: it ran)
      add("  StrCmp " + mark + " \"\" +4");
      add("  StrCmp $_SkSame 1 +2");
      add("  StrCmp " + mark + " $_SkAllP +2");
    } else {
      add("  StrCmp " + mark + " $_SkAllP 0 +2");
    }
    add("    StrCpy $_SkV 49");
    add("  FileWriteByte $_SkH $_SkV");
  };
  auto constant = [&](const std::string& bytes) {
    for (size_t done = 0; done < bytes.size(); done += 512) add("  FileWrite $_SkH \"" + bytes.substr(done, 512) + "\"");
  };

  add("Function _SkKeepEarly");
  contexts();
  add("  FileOpen $_SkH \"$PLUGINSDIR\\sk-keep\" w");
  constant(std::string(lists[0].size() + lists[1].size(), 'f'));
  for (const Recorded& r : lists[2]) {
    if (r.mark == "arp")
      keyByte(r);
    else
      add("  FileWriteByte $_SkH 48");
  }
  add("  FileClose $_SkH");
  add("FunctionEnd");

  add("Function _SkAfter");
  contexts();
  add("  FileOpen $_SkH \"$PLUGINSDIR\\sk-keep\" w");
  std::string pending;
  for (int l = 0; l < 2; ++l)
    for (const Recorded& r : lists[l]) {
      bool shared = r.entry.value("shared", false);
      if (!shared && r.context != 2) {
        pending += 'n';
        continue;
      }
      constant(pending);
      pending.clear();
      add("  StrCpy $_SkV 110");
      if (shared) {
        add("  StrCpy $_SkV 48");
        // the value name _SkCountShared wrote: the path as the script spelled it
        add("  ReadRegStr $_SkW ${SK_ARP_ROOT} \"${_SkArpKey}\\SharedDLLs\" " + quoted(r.nsis));
        add("  StrCmp $_SkW \"\" +2");
        add("    StrCpy $_SkV 49");
      }
      if (r.context == 2) {
        add("  StrCmp $_SkSame 1 0 +2");
        add("    StrCpy $_SkV 48");
      }
      add("  FileWriteByte $_SkH $_SkV");
    }
  constant(pending);
  for (const Recorded& r : lists[2]) keyByte(r);
  add("  FileClose $_SkH");
  add("FunctionEnd");
}

}  // namespace

bool NsisQuoted(const std::string& text, std::string* quoted) {
  for (char q : {'"', '\'', '`'}) {
    if (text.find(q) == std::string::npos) {
      *quoted = q + text + q;
      return true;
    }
  }
  return false;
}

int NsisTree(const std::string& requestPath, const std::string& recordsPath, const std::string& includePath) {
  Json req = Json::parse(ReadText(requestPath, "request"));
  TreeWalk w;
  w.at = StringOr(req, "at", "?");
  w.src = StringOr(req, "src", "");
  w.dest = StringOr(req, "dest", "");
  w.nsisDest = StringOr(req, "nsis_dest", "");
  w.sep = NativeSeparator();
  // makensis reads either separator on every system; so does SkTree
  std::string top = w.src;
  if (w.sep == '/') std::replace(top.begin(), top.end(), '\\', '/');
  while (top.size() > 1 && top.back() == w.sep) top.pop_back();
  if (!IsFolder(top)) {
    WriteRefusal(includePath, w.at + ": " + w.src + " is not a folder");
    return 0;
  }
  std::vector<std::string> parts;
  w.Walk(top, parts);
  if (!w.problems.empty()) {
    std::string all;
    for (const std::string& p : w.problems) all += (all.empty() ? "" : "; ") + p;
    WriteRefusal(includePath, all);
    return 0;
  }
  w.lines.push_back("SetOutPath " + Quoted(w.nsisDest) + "\n");
  // each folder after everything in it, the deepest first
  std::stable_sort(w.folders.begin(), w.folders.end(),
                   [](const std::pair<size_t, Json>& a, const std::pair<size_t, Json>& b) {
                     return a.first > b.first;
                   });
  std::string text;
  for (const Json& r : w.records) text += r.dump() + "\n";
  for (const auto& f : w.folders) text += f.second.dump() + "\n";
  AppendToFile(recordsPath, text);
  WriteInclude(includePath, w.lines);
  return 0;
}

int NsisCheck(const std::string& recordsPath, const std::string& includePath) {
  Json settings = Json::object();
  Json strings = Json::object();
  static const char* const kLists[] = {"files", "shortcuts", "keys"};
  std::vector<Recorded> lists[3];
  std::vector<ScriptLine> outpaths, installs;
  std::string text = ReadText(recordsPath, "records");
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    Json r = Json::parse(line);
    std::string k = StringOr(r, "k", "");
    if (k == "settings") {
      settings = r;
    } else if (k == "text") {
      strings[StringOr(r, "role", "")] = r.value("text", Json(""));
    } else if (k == "outpath") {
      outpaths.push_back(WhereRecorded(r));
    } else if (k == "file" || k == "shortcut" || k == "key") {
      Recorded rec;
      rec.at = StringOr(r, "at", "?");
      rec.mark = StringOr(r, "mark", "");
      rec.shctx = r.value("shctx", false);
      rec.nsis = StringOr(r, "nsis", "");
      if (k == "file" && r.contains("script")) installs.push_back(WhereRecorded(r));  // installed into $OUTDIR
      rec.entry = Json::object();
      for (auto it = r.begin(); it != r.end(); ++it)
        if (it.key() != "k" && it.key() != "at" && it.key() != "mark" && it.key() != "shctx" && it.key() != "outdir" &&
            it.key() != "nsis" && it.key() != "script")
          rec.entry[it.key()] = it.value();
      int list = k == "file" ? 0 : k == "shortcut" ? 1 : 2;
      // Where the shell context decides the folder or root, the entry is
      // listed in both, and the installation tells which it wrote.
      if (list == 2 && rec.shctx) {
        rec.context = 1;
        lists[2].push_back(rec);
        rec.context = 2;
        rec.entry["root"] = "HKEY_LOCAL_MACHINE";
        lists[2].push_back(rec);
        continue;
      }
      std::pair<int, int> folder = list == 2 ? std::make_pair(-1, 0) : ContextFolder(StringOr(rec.entry, "dir", ""));
      if (folder.first < 0) {
        lists[list].push_back(rec);
        continue;
      }
      std::string rest = StringOr(rec.entry, "dir", "").substr(std::string(kContextFolders[folder.first][folder.second - 1]).size() + 2);
      for (int c = 1; c <= 2; ++c) {
        rec.context = c;
        rec.entry["dir"] = std::string("{") + kContextFolders[folder.first][c - 1] + "}" + rest;
        lists[list].push_back(rec);
      }
    }
  }
  // each folder after everything in it: files in the order recorded, then
  // the folders, deepest first
  auto isFolder = [](const Recorded& f) { return StringOr(f.entry, "name", "x").empty(); };
  std::stable_partition(lists[0].begin(), lists[0].end(), [&](const auto& f) { return !isFolder(f); });
  auto firstFolder = std::find_if(lists[0].begin(), lists[0].end(), isFolder);
  std::stable_sort(firstFolder, lists[0].end(),
                   [](const auto& a, const auto& b) { return Depth(a.entry) > Depth(b.entry); });
  // a shortcut's folder goes right after it when empty: nested shortcuts
  // first, so their group's folder is empty by the time its own go
  std::stable_sort(lists[1].begin(), lists[1].end(),
                   [](const auto& a, const auto& b) { return Depth(a.entry) > Depth(b.entry); });

  std::string finishAt = StringOr(settings, "at", "?");
  std::string plainOutPath = MisplacedFile(outpaths, installs);
  if (!plainOutPath.empty()) {
    std::cout << "Sweepkit refuses: " << plainOutPath << "\n";
    std::cout.flush();
    WriteRefusal(includePath, plainOutPath);
    return 0;
  }
  Json manifest = Json::object();
  manifest["codepage"] = settings.value("codepage", Json(1252));
  manifest["key_chunks"] = StringOr(settings, "key_chunks", "list");
  manifest["strings"] = strings;
  for (int i = 0; i < 3; ++i) {
    Json list = Json::array();
    for (const auto& e : lists[i]) list.push_back(e.entry);
    manifest[kLists[i]] = list;
  }
  std::string manifestText = manifest.dump(1) + "\n";

  PackRequest request;
  request.stub = StringOr(settings, "stub", "");
  request.manifestPath = StringOr(settings, "manifest", "");
  request.out = StringOr(settings, "template", "");
  request.manifestText = manifestText;
  request.asTemplate = true;
  request.werror = settings.value("werror", false);

  std::vector<std::string> errors, lines;
  try {
    WriteFileAtomically(request.manifestPath, Bytes(manifestText.begin(), manifestText.end()));
    PackOutcome outcome = PackManifest(request);
    for (const Issue& issue : outcome.issues) {
      std::string at = finishAt, what, rest = issue.message;
      int list = -1;
      for (int i = 0; i < 3 && list < 0; ++i) {
        std::string head = std::string(kLists[i]) + "[";
        if (rest.compare(0, head.size(), head) == 0) list = i;
      }
      if (list >= 0) {
        size_t open = rest.find('['), close = rest.find(']');
        size_t index = std::stoul(rest.substr(open + 1, close - open - 1));
        std::string after = rest.substr(close + 1);
        size_t colon = after.find(':');
        std::string field = after.substr(0, colon);
        rest = colon == std::string::npos ? "" : after.substr(colon + 1);
        if (index < lists[list].size()) {
          at = lists[list][index].at;
          what = " " + std::string(kLists[list]) + "[" + std::to_string(index) + "]" + field + " (" +
                 Describe(lists[list][index].entry) + "):";
        } else {
          what = " " + std::string(kLists[list]) + "[" + std::to_string(index) + "]" + field + ":";
        }
      } else {
        rest = " " + rest;
      }
      ReplaceAll(&rest, "say so with \"force\": true on the entry", "say so with SkForce before it");
      std::string message = at + ":" + what + rest;
      if (issue.error)
        errors.push_back(message);
      else
        lines.push_back(WarningLine(message));
    }
    if (outcome.limitNoteDue) std::cout << "sweepkit: " << kTemplateLimitNote << "\n";
    if (outcome.refused && errors.empty()) errors.push_back(finishAt + ": the template was refused");
  } catch (const PackError& e) {
    errors.push_back(finishAt + ": " + e.what());
  }
  for (const std::string& e : errors) std::cout << "Sweepkit refuses: " << e << "\n";
  if (!errors.empty()) {
    std::string more = errors.size() > 1 ? " (and " + std::to_string(errors.size() - 1) + " more, listed above)" : "";
    lines.push_back("!define _SkRefusal " + Quoted(DirectiveText(errors[0] + more)) + "\n");
  } else {
    std::cout << "Sweepkit: " << lists[0].size() << " files, " << lists[1].size() << " shortcuts, "
              << lists[2].size() << " keys recorded; template " << request.out << "\n";
    try {
      RunTimeFunctions(lists, &lines);
    } catch (const PackError& e) {
      lines.push_back("!define _SkRefusal " + Quoted(DirectiveText(finishAt + ": " + e.what())) + "\n");
    }
  }
  std::cout.flush();
  WriteInclude(includePath, lines);
  return 0;
}

}  // namespace sweepkit
