"""The table a built KarUpdt.exe carries, read from the executable and compared with a package."""
import hashlib
import os

from .components import COMPONENTS, FAULT, OK
from .pin_table import PIN_END, PIN_MARKER


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
