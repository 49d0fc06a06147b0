#!/usr/bin/env python3
"""Checks the built finisher image (SWEEPKIT_FINISH): a console program for
Windows 4.0 that imports only what Windows 95 and NT 4.0 have, carries no
C++ runtime and stays within its size budget. Damaged copies make sure each
check can fail."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_image import DIR_TLS, PeImage  # noqa: E402
from test_stub_pe import check_imports  # noqa: E402

# 24 KiB held the finisher until it applied the authoring rules to the
# resolved data; those (without their literal-path and shared-key tables)
# cost about 4 KiB. The next 512 bytes buy one spelling per folder: every
# finished dir put down as the stub's byte-wise comparisons need it (about
# 650 bytes of code, double-byte characters kept whole), with the fixes of
# the UTF-8 code page, % in values and the Windows 95 replacement. The
# budget then grew to 32 KiB for the one rule set (every key at every depth,
# folders in their literal spellings, whose tables it reads from the
# template), the merge's checks of what it keeps, double-byte names and the
# manifest's execution level set from the final keys (about 520 bytes).
MAX_FINISH_SIZE = 32768
ALLOWED_IMPORTS = {
    'kernel32.dll': {
        'CloseHandle', 'CreateFileA', 'DeleteFileA', 'ExitProcess', 'GetACP', 'GetCommandLineA',
        'GetFileAttributesA', 'GetFileSize', 'GetFullPathNameA', 'GetLastError',
        'GetModuleFileNameA', 'GetModuleHandleA', 'GetProcAddress', 'GetStdHandle',
        'GetSystemDirectoryA', 'GetTempFileNameA', 'GetWindowsDirectoryA', 'MoveFileA',
        'MultiByteToWideChar', 'ReadFile', 'SetFilePointer', 'WideCharToMultiByte', 'WriteFile',
    },
    'advapi32.dll': {'RegCloseKey', 'RegOpenKeyExA', 'RegQueryValueExA'},
    'shell32.dll': {'SHGetSpecialFolderLocation', 'SHGetPathFromIDListA'},
    'ole32.dll': {'CoTaskMemFree'},
    'msvcrt.dll': {'calloc', 'free', '_heapmin', 'strlen', 'memset', 'memcpy', 'memmove'},
}
# What a C++ runtime or its start-up code would bring along.
RUNTIME_MARKERS = (b'libstdc++', b'__cxa_', b'_Unwind_', b'__gxx_personality', b'std::')
RUNTIME_SECTIONS = ('.ctors', '.dtors', '.init_array', '.fini_array', '.tls', '.CRT',
                    '.eh_frame', '.gcc_except_table')


def check(data):
    problems = []
    if len(data) > MAX_FINISH_SIZE:
        problems.append('file is %d bytes, more than %d' % (len(data), MAX_FINISH_SIZE))
    image = PeImage(data)
    if image.machine != 0x14C:
        problems.append('machine 0x%x, not i386' % image.machine)
    if image.subsystem != 3:
        problems.append('subsystem %d, not 3 (console)' % image.subsystem)
    if image.subsystem_version != (4, 0) or image.os_version != (4, 0):
        problems.append('subsystem %d.%d, OS %d.%d, not 4.0'
                        % (image.subsystem_version + image.os_version))
    if image.directory(DIR_TLS) != (0, 0):
        problems.append('TLS directory present')
    for s in image.sections:
        if s.name.startswith(RUNTIME_SECTIONS):
            problems.append('%s present (%d bytes)' % (s.name, s.virtual_size))
    for marker in RUNTIME_MARKERS:
        if marker in data:
            problems.append('C++ runtime marker %r at 0x%x' % (marker, data.find(marker)))
    return problems + check_imports(data, ALLOWED_IMPORTS)


class FinisherImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(os.environ['SWEEPKIT_FINISH'], 'rb') as f:
            cls.data = f.read()

    def test_image(self):
        self.assertEqual(check(self.data), [])

    def test_checks_catch_damage(self):
        image = PeImage(self.data)
        gui = bytearray(self.data)
        gui[image.subsystem_offset] = 2
        self.assertIn('subsystem 2, not 3 (console)', check(gui))
        at = self.data.find(b'GetStdHandle')
        renamed = self.data[:at] + b'GetStdHandlf' + self.data[at + 12:]
        self.assertIn('KERNEL32.dll!GetStdHandlf is not on the allow-list', check(renamed))
        self.assertIn('file is %d bytes, more than %d' % (MAX_FINISH_SIZE + 1, MAX_FINISH_SIZE),
                      check(self.data + b'\0' * (MAX_FINISH_SIZE + 1 - len(self.data))))


if __name__ == '__main__':
    unittest.main()
