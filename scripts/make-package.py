#!/usr/bin/env python3
"""Builds an update package for tests and the demo.

    make-package.py --bin BIN_FOLDER --out PACKAGE_FOLDER [--scale BYTES]

PACKAGE_FOLDER/karedona/ receives the 19 files a server offers (serve PACKAGE_FOLDER as the
document root, so that /karedona/<name> is the URL path); PACKAGE_FOLDER/original/ receives what
each compressed component expands to, and the ImageKit controls inside the archives, so that a
test can compare an installation byte for byte.

- The components are compressed with Debian's mscompress (the SZDD format of the system's compress
  tool); "kar160.ex_" holds the stand-in karemain.exe of version 1.6.0.0 and "Regsvr32.ex_" the
  stand-in registration tool, both from BIN_FOLDER.
- "Imgkit5.lzh" and "Imgkit6.lzh" are made by a real LHA archiver (Debian's jlha-utils) and hold
  "ImgKit5.ocx" (version 2,1,0,16: BIN_FOLDER/version_windres.exe) and "ImgKit6.ocx".
- The other components are made-up data of fixed content: text for the dictionaries and settings,
  random-looking bytes for the programs. --scale sets the size of the largest made-up file
  (default 64 KiB); the others are fractions of it.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

# compressed name -> expanded name, in download order (ImageKit archives are handled apart)
COMPONENTS = [
    ("kar160.ex_", "karemain.exe"),
    ("DLKR_DL.ex_", "DLKR_DL.exe"),
    ("karstang.di_", "karstang.dic"),
    ("Zoomhint.tx_", "ZoomHint.txt"),
    ("cellmapa.da_", "cellmapa.dat"),
    ("cellmapb.da_", "cellmapb.dat"),
    ("vornlib.dl_", "vornlib.dll"),
    ("FindUpd.ex_", "FindUpd.exe"),
    ("tvdialog.dl_", "tvdialog.dll"),
    ("plxShow.ex_", "plxShow.exe"),
    ("GroupList.Ms_", "GroupList.Mst"),
    ("GroupMst.in_", "GroupMst.ini"),
    ("KarScan.ex_", "KarScan.exe"),
    ("KarScanPaste.ex_", "KarScanPaste.exe"),
    ("KarScan.de_", "KarScan.def"),
    ("SCANABORT.EX_", "scanabort.exe"),
    ("Regsvr32.ex_", "Regsvr32.exe"),
]

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
}


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--bin", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--scale", type=int, default=64 * 1024)
    args = parser.parse_args()

    served = os.path.join(args.out, "karedona")
    original = os.path.join(args.out, "original")
    for folder in (served, original):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)

    sources = {
        "karemain.exe": os.path.join(args.bin, "karemain_1600.exe"),
        "Regsvr32.exe": os.path.join(args.bin, "regsvr32.exe"),
    }
    for compressed, expanded in COMPONENTS:
        target = os.path.join(original, expanded)
        if expanded in sources:
            shutil.copyfile(sources[expanded], target)
        else:
            share, text = MADE_UP[expanded]
            with open(target, "wb") as f:
                f.write(made_up(expanded, int(args.scale * share), text))
        compress(target, os.path.join(served, compressed))

    controls = {"Imgkit5.lzh": "ImgKit5.ocx", "Imgkit6.lzh": "ImgKit6.ocx"}
    shutil.copyfile(os.path.join(args.bin, "version_windres.exe"), os.path.join(original, "ImgKit5.ocx"))
    with open(os.path.join(original, "ImgKit6.ocx"), "wb") as f:
        f.write(made_up("ImgKit6.ocx", args.scale // 2, False))
    for archive, control in controls.items():
        lha_archive(os.path.join(served, archive), original, [control])

    total = sum(os.path.getsize(os.path.join(served, n)) for n in os.listdir(served))
    print("package: %d files, %d bytes in %s" % (len(os.listdir(served)), total, served))


if __name__ == "__main__":
    sys.exit(main())
