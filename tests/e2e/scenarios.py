"""End-to-end scenarios: the real stub under Wine, played by the driver.
Run one with: python3 scenarios.py <name> (ctest runs each as its own test)."""
import os
import sys

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
    """The example: confirm box owned by the hidden window, OK, the done box, exit 0."""
    m = h.load_example_manifest()
    t = dict(zip(h.STRING_ROLES, h.example_texts(m)))
    with h.Session(name) as s:
        stub = s.pack(m, INSTALL + "\\uninstall.exe")
        r = s.drive(["start %s" % h.quote(stub), "expect 20000", "press 1",
                     "expect 20000", "press 1", "wait 20000"])
        h.check(r.rc == 0 and r.exits == [0], "exit 0 expected", r)
        h.check(len(r.windows) == 2, "confirm and done boxes expected", r)
        h.assert_box(r.windows[0], t["caption"], t["confirm"], OK_CANCEL, "SweepkitClass", result=r)
        h.assert_box(r.windows[1], t["caption"], t["done"], OK_ONLY, "SweepkitClass", result=r)


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


SCENARIOS = {f.__name__: f for f in [
    driver_selftest, example_confirmed, example_cancelled, no_data, block_cut_short,
    first_header_cut,
]}

if __name__ == "__main__":
    sys.exit(h.main(SCENARIOS))
