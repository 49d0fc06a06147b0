// The rules' tables: folders the system owns in their usual literal
// spellings, and registry keys other software shares. Readable here; the
// host programs use them through DefaultRuleTables(), and `pack --template`
// writes those very bytes into the template for the finisher (see
// format/rules.h for the row layout). Runtime-free like the rest of format/.
#include "format/block_build.h"
#include "format/rules.h"

namespace {

// A folder below a base: the drive, the Windows folder or Program Files in
// any of their usual names (or the machine's own path of it).
struct FolderPattern {
  int base;
  const char* rest;
  int folder;        // a FOLDER_ id, or FOLDER_NONE with `name`
  const char* name;  // when folder is FOLDER_NONE
};

const FolderPattern kFolderPatterns[] = {
    {RULE_BASE_WIN, "", FOLDER_WIN, 0},
    {RULE_BASE_WIN, "SYSTEM", FOLDER_SYS, 0},
    {RULE_BASE_WIN, "SYSTEM32", FOLDER_SYS, 0},
    {RULE_BASE_WIN, "FONTS", FOLDER_FONTS, 0},
    {RULE_BASE_WIN, "Desktop", FOLDER_DESKTOP, 0},
    {RULE_BASE_WIN, "Start Menu", FOLDER_STARTMENU, 0},
    {RULE_BASE_WIN, "Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {RULE_BASE_WIN, "All Users\\Desktop", FOLDER_COMMONDESKTOP, 0},
    {RULE_BASE_WIN, "All Users\\Start Menu", FOLDER_COMMONSTARTMENU, 0},
    {RULE_BASE_WIN, "All Users\\Start Menu\\Programs", FOLDER_COMMONPROGRAMS, 0},
    {RULE_BASE_WIN, "Profiles\\?\\Desktop", FOLDER_DESKTOP, 0},
    {RULE_BASE_WIN, "Profiles\\?\\Start Menu", FOLDER_STARTMENU, 0},
    {RULE_BASE_WIN, "Profiles\\?\\Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {RULE_BASE_DRIVE, "Documents and Settings\\?\\Desktop", FOLDER_DESKTOP, 0},
    {RULE_BASE_DRIVE, "Documents and Settings\\?\\Start Menu", FOLDER_STARTMENU, 0},
    {RULE_BASE_DRIVE, "Documents and Settings\\?\\Start Menu\\Programs", FOLDER_PROGRAMS, 0},
    {RULE_BASE_DRIVE, "Users\\?\\Desktop", FOLDER_DESKTOP, 0},
    {RULE_BASE_DRIVE, "Users\\?\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu", FOLDER_STARTMENU, 0},
    {RULE_BASE_DRIVE, "Users\\?\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
     FOLDER_PROGRAMS, 0},
    {RULE_BASE_DRIVE, "ProgramData\\Microsoft\\Windows\\Start Menu", FOLDER_COMMONSTARTMENU, 0},
    {RULE_BASE_DRIVE, "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs", FOLDER_COMMONPROGRAMS, 0},
    {RULE_BASE_PF, "", FOLDER_PF, 0},
    {RULE_BASE_PF, "Common Files", FOLDER_CF, 0},
    {RULE_BASE_PF, "Common Files\\Microsoft Shared", FOLDER_NONE, "a folder of components Windows shares"},
    {RULE_BASE_PF, "Common Files\\System", FOLDER_NONE, "a folder of components Windows shares"},
    // Folders Windows itself keeps in its own folder.
    {RULE_BASE_WIN, "All Users", FOLDER_NONE, "the all-users profile"},
    {RULE_BASE_WIN, "Profiles", FOLDER_NONE, "the folder of user profiles"},
    {RULE_BASE_WIN, "Profiles\\?", FOLDER_NONE, "a user profile"},
    {RULE_BASE_WIN, "Start Menu\\Programs\\StartUp", FOLDER_NONE, "the StartUp folder"},
    {RULE_BASE_WIN, "Start Menu\\Programs\\Accessories", FOLDER_NONE, "the Accessories folder"},
    {RULE_BASE_WIN, "SYSTEM32\\drivers", FOLDER_NONE, "the drivers folder"},
    {RULE_BASE_WIN, "SYSTEM32\\config", FOLDER_NONE, "the registry's folder"},
    {RULE_BASE_WIN, "SYSTEM32\\spool", FOLDER_NONE, "the print spooler's folder"},
    {RULE_BASE_WIN, "SYSTEM\\IOSUBSYS", FOLDER_NONE, "the drivers folder"},
    {RULE_BASE_WIN, "SYSTEM\\VMM32", FOLDER_NONE, "the drivers folder"},
    {RULE_BASE_WIN, "TEMP", FOLDER_NONE, "the Windows TEMP folder"},
    {RULE_BASE_WIN, "HELP", FOLDER_NONE, "the Windows HELP folder"},
    {RULE_BASE_WIN, "INF", FOLDER_NONE, "the Windows INF folder"},
    {RULE_BASE_WIN, "COMMAND", FOLDER_NONE, "the Windows COMMAND folder"},
    {RULE_BASE_WIN, "CURSORS", FOLDER_NONE, "the Windows CURSORS folder"},
    {RULE_BASE_WIN, "MEDIA", FOLDER_NONE, "the Windows MEDIA folder"},
    {RULE_BASE_WIN, "SendTo", FOLDER_NONE, "the SendTo folder"},
    {RULE_BASE_WIN, "Recent", FOLDER_NONE, "the Recent folder"},
    {RULE_BASE_WIN, "Favorites", FOLDER_NONE, "the Favorites folder"},
    {RULE_BASE_WIN, "ShellNew", FOLDER_NONE, "the ShellNew folder"},
    {RULE_BASE_WIN, "Application Data", FOLDER_NONE, "the Application Data folder"},
    {RULE_BASE_WIN, "Cookies", FOLDER_NONE, "the Cookies folder"},
    {RULE_BASE_WIN, "History", FOLDER_NONE, "the History folder"},
    {RULE_BASE_WIN, "NetHood", FOLDER_NONE, "the NetHood folder"},
    {RULE_BASE_WIN, "PrintHood", FOLDER_NONE, "the PrintHood folder"},
    {RULE_BASE_WIN, "Config", FOLDER_NONE, "the Windows Config folder"},
    {RULE_BASE_WIN, "Java", FOLDER_NONE, "the Windows Java folder"},
    {RULE_BASE_WIN, "Downloaded Program Files", FOLDER_NONE, "the Downloaded Program Files folder"},
    {RULE_BASE_WIN, "Temporary Internet Files", FOLDER_NONE, "the Temporary Internet Files folder"},
    {RULE_BASE_WIN, "Web", FOLDER_NONE, "the Windows Web folder"},
    {RULE_BASE_WIN, "Tasks", FOLDER_NONE, "the Tasks folder"},
    {RULE_BASE_WIN, "Spool", FOLDER_NONE, "the print spooler's folder"},
    {RULE_BASE_WIN, "SYSBCKUP", FOLDER_NONE, "the system backup folder"},
    {RULE_BASE_WIN, "Driver Cache", FOLDER_NONE, "the Driver Cache folder"},
    {RULE_BASE_WIN, "repair", FOLDER_NONE, "the Windows repair folder"},
    {RULE_BASE_WIN, "twain_32", FOLDER_NONE, "the scanner drivers folder"},
    {RULE_BASE_WIN, "Installer", FOLDER_NONE, "the Windows Installer folder"},
    {RULE_BASE_WIN, "Prefetch", FOLDER_NONE, "the Prefetch folder"},
    {RULE_BASE_WIN, "Resources", FOLDER_NONE, "the Windows Resources folder"},
    {RULE_BASE_WIN, "Debug", FOLDER_NONE, "the Windows Debug folder"},
    {RULE_BASE_WIN, "Logs", FOLDER_NONE, "the Windows Logs folder"},
    // Folders of every user at the top of a drive.
    {RULE_BASE_DRIVE, "Documents and Settings", FOLDER_NONE, "the folder of user profiles"},
    {RULE_BASE_DRIVE, "Documents and Settings\\?", FOLDER_NONE, "a user profile"},
    {RULE_BASE_DRIVE, "Documents and Settings\\?\\Application Data", FOLDER_NONE, "a user's Application Data folder"},
    {RULE_BASE_DRIVE, "Documents and Settings\\?\\My Documents", FOLDER_NONE, "a user's documents"},
    {RULE_BASE_DRIVE, "Users", FOLDER_NONE, "the folder of user profiles"},
    {RULE_BASE_DRIVE, "Users\\?", FOLDER_NONE, "a user profile"},
    {RULE_BASE_DRIVE, "Users\\?\\AppData", FOLDER_NONE, "a user's application data"},
    {RULE_BASE_DRIVE, "Users\\?\\AppData\\Roaming", FOLDER_NONE, "a user's application data"},
    {RULE_BASE_DRIVE, "Users\\?\\AppData\\Local", FOLDER_NONE, "a user's application data"},
    {RULE_BASE_DRIVE, "Users\\?\\Documents", FOLDER_NONE, "a user's documents"},
    {RULE_BASE_DRIVE, "ProgramData", FOLDER_NONE, "the all-users application data"},
    {RULE_BASE_DRIVE, "My Documents", FOLDER_NONE, "the documents folder"},
    {RULE_BASE_DRIVE, "TEMP", FOLDER_NONE, "the shared TEMP folder"},
    {RULE_BASE_DRIVE, "RECYCLED", FOLDER_NONE, "the Recycle Bin"},
    {RULE_BASE_DRIVE, "RECYCLER", FOLDER_NONE, "the Recycle Bin"},
    {RULE_BASE_DRIVE, "System Volume Information", FOLDER_NONE, "the system's volume data"},
};

struct SharedKey {
  const char* path;
  const char* reason;
};

// Below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (and each user in
// HKEY_USERS); matched whole, ? standing for any one part.
const SharedKey kSharedKeys[] = {
    {"Software\\Microsoft", "Windows and every Microsoft program keep their settings below it"},
    {"Software\\Microsoft\\Windows", "the settings of Windows itself"},
    {"Software\\Microsoft\\Windows\\CurrentVersion", "system-wide settings every installed program registers under"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "the uninstall entries of every installed program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Run", "the programs that start with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", "the programs that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnceEx", "the programs that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunServices", "the services that start with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\RunServicesOnce", "the services that start once with Windows"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs", "the reference counts of every shared file"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths", "where Windows finds every registered program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer", "the shell's settings"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "where the shell's folders are"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders", "where the shell's folders are"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions", "the shell extensions of every program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Shell Extensions\\Approved", "the shell extensions of every program"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Policies", "restrictions set by the administrator"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Setup", "the settings of Windows Setup"},
    {"Software\\Microsoft\\Windows\\CurrentVersion\\Fonts", "the fonts Windows loads"},
    {"Software\\Microsoft\\Windows NT", "the settings of Windows NT itself"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion", "the settings of Windows NT itself"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Fonts", "the fonts Windows loads"},
    {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", "how Windows logs users on"},
    {"Software\\Microsoft\\Active Setup", "components set up for every user"},
    {"Software\\Microsoft\\Active Setup\\Installed Components", "components set up for every user"},
    {"Software\\Microsoft\\Internet Explorer", "the settings of the system's browser"},
    {"Software\\Microsoft\\Shared Tools", "components Microsoft programs share"},
    {"Software\\Classes", "every file type and COM registration (the class root)"},
    {"Software\\Policies", "restrictions set by the administrator"},
    {"Software\\Clients", "the default program of each kind"},
    {"Software\\ODBC", "the database drivers and sources of every program"},
    {"Software\\ODBC\\ODBC.INI", "the database sources of every program"},
    {"Software\\ODBC\\ODBCINST.INI", "the database drivers of every program"},
    {"Software\\Wow6432Node", "the 32-bit view of every program's settings"},
    {"Software\\RegisteredApplications", "the registered programs of every kind"},
    {"SYSTEM\\?", "a control set or other configuration of the machine"},
    {"SYSTEM\\?\\?", "a part of the machine's configuration (Control, Services, Enum, ...)"},
    {"SYSTEM\\?\\Control\\?", "the settings of a part of the system"},
    {"Control Panel\\?", "the user's Control Panel settings"},
};

// Below HKEY_CLASSES_ROOT and Software\Classes: containers every program
// registers into, and the types Windows itself owns. An application's own
// extension or class key is not among them.
const SharedKey kSharedClassKeys[] = {
    {"CLSID", "the COM classes of every program"},
    {"Interface", "the COM interfaces of every program"},
    {"TypeLib", "the type libraries of every program"},
    {"AppID", "the COM applications of every program"},
    {"Component Categories", "the COM categories of every program"},
    {"*", "what every file's menu offers"},
    {"*\\?", "what every file's menu offers"},
    {"*\\shellex\\?", "the shell extensions of every file"},
    {"Directory", "what every folder's menu offers"},
    {"Directory\\?", "what every folder's menu offers"},
    {"Directory\\shellex\\?", "the shell extensions of every folder"},
    {"Directory\\Background\\?", "what every folder's background menu offers"},
    {"Directory\\Background\\shellex\\?", "the shell extensions of every folder"},
    {"Folder", "what every folder's menu offers"},
    {"Folder\\?", "what every folder's menu offers"},
    {"Folder\\shellex\\?", "the shell extensions of every folder"},
    {"Drive", "what every drive's menu offers"},
    {"Drive\\?", "what every drive's menu offers"},
    {"Drive\\shellex\\?", "the shell extensions of every drive"},
    {"AllFilesystemObjects", "what every file's and folder's menu offers"},
    {"AllFilesystemObjects\\?", "what every file's and folder's menu offers"},
    {"AllFilesystemObjects\\shellex\\?", "the shell extensions of every file and folder"},
    {"Unknown", "how files of unknown types are opened"},
    {"SystemFileAssociations", "menus shared by kinds of files"},
    {"Applications", "the registered programs of every file type"},
    {"MIME", "the content types of every program"},
    {"MIME\\Database", "the content types of every program"},
    {"MIME\\Database\\Content Type", "the content types of every program"},
    {"Protocols", "the protocol handlers of every program"},
    {"Protocols\\Handler", "the protocol handlers of every program"},
    {"Protocols\\Filter", "the protocol filters of every program"},
    {"exefile", "how every program starts"},
    {"dllfile", "a file type Windows owns"},
    {"lnkfile", "how every shortcut opens"},
    {"piffile", "how every DOS program starts"},
    {"batfile", "how every batch file runs"},
    {"cmdfile", "how every batch file runs"},
    {"comfile", "how every DOS program starts"},
    {"txtfile", "a file type Windows owns"},
    {"inifile", "a file type Windows owns"},
    {"regfile", "a file type Windows owns"},
    {"inffile", "a file type Windows owns"},
    {"htmlfile", "a file type Windows owns"},
    {"http", "how every web address opens"},
    {"https", "how every web address opens"},
    {"ftp", "how every FTP address opens"},
    {"mailto", "how every mail address opens"},
    {"file", "how every file address opens"},
    {".exe", "a file type Windows owns"},
    {".com", "a file type Windows owns"},
    {".bat", "a file type Windows owns"},
    {".cmd", "a file type Windows owns"},
    {".pif", "a file type Windows owns"},
    {".lnk", "a file type Windows owns"},
    {".dll", "a file type Windows owns"},
    {".txt", "a file type Windows owns"},
    {".ini", "a file type Windows owns"},
    {".inf", "a file type Windows owns"},
    {".reg", "a file type Windows owns"},
    {".htm", "a file type Windows owns"},
    {".html", "a file type Windows owns"},
};

void SinkText(ByteSink* sink, const char* text) {
  u32 n = 0;
  while (text && text[n]) ++n;
  SinkBytes(sink, text ? text : "", n + 1);
}

void SinkRows(ByteSink* sink) {
  for (const FolderPattern& f : kFolderPatterns) {
    SinkU8(sink, ROW_FOLDER);
    SinkU8(sink, (u8)f.base);
    SinkU8(sink, (u8)f.folder);
    SinkText(sink, f.rest);
    SinkText(sink, f.name);
  }
  for (const SharedKey& k : kSharedKeys) {
    SinkU8(sink, ROW_KEY);
    SinkText(sink, k.path);
    SinkText(sink, k.reason);
  }
  for (const SharedKey& k : kSharedClassKeys) {
    SinkU8(sink, ROW_CLASS);
    SinkText(sink, k.path);
    SinkText(sink, k.reason);
  }
  SinkU8(sink, ROW_END);
}

u8 Tables[16384];
u32 TablesSize;

}  // namespace

const unsigned char* DefaultRuleTables(unsigned int* size) {
  if (!TablesSize) {
    ByteSink sink = {Tables, sizeof Tables, 0, 0};
    SinkRows(&sink);
    if (sink.size > sizeof Tables || sink.tooLarge) return 0;
    TablesSize = sink.size;
  }
  *size = TablesSize;
  return Tables;
}
