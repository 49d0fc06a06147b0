"""sweepkit.exe under Wine against the Linux sweepkit: the same commands on
the same inputs give the same bytes (exit codes, output, every file
written), for the example's manifests and generated ones. Run one with:
python3 windows_cli.py <name>."""
import json
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

EXAMPLES = os.path.join(h.ROOT, "examples")
SWEEPKIT_EXE = os.path.join(h.DIST, "sweepkit.exe")
# per code page: names only that code page holds beside ASCII
NAMES = {1252: ["Vantör", "Glïder Ñotes", "straße"], 1251: ["Рабочий", "Глайдер"], 932: ["ボマ表", "グライダー"]}


def generated(codepage, count):
    """A manifest of count files in folders of twenty, named in the code
    page, with shortcuts, keys and a named value."""
    with open(os.path.join(EXAMPLES, "vantor-gliders.json"), encoding="utf-8") as f:
        m = json.load(f)
    names = NAMES[codepage]
    m["codepage"] = codepage
    m["files"] = [{"dir": "{app}\\%s %d" % (names[i % len(names)], i // 20),
                   "name": "%s %04d.dat" % (names[(i + 1) % len(names)], i)} for i in range(count)]
    m["files"] += [{"dir": "{app}\\%s %d" % (names[i % len(names)], i), "name": ""} for i in range(count // 20)]
    m["shortcuts"] = [{"dir": "{programs}\\{group}", "name": "%s.lnk" % n} for n in names]
    m["keys"] = [{"root": "HKEY_CURRENT_USER", "path": "Software\\Vantor\\%s" % n} for n in names]
    return m


def inputs():
    """(file name, manifest text) of every case; the last is refused."""
    cases = []
    for name, path in [("example-1.0", "vantor-gliders.json"), ("example-1.1", "vantor-gliders-1.1.json"),
                       ("literal", os.path.join("literal", "vantor-gliders.json"))]:
        with open(os.path.join(EXAMPLES, path), encoding="utf-8") as f:
            cases.append((name + ".json", f.read()))
    for codepage, count in [(1252, 600), (1251, 60), (932, 60)]:
        cases.append(("tree-%d.json" % codepage, json.dumps(generated(codepage, count), ensure_ascii=False, indent=1)))
    refused = generated(1252, 3)
    refused["files"][1]["name"] = "Глайдер.dat"  # not in code page 1252
    refused["keys"].append({"root": "HKEY_LOCAL_MACHINE", "path": "Software"})
    cases.append(("refused.json", json.dumps(refused, ensure_ascii=False)))
    return cases


def commands(cases):
    runs = []
    for name, text in cases:
        base = name[:-5]
        codepage = json.loads(text)["codepage"]
        cp = ["--codepage", str(codepage)]
        runs += [["pack", "--stub", "stub.exe", "--manifest", name, "--template", "--out", base + ".skt"],
                 ["pack", "--stub", "stub.exe", "--manifest", name, "--out", base + ".exe",
                  "--set", "group=Vantor Gliders", "--set", "app=C:\\Program Files\\Vantor",
                  "--set", "desktop=C:\\Users\\Public\\Desktop", "--set", "programs=C:\\ProgramData\\Start Menu\\Programs"],
                 ["inspect", base + ".skt"], ["inspect", base + ".exe"] + cp,
                 ["plan", base + ".skt", "--set", "group=Vantor"] + cp,
                 ["plan", base + ".exe", "--install-dir", "C:\\Program Files\\Vantor"] + cp]
    return runs + [["--version"], ["pack", "--stub", "stub.exe"]]


def batch_line(i, args):
    quoted = " ".join('"%s"' % a if " " in a else a for a in args)
    return "sweepkit.exe %s >out-%d.txt 2>err-%d.txt\r\necho %%ERRORLEVEL%% >rc-%d.txt\r\n" % (quoted, i, i, i)


def lay_out(folder, cases):
    os.makedirs(folder)
    shutil.copy(h.stub_path(), os.path.join(folder, "stub.exe"))
    for name, text in cases:
        with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
            f.write(text)


def everything(folder):
    """Every file of the folder, with its bytes; the exit codes as numbers."""
    files = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        files[name] = int(data.split()[0]) if name.startswith("rc-") else data
    return files


def same_output(name):
    """Every command on every case, once with each program: the folders end
    up the same, byte for byte."""
    h.check(os.path.exists(SWEEPKIT_EXE), "%s is missing; run `make all`" % SWEEPKIT_EXE)
    cases = inputs()
    runs = commands(cases)
    with h.Session(name) as s:
        linux, windows = os.path.join(s.dir, "linux"), os.path.join(s.dir, "windows")
        lay_out(linux, cases)
        lay_out(windows, cases)
        for i, args in enumerate(runs):
            with open(os.path.join(linux, "out-%d.txt" % i), "wb") as out, \
                    open(os.path.join(linux, "err-%d.txt" % i), "wb") as err:
                rc = subprocess.run([os.path.join(h.DIST, "sweepkit")] + args, cwd=linux, stdout=out, stderr=err,
                                    timeout=120).returncode
            with open(os.path.join(linux, "rc-%d.txt" % i), "w") as f:
                f.write("%d\n" % rc)
        shutil.copy(SWEEPKIT_EXE, os.path.join(windows, "sweepkit.exe"))
        with open(os.path.join(windows, "all.bat"), "w", encoding="ascii", newline="") as f:
            f.write("@echo off\r\n" + "".join(batch_line(i, a) for i, a in enumerate(runs)))
        # one Wine start for all of them: each costs seconds under the emulator
        rc, so, se = h.run_bounded(["wine", "cmd", "/c", "all.bat"], s.env, 600, cwd=windows,
                                   on_timeout=s.kill_wine)
        # (cmd's own exit code is the last command's)
        h.check(os.path.exists(os.path.join(windows, "rc-%d.txt" % (len(runs) - 1))),
                "the batch stopped (%d): %s %s" % (rc, so.decode("latin-1"), se.decode("latin-1")))
        os.unlink(os.path.join(windows, "all.bat"))
        os.unlink(os.path.join(windows, "sweepkit.exe"))
        got, want = everything(windows), everything(linux)
        h.check(sorted(got) == sorted(want), "files differ: %s" % sorted(set(got) ^ set(want)))
        differ = [n for n in want if got[n] != want[n]]
        shown = ["%s: %r\n   vs %r" % (n, got[n][:300], want[n][:300]) for n in differ[:3]]
        h.check(not differ, "%d of %d differ:\n%s" % (len(differ), len(want), "\n".join(shown)))
        # the cases did what they were meant to: all but the refused case's
        # six and the usage error succeed
        rcs = [want["rc-%d.txt" % i] for i in range(len(runs))]
        h.check(rcs == [0] * (len(runs) - 8) + [1] * 6 + [0, 2], "exit codes %r" % rcs)
        print("%d commands, %d files the same" % (len(runs), len(want)))


def release_archive(name):
    """The Windows release archive unpacked into an empty folder builds the
    example installer on its own (makensis running its sweepkit.exe through
    Wine), recording the example's hand-written manifest; its sweepkit.exe
    prints the archive's version."""
    archives = [n for n in os.listdir(h.DIST) if n.startswith("sweepkit-") and n.endswith("-windows.zip")]
    h.check(len(archives) == 1, "run `make release`: %r" % archives)
    sys.path.insert(0, os.path.join(h.ROOT, "tests", "nsis"))
    import test_release  # noqa: E402
    with h.Session(name) as s:
        with zipfile.ZipFile(os.path.join(h.DIST, archives[0])) as z:
            z.extractall(os.path.join(s.dir, "unpacked"))
        (top,) = [os.path.join(s.dir, "unpacked", d) for d in os.listdir(os.path.join(s.dir, "unpacked"))]
        version = os.path.basename(top).split("-")[1]
        h.check(not os.path.exists(os.path.join(top, "sweepkit")), "the Linux program has no place here")
        rc, so, _ = h.run_bounded(["wine", os.path.join(top, "sweepkit.exe"), "--version"], s.env, 120)
        h.check(so.decode().strip() == "sweepkit %s" % version, "--version: %r" % so)
        wrapper = os.path.join(s.dir, "sweepkit-wine")
        with open(wrapper, "w") as f:
            f.write('#!/bin/sh\nexec wine "%s" "$@"\n' % os.path.join(top, "sweepkit.exe"))
        os.chmod(wrapper, 0o755)
        # makensis runs the wrapper, and Wine, with the session's prefix
        rc, text, recorded = test_release.build_example(top, os.path.join(s.dir, "work"),
                                                        ["-DSK_SWEEPKIT=%s" % wrapper], env=s.env)
        h.check(rc == 0, "building the example from the archive:\n" + text)
        from test_sweepkit_nsh import both_contexts  # noqa: E402
        with open(os.path.join(EXAMPLES, "vantor-gliders.json"), encoding="utf-8") as f:
            h.check(recorded == both_contexts(json.load(f)), "the recorded manifest: %r" % recorded)


SCENARIOS = {"wincli_same_output": same_output, "wincli_release_archive": release_archive}

if __name__ == "__main__":
    sys.exit(h.main(SCENARIOS))
