#!/usr/bin/env python3
"""Checks an update package before it is served to workstations.

    check-package.py [--allow-uncompressed] [--allow-stand-ins] [--digests] PACKAGE_FOLDER
    check-package.py PACKAGE_FOLDER --pin-table OUTPUT.cpp
    check-package.py PACKAGE_FOLDER --against-exe KarUpdt.exe
    check-package.py PACKAGE_FOLDER --live http://<host>/karedona/ [--proxy HOST:PORT]

PACKAGE_FOLDER is the folder whose files the update server offers as
http://<host>/karedona/<name> (the "karedona" folder of the server's document root). For each of
the 19 files that KarUpdt can fetch, in the order it fetches them, one line tells whether the file
is there and sound:

- the 17 compressed components: a valid SZDD header (the format of the Windows compress tool and
  Debian's mscompress), LZSS data that decodes without running past the end of the file, and an
  expanded size equal to the size the header announces (the updater refuses a component whose
  expanded size differs, and installs nothing after it);
- kar160.ex_ besides: it expands to a Windows program whose version resource's FileVersion, read
  the way the updater reads versions (spaces removed, the last two characters dropped), is 1.6.0;
- Regsvr32.ex_ besides: it expands to a 32-bit Windows program, not a DLL (the updater runs it,
  and a 64-bit regsvr32 cannot register the 32-bit controls);
- neither kar160.ex_ nor Regsvr32.ex_ holds this project's stand-in for karemain.exe or
  regsvr32.exe, which tests and the demo use (their version resource says so); --allow-stand-ins
  accepts them in a test package;
- Imgkit5.lzh and Imgkit6.lzh: LHA archives (header levels 0, 1 and 2) whose headers read cleanly
  and that `lhasa t` tests without error (every member decompresses with a matching CRC), holding
  ImgKit5.ocx or ImgKit6.ocx at the top of the archive (the updater registers the control in the
  folder it extracts the archive into; letter case does not matter). The ImgKit5.ocx inside should
  have the FileVersion 2,1,0,16 that the updater looks for, or workstations will install ImageKit 5
  again on every update (a warning).

A component that is not compressed at all (no SZDD header) is copied through unchanged by the
system's expander, so the updater would install it as it is. Such a file is far more often a
mistake (a component copied without compressing it, an error page saved under the component's
name) than a choice, so the checker reports it as a FAULT. With --allow-uncompressed it is reported
as a WARNING instead and does not make the check fail.

Each line reads: number, file name, ok / WARNING / FAULT, and what was found. A summary line
follows. Exit status: 0 when no file has a fault (warnings allowed), 1 when any file has a fault,
2 for bad usage (no folder, a folder that does not exist, an unknown option).

With --digests the size and SHA-256 of each file follow, as a KarUpdt.exe built for this package
would pin them. --pin-table writes them as the C++ source that the build links into KarUpdt.exe
(cmake -DKARUPDT_PACKAGE=...), after the same check: a package with a fault writes nothing and
exits 1, which fails the build. The file is rewritten only when its content changes.
--against-exe reads the table that a KarUpdt.exe carries and compares it with the package, one
line per file: exit 1 when the executable carries no table or any file differs ("is this the
executable for this package?").

--live fetches each of the 19 files from the published URL as the updater does (one GET per file,
HTTP/1.1 with "Connection: close", through the proxy when --proxy is given) and reports per file:
the status, a redirect and where to, whether Content-Length is present and matches the body, an
on-the-fly Content-Encoding, and whether the bytes equal the local package's. Exit 1 when any file
is not served as the updater needs it, or when the server cannot be reached at all.

Needs Python 3 and, for the LHA archives, `lhasa` (Debian package lhasa).
"""
import argparse
import hashlib
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

# (file name on the server, what it expands to, when the updater fetches it), in download order.
# None as the expanded name marks the two LHA archives.
COMPONENTS = [
    ("kar160.ex_", "karemain.exe", "always"),
    ("DLKR_DL.ex_", "DLKR_DL.exe", "always"),
    ("karstang.di_", "karstang.dic", "always"),
    ("Zoomhint.tx_", "ZoomHint.txt", "always"),
    ("cellmapa.da_", "cellmapa.dat", "always"),
    ("cellmapb.da_", "cellmapb.dat", "always"),
    ("vornlib.dl_", "vornlib.dll", "always"),
    ("FindUpd.ex_", "FindUpd.exe", "always"),
    ("tvdialog.dl_", "tvdialog.dll", "always"),
    ("plxShow.ex_", "plxShow.exe", "always"),
    ("GroupList.Ms_", "GroupList.Mst", "always"),
    ("GroupMst.in_", "GroupMst.ini", "always"),
    ("KarScan.ex_", "KarScan.exe", "always"),
    ("KarScanPaste.ex_", "KarScanPaste.exe", "always"),
    ("KarScan.de_", "KarScan.def", "always"),
    ("SCANABORT.EX_", "scanabort.exe", "always"),
    ("Regsvr32.ex_", "Regsvr32.exe", "when an ImageKit control is installed"),
    ("Imgkit5.lzh", None, "when ImageKit 5 is missing or not 2,1,0,16"),
    ("Imgkit6.lzh", None, "when ImageKit 6 is missing"),
]

ARCHIVE_CONTROLS = {"Imgkit5.lzh": "ImgKit5.ocx", "Imgkit6.lzh": "ImgKit6.ocx"}

UPDATE_VERSION = "1.6.0"
IMAGEKIT5_VERSION = "2,1,0,16"

OK, WARNING, FAULT = "ok", "WARNING", "FAULT"


class Finding:
    """The verdict on one file: a level and the notes that explain it."""

    def __init__(self):
        self.level = OK
        self.notes = []

    def note(self, text):
        self.notes.append(text)

    def warn(self, text):
        if self.level == OK:
            self.level = WARNING
        self.notes.append(text)

    def fault(self, text):
        self.level = FAULT
        self.notes.append(text)


# ---------------------------------------------------------------------------------------------
# SZDD: the compressed format of the Windows compress tool

SZDD_MAGIC = b"SZDD\x88\xf0\x27\x33"
SZDD_HEADER_SIZE = 14


class SzddError(Exception):
    pass


def szdd_header(data):
    """(mode, missing character, announced size) of an SZDD file; raises SzddError when the header
    is short or the mode is not 'A'. The caller has checked the magic bytes."""
    if len(data) < SZDD_HEADER_SIZE:
        raise SzddError("SZDD header cut short (%d of %d bytes)" % (len(data), SZDD_HEADER_SIZE))
    mode = data[8]
    if mode != ord("A"):
        raise SzddError("SZDD compression mode 0x%02X is not 'A'" % mode)
    size = struct.unpack_from("<I", data, 10)[0]
    return mode, data[9], size


def lzss_decode(data, start=SZDD_HEADER_SIZE, limit=None):
    """Decodes the LZSS data of an SZDD file from `start` to the end of `data`.

    The window holds 4096 bytes, filled with spaces, and the first byte goes to position 4080.
    Each flag byte governs the next eight items, least significant bit first: a set bit is one
    literal byte, a clear bit a two-byte match (window position: the first byte, plus the high
    nibble of the second byte as bits 8 to 11; length: the low nibble of the second byte plus 3).

    Raises SzddError when a match is cut off by the end of the data, or when the output grows past
    `limit` bytes (when given). Returns the decoded bytes."""
    window = bytearray(b" " * 4096)
    pos = 4096 - 16
    out = bytearray()
    i = start
    n = len(data)
    while i < n:
        flags = data[i]
        i += 1
        for bit in range(8):
            if i >= n:
                break
            if flags & (1 << bit):
                b = data[i]
                i += 1
                out.append(b)
                window[pos] = b
                pos = (pos + 1) & 0xFFF
            else:
                if i + 1 >= n:
                    raise SzddError("compressed data ends in the middle of a match at byte %d" % i)
                lo = data[i]
                hi = data[i + 1]
                i += 2
                src = lo | ((hi & 0xF0) << 4)
                for _ in range((hi & 0x0F) + 3):
                    b = window[src]
                    src = (src + 1) & 0xFFF
                    out.append(b)
                    window[pos] = b
                    pos = (pos + 1) & 0xFFF
        if limit is not None and len(out) > limit:
            raise SzddError("expands past the %d bytes its header announces" % limit)
    return bytes(out)


def szdd_expand(data):
    """Expands a whole SZDD file; raises SzddError when it is not sound (see lzss_decode), or when
    the expanded size differs from the size in the header."""
    if not data.startswith(SZDD_MAGIC):
        raise SzddError("no SZDD header")
    _, _, size = szdd_header(data)
    out = lzss_decode(data, limit=size)
    if len(out) != size:
        raise SzddError("expands to %d bytes, but its header announces %d (file cut short or damaged)"
                        % (len(out), size))
    return out


# ---------------------------------------------------------------------------------------------
# Windows programs and their version resources

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


# ---------------------------------------------------------------------------------------------
# LHA archives

class LhaError(Exception):
    pass


KNOWN_METHODS = {b"-lh0-", b"-lh1-", b"-lh4-", b"-lh5-", b"-lh6-", b"-lh7-", b"-lhd-",
                 b"-lzs-", b"-lz4-", b"-lz5-"}


def _ext_headers(data, at, first_size, end):
    """Walks the extended headers of level 1 and 2 from `at`; returns ({type: [data]}, offset after
    them, total size)."""
    found = {}
    size = first_size
    total = 0
    while size:
        if size < 3 or at + size > end:
            raise LhaError("extended header at byte %d runs past its header" % at)
        kind = data[at]
        found.setdefault(kind, []).append(data[at + 1:at + size - 2])
        total += size
        next_size = struct.unpack_from("<H", data, at + size - 2)[0]
        at += size
        size = next_size
    return found, at, total


def _ext_name(found, fallback):
    name = fallback
    if 0x01 in found:
        name = found[0x01][0]
    if 0x02 in found:
        folder = found[0x02][0].replace(b"\xff", b"/")
        name = folder + (b"" if folder.endswith(b"/") else b"/") + name
    return name


def lha_members(data):
    """The members of an LHA archive, read from its headers: [(name, method, packed, original)].
    Raises LhaError when a header is damaged or a member's data runs past the end of the file."""
    members = []
    at = 0
    n = len(data)
    while True:
        if at >= n or data[at] == 0:
            break  # the end mark, or the end of the file
        if at + 22 > n:
            raise LhaError("header at byte %d cut short" % at)
        level = data[at + 20]
        method = bytes(data[at + 2:at + 7])
        if method[:1] != b"-" or method[4:5] != b"-":
            raise LhaError("no LHA header at byte %d" % at)
        packed, original = struct.unpack_from("<II", data, at + 7)
        if level in (0, 1):
            size = data[at] + 2
            if at + size > n:
                raise LhaError("header at byte %d cut short" % at)
            if sum(data[at + 2:at + size]) & 0xFF != data[at + 1]:
                raise LhaError("header checksum wrong at byte %d" % at)
            name = bytes(data[at + 22:at + 22 + data[at + 21]])
            data_at = at + size
            if level == 1:
                found, data_at, extended = _ext_headers(data, at + size, struct.unpack_from(
                    "<H", data, at + size - 2)[0], n)
                packed -= extended
                if packed < 0:
                    raise LhaError("header at byte %d gives a negative data size" % at)
                name = _ext_name(found, name)
        elif level == 2:
            size = struct.unpack_from("<H", data, at)[0]
            if size < 26 or at + size > n:
                raise LhaError("header at byte %d cut short" % at)
            found, _, _ = _ext_headers(data, at + 26, struct.unpack_from("<H", data, at + 24)[0], at + size)
            name = _ext_name(found, b"")
            data_at = at + size
        else:
            raise LhaError("header level %d at byte %d is not one the updater's archiver reads" % (level, at))
        if method not in KNOWN_METHODS:
            raise LhaError("unknown compression method %s" % method.decode("latin-1"))
        if data_at + packed > n:
            raise LhaError("data of %s runs past the end of the file (%d bytes missing)"
                           % (name.decode("cp932", "replace"), data_at + packed - n))
        members.append((name.decode("cp932", "replace"), method.decode("latin-1"), packed, original))
        at = data_at + packed
    return members


def lhasa_run(args):
    """Runs lhasa; returns (exit status, output), or (None, reason) when it cannot be run."""
    if shutil.which("lhasa") is None:
        return None, "lhasa is not installed (Debian package lhasa), so the archive was not tested"
    env = dict(os.environ, LC_ALL="C")
    try:
        done = subprocess.run(["lhasa"] + args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=env, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, "lhasa failed to run: %s" % error
    return done.returncode, done.stdout.decode("utf-8", "replace")


def _lhasa_complaint(output):
    """The piece of lhasa's output that names a problem, without its progress display."""
    pieces = [" ".join(p.split()) for p in output.replace("\r", "\n").split("\n")]
    pieces = [p for p in pieces if p]
    for marker in ("CRC error", "rror", "ailed", "nknown", "not"):
        for piece in pieces:
            if marker in piece:
                return piece[:160]
    return pieces[-1][:160] if pieces else "no output"


def check_archive(path, control, finding):
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        finding.fault("empty file")
        return
    try:
        members = lha_members(data)
    except LhaError as error:
        finding.fault("not a sound LHA archive: %s" % error)
        return
    if not members:
        finding.fault("not an LHA archive (no member found)")
        return
    finding.note("LHA archive, %d member%s" % (len(members), "" if len(members) == 1 else "s"))

    status, output = lhasa_run(["t", path])
    if status is None:
        finding.fault(output)
        return
    if status != 0 or "Tested" not in output:
        finding.fault("`lhasa t` fails: %s" % _lhasa_complaint(output))
        return
    finding.note("`lhasa t` passes")

    # The updater extracts into the ImageKit folder and registers <folder>\<control>, so the control
    # must be at the top of the archive; Windows file names ignore letter case.
    def base(member):
        return member[0].replace("\\", "/").rsplit("/", 1)[-1].lower()

    matches = [m for m in members if m[0].lower() == control.lower()]
    if not matches:
        inside = [m[0] for m in members if base(m) == control.lower()]
        if inside:
            finding.fault("holds %s only inside a folder (%s): it must be at the top of the archive, where "
                          "the updater registers it" % (control, inside[0]))
            return
        names = ", ".join(m[0] for m in members[:5]) + (", ..." if len(members) > 5 else "")
        finding.fault("does not hold %s (holds %s)" % (control, names))
        return
    name, _, _, original = matches[0]
    if original == 0:
        finding.fault("%s in it is empty" % control)
        return
    finding.note("holds %s (%d bytes)" % (name, original))
    if control != "ImgKit5.ocx":
        return

    # ImageKit 5 counts as installed only in version 2,1,0,16.
    with tempfile.TemporaryDirectory() as work:
        status, output = lhasa_run(["-xqiw=" + work, path])
        extracted = [os.path.join(work, f) for f in os.listdir(work) if f.lower() == control.lower()]
        if status != 0 or not extracted:
            finding.fault("%s could not be extracted: %s" % (control, _lhasa_complaint(output)))
            return
        with open(extracted[0], "rb") as f:
            content = f.read()
    try:
        version = file_version(content)
    except PeError as error:
        finding.warn("%s %s; workstations will install ImageKit 5 again on every update" % (control, error))
        return
    if version != IMAGEKIT5_VERSION:
        finding.warn("%s has FileVersion %s, not %s; workstations will install ImageKit 5 again on "
                     "every update" % (control, version, IMAGEKIT5_VERSION))
    else:
        finding.note("FileVersion %s" % version)


# ---------------------------------------------------------------------------------------------
# Compressed components

# The project's stand-ins for karemain.exe and regsvr32.exe carry this in their version resource.
STAND_IN_MARK = "KARUPDT-STAND-IN".encode("utf-16-le")


def check_compressed(path, name, expanded_name, finding, allow_uncompressed, allow_stand_ins):
    with open(path, "rb") as f:
        data = f.read()
    if not data:
        finding.fault("empty file")
        return
    if data.startswith(SZDD_MAGIC):
        try:
            expanded = szdd_expand(data)
        except SzddError as error:
            finding.fault(str(error))
            return
        finding.note("SZDD, expands cleanly to %s (%d -> %d bytes)" % (expanded_name, len(data), len(expanded)))
        if len(expanded) < 16:
            # Such a file decodes to the right size whatever it holds, so its content cannot be
            # told: it is shown, for the vendor to compare.
            finding.warn("only %d bytes: Debian's mscompress writes wrong data for inputs shorter than 16 "
                         "bytes (make-package.py does not use it for them), so make sure this one holds "
                         "what it should: %s" % (len(expanded), ascii(expanded)[1:]))
    elif SZDD_MAGIC.startswith(data[:8]) or data[:4] == b"SZDD":
        finding.fault("damaged SZDD header")
        return
    else:
        text = "not compressed (no SZDD header): the updater would install these %d bytes unchanged as %s" % (
            len(data), expanded_name)
        if allow_uncompressed:
            finding.warn(text)
        else:
            finding.fault(text)
        expanded = data

    if name in ("kar160.ex_", "Regsvr32.ex_") and STAND_IN_MARK in expanded:
        if allow_stand_ins:
            finding.note("%s is this project's stand-in (allowed by --allow-stand-ins)" % expanded_name)
        else:
            finding.fault("%s is this project's stand-in for tests and the demo, not the real program: "
                          "workstations must not get it" % expanded_name)
            return

    if name == "kar160.ex_":
        try:
            version = file_version(expanded)
        except PeError as error:
            finding.fault("%s %s" % (expanded_name, error))
            return
        seen = updater_version(version)
        if seen != UPDATE_VERSION:
            finding.fault("%s has FileVersion %s, which the updater reads as %s, not %s"
                          % (expanded_name, version, seen, UPDATE_VERSION))
        else:
            finding.note("%s FileVersion %s reads as %s" % (expanded_name, version, seen))
    elif name == "Regsvr32.ex_":
        try:
            machine, dll = pe_image(expanded)
        except PeError as error:
            finding.fault("%s is %s" % (expanded_name, error))
            return
        if dll:
            finding.fault("%s is a DLL, not a program the updater can run" % expanded_name)
        elif machine != "32-bit x86" and not (allow_stand_ins and STAND_IN_MARK in expanded):
            # (The stand-in is built for the test build's architecture, 64-bit on a host that runs no
            # 32-bit code.)
            # A 64-bit regsvr32 loads only 64-bit controls; the ImageKit controls are 32-bit.
            finding.fault("%s is a %s program: the 32-bit controls need the 32-bit regsvr32.exe "
                          "(on 64-bit Windows the one in SysWOW64)" % (expanded_name, machine))
        else:
            finding.note("%s is a 32-bit Windows program" % expanded_name)


# ---------------------------------------------------------------------------------------------

def check_folder(folder, allow_uncompressed=False, allow_stand_ins=False):
    """[(number, name, Finding)] for the 19 files, in download order, and the folder's other files."""
    present = {}
    try:
        entries = os.listdir(folder)
    except OSError:
        entries = []
    for entry in entries:
        present.setdefault(entry.lower(), []).append(entry)
    known = {name.lower() for name, _, _ in COMPONENTS}

    results = []
    for number, (name, expanded, _) in enumerate(COMPONENTS, 1):
        finding = Finding()
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            others = [e for e in present.get(name.lower(), []) if e != name]
            if others:
                finding.fault("missing (there is %s: names on the server are case-sensitive)" % others[0])
            else:
                finding.fault("missing")
        else:
            try:
                if expanded is None:
                    check_archive(path, ARCHIVE_CONTROLS[name], finding)
                else:
                    check_compressed(path, name, expanded, finding, allow_uncompressed, allow_stand_ins)
            except OSError as error:
                finding.fault("cannot be read: %s" % error.strerror)
        results.append((number, name, finding))
    extra = sorted(e for e in entries if e.lower() not in known)
    return results, extra


# ---------------------------------------------------------------------------------------------
# The pinned package: what a KarUpdt.exe built for this package accepts

PIN_MARKER = b"KARUPDT-PINNED-PACKAGE 1\n"
PIN_END = b"END\n"


def package_digests(folder):
    """[(name, size, sha256 hex)] of the 19 files, in download order."""
    entries = []
    for name, _, _ in COMPONENTS:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        entries.append((name, len(data), hashlib.sha256(data).hexdigest()))
    return entries


class ExpansionError(Exception):
    pass


def expanded_digests(folder):
    """[(name, size, sha256 hex)] of what the 19 files give on a workstation, in download order: the
    expanded components and Regsvr32.exe, and each archive's control as extracted. The updater checks
    every file it installs or runs against these. Raises ExpansionError when one cannot be made."""
    entries = []
    for name, expanded, _ in COMPONENTS:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        if expanded is not None:
            try:
                content = szdd_expand(data) if data.startswith(SZDD_MAGIC) else data
            except SzddError as error:
                raise ExpansionError("%s does not expand: %s" % (name, error))
            entries.append((expanded, len(content), hashlib.sha256(content).hexdigest()))
            continue
        control = ARCHIVE_CONTROLS[name]
        with tempfile.TemporaryDirectory() as work:
            status, output = lhasa_run(["-xqiw=" + work, os.path.join(folder, name)])
            if status is None:
                raise ExpansionError(output)
            found = [f for f in os.listdir(work) if f.lower() == control.lower()]
            if status != 0 or not found:
                raise ExpansionError("%s could not be extracted from %s: %s" % (control, name, _lhasa_complaint(output)))
            with open(os.path.join(work, found[0]), "rb") as f:
                content = f.read()
        entries.append((control, len(content), hashlib.sha256(content).hexdigest()))
    return entries


def pin_block(entries):
    """The table as KarUpdt.exe carries it: a marker line, one line per file (the files served, then
    what they expand to), an end line."""
    lines = [PIN_MARKER.decode()] + ["%s %d %s\n" % entry for entry in entries] + [PIN_END.decode()]
    return "".join(lines)


def pin_source(entries, folder):
    """The C++ source defining the table for the executable."""
    quoted = "\n".join('    "%s\\n"' % line for line in pin_block(entries).splitlines())
    return ("// Generated by scripts/check-package.py --pin-table from %s; do not edit.\n"
            "// The size and SHA-256 of each file of the package this KarUpdt.exe accepts.\n"
            '#include "app/pinned_package.h"\n\n'
            "const char* const kPinnedPackage =\n%s;\n" % (os.path.abspath(folder), quoted))


def pinned_in_exe(path):
    """The table a KarUpdt.exe carries as {name: (size, sha256)}, or None when it carries none."""
    with open(path, "rb") as f:
        data = f.read()
    start = data.find(PIN_MARKER)
    if start < 0:
        return None
    end = data.find(PIN_END, start)
    if end < 0:
        return None
    table = {}
    for line in data[start + len(PIN_MARKER):end].decode("ascii", "replace").splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1].isdigit():
            table[fields[0]] = (int(fields[1]), fields[2])
    return table


def check_against_exe(folder, exe):
    """Compares the package with the table in `exe`, one line per file; 0 when all match."""
    table = pinned_in_exe(exe)
    print("package: %s" % os.path.abspath(folder))
    print("exe:     %s" % os.path.abspath(exe))
    if table is None:
        print("summary: the exe carries no pinned package (built without KARUPDT_PACKAGE); it accepts any files")
        return 1
    width = max(len(name) for name, _, _ in COMPONENTS)
    differ = 0
    for number, (name, _, _) in enumerate(COMPONENTS, 1):
        path = os.path.join(folder, name)
        pinned = table.get(name)
        if not os.path.isfile(path):
            verdict = "the package lacks the file"
        elif pinned is None:
            verdict = "the exe pins no such file"
        else:
            with open(path, "rb") as f:
                data = f.read()
            size, digest = len(data), hashlib.sha256(data).hexdigest()
            if (size, digest) == pinned:
                print("%2d %-*s  %-7s  %d bytes, sha256 %s" % (number, width, name, OK, size, digest))
                continue
            verdict = "the exe pins %d bytes, sha256 %s; the package has %d bytes, sha256 %s" % (
                pinned[0], pinned[1], size, digest)
        differ += 1
        print("%2d %-*s  %-7s  %s" % (number, width, name, FAULT, verdict))
    if differ:
        print("summary: %d of %d files differ; this exe does NOT accept this package" % (differ, len(COMPONENTS)))
        return 1
    print("summary: all %d files match; this exe accepts exactly this package" % len(COMPONENTS))
    return 0


# ---------------------------------------------------------------------------------------------
# The published server: each file fetched the way the updater fetches it

LIVE_USER_AGENT = "KarUpdt-check-package"  # not "KarUpdt/...": a check is no workstation's update
LIVE_TIMEOUT = 30
LIVE_LIMIT = 256 * 1024 * 1024


class LiveError(Exception):
    pass


class Unreachable(LiveError):
    """No connection at all: every other file would fail alike."""


def parse_http_url(url):
    """(host, port, path ending in "/") of an http:// URL; raises LiveError otherwise."""
    if not url.lower().startswith("http://"):
        raise LiveError("%s: the updater fetches over plain HTTP only; give an http:// URL" % url)
    rest = url[len("http://"):]
    authority, slash, path = rest.partition("/")
    path = "/" + path
    if not path.endswith("/"):
        path += "/"
    if authority.startswith("["):
        end = authority.find("]")
        host, port = authority[1:end], authority[end + 1:].lstrip(":") if end > 0 else ""
    else:
        host, _, port = authority.partition(":")
    port = port or "80"
    if not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise LiveError("%s: not a host with an optional port" % url)
    return host, int(port), path


def parse_host_port(text):
    host, colon, port = text.rpartition(":")
    if not colon or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise LiveError("--proxy %s: give HOST:PORT" % text)
    return host, int(port)


def http_get(host, port, path, proxy):
    """One GET as the updater sends it (HTTP/1.1, Connection: close; to the proxy with the whole
    URL in the request line). Returns (status, reason, {lower-case name: value}, body as sent)."""
    named = "[%s]" % host if ":" in host else host
    authority = named if port == 80 else "%s:%d" % (named, port)
    target = "http://%s%s" % (authority, path) if proxy else path
    request = ("GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: %s\r\nConnection: close\r\n\r\n"
               % (target, authority, LIVE_USER_AGENT)).encode("latin-1")
    peer = proxy or (host, port)
    where = "%s%s:%d" % ("the proxy " if proxy else "", peer[0], peer[1])
    try:
        connection = socket.create_connection(peer, timeout=LIVE_TIMEOUT)
    except OSError as error:
        raise Unreachable("cannot connect to %s: %s" % (where, error.strerror or error))
    try:
        with connection:
            connection.sendall(request)
            received = bytearray()
            while len(received) <= LIVE_LIMIT:
                piece = connection.recv(1 << 16)
                if not piece:
                    break
                received += piece
    except OSError as error:
        raise LiveError("%s: %s" % (where, error.strerror or error))
    head, separator, body = bytes(received).partition(b"\r\n\r\n")
    if not separator:
        raise LiveError("no complete HTTP answer (%d bytes received)" % len(received))
    lines = head.decode("latin-1").split("\r\n")
    status_line = lines[0].split(" ", 2)
    if len(status_line) < 2 or not status_line[0].startswith("HTTP/") or not status_line[1].isdigit():
        raise LiveError("not an HTTP answer: %r" % lines[0][:80])
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(status_line[1]), status_line[2] if len(status_line) > 2 else "", headers, body


def check_live(folder, url, proxy):
    """Fetches the 19 files from `url` and compares each with the package; 0 when all are served
    as the updater needs them."""
    host, port, path = parse_http_url(url)
    print("package: %s" % os.path.abspath(folder))
    print("server:  http://%s:%d%s%s" % (host, port, path, " through the proxy %s:%d" % proxy if proxy else ""))
    width = max(len(name) for name, _, _ in COMPONENTS)
    faults = 0
    for number, (name, _, _) in enumerate(COMPONENTS, 1):
        finding = Finding()
        try:
            status, reason, headers, body = http_get(host, port, path + name, proxy)
        except Unreachable as error:
            print("%2d %-*s  %-7s  %s" % (number, width, name, FAULT, error))
            print("summary: the server cannot be reached; nothing was fetched")
            return 1
        except LiveError as error:
            finding.fault(str(error))
        else:
            check_live_answer(finding, status, reason, headers, body, os.path.join(folder, name))
        faults += finding.level == FAULT
        print("%2d %-*s  %-7s  %s" % (number, width, name, finding.level, "; ".join(finding.notes)))
    if faults:
        print("summary: %d of %d files are NOT served as the updater needs them" % (faults, len(COMPONENTS)))
        return 1
    print("summary: all %d files are served with their Content-Length, unchanged; the server is ready"
          % len(COMPONENTS))
    return 0


def check_live_answer(finding, status, reason, headers, body, local_path):
    location = headers.get("location")
    if 300 <= status < 400 and location:
        finding.fault("%d %s, redirects to %s: the updater does not follow redirects" % (status, reason, location))
        return
    if not 200 <= status < 300:
        finding.fault("%d %s: the updater counts the file as failed" % (status, reason))
        return
    finding.note("%d %s" % (status, reason))
    length = headers.get("content-length")
    if length is None or not length.isdigit():
        coding = headers.get("transfer-encoding")
        finding.fault("no Content-Length%s: the updater counts the file as failed"
                      % (" (Transfer-Encoding: %s)" % coding if coding else ""))
        return
    if int(length) != len(body):
        finding.fault("Content-Length %s, but %d bytes came before the connection closed" % (length, len(body)))
        return
    finding.note("Content-Length %s" % length)
    if headers.get("content-encoding", "identity").lower() != "identity":
        # The updater saves the body as it comes, so these bytes would be installed compressed.
        finding.fault("Content-Encoding: %s: the server compresses on the fly" % headers["content-encoding"])
        return
    try:
        with open(local_path, "rb") as f:
            local = f.read()
    except OSError:
        finding.fault("the local package lacks the file, so the bytes cannot be compared")
        return
    if body != local:
        finding.fault("differs from the local package (served: %d bytes, sha256 %s; package: %d bytes, "
                      "sha256 %s)" % (len(body), hashlib.sha256(body).hexdigest(), len(local),
                                      hashlib.sha256(local).hexdigest()))
        return
    finding.note("same bytes as the package")
    if "cache-control" in headers:
        finding.note("Cache-Control: %s" % headers["cache-control"])


def write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path + ".new", "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(path + ".new", path)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="check-package.py",
        description="Checks the 19 files of a KarUpdt update package, one line per file.")
    parser.add_argument("folder", help="the folder served as http://<host>/karedona/")
    parser.add_argument("--allow-uncompressed", action="store_true",
                        help="report a component without SZDD header as a warning, not a fault")
    parser.add_argument("--allow-stand-ins", action="store_true",
                        help="accept this project's stand-in karemain.exe and regsvr32.exe (test packages only)")
    parser.add_argument("--digests", action="store_true",
                        help="print the size and SHA-256 of each file, as a pinned build carries them")
    parser.add_argument("--pin-table", metavar="OUTPUT",
                        help="after the check, write the C++ table of sizes and digests for the build")
    parser.add_argument("--against-exe", metavar="EXE",
                        help="compare the package with the table a built KarUpdt.exe carries")
    parser.add_argument("--live", metavar="URL",
                        help="fetch each file from URL (http://<host>/karedona/) and compare it with the package")
    parser.add_argument("--proxy", metavar="HOST:PORT", help="with --live: fetch through this proxy")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.folder):
        parser.print_usage(sys.stderr)
        print("check-package.py: error: %s is not a folder" % args.folder, file=sys.stderr)
        return 2
    if args.live or args.proxy:
        try:
            if not args.live:
                raise LiveError("--proxy needs --live URL")
            proxy = parse_host_port(args.proxy) if args.proxy else None
            parse_http_url(args.live)
        except LiveError as error:
            parser.print_usage(sys.stderr)
            print("check-package.py: error: %s" % error, file=sys.stderr)
            return 2
        return check_live(args.folder, args.live, proxy)
    if args.against_exe:
        if not os.path.isfile(args.against_exe):
            print("check-package.py: error: %s is not a file" % args.against_exe, file=sys.stderr)
            return 2
        return check_against_exe(args.folder, args.against_exe)

    results, extra = check_folder(args.folder, args.allow_uncompressed, args.allow_stand_ins)
    width = max(len(name) for name, _, _ in COMPONENTS)
    print("package: %s" % os.path.abspath(args.folder))
    for number, name, finding in results:
        print("%2d %-*s  %-7s  %s" % (number, width, name, finding.level, "; ".join(finding.notes)))
    counts = {level: sum(1 for _, _, f in results if f.level == level) for level in (OK, WARNING, FAULT)}
    if extra:
        print("   other files, never fetched: %s" % ", ".join(extra))
    inner = os.path.join(args.folder, "karedona")
    if counts[FAULT] == len(results) and os.path.isdir(inner):
        print("   hint: the files are served from the karedona folder: check %s" % inner)
    verdict = "the package is ready to serve" if counts[FAULT] == 0 else "the package is NOT ready to serve"
    print("summary: %d files: %d ok, %d warning%s, %d fault%s; %s" % (
        len(results), counts[OK], counts[WARNING], "" if counts[WARNING] == 1 else "s",
        counts[FAULT], "" if counts[FAULT] == 1 else "s", verdict))
    if counts[FAULT]:
        if args.pin_table:
            print("   no pin table written: mend the package first")
        return 1
    if args.digests or args.pin_table:
        entries = package_digests(args.folder)
        try:
            entries += expanded_digests(args.folder)
        except ExpansionError as error:
            print("   no pin table written: what the files expand to cannot be computed: %s" % error)
            return 1
        if args.digests:
            for name, size, digest in entries:
                print("   pin %-*s %10d  sha256 %s" % (width, name, size, digest))
        if args.pin_table:
            write_if_changed(args.pin_table, pin_source(entries, args.folder))
            print("   pin table: %s" % args.pin_table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
