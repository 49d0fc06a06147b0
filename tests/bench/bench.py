#!/usr/bin/env python3
"""make bench: the real stub under Wine, timed side by side with baseline
programs in one run, interleaved (stub, baseline, stub, baseline, ...).

  uninstall  an application of 10,000 small files in 200 folders and a
             1,000-key registry tree, installed fresh before every run;
             the packed stub (confirmed) against a program that only
             deletes each file, folder and key.
  load       a stub packed with 100,000 file records, cancelled at the
             confirmation, against a program that reads the same file in
             one piece, makes the loader's allocations and shows one box.

Times are the runner's, from CreateProcess to exit. The runner polls for
boxes every millisecond in every run, the baselines' included: under Wine
each poll costs the timed program a little, and both sides pay alike.
Everything lives in one
Wine prefix under build/bench; every external command is bounded. Run it
under an X server (scripts/bench starts xvfb-run). Standard library only."""
import argparse
import json
import os
import platform
import re
import shutil
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402  (bounded process runs)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DIST = os.path.join(ROOT, "dist")
TOOLS = os.path.join(ROOT, "build", "win32", "tests", "bench")
WORK = os.path.join(ROOT, "build", "bench")
PREFIX = os.path.join(WORK, "prefix")
DRIVE_C = os.path.join(PREFIX, "drive_c")

KEY_ROOT = "Software\\SweepkitBench\\Tree"
APP_DIR = "C:\\bench\\app"
LOAD_DIR = "C:\\bench\\load"
TOOLS_DIR = "C:\\bench\\tools"
STUB_NAME = "uninstall.exe"
RUN_TIMEOUT_MS = 300000
POLL_MS = 1


class BenchError(Exception):
    pass


def wine_env():
    env = dict(os.environ)
    env.update({"WINEPREFIX": PREFIX, "WINEARCH": "win32", "WINEDEBUG": "-all",
                "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"})
    return env


def run_bounded(cmd, timeout, env=None):
    """The e2e harness's bounded run (own process group, killed on timeout);
    returns (returncode, stdout text)."""
    try:
        rc, out, _ = harness.run_bounded(cmd, env or wine_env(), timeout)
    except harness.E2EError as e:
        raise BenchError(str(e).splitlines()[0])
    return rc, out.decode("latin-1", "replace")


def unix(win_path):
    assert win_path[:3].upper() == "C:\\"
    return os.path.join(DRIVE_C, *win_path[3:].split("\\"))


def wine(args, timeout):
    return run_bounded(["wine"] + args, timeout)


def prepare_prefix():
    stamp = os.path.join(PREFIX, ".sweepkit-bench-ready")
    if not os.path.exists(stamp):
        shutil.rmtree(PREFIX, ignore_errors=True)
        os.makedirs(WORK, exist_ok=True)
        print("bench: making the Wine prefix %s" % PREFIX, flush=True)
        run_bounded(["wineboot", "-i"], 300)
        run_bounded(["wineserver", "-w"], 120)
        open(stamp, "w").close()
    # One wineserver for the whole run, so that no run pays for its start.
    run_bounded(["wineserver", "-p"], 60)
    # Xvfb has no window manager: a managed window that is hidden makes Wine
    # wait 2 s for the manager's answer, which would swamp every box.
    rc, _ = wine(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"], 120)
    if rc != 0:
        raise BenchError("cannot set the X11 driver's Managed option")
    os.makedirs(unix(TOOLS_DIR), exist_ok=True)
    for name in ("runner.exe", "setup.exe", "baseline.exe", "loadbase.exe"):
        shutil.copy(os.path.join(TOOLS, name), os.path.join(unix(TOOLS_DIR), name))


def stop_wineserver():
    try:
        run_bounded(["wineserver", "-k"], 60)
    except BenchError as e:
        print("bench: %s" % e)


def strings():
    with open(os.path.join(ROOT, "examples", "literal", "vantor-gliders.json"), encoding="utf-8") as f:
        texts = json.load(f)["strings"]
    texts["confirm"] = "This program will uninstall the Sweepkit benchmark application. Click OK to continue."
    texts["done"] = "The Sweepkit benchmark application has been removed."
    return texts


def pack(manifest, out):
    path = out + ".json"
    with open(path, "w", encoding="utf-8") as f:
        json.dump(manifest, f)
    rc, text = run_bounded([os.path.join(DIST, "sweepkit"), "pack", "--stub",
                            os.path.join(DIST, "sweepkit-stub.exe"), "--manifest", path, "--out", out], 300,
                           env=dict(os.environ))
    if rc != 0:
        raise BenchError("sweepkit pack failed (%d): %s" % (rc, text))


def runner(args, program, timeout_ms=RUN_TIMEOUT_MS):
    """Runs one timed run through the runner. Returns a dict with elapsed,
    exit and the box times."""
    cmd = [TOOLS_DIR + "\\runner.exe", "--timeout", str(timeout_ms), "--poll", str(POLL_MS)] + args + ["--"] + program
    rc, text = wine(cmd, timeout_ms / 1000.0 + 60)
    result = {"boxes": [], "text": text, "rc": rc}
    for line in text.splitlines():
        parts = line.split()
        if parts[:1] == ["box"]:
            result["boxes"].append(float(parts[3]))
        elif parts[:1] == ["elapsed_ms"]:
            result["elapsed"] = float(parts[1])
        elif parts[:1] == ["exit"]:
            result["exit"] = int(parts[1])
    if rc != 0 or "elapsed" not in result or "unexpected box" in text:
        raise BenchError("runner failed (%d): %s %s\n%s" % (rc, " ".join(args), " ".join(program), text))
    return result


# ---- uninstall ---------------------------------------------------------------

def app_layout(folders, files_per_folder, with_keys=True):
    """The application: files grouped by folder, then the folders, then the
    key tree bottom-up (9 x 10 x 10 keys below the root: 1,000 keys)."""
    files, dirs = [], []
    n = 0
    for d in range(folders):
        folder = "folder%03d" % d
        dirs.append(folder)
        for _ in range(files_per_folder):
            files.append((folder, "file%05d.txt" % n))
            n += 1
    keys = []
    for a in range(9 if with_keys else 0):
        for b in range(10):
            for c in range(10):
                keys.append("Key%d\\Key%d\\Key%d" % (a, b, c))
            keys.append("Key%d\\Key%d" % (a, b))
        keys.append("Key%d" % a)
    if with_keys:
        keys.append("")
    return files, dirs, keys


def write_app(files, dirs, keys):
    lines = ["F %s\\%s" % f for f in files] + ["D %s" % d for d in dirs] + ["K %s" % k for k in keys]
    with open(unix("C:\\bench\\app.list"), "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    manifest = {
        "codepage": 1252,
        "strings": strings(),
        "files": [{"dir": ".\\" + d, "name": n} for d, n in files] + [{"dir": ".\\" + d, "name": ""} for d in dirs],
        "shortcuts": [],
        "keys": [{"root": "HKEY_LOCAL_MACHINE", "path": KEY_ROOT}] if keys else [],
    }
    pack(manifest, os.path.join(WORK, "uninstall.exe"))


def setup(mode):
    rc, text = wine([TOOLS_DIR + "\\setup.exe", mode, "C:\\bench\\app.list", APP_DIR, KEY_ROOT], 600)
    return rc, text.strip()


def install_app():
    shutil.rmtree(unix(APP_DIR), ignore_errors=True)
    rc, text = setup("install")
    if rc != 0:
        raise BenchError("setup install failed (%d) %s" % (rc, text))


def check_removed(side):
    rc, text = setup("check")
    if rc != 0:
        raise BenchError("%s left part of the application: %s" % (side, text))


def uninstall_stub():
    install_app()
    stub = APP_DIR + "\\" + STUB_NAME
    shutil.copy(os.path.join(WORK, "uninstall.exe"), unix(stub))
    r = runner(["--box", "1", "--box", "1", "--gone", stub, "--gone", APP_DIR, "--gone", "C:\\Delme.bat"], [stub])
    if r["exit"] != 0 or len(r["boxes"]) != 2:
        raise BenchError("stub run: exit %s, %d boxes\n%s" % (r.get("exit"), len(r["boxes"]), r["text"]))
    if "gone ok" not in r["text"]:
        raise BenchError("the self-removal script did not finish:\n%s" % r["text"])
    check_removed("the stub")
    return r


def uninstall_baseline():
    install_app()
    r = runner([], [TOOLS_DIR + "\\baseline.exe", "C:\\bench\\app.list", APP_DIR, KEY_ROOT])
    if r["exit"] != 0:
        raise BenchError("baseline: %d calls failed" % r["exit"])
    check_removed("the baseline")
    shutil.rmtree(unix(APP_DIR), ignore_errors=True)
    return r


# ---- load --------------------------------------------------------------------

def write_load(records):
    files = [{"dir": ".\\folder%03d" % (i // 500), "name": "file%06d.txt" % i} for i in range(records)]
    manifest = {"codepage": 1252, "strings": strings(), "files": files, "shortcuts": [], "keys": []}
    out = os.path.join(WORK, "load.exe")
    pack(manifest, out)
    os.makedirs(unix(LOAD_DIR), exist_ok=True)
    shutil.copy(out, unix(LOAD_DIR + "\\" + STUB_NAME))


def load_stub():
    r = runner(["--box", "2"], [LOAD_DIR + "\\" + STUB_NAME])
    if r["exit"] != 0 or len(r["boxes"]) != 1:
        raise BenchError("load stub: exit %s, %d boxes\n%s" % (r.get("exit"), len(r["boxes"]), r["text"]))
    return r


def load_baseline():
    r = runner(["--box", "2"], [TOOLS_DIR + "\\loadbase.exe", LOAD_DIR + "\\" + STUB_NAME])
    if r["exit"] != 0 or len(r["boxes"]) != 1:
        raise BenchError("load baseline: exit %s, %d boxes\n%s" % (r.get("exit"), len(r["boxes"]), r["text"]))
    return r


# ---- measuring ---------------------------------------------------------------

def span(values):
    return "%.1f ms (min %.1f – max %.1f)" % (statistics.median(values), min(values), max(values))


def measure(name, runs, stub_run, base_run, warmup):
    for _ in range(warmup):
        stub_run()
        base_run()
    stub, base, phases = [], [], []
    for i in range(runs):
        s = stub_run()
        b = base_run()
        stub.append(s["elapsed"])
        base.append(b["elapsed"])
        phases.append(s["boxes"])
        print("  %s run %d: stub %.1f ms, baseline %.1f ms (boxes at %s ms)" % (
            name, i + 1, s["elapsed"], b["elapsed"], ", ".join("%.1f" % t for t in s["boxes"])), flush=True)
    ratios = [s / b for s, b in zip(stub, base)]
    ratio = statistics.median(stub) / statistics.median(base)
    print("%s: stub %s" % (name, span(stub)))
    print("%s: baseline %s" % (name, span(base)))
    if all(len(p) == 2 for p in phases):
        first = [p[0] for p in phases]
        between = [p[1] - p[0] for p in phases]
        after = [s - p[1] for s, p in zip(stub, phases)]
        print("%s: stub phases: to confirmation %s; confirmation to completion box %s; completion box to exit %s"
              % (name, span(first), span(between), span(after)))
    print("%s: ratio %.2f (min %.2f – max %.2f)" % (name, ratio, min(ratios), max(ratios)), flush=True)
    return ratio


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return "%d cores, %s, %s" % (os.cpu_count() or 0, model, platform.release())


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--runs", type=int, default=7, help="timed runs of each side (default 7)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs of each side first (default 1)")
    ap.add_argument("--folders", type=int, default=200)
    ap.add_argument("--files-per-folder", type=int, default=50)
    ap.add_argument("--no-keys", action="store_true", help="leave the key tree out (to time the files alone)")
    ap.add_argument("--load-records", type=int, default=100000)
    ap.add_argument("--only", choices=("uninstall", "load"))
    ap.add_argument("--poll", type=int, default=1, help="the runner's poll interval for boxes, ms (default 1)")
    args = ap.parse_args()
    global POLL_MS
    POLL_MS = args.poll
    if not os.environ.get("DISPLAY"):
        print("bench: no DISPLAY; run it through scripts/bench (xvfb-run)")
        return 2
    for need in (os.path.join(DIST, "sweepkit"), os.path.join(DIST, "sweepkit-stub.exe"),
                 os.path.join(TOOLS, "runner.exe")):
        if not os.path.exists(need):
            print("bench: %s is missing; run `make all` first" % need)
            return 2
    started = time.monotonic()
    print("bench: machine: %s" % machine())
    try:
        prepare_prefix()
        if args.only in (None, "uninstall"):
            files, dirs, keys = app_layout(args.folders, args.files_per_folder, not args.no_keys)
            print("bench: uninstall: %d files in %d folders, %d keys; %d runs each side after %d warm-up" % (
                len(files), len(dirs), len(keys), args.runs, args.warmup), flush=True)
            write_app(files, dirs, keys)
            measure("uninstall", args.runs, uninstall_stub, uninstall_baseline, args.warmup)
        if args.only in (None, "load"):
            print("bench: load: %d file records; %d runs each side after %d warm-up" % (
                args.load_records, args.runs, args.warmup), flush=True)
            write_load(args.load_records)
            measure("load", args.runs, load_stub, load_baseline, args.warmup)
    except BenchError as e:
        print("bench: FAILED: %s" % e)
        return 1
    finally:
        stop_wineserver()
    print("bench: done in %.0f s" % (time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
