#!/usr/bin/env python3
"""The Linux release archive (`make release`) on its own: unpacked into an
empty folder, it builds the example installer with nothing of the source
tree, records the example's hand-written manifest, and its sweepkit prints
the archive's version. (The Windows archive: tests/e2e/windows_cli.py.)"""
import filecmp
import glob
import json
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

from test_sweepkit_nsh import both_contexts

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DIST = os.environ.get("SWEEPKIT_DIST", os.path.join(ROOT, "dist"))
PAYLOAD = ["vantor.dll", "glide.exe", "glide.dat", "guide.txt"]


def build_example(top, work, defines=(), env=None):
    """makensis on the archive's example script, the archive's folder its
    only include folder; returns (exit code, output, recorded manifest)."""
    payload = os.path.join(work, "payload")
    os.makedirs(payload, exist_ok=True)
    for name in PAYLOAD:
        with open(os.path.join(payload, name), "w") as f:
            f.write(name)
    manifest, template = os.path.join(work, "recorded.json"), os.path.join(work, "app.skt")
    cmd = ["makensis", "-V2", "-X!addincludedir %s" % top, "-DPAYLOAD=%s" % payload,
           "-DOUTFILE=%s" % os.path.join(work, "setup.exe"), "-DSK_MANIFEST=%s" % manifest,
           "-DSK_TEMPLATE=%s" % template] + list(defines) + [os.path.join(top, "examples", "vantor-gliders.nsi")]
    p = subprocess.run(cmd, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    recorded = None
    if p.returncode == 0:
        with open(manifest, encoding="utf-8") as f:
            recorded = json.load(f)
    return p.returncode, p.stdout.decode("utf-8", "replace"), recorded


class LinuxArchive(unittest.TestCase):
    def test_the_archive_alone_builds_the_example(self):
        archives = glob.glob(os.path.join(DIST, "sweepkit-*-linux.tar.gz"))
        self.assertEqual(len(archives), 1, "run `make release`: %r" % archives)
        work = tempfile.mkdtemp(prefix="sweepkit-release-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        with tarfile.open(archives[0]) as t:
            # the data filter where this Python has it (3.11.4 and later)
            t.extractall(work, **({"filter": "data"} if hasattr(tarfile, "data_filter") else {}))
        (top,) = [os.path.join(work, d) for d in os.listdir(work)]
        version = os.path.basename(top).split("-")[1]
        for need in ["Sweepkit.nsh", "sweepkit", "sweepkit-stub.exe", "sweepkit-finish.exe", "LICENSE",
                     "README.txt", "examples/vantor-gliders.nsi", "docs/nsis.md"]:
            self.assertTrue(os.path.isfile(os.path.join(top, need)), need)
        out = subprocess.run([os.path.join(top, "sweepkit"), "--version"], stdout=subprocess.PIPE, timeout=30)
        self.assertEqual(out.stdout.decode().strip(), "sweepkit %s" % version)

        rc, text, recorded = build_example(top, work)
        self.assertEqual(rc, 0, text)
        with open(os.path.join(ROOT, "examples", "vantor-gliders.json"), encoding="utf-8") as f:
            hand_written = both_contexts(json.load(f))
        self.assertEqual(recorded, hand_written)
        # the template is the one the archive's sweepkit packs from that manifest
        hand, hand_json = os.path.join(work, "hand.skt"), os.path.join(work, "hand.json")
        with open(hand_json, "w", encoding="utf-8") as f:
            json.dump(hand_written, f)
        subprocess.run([os.path.join(top, "sweepkit"), "pack", "--stub", os.path.join(top, "sweepkit-stub.exe"),
                        "--manifest", hand_json, "--template",
                        "--out", hand], check=True, stdout=subprocess.DEVNULL, timeout=60)
        self.assertTrue(filecmp.cmp(hand, os.path.join(work, "app.skt"), shallow=False))


if __name__ == "__main__":
    sys.exit(unittest.main())
