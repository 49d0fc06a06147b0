"""scripts/bootstrap's apt steps against a stand-in apt-get (a mirror in
mid-sync, a resolver that needs the security pin), its mirror lookup, and
scripts/wine-run on this machine. Run: python3 test_wine_setup.py"""
import os
import stat
import subprocess
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BOOTSTRAP = os.path.join(ROOT, "scripts", "bootstrap")
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")

# update fails FAKE_UPDATE_FAILS times; install succeeds always (ok), only
# while the pin file exists (pinned) or never; every call is logged
FAKE_APT = textwrap.dedent("""\
    #!/bin/bash
    for a; do case $a in update|install) cmd=$a ;; esac; done
    pin=no; [ -e "$PIN_FILE" ] && pin=yes
    echo "$cmd pin=$pin" >>"$CALLS"
    if [ "$cmd" = update ]; then
      n=$(grep -c '^update' "$CALLS")
      if [ "$n" -le "$FAKE_UPDATE_FAILS" ]; then
        echo "E: Failed to fetch http://mirror/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
        echo "E: Some index files failed to download."
        exit 100
      fi
      exit 0
    fi
    case "$FAKE_INSTALL:$pin" in
      ok:*|pinned:yes) exit 0 ;;
    esac
    echo "E: Error, pkgProblemResolver::Resolve generated breaks, this may be caused by held packages." >&2
    exit 100
    """)


class Bootstrap(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        bindir = os.path.join(self.dir, "bin")
        os.makedirs(bindir)
        fake = os.path.join(bindir, "apt-get")
        with open(fake, "w") as f:
            f.write(FAKE_APT)
        os.chmod(fake, stat.S_IRWXU)
        self.calls = os.path.join(self.dir, "calls")
        self.pin = os.path.join(self.dir, "pin")
        self.env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"], CALLS=self.calls,
                        PIN_FILE=self.pin, FAKE_UPDATE_FAILS="0", FAKE_INSTALL="ok")

    def tearDown(self):
        self.tmp.cleanup()

    def run_bootstrap(self, body, **env):
        """Sources the bootstrap (its steps only) and runs body with sudo and
        the pauses left out."""
        script = 'source "%s"; SUDO=""; PIN="%s"; sleep() { :; }\n%s' % (BOOTSTRAP, self.pin, body)
        p = subprocess.run(["bash", "-c", script], env=dict(self.env, **env), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=60)
        calls = []
        if os.path.exists(self.calls):
            with open(self.calls) as f:
                calls = f.read().splitlines()
        return p.returncode, p.stdout.decode(), p.stderr.decode(), calls

    def test_update_retries_a_bounded_number_of_times_then_carries_on(self):
        for fails in range(5):
            with self.subTest(fails=fails):
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                rc, _, err, calls = self.run_bootstrap("apt_update; echo after", FAKE_UPDATE_FAILS=str(fails))
                self.assertEqual(rc, 0, err)
                self.assertEqual(len(calls), min(fails + 1, 3))
                lines = err.splitlines()
                self.assertEqual(sum("Mirror sync in progress" in l for l in lines), min(fails, 3))
                self.assertEqual(any("carrying on" in l for l in lines), fails >= 3)
                self.assertTrue(all(l.startswith("bootstrap: ") for l in lines), err)

    def test_install_pins_security_only_when_needed_and_always_unpins(self):
        cases = {  # mode: exit code, the install calls seen, a word of the last line
            "ok": (0, ["install pin=no"], None),
            "pinned": (0, ["install pin=no", "install pin=yes"], "pin removed"),
            "never": (1, ["install pin=no", "install pin=yes"], "with the pin too"),
        }
        for mode, (code, seen, last) in cases.items():
            with self.subTest(mode=mode):
                if os.path.exists(self.calls):
                    os.unlink(self.calls)
                rc, out, err, calls = self.run_bootstrap("apt_install wine wine32:i386; [ ! -e \"$PIN\" ] && echo installed",
                                                         FAKE_INSTALL=mode)
                self.assertEqual(rc, code, err)
                self.assertEqual(calls, seen)
                self.assertEqual("installed" in out, code == 0)
                self.assertFalse(os.path.exists(self.pin), "the pin must not outlive the install")
                if last:
                    self.assertIn(last, err.splitlines()[-1])
                    self.assertIn("generated breaks", err)
                else:
                    self.assertEqual(err, "")

    def test_mirror_is_the_one_the_system_uses(self):
        security = "Types: deb\nURIs: http://sec.example/debian-security\nSuites: bookworm-security\n" \
                   "Components: main\n"
        main = "Types: deb\nURIs: http://main.example/debian/\nSuites: bookworm bookworm-updates\n" \
               "Components: main\n"
        oneline = "deb http://old.example/debian bookworm-updates main\n" \
                  "deb [arch=amd64 signed-by=/k.gpg] http://old.example/debian bookworm main\n"
        cases = [  # deb822 file, one-line list, the mirror (None: none found)
            (security + "\n" + main, None, "http://main.example/debian"),
            (main, oneline, "http://main.example/debian"),
            (security, oneline, "http://old.example/debian"),
            (None, oneline, "http://old.example/debian"),
            (security, None, None),
            (None, "deb http://old.example/debian bookworm-backports main\n", None),
        ]
        for i, (sources, listed, want) in enumerate(cases):
            with self.subTest(case=i):
                paths = []
                for name, text in (("debian.sources", sources), ("sources.list", listed)):
                    path = os.path.join(self.dir, "%d-%s" % (i, name))
                    if text is not None:
                        with open(path, "w") as f:
                            f.write(text)
                    paths.append(path)
                rc, out, err, _ = self.run_bootstrap('debian_mirror "%s" "%s"' % tuple(paths))
                if want is None:
                    self.assertNotEqual(rc, 0)
                    self.assertIn("cannot find the Debian mirror", err)
                else:
                    self.assertEqual((rc, out.strip()), (0, want), err)


def wine_run(args, **env):
    p = subprocess.run([WINE_RUN] + args, env=dict(os.environ, **env), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    return p.returncode, p.stdout.decode().strip(), p.stderr.decode().strip()


# the command's view: its mode, the probe's exit code, its user namespace, and
# the same seen through a nested wine-run
VIEW = ('echo "$SWEEPKIT_WINE_MODE"; "$(%s --cache)/i386-probe"; echo $?; readlink /proc/self/ns/user; '
        '%s sh -c \'readlink /proc/self/ns/user\'' % (WINE_RUN, WINE_RUN))


class WineRun(unittest.TestCase):
    def check_mode(self, env, mode):
        rc, out, err = wine_run(["sh", "-c", VIEW], **env)
        self.assertEqual(rc, 0, err)
        seen, probe, ns, nested = out.splitlines()
        self.assertEqual(seen, mode)
        self.assertEqual(probe, "32", "the i386 probe must run")
        self.assertEqual(nested, ns, "a nested wine-run must not start another namespace")
        host_ns = os.readlink("/proc/self/ns/user")
        self.assertEqual(ns == host_ns, mode == "native")
        self.assertFalse(os.path.exists("/proc/sys/fs/binfmt_misc/sweepkit-i386"),
                         "the host's binfmt_misc must stay untouched")

    def test_commands_run_where_the_probe_runs(self):
        rc, mode, err = wine_run(["--check"])
        self.assertEqual(rc, 0, err)
        self.assertTrue(mode == "native" or mode.startswith("emulated (qemu-i386 "), mode)
        self.check_mode({}, mode)
        cache = wine_run(["--cache"])[1]
        if os.path.exists(os.path.join(cache, "qemu-i386")):
            forced = wine_run(["--check"], SWEEPKIT_WINE_EMULATED="1")[1]
            self.assertTrue(forced.startswith("emulated (qemu-i386 "), forced)
            self.check_mode({"SWEEPKIT_WINE_EMULATED": "1"}, forced)
        else:
            print("wine-run: no emulator in %s: the forced emulation is checked without one only" % cache)

    def test_forced_emulation_without_an_emulator_fails_and_says_why(self):
        with tempfile.TemporaryDirectory() as empty:
            for args in (["--check"], ["true"]):
                with self.subTest(args=args):
                    rc, out, err = wine_run(args, SWEEPKIT_WINE_EMULATED="1", SWEEPKIT_CACHE=empty)
                    self.assertEqual(rc, 1)
                    self.assertIn("run scripts/bootstrap", err)

    def test_an_i386_interpreter_of_the_host_is_not_taken_for_native(self):
        """A system-wide i386 entry in binfmt_misc (a slow qemu, say) makes
        the probe run on any kernel; it must not pass for native Wine. Staged
        in a namespace of the test's own with a stand-in interpreter."""
        magic = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
        mask = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
        cache = wine_run(["--cache"])[1]
        with tempfile.TemporaryDirectory() as tmp:
            for name in ("qemu-i386", "qemu-i386.version"):
                if os.path.exists(os.path.join(cache, name)):
                    os.symlink(os.path.join(cache, name), os.path.join(tmp, name))
            stand_in = os.path.join(tmp, "host-qemu")
            with open(stand_in, "w") as f:
                f.write("#!/bin/sh\nexit 32\n")
            os.chmod(stand_in, stat.S_IRWXU)
            probe = os.path.join(tmp, "i386-probe")
            script = ('mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && '
                      'printf "%%s" ":host-i386:M::%s:%s:%s:" >/proc/sys/fs/binfmt_misc/register && '
                      '"%s" --check >/dev/null 2>&1; "%s"; echo "probe $?"; "%s" --check' %
                      (magic, mask, stand_in, WINE_RUN, probe, WINE_RUN))
            p = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "--fork", "sh", "-c", script],
                               env=dict(os.environ, SWEEPKIT_CACHE=tmp), stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=120)
            out, err = p.stdout.decode().splitlines(), p.stderr.decode()
            self.assertIn("probe 32", out, "the stand-in must run the probe\n" + err)
            if os.path.exists(os.path.join(tmp, "qemu-i386")):
                self.assertEqual(p.returncode, 0, err)
                self.assertTrue(out[-1].startswith("emulated (qemu-i386 "), out)
            else:
                self.assertEqual(p.returncode, 1)
                self.assertIn("hands 32-bit programs to %s" % stand_in, err)


if __name__ == "__main__":
    unittest.main(verbosity=2)
