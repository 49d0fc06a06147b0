#!/usr/bin/env python3
"""Includes point down: a folder includes only folders below it, so that the
runtime-free code never reaches the host program's C++ and the Win32 entry
points sit with their programs."""
import os
import re
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# lower numbers lie below; folders on one level never include each other
LEVELS = {"platform": 0, "uninstall_info": 1, "ui": 2, "format": 2,
          "removal": 3, "finisher": 3, "app": 4, "cli": 5}
# what the Win32 finisher links, and what therefore may not use the C++ library
RUNTIME_FREE = ("format", "finisher", "app", "uninstall_info", "removal", "ui")


def sources(top):
    for dirpath, _, names in os.walk(os.path.join(ROOT, top)):
        for name in sorted(names):
            if name.endswith((".c", ".cpp", ".h")):
                path = os.path.join(dirpath, name)
                with open(path, encoding="latin-1") as f:
                    yield os.path.relpath(path, ROOT), f.read()


class Layout(unittest.TestCase):
    def test_includes_point_down(self):
        wrong = []
        for top, level in LEVELS.items():
            for path, text in sources(top):
                for inc in re.findall(r'#include\s+"([^"]+)"', text):
                    target = inc.split("/")[0]
                    if target in LEVELS and target != top and LEVELS[target] >= level:
                        wrong.append("%s includes %s" % (path, inc))
        self.assertEqual(wrong, [])

    def test_runtime_free_folders_use_no_cxx_library(self):
        wrong = []
        for top in RUNTIME_FREE:
            for path, text in sources(top):
                if path.startswith("platform"):
                    continue
                for inc in re.findall(r"#include\s+<([^>]+)>", text):
                    if "." not in inc:  # <vector>, <cstring>
                        wrong.append("%s includes <%s>" % (path, inc))
                if re.search(r"\bstd::", re.sub(r"//[^\n]*", "", text)):
                    wrong.append("%s uses std::" % path)
        self.assertEqual(wrong, [])


if __name__ == "__main__":
    sys.exit(unittest.main())
