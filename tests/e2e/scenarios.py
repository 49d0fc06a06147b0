"""End-to-end scenarios: the real stub under Wine, played by the driver.
Run one with: python3 scenarios.py <name> (ctest runs each as its own test)."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
OK_CANCEL = [(IDOK, "OK"), (IDCANCEL, "Cancel")]
OK_ONLY = [(IDOK, "OK")]


def driver_selftest(name):
    """The driver against the stand-in program: boxes, owners, keys, exit codes,
    file and registry commands."""
    with h.Session(name) as s:
        standin = s.tool("standin.exe")
        r = s.drive([
            "start %s owned 3" % h.quote(standin), "expect 20000", "press 1",
            "expect 10000", "key enter", "wait 10000",
            "start %s unowned -1" % h.quote(standin), "expect 20000", "key esc", "wait 10000",
            "start %s none 5" % h.quote(standin), "nowindow 5000", "wait 10000",
            'mkfile "C:\\self test\\a\\b.txt" readonly "hello"',
            'exists "C:\\self test\\a\\b.txt"',
            'hold "C:\\self test\\a\\b.txt"', 'release "C:\\self test\\a\\b.txt"',
            'regset HKLM "Software\\Sweepkit Self" "C:\\x y.dll" dword 3',
            'regvalue HKLM "Software\\Sweepkit Self" "C:\\x y.dll"',
            'regvalue HKLM "Software\\Sweepkit Self" "none"',
            'regabsent HKLM "Software\\Sweepkit Self\\Sub"',
        ])
        h.check(r.rc == 0 and r.exits == [3, -1, 5], "run", r)
        h.check(len(r.windows) == 3, "three boxes expected", r)
        h.assert_box(r.windows[0], "Uninstall", "Remove it?\nReally.", OK_CANCEL, "SweepkitClass", result=r)
        h.assert_box(r.windows[1], "Uninstall", "Done.", OK_ONLY, "SweepkitClass", result=r)
        h.assert_box(r.windows[2], "", 'Broken "C:\\x"', OK_ONLY, "none", result=r)
        h.check(all(c.get("weight", 0) >= 0 and "dlu" in c for c in r.windows[0]["controls"]),
                "inside description expected", r)
        path = s.unix("C:\\self test\\a\\b.txt")
        h.check(open(path, "rb").read() == b"hello" and not os.stat(path).st_mode & 0o222,
                "mkfile content/readonly", r)
        h.check(r.regvalues[("Software\\Sweepkit Self", "C:\\x y.dll")] == "dword 3", "regvalue", r)
        h.check(r.regvalues[("Software\\Sweepkit Self", "none")] == "missing", "regvalue missing", r)
        # a failing check must fail the driver run
        r = s.drive(['exists "C:\\no such file"'])
        h.check(r.rc == 1 and len(r.failed_checks) == 1, "a failed check must fail", r)
        # the question box icon is told apart from the information icon
        r = s.drive(["start %s question 0" % h.quote(standin), "expect 20000", "press 7", "wait 10000"])
        h.check(r.windows and r.windows[0]["icon"] == "question", "question icon", r)


INSTALL = "C:\\Program Files\\Vantor Gliders"


def example_confirmed(name):
    """The example installed and confirmed: confirm box owned by the hidden window,
    OK, the done box, exit 0; files, shortcuts, their folder and the key tree
    are gone, and the batch script removes the stub, the folder and itself."""
    m = h.load_example_manifest()
    t = dict(zip(h.STRING_ROLES, h.example_texts(m)))
    key = h.ansi(m["keys"][0]["path"], m["codepage"])
    with h.Session(name) as s:
        install = h.example_install(m, INSTALL)
        made = [l.split(" ", 1)[1] for l in install if l.startswith("mkfile")]
        menu = h.ansi(m["shortcuts"][0]["dir"], m["codepage"])
        stub = s.pack(m, INSTALL + "\\uninstall.exe")
        r = s.drive(install + [
            "regkey HKLM %s" % h.quote(key + "\\Sub\\Leaf"),
            "start %s" % h.quote(stub), "expect 20000", "press 1",
            "expect 20000", "press 1", "wait 20000"] +
            ["absent %s" % p for p in made] +
            ["absent %s" % h.quote(menu), "regabsent HKLM %s" % h.quote(key),
             "exists %s" % h.quote(menu.rsplit("\\", 1)[0]),
             "waitabsent %s 20000" % h.quote(stub), "waitabsent %s 20000" % h.quote(INSTALL),
             "waitabsent C:\\Delme.bat 20000"])
        h.check(r.rc == 0 and r.exits == [0], "exit 0 and everything removed expected", r)
        h.check(len(r.windows) == 2, "confirm and done boxes expected", r)
        h.assert_box(r.windows[0], t["caption"], t["confirm"], OK_CANCEL, "SweepkitClass", result=r)
        h.assert_box(r.windows[1], t["caption"], t["done"], OK_ONLY, "SweepkitClass", result=r)


TEXTS = {
    "caption": "Remove Test", "confirm": "Remove the test app?", "done": "Test app removed.",
    "yes": "&Yes", "yes_all": "Yes to &all", "no": "&No", "no_all": "No t&o all",
    "out_of_memory": "Out of memory!", "invalid_info": "Invalid: %s",
    "write_protected": "The following file is write-protected:\n%s\nDo you want to remove it anyway?",
    "shared_unused": "The following system file is apparently no longer used:\n%s\nDo you want to remove it?",
}


def manifest(files=(), shortcuts=(), keys=()):
    return {"codepage": 1252, "strings": dict(TEXTS), "files": list(files),
            "shortcuts": list(shortcuts), "keys": list(keys)}


def run_confirmed(s, install_dir, m, middle, before=(), after=(), stub_name="uninstall.exe"):
    """Packs m into install_dir, runs it, confirms; `middle` are the driver
    lines for whatever boxes come between the confirm and the done box."""
    stub = s.pack(m, install_dir + "\\" + stub_name)
    r = s.drive(list(before) + ["start %s" % h.quote(stub), "expect 20000", "press 1"] + list(middle) +
                ["expect 20000", "press 1", "wait 20000"] + list(after))
    h.check(r.windows and r.windows[-1]["text"] == TEXTS["done"], "the done box expected last", r)
    h.check(r.exits == [0], "exit 0 expected", r)
    return r


def example_cancelled(name):
    """Cancel at the confirmation: no done box, nothing removed, exit 0."""
    m = h.load_example_manifest()
    t = dict(zip(h.STRING_ROLES, h.example_texts(m)))
    with h.Session(name) as s:
        stub = s.pack(m, INSTALL + "\\uninstall.exe")
        keep = INSTALL + "\\readme.txt"
        r = s.drive(["mkfile %s" % h.quote(keep), "start %s" % h.quote(stub), "expect 20000",
                     "press 2", "nowindow 5000", "wait 20000",
                     "exists %s" % h.quote(stub), "exists %s" % h.quote(keep)])
        h.check(r.rc == 0 and r.exits == [0], "exit 0 and nothing removed expected", r)
        h.check(len(r.windows) == 1, "only the confirm box expected", r)
        h.assert_box(r.windows[0], t["caption"], t["confirm"], OK_CANCEL, "SweepkitClass", result=r)
        h.check(not os.path.exists(s.unix("C:\\Delme.bat")), "no batch file after cancel", r)


def no_data(name):
    """A stub whose locator holds 0: no window at all, exit -1."""
    with h.Session(name) as s:
        stub = s.craft(h.strings_chunk(["Caption", "Confirm"]) + h.end_chunk(),
                       "C:\\nodata\\uninstall.exe", offset=0)
        r = s.drive(["start %s" % h.quote(stub), "nowindow 5000", "wait 20000"])
        h.check(r.rc == 0 and r.exits == [-1] and not r.windows, "silent exit -1 expected", r)


def block_cut_short(name):
    """Strings loaded, then the stream ends without TAG_END: the invalid-info box
    with the stub's own path, no owner, exit -1."""
    texts = ["Broken", "confirm", "done", "y", "ya", "n", "na", "no memory",
             "Damaged: %s (100%%)", "wp %s", "shared %s"]
    with h.Session(name) as s:
        stub = INSTALL + "\\un cut.exe"
        block = h.strings_chunk(texts) + h.files_chunk([(".", "app.exe")])
        s.craft(block[:-3], stub)  # the file record is cut inside its payload
        r = s.drive(["start %s" % h.quote(stub), "expect 20000", "press 1", "wait 20000",
                     "exists %s" % h.quote(stub)])
        h.check(r.rc == 0 and r.exits == [-1], "exit -1 expected", r)
        h.check(len(r.windows) == 1, "one box expected", r)
        h.assert_box(r.windows[0], "Broken", "Damaged: %s (100%%)".replace("%s", stub).replace("%%", "%"),
                     OK_ONLY, "none", result=r)


def first_header_cut(name):
    """Only 4 bytes of the first chunk header: an empty box, no owner, exit -1."""
    with h.Session(name) as s:
        stub = s.craft(h.strings_chunk(["Caption"])[:4], "C:\\headcut\\uninstall.exe")
        r = s.drive(["start %s" % h.quote(stub), "expect 20000", "key enter", "wait 20000"])
        h.check(r.rc == 0 and r.exits == [-1], "exit -1 expected", r)
        h.check(len(r.windows) == 1, "one box expected", r)
        h.assert_box(r.windows[0], "", "", OK_ONLY, "none", result=r)


def write_protected(name):
    """Read-only and held files: the prompt's look and its four answers."""
    d = "C:\\wp test"
    names = ["a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"]
    m = manifest(files=[{"dir": ".", "name": n} for n in names])
    p = {n: d + "\\" + n for n in names}
    with h.Session(name) as s:
        before = ["mkfile %s readonly" % h.quote(p[n]) for n in ("a.txt", "b.txt", "d.txt", "e.txt")]
        before += ["mkfile %s" % h.quote(p["c.txt"]), "hold %s" % h.quote(p["c.txt"]),
                   "mkfile %s" % h.quote(p["f.txt"])]
        middle = ["expect 20000", "key enter",        # a: Enter is Yes
                  "expect 20000", "press 7",          # b: No
                  "expect 20000", "key esc",          # c (held): Esc, stays
                  "expect 20000", "press 1001"]       # d: Yes to all; e goes without a prompt
        after = ["release %s" % h.quote(p["c.txt"])]
        after += ["absent %s" % h.quote(p[n]) for n in ("a.txt", "d.txt", "e.txt", "f.txt")]
        after += ["exists %s" % h.quote(p[n]) for n in ("b.txt", "c.txt")]
        r = run_confirmed(s, d, m, middle, before, after)
        h.check(r.rc == 0, "files", r)
        prompts = r.windows[1:-1]
        h.check(len(prompts) == 4, "four prompts expected", r)
        for win, n in zip(prompts, ("a.txt", "b.txt", "c.txt", "d.txt")):
            h.check(win["caption"] == TEXTS["caption"] and win["owner"] == "SweepkitClass", "prompt", r)
            h.check(win["text"] == TEXTS["write_protected"].replace("%s", p[n]), "prompt text", r)
        win = prompts[0]
        layout = {6: ("&Yes", (20, 52, 50, 14), True), 1001: ("Yes to &all", (75, 52, 50, 14), False),
                  7: ("&No", (130, 52, 50, 14), False), 1002: ("No t&o all", (186, 52, 50, 14), False)}
        h.check(sorted(b["id"] for b in win["buttons"]) == sorted(layout), "prompt buttons", r)
        for b in win["buttons"]:
            label, rect, default = layout[b["id"]]
            h.check(b["text"] == label and b["default"] == default and b["enabled"], "button %d" % b["id"], r)
            if "dlu" in b:
                h.check(all(abs(x - y) <= 1 for x, y in zip(b["dlu"], rect)),
                        "button %d at %r, not %r" % (b["id"], b["dlu"], rect), r)
        msg = [c for c in win["controls"] if c["id"] == 1000]
        h.check(len(msg) == 1, "message control 1000 expected", r)
        if "dlu" in msg[0]:
            h.check(all(abs(x - y) <= 1 for x, y in zip(msg[0]["dlu"], (7, 7, 243, 36))), "message rect", r)
        for c in win["controls"]:
            h.check(c.get("weight", 400) == 400, "control %d font weight %r" % (c["id"], c.get("weight")), r)


SHARED = "Software\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs"


def shared_dlls(name):
    """Shared files: counts above 1 go down and keep the file; at 0 the
    question decides, and Yes also drops the value."""
    d = "C:\\shared test"
    names = ["s3.dll", "s1no.dll", "s1yes.dll", "nocount.dll"]
    m = manifest(files=[{"dir": ".", "name": n, "shared": True} for n in names])
    p = {n: d + "\\" + n for n in names}
    with h.Session(name) as s:
        before = ["mkfile %s" % h.quote(p[n]) for n in names]
        before += ["regset HKLM %s %s dword %d" % (h.quote(SHARED), h.quote(p[n]), c)
                   for n, c in (("s3.dll", 3), ("s1no.dll", 1), ("s1yes.dll", 1))]
        middle = ["expect 20000", "press 7",   # s1no: No
                  "expect 20000", "press 6",   # s1yes: Yes
                  "expect 20000", "press 6"]   # nocount: Yes
        after = ["regvalue HKLM %s %s" % (h.quote(SHARED), h.quote(p[n])) for n in names]
        after += ["exists %s" % h.quote(p["s3.dll"]), "exists %s" % h.quote(p["s1no.dll"]),
                  "absent %s" % h.quote(p["s1yes.dll"]), "absent %s" % h.quote(p["nocount.dll"])]
        r = run_confirmed(s, d, m, middle, before, after)
        h.check(r.rc == 0, "files", r)
        v = lambda n: r.regvalues[(SHARED, p[n])]
        h.check((v("s3.dll"), v("s1no.dll"), v("s1yes.dll"), v("nocount.dll")) ==
                ("dword 2", "dword 0", "missing", "missing"), "shared counts", r)
        questions = r.windows[1:-1]
        h.check(len(questions) == 3, "three questions expected", r)
        for win, n in zip(questions, ("s1no.dll", "s1yes.dll", "nocount.dll")):
            h.assert_box(win, TEXTS["caption"], TEXTS["shared_unused"].replace("%s", p[n]),
                         [(IDYES, "&Yes"), (IDNO, "&No")], "SweepkitClass", icon="question", result=r)


def self_registering(name):
    """A self-registering server is unregistered before it is deleted; a DLL
    without the export and a missing one are simply deleted/skipped."""
    d = "C:\\selfreg test"
    m = manifest(files=[{"dir": ".", "name": n, "selfreg": True}
                        for n in ("selfreg.dll", "plain.dll", "missing.dll")])
    with h.Session(name) as s:
        import shutil
        os.makedirs(s.unix(d), exist_ok=True)
        for n in ("selfreg.dll", "plain.dll"):
            shutil.copy(os.path.join(h.WIN32_TOOLS, n), s.unix(d + "\\" + n))
        after = ["exists %s" % h.quote(d + "\\selfreg.dll.unregistered"),
                 "absent %s" % h.quote(d + "\\selfreg.dll"), "absent %s" % h.quote(d + "\\plain.dll"),
                 "absent %s" % h.quote(d + "\\plain.dll.unregistered")]
        r = run_confirmed(s, d, m, [], after=after)
        h.check(r.rc == 0 and len(r.windows) == 2, "unregistered and deleted without questions", r)


def fonts(name):
    """A font entry is deleted and its folder spared by the sweep."""
    d = "C:\\font test"
    m = manifest(files=[{"dir": ".\\fonts", "name": "test.ttf", "font": True},
                        {"dir": ".\\other", "name": "x.txt"}])
    with h.Session(name) as s:
        before = ["mkfile %s \"not really a font\"" % h.quote(d + "\\fonts\\test.ttf"),
                  "mkfile %s" % h.quote(d + "\\other\\x.txt")]
        after = ["absent %s" % h.quote(d + "\\fonts\\test.ttf"),
                 "exists %s" % h.quote(d + "\\fonts"), "absent %s" % h.quote(d + "\\other")]
        r = run_confirmed(s, d, m, [], before, after)
        h.check(r.rc == 0 and len(r.windows) == 2, "font entry", r)


def shortcuts_and_sweep(name):
    """Shortcut folders go with their last shortcut, folders with other files
    stay; the sweep removes emptied folders, one level each, and directory
    entries."""
    d = "C:\\sweep test"
    menu = "C:\\sweep menu\\Programs\\App"
    busy = "C:\\sweep menu\\Programs\\Busy"
    m = manifest(
        files=[{"dir": ".", "name": "app.exe"}, {"dir": ".", "name": "sub\\deep\\f.txt"},
               {"dir": ".\\sub", "name": "g.txt"}, {"dir": ".\\empty", "name": ""},
               {"dir": ".\\kept", "name": "k.txt"}],
        shortcuts=[{"dir": menu, "name": "a.lnk"}, {"dir": menu, "name": "b.lnk"},
                   {"dir": busy, "name": "c.lnk"}])
    with h.Session(name) as s:
        before = ["mkfile %s" % h.quote(d + "\\" + f) for f in
                  ("app.exe", "sub\\deep\\f.txt", "sub\\g.txt", "kept\\k.txt", "kept\\user.txt")]
        before += ["mkdir %s" % h.quote(d + "\\empty")]
        before += ["mkfile %s" % h.quote(p) for p in (menu + "\\a.lnk", menu + "\\b.lnk",
                                                     busy + "\\c.lnk", busy + "\\mine.lnk")]
        after = ["absent %s" % h.quote(menu), "exists %s" % h.quote(busy + "\\mine.lnk"),
                 "absent %s" % h.quote(busy + "\\c.lnk"), "exists \"C:\\sweep menu\\Programs\"",
                 "absent %s" % h.quote(d + "\\sub\\deep"), "absent %s" % h.quote(d + "\\sub"),
                 "absent %s" % h.quote(d + "\\empty"), "exists %s" % h.quote(d + "\\kept\\user.txt"),
                 "absent %s" % h.quote(d + "\\kept\\k.txt"),
                 # the folder still holds kept\, so the script leaves it; the stub goes
                 "waitabsent %s 20000" % h.quote(d + "\\uninstall.exe"),
                 "waitabsent C:\\Delme.bat 20000", "exists %s" % h.quote(d)]
        r = run_confirmed(s, d, m, [], before, after)
        h.check(r.rc == 0 and len(r.windows) == 2, "shortcuts and sweep", r)


def registry_trees(name):
    """Listed keys go with their whole subtree; siblings and parents stay; a
    missing key is passed over."""
    base = "Software\\Sweepkit E2E"
    m = manifest(keys=[{"root": "HKEY_CURRENT_USER", "path": base + "\\Tree"},
                       {"root": "HKEY_CURRENT_USER", "path": base + "\\Missing"},
                       {"root": 0x80000002, "path": base + "\\Machine"}])
    with h.Session(name) as s:
        before = ["regset HKCU %s v dword 1" % h.quote(base + "\\Tree\\A\\A1"),
                  "regkey HKCU %s" % h.quote(base + "\\Tree\\A\\A2"),
                  "regset HKCU %s v sz x" % h.quote(base + "\\Tree\\B"),
                  "regset HKCU %s v dword 2" % h.quote(base + "\\Tree"),
                  "regkey HKCU %s" % h.quote(base + "\\Keep"),
                  "regkey HKLM %s" % h.quote(base + "\\Machine\\Sub")]
        after = ["regabsent HKCU %s" % h.quote(base + "\\Tree"),
                 "regexists HKCU %s" % h.quote(base + "\\Keep"),
                 "regabsent HKLM %s" % h.quote(base + "\\Machine"),
                 "regexists HKLM %s" % h.quote(base)]
        r = run_confirmed(s, "C:\\reg test", m, [], before, after)
        h.check(r.rc == 0, "registry trees", r)


def chained_keys(name):
    """On the 95 family the key stage makes one RegDeleteKeyA per listed key
    and leaves the subkeys to it. The listed trees here are chains (each key
    has at most one subkey): Wine's own 95-family RegDeleteKeyA refuses, with
    error 5, a key whose subkeys branch (two children at one level), where
    real Windows 95 and 98 delete the whole tree. The host tests keep the
    branching tree against the simulated 95 family. Siblings and the parent
    stay; the file stage works as on NT."""
    if not h.Session.windows_version:
        h.Session.windows_version = "win98"
    base = "Software\\Sweepkit E2E 9x"
    m = manifest(files=[{"dir": ".", "name": "app.exe"}],
                 keys=[{"root": "HKEY_CURRENT_USER", "path": base + "\\Leaf"},
                       {"root": "HKEY_CURRENT_USER", "path": base + "\\Chain"},
                       {"root": "HKEY_LOCAL_MACHINE", "path": base + "\\Machine"}])
    with h.Session(name) as s:
        d = "C:\\chained keys"
        before = ["mkfile %s" % h.quote(d + "\\app.exe"), "regkey HKCU %s" % h.quote(base + "\\Leaf"),
                  "regset HKCU %s v dword 1" % h.quote(base + "\\Chain"),
                  "regset HKCU %s v sz x" % h.quote(base + "\\Chain\\A\\B\\C"),
                  "regkey HKCU %s" % h.quote(base + "\\Chained"),
                  "regset HKLM %s v dword 2" % h.quote(base + "\\Machine\\Sub")]
        after = ["absent %s" % h.quote(d + "\\app.exe"), "regabsent HKCU %s" % h.quote(base + "\\Leaf"),
                 "regabsent HKCU %s" % h.quote(base + "\\Chain"), "regexists HKCU %s" % h.quote(base + "\\Chained"),
                 "regabsent HKLM %s" % h.quote(base + "\\Machine"), "regexists HKLM %s" % h.quote(base)]
        r = run_confirmed(s, d, m, [], before, after)
        h.check(r.rc == 0, "95-family key removal under %s" % h.Session.windows_version, r)


def write_protected_all(name):
    """Read-only files answered Yes, No, No to all: the first is deleted, the
    rest stay read-only, the one after No to all without a prompt; a writable
    file after them is still deleted."""
    d = "C:\\wp all"
    names = ["f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt"]
    m = manifest(files=[{"dir": ".", "name": n} for n in names])
    p = {n: d + "\\" + n for n in names}
    with h.Session(name) as s:
        before = ["mkfile %s readonly" % h.quote(p[n]) for n in names[:4]]
        before += ["mkfile %s" % h.quote(p["f5.txt"])]
        middle = ["expect 20000", "press 6",       # f1: Yes
                  "expect 20000", "press 7",       # f2: No
                  "expect 20000", "press 1002"]    # f3: No to all; f4 stays unasked
        after = ["absent %s" % h.quote(p["f1.txt"]), "absent %s" % h.quote(p["f5.txt"])]
        after += ["exists %s" % h.quote(p[n]) for n in ("f2.txt", "f3.txt", "f4.txt")]
        r = run_confirmed(s, d, m, middle, before, after)
        h.check(r.rc == 0, "files", r)
        prompts = r.windows[1:-1]
        h.check(len(prompts) == 3, "exactly three prompts expected", r)
        for win, n in zip(prompts, ("f1.txt", "f2.txt", "f3.txt")):
            h.check(win["text"] == TEXTS["write_protected"].replace("%s", p[n]), "prompt for " + n, r)
        for n in ("f2.txt", "f3.txt", "f4.txt"):
            h.check(not os.stat(s.unix(p[n])).st_mode & 0o222, n + " must stay read-only", r)


def held_file(name):
    """A file held open without sharing (error 32): Yes clears the attribute
    and retries, so the prompt comes back for the same file until No; the
    answers leave the mode at Ask, so a later read-only file is asked too."""
    d = "C:\\held test"
    held, later = d + "\\held.txt", d + "\\later.txt"
    m = manifest(files=[{"dir": ".", "name": "held.txt"}, {"dir": ".", "name": "later.txt"}])
    with h.Session(name) as s:
        before = ["mkfile %s" % h.quote(held), "hold %s" % h.quote(held),
                  "mkfile %s readonly" % h.quote(later)]
        middle = ["expect 20000", "press 6", "expect 20000", "press 6", "expect 20000", "press 7",
                  "expect 20000", "press 6"]
        after = ["release %s" % h.quote(held), "exists %s" % h.quote(held), "absent %s" % h.quote(later)]
        r = run_confirmed(s, d, m, middle, before, after)
        h.check(r.rc == 0, "files", r)
        texts = [w["text"] for w in r.windows[1:-1]]
        want = [TEXTS["write_protected"].replace("%s", f) for f in (held, held, held, later)]
        h.check(texts == want, "three prompts for the held file, then one for the read-only one", r)


def shared_skips_treatments(name):
    """A shared self-registering DLL with other users (count 3) is neither
    unregistered nor deleted; the same DLL at count 1, answered Yes, loses its
    value, is unregistered and deleted."""
    d = "C:\\shared com"
    flags = {"shared": True, "selfreg": True}
    m = manifest(files=[dict(dir=".\\three", name="selfreg.dll", **flags),
                        dict(dir=".\\one", name="selfreg.dll", **flags)])
    three, one = d + "\\three\\selfreg.dll", d + "\\one\\selfreg.dll"
    with h.Session(name) as s:
        import shutil
        for path in (three, one):
            os.makedirs(os.path.dirname(s.unix(path)), exist_ok=True)
            shutil.copy(os.path.join(h.WIN32_TOOLS, "selfreg.dll"), s.unix(path))
        before = ["regset HKLM %s %s dword 3" % (h.quote(SHARED), h.quote(three)),
                  "regset HKLM %s %s dword 1" % (h.quote(SHARED), h.quote(one))]
        after = ["regvalue HKLM %s %s" % (h.quote(SHARED), h.quote(p)) for p in (three, one)]
        after += ["exists %s" % h.quote(three), "absent %s" % h.quote(three + ".unregistered"),
                  "absent %s" % h.quote(one), "exists %s" % h.quote(one + ".unregistered")]
        r = run_confirmed(s, d, m, ["expect 20000", "press 6"], before, after)
        h.check(r.rc == 0, "files", r)
        h.check(r.regvalues[(SHARED, three)] == "dword 2" and r.regvalues[(SHARED, one)] == "missing",
                "shared counts", r)
        h.check(len(r.windows) == 3 and r.windows[1]["text"] == TEXTS["shared_unused"].replace("%s", one),
                "one question, for the count-1 copy", r)


def _removed_itself(s, install_dir, stub_name, before=()):
    """Packs a one-file manifest as install_dir\\stub_name, runs it confirmed
    and checks that the script removed the stub, the folder and itself.
    Returns the stub's short path as Wine gives it."""
    stub = install_dir + "\\" + stub_name
    m = manifest(files=[{"dir": ".", "name": "app.exe"}])
    before = ["mkfile %s" % h.quote(install_dir + "\\app.exe"), "shortpath %s" % h.quote(stub)] + list(before)
    r = run_confirmed(s, install_dir, m, [], before,
                      ["waitabsent %s 20000" % h.quote(stub), "waitabsent %s 20000" % h.quote(install_dir),
                       "waitabsent C:\\Delme.bat 20000"], stub_name)
    h.check(r.rc == 0, "stub, folder and script gone expected for %s" % stub, r)
    h.check(stub in r.shortpaths, "short path of the stub", r)
    return r.shortpaths[stub]


def self_removal_paths(name):
    """The script removes stubs whose short paths hold characters that the
    command interpreter treats specially (percent signs, ampersands,
    parentheses, a caret), from long folders with blanks and parentheses, and
    from a non-ASCII folder."""
    with h.Session(name) as s:
        short = _removed_itself(s, "C:\\50% off", "uninstall.exe")
        # only meaningful while Wine's short form keeps the percent sign
        h.check(short.startswith("C:\\50%") and " " not in short, "short form %r" % short)
        _removed_itself(s, "C:\\Tom & Jerry\\App Folder", "uninstall.exe")
        _removed_itself(s, "C:\\Paren (x86)\\App", "uninstall.exe")
        # valid 8.3 names are their own short forms: %OS% must not expand
        stub = "C:\\T&J\\(x86)\\%OS%\\a^b%1.exe"
        short = _removed_itself(s, "C:\\T&J\\(x86)\\%OS%", "a^b%1.exe")
        h.check(short == stub, "short form %r" % short)
        _removed_itself(s, "C:\\Caf\xe9", "uninstall.exe")


def stub_read_only(name):
    """A read-only stub is still deleted by the script."""
    with h.Session(name) as s:
        stub = "C:\\ro stub\\uninstall.exe"
        _removed_itself(s, "C:\\ro stub", "uninstall.exe",
                        ["readonly %s" % h.quote(stub), "exists %s" % h.quote(stub)])


CSIDL_DESKTOP, CSIDL_PROGRAMS, CSIDL_FONTS = 0, 2, 20
CSIDL_COMMON_PROGRAMS, CSIDL_COMMON_DESKTOPDIRECTORY = 0x17, 0x19


def _empty_private_folder(s, winpath):
    """Makes the prefix's folder an empty real directory. The prefix's Desktop
    links to the user's home: only the link of this private prefix goes."""
    path = s.unix(winpath)
    if os.path.islink(path):
        os.unlink(path)
    os.makedirs(path, exist_ok=True)
    real = os.path.realpath(path)
    h.check(real.startswith(os.path.realpath(s.prefix) + os.sep), "%s is outside the prefix" % real)
    for entry in os.listdir(path):
        e = os.path.join(path, entry)
        if os.path.isdir(e) and not os.path.islink(e):
            import shutil
            shutil.rmtree(e)
        else:
            os.unlink(e)


def protected_folders(name):
    """Files directly in the Desktop, Fonts and Programs folders and in the
    all-users Desktop and Programs folders are deleted but the emptied folders
    stay (the Fonts one listed in other letter case); a program group folder
    inside Programs is removed."""
    csidls = (CSIDL_DESKTOP, CSIDL_FONTS, CSIDL_PROGRAMS, CSIDL_COMMON_DESKTOPDIRECTORY,
              CSIDL_COMMON_PROGRAMS)
    with h.Session(name) as s:
        r = s.drive(["specialfolder %d" % c for c in csidls])
        h.check(r.rc == 0 and len(r.folders) == len(csidls), "special folders", r)
        desktop, fonts, programs, all_desktop, all_programs = (r.folders[c] for c in csidls)
        for folder in (desktop, fonts, programs, all_desktop, all_programs):
            _empty_private_folder(s, folder)
        group = programs + "\\Vantor"
        m = manifest(files=[{"dir": ".", "name": "app.exe"},
                            {"dir": desktop, "name": "Vantor.lnk"},
                            {"dir": fonts.upper(), "name": "vantor.txt"},
                            {"dir": programs, "name": "Vantor.lnk"},
                            {"dir": group, "name": "Readme.lnk"},
                            {"dir": all_desktop, "name": "Vantor.lnk"},
                            {"dir": all_programs, "name": "Vantor.lnk"}])
        files = [desktop + "\\Vantor.lnk", fonts + "\\vantor.txt", programs + "\\Vantor.lnk",
                 group + "\\Readme.lnk", all_desktop + "\\Vantor.lnk", all_programs + "\\Vantor.lnk"]
        before = ["mkfile %s" % h.quote(f) for f in files + ["C:\\protected test\\app.exe"]]
        after = ["absent %s" % h.quote(f) for f in files]
        after += ["exists %s" % h.quote(f) for f in (desktop, fonts, programs, all_desktop, all_programs)]
        after += ["absent %s" % h.quote(group)]
        r = run_confirmed(s, "C:\\protected test", m, [], before, after)
        h.check(r.rc == 0 and len(r.windows) == 2, "protected folders", r)
        h.check(not os.path.islink(s.unix(desktop)) and not os.listdir(s.unix(desktop)), "desktop", r)


def _plan_outcome(text):
    """What `sweepkit plan` says will be gone and what will stay: (absent,
    present, keys), the last word on each path counting."""
    import re
    final, keys, section = {}, [], ""
    for line in text.splitlines():
        if line and not line.startswith(" "):
            section = line
        m = re.match(r"^\s+(?:delete|remove directory|then its folder|try) (.*)  \[(.*)\]$", line)
        if m:
            verdict = m.group(2)
            gone = verdict in ("deleted", "removed") or "self-removal script removes it" in verdict
            final[m.group(1)] = gone
        elif line.startswith("  spared "):
            final[line[len("  spared "):].split(": it is ")[0]] = False
        elif section.startswith("registry keys") and line.startswith("  delete "):
            keys.append(line[len("  delete "):])
    return ([p for p, gone in final.items() if gone], [p for p, gone in final.items() if not gone], keys)


def plan_matches_removal(name):
    """`sweepkit plan` of an uninstaller names exactly what the real stub then
    removes: every file, folder and key it says goes is gone, every folder it
    says stays is still there."""
    csidls = (CSIDL_DESKTOP, CSIDL_PROGRAMS, CSIDL_FONTS)
    with h.Session(name) as s:
        r = s.drive(["specialfolder %d" % c for c in csidls])
        h.check(r.rc == 0 and len(r.folders) == len(csidls), "special folders", r)
        desktop, programs, fonts = (r.folders[c] for c in csidls)
        for folder in (desktop, programs):
            _empty_private_folder(s, folder)
        install = "C:\\plan test"
        group = programs + "\\Plan Test"
        base = "Software\\Sweepkit E2E plan"
        m = manifest(files=[{"dir": ".", "name": "app.exe"}, {"dir": ".\\data", "name": "a.dat"},
                            {"dir": ".\\data\\deep", "name": "b.dat"}, {"dir": ".\\empty", "name": ""},
                            {"dir": desktop, "name": "Plan Test.lnk"}],
                     shortcuts=[{"dir": group, "name": "One.lnk"}, {"dir": group, "name": "Two.lnk"}],
                     keys=[{"root": "HKEY_CURRENT_USER", "path": base + "\\App"}])
        stub = s.pack(m, install + "\\uninstall.exe")
        rc, so, se = h.run_bounded([os.path.join(h.DIST, "sweepkit"), "plan", s.unix(stub),
                                    "--install-dir", install, "--set", "desktop=" + desktop,
                                    "--set", "programs=" + programs, "--set", "fonts=" + fonts],
                                   os.environ, 60)
        plan = so.decode("utf-8", "replace")
        h.check(rc == 0, "plan failed: %s%s" % (plan, se.decode("utf-8", "replace")))
        absent, present, keys = _plan_outcome(plan)
        h.check(len(absent) >= 9 and desktop in present and keys == ["HKCU\\" + base + "\\App"],
                "the plan names every item:\n" + plan)
        made = [install + "\\app.exe", install + "\\data\\a.dat", install + "\\data\\deep\\b.dat",
                desktop + "\\Plan Test.lnk", group + "\\One.lnk", group + "\\Two.lnk"]
        before = ["mkfile %s" % h.quote(f) for f in made] + ["mkdir %s" % h.quote(install + "\\empty"),
                                                              "regkey HKCU %s" % h.quote(base + "\\App\\Sub")]
        after = (["waitabsent %s 20000" % h.quote(p) for p in absent] +
                 ["exists %s" % h.quote(p) for p in present] +
                 ["regabsent HKCU %s" % h.quote(base + "\\App"), "regexists HKCU %s" % h.quote(base)])
        r = run_confirmed(s, install, m, [], before, after)
        h.check(r.rc == 0, "what the plan said:\n" + plan, r)


def damaged_lists(name):
    """List counts no allocation can hold end in the out-of-memory box with the
    stub's path (never in a wrapped-round allocation), exit -1; a key chunk
    that arrives before any key list still has its key deleted."""
    texts = ["Damaged", "Remove?", "Removed.", "y", "ya", "n", "na", "No memory for %s",
             "invalid %s", "wp %s", "shared %s"]
    import struct
    with h.Session(name) as s:
        for i, count in enumerate((0xFFFFFFFF, 0x3FFFFFFF, 0x30000000)):
            stub = "C:\\oom%d\\uninstall.exe" % i
            s.craft(h.strings_chunk(texts) + h.chunk(h.TAG_FILES, struct.pack("<I", count)) + h.end_chunk(), stub)
            r = s.drive(["start %s" % h.quote(stub), "expect 20000", "press 1", "wait 20000"])
            h.check(r.rc == 0 and r.exits == [-1], "exit -1 expected for count 0x%X" % count, r)
            h.check(len(r.windows) == 1, "one box expected", r)
            h.assert_box(r.windows[0], "Damaged", "No memory for " + stub, OK_ONLY, "none", result=r)

        base = "Software\\Sweepkit E2E early key"
        key = h.chunk(h.TAG_KEY, struct.pack("<I", 0x80000001) + h.counted(base + "\\Early"))
        stub = "C:\\early key\\uninstall.exe"
        s.craft(h.strings_chunk(texts) + key + h.end_chunk(), stub)
        r = s.drive(["regkey HKCU %s" % h.quote(base + "\\Early\\Sub"), "start %s" % h.quote(stub),
                     "expect 20000", "press 1", "expect 20000", "press 1", "wait 20000",
                     "regabsent HKCU %s" % h.quote(base + "\\Early"), "regexists HKCU %s" % h.quote(base)])
        h.check(r.rc == 0 and r.exits == [0], "the early key deleted, exit 0", r)


def _script_folders(s):
    """Folders a self-removal script of ours lived in, wherever they are."""
    found = []
    for root, dirs, _ in os.walk(os.path.join(s.prefix, "drive_c")):
        found += [os.path.join(root, d) for d in dirs if d.lower().startswith("~sk")]
    return found


def self_removal_nt(name):
    """On the NT family: two uninstallers confirmed at the same time both
    remove themselves and their folders, although a folder named Delme.bat
    stands in the root of the drive; no script is left in the root, and the
    scripts' own folders are gone."""
    with h.Session(name) as s:
        os.makedirs(s.unix("C:\\Delme.bat"))
        runs = []
        for folder in ("C:\\Twin A", "C:\\Twin B"):
            stub = folder + "\\uninstall.exe"
            s.pack(manifest(files=[{"dir": ".", "name": "app.exe"}]), stub)
            open(s.unix(folder + "\\app.exe"), "wb").close()
            runs.append(s.drive_async(["start %s" % h.quote(stub), "expect 60000", "press 1",
                                       "expect 60000", "press 1", "wait 60000",
                                       "waitabsent %s 60000" % h.quote(stub),
                                       "waitabsent %s 60000" % h.quote(folder)]))
        for run in runs:
            r = s.finish(run)
            h.check(r.rc == 0 and r.exits == [0], "both removed themselves", r)
        h.check(os.path.isdir(s.unix("C:\\Delme.bat")) and not os.listdir(s.unix("C:\\Delme.bat")),
                "the folder in the root untouched")
        root = [n for n in os.listdir(s.unix("C:\\")) if os.path.isfile(s.unix("C:\\" + n))]
        h.check(not [n for n in root if n.lower().endswith(".bat")], "no script in the root: %r" % root)
        deadline = time.time() + 30
        while _script_folders(s) and time.time() < deadline:
            time.sleep(0.5)
        h.check(not _script_folders(s), "the scripts' folders are gone: %r" % _script_folders(s))


SCENARIOS = {f.__name__: f for f in [
    damaged_lists,
    driver_selftest, example_confirmed, example_cancelled, no_data, block_cut_short,
    first_header_cut, write_protected, shared_dlls, self_registering, fonts,
    shortcuts_and_sweep, registry_trees, write_protected_all, held_file,
    shared_skips_treatments, self_removal_paths, stub_read_only, protected_folders,
    plan_matches_removal, self_removal_nt,
]}

# A representative set with Wine reporting older Windows versions, each run
# as <version>_<scenario>: the whole example with its self-removal, the
# write-protected prompt and its answers for all files, shared counts and
# their question, shortcuts and the sweep, and the key stage (the 95 family's
# single deletion with chained trees, NT 4.0's tree walk with branching ones).
# Only NT 4.0 checks the all-users folders, which Windows 95 does not have.
VERSION_SETS = {
    "win95": [example_confirmed, write_protected_all, shared_dlls, shortcuts_and_sweep, chained_keys],
    "win98": [example_confirmed, write_protected_all, shared_dlls, shortcuts_and_sweep, chained_keys],
    "nt40": [example_confirmed, write_protected_all, shared_dlls, shortcuts_and_sweep, registry_trees,
             protected_folders, self_removal_nt],
    "winxp": [self_removal_nt],
    "win10": [self_removal_nt],
}


def _under(version, fn):
    def scenario(name):
        h.Session.windows_version = version
        fn(name)
    scenario.__name__ = "%s_%s" % (version, fn.__name__)
    scenario.__doc__ = "%s With Wine reporting %s." % (fn.__doc__, version)
    return scenario


for _version, _fns in VERSION_SETS.items():
    for _fn in _fns:
        _scenario = _under(_version, _fn)
        SCENARIOS[_scenario.__name__] = _scenario

if __name__ == "__main__":
    sys.exit(h.main(SCENARIOS))
