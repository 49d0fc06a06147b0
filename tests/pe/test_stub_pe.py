#!/usr/bin/env python3
"""Checks the built stub image: loader-facing headers, size, imports, the
data locator and the resources. The stub's path comes from SWEEPKIT_STUB.

Each check returns a list of problems that name the observed values; the
FaultsAreCaught cases damage copies of the stub on purpose and make sure
the checks notice.
"""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_image import (DIR_BASERELOC, DIR_DELAY_IMPORT, DIR_TLS, IMAGE_SCN_CNT_CODE,  # noqa: E402
                      IMAGE_SCN_CNT_INITIALIZED_DATA, IMAGE_SCN_CNT_UNINITIALIZED_DATA,
                      IMAGE_SCN_MEM_EXECUTE, IMAGE_SCN_MEM_WRITE, RT_DIALOG, RT_GROUP_ICON,
                      RT_ICON, PeError, PeImage, Reader, decode_dialog)

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

MAX_STUB_SIZE = 13312
LOCATOR_SIGNATURE = b'wwgT)H'
LANG_EN_US = 1033
IDD_WRITE_PROTECTED = 109
IDI_MAIN = 800

# Every function the stub may import: what the logic and the entry point use,
# all present with these names in both Windows 95 and NT 4.0.
ALLOWED_IMPORTS = {
    'kernel32.dll': {
        'GetModuleHandleA', 'GetCommandLineA', 'ExitProcess',
        'GetModuleFileNameA', 'CreateFileA', 'ReadFile', 'WriteFile', 'SetFilePointer',
        'CloseHandle', 'DeleteFileA', 'GetFileAttributesA', 'SetFileAttributesA',
        'RemoveDirectoryA', 'SetCurrentDirectoryA', 'GetShortPathNameA',
        'GetWindowsDirectoryA', 'GetSystemDirectoryA', 'GetVersionExA',
        'LoadLibraryA', 'LoadLibraryExA', 'GetProcAddress', 'FreeLibrary', 'CreateProcessA', 'ResumeThread',
        'SetThreadPriority', 'GetCurrentThread', 'SetPriorityClass', 'GetCurrentProcess',
        'GetLastError', 'CreateDirectoryA', 'GetTempPathA', 'GetTickCount',
    },
    'user32.dll': {
        'RegisterClassA', 'LoadIconA', 'LoadCursorA', 'CreateWindowExA', 'DestroyWindow',
        'GetMessageA', 'DispatchMessageA', 'PostQuitMessage', 'DefWindowProcA',
        'MessageBoxA', 'DialogBoxParamA', 'EndDialog', 'SetWindowTextA', 'SetDlgItemTextA',
        'GetWindow', 'SendMessageA', 'SendMessageTimeoutA', 'GetSysColor', 'wsprintfA',
        'CharToOemBuffA', 'OemToCharBuffA',
    },
    'gdi32.dll': {
        'GetStockObject', 'CreateSolidBrush', 'DeleteObject', 'GetObjectA',
        'CreateFontIndirectA', 'SetBkColor', 'RemoveFontResourceA',
    },
    'advapi32.dll': {
        'RegOpenKeyExA', 'RegQueryValueExA', 'RegSetValueExA', 'RegDeleteValueA',
        'RegCloseKey', 'RegEnumKeyExA', 'RegDeleteKeyA',
    },
    'shell32.dll': {'SHGetSpecialFolderLocation', 'SHGetPathFromIDListA'},
    'ole32.dll': {'OleInitialize', 'OleUninitialize', 'CoTaskMemFree'},
    'msvcrt.dll': {
        'calloc', 'free', '_heapmin', 'strrchr', '_splitpath', 'remove',
        # What the compiler may emit calls to for copies and clears.
        'memset', 'memcpy', 'memmove', 'strlen',
    },
}

# Sections that would hold start-up code or data the image must not have.
FORBIDDEN_SECTIONS = ('.ctors', '.dtors', '.init_array', '.fini_array', '.tls', '.CRT',
                      '.reloc', '.pdata', '.xdata', '.eh_frame')

WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_SYSMENU = 0x00C00000, 0x00080000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, SS_LEFT = 0, 1, 0
BUTTON, STATIC = 0x80, 0x82
CLASS_NAMES = {BUTTON: 'button', STATIC: 'static'}

DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
CONTROL = WS_CHILD | WS_VISIBLE
# (id, class, style, x, y, width, height) in template order.
DIALOG_CONTROLS = [
    (6, BUTTON, CONTROL | WS_TABSTOP | BS_DEFPUSHBUTTON, 20, 52, 50, 14),
    (1001, BUTTON, CONTROL | WS_TABSTOP | BS_PUSHBUTTON, 75, 52, 50, 14),
    (1000, STATIC, CONTROL | WS_GROUP | SS_LEFT, 7, 7, 243, 36),
    (7, BUTTON, CONTROL | WS_TABSTOP | BS_PUSHBUTTON, 130, 52, 50, 14),
    (1002, BUTTON, CONTROL | WS_TABSTOP | BS_PUSHBUTTON, 186, 52, 50, 14),
]


def check_headers(data):
    problems = []
    if len(data) > MAX_STUB_SIZE:
        problems.append('file is %d bytes, more than %d' % (len(data), MAX_STUB_SIZE))
    image = PeImage(data)
    if image.machine != 0x14C:
        problems.append('machine 0x%x, not i386' % image.machine)
    if image.subsystem != 2:
        problems.append('subsystem %d, not 2 (Windows GUI)' % image.subsystem)
    if image.subsystem_version != (4, 0):
        problems.append('subsystem version %d.%d, not 4.0' % image.subsystem_version)
    if image.os_version != (4, 0):
        problems.append('OS version %d.%d, not 4.0' % image.os_version)
    if image.file_alignment != 512:
        problems.append('file alignment %d, not 512' % image.file_alignment)
    if image.dll_characteristics & 0x40:
        problems.append('image is marked relocatable (DllCharacteristics 0x%x)'
                        % image.dll_characteristics)
    for index, what in ((DIR_TLS, 'TLS'), (DIR_BASERELOC, 'base relocation'),
                        (DIR_DELAY_IMPORT, 'delay import')):
        if image.directory(index) != (0, 0):
            problems.append('%s directory present: rva 0x%x size %d'
                            % ((what,) + image.directory(index)))
    for s in image.sections:
        if s.name.startswith(FORBIDDEN_SECTIONS):
            problems.append('%s present (%d bytes)' % (s.name, s.virtual_size))
    entry = image.section_at_rva(image.entry_rva)
    if entry is None or not entry.characteristics & IMAGE_SCN_MEM_EXECUTE:
        problems.append('entry point 0x%x is not in an executable section (%r)'
                        % (image.entry_rva, entry))
    if image.end_of_sections() != len(data):
        problems.append('file is %d bytes but its sections end at %d: trailing data'
                        % (len(data), image.end_of_sections()))
    return problems


def check_loader_layout(data):
    """What the Windows 95 and NT 4.0 loaders need of the section layout:
    4 KiB sections in memory, each in order and page-aligned, file data on
    512-byte boundaries after headers that fit their declared size, and the
    import address tables in writable memory (the 95 loader writes the bound
    addresses without changing any page's protection)."""
    problems = []
    image = PeImage(data)
    if image.section_alignment != 4096:
        problems.append('section alignment %d, not 4096' % image.section_alignment)
    if image.size_of_headers % 512 or image.section_table_end > image.size_of_headers:
        problems.append('headers end at %d, declared size %d'
                        % (image.section_table_end, image.size_of_headers))
    next_rva = 4096
    for s in image.sections:
        if s.rva != next_rva:
            problems.append('%s at rva 0x%x, not 0x%x' % (s.name, s.rva, next_rva))
        next_rva = s.rva + (max(s.virtual_size, s.raw_size) + 4095) // 4096 * 4096
        if s.raw_size and (s.raw_offset % 512 or s.raw_size % 512
                           or s.raw_offset < image.size_of_headers):
            problems.append('%s file data at %d, %d bytes: not on 512-byte blocks after '
                            'the headers' % (s.name, s.raw_offset, s.raw_size))
    if image.size_of_image != next_rva:
        problems.append('image size 0x%x, sections end at 0x%x' % (image.size_of_image, next_rva))
    for name_rva, _, thunk in image.import_descriptors():
        s = image.section_at_rva(thunk)
        if s is None or not s.characteristics & IMAGE_SCN_MEM_WRITE:
            problems.append('%s address table at 0x%x is in %r, not writable'
                            % (image.cstring_at_rva(name_rva), thunk, s))
    return problems


# The linker closes .text with the constructor and destructor lists, each a
# -1, its entries, and a 0. Both must be empty: nothing runs before the entry
# point, and there is no runtime that would run them.
EMPTY_CTOR_DTOR_LISTS = struct.pack('<iiii', -1, 0, -1, 0)


def check_static_init(data):
    image = PeImage(data)
    text = [s for s in image.sections if s.name == '.text']
    if len(text) != 1:
        return ['%d .text sections' % len(text)]
    end = text[0].raw_offset + text[0].virtual_size
    tail = data[end - 16:end]
    if tail != EMPTY_CTOR_DTOR_LISTS:
        return ['.text ends in %s, not the empty constructor/destructor lists' % tail.hex(' ')]
    return []


def check_imports(data, allow_list=ALLOWED_IMPORTS):
    problems = []
    imports = PeImage(data).imports()
    if not imports:
        problems.append('no imports at all')
    allowed = {dll.lower(): names for dll, names in allow_list.items()}
    for dll, names in imports.items():
        if dll.lower() not in allowed:
            problems.append('imports from %s: %s' % (dll, ', '.join(map(str, names))))
            continue
        for name in names:
            if isinstance(name, tuple):
                problems.append('%s imported by ordinal %d' % (dll, name[1]))
            elif name not in allowed[dll.lower()]:
                problems.append('%s!%s is not on the allow-list' % (dll, name))
    return problems


def check_locator(data):
    problems = []
    image = PeImage(data)
    found = []
    start = 0
    while True:
        at = data.find(LOCATOR_SIGNATURE, start)
        if at < 0:
            break
        found.append(at)
        start = at + 1
    if len(found) != 1:
        return ['locator signature found %d times, at %s' % (len(found), found)]
    at = found[0]
    section = image.section_at_offset(at)
    if section is None:
        return ['locator signature at 0x%x lies outside every section' % at]
    flags = section.characteristics
    if (section.name in ('.rdata', '.bss', '.text') or flags & IMAGE_SCN_CNT_CODE
            or flags & IMAGE_SCN_CNT_UNINITIALIZED_DATA
            or not flags & IMAGE_SCN_CNT_INITIALIZED_DATA or not flags & IMAGE_SCN_MEM_WRITE):
        problems.append('locator is in %s (characteristics 0x%08x), not writable '
                        'initialised data' % (section.name, flags))
    if at + 10 > section.raw_offset + min(section.raw_size, section.virtual_size):
        problems.append('locator at 0x%x runs past the file-backed part of %s'
                        % (at, section.name))
    offset = struct.unpack_from('<I', data, at + 6)[0]
    if offset != 0:
        problems.append('locator dataOffset is %d in the shipped stub, not 0' % offset)
    return problems


def class_name(value):
    return CLASS_NAMES.get(value, value) if isinstance(value, int) else value.lower()


def check_dialog(data):
    image = PeImage(data)
    languages = sorted(lang for (t, n, lang) in image.resources()
                       if t == RT_DIALOG and n == IDD_WRITE_PROTECTED)
    if languages != [LANG_EN_US]:
        return ['dialog %d languages %s, not [%d]' % (IDD_WRITE_PROTECTED, languages, LANG_EN_US)]
    try:
        d = decode_dialog(image.resource(RT_DIALOG, IDD_WRITE_PROTECTED, LANG_EN_US))
    except (PeError, struct.error, UnicodeDecodeError) as error:
        return ['dialog template does not decode: %s' % error]
    problems = []

    def expect(what, observed, wanted):
        if observed != wanted:
            problems.append('%s is %r, not %r' % (what, observed, wanted))

    expect('dialog style', hex(d['style']), hex(DIALOG_STYLE))
    expect('dialog extended style', d['exstyle'], 0)
    expect('dialog rect', d['rect'], (0, 0, 257, 73))
    expect('dialog menu', d['menu'], '')
    expect('dialog class', d['class'], '')
    expect('dialog caption', d['caption'], '')
    expect('dialog font', d['font'], (8, 'MS Sans Serif'))
    expect('control count', len(d['items']), len(DIALOG_CONTROLS))
    for n, (item, wanted) in enumerate(zip(d['items'], DIALOG_CONTROLS), 1):
        cid, cls, style, x, y, w, h = wanted
        expect('control %d id' % n, item['id'], cid)
        expect('control %d (id %d) class' % (n, cid), class_name(item['class']), CLASS_NAMES[cls])
        expect('control %d (id %d) style' % (n, cid), hex(item['style']), hex(style))
        expect('control %d (id %d) extended style' % (n, cid), item['exstyle'], 0)
        expect('control %d (id %d) rect' % (n, cid), item['rect'], (x, y, w, h))
        expect('control %d (id %d) text' % (n, cid), item['text'], '')
        expect('control %d (id %d) creation data' % (n, cid), item['extra'], 0)
    return problems


def check_icon(data):
    image = PeImage(data)
    resources = image.resources()
    groups = [(n, lang) for (t, n, lang) in resources if t == RT_GROUP_ICON]
    if [n for n, _ in groups] != [IDI_MAIN]:
        return ['icon groups %s, not exactly %d' % (groups, IDI_MAIN)]
    group = image.resource(RT_GROUP_ICON, IDI_MAIN, groups[0][1])
    r = Reader(group)
    reserved, kind, count = r.u16(), r.u16(), r.u16()
    if (reserved, kind) != (0, 1):
        return ['icon group header %d, %d, not 0, 1' % (reserved, kind)]
    problems = []
    sizes = []
    for _ in range(count):
        width, height, colours, _ = group[r.offset:r.offset + 4]
        r.offset += 4
        planes, bits, length, icon_id = r.u16(), r.u16(), r.u32(), r.u16()
        width, height = width or 256, height or 256
        sizes.append((width, height))
        if (colours, planes, bits) != (16, 1, 4):
            problems.append('icon %dx%d entry: %d colours, %d planes, %d bits'
                            % (width, height, colours, planes, bits))
        images = [key for key in resources if key[0] == RT_ICON and key[1] == icon_id]
        if len(images) != 1:
            problems.append('icon %dx%d: %d RT_ICON resources with id %d'
                            % (width, height, len(images), icon_id))
            continue
        dib = image.resource(*images[0])
        if len(dib) != length:
            problems.append('icon %dx%d: entry says %d bytes, image has %d'
                            % (width, height, length, len(dib)))
        header_size, w, h, dib_planes, dib_bits = struct.unpack_from('<IiiHH', dib, 0)
        if (header_size, w, h, dib_planes, dib_bits) != (40, width, 2 * height, 1, 4):
            problems.append('icon %dx%d bitmap header: size %d, %dx%d, %d planes, %d bits'
                            % (width, height, header_size, w, h, dib_planes, dib_bits))
    if sorted(sizes) != [(16, 16), (32, 32)]:
        problems.append('icon sizes %s, not 32x32 and 16x16' % sizes)
    return problems


def stub_bytes():
    path = os.environ.get('SWEEPKIT_STUB', os.path.join(REPO, 'dist', 'sweepkit-stub.exe'))
    if not os.path.isfile(path):
        raise AssertionError('stub not found at %s (build it with `make stub`)' % path)
    with open(path, 'rb') as f:
        return f.read()


class StubImage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = stub_bytes()

    def test_headers_and_size(self):
        self.assertEqual(check_headers(self.data), [])

    def test_loader_layout(self):
        self.assertEqual(check_loader_layout(self.data), [])

    def test_no_static_constructors(self):
        self.assertEqual(check_static_init(self.data), [])

    def test_imports(self):
        self.assertEqual(check_imports(self.data), [])

    def test_locator(self):
        self.assertEqual(check_locator(self.data), [])

    def test_dialog_template(self):
        self.assertEqual(check_dialog(self.data), [])

    def test_icon(self):
        self.assertEqual(check_icon(self.data), [])


class FaultsAreCaught(unittest.TestCase):
    """Damaged copies of the stub: each check must name what is wrong."""

    @classmethod
    def setUpClass(cls):
        cls.data = stub_bytes()
        cls.image = PeImage(cls.data)

    def patched(self, offset, new):
        data = bytearray(self.data)
        data[offset:offset + len(new)] = new
        return bytes(data)

    def assertProblem(self, problems, text):
        self.assertTrue(any(text in p for p in problems), problems)

    def test_headers(self):
        console = self.patched(self.image.subsystem_offset, struct.pack('<H', 3))
        self.assertProblem(check_headers(console), 'subsystem 3')
        self.assertProblem(check_headers(self.data + b'\0' * 16),
                           'sections end at %d' % len(self.data))
        padded = self.data + b'\0' * (MAX_STUB_SIZE + 1 - len(self.data))
        self.assertProblem(check_headers(padded), 'file is %d bytes' % (MAX_STUB_SIZE + 1))

    def test_loader_layout(self):
        problems = check_loader_layout(
            self.patched(self.image.optional_offset + 32, struct.pack('<I', 512)))
        self.assertProblem(problems, 'section alignment 512')
        # The section table's entry for the section that holds the first
        # address table: clear its write flag, then move its file data off
        # the 512-byte grid.
        thunk = self.image.import_descriptors()[0][2]
        index = self.image.sections.index(self.image.section_at_rva(thunk))
        entry = self.image.section_table_end - 40 * (len(self.image.sections) - index)
        flags = self.image.sections[index].characteristics & ~IMAGE_SCN_MEM_WRITE
        self.assertProblem(check_loader_layout(self.patched(entry + 36, struct.pack('<I', flags))),
                           'not writable')
        moved = self.image.sections[index].raw_offset + 16
        self.assertProblem(check_loader_layout(self.patched(entry + 20, struct.pack('<I', moved))),
                           'file data at %d' % moved)

    def test_static_init(self):
        text = [s for s in self.image.sections if s.name == '.text'][0]
        end = text.raw_offset + text.virtual_size
        # One constructor address in the list: -1, entry, 0 then the dtors.
        with_ctor = self.patched(end - 16, struct.pack('<iIi', -1, 0x401000, 0))
        self.assertProblem(check_static_init(with_ctor), 'ff ff ff ff 00 10 40 00')

    def test_imports(self):
        at = self.data.index(b'ExitProcess\0')
        self.assertProblem(check_imports(self.patched(at, b'ExitProcesz')),
                           'ExitProcesz is not on the allow-list')
        at = self.data.lower().index(b'user32.dll\0')
        self.assertProblem(check_imports(self.patched(at, b'USER64')), 'imports from USER64')

    def test_locator(self):
        self.assertProblem(check_locator(self.data + LOCATOR_SIGNATURE), 'found 2 times')
        at = self.data.index(LOCATOR_SIGNATURE)
        self.assertProblem(check_locator(self.patched(at + 6, struct.pack('<I', 4096))),
                           'dataOffset is 4096')

    def test_dialog(self):
        offset, _ = self.image.resources()[(RT_DIALOG, IDD_WRITE_PROTECTED, LANG_EN_US)]
        self.assertProblem(check_dialog(self.patched(offset + 10, struct.pack('<h', 3))),
                           'dialog rect is (3, 0, 257, 73)')
        # The first control's style follows the 18-byte header, the empty
        # menu, class and caption, the font size and name, aligned to 4.
        first = offset + (18 + 6 + 2 + len('MS Sans Serif') * 2 + 2 + 3) // 4 * 4
        self.assertEqual(struct.unpack_from('<I', self.data, first)[0], DIALOG_CONTROLS[0][2])
        self.assertProblem(check_dialog(self.patched(first, struct.pack('<I', CONTROL))),
                           "control 1 (id 6) style is '0x50000000'")

    def test_icon(self):
        resources = self.image.resources()
        icons = sorted(key for key in resources if key[0] == RT_ICON)
        offset, _ = resources[icons[0]]
        self.assertProblem(check_icon(self.patched(offset + 14, struct.pack('<H', 8))),
                           '1 planes, 8 bits')


class IconSource(unittest.TestCase):
    def test_committed_icon_matches_its_generator(self):
        with tempfile.TemporaryDirectory() as scratch:
            out = os.path.join(scratch, 'icon.ico')
            subprocess.run([sys.executable, os.path.join(REPO, 'scripts', 'make_icon.py'), out],
                           check=True, timeout=120)
            with open(out, 'rb') as f:
                generated = f.read()
        with open(os.path.join(REPO, 'ui', 'sweepkit.ico'), 'rb') as f:
            committed = f.read()
        self.assertEqual(len(generated), len(committed))
        self.assertTrue(generated == committed,
                        'ui/sweepkit.ico differs from scripts/make_icon.py output')


if __name__ == '__main__':
    unittest.main()
