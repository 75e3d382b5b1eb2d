#!/usr/bin/env python3
"""Makes the 19 files of an update package, as the update server offers them.

    make-package.py --from EXPANDED_FOLDER --out PACKAGE_FOLDER
    make-package.py --bin BIN_FOLDER --out PACKAGE_FOLDER [--scale BYTES]

Either way PACKAGE_FOLDER/karedona/ receives exactly the 19 files a server offers (serve
PACKAGE_FOLDER as the document root, so that /karedona/<name> is the URL path), and nothing else.
The files and what each expands to are those of the package's manifest, package-components.txt.

--from: the vendor's release. EXPANDED_FOLDER holds the files as they are to be installed, under
their own names in any letter case: karemain.exe (version 1.6.0), DLKR_DL.exe, karstang.dic,
ZoomHint.txt, cellmapa.dat, cellmapb.dat, vornlib.dll, FindUpd.exe, tvdialog.dll, plxShow.exe,
GroupList.Mst, GroupMst.ini, KarScan.exe, KarScanPaste.exe, KarScan.def, scanabort.exe, the 32-bit
Regsvr32.exe, and for the two ImageKit archives either ImgKit5.ocx and ImgKit6.ocx, or folders
Imgkit5/ and Imgkit6/ whose whole contents (the control at their top) go into the archive. The
folder is only read. The result is checked with check-package.py, whose report and exit status
this script ends with.

--bin: the test and demo package, from the programs of a build (BIN_FOLDER): "kar160.ex_" holds
the stand-in karemain.exe of version 1.6.0.0, "Regsvr32.ex_" the stand-in registration tool,
"ImgKit5.ocx" is version_windres.exe (version 2,1,0,16), and the other components are made-up data
of fixed content: text for the dictionaries and settings, random-looking bytes for the programs.
--scale sets the size of the largest made-up file (default 64 KiB); the others are fractions of
it. PACKAGE_FOLDER/original/ receives what each component expands to and the controls inside the
archives, so that a test can compare an installation byte for byte.

The components are compressed with Debian's mscompress (the SZDD format of the system's compress
tool), except files shorter than 16 bytes, for which mscompress writes wrong data: those are
written here as SZDD without back-references. The archives are made by a real LHA archiver
(Debian's jlha-utils), header level 2.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

# The SZDD format is the checker's (package_check/ beside this script); the folder is put on the
# path here too, so that the script runs the same wherever it is started from.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from package_check import components  # noqa: E402 (needs the path above)
from package_check.szdd import SZDD_MAGIC  # noqa: E402

# compressed name -> expanded name, in download order, from the package's manifest
# (package-components.txt); the ImageKit archives are handled apart
COMPONENTS = [(name, expanded) for name, expanded, _ in components.COMPONENTS if expanded is not None]
# archive name -> the control at its top
ARCHIVES = list(components.ARCHIVE_CONTROLS.items())

# share of --scale for each made-up file, and whether it is text
MADE_UP = {
    "DLKR_DL.exe": (0.50, False),
    "karstang.dic": (1.00, True),
    "ZoomHint.txt": (0.05, True),
    "cellmapa.dat": (0.70, False),
    "cellmapb.dat": (0.65, False),
    "vornlib.dll": (0.90, False),
    "FindUpd.exe": (0.30, False),
    "tvdialog.dll": (0.40, False),
    "plxShow.exe": (0.35, False),
    "GroupList.Mst": (0.10, True),
    "GroupMst.ini": (0.02, True),
    "KarScan.exe": (0.45, False),
    "KarScanPaste.exe": (0.25, False),
    "KarScan.def": (0.03, True),
    "scanabort.exe": (0.08, False),
    "ImgKit6.ocx": (0.50, False),
}
OTHER_MADE_UP = (0.50, False)  # a component not listed above


def made_up(name, size, text):
    rng = random.Random(name)
    size = max(size, 64)  # mscompress mangles inputs shorter than 16 bytes
    if text:
        words = ["カレドナ", "文書", "表示", "karedona", "zoom", "group", "マスタ", "設定", "=", "1.6.0"]
        out = bytearray()
        while len(out) < size:
            line = " ".join(rng.choice(words) for _ in range(rng.randint(3, 9)))
            out += line.encode("cp932") + b"\r\n"
        return bytes(out[:size])
    # programs: runs of structure and noise, so that compression has something to do
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.5:
            out += bytes(rng.getrandbits(8) for _ in range(rng.randint(16, 256)))
        else:
            out += bytes([rng.getrandbits(8)]) * rng.randint(4, 64)
    return bytes(out[:size])


def compress(source, target):
    with open(source, "rb") as f:
        data = f.read()
    if len(data) < 16:
        # Every byte a literal: a flag byte of eight 1 bits before each eight bytes.
        body = b"".join(b"\xff" + data[k:k + 8] for k in range(0, len(data), 8))
        last = os.path.basename(source)[-1:].encode("latin-1", "replace") or b"\0"
        with open(target, "wb") as f:
            f.write(SZDD_MAGIC + b"A" + last + struct.pack("<I", len(data)) + body)
        return
    with tempfile.TemporaryDirectory() as work:
        copy = os.path.join(work, "f")
        shutil.copyfile(source, copy)
        subprocess.run(["mscompress", copy], check=True)
        shutil.move(copy + "_", target)


def lha_archive(archive, folder, names):
    # jlha writes the names it is given; level 2 headers and the default method (-lh5-)
    env = dict(os.environ, LC_ALL="C.UTF-8")
    subprocess.run(["jlha", "c2", os.path.abspath(archive)] + names, cwd=folder, env=env, check=True,
                   stdout=subprocess.DEVNULL)


def pack(sources, archives, served):
    """Writes the 19 files into `served`, replacing what it held. `sources` maps each expanded name
    of COMPONENTS to its file; `archives` maps each archive name to (folder, [names in it])."""
    fresh = served + ".new"
    shutil.rmtree(fresh, ignore_errors=True)
    os.makedirs(fresh)
    for compressed, expanded in COMPONENTS:
        compress(sources[expanded], os.path.join(fresh, compressed))
    for archive, _ in ARCHIVES:
        folder, names = archives[archive]
        lha_archive(os.path.join(fresh, archive), folder, names)
    shutil.rmtree(served, ignore_errors=True)
    os.rename(fresh, served)
    total = sum(os.path.getsize(os.path.join(served, n)) for n in os.listdir(served))
    print("package: %d files, %d bytes in %s" % (len(os.listdir(served)), total, served))


def test_package(bin_folder, out, scale, served):
    original = os.path.join(out, "original")
    shutil.rmtree(original, ignore_errors=True)
    os.makedirs(original)
    expanded = dict(COMPONENTS)
    built = {
        expanded[components.EXECUTABLE]: os.path.join(bin_folder, "karemain_1600.exe"),
        expanded[components.REGISTRATION_TOOL]: os.path.join(bin_folder, "regsvr32.exe"),
        components.ARCHIVE_CONTROLS[components.IMAGEKIT5_ARCHIVE]: os.path.join(bin_folder, "version_windres.exe"),
    }
    sources = {}
    for name in [expanded for _, expanded in COMPONENTS] + [control for _, control in ARCHIVES]:
        target = os.path.join(original, name)
        if name in built:
            shutil.copyfile(built[name], target)
        else:
            share, text = MADE_UP.get(name, OTHER_MADE_UP)
            with open(target, "wb") as f:
                f.write(made_up(name, int(scale * share), text))
        sources[name] = target
    pack(sources, {archive: (original, [control]) for archive, control in ARCHIVES}, served)
    return 0


def vendor_package(folder, served):
    """The package from the vendor's folder of expanded files, checked. Exit status as the checker's."""
    present = {entry.lower(): entry for entry in os.listdir(folder)}
    sources, archives, missing = {}, {}, []
    for _, expanded in COMPONENTS:
        entry = present.get(expanded.lower())
        if entry is None or not os.path.isfile(os.path.join(folder, entry)):
            missing.append(expanded)
        else:
            sources[expanded] = os.path.join(folder, entry)
    for archive, control in ARCHIVES:
        inner = present.get(os.path.splitext(archive)[0].lower())
        if inner and os.path.isdir(os.path.join(folder, inner)):
            contents = sorted(os.listdir(os.path.join(folder, inner)))
            if control.lower() not in (name.lower() for name in contents):
                missing.append("%s/%s" % (inner, control))
            archives[archive] = (os.path.join(folder, inner), contents)
        elif present.get(control.lower()):
            archives[archive] = (folder, [present[control.lower()]])
        else:
            missing.append("%s (or a folder %s/ holding it)" % (control, os.path.splitext(archive)[0]))
    if missing:
        for name in missing:
            print("make-package.py: %s: missing in %s" % (name, folder), file=sys.stderr)
        print("make-package.py: nothing written", file=sys.stderr)
        return 1
    pack(sources, archives, served)
    checker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check-package.py")
    return subprocess.run([sys.executable, checker, served]).returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    source = parser.add_mutually_exclusive_group(required=True)
    source.add_argument("--from", dest="expanded", metavar="EXPANDED_FOLDER",
                        help="the vendor's files as they are to be installed")
    source.add_argument("--bin", metavar="BIN_FOLDER", help="a build's programs, for the test package")
    parser.add_argument("--out", required=True, metavar="PACKAGE_FOLDER")
    parser.add_argument("--scale", type=int, default=64 * 1024, help="with --bin: largest made-up file")
    args = parser.parse_args()
    if args.expanded and not os.path.isdir(args.expanded):
        parser.error("%s is not a folder" % args.expanded)
    served = os.path.join(args.out, "karedona")
    # PACKAGE_FOLDER is made with the package (pack()), so that a run that writes nothing leaves
    # no folder behind either.
    if args.expanded:
        return vendor_package(args.expanded, served)
    return test_package(args.bin, args.out, args.scale, served)


if __name__ == "__main__":
    sys.exit(main())
