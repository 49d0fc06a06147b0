"""End-to-end scenarios of installers that install less than their script
lists: a section left unselected, a file installed only when absent, a file
not overwritten, an all-users choice made at run time, a shortcut group
written last. Each builds its own small script with Sweepkit.nsh, installs
it silently under Wine and uninstalls it with the driver. The uninstaller
must undo exactly what this installation did: drive C: (all but the
temporary folders) and the watched registry values read the same after the
uninstall as before the install. Run one with: python3 run_time.py <name>."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import installer  # noqa: E402
import scenarios  # noqa: E402

CSIDL_DESKTOPDIRECTORY, CSIDL_SYSTEM = 0x10, 0x25
ARP = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
SHARED = scenarios.SHARED

PREAMBLE = r"""Unicode false
Name "${APP}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${APP}"
RequestExecutionLevel admin
!include Sweepkit.nsh
"""
FINISH = '${SkFinish} "${APP}" "${APP}" "1.0"\n'

# what a run of Wine may write there by itself; the installer's and the
# uninstaller's own temporary files go there too
TEMPORARY = re.compile(r"^(windows/temp|users/[^/]+/(appdata/local/)?temp)(/|$)", re.I)


def tree(s):
    """Drive C: of the prefix: every folder, every file by size and time,
    every link by its target."""
    root = os.path.join(s.prefix, "drive_c")
    state = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root).replace(os.sep, "/")
        if TEMPORARY.match(rel):
            dirs[:] = []
            continue
        state[rel + "/"] = "folder"
        for name in dirs + files:
            path = os.path.join(folder, name)
            key = (name if rel == "." else rel + "/" + name)
            if os.path.islink(path):
                state[key] = "link to " + os.readlink(path)
            elif name in files:
                st = os.stat(path)
                state[key] = "%d bytes, time %d" % (st.st_size, st.st_mtime_ns)
    return state


def tree_changes(before, after, replaced=()):
    """What differs, one line each; a file in `replaced` (relative to drive
    C:, / separated) may have other content but must be there."""
    lines = []
    for path in sorted(set(before) | set(after)):
        was, now = before.get(path), after.get(path)
        if was == now or (path in replaced and was and now):
            continue
        lines.append("%s: %s -> %s" % (path, was or "absent", now or "absent"))
    return lines


def folders(s):
    """Per-user and all-users desktop and Programs folders, each an empty
    folder of this prefix, and the system folder."""
    csidls = {"{desktop}": CSIDL_DESKTOPDIRECTORY, "{programs}": scenarios.CSIDL_PROGRAMS,
              "{commondesktop}": scenarios.CSIDL_COMMON_DESKTOPDIRECTORY,
              "{commonprograms}": scenarios.CSIDL_COMMON_PROGRAMS, "{sys}": CSIDL_SYSTEM}
    r = s.drive(["specialfolder %d" % c for c in csidls.values()])
    h.check(r.rc == 0 and len(r.folders) == len(csidls), "special folders", r)
    values = {name: r.folders[c] for name, c in csidls.items()}
    for name, folder in values.items():
        if name != "{sys}":
            scenarios._empty_private_folder(s, folder)
    return values


class Case:
    """One installer and what it meets on the machine.

    script:     the sections (between the header and SkFinish); ${PAYLOAD} is
                the folder of the payload files
    payload:    {name: content} compiled into the installer
    present:    {path: content} files on the machine before the install
    values:     [(root, key, name, reading)] registry values set before the
                install (reading as the driver prints it: 'dword 1', 'sz "x"')
    installed:  paths the install must create
    kept:       {path: content} files whose content the install and the
                uninstall leave as it was
    replaced:   pre-existing files the install may replace (a shared DLL)
    watched:    more (root, key, name) read before, after the install and
                after the uninstall
    expect:     {(root, key, name): reading} after the install
    folder_kept: the application folder outlives the uninstall (it holds a
                file that was there before)
    """

    def __init__(self, app, script, payload, present=None, values=(), installed=(), kept=None,
                 replaced=(), watched=(), expect=None, folder_kept=False, install_exit=0):
        self.app, self.script, self.payload = app, script, payload
        self.present, self.values = dict(present or {}), list(values)
        self.installed, self.kept, self.replaced = list(installed), dict(kept or {}), list(replaced)
        self.watched, self.expect, self.folder_kept = list(watched), dict(expect or {}), folder_kept
        self.install_exit = install_exit

    @property
    def install_dir(self):
        return "C:\\Program Files\\" + self.app


def resolve(text, values):
    for name, value in values.items():
        text = text.replace(name, value)
    return text


def build(s, case):
    payload = os.path.join(s.dir, "payload")
    os.makedirs(payload, exist_ok=True)
    for name, content in case.payload.items():
        with open(os.path.join(payload, name), "w") as f:
            f.write(content)
    nsi, out = os.path.join(s.dir, "setup.nsi"), os.path.join(s.dir, "setup.exe")
    with open(nsi, "w") as f:
        f.write(PREAMBLE + case.script + FINISH)
    rc, so, _ = h.run_bounded(["makensis", "-V2", "-X!addincludedir %s" % h.DIST, "-DOUTFILE=%s" % out,
                               "-DAPP=%s" % case.app, "-DPAYLOAD=%s" % payload, nsi], os.environ, 300)
    h.check(rc == 0, "building the installer failed:\n%s" % so.decode("utf-8", "replace"))
    return s.zpath(out)


def reading_lines(watched):
    return ["regvalue %s %s %s" % (root, h.quote(key), h.quote(name)) for root, key, name in watched]


def readings(r, watched):
    """The readings of the last len(watched) regvalue lines, in order (the
    driver's lines name no root: the same key may be watched in two)."""
    lines = [l for l in r.lines if l.startswith("regvalue ")][-len(watched):]
    h.check(len(lines) == len(watched), "a reading for every watched value", r)
    got = [re.match(r'regvalue %s %s (.*)$' % (h._QUOTED, h._QUOTED), l).group(3) for l in lines]
    return dict(zip(watched, got))


def contents(s, files):
    """Paths whose content differs from what is given, with what they hold."""
    wrong = []
    for path, want in files.items():
        try:
            with open(s.unix(path), "rb") as f:
                got = f.read()
        except OSError as e:
            got = "unreadable: %s" % e
        if got != want.encode("cp1252"):
            wrong.append("%s: %r, expected %r" % (path, got, want))
    return wrong


def run_case(name, case):
    """Lays out what is there before, installs, checks what was installed,
    uninstalls with the driver (confirm, done: no other box), and compares
    drive C: and the watched values with what they were before."""
    with h.Session(name) as s:
        # Wine's desktop integration writes a .desktop file beside a desktop
        # link: not the installer's doing, and not the uninstaller's to remove
        s.env["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
        values = folders(s)
        app = values["{app}"] = case.install_dir
        arp = ARP + case.app
        # neighbours whose names begin like the application's
        neighbours = {app + " Tools\\keep.txt": "a neighbour",
                      values["{programs}"] + "\\" + case.app + " Tools\\keep.lnk": "a neighbour's link"}
        present = {resolve(p, values): c for p, c in case.present.items()}
        present.update(neighbours)
        kept = {resolve(p, values): c for p, c in case.kept.items()}
        kept.update(neighbours)
        installed = [resolve(p, values) for p in case.installed]
        watched = [(root, resolve(key, values), resolve(n, values)) for root, key, n in case.watched]
        watched += [("HKLM", arp, "UninstallString")]
        watched += [(root, resolve(key, values), resolve(n, values)) for root, key, n, _ in case.values]
        expect = {(root, resolve(key, values), resolve(n, values)): v for (root, key, n), v in case.expect.items()}
        expect[("HKLM", arp, "UninstallString")] = 'sz "\\"%s\\\\uninstall.exe\\""' % app.replace("\\", "\\\\")

        setup = build(s, case)
        r = s.drive(["mkfile %s %s" % (h.quote(p), h.quote(c)) for p, c in present.items()] +
                    ["regset %s %s %s %s" % (root, h.quote(resolve(key, values)), h.quote(resolve(n, values)), v)
                     for root, key, n, v in case.values] + reading_lines(watched))
        h.check(r.rc == 0, "the machine before the install", r)
        before, before_tree = readings(r, watched), tree(s)

        r = s.drive(installer.install_lines(setup, app) +
                    ["exists %s" % h.quote(p) for p in installed + [app + "\\uninstall.exe"]] +
                    reading_lines(watched), timeout=installer.INSTALL_WAIT // 1000 + 60)
        h.check(r.rc == 0 and r.exits == [case.install_exit], "the silent install", r)
        got = readings(r, watched)
        wrong = ["%s %s %s: %s, expected %s" % (k + (got[k], v)) for k, v in expect.items() if got[k] != v]
        h.check(not wrong, "after the install:\n  " + "\n  ".join(wrong), r)
        wrong = contents(s, kept)
        h.check(not wrong, "the install changed files that were there before:\n  " + "\n  ".join(wrong))

        stub = app + "\\uninstall.exe"
        r = s.drive(["start %s" % h.quote(stub), "expect 30000", "press 1", "expect 30000", "press 1",
                     "wait 30000", "waitabsent %s 30000" % h.quote(stub)] +
                    ([] if case.folder_kept else ["waitabsent %s 30000" % h.quote(app)]) +
                    ["waitabsent C:\\Delme.bat 30000"] + reading_lines(watched), timeout=150)
        confirm = "This program will uninstall %s from %s. Click OK to continue." % (case.app, app)
        done = "%s has been successfully removed from your hard drive." % case.app
        texts = [w["text"] for w in r.windows]
        h.check(texts == [confirm, done], "the uninstall's boxes: %r; only the confirmation and the completion "
                "box expected" % texts, r)
        h.check(r.rc == 0 and r.exits == [0], "the uninstall", r)
        h.assert_box(r.windows[0], "Uninstall", confirm, scenarios.OK_CANCEL, "SweepkitClass", result=r)
        h.assert_box(r.windows[1], "Uninstall", done, scenarios.OK_ONLY, "SweepkitClass", result=r)
        after = readings(r, watched)
        replaced = [s.unix(resolve(p, values))[len(os.path.join(s.prefix, "drive_c")) + 1:] for p in case.replaced]
        problems = ["%s %s %s: %s before the install, %s after the uninstall" % (k + (before[k], after[k]))
                    for k in watched if before[k] != after[k]]
        problems += tree_changes(before_tree, tree(s), replaced)
        problems += contents(s, kept)
        h.check(not problems, "the uninstall did not restore the machine:\n  " + "\n  ".join(problems), r)


def installer_unselected_shared_dll(name):
    """A shared DLL in a section the user left unselected was never counted,
    so the uninstall leaves another product's count and file alone and asks
    nothing; the one the installation did count goes back to the other
    product's count."""
    sys_ = "{sys}\\"
    run_case(name, Case(
        "Vantor Optional",
        r"""Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkOutPath} "$SYSDIR"
  ${SkSharedDll} "${PAYLOAD}/vrtheld.dll"
SectionEnd
Section /o "Extras"
  ${SkOutPath} "$SYSDIR"
  ${SkSharedDll} "${PAYLOAD}/vrtextra.dll"
SectionEnd
""",
        {"app.exe": "app\n", "vrtheld.dll": "ours\n", "vrtextra.dll": "ours too\n"},
        present={sys_ + "vrtheld.dll": "another product's", sys_ + "vrtextra.dll": "another product's extra"},
        values=[("HKLM", SHARED, sys_ + "vrtheld.dll", "dword 1"),
                ("HKLM", SHARED, sys_ + "vrtextra.dll", "dword 1")],
        installed=["{app}\\app.exe", sys_ + "vrtheld.dll"],
        kept={sys_ + "vrtextra.dll": "another product's extra"},
        replaced=[sys_ + "vrtheld.dll"],
        watched=[("HKLM", ARP + "Vantor Optional\\SharedDLLs", sys_ + "vrtheld.dll"),
                 ("HKLM", ARP + "Vantor Optional\\SharedDLLs", sys_ + "vrtextra.dll")],
        expect={("HKLM", SHARED, sys_ + "vrtheld.dll"): "dword 2",
                ("HKLM", SHARED, sys_ + "vrtextra.dll"): "dword 1",
                ("HKLM", ARP + "Vantor Optional\\SharedDLLs", sys_ + "vrtheld.dll"): 'sz "counted"',
                ("HKLM", ARP + "Vantor Optional\\SharedDLLs", sys_ + "vrtextra.dll"): "missing"}))


def installer_only_if_absent(name):
    """Files the script installs into the system folder only when absent: the
    one that was there stays with its content, the one installed goes."""
    run_case(name, Case(
        "Vantor Absent",
        r"""Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkOutPath} "$SYSDIR"
  IfFileExists "$SYSDIR\vrtonly.dll" +2
  ${SkFile} "${PAYLOAD}/vrtonly.dll"
  IfFileExists "$SYSDIR\vrtnew.dll" +2
  ${SkFile} "${PAYLOAD}/vrtnew.dll"
SectionEnd
""",
        {"app.exe": "app\n", "vrtonly.dll": "ours\n", "vrtnew.dll": "ours too\n"},
        present={"{sys}\\vrtonly.dll": "another product's"},
        installed=["{app}\\app.exe", "{sys}\\vrtnew.dll"],
        kept={"{sys}\\vrtonly.dll": "another product's"}))


def installer_overwrite_off(name):
    """SetOverwrite off over the user's settings file, which was in the
    application folder before the install: it stays with its content and
    keeps the folder; the defaults installed beside it go."""
    run_case(name, Case(
        "Vantor Settings",
        r"""Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  SetOverwrite off
  ${SkFile} "${PAYLOAD}/settings.ini"
  ${SkFile} "${PAYLOAD}/defaults.ini"
  SetOverwrite on
  ${SkOutPath} "$INSTDIR\conf"
  SetOverwrite off
  ${SkFile} "${PAYLOAD}/user.cfg"
  SetOverwrite on
  ${SkFile} "${PAYLOAD}/base.cfg"
SectionEnd
""",
        {"app.exe": "app\n", "settings.ini": "[ours]\n", "defaults.ini": "[defaults]\n",
         "user.cfg": "ours\n", "base.cfg": "base\n"},
        present={"{app}\\settings.ini": "[the user's]", "{app}\\conf\\user.cfg": "the user's"},
        installed=["{app}\\app.exe", "{app}\\defaults.ini", "{app}\\conf\\base.cfg"],
        kept={"{app}\\settings.ini": "[the user's]", "{app}\\conf\\user.cfg": "the user's"},
        folder_kept=True))


def installer_all_users_at_run_time(name):
    """.onInit chooses all users (SetShellVarContext all, as a multi-user
    script does on its switch; SkShellContext is not used): the Start-menu
    group, the public desktop link and the HKLM key go, and the per-user
    link, desktop file and key of the same names, there before, stay."""
    app = "Vantor Everyone"
    key = "Software\\" + app
    run_case(name, Case(
        app,
        r"""Function .onInit
  SetShellVarContext all
FunctionEnd
Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkShortcut} "$SMPROGRAMS\Vantor Everyone\Vantor Everyone.lnk" "$INSTDIR\app.exe"
  ${SkShortcut} "$DESKTOP\Vantor Everyone.lnk" "$INSTDIR\app.exe"
  ${SkKey} SHCTX "Software\Vantor Everyone"
  WriteRegStr SHCTX "Software\Vantor Everyone" "Path" "$INSTDIR"
SectionEnd
""",
        {"app.exe": "app\n"},
        present={"{programs}\\%s\\%s.lnk" % (app, app): "the user's own link",
                 "{desktop}\\%s.lnk" % app: "the user's own desktop link"},
        values=[("HKCU", key, "Path", 'sz "the user\'s"')],
        installed=["{app}\\app.exe", "{commonprograms}\\%s\\%s.lnk" % (app, app),
                   "{commondesktop}\\%s.lnk" % app],
        kept={"{programs}\\%s\\%s.lnk" % (app, app): "the user's own link",
              "{desktop}\\%s.lnk" % app: "the user's own desktop link"},
        watched=[("HKLM", key, "Path")],
        expect={("HKLM", key, "Path"): 'sz "C:\\\\Program Files\\\\%s"' % app,
                ("HKCU", key, "Path"): 'sz "the user\'s"'}))


def installer_nested_shortcut(name):
    """A shortcut in a subfolder of the group, written after the group's own:
    the uninstall takes both folders."""
    run_case(name, Case(
        "Vantor Nested",
        r"""Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkShortcut} "$SMPROGRAMS\Vantor Nested\a.lnk" "$INSTDIR\app.exe"
  ${SkFile} "${PAYLOAD}/help.txt"
  ${SkShortcut} "$SMPROGRAMS\Vantor Nested\Sub\b.lnk" "$INSTDIR\help.txt"
SectionEnd
""",
        {"app.exe": "app\n", "help.txt": "help\n"},
        installed=["{app}\\app.exe", "{app}\\help.txt", "{programs}\\Vantor Nested\\a.lnk",
                   "{programs}\\Vantor Nested\\Sub\\b.lnk"]))


def installer_stopped_half_way(name):
    """The script stops in its section (Abort) after two of its files: the
    installer ends with exit code 2, and the uninstaller it wrote first
    removes what the installation made and keeps the user's file that was in
    the folder before."""
    run_case(name, Case(
        "Vantor Halfway",
        r"""Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkOutPath} "$INSTDIR\data"
  ${SkFile} "${PAYLOAD}/data.txt"
  Abort "stopped half way"
  ${SkFile} "${PAYLOAD}/late.txt"
SectionEnd
""",
        {"app.exe": "app\n", "data.txt": "data\n", "late.txt": "late\n"},
        present={"{app}\\notes.txt": "the user's notes"},
        installed=["{app}\\app.exe", "{app}\\data\\data.txt"],
        kept={"{app}\\notes.txt": "the user's notes"},
        folder_kept=True, install_exit=2))


SCENARIOS = {f.__name__: f for f in [installer_unselected_shared_dll, installer_only_if_absent,
                                     installer_overwrite_off, installer_all_users_at_run_time,
                                     installer_nested_shortcut, installer_stopped_half_way]}

if __name__ == "__main__":
    sys.exit(h.main(SCENARIOS))
