"""Windows programs: their machine, whether they are a DLL, and the FileVersion of their version
resource as the updater reads it."""
import struct


class PeError(Exception):
    pass


def _u16(data, offset):
    if offset < 0 or offset + 2 > len(data):
        raise PeError("reads past the end of the file")
    return struct.unpack_from("<H", data, offset)[0]


def _u32(data, offset):
    if offset < 0 or offset + 4 > len(data):
        raise PeError("reads past the end of the file")
    return struct.unpack_from("<I", data, offset)[0]


def _pe_coff_header(data):
    """The offset of a PE file's COFF header. Raises PeError when `data` is not a PE file."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise PeError("not a Windows program (no MZ header)")
    pe = _u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("not a Windows program (no PE header)")
    return pe + 4


MACHINES = {0x14C: "32-bit x86", 0x8664: "64-bit x64", 0xAA64: "64-bit ARM", 0x1C4: "32-bit ARM"}


def pe_image(data):
    """(machine name, is a DLL) of a PE file. Raises PeError when `data` is not a PE file."""
    coff = _pe_coff_header(data)
    machine = _u16(data, coff)
    characteristics = _u16(data, coff + 18)
    return MACHINES.get(machine, "machine 0x%X" % machine), bool(characteristics & 0x2000)


def pe_sections(data):
    """The section table of a PE file: [(virtual address, virtual size, raw offset, raw size)], and
    the resource directory's (rva, size). Raises PeError when `data` is not a PE file."""
    coff = _pe_coff_header(data)
    sections = _u16(data, coff + 2)
    optional_size = _u16(data, coff + 16)
    optional = coff + 20
    magic = _u16(data, optional)
    if magic == 0x10B:
        count_at, dirs_at = optional + 92, optional + 96
    elif magic == 0x20B:
        count_at, dirs_at = optional + 108, optional + 112
    else:
        raise PeError("unknown optional header 0x%X" % magic)
    resource = (0, 0)
    if _u32(data, count_at) > 2:
        resource = (_u32(data, dirs_at + 16), _u32(data, dirs_at + 20))
    table = []
    at = optional + optional_size
    for k in range(sections):
        s = at + 40 * k
        table.append((_u32(data, s + 12), _u32(data, s + 8), _u32(data, s + 20), _u32(data, s + 16)))
    return table, resource


def _rva_to_offset(table, rva):
    for va, vsize, raw, rsize in table:
        if va <= rva < va + max(vsize, rsize):
            if rva - va >= rsize:
                raise PeError("resource data lies outside the file's sections")
            return raw + rva - va
    raise PeError("address 0x%X is in no section" % rva)


def version_resource(data):
    """The bytes of the first version resource of a PE file, or None when it has none."""
    table, (res_rva, res_size) = pe_sections(data)
    if not res_rva or not res_size:
        return None
    base = _rva_to_offset(table, res_rva)

    def entries(directory):
        named = _u16(data, directory + 12)
        ids = _u16(data, directory + 14)
        for k in range(named + ids):
            e = directory + 16 + 8 * k
            yield _u32(data, e), _u32(data, e + 4)

    types = [(name, target) for name, target in entries(base) if name == 16]  # RT_VERSION
    if not types:
        return None
    node = types[0][1]
    for _ in range(2):  # the name level, then the language level: first entry of each
        if not node & 0x80000000:
            raise PeError("damaged resource directory")
        found = list(entries(base + (node & 0x7FFFFFFF)))
        if not found:
            return None
        node = found[0][1]
    if node & 0x80000000:
        raise PeError("damaged resource directory")
    entry = base + node
    rva, size = _u32(data, entry), _u32(data, entry + 4)
    offset = _rva_to_offset(table, rva)
    if offset + size > len(data):
        raise PeError("version resource runs past the end of the file")
    return data[offset:offset + size]


def _version_block(data, offset, end):
    """One block of a version resource: (key, value bytes, is text, children's (start, end), next)."""
    length = _u16(data, offset)
    value_length = _u16(data, offset + 2)
    kind = _u16(data, offset + 4)
    if length < 6 or offset + length > end:
        raise PeError("damaged version resource")
    block_end = offset + length
    k = offset + 6
    key_chars = []
    while True:
        if k + 2 > block_end:
            raise PeError("damaged version resource")
        c = _u16(data, k)
        k += 2
        if c == 0:
            break
        key_chars.append(c)
    key = struct.pack("<%dH" % len(key_chars), *key_chars).decode("utf-16-le", "replace")
    value_at = (k + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length
    value_end = min(value_at + value_bytes, block_end)
    value = data[value_at:value_end] if value_at <= block_end else b""
    children = ((value_end + 3) & ~3, block_end)
    return key, value, kind == 1, children, (block_end + 3) & ~3


def _children(data, span):
    start, end = span
    while start + 6 <= end:
        key, value, text, children, following = _version_block(data, start, end)
        yield key, value, text, children
        start = following


def _text_value(value):
    chars = []
    for k in range(0, len(value) - 1, 2):
        c = struct.unpack_from("<H", value, k)[0]
        if c == 0:
            break
        chars.append(c)
    return struct.pack("<%dH" % len(chars), *chars).decode("utf-16-le", "replace")


def file_version(data):
    """The FileVersion string of a PE file's version resource, as a Windows program gets it when it
    asks for the string table of the first language and code page of the translation table, with
    every space removed. Raises PeError with the reason when it cannot be read."""
    resource = version_resource(data)
    if resource is None:
        raise PeError("has no version resource")
    key, _, _, children, _ = _version_block(resource, 0, len(resource))
    if key != "VS_VERSION_INFO":
        raise PeError("damaged version resource")
    translation = None
    tables = {}
    for key, _, _, span in _children(resource, children):
        if key == "VarFileInfo":
            for vkey, vvalue, _, _ in _children(resource, span):
                if vkey == "Translation" and len(vvalue) >= 4 and translation is None:
                    lang, codepage = struct.unpack_from("<HH", vvalue, 0)
                    translation = "%04X%04X" % (lang, codepage)
        elif key == "StringFileInfo":
            for tkey, _, _, tspan in _children(resource, span):
                strings = tables.setdefault(tkey.upper(), {})
                for skey, svalue, _, _ in _children(resource, tspan):
                    strings.setdefault(skey.upper(), _text_value(svalue))
    if translation is None:
        raise PeError("version resource has no translation table, so the updater cannot read it "
                      "(バージョン情報の取得に失敗しました)")
    table = tables.get(translation)
    if table is None or "FILEVERSION" not in table:
        raise PeError("has no FileVersion string for language and code page %s" % translation)
    return table["FILEVERSION"].replace(" ", "")


def updater_version(file_version_text):
    """The version the updater sees in a FileVersion string (spaces already removed): surrounding
    spaces and control characters trimmed, then the last two characters dropped."""
    text = file_version_text.strip("".join(chr(c) for c in range(33)))
    return text[:-2] if len(text) >= 2 else text
