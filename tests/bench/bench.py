#!/usr/bin/env python3
"""make bench: the real stub under Wine against floor programs that do only
part of its work, in interleaved rounds.

  uninstall  an application of 100, 1,000, 10,000 and 50,000 small files
             (50 a folder, one key for every ten files), installed fresh
             before every run that removes it. Each round runs, in an order
             rotated from round to round:
               stub      the packed stub, confirmed;
               loop      the bare deletion loop: one call per file, folder
                         and key;
               boxloop   the stub's two boxes around the bare loop;
               box       a program that only shows the confirmation box;
               ole       the same with the stub's system DLLs and OLE.
  load       a stub packed with 100,000 file records, cancelled at the
             confirmation, against a program that reads the same file in
             one piece, makes the loader's allocations and shows one box.
  install    (--install-cost, on its own) the silent install of 10,000
             small files (50 a folder) by an installer whose script puts
             them in through Sweepkit.nsh's ${SkTree}, against the same
             files put in by a plain `File /r`; each run into a folder
             removed before it.

Every program runs as a fresh copy of its file, after the same settling
(the file system synced, then a pause), and only once no script interpreter
of an earlier run is left. The runner times from CreateProcess to exit and
notes when each box appeared, which splits the stub's run into start (to the
confirmation box), removal (to the completion box) and end (to exit). Each
ratio is the median of the per-round ratios, with their interquartile range:

  uninstall  stub / loop, whole runs
  removal    stub / boxloop, confirmation to completion box
  startup    stub / ole, start to the confirmation box
  confirmed  stub / boxloop, whole runs
  load       stub / loader floor, whole runs
  install    through the header / plain File /r, whole runs

Everything lives in one Wine prefix under build/bench; every external
command is bounded. Run it under an X server (scripts/bench starts
xvfb-run). Standard library only."""
import argparse
import json
import os
import platform
import re
import shutil
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchstats  # noqa: E402  (the arithmetic, checked on the host)

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
FRESH_DIR = "C:\\bench\\fresh"
INTERPRETER = "cmd.exe"
STUB_NAME = "uninstall.exe"
RUN_TIMEOUT_MS = 300000
POLL_MS = 1
SETTLE_S = 1.0


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
    for name in ("runner.exe", "setup.exe", "baseline.exe", "boxloop.exe", "loadbase.exe",
                 "floorbox.exe", "floorole.exe"):
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


# Another build of the stub (--baseline): packed with the same data, run
# interleaved with this one; its ratios are this stub's over it.
BASELINE = None


def pack(manifest, out, stub=None):
    path = out + ".json"
    with open(path, "w", encoding="utf-8") as f:
        json.dump(manifest, f)
    rc, text = run_bounded([os.path.join(DIST, "sweepkit"), "pack", "--stub",
                            stub or os.path.join(DIST, "sweepkit-stub.exe"), "--manifest", path, "--out", out],
                           300, env=dict(os.environ))
    if rc != 0:
        raise BenchError("sweepkit pack failed (%d): %s" % (rc, text))


def settle():
    """The same for every run: what earlier runs wrote goes to disk, then a
    pause."""
    os.sync()
    time.sleep(SETTLE_S)


_fresh_count = [0]


def fresh_copy(source_unix, name):
    """A new file with the program, in a folder of its own; returns its
    Windows path. The folders of earlier copies go first."""
    shutil.rmtree(unix(FRESH_DIR), ignore_errors=True)
    _fresh_count[0] += 1
    folder = "%s\\%05d" % (FRESH_DIR, _fresh_count[0])
    os.makedirs(unix(folder))
    path = folder + "\\" + name
    shutil.copy(source_unix, unix(path))
    return path


def runner(args, program, timeout_ms=RUN_TIMEOUT_MS):
    """One timed run through the runner, after the settling and once no
    script interpreter is left. Returns benchstats.parse_runner's dict."""
    settle()
    cmd = ([TOOLS_DIR + "\\runner.exe", "--timeout", str(timeout_ms), "--poll", str(POLL_MS),
            "--idle", INTERPRETER] + args + ["--"] + program)
    rc, text = wine(cmd, timeout_ms / 1000.0 + 60)
    try:
        result = benchstats.parse_runner(text)
    except benchstats.RunnerOutputError as e:
        raise BenchError("runner failed (%d): %s %s\n%s" % (rc, " ".join(args), " ".join(program), e))
    if rc != 0 or result["unexpected"] or result["idle"] != "ok":
        raise BenchError("runner failed (%d): %s %s\n%s" % (rc, " ".join(args), " ".join(program), text))
    result["text"] = text
    return result


# ---- uninstall ---------------------------------------------------------------

FILES_PER_FOLDER = 50
FILES_PER_KEY = 10
KEYS_PER_GROUP = 10


def app_layout(file_count):
    """The application: files grouped by folder, then the folders, then the
    key tree bottom-up (groups of ten keys below the root, then the root)."""
    files, dirs = [], []
    for n in range(file_count):
        folder = "folder%04d" % (n // FILES_PER_FOLDER)
        if not dirs or dirs[-1] != folder:
            dirs.append(folder)
        files.append((folder, "file%05d.txt" % n))
    groups = max(1, round(file_count / FILES_PER_KEY / (KEYS_PER_GROUP + 1)))
    keys = []
    for g in range(groups):
        keys += ["Key%d\\Key%d" % (g, k) for k in range(KEYS_PER_GROUP)]
        keys.append("Key%d" % g)
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
        "keys": [{"root": "HKEY_LOCAL_MACHINE", "path": KEY_ROOT}],
    }
    pack(manifest, os.path.join(WORK, "uninstall.exe"))
    if BASELINE:
        pack(manifest, os.path.join(WORK, "baseline.exe"), BASELINE)


def setup(mode):
    rc, text = wine([TOOLS_DIR + "\\setup.exe", mode, "C:\\bench\\app.list", APP_DIR, KEY_ROOT], 1200)
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


def box_texts():
    texts = strings()
    return [texts["caption"], texts["confirm"], texts["done"]]


def script_folders():
    """Folders the NT family's self-removal script lives in, in the temporary folders."""
    found = []
    for root, dirs, _ in os.walk(os.path.join(PREFIX, "drive_c", "users")):
        found += [d for d in dirs if d.lower().startswith("~sk")]
    return found


def run_stub(image="uninstall.exe"):
    install_app()
    # A fresh copy in the installation folder, where it finds that folder.
    stub = APP_DIR + "\\" + STUB_NAME
    shutil.copy(os.path.join(WORK, image), unix(stub))
    r = runner(["--box", "1", "--box", "1", "--gone", stub, "--gone", APP_DIR, "--gone", "C:\\Delme.bat"], [stub])
    if r["exit"] != 0 or len(r["boxes"]) != 2:
        raise BenchError("stub run: exit %s, %d boxes\n%s" % (r["exit"], len(r["boxes"]), r["text"]))
    # The script's last line removes its own folder, after the stub's.
    deadline = time.monotonic() + 60
    while script_folders() and time.monotonic() < deadline:
        time.sleep(0.1)
    if r["gone"] != "ok" or script_folders():
        raise BenchError("the self-removal script did not finish: %r\n%s" % (script_folders(), r["text"]))
    check_removed("the stub")
    return r


def run_loop(with_boxes):
    install_app()
    name = "boxloop.exe" if with_boxes else "baseline.exe"
    program = [fresh_copy(unix(TOOLS_DIR + "\\" + name), name), "C:\\bench\\app.list", APP_DIR, KEY_ROOT]
    r = runner(["--box", "1", "--box", "1"] if with_boxes else [], program + (box_texts() if with_boxes else []))
    if r["exit"] != 0:
        raise BenchError("%s: %d calls failed" % (name, r["exit"]))
    if len(r["boxes"]) != (2 if with_boxes else 0):
        raise BenchError("%s: %d boxes\n%s" % (name, len(r["boxes"]), r["text"]))
    check_removed(name)
    shutil.rmtree(unix(APP_DIR), ignore_errors=True)
    return r


def run_box(name):
    texts = box_texts()
    r = runner(["--box", "1"], [fresh_copy(unix(TOOLS_DIR + "\\" + name), name), texts[0], texts[1]])
    if r["exit"] != 0 or len(r["boxes"]) != 1:
        raise BenchError("%s: exit %s, %d boxes\n%s" % (name, r["exit"], len(r["boxes"]), r["text"]))
    return r


UNINSTALL_SIDES = {
    "stub": run_stub,
    "loop": lambda: run_loop(False),
    "boxloop": lambda: run_loop(True),
    "box": lambda: run_box("floorbox.exe"),
    "ole": lambda: run_box("floorole.exe"),
}


def rounds(name, sides, count, warmup):
    """count timed rounds after warmup untimed ones; each round runs every
    side once, in round_order. Returns {side: [run, ...]} in round order."""
    names = list(sides)
    for i in range(warmup):
        for side in benchstats.round_order(names, i):
            sides[side]()
    runs = {side: [] for side in names}
    for i in range(count):
        times = []
        for side in benchstats.round_order(names, i):
            r = sides[side]()
            runs[side].append(r)
            times.append("%s %.1f" % (side, r["elapsed"]))
        print("  %s round %d: %s ms" % (name, i + 1, ", ".join(times)), flush=True)
    return runs


def uninstall_ratios(runs):
    """{ratio name: benchstats.Ratio} for one size's rounds."""
    elapsed = {side: [r["elapsed"] for r in rs] for side, rs in runs.items()}
    phase = {side: [benchstats.phases(r) for r in rs] for side, rs in runs.items() if side != "loop"}
    return {
        "uninstall": benchstats.Ratio(elapsed["stub"], elapsed["loop"]),
        "removal": benchstats.Ratio([p["between"] for p in phase["stub"]],
                                    [p["between"] for p in phase["boxloop"]]),
        "startup": benchstats.Ratio([p["start"] for p in phase["stub"]], [p["start"] for p in phase["ole"]]),
        "startup over the box alone": benchstats.Ratio([p["start"] for p in phase["stub"]],
                                                       [p["start"] for p in phase["box"]]),
        "confirmed": benchstats.Ratio(elapsed["stub"], elapsed["boxloop"]),
    }


def print_phases(label, runs):
    """Where each side's time went: the fixed cost's account."""
    for side, rs in runs.items():
        parts = ["whole %s" % benchstats.spread([r["elapsed"] for r in rs])]
        if side != "loop":
            ph = [benchstats.phases(r) for r in rs]
            for key in benchstats.PHASES:
                if key in ph[0]:
                    parts.append("%s %s" % (key, benchstats.spread([p[key] for p in ph])))
        print("%s: %s: %s" % (label, side, "; ".join(parts)), flush=True)


def baseline_ratios(runs):
    """This stub over the baseline, paired by round."""
    phase = {side: [benchstats.phases(r) for r in rs] for side, rs in runs.items()}
    return {
        "removal": benchstats.Ratio([p["between"] for p in phase["stub"]],
                                    [p["between"] for p in phase["baseline"]]),
        "confirmed": benchstats.Ratio([r["elapsed"] for r in runs["stub"]],
                                      [r["elapsed"] for r in runs["baseline"]]),
    }


def measure_uninstall(sizes, count, warmup):
    """Ratios per size; returns {size: {ratio name: Ratio}}."""
    result = {}
    for size in sizes:
        files, dirs, keys = app_layout(size)
        print("bench: uninstall: %d files in %d folders, %d keys; %d rounds after %d warm-up" % (
            len(files), len(dirs), len(keys), count, warmup), flush=True)
        write_app(files, dirs, keys)
        sides = {"stub": run_stub, "baseline": lambda: run_stub("baseline.exe")} if BASELINE else UNINSTALL_SIDES
        runs = rounds("uninstall %d" % size, sides, count, warmup)
        label = "uninstall at %d files" % size
        print_phases(label, runs)
        ratios = baseline_ratios(runs) if BASELINE else uninstall_ratios(runs)
        for name, r in ratios.items():
            print(marked(r.line("%s at %d files" % (name, size))), flush=True)
        result[size] = ratios
    return result


# ---- load --------------------------------------------------------------------

def write_load(records):
    files = [{"dir": ".\\folder%03d" % (i // 500), "name": "file%06d.txt" % i} for i in range(records)]
    manifest = {"codepage": 1252, "strings": strings(), "files": files, "shortcuts": [], "keys": []}
    pack(manifest, os.path.join(WORK, "load.exe"))


def run_load_stub():
    shutil.rmtree(unix(LOAD_DIR), ignore_errors=True)
    os.makedirs(unix(LOAD_DIR))
    stub = LOAD_DIR + "\\" + STUB_NAME
    shutil.copy(os.path.join(WORK, "load.exe"), unix(stub))
    r = runner(["--box", "2"], [stub])
    if r["exit"] != 0 or len(r["boxes"]) != 1:
        raise BenchError("load stub: exit %s, %d boxes\n%s" % (r["exit"], len(r["boxes"]), r["text"]))
    return r


def run_load_floor():
    shutil.rmtree(unix(LOAD_DIR), ignore_errors=True)
    os.makedirs(unix(LOAD_DIR))
    data = LOAD_DIR + "\\" + STUB_NAME
    shutil.copy(os.path.join(WORK, "load.exe"), unix(data))
    r = runner(["--box", "2"], [fresh_copy(unix(TOOLS_DIR + "\\loadbase.exe"), "loadbase.exe"), data])
    if r["exit"] != 0 or len(r["boxes"]) != 1:
        raise BenchError("load floor: exit %s, %d boxes\n%s" % (r["exit"], len(r["boxes"]), r["text"]))
    return r


def measure_load(records, count, warmup):
    print("bench: load: %d file records; %d rounds after %d warm-up" % (records, count, warmup), flush=True)
    write_load(records)
    runs = rounds("load", {"stub": run_load_stub, "floor": run_load_floor}, count, warmup)
    print_phases("load", runs)
    return benchstats.Ratio([r["elapsed"] for r in runs["stub"]], [r["elapsed"] for r in runs["floor"]])


# ---- install -----------------------------------------------------------------

INSTALL_DIR = "C:\\bench\\install"

INSTALL_SCRIPTS = {
    "header": r"""Unicode false
OutFile "${OUTFILE}"
RequestExecutionLevel admin
!include Sweepkit.nsh
Section
  ${SkUninstaller}
  ${SkOutPath} "$INSTDIR"
  ${SkTree} "${TREE}"
SectionEnd
${SkFinish} "Sweepkit Bench" "Sweepkit Bench" "1.0"
""",
    "plain": r"""Unicode false
OutFile "${OUTFILE}"
RequestExecutionLevel admin
Section
  SetOutPath "$INSTDIR"
  File /r "${TREE}\*"
SectionEnd
""",
}


def build_installers(file_count):
    """The tree (small files, FILES_PER_FOLDER a folder) and the two
    installers of it, built with makensis and dist's header."""
    work = os.path.join(WORK, "install")
    tree = os.path.join(work, "tree")
    shutil.rmtree(work, ignore_errors=True)
    files, _, _ = app_layout(file_count)
    for folder, name in files:
        os.makedirs(os.path.join(tree, folder), exist_ok=True)
        with open(os.path.join(tree, folder, name), "w") as f:
            f.write("%s\\%s\n" % (folder, name) * 8)
    for side, script in INSTALL_SCRIPTS.items():
        nsi = os.path.join(work, side + ".nsi")
        with open(nsi, "w") as f:
            f.write(script)
        rc, text = run_bounded(["makensis", "-V1", "-X!addincludedir %s" % DIST,
                                "-DOUTFILE=%s" % os.path.join(work, side + ".exe"), "-DTREE=%s" % tree, nsi],
                               600, env=dict(os.environ))
        if rc != 0:
            raise BenchError("makensis %s failed (%d): %s" % (nsi, rc, text))
    return work


def run_install(work, side, file_count):
    """One silent install into an emptied folder; then what it installed is
    counted."""
    shutil.rmtree(unix(INSTALL_DIR), ignore_errors=True)
    setup = fresh_copy(os.path.join(work, side + ".exe"), "setup.exe")
    # /D= last and unquoted, as NSIS takes it
    r = runner([], [setup, "/S", "/D=" + INSTALL_DIR])
    if r["exit"] != 0 or r["boxes"]:
        raise BenchError("%s install: exit %s, %d boxes\n%s" % (side, r["exit"], len(r["boxes"]), r["text"]))
    found = sum(len(names) for _, _, names in os.walk(unix(INSTALL_DIR)))
    want = file_count + (1 if side == "header" else 0)  # and uninstall.exe
    if found != want:
        raise BenchError("%s install: %d files in %s, %d expected" % (side, found, INSTALL_DIR, want))
    return r


def measure_install(file_count, count, warmup):
    print("bench: install: %d files, %d a folder, through the header and by File /r; %d rounds after %d warm-up"
          % (file_count, FILES_PER_FOLDER, count, warmup), flush=True)
    work = build_installers(file_count)
    for side in INSTALL_SCRIPTS:
        print("bench: install: %s installer %d bytes" % (side, os.path.getsize(os.path.join(work, side + ".exe"))))
    runs = rounds("install", {side: (lambda side=side: run_install(work, side, file_count))
                              for side in INSTALL_SCRIPTS}, count, warmup)
    for side, rs in runs.items():
        print("install at %d files: %s: whole %s" % (file_count, side, benchstats.spread([r["elapsed"] for r in rs])),
              flush=True)
    shutil.rmtree(unix(INSTALL_DIR), ignore_errors=True)
    return benchstats.Ratio([r["elapsed"] for r in runs["header"]], [r["elapsed"] for r in runs["plain"]])


# ---- report ------------------------------------------------------------------

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


HEADLINE_SIZE = 10000


def marked(line):
    """Ratios measured under the emulator are the emulator's as much as the
    stub's: said on every line that carries one."""
    mode = os.environ.get("SWEEPKIT_WINE_MODE", "")
    return line + " [emulated: not a figure of the stub]" if mode.startswith("emulated") else line


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=15, help="timed rounds (default 15)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed rounds first (default 1)")
    # 50,000 files alone take over half an hour; larger sizes run on request
    ap.add_argument("--sizes", default="100,1000,10000",
                    help="file counts of the uninstall, comma-separated (default 100,1000,10000)")
    ap.add_argument("--load-records", type=int, default=100000)
    ap.add_argument("--only", choices=("uninstall", "load"))
    ap.add_argument("--settle", type=float, default=1.0, help="pause before every run, s (default 1)")
    ap.add_argument("--poll", type=int, default=1, help="the runner's poll interval for boxes, ms (default 1)")
    ap.add_argument("--baseline", help="another stub image: removal and confirmed of this stub over it, "
                    "interleaved in every round (uninstall only)")
    ap.add_argument("--install-cost", action="store_true",
                    help="only the install through the header against a plain File /r (target: at most 1.10)")
    ap.add_argument("--install-files", type=int, default=10000, help="files of --install-cost (default 10000)")
    args = ap.parse_args()
    global POLL_MS, SETTLE_S, BASELINE
    POLL_MS, SETTLE_S = args.poll, args.settle
    BASELINE = args.baseline and os.path.abspath(args.baseline)
    if BASELINE:
        args.only = "uninstall"
    if args.install_cost and (args.only or BASELINE):
        print("bench: --install-cost runs on its own")
        return 2
    sizes = [int(s) for s in args.sizes.split(",") if s]
    if args.rounds < 1 or not sizes or min(sizes) < 1:
        print("bench: --rounds and every size must be at least 1")
        return 2
    harness.under_wine_run()
    print("bench: wine: %s" % os.environ.get("SWEEPKIT_WINE_MODE"), flush=True)
    if not os.environ.get("DISPLAY"):
        print("bench: no DISPLAY; run it through scripts/bench (xvfb-run)")
        return 2
    for need in (os.path.join(DIST, "sweepkit"), os.path.join(DIST, "sweepkit-stub.exe"),
                 os.path.join(TOOLS, "runner.exe"), os.path.join(TOOLS, "floorole.exe")):
        if not os.path.exists(need):
            print("bench: %s is missing; run `make all` first" % need)
            return 2
    started = time.monotonic()
    print("bench: machine: %s" % machine())
    uninstall, load, install = {}, None, None
    try:
        prepare_prefix()
        if args.install_cost:
            install = measure_install(args.install_files, args.rounds, args.warmup)
        if args.only in (None, "uninstall") and not args.install_cost:
            uninstall = measure_uninstall(sizes, args.rounds, args.warmup)
        if args.only in (None, "load") and not args.install_cost:
            load = measure_load(args.load_records, args.rounds, args.warmup)
    except BenchError as e:
        print("bench: FAILED: %s" % e)
        return 1
    finally:
        stop_wineserver()
    print("bench: done in %.0f s" % (time.monotonic() - started))
    if uninstall:
        for size, ratios in uninstall.items():
            print(marked("growth: %d files: %s" % (size, ", ".join(
                "%s %.2f" % (name, ratios[name].median) for name in ("uninstall", "confirmed", "removal")
                if name in ratios))))
        size = HEADLINE_SIZE if HEADLINE_SIZE in uninstall else max(uninstall)
        note = "%d files" % size
        for name in ("uninstall", "removal", "startup", "confirmed"):
            if name in uninstall[size]:
                print(marked(uninstall[size][name].line(name + (" over the baseline" if BASELINE else ""), note)))
    if load:
        print(marked(load.line("load", "%d records" % args.load_records)))
    if install:
        print(marked(install.line("install through the header over File /r",
                                  "%d files; target at most 1.10" % args.install_files)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
