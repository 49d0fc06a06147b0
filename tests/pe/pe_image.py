"""A small reader for 32-bit PE images: headers, sections, imports and
resources, enough to check what the stub's build produced."""
import struct

IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040
IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x00000080
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIR_IMPORT = 1
DIR_RESOURCE = 2
DIR_BASERELOC = 5
DIR_TLS = 9
DIR_DELAY_IMPORT = 13

RT_ICON = 3
RT_DIALOG = 5
RT_GROUP_ICON = 14


class PeError(Exception):
    pass


class Section:
    def __init__(self, raw):
        name, self.virtual_size, self.rva, self.raw_size, self.raw_offset, _, _, _, _, \
            self.characteristics = struct.unpack('<8sIIIIIIHHI', raw)
        self.name = name.rstrip(b'\0').decode('latin-1')

    def __repr__(self):
        return 'section %s' % self.name


class PeImage:
    def __init__(self, data):
        self.data = bytes(data)
        if self.data[:2] != b'MZ':
            raise PeError('no MZ header')
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b'PE\0\0':
            raise PeError('no PE signature at 0x%x' % pe)
        (self.machine, section_count, self.timestamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from('<HHIIIHH', self.data, pe + 4)
        opt = pe + 24
        self.optional_offset = opt
        self.magic = self.u16(opt)
        if self.magic != 0x10B:
            raise PeError('optional header magic 0x%x is not PE32' % self.magic)
        self.entry_rva = self.u32(opt + 16)
        self.image_base = self.u32(opt + 28)
        self.section_alignment = self.u32(opt + 32)
        self.file_alignment = self.u32(opt + 36)
        self.os_version = (self.u16(opt + 40), self.u16(opt + 42))
        self.size_of_image = self.u32(opt + 56)
        self.size_of_headers = self.u32(opt + 60)
        self.subsystem_version = (self.u16(opt + 48), self.u16(opt + 50))
        self.subsystem_offset = opt + 68
        self.subsystem = self.u16(opt + 68)
        self.dll_characteristics = self.u16(opt + 70)
        directory_count = self.u32(opt + 92)
        self.directories = [struct.unpack_from('<II', self.data, opt + 96 + 8 * i)
                            for i in range(min(directory_count, 16))]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        table = opt + optional_size
        self.section_table_end = table + 40 * section_count
        self.sections = [Section(self.data[table + 40 * i:table + 40 * (i + 1)])
                         for i in range(section_count)]

    def u16(self, offset):
        return struct.unpack_from('<H', self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from('<I', self.data, offset)[0]

    def directory(self, index):
        return self.directories[index]

    def section_at_rva(self, rva):
        for s in self.sections:
            if s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size):
                return s
        return None

    def section_at_offset(self, offset):
        for s in self.sections:
            if s.raw_offset <= offset < s.raw_offset + s.raw_size:
                return s
        return None

    def offset_of_rva(self, rva):
        s = self.section_at_rva(rva)
        if s is None or rva - s.rva >= s.raw_size:
            raise PeError('rva 0x%x is not backed by the file' % rva)
        return s.raw_offset + rva - s.rva

    def cstring_at_rva(self, rva):
        start = self.offset_of_rva(rva)
        end = self.data.index(b'\0', start)
        return self.data[start:end].decode('latin-1')

    def end_of_sections(self):
        return max(s.raw_offset + s.raw_size for s in self.sections)

    def import_descriptors(self):
        """[(dll name rva, lookup table rva, address table rva)] in table order."""
        rva, size = self.directory(DIR_IMPORT)
        result = []
        if not rva:
            return result
        offset = self.offset_of_rva(rva)
        while True:
            lookup, _, _, name_rva, thunk = struct.unpack_from('<IIIII', self.data, offset)
            if name_rva == 0 and thunk == 0:
                return result
            result.append((name_rva, lookup, thunk))
            offset += 20

    def imports(self):
        """{dll name: [function name, or ('ordinal', n)]} in table order."""
        result = {}
        for name_rva, lookup, thunk in self.import_descriptors():
            names = []
            entry = self.offset_of_rva(lookup or thunk)
            while True:
                value = self.u32(entry)
                if value == 0:
                    break
                if value & 0x80000000:
                    names.append(('ordinal', value & 0xFFFF))
                else:
                    names.append(self.cstring_at_rva(value + 2))
                entry += 4
            result[self.cstring_at_rva(name_rva)] = names
        return result

    def resources(self):
        """{(type, name, language): (file offset, size)} for id-named entries;
        string-named entries are reported under their string."""
        rva, _ = self.directory(DIR_RESOURCE)
        result = {}
        if not rva:
            return result
        base = self.offset_of_rva(rva)

        def entries(offset):
            named, ids = struct.unpack_from('<HH', self.data, base + offset + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from('<II', self.data, base + offset + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = self.u16(at)
                    key = self.data[at + 2:at + 2 + 2 * length].decode('utf-16-le')
                yield key, target

        for rtype, t in entries(0):
            if not t & 0x80000000:
                raise PeError('resource type %r is not a directory' % (rtype,))
            for name, n in entries(t & 0x7FFFFFFF):
                if not n & 0x80000000:
                    raise PeError('resource name %r is not a directory' % (name,))
                for language, leaf in entries(n & 0x7FFFFFFF):
                    if leaf & 0x80000000:
                        raise PeError('resource language %r is a directory' % (language,))
                    data_rva, size, _, _ = struct.unpack_from('<IIII', self.data, base + leaf)
                    result[(rtype, name, language)] = (self.offset_of_rva(data_rva), size)
        return result

    def resource(self, rtype, name, language):
        offset, size = self.resources()[(rtype, name, language)]
        return self.data[offset:offset + size]


class Reader:
    """Sequential little-endian reader over a byte string."""

    def __init__(self, data, offset=0):
        self.data = data
        self.offset = offset

    def u16(self):
        value = struct.unpack_from('<H', self.data, self.offset)[0]
        self.offset += 2
        return value

    def i16(self):
        value = struct.unpack_from('<h', self.data, self.offset)[0]
        self.offset += 2
        return value

    def u32(self):
        value = struct.unpack_from('<I', self.data, self.offset)[0]
        self.offset += 4
        return value

    def wstring(self):
        end = self.offset
        while struct.unpack_from('<H', self.data, end)[0] != 0:
            end += 2
        text = self.data[self.offset:end].decode('utf-16-le')
        self.offset = end + 2
        return text

    def sz_or_ord(self):
        """A name that is either 0xFFFF and an ordinal, or a string."""
        if struct.unpack_from('<H', self.data, self.offset)[0] == 0xFFFF:
            self.offset += 2
            return self.u16()
        return self.wstring()

    def align(self, n):
        self.offset = (self.offset + n - 1) // n * n


DS_SETFONT = 0x40


def decode_dialog(data):
    """A classic DLGTEMPLATE and its items as plain dicts. Raises PeError for
    the extended form."""
    r = Reader(data)
    if struct.unpack_from('<HH', data, 0) == (1, 0xFFFF):
        raise PeError('template is the extended form (DLGTEMPLATEEX)')
    dialog = {'style': r.u32(), 'exstyle': r.u32()}
    count = r.u16()
    dialog['rect'] = (r.i16(), r.i16(), r.i16(), r.i16())
    dialog['menu'] = r.sz_or_ord()
    dialog['class'] = r.sz_or_ord()
    dialog['caption'] = r.wstring()
    if dialog['style'] & DS_SETFONT:
        dialog['font'] = (r.u16(), r.wstring())
    else:
        dialog['font'] = None
    items = []
    for _ in range(count):
        r.align(4)
        item = {'style': r.u32(), 'exstyle': r.u32()}
        item['rect'] = (r.i16(), r.i16(), r.i16(), r.i16())
        item['id'] = r.u16()
        item['class'] = r.sz_or_ord()
        item['text'] = r.sz_or_ord()
        # Creation data: a size word, then that many bytes (size word included).
        item['extra'] = r.u16()
        r.offset += max(item['extra'] - 2, 0)
        items.append(item)
    dialog['items'] = items
    return dialog
