"""End-to-end scenarios of the example's real NSIS installer under Wine (its
script lists everything once, through Sweepkit.nsh): a silent install
(sweepkit-finish.exe writes the uninstaller on the installing machine), every
installed item checked, then the uninstall played by the driver. Run one
with: python3 installer.py <name>."""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402
import scenarios  # noqa: E402

SETUP = os.path.join(h.DIST, "vantor-gliders-setup.exe")
EXAMPLES = os.path.join(h.ROOT, "examples")
# a space and a letter of the ANSI code page (1252) outside ASCII
INSTALL = "C:\\Program Files\\Vant\xf6r Gliders"
GROUP = "Vantor Gliders"
KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vantor Gliders"
INSTALL_WAIT = 120000
CSIDL_DESKTOPDIRECTORY = 0x10  # the installer's desktop folder


def manifest_path(version):
    name = "vantor-gliders.json" if version == "1.0" else "vantor-gliders-%s.json" % version
    return os.path.join(EXAMPLES, name)


def manifest(version):
    with open(manifest_path(version), encoding="utf-8") as f:
        return json.load(f)


def build_setup(s, version):
    """The installer of a release: dist's for 1.0 (what `make installer`
    built), built into the session for the others."""
    if version == "1.0":
        h.check(os.path.exists(SETUP), "%s is missing; run `make installer`" % SETUP)
        return s.zpath(SETUP)
    out = os.path.join(s.dir, "setup-%s.exe" % version)
    rc, so, _ = h.run_bounded([sys.executable, os.path.join(h.ROOT, "scripts", "installer"), "--version", version,
                               "--out", out, "--template", os.path.join(s.dir, "%s.skt" % version),
                               "--work", s.dir], os.environ, 300)
    h.check(rc == 0, "building the %s installer failed:\n%s" % (version, so.decode("utf-8", "replace")))
    return s.zpath(out)


def folders(s, app=INSTALL):
    """The constants' values: the desktop and Programs folders the installer
    and the finisher see, each made an empty folder of this prefix."""
    r = s.drive(["specialfolder %d" % c for c in (CSIDL_DESKTOPDIRECTORY, scenarios.CSIDL_PROGRAMS)])
    h.check(r.rc == 0 and len(r.folders) == 2, "special folders", r)
    for f in r.folders.values():
        scenarios._empty_private_folder(s, f)
    return {"{desktop}": r.folders[CSIDL_DESKTOPDIRECTORY], "{programs}": r.folders[scenarios.CSIDL_PROGRAMS],
            "{group}": GROUP, "{app}": app}


def resolve(text, values):
    for name, value in values.items():
        text = text.replace(name, value)
    return text


def items(m, values):
    """Every file and shortcut the release installs, as full paths."""
    return ([resolve(f["dir"] + "\\" + f["name"], values) for f in m["files"]] +
            [resolve(c["dir"] + "\\" + c["name"], values) for c in m["shortcuts"]])


def neighbours(values):
    """Unrelated items beside the application's, with names it starts."""
    programs, desktop = values["{programs}"], values["{desktop}"]
    return [INSTALL + " Tools\\keep.txt", programs + "\\" + GROUP + " Tools\\keep.lnk",
            programs + "\\keep.lnk", desktop + "\\" + GROUP + " Notes.txt"]


def install_lines(setup, folder=INSTALL):
    # a raw command line: /S, then /D= unquoted and last, as the installer takes it
    return ["start %s /S %s" % (h.quote(setup), h.quote("/D=" + folder)), "wait %d" % INSTALL_WAIT]


def sz(r, name):
    """The text of a string value of the application's key, as the driver read it."""
    v = r.regvalues.get((KEY, name), "")
    return h._unescape(v[4:-1]) if v.startswith('sz "') and v.endswith('"') else None


def install(s, setup, m, values, version):
    """Installs silently and checks every file, shortcut, folder and value."""
    menu = values["{programs}"] + "\\" + GROUP
    r = s.drive(install_lines(setup) +
                ["exists %s" % h.quote(p) for p in items(m, values) + [INSTALL + "\\uninstall.exe", menu]] +
                ["regvalue HKLM %s DisplayName" % h.quote(KEY), "regvalue HKLM %s UninstallString" % h.quote(KEY)],
                timeout=INSTALL_WAIT // 1000 + 60)
    h.check(r.rc == 0 and r.exits == [0], "silent install of %s" % version, r)
    h.check(sz(r, "DisplayName") == "Vantor Gliders %s" % version, "DisplayName", r)
    h.check(sz(r, "UninstallString") == '"%s\\uninstall.exe"' % INSTALL, "UninstallString", r)
    return r


def uninstall(s, m, values, version, leftovers=(), kept=()):
    """Runs the installed uninstaller, confirms; nothing of the application
    stays, the neighbours do, and so do the user's files (kept) with the
    application folder they lie in."""
    stub = INSTALL + "\\uninstall.exe"
    t = {k: resolve(v, values) for k, v in m["strings"].items()}
    folder_gone = [] if kept else ["waitabsent %s 20000" % h.quote(INSTALL)]
    r = s.drive(["start %s" % h.quote(stub), "expect 30000", "press 1", "expect 30000", "press 1", "wait 30000"] +
                ["absent %s" % h.quote(p) for p in items(m, values) + list(leftovers)] +
                ["absent %s" % h.quote(values["{programs}"] + "\\" + GROUP), "regabsent HKLM %s" % h.quote(KEY),
                 "waitabsent %s 20000" % h.quote(stub)] + folder_gone +
                ["exists %s" % h.quote(p) for p in neighbours(values) + list(kept)] +
                ["regexists HKLM %s" % h.quote(KEY + " Tools")], timeout=120)
    h.check(r.rc == 0 and r.exits == [0], "uninstall of %s" % version, r)
    h.check(len(r.windows) == 2, "confirm and done boxes expected", r)
    h.assert_box(r.windows[0], t["caption"], t["confirm"], scenarios.OK_CANCEL, "SweepkitClass", result=r)
    h.assert_box(r.windows[1], t["caption"], t["done"], scenarios.OK_ONLY, "SweepkitClass", result=r)
    return r


def prepare(s):
    values = folders(s)
    r = s.drive(["mkfile %s" % h.quote(p) for p in neighbours(values)] +
                ["regkey HKLM %s" % h.quote(KEY + " Tools")])
    h.check(r.rc == 0, "neighbours", r)
    return values


def install_and_uninstall(s):
    values = prepare(s)
    m = manifest("1.0")
    install(s, build_setup(s, "1.0"), m, values, "1.0")
    uninstall(s, m, values, "1.0")
    return values


def installer_silent(name):
    """Silent install into a folder with a space and a non-ASCII letter, then
    the uninstall. Then an install over a file named like the uninstaller that
    is not one: finishing refuses it, the installer fails and installs nothing."""
    with h.Session(name) as s:
        values = install_and_uninstall(s)
        setup = build_setup(s, "1.0")
        junk = INSTALL + "\\uninstall.exe"
        r = s.drive(["mkfile %s" % h.quote(junk) + ' "not an uninstaller"'] + install_lines(setup) +
                    ["exists %s" % h.quote(junk), "regabsent HKLM %s" % h.quote(KEY),
                     "absent %s" % h.quote(values["{programs}"] + "\\" + GROUP)] +
                    ["absent %s" % h.quote(p) for p in items(manifest("1.0"), values)],
                    timeout=INSTALL_WAIT // 1000 + 60)
        h.check(r.exits and r.exits[0] != 0, "the installer must fail when finishing fails", r)
        h.check(r.rc == 0, "nothing installed, the file intact", r)
        with open(s.unix(junk), "rb") as f:
            h.check(f.read() == b"not an uninstaller", "the earlier file must stay as it was")


def upgrade(s, saved=None):
    """1.0, then 1.1 over it (it drops glide.dat and adds tracks.dat): the
    merged uninstaller removes the files of both, with 1.1's texts. With
    `saved`, the user saves that file into the application folder between
    the two; it survives the uninstall with its folder."""
    values = prepare(s)
    old, new = manifest("1.0"), manifest("1.1")
    install(s, build_setup(s, "1.0"), old, values, "1.0")
    if saved:
        r = s.drive(["mkfile %s" % h.quote(saved) + ' "the user\'s own"'])
        h.check(r.rc == 0, "the user's file", r)
    install(s, build_setup(s, "1.1"), new, values, "1.1")
    dropped = [p for p in items(old, values) if p not in items(new, values)]
    h.check(dropped == [INSTALL + "\\glide.dat"], "1.1 drops one file: %r" % dropped)
    r = s.drive(["exists %s" % h.quote(p) for p in dropped])
    h.check(r.rc == 0, "1.0's file stays after the upgrade", r)
    uninstall(s, new, values, "1.1", leftovers=dropped, kept=[saved, INSTALL] if saved else ())


def installer_upgrade(name):
    with h.Session(name) as s:
        upgrade(s)


def installer_windows98(name):
    """With Wine reporting Windows 98: 1.0, a file the user saves, 1.1 over
    it, and the uninstall."""
    with h.Session(name) as s:
        s.set_windows_version("win98")
        s.restart_wine()
        upgrade(s, saved=INSTALL + "\\My Gliders\\evening flight.sav")


def installer_user_file(name):
    """A file the user saved into the application folder after installing
    survives the uninstall, and so does the folder it lies in: the
    uninstaller removes what the script installed, never the folder whole."""
    with h.Session(name) as s:
        values = prepare(s)
        m = manifest("1.0")
        install(s, build_setup(s, "1.0"), m, values, "1.0")
        saved = INSTALL + "\\My Gliders\\evening flight.sav"
        r = s.drive(["mkfile %s" % h.quote(saved) + ' "the user\'s own"'])
        h.check(r.rc == 0, "the user's file", r)
        uninstall(s, m, values, "1.0", kept=[saved, INSTALL])
        with open(s.unix(saved), "rb") as f:
            h.check(f.read() == b"the user's own", "the user's file must stay as it was")


SHARED_APP = "C:\\Program Files\\Vantor Shared Test"
SHARED_SCRIPT = r"""Unicode false
Name "Vantor Shared Test"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Vantor Shared Test"
RequestExecutionLevel admin
!include Sweepkit.nsh
Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkFile} "${PAYLOAD}/app.exe"
  ${SkDir} "$COMMONFILES\Vantor Shared"
  ${SkOutPath} "$COMMONFILES\Vantor Shared"
  ${SkSharedDll} "${PAYLOAD}/vshared.dll"
SectionEnd
${SkFinish} "Vantor Shared Test" "Vantor Shared Test" "1.0"
"""


def build_shared_setup(s):
    """An installer whose script installs one shared DLL with SkSharedDll."""
    payload = os.path.join(s.dir, "payload")
    os.makedirs(payload, exist_ok=True)
    for name in ("app.exe", "vshared.dll"):
        with open(os.path.join(payload, name), "w") as f:
            f.write(name + "\n")
    nsi, out = os.path.join(s.dir, "shared.nsi"), os.path.join(s.dir, "shared-setup.exe")
    with open(nsi, "w") as f:
        f.write(SHARED_SCRIPT)
    rc, so, _ = h.run_bounded(["makensis", "-V2", "-X!addincludedir %s" % h.DIST, "-DOUTFILE=%s" % out,
                               "-DPAYLOAD=%s" % payload, nsi], os.environ, 300)
    h.check(rc == 0, "building the shared-DLL installer failed:\n%s" % so.decode("utf-8", "replace"))
    return s.zpath(out)


def installer_shared_dll(name):
    """A shared DLL installed by SkSharedDll counts one user however often
    the release is installed over itself, so the uninstall brings its count
    to nothing, asks, and on Yes removes the file, the value and the folder."""
    with h.Session(name) as s:
        setup = build_shared_setup(s)
        cf = s.drive(["regvalue HKLM %s CommonFilesDir" % h.quote("Software\\Microsoft\\Windows\\CurrentVersion")])
        folder = h._unescape(cf.regvalues[("Software\\Microsoft\\Windows\\CurrentVersion", "CommonFilesDir")][4:-1])
        dll = folder + "\\Vantor Shared\\vshared.dll"
        count = "regvalue HKLM %s %s" % (h.quote(scenarios.SHARED), h.quote(dll))
        for n in (1, 2):
            r = s.drive(install_lines(setup, SHARED_APP) + ["exists %s" % h.quote(dll), count],
                        timeout=INSTALL_WAIT // 1000 + 60)
            h.check(r.rc == 0 and r.exits == [0], "install %d" % n, r)
            h.check(r.regvalues[(scenarios.SHARED, dll)] == "dword 1", "the count after install %d" % n, r)
        stub = SHARED_APP + "\\uninstall.exe"
        r = s.drive(["start %s" % h.quote(stub), "expect 30000", "press 1", "expect 30000", "press 6",
                     "expect 30000", "press 1", "wait 30000", "absent %s" % h.quote(dll), count,
                     "waitabsent %s 20000" % h.quote(SHARED_APP), "absent %s" % h.quote(folder + "\\Vantor Shared"),
                     "regabsent HKLM %s" % h.quote(KEY.replace("Vantor Gliders", "Vantor Shared Test"))],
                    timeout=120)
        h.check(r.rc == 0 and r.exits == [0], "uninstall", r)
        h.check(r.regvalues[(scenarios.SHARED, dll)] == "missing", "the count's value is gone", r)
        h.check(len(r.windows) == 3, "confirm, the shared file's question and done", r)
        h.check(dll in r.windows[1]["text"], "the question names the file", r)


TREE_SCRIPT = r"""Unicode false
OutFile "${OUTFILE}"
!include Sweepkit.nsh
Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkTree} "${TREE}"
  !ifdef BAD
    ${SkKey} HKLM "Software"
  !endif
SectionEnd
${SkFinish} "App" "App 1.0" "1.0"
"""


def windows_program(s):
    """A stand-in for makensis on Windows: Linux makensis with the header
    running sweepkit.exe through Wine."""
    wrapper = os.path.join(s.dir, "sweepkit-wine")
    with open(wrapper, "w") as f:
        f.write('#!/bin/sh\nexec wine "%s" "$@"\n' % os.path.join(h.DIST, "sweepkit.exe"))
    os.chmod(wrapper, 0o755)
    return wrapper


def installer_windows_program(name):
    """The example built while the header runs sweepkit.exe, with a
    Start-menu folder ending in a backslash (the finisher must get it as it
    is), installed and uninstalled; a tree listed by sweepkit.exe, spelled
    with backslashes, records what it installs, and a refusal names the
    script's line."""
    with h.Session(name) as s:
        wrapper = windows_program(s)
        values = prepare(s)
        m = manifest("1.0")
        setup = os.path.join(s.dir, "setup.exe")
        rc, so, se = h.run_bounded([sys.executable, os.path.join(h.ROOT, "scripts", "installer"), "--out", setup,
                                   "--template", os.path.join(s.dir, "1.0.skt"), "--work", s.dir,
                                   "--sweepkit", wrapper, "--group", GROUP + "\\"], s.env, 600)
        h.check(rc == 0, "building with sweepkit.exe failed:\n%s%s" % (so.decode("utf-8", "replace"),
                                                                     se.decode("utf-8", "replace")))
        install(s, s.zpath(setup), m, values, "1.0")
        uninstall(s, m, values, "1.0")

        tree = os.path.join(s.dir, "tree")
        for rel in ["a.txt", "sub/b.txt", "sub/deeper/c.txt"]:
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "w") as f:
                f.write(rel)
        nsi = os.path.join(s.dir, "tree.nsi")
        with open(nsi, "w") as f:
            f.write(TREE_SCRIPT)
        recorded = os.path.join(s.dir, "tree.json")
        for bad in (False, True):
            cmd = ["makensis", "-V2", "-X!addincludedir %s" % h.DIST, "-DSK_SWEEPKIT=%s" % wrapper,
                   "-DOUTFILE=%s" % os.path.join(s.dir, "tree-setup.exe"), "-DTREE=%s" % tree.replace("/", "\\"),
                   "-DSK_MANIFEST=%s" % recorded] + (["-DBAD"] if bad else []) + [nsi]
            rc, so, _ = h.run_bounded(cmd, s.env, 300)
            out = so.decode("utf-8", "replace")
            if bad:
                h.check(rc != 0 and "tree.nsi:9: keys[0].path" in out, "the refusal names the line:\n" + out)
                continue
            h.check(rc == 0, "the tree through sweepkit.exe:\n" + out)
            with open(recorded, encoding="utf-8") as f:
                files = json.load(f)["files"]
            h.check(files == [{"dir": "{app}", "name": "a.txt"}, {"dir": "{app}\\sub", "name": "b.txt"},
                              {"dir": "{app}\\sub\\deeper", "name": "c.txt"},
                              {"dir": "{app}\\sub\\deeper", "name": ""}, {"dir": "{app}\\sub", "name": ""}],
                    "the tree's records: %r" % files)


SCENARIOS = {f.__name__: f for f in [installer_silent, installer_windows98, installer_upgrade,
                                     installer_user_file, installer_shared_dll, installer_windows_program]}

if __name__ == "__main__":
    sys.exit(h.main(SCENARIOS))
