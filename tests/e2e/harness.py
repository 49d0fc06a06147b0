"""Wine end-to-end harness: a base Wine prefix made once, a private copy of it
and a private Xvfb per test, the Win32 driver to play the user, and helpers to
pack or craft stubs. Standard library only. Every external command is bounded
by a timeout; on timeout the test's Wine processes are killed. A program that
uses Wine calls under_wine_run() first: it then runs, with everything it
starts, where 32-bit Wine works (scripts/wine-run)."""
import fcntl
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DIST = os.environ.get("SWEEPKIT_DIST", os.path.join(ROOT, "dist"))
WIN32_BUILD = os.environ.get("SWEEPKIT_WIN32_BUILD", os.path.join(ROOT, "build", "win32"))
WORK = os.environ.get("SWEEPKIT_E2E_WORK", os.path.join(ROOT, "build", "test", "e2e"))
WIN32_TOOLS = os.path.join(WIN32_BUILD, "tests", "e2e", "win32")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")

WINE_TIMEOUT = 60
SERVER_LINGER = 15
LOCATOR_SIGNATURE = b"wwgT)H"

TAG_STRINGS, TAG_FILES, TAG_SHORTCUTS, TAG_KEYS, TAG_KEY, TAG_END = (
    0x1234, 0x1235, 0x1236, 0x1237, 0x1238, 0x7F7F)
HKLM = 0x80000002
HKCU = 0x80000001
FILE_SHARED, FILE_FONT, FILE_SELFREG = 1, 2, 4
STRING_ROLES = ["caption", "confirm", "done", "yes", "yes_all", "no", "no_all",
                "out_of_memory", "invalid_info", "write_protected", "shared_unused"]


class E2EError(AssertionError):
    pass


def base_env():
    env = dict(os.environ)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
    env["WINEARCH"] = "win32"
    # a UTF-8 locale that exists everywhere: Wine then maps non-ASCII file
    # names to UTF-8 on disk (its ANSI code page stays 1252)
    env["LANG"] = "C.UTF-8"
    env["LC_ALL"] = "C.UTF-8"
    env.pop("DISPLAY", None)
    return env


def base_prefix():
    return os.path.join(WORK, "wineprefix")


def run_bounded(cmd, env, timeout, cwd=None, on_timeout=None):
    """Runs cmd in its own process group and waits for it alone (Wine's helper
    processes inherit its output files and may outlive it); kills the group
    and calls on_timeout when it does not end in time."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=out, stderr=err,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            if on_timeout:
                on_timeout()
            proc.wait(timeout=10)
            out.seek(0)
            raise E2EError("timeout after %ss: %s\n%s" % (timeout, " ".join(cmd),
                                                          out.read().decode("latin-1", "replace")))
        out.seek(0)
        err.seek(0)
        return proc.returncode, out.read(), err.read()


def setup_base_prefix():
    """Creates the shared base prefix once; a lock keeps parallel runs apart."""
    os.makedirs(WORK, exist_ok=True)
    prefix = base_prefix()
    stamp = os.path.join(prefix, ".sweepkit-ready")
    with open(os.path.join(WORK, "wineprefix.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(stamp):
            return prefix
        shutil.rmtree(prefix, ignore_errors=True)
        env = base_env()
        env["WINEPREFIX"] = prefix
        kill = lambda: run_bounded(["wineserver", "-k"], env, 20)
        started = time.monotonic()
        run_bounded(["wineboot", "-i"], env, 180, on_timeout=kill)
        run_bounded(["wineserver", "-w"], env, 60, on_timeout=kill)
        open(stamp, "w").close()
        print("wineboot: base prefix made in %.1f s" % (time.monotonic() - started), flush=True)
    return prefix


def _unescape(s):
    out = bytearray()
    i = 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            n = s[i + 1]
            if n == "x":
                out.append(int(s[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "r": b"\r", "t": b"\t"}.get(n, n.encode("latin-1"))
            i += 2
            continue
        out += c.encode("latin-1")
        i += 1
    return out.decode("cp1252", "replace")


_QUOTED = r'"((?:[^"\\]|\\.)*)"'


def parse_window(line):
    """Parses a driver `window` line into a dict with its controls."""
    head, _, rest = line.partition(" controls=")
    win = {}
    for key in ("class", "caption", "text", "owner"):
        m = re.search(r"\b%s=%s" % (key, _QUOTED), head)
        win[key] = _unescape(m.group(1)) if m else None
    for key in ("icon", "weight", "inside"):
        m = re.search(r"\b%s=(\S+)" % key, head)
        win[key] = m.group(1) if m else None
    m = re.search(r"\bscreen=(-?\d+),(-?\d+),(-?\d+),(-?\d+)", head)
    win["screen"] = tuple(int(v) for v in m.groups()) if m else None
    controls = []
    for m in re.finditer(r"\[(\S+) id=(-?\d+) text=%s([^\]]*)\]" % _QUOTED, rest):
        attrs = m.group(4).split()
        ctl = {"class": m.group(1), "id": int(m.group(2)), "text": _unescape(m.group(3)),
               "default": "default" in attrs, "enabled": "enabled" in attrs,
               "icon": "icon" in attrs}
        for a in attrs:
            if a.startswith("dlu="):
                ctl["dlu"] = tuple(int(v) for v in a[4:].split(","))
            elif a.startswith("weight="):
                ctl["weight"] = int(a[7:])
        controls.append(ctl)
    win["controls"] = controls
    win["buttons"] = [c for c in controls if c["class"].lower() == "button"]
    return win


class Result:
    def __init__(self, rc, text):
        self.rc = rc
        self.text = text
        self.lines = text.splitlines()
        self.windows = [parse_window(l) for l in self.lines if l.startswith("window ")]
        self.exits = [int(l.split()[1]) for l in self.lines if l.startswith("exit ")]
        self.failed_checks = [l for l in self.lines if l.startswith("check ") and l.endswith("FAIL")]
        self.regvalues = {}
        self.shortpaths = {}
        self.folders = {}
        for l in self.lines:
            m = re.match(r"regvalue %s %s (.*)$" % (_QUOTED, _QUOTED), l)
            if m:
                self.regvalues[(_unescape(m.group(1)), _unescape(m.group(2)))] = m.group(3)
            m = re.match(r"shortpath %s %s$" % (_QUOTED, _QUOTED), l)
            if m:
                self.shortpaths[_unescape(m.group(1))] = _unescape(m.group(2))
            m = re.match(r"folder (\d+) %s$" % _QUOTED, l)
            if m:
                self.folders[int(m.group(1))] = _unescape(m.group(2))

    def __str__(self):
        return "driver rc=%d\n%s" % (self.rc, self.text)


def quote(s):
    if '"' in s:
        raise ValueError("driver words cannot hold a double quote: %r" % s)
    return '"%s"' % s


def chunk(tag, payload):
    return struct.pack("<II", tag, len(payload)) + payload


def counted(s):
    b = s if isinstance(s, bytes) else s.encode("cp1252")
    return struct.pack("<H", len(b)) + b


def strings_chunk(texts):
    return chunk(TAG_STRINGS, struct.pack("<HH", 1, len(texts)) + b"".join(counted(t) for t in texts))


def files_chunk(records):
    body = struct.pack("<I", len(records))
    for r in records:
        body += counted(r[0]) + counted(r[1]) + bytes([r[2] if len(r) > 2 else 0])
    return chunk(TAG_FILES, body)


def shortcuts_chunk(records):
    return chunk(TAG_SHORTCUTS, struct.pack("<I", len(records)) +
                 b"".join(counted(d) + counted(n) for d, n in records))


def keys_chunk(records):
    return chunk(TAG_KEYS, struct.pack("<I", len(records)) +
                 b"".join(struct.pack("<I", r) + counted(p) for r, p in records))


def end_chunk():
    return chunk(TAG_END, b"")


def stub_path():
    return os.path.join(DIST, "sweepkit-stub.exe")


def with_data(stub_bytes, block, offset=None):
    """A copy of the stub with block appended and the locator pointing at it
    (or at `offset` when given, e.g. 0 for no data)."""
    data = bytearray(stub_bytes)
    at = data.find(LOCATOR_SIGNATURE)
    if at < 0 or data.find(LOCATOR_SIGNATURE, at + 1) >= 0:
        raise E2EError("stub must hold exactly one data locator")
    data[at + 6:at + 10] = struct.pack("<I", len(stub_bytes) if offset is None else offset)
    return bytes(data) + block


def load_example_manifest():
    """The example with literal paths, as a finished uninstaller holds them."""
    with open(os.path.join(ROOT, "examples", "literal", "vantor-gliders.json"), encoding="utf-8") as f:
        return json.load(f)


def ansi(text, codepage):
    """The string Wine (ANSI code page 1252) sees for text stored in the
    manifest's code page: the same bytes, read as 1252."""
    return text.encode("cp%d" % codepage).decode("cp1252")


def example_install(manifest, install_dir):
    """Driver lines that lay out what the manifest's installer would have left:
    its files, shortcuts and registry keys (paths as Wine sees them)."""
    cp = manifest.get("codepage", 1252)
    lines = []
    for f in manifest.get("files", []):
        d = ansi(f["dir"], cp)
        if d == "." or d.startswith(".\\"):
            d = install_dir + d[1:]
        if f["name"]:
            lines.append("mkfile %s" % quote(d + "\\" + ansi(f["name"], cp)))
        else:
            lines.append("mkdir %s" % quote(d))
    for sc in manifest.get("shortcuts", []):
        lines.append("mkfile %s" % quote(ansi(sc["dir"], cp) + "\\" + ansi(sc["name"], cp)))
    for k in manifest.get("keys", []):
        root = k["root"]
        root = root if isinstance(root, str) else "0x%X" % root
        lines.append("regkey %s %s" % (root, quote(ansi(k["path"], cp))))
    return lines


def example_texts(manifest=None):
    m = manifest or load_example_manifest()
    return [m["strings"].get(k, "") for k in STRING_ROLES]


def _die_with_parent():
    # Xvfb must not outlive a harness that ctest kills on its timeout
    try:
        import ctypes
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Session:
    """One test's private prefix (a hard-linked copy of the base prefix with
    its own registry) and Xvfb. Use as a context manager."""

    # The Windows version Wine reports ("win95", "win98", "nt40"), set before
    # anything runs in the prefix; None keeps Wine's default.
    windows_version = None

    def __init__(self, name, keep=False):
        self.name = name
        self.dir = os.path.join(WORK, "runs", name)
        self.prefix = os.path.join(self.dir, "prefix")
        self.xvfb = None
        self.display = None
        self.keep = keep or bool(os.environ.get("SWEEPKIT_E2E_KEEP"))
        self.scripts = 0

    def __enter__(self):
        base = setup_base_prefix()
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        subprocess.run(["cp", "-al", base, self.prefix], check=True, timeout=60)
        # the registry and anything a test writes must not reach the base prefix
        for name in os.listdir(base):
            if name.endswith(".reg"):
                os.unlink(os.path.join(self.prefix, name))
                shutil.copy2(os.path.join(base, name), os.path.join(self.prefix, name))
        self.env = base_env()
        self.env["WINEPREFIX"] = self.prefix
        self._start_xvfb()
        # a wineserver that lingers between the session's runs (so they start
        # fast) but still ends by itself if the harness is killed
        run_bounded(["wineserver", "-p%d" % SERVER_LINGER], self.env, 20)
        if self.windows_version:
            self.set_windows_version(self.windows_version)
            self.restart_wine()
        return self

    def _start_xvfb(self):
        rfd, wfd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True, preexec_fn=_die_with_parent)
        os.close(wfd)
        deadline = time.time() + 20
        buf = b""
        os.set_blocking(rfd, False)
        while time.time() < deadline and not buf.endswith(b"\n"):
            try:
                chunk_ = os.read(rfd, 64)
                if not chunk_:
                    break
                buf += chunk_
            except BlockingIOError:
                time.sleep(0.05)
        os.close(rfd)
        if not buf.strip():
            self._stop_xvfb()
            raise E2EError("Xvfb did not start")
        self.display = ":" + buf.strip().decode()
        self.env["DISPLAY"] = self.display

    def _stop_xvfb(self):
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait(10)

    def kill_wine(self):
        try:
            run_bounded(["wineserver", "-k"], self.env, 20)
        except E2EError:
            pass

    def restart_wine(self):
        """Ends every Wine process of the prefix (the registry is saved) and
        starts a fresh wineserver, so settings read at start-up take effect."""
        self.kill_wine()
        run_bounded(["wineserver", "-w"], self.env, 20)
        run_bounded(["wineserver", "-p%d" % SERVER_LINGER], self.env, 20)

    def __exit__(self, exc_type, exc, tb):
        self.kill_wine()
        try:
            run_bounded(["wineserver", "-w"], self.env, 20)
        except E2EError:
            pass
        self._stop_xvfb()
        if exc_type is None and not self.keep:
            shutil.rmtree(self.dir, ignore_errors=True)
        return False

    # paths

    def unix(self, winpath):
        """C:\\a\\b -> <prefix>/drive_c/a/b (bytes of the ANSI code page)."""
        if winpath[1:3] not in (":\\", ":/") or winpath[0].lower() != "c":
            raise ValueError("only C: paths map into the prefix: %r" % winpath)
        rest = winpath[3:].replace("\\", "/")
        return os.path.join(self.prefix, "drive_c", rest)

    @staticmethod
    def zpath(unixpath):
        return "Z:" + os.path.abspath(unixpath).replace("/", "\\")

    def tool(self, name):
        return self.zpath(os.path.join(WIN32_TOOLS, name))

    # stubs

    def put_stub(self, winpath, content):
        path = self.unix(winpath)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return winpath

    def pack(self, manifest, winpath):
        """Packs the manifest with the sweepkit CLI into the prefix at winpath."""
        mpath = os.path.join(self.dir, "manifest-%d.json" % len(os.listdir(self.dir)))
        with open(mpath, "w", encoding="utf-8") as f:
            json.dump(manifest, f, ensure_ascii=False, indent=1)
        out = self.unix(winpath)
        os.makedirs(os.path.dirname(out), exist_ok=True)
        rc, so, se = run_bounded([os.path.join(DIST, "sweepkit"), "pack", "--stub", stub_path(),
                                  "--manifest", mpath, "--out", out], os.environ, 60)
        if rc != 0:
            raise E2EError("sweepkit pack failed (%d): %s%s" % (rc, so.decode(), se.decode()))
        return winpath

    def craft(self, block, winpath, offset=None):
        with open(stub_path(), "rb") as f:
            stub = f.read()
        return self.put_stub(winpath, with_data(stub, block, offset))

    # running

    def wine(self, args, timeout=WINE_TIMEOUT):
        return run_bounded(["wine"] + args, self.env, timeout,
                           cwd=os.path.join(self.prefix, "drive_c"), on_timeout=self.kill_wine)

    def drive(self, lines, timeout=WINE_TIMEOUT):
        """Runs the driver with the script lines; returns a Result."""
        self.scripts += 1
        spath = os.path.join(self.dir, "script-%d.txt" % self.scripts)
        with open(spath, "wb") as f:
            f.write(("\n".join(lines) + "\n").encode("cp1252"))
        rc, out, err = self.wine([self.tool("driver.exe"), self.zpath(spath)], timeout)
        text = out.decode("latin-1").replace("\r\n", "\n")
        res = Result(rc, text)
        with open(spath + ".out", "w", encoding="latin-1") as f:
            f.write(text)
        return res

    def drive_async(self, lines):
        """Starts the driver in the background; returns a handle for
        read_output() and finish()."""
        self.scripts += 1
        spath = os.path.join(self.dir, "script-%d.txt" % self.scripts)
        with open(spath, "wb") as f:
            f.write(("\n".join(lines) + "\n").encode("cp1252"))
        out = open(spath + ".out", "wb")
        proc = subprocess.Popen(["wine", self.tool("driver.exe"), self.zpath(spath)], env=self.env,
                                cwd=os.path.join(self.prefix, "drive_c"), stdout=out,
                                stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                start_new_session=True)
        return proc, out, spath + ".out"

    @staticmethod
    def read_output(handle):
        with open(handle[2], "rb") as f:
            return f.read().decode("latin-1").replace("\r\n", "\n")

    def wait_output(self, handle, prefix, timeout=30):
        """Waits (bounded) until the driver has printed a line starting with prefix."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(l.startswith(prefix) for l in self.read_output(handle).splitlines()):
                return
            if handle[0].poll() is not None:
                break
            time.sleep(0.1)
        raise E2EError("driver did not print %r:\n%s" % (prefix, self.read_output(handle)))

    def finish(self, handle, timeout=WINE_TIMEOUT):
        proc, out, _ = handle
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            self.kill_wine()
            proc.wait(timeout=10)
        out.close()
        return Result(proc.returncode, self.read_output(handle))

    def set_windows_version(self, version):
        rc, out, err = self.wine(["reg", "add", "HKCU\\Software\\Wine", "/v", "Version",
                                  "/d", version, "/f"])
        if rc != 0:
            raise E2EError("reg add failed: %s" % err.decode("latin-1"))

    def screenshot(self, png, box=None):
        """Saves the screen to png; cropped to box (a window's screen=
        rectangle) when given."""
        shot = png if box is None else os.path.join(self.dir, "screen.png")
        rc, out, err = run_bounded(["import", "-window", "root", "-display", self.display, shot],
                                   self.env, 30)
        if rc != 0:
            raise E2EError("screenshot failed: %s" % err.decode("latin-1"))
        if box is None:
            return
        left, top, right, bottom = box
        rc, out, err = run_bounded(["convert", shot, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                                    "+repage", "-strip", png], self.env, 30)
        os.unlink(shot)
        if rc != 0:
            raise E2EError("convert failed: %s" % err.decode("latin-1"))


# assertions

def check(cond, msg, result=None):
    if not cond:
        raise E2EError(msg + ("\n" + str(result) if result is not None else ""))


def find_button(win, bid):
    for b in win["buttons"]:
        if b["id"] == bid:
            return b
    return None


def assert_box(win, caption, text, buttons, owner, icon="information", result=None):
    """A message box: class, caption, text, owner, icon and its buttons as
    (id, label) pairs in any order, the first one being the default."""
    check(win["class"] == "#32770", "not a dialog: %r" % win["class"], result)
    check(win["caption"] == caption, "caption %r != %r" % (win["caption"], caption), result)
    check(win["text"] == text, "text %r != %r" % (win["text"], text), result)
    check(win["owner"] == owner, "owner %r != %r" % (win["owner"], owner), result)
    if icon is not None and win["inside"] == "1":
        check(win["icon"] == icon, "icon %r != %r" % (win["icon"], icon), result)
    got = sorted((b["id"], b["text"]) for b in win["buttons"])
    check(got == sorted(buttons), "buttons %r != %r" % (got, buttons), result)
    if buttons:
        default = find_button(win, buttons[0][0])
        check(default["default"], "button %d is not the default" % buttons[0][0], result)


def under_wine_run():
    """Runs this program again under scripts/wine-run unless it already runs
    there: natively that changes nothing, emulated it puts the program and
    every process it starts (Xvfb, wineserver, wine) in the namespace where
    qemu-i386 runs i386 programs."""
    if os.environ.get("SWEEPKIT_WINE_MODE"):
        return
    sys.stdout.flush()
    os.execv(WINE_RUN, [WINE_RUN, sys.executable] + sys.argv)


def wine_mode():
    """How Wine runs here ("native", "emulated (qemu-i386 ...)"); raises
    E2EError when 32-bit Wine cannot start a program."""
    try:
        code, out, err = run_bounded(["wine", "--version"], base_env(), 60)
    except OSError as e:
        raise E2EError("wine cannot be started: %s" % e)
    if code != 0:
        text = (out + err).decode("latin-1", "replace").strip()
        raise E2EError("wine --version exited %d: %s" % (code, text))
    return os.environ.get("SWEEPKIT_WINE_MODE", "native")


def main(scenarios):
    """Runs the scenario named on the command line (or `setup`)."""
    if len(sys.argv) != 2:
        print("usage: %s setup|%s" % (sys.argv[0], "|".join(sorted(scenarios))))
        return 64
    name = sys.argv[1]
    fn = scenarios.get(name)
    if fn is None and name != "setup":
        print("unknown scenario", name)
        return 64
    under_wine_run()
    started = time.monotonic()
    try:
        print("wine: %s" % wine_mode(), flush=True)
        if name == "setup":
            setup_base_prefix()
            print("prefix ready: %s" % base_prefix())
        else:
            fn(name)
    except E2EError as e:
        print("FAILED %s: %s" % (name, e))
        return 1
    print("passed %s in %.1f s" % (name, time.monotonic() - started))
    return 0
