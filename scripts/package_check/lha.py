"""LHA archives: the members named by their headers, and the runs of lhasa that test and extract them."""
import os
import shutil
import struct
import subprocess


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


def lhasa_complaint(output):
    """The piece of lhasa's output that names a problem, without its progress display."""
    pieces = [" ".join(p.split()) for p in output.replace("\r", "\n").split("\n")]
    pieces = [p for p in pieces if p]
    for marker in ("CRC error", "rror", "ailed", "nknown", "not"):
        for piece in pieces:
            if marker in piece:
                return piece[:160]
    return pieces[-1][:160] if pieces else "no output"
