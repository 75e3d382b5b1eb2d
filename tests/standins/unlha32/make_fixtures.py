#!/usr/bin/env python3
"""Builds the LHA test archives in tests/standins/unlha32/fixtures/.

Good archives are made by a real LHA archiver (Debian's jlha-utils: `jlha`) in every method and
header level it can write, and each one is extracted and tested with a second, independent
archiver (Debian's lhasa) and compared with the source files before it is kept.

Damaged archives are made from the compressed data of real archives: the entries are taken apart
and written again with one field changed (a name that climbs out of the folder, a wrong CRC, a
huge size, a broken header), with header checksums and header CRCs made valid again where the
point is to reach the field behind them. The writer is checked first: taken apart and written
again unchanged, every jlha archive must come out byte for byte identical.

Needs: python3, jlha-utils (with a Java runtime), lhasa.   Run: tests/standins/unlha32/make_fixtures.py
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "fixtures")

# ----------------------------------------------------------------------------------------------
# Source files. fixture_content.h generates the same bytes for the tests.

SJIS_TEXT = "日本語テキスト\r\n".encode("cp932")


def words(size):
    vocab = []
    for k in range(64):
        vocab.append("".join(chr(ord("a") + (k * 7 + j * 3 + k * j) % 26) for j in range(3 + k % 6)))
    x = 12345
    out = bytearray()
    while len(out) < size:
        x = (x * 1103515245 + 12345) % (1 << 31)
        out += vocab[(x >> 16) % 64].encode()
        out += b"\n" if (x >> 8) % 13 == 0 else b" "
    return bytes(out[:size])


def repetitive(size):
    unit = b"0123456789abcdef\r\n"
    return (unit * (size // len(unit) + 1))[:size]


def all_bytes():
    return bytes(range(256)) * 4


# name in the archive (cp932 bytes, "/" separated on disk) -> content
FILES_SMALL = {
    "empty.txt": b"",
    "表示.txt": SJIS_TEXT,              # 表 = 0x95 0x5C: the second byte is a backslash
    "sub/a.txt": b"abc",
    "sub/表/ソ.txt": b"xyz123",         # ソ = 0x83 0x5C
    "bin.dat": all_bytes(),
}
FILES_BIG = {
    "rep.bin": repetitive(100000),
    "words.txt": words(24000),
}

METHODS = {"lh0": "z", "lh5": "o5", "lh6": "o6", "lh7": "o7"}


def run(cmd, cwd=None, env=None):
    r = subprocess.run(cmd, cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(cmd), r.stdout.decode(errors="replace")))
    return r.stdout


def jlha(args, cwd):
    # 'y' stores names in Shift-JIS; the JVM reads the UTF-8 file names under a UTF-8 locale.
    env = dict(os.environ, LC_ALL="C.UTF-8")
    run(["jlha"] + args, cwd=cwd, env=env)


def write_tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def cross_check(archive, files, level):
    """lhasa must test the archive clean and extract exactly the source files."""
    run(["lhasa", "tq", archive])
    with tempfile.TemporaryDirectory() as d:
        run(["lhasa", "xq", archive], cwd=d)
        for name, data in files.items():
            raw = name.encode("cp932")
            if level < 2 and b"\\" in raw:
                # lhasa splits the name of a level-0/1 basic header at every 0x5C byte, also
                # inside a Shift-JIS character, and drops part of it; "lhasa t" above has
                # checked these files' CRCs.
                continue
            path = os.path.join(d, os.fsdecode(raw))
            with open(path, "rb") as f:
                if f.read() != data:
                    sys.exit("lhasa extracts %s from %s differently" % (name, archive))


# ----------------------------------------------------------------------------------------------
# Taking archives apart and writing them again.

def crc16(data, crc=0):
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def parse(archive):
    entries = []
    pos = 0
    while archive[pos] != 0:
        level = archive[pos + 20]
        e = {"level": level, "method": archive[pos + 2:pos + 7]}
        csize, osize, stamp = struct.unpack_from("<III", archive, pos + 7)
        e["osize"], e["stamp"], e["attr"] = osize, stamp, archive[pos + 19]
        e["dir"] = None
        exts = []
        if level in (0, 1):
            base = archive[pos] + 2
            n = archive[pos + 21]
            e["name"] = archive[pos + 22:pos + 22 + n]
            e["crc"] = struct.unpack_from("<H", archive, pos + 22 + n)[0]
            end = pos + base
            if level == 1:
                e["os"] = archive[pos + 24 + n]
                nxt = struct.unpack_from("<H", archive, end - 2)[0]
                while nxt:
                    exts.append((archive[end], archive[end + 1:end + nxt - 2]))
                    end += nxt
                    nxt = struct.unpack_from("<H", archive, end - 2)[0]
                csize -= end - pos - base
        else:
            total = struct.unpack_from("<H", archive, pos)[0]
            e["crc"] = struct.unpack_from("<H", archive, pos + 21)[0]
            e["os"] = archive[pos + 23]
            at, nxt = pos + 26, struct.unpack_from("<H", archive, pos + 24)[0]
            while nxt:
                exts.append((archive[at], archive[at + 1:at + nxt - 2]))
                at += nxt
                nxt = struct.unpack_from("<H", archive, at - 2)[0]
            end = pos + total
            e["name"] = b""
        for t, d in exts:
            if t == 0x01:
                e["name"] = d
            elif t == 0x02:
                e["dir"] = d
        e["exts"] = [t for t, _ in exts]
        e["data"] = archive[end:end + csize]
        entries.append(e)
        pos = end + csize
    return entries


def header(e, level=None, fix=True):
    """The header of entry e. Fields may be overridden through e; fix=False keeps a given
    checksum ("sum") or header CRC ("hcrc") instead of computing the right one."""
    level = e["level"] if level is None else level
    csize = e.get("csize", len(e["data"]))
    fixed = e["method"] + struct.pack("<IIIBB", csize, e["osize"], e["stamp"], e["attr"], level)
    if level == 0:
        name = e["name"] if e["dir"] is None else e["dir"].replace(b"\xff", b"\\") + e["name"]
        h = fixed + bytes([len(name)]) + name + struct.pack("<H", e["crc"])
        s = sum(h) & 0xFF if fix or "sum" not in e else e["sum"]
        return bytes([len(h), s]) + h
    exts = []
    if 0x00 in e.get("exts", [0x00]):
        exts.append([0x00, b"\0\0"])
    if level == 2:
        exts.append([0x01, e["name"]])
    if e["dir"] is not None:
        exts.append([0x02, e["dir"]])
    ext_bytes = [bytes([t]) + d for t, d in exts]
    if level == 1:
        ext_total = sum(len(x) + 2 for x in ext_bytes)
        fixed = e["method"] + struct.pack("<IIIBB", csize + ext_total, e["osize"], e["stamp"], e["attr"], 1)
        sizes = [len(x) + 2 for x in ext_bytes] + [0]
        base = fixed + bytes([len(e["name"])]) + e["name"] + struct.pack("<HBH", e["crc"], e["os"], sizes[0])
        s = sum(base) & 0xFF if fix or "sum" not in e else e["sum"]
        out = bytearray(bytes([len(base), s]) + base)
    else:
        sizes = [len(x) + 2 for x in ext_bytes] + [0]
        total = e.get("total", 26 + sum(sizes))
        out = bytearray(struct.pack("<H", total) + fixed + struct.pack("<HBH", e["crc"], e["os"], sizes[0]))
    crc_at = None
    for i, x in enumerate(ext_bytes):
        if x[0] == 0x00:
            crc_at = len(out) + 1
        out += x + struct.pack("<H", sizes[i + 1])
    if crc_at is not None:
        c = crc16(out) if fix or "hcrc" not in e else e["hcrc"]
        out[crc_at:crc_at + 2] = struct.pack("<H", c)
    return bytes(out)


def archive_of(entries):
    return b"".join(header(e) + e.get("payload", e["data"]) for e in entries) + b"\0"


# ----------------------------------------------------------------------------------------------

def main():
    if not shutil.which("jlha") or not shutil.which("lhasa"):
        sys.exit("needs jlha (jlha-utils) and lhasa")
    os.makedirs(OUT, exist_ok=True)
    for f in os.listdir(OUT):
        if f.endswith(".lzh"):
            os.remove(os.path.join(OUT, f))
    with tempfile.TemporaryDirectory() as src:
        files = dict(FILES_SMALL)
        files.update(FILES_BIG)
        write_tree(src, files)
        os.makedirs(os.path.join(src, "emptydir"))  # stored as a -lhd- entry
        good = {}
        for level in (0, 1, 2):
            for method, opt in METHODS.items():
                # Stored archives carry only the small files, to keep the repository small.
                chosen = FILES_SMALL if method == "lh0" else files
                name = "l%d_%s.lzh" % (level, method)
                path = os.path.join(OUT, name)
                jlha(["c%d%sy" % (level, opt), path] + list(chosen) + ["emptydir"], cwd=src)
                cross_check(path, chosen, level)
                data = open(path, "rb").read()
                if archive_of(parse(data)) != data:
                    sys.exit("the header writer does not reproduce " + name)
                good[(level, method)] = data
                print(name, len(data))

    def save(name, entries_or_bytes):
        data = entries_or_bytes if isinstance(entries_or_bytes, bytes) else archive_of(entries_or_bytes)
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
        print(name, len(data))

    def entry(level, fname):
        for e in parse(good[(level, "lh5")]):
            full = (e["dir"] or b"").replace(b"\xff", b"\\") + e["name"]
            if full == fname:
                return dict(e)
        raise KeyError(fname)

    # Names that would land outside the destination folder, between two good files.
    traversal = {
        "dotdot_bs": (0, None, b"..\\evil.txt"),
        "dotdot_slash": (0, None, b"sub/../../evil.txt"),
        "dotdot_ff": (1, b"..\xff", b"evil.txt"),
        "drive": (0, None, b"C:\\evil.txt"),
        "drive_rel": (1, None, b"C:evil.txt"),
        "root_slash": (2, None, b"/etc/evil.txt"),
        "root_ff": (2, b"\xffetc\xff", b"evil.txt"),
        "unc": (0, None, b"\\\\server\\share\\evil.txt"),
        "dots": (2, b"...\xff", b"evil.txt"),
    }
    for tag, (level, dirname, fname) in traversal.items():
        first, evil, last = entry(level, b"sub\\a.txt"), entry(level, b"rep.bin"), entry(level, b"bin.dat")
        evil["dir"], evil["name"] = dirname, fname
        save("evil_%s_l%d.lzh" % (tag, level), [first, evil, last])

    for level in (0, 1, 2):
        # Wrong CRC of the data, with a valid header.
        e = entry(level, b"words.txt")
        e["crc"] ^= 0x0101
        save("crc_l%d.lzh" % level, [e])

        # A declared original size of 4 GB - 1 with the real compressed data.
        e = entry(level, b"rep.bin")
        e["osize"] = 0xFFFFFFFF
        save("huge_l%d.lzh" % level, [e])

        # A stored file that declares nearly 4 GB of data and has 3 bytes.
        e = entry(level, b"sub\\a.txt")
        e["osize"] = e["csize"] = 0xFFFFFF00
        e["method"] = b"-lh0-"
        save("hugestored_l%d.lzh" % level, [e])

        # An unknown method.
        e = entry(level, b"rep.bin")
        e["method"] = b"-lh9-"
        save("method_l%d.lzh" % level, [e])

    # The last match of the data reaches past a declared size one byte short of the real one.
    e = entry(2, b"rep.bin")
    e["osize"] -= 1
    save("overrun_l2.lzh", [e])

    # Header checksum (level 0/1) and header CRC (level 1/2) off by one.
    for level in (0, 1):
        e = entry(level, b"rep.bin")
        e["sum"] = (header(e)[1] + 1) & 0xFF
        save("checksum_l%d.lzh" % level, header(e, fix=False) + e["data"] + b"\0")
    for level in (1, 2):
        e = entry(level, b"rep.bin")
        h = header(e)
        e["hcrc"] = struct.unpack_from("<H", h, 27 if level == 2 else h[0] + 3)[0] ^ 1
        save("headercrc_l%d.lzh" % level, header(e, fix=False) + e["data"] + b"\0")

    # Level 0 header whose size byte is too small for its name (checksum fixed).
    e = entry(0, b"rep.bin")
    h = bytearray(header(e))
    h[0] = 20
    h[1] = sum(h[2:22]) & 0xFF
    save("short_l0.lzh", bytes(h) + e["data"] + b"\0")
    # Level 2 header that declares 20 bytes in all.
    e = entry(2, b"rep.bin")
    save("short_l2.lzh", header(dict(e, total=20)) + e["data"] + b"\0")
    # Level 2 extended header of size 1 (header CRC fixed).
    e = entry(2, b"rep.bin")
    h = bytearray(header(e))
    struct.pack_into("<H", h, 24, 1)
    save("extsize_l2.lzh", bytes(h) + e["data"] + b"\0")
    # Unknown header level.
    e = entry(0, b"rep.bin")
    h = bytearray(header(e))
    h[20] = 3
    h[1] = sum(h[2:]) & 0xFF
    save("level3.lzh", bytes(h) + e["data"] + b"\0")
    # An archive without its end mark.
    save("nomark_l2.lzh", good[(2, "lh0")][:-1])


if __name__ == "__main__":
    main()
