#!/usr/bin/env python3
"""Sweepkit.nsh under the real makensis: what scripts record, what stops a
build and at which script line, and the example's recorded list against the
hand-written manifests of its releases."""
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("SWEEPKIT_DIST", os.path.join(ROOT, "dist"))
EXAMPLES = os.path.join(ROOT, "examples")


def makensis(script, work, defines=(), verbosity=2, flags=()):
    """Compiles script (text) with the source tree's header and dist's tools;
    returns (exit code, output, recorded manifest or None)."""
    path = os.path.join(work, "app.nsi")
    with open(path, "w", encoding="utf-8") as f:
        f.write(script)
    manifest = os.path.join(work, "recorded.json")
    if os.path.exists(manifest):
        os.unlink(manifest)
    cmd = ["makensis", "-V%d" % verbosity] + list(flags) + ["-X!addincludedir %s" % os.path.join(ROOT, "nsis"),
           "-DSK_SWEEPKIT=%s" % os.path.join(DIST, "sweepkit"),
           "-DSK_STUB=%s" % os.path.join(DIST, "sweepkit-stub.exe"),
           "-DSK_FINISHER=%s" % os.path.join(DIST, "sweepkit-finish.exe"),
           "-DSK_MANIFEST=%s" % manifest] + ["-D%s" % d for d in defines] + [path]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
    recorded = None
    if p.returncode == 0:
        with open(manifest, encoding="utf-8") as f:
            recorded = json.load(f)
    return p.returncode, p.stdout.decode("utf-8", "replace"), recorded


def script(body, before=""):
    """A whole installer around body; line 7 is body's first line."""
    return ("Unicode false\nOutFile app.exe\n!include Sweepkit.nsh\n${SkVar} group\n%s\n"
            "Section\n%s\nSectionEnd\n${SkFinish} \"App\" \"App 1.0\" \"1.0\"\n" % (before or ";", body))


class Tool(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="sweepkit-nsh-")
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        self.payload = os.path.join(self.work, "app.exe")
        with open(self.payload, "w") as f:
            f.write("app\n")


class Refusals(Tool):
    # (what, the script's lines from line 7, the refused line, part of the reason);
    # each case records good entries around the bad one, so that the line is
    # found by the entry's place in its list
    CASES = [
        ("shortcut directly in the Programs folder",
         ['${SkUninstaller}', '${SkShortcut} "$SMPROGRAMS\\$group\\App.lnk" "$INSTDIR\\app.exe"',
          '${SkShortcut} "$SMPROGRAMS\\App.lnk" "$INSTDIR\\app.exe"'], 9, "folder the system owns"),
        ("the shared key Software",
         ['${SkUninstaller}', '${SkKey} HKCU "Software\\Vantor"', '${SkKey} HKLM "Software"',
          '${SkKey} HKCU "Software\\Vantor\\Gliders"'], 9, "key other software shares"),
        ("a variable no folder constant stands for",
         ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkOutPath} "$TEMP\\App"'], 9,
         "$TEMP is not a folder"),
        ("a register in a key", ['${SkUninstaller}', '${SkKey} HKCU "Software\\$0"'], 8, "$0 is not a folder"),
        ("a folder inside a path", ['${SkUninstaller}', '${SkDir} "C:\\Apps\\$INSTDIR"'], 8, "can only begin a path"),
        ("a folder in a key", ['${SkUninstaller}', '${SkKey} HKLM "Software\\$INSTDIR"'], 8, "only a named value"),
        ("a file without SkOutPath", ['${SkUninstaller}', '${SkFile} "app.exe"'], 8, "SkOutPath"),
        ("a wildcard", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "*.exe"'], 9, "wildcard"),
        ("no SkUninstaller", ['${SkOutPath} "$INSTDIR"'], 9, "SkUninstaller"),
    ]

    def test_each_refusal_stops_the_build_at_the_line(self):
        for what, lines, line, reason in self.CASES:
            with self.subTest(what):
                rc, out, _ = makensis(script("\n".join(lines)), self.work)
                self.assertNotEqual(rc, 0, out)
                self.assertIn("app.nsi:%d: " % line, out)
                self.assertIn(reason, out)

    def test_a_key_outside_every_section_is_refused(self):
        # it would never be marked as run
        rc, out, _ = makensis(script("${SkUninstaller}", before='${SkKey} HKCU "Software\\Vantor"'), self.work)
        self.assertNotEqual(rc, 0, out)
        self.assertIn("app.nsi:5: SkKey belongs in the section", out)

    def test_an_entry_after_SkFinish_is_refused(self):
        rc, out, _ = makensis(script("${SkUninstaller}") + '${SkKey} HKCU "Software\\Late"\n', self.work)
        self.assertNotEqual(rc, 0, out)
        self.assertIn("app.nsi:10: recorded after SkFinish", out)

    def test_forced_and_risky_entries_warn_at_their_line_and_build(self):
        body = ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkSharedDll} "app.exe"',
                '${SkForce}', '${SkKey} HKLM "Software"']
        rc, out, recorded = makensis(script("\n".join(body)), self.work)
        self.assertEqual(rc, 0, out)
        self.assertRegex(out, r"warning: !warning: app\.nsi:9: files\[0\]\.dir .*shared")
        self.assertRegex(out, r"warning: !warning: app\.nsi:11: keys\[0\]\.path .*kept because")
        self.assertEqual(recorded["keys"][0], {"root": "HKEY_LOCAL_MACHINE", "path": "Software", "force": True})
        self.assertTrue(recorded["files"][0]["shared"])


class PlainOutPaths(Tool):
    """A recorded file lies in the folder of the last SkOutPath; a plain
    SetOutPath between them would install it elsewhere than recorded, so the
    build stops at the SetOutPath's line. A plain SetOutPath that no
    recorded file follows (the plugins folder, a helper run and gone) builds."""

    # (what, the script's lines from line 7, the SetOutPath's line)
    REFUSED = [
        ("a file", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"',
                    'SetOutPath "$INSTDIR\\other"', '${SkFile} "app.exe"'], 10),
        ("lower case, indented, unquoted", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"',
                                            '  setoutpath $INSTDIR\\other', '${SkFile} "app.exe"'], 9),
        ("a shared DLL", ['${SkUninstaller}', '${SkOutPath} "$SYSDIR"', 'SetOutPath "$INSTDIR"',
                          '${SkSharedDll} "app.exe"'], 9),
        ("in the next section", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"',
                                 'SetOutPath "$INSTDIR\\other"', 'SectionEnd', 'Section "More"',
                                 '${SkFile} "app.exe"'], 10),
        # the SkOutPath may not run, and its folder would not be there
        ("its SkOutPath in a section that may not run",
         ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', 'SectionEnd', 'Section /o "Docs"',
          '${SkOutPath} "$INSTDIR\\docs"', 'SectionEnd', 'Section "Tools"', '${SkFile} "app.exe"'], 14),
    ]
    BUILT = [
        ("the plugins folder, nothing recorded after it",
         ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"', 'InitPluginsDir',
          'SetOutPath $PLUGINSDIR', 'File "app.exe"', "ExecWait '\"$PLUGINSDIR\\app.exe\"'"]),
        ("SkOutPath between", ['${SkUninstaller}', 'SetOutPath $PLUGINSDIR', 'File "app.exe"',
                               '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"']),
        ("commented out", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '; SetOutPath "$INSTDIR\\other"',
                           '# SetOutPath "$INSTDIR\\other"', '${SkFile} "app.exe"']),
        ("the next section sets its own", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"',
                                           'SetOutPath $PLUGINSDIR', 'SectionEnd', 'Section "More"',
                                           '${SkOutPath} "$INSTDIR\\more"', '${SkFile} "app.exe"']),
        ("a tree, which sets its own folders", ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkTree} "tree"',
                                                '${SkFile} "app.exe"']),
    ]

    def test_a_plain_setoutpath_before_a_recorded_file_stops_the_build_at_its_line(self):
        for what, lines, line in self.REFUSED:
            with self.subTest(what):
                rc, out, _ = makensis(script("\n".join(lines)), self.work)
                self.assertNotEqual(rc, 0, out)
                self.assertIn("app.nsi:%d: " % line, out)
                self.assertIn("OutPath", out)

    def test_a_plain_setoutpath_no_recorded_file_follows_builds(self):
        os.makedirs(os.path.join(self.work, "tree", "sub"))
        with open(os.path.join(self.work, "tree", "sub", "a.txt"), "w") as f:
            f.write("a")
        # with the .onInit of a script that shows a picture from the plugins folder
        before = 'Function .onInit\n  StrCpy $group "App"\n  InitPluginsDir\n  SetOutPath $PLUGINSDIR\n  File "app.exe"\nFunctionEnd'
        for what, lines in self.BUILT:
            with self.subTest(what):
                rc, out, m = makensis(script("\n".join(lines), before), self.work, flags=["-WX"])
                self.assertEqual(rc, 0, out)
                self.assertIn({"dir": "{app}", "name": "app.exe"} if what != "the next section sets its own"
                              else {"dir": "{app}\\more", "name": "app.exe"}, m["files"])


# The folders the shell context picks, per-user and all-users.
CONTEXT_PAIRS = [("programs", "commonprograms"), ("startmenu", "commonstartmenu"), ("desktop", "commondesktop")]


def both_contexts(m):
    """The manifest as the header lists it: every entry in a folder the shell
    context picks, and every SHCTX key, once for each context (the installer
    tells at run time which of the two it wrote)."""
    out = dict(m)
    for name in ("files", "shortcuts"):
        entries = []
        for e in m[name]:
            entries.append(e)
            for user, common in CONTEXT_PAIRS:
                for a, b in ((user, common), (common, user)):
                    head = "{%s}" % a
                    if e["dir"] == head or e["dir"].startswith(head + "\\"):
                        other = dict(e, dir="{%s}" % b + e["dir"][len(head):])
                        entries[-1:] = [e, other] if a == user else [other, e]
        out[name] = entries
    return out


class Recording(Tool):
    def test_folders_follow_the_shell_context_and_flags_are_kept(self):
        entries = ['${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"',
                   '${SkOutPath} "$SYSDIR"', '${SkSharedDll} "app.exe"', '${SkSelfReg} "app.exe"',
                   '${SkOutPath} "$FONTS"', '${SkFont} "app.exe" "App Sans (TrueType)"',
                   '${SkOutPath} "$WINDIR\\App"', '${SkFile} "app.exe"',
                   '${SkDir} "$PROGRAMFILES\\Vantor"', '${SkDir} "$COMMONFILES\\Vantor\\a$$b{c}"',
                   '${SkShortcut} "$SMPROGRAMS\\$group\\A.lnk" "$INSTDIR\\app.exe"',
                   '${SkShortcut} "$STARTMENU\\$group\\B.lnk" "$INSTDIR\\app.exe"',
                   '${SkShortcut} "$DESKTOP\\C.lnk" "$INSTDIR\\app.exe"',
                   '${SkKey} SHCTX "Software\\Vantor\\$group"']
        # whichever context the script names at compile time, the entries
        # are listed for both, and the installation tells which it wrote
        for context in ("current", "all"):
            with self.subTest(context):
                body = ["${SkUninstaller}", "${SkShellContext} %s" % context] + entries
                rc, out, m = makensis(script("\n".join(body)), self.work)
                self.assertEqual(rc, 0, out)
                self.assertEqual(m["files"], [
                    {"dir": "{app}", "name": "app.exe"},
                    {"dir": "{sys}", "name": "app.exe", "shared": True},
                    {"dir": "{sys}", "name": "app.exe", "selfreg": True},
                    {"dir": "{fonts}", "name": "app.exe", "font": True},
                    {"dir": "{win}\\App", "name": "app.exe"},
                    {"dir": "{desktop}", "name": "C.lnk"},
                    {"dir": "{commondesktop}", "name": "C.lnk"},
                    # folders last, deepest first
                    {"dir": "{cf}\\Vantor\\a$b{{c}", "name": ""},
                    {"dir": "{pf}\\Vantor", "name": ""}])
                self.assertEqual(m["shortcuts"], [{"dir": "{programs}\\{group}", "name": "A.lnk"},
                                                  {"dir": "{commonprograms}\\{group}", "name": "A.lnk"},
                                                  {"dir": "{startmenu}\\{group}", "name": "B.lnk"},
                                                  {"dir": "{commonstartmenu}\\{group}", "name": "B.lnk"}])
                self.assertEqual(m["keys"][:2], [{"root": root, "path": "Software\\Vantor\\{group}"}
                                                 for root in ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE")])

    def test_shortcuts_deepest_folder_first_and_warnings_as_errors(self):
        # A nested link written last is listed before its group's own, so
        # that the group's folder is empty when its turn comes. makensis -WX
        # builds the script with and without a shared DLL.
        body = ['StrCpy $group "App"', '${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkFile} "app.exe"',
                '${SkShortcut} "$SMPROGRAMS\\$group\\A.lnk" "$INSTDIR\\app.exe"',
                '${SkShortcut} "$SMPROGRAMS\\$group\\Help\\B.lnk" "$INSTDIR\\app.exe"',
                '${SkShortcut} "$SMPROGRAMS\\$group\\Tools\\C.lnk" "$INSTDIR\\app.exe"']
        for shared in ([], ['${SkOutPath} "$SYSDIR"', '${SkSharedDll} "app.exe"', '${SkSharedDll} "app.exe"']):
            with self.subTest(shared=bool(shared)):
                rc, out, m = makensis(script("\n".join(body + shared)), self.work, flags=["-WX"])
                self.assertEqual(rc, 0, out)
                self.assertEqual([s["dir"] for s in m["shortcuts"]],
                                 ["{programs}\\{group}\\Help", "{commonprograms}\\{group}\\Help",
                                  "{programs}\\{group}\\Tools", "{commonprograms}\\{group}\\Tools",
                                  "{programs}\\{group}", "{commonprograms}\\{group}"])

    def test_a_tree_records_every_file_and_every_folder_after_its_contents(self):
        tree = os.path.join(self.work, "tree")
        files = ["top.txt", "sub dir/it's $x.txt", "sub dir/deep/d.bin", "b{r}/c.txt"]
        for rel in files:
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "w") as f:
                f.write(rel)
        os.makedirs(os.path.join(tree, "empty"))
        body = ['${SkUninstaller}', '${SkOutPath} "$INSTDIR\\data"', '${SkTree} "tree"', '${SkFile} "app.exe"']
        rc, out, m = makensis(script("\n".join(body)), self.work)
        self.assertEqual(rc, 0, out)
        d = "{app}\\data"
        self.assertEqual(m["files"], [
            {"dir": d, "name": "top.txt"}, {"dir": d + "\\b{{r}", "name": "c.txt"},
            {"dir": d + "\\sub dir", "name": "it's $x.txt"}, {"dir": d + "\\sub dir\\deep", "name": "d.bin"},
            {"dir": d, "name": "app.exe"},  # after the tree: its SetOutPath is restored
            {"dir": d + "\\sub dir\\deep", "name": ""}, {"dir": d + "\\b{{r}", "name": ""},
            {"dir": d + "\\empty", "name": ""}, {"dir": d + "\\sub dir", "name": ""}, {"dir": d, "name": ""}])

        with open(os.path.join(tree, "sub dir", "a?b"), "w") as f:
            f.write("x")
        rc, out, _ = makensis(script("\n".join(body)), self.work)
        self.assertNotEqual(rc, 0, out)
        self.assertIn("app.nsi:9: Windows cannot hold the name 'a?b'", out)


class Trees(Tool):
    """What ${SkTree} records is what makensis installs, however the folder
    is spelled and wherever its links lead."""

    def lay_out(self):
        tree = os.path.join(self.work, "tree")
        for rel in ["top.txt", ".hidden", "no extension", "sub/a.b.c", "sub/deep/d.bin", "elsewhere/e.txt"]:
            os.makedirs(os.path.dirname(os.path.join(tree, rel)), exist_ok=True)
            with open(os.path.join(tree, rel), "w") as f:
                f.write(rel)
        os.symlink("sub", os.path.join(tree, "linked"))  # a folder reached twice
        return tree

    def build(self, spelling):
        body = ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkTree} "%s"' % spelling]
        return makensis(script("\n".join(body)), self.work, verbosity=4)

    def test_recorded_equals_installed_for_each_spelling(self):
        tree = self.lay_out()
        for spelling in ["tree", "tree\\", ".\\tree", tree, tree.replace("/", "\\")]:
            with self.subTest(spelling):
                rc, out, m = self.build(spelling)
                self.assertEqual(rc, 0, out)
                # the tree's files come before SkFinish puts in its own
                tree_part = out[:out.index("nsis-check")]
                installed = sorted(line.split('"')[1] for line in tree_part.splitlines() if line.startswith("File: "))
                recorded = sorted(f["name"] for f in m["files"] if f["name"])
                self.assertEqual(installed, recorded)
                self.assertIn({"dir": "{app}\\linked\\deep", "name": "d.bin"}, m["files"])
                self.assertIn({"dir": "{app}\\linked", "name": ""}, m["files"])
                self.assertEqual(len(recorded), 8)

    def test_links_that_loop_or_lead_nowhere_are_refused_at_the_line(self):
        tree = self.lay_out()
        for name, target, reason in [("loop", "..", "link loop"), ("gone", "nothing-here", "leads nowhere")]:
            with self.subTest(name):
                link = os.path.join(tree, "sub", name)
                os.symlink(target, link)
                rc, out, _ = self.build("tree")
                os.unlink(link)
                self.assertNotEqual(rc, 0, out)
                self.assertRegex(out, r"app\.nsi:9: .*%s" % reason)

    def test_no_records_file_is_left_behind(self):
        self.lay_out()
        good = ['${SkUninstaller}', '${SkOutPath} "$INSTDIR"', '${SkTree} "tree"']
        for what, body in [("built", good), ("refused by the check", good + ['${SkKey} HKLM "Software"']),
                           ("refused by the tree", good + ['${SkTree} "missing"']),
                           ("failed elsewhere", good + ['NoSuchCommand'])]:
            with self.subTest(what):
                rc, out, _ = makensis(script("\n".join(body)), self.work, verbosity=4)
                self.assertEqual(rc == 0, what == "built", out)
                records = set(re.findall(r'--records "([^"]+)"', out))
                self.assertEqual(len(records), 1, out)
                self.assertTrue(wait_until_gone(records.pop()))


def wait_until_gone(path, seconds=10):
    """The records file of a build that failed elsewhere goes once makensis
    has exited; a moment after, not at once."""
    end = time.monotonic() + seconds
    while os.path.exists(path) and time.monotonic() < end:
        time.sleep(0.1)
    return not os.path.exists(path)


class Readme(Tool):
    """The README's commands are the ones that work: its first block is the
    two commands the tests run, every make target it names exists, and its
    NSIS quick start builds, recording what it installs."""

    def blocks(self, lang):
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            return re.findall(r"```%s\n(.*?)```" % lang, f.read(), re.S)

    def test_the_commands_exist(self):
        first = [line.split("#")[0].strip() for line in self.blocks("sh")[0].splitlines()]
        self.assertEqual(first, ["make demo", "make test"])
        with open(os.path.join(ROOT, "Makefile")) as f:
            targets = set(re.findall(r"^([a-z]+):", f.read(), re.M))
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
            named = set(re.findall(r"`make ([a-z]+)", f.read()))
        self.assertTrue(named and named <= targets, named - targets)

    def test_the_quick_start_builds(self):
        (quick,) = self.blocks("nsis")
        for rel in ["build/app.exe", "build/data/a.txt", "build/data/sub/b.txt"]:
            os.makedirs(os.path.dirname(os.path.join(self.work, rel)), exist_ok=True)
            with open(os.path.join(self.work, rel), "w") as f:
                f.write(rel)
        rc, out, m = makensis(quick, self.work)
        self.assertEqual(rc, 0, out)
        self.assertEqual([f["name"] for f in m["files"]], ["app.exe", "a.txt", "b.txt", ""])
        self.assertEqual(m["shortcuts"], [{"dir": "{programs}\\App", "name": "App.lnk"},
                                          {"dir": "{commonprograms}\\App", "name": "App.lnk"}])
        self.assertEqual([k["path"] for k in m["keys"]][0], "Software\\Vantor\\App")


class Example(unittest.TestCase):
    def test_the_script_records_the_hand_written_manifest_of_each_release(self):
        work = tempfile.mkdtemp(prefix="sweepkit-example-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        for version, name in [("1.0", "vantor-gliders.json"), ("1.1", "vantor-gliders-1.1.json")]:
            with self.subTest(version):
                got, template = os.path.join(work, "%s.json" % version), os.path.join(work, "%s.skt" % version)
                p = subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "installer"), "--version", version,
                                    "--out", os.path.join(work, "setup.exe"), "--template", template,
                                    "--manifest-out", got, "--work", work],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
                self.assertEqual(p.returncode, 0, p.stdout.decode("utf-8", "replace"))
                with open(got, encoding="utf-8") as f, open(os.path.join(EXAMPLES, name), encoding="utf-8") as g:
                    hand_written = both_contexts(json.load(g))
                    self.assertEqual(json.load(f), hand_written)
                # and the installer carries the very template the manifest packs to
                hand, hand_json = os.path.join(work, "hand.skt"), os.path.join(work, "hand.json")
                with open(hand_json, "w", encoding="utf-8") as f:
                    json.dump(hand_written, f)
                subprocess.run([os.path.join(DIST, "sweepkit"), "pack", "--stub",
                                os.path.join(DIST, "sweepkit-stub.exe"), "--manifest", hand_json,
                                "--template", "--out", hand], check=True, stdout=subprocess.DEVNULL, timeout=60)
                self.assertTrue(filecmp.cmp(hand, template, shallow=False))


if __name__ == "__main__":
    sys.exit(unittest.main())
