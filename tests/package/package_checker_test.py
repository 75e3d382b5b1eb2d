#!/usr/bin/env python3
"""Tests of scripts/check-package.py, the update package checker.

    package_checker_test.py --bin BIN_FOLDER [unittest options]

BIN_FOLDER holds karemain_1600.exe, karemain_1520.exe, regsvr32.exe and version_windres.exe, as
the mingw build writes them (build/mingw/bin). The test builds a package with
scripts/make-package.py, checks it, then breaks copies of it one way at a time and checks that the
checker names the fault on the right file's line and nowhere else. It makes a package from a
vendor's folder of expanded files (make-package.py --from), and checks a published package on nginx
and on a redirecting server of its own (--live). It also checks the checker's SZDD decoder against
files compressed by mscompress, and its readers of version resources and LHA headers. Needs
mscompress, jlha, lhasa, nginx and the 32- and 64-bit mingw compilers (scripts/setup.sh installs
them).
"""
import argparse
import hashlib
import http.server
import os
import random
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The checker's modules, for the tests of its decoders and readers
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from package_check import lha, pe, pin_table, szdd  # noqa: E402 (needs the path above)

CHECKER = os.path.join(ROOT, "scripts", "check-package.py")
MAKE_PACKAGE = os.path.join(ROOT, "scripts", "make-package.py")
BIN = None  # set from the command line
PROGRAM = "KarUpdt.exe"  # the build's program without a pinned package (--program)

# The 19 files in download order and what each expands to (an archive: the control at its top),
# written out here rather than read from the package's manifest, so that a wrong manifest fails
# these tests.
PACKAGE = [("kar160.ex_", "karemain.exe"), ("DLKR_DL.ex_", "DLKR_DL.exe"), ("karstang.di_", "karstang.dic"),
           ("Zoomhint.tx_", "ZoomHint.txt"), ("cellmapa.da_", "cellmapa.dat"), ("cellmapb.da_", "cellmapb.dat"),
           ("vornlib.dl_", "vornlib.dll"), ("FindUpd.ex_", "FindUpd.exe"), ("tvdialog.dl_", "tvdialog.dll"),
           ("plxShow.ex_", "plxShow.exe"), ("GroupList.Ms_", "GroupList.Mst"), ("GroupMst.in_", "GroupMst.ini"),
           ("KarScan.ex_", "KarScan.exe"), ("KarScanPaste.ex_", "KarScanPaste.exe"), ("KarScan.de_", "KarScan.def"),
           ("SCANABORT.EX_", "scanabort.exe"), ("Regsvr32.ex_", "Regsvr32.exe"), ("Imgkit5.lzh", "ImgKit5.ocx"),
           ("Imgkit6.lzh", "ImgKit6.ocx")]
NAMES = [name for name, _ in PACKAGE]
ARCHIVES = ("Imgkit5.lzh", "Imgkit6.lzh")

LINE = re.compile(r"^\s*(\d+) (\S+)\s+(ok|WARNING|FAULT)\s+(.*)$")


def mscompress(data, work):
    """`data` compressed by Debian's mscompress."""
    path = os.path.join(work, "input")
    with open(path, "wb") as f:
        f.write(data)
    subprocess.run(["mscompress", path], check=True, stdout=subprocess.DEVNULL)
    with open(path + "_", "rb") as f:
        compressed = f.read()
    os.remove(path)
    os.remove(path + "_")
    return compressed


def jlha(archive, folder, names):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    subprocess.run(["jlha", "c2", archive] + names, cwd=folder, env=env, check=True, stdout=subprocess.DEVNULL)


def windows_program(work, compiler, *flags):
    """A minimal Windows program (or DLL, with -shared) built by the given mingw compiler."""
    source = os.path.join(work, "tool.c")
    with open(source, "w") as f:
        f.write("int main(void) { return 0; }\n")
    out = os.path.join(work, "tool.bin")
    subprocess.run([compiler, source, "-o", out] + list(flags), check=True)
    with open(out, "rb") as f:
        return f.read()


class Run:
    """One run of the checker: exit status, output, and the lines by file name. The test package
    holds this project's stand-ins, so they are allowed unless `stand_ins` is False."""

    def __init__(self, folder, *options, stand_ins=True):
        options = list(options) + (["--allow-stand-ins"] if stand_ins else [])
        done = subprocess.run([sys.executable, CHECKER] + options + [folder], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=300)
        self.status = done.returncode
        self.output = done.stdout.decode("utf-8")
        self.errors = done.stderr.decode("utf-8")
        self.lines = {}
        self.order = []
        for line in self.output.splitlines():
            m = LINE.match(line)
            if m:
                self.lines[m.group(2)] = (int(m.group(1)), m.group(3), m.group(4))
                self.order.append(m.group(2))
        self.summary = [l for l in self.output.splitlines() if l.startswith("summary:")]

    def __str__(self):
        return "exit %d\n%s%s" % (self.status, self.output, self.errors)


def made_package(prefix):
    """A scratch folder with a test package made in it: (folder, its karedona/, its original/)."""
    work = tempfile.mkdtemp(prefix=prefix)
    out = os.path.join(work, "made")
    subprocess.run([sys.executable, MAKE_PACKAGE, "--bin", BIN, "--out", out], check=True, stdout=subprocess.DEVNULL)
    return work, os.path.join(out, "karedona"), os.path.join(out, "original")


class PackageTest(unittest.TestCase):
    """The checker on a good package and on copies broken one way each."""

    @classmethod
    def setUpClass(cls):
        cls.work, cls.good, cls.original = made_package("package_checker_test.")
        cls.copies = 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def copy(self):
        PackageTest.copies += 1
        folder = os.path.join(self.work, "case%d" % PackageTest.copies, "karedona")
        shutil.copytree(self.good, folder)
        return folder

    def assert_only_fault(self, run, name, *words, level="FAULT", status=1):
        """The file `name` is reported at `level` with every one of `words` in its line; every
        other file is ok; the exit status is `status`."""
        self.assertEqual(run.status, status, str(run))
        self.assertEqual(run.order, NAMES, str(run))
        number, found, text = run.lines[name]
        self.assertEqual(number, NAMES.index(name) + 1, str(run))
        self.assertEqual(found, level, str(run))
        for word in words:
            self.assertIn(word, text, str(run))
        for other in NAMES:
            if other != name:
                self.assertEqual(run.lines[other][1], "ok", "%s\n%s" % (other, run))
        self.assertEqual(len(run.summary), 1, str(run))
        if level == "FAULT":
            self.assertIn("18 ok, 0 warnings, 1 fault;", run.summary[0])
            self.assertIn("NOT ready", run.summary[0])
        else:
            self.assertIn("18 ok, 1 warning, 0 faults;", run.summary[0])

    def write(self, folder, name, data):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)

    def read(self, folder, name):
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()

    # --- a good package

    def test_good_package_passes(self):
        run = Run(self.good)
        self.assertEqual(run.status, 0, str(run))
        self.assertEqual(run.order, NAMES, str(run))
        for name in NAMES:
            self.assertEqual(run.lines[name][1], "ok", "%s\n%s" % (name, run))
        self.assertIn("FileVersion 1.6.0.0 reads as 1.6.0", run.lines["kar160.ex_"][2])
        self.assertIn("holds ImgKit5.ocx", run.lines["Imgkit5.lzh"][2])
        self.assertIn("FileVersion 2,1,0,16", run.lines["Imgkit5.lzh"][2])
        self.assertIn("holds ImgKit6.ocx", run.lines["Imgkit6.lzh"][2])
        self.assertIn("19 ok, 0 warnings, 0 faults", run.summary[0])

    def test_sizes_reported_are_the_expanded_files(self):
        run = Run(self.good)
        for name, expanded in PACKAGE:
            if name in ARCHIVES:
                continue
            size = os.path.getsize(os.path.join(self.original, expanded))
            packed = os.path.getsize(os.path.join(self.good, name))
            self.assertIn("(%d -> %d bytes)" % (packed, size), run.lines[name][2], name)

    def test_extra_files_are_listed_but_not_faults(self):
        folder = self.copy()
        self.write(folder, "readme.txt", b"notes for the server's admin\n")
        run = Run(folder)
        self.assertEqual(run.status, 0, str(run))
        self.assertIn("other files, never fetched: readme.txt", run.output)

    # --- missing files

    def test_missing_file(self):
        folder = self.copy()
        os.remove(os.path.join(folder, "vornlib.dl_"))
        self.assert_only_fault(Run(folder), "vornlib.dl_", "missing")

    def test_missing_archive(self):
        folder = self.copy()
        os.remove(os.path.join(folder, "Imgkit6.lzh"))
        self.assert_only_fault(Run(folder), "Imgkit6.lzh", "missing")

    def test_name_in_other_letter_case_counts_as_missing(self):
        folder = self.copy()
        os.rename(os.path.join(folder, "Zoomhint.tx_"), os.path.join(folder, "ZoomHint.tx_"))
        self.assert_only_fault(Run(folder), "Zoomhint.tx_", "missing", "ZoomHint.tx_", "case-sensitive")

    def test_every_file_missing(self):
        folder = os.path.join(self.work, "empty")
        os.makedirs(folder, exist_ok=True)
        run = Run(folder)
        self.assertEqual(run.status, 1, str(run))
        self.assertEqual(run.order, NAMES)
        for name in NAMES:
            self.assertEqual(run.lines[name][1:], ("FAULT", "missing"), name)
        self.assertIn("0 ok, 0 warnings, 19 faults", run.summary[0])

    def test_package_root_given_instead_of_its_karedona_folder(self):
        run = Run(os.path.dirname(self.good))
        self.assertEqual(run.status, 1, str(run))
        self.assertIn("hint: the files are served from the karedona folder: check %s" % self.good, run.output)

    # --- damaged compressed components

    def test_truncated_component(self):
        folder = self.copy()
        data = self.read(folder, "cellmapb.da_")
        self.write(folder, "cellmapb.da_", data[:len(data) // 2])
        run = Run(folder)
        self.assert_only_fault(run, "cellmapb.da_")
        text = run.lines["cellmapb.da_"][2]
        self.assertTrue("cut short" in text or "ends in the middle of a match" in text, text)

    def test_component_cut_inside_its_header(self):
        folder = self.copy()
        self.write(folder, "KarScan.de_", self.read(folder, "KarScan.de_")[:12])
        self.assert_only_fault(Run(folder), "KarScan.de_", "SZDD header cut short")

    def test_header_announcing_more_than_the_data_holds(self):
        folder = self.copy()
        data = bytearray(self.read(folder, "karstang.di_"))
        size = struct.unpack_from("<I", data, 10)[0]
        struct.pack_into("<I", data, 10, size + 1)
        self.write(folder, "karstang.di_", bytes(data))
        self.assert_only_fault(Run(folder), "karstang.di_",
                               "expands to %d bytes, but its header announces %d" % (size, size + 1))

    def test_header_announcing_less_than_the_data_holds(self):
        folder = self.copy()
        data = bytearray(self.read(folder, "GroupMst.in_"))
        size = struct.unpack_from("<I", data, 10)[0]
        struct.pack_into("<I", data, 10, size - 100)
        self.write(folder, "GroupMst.in_", bytes(data))
        self.assert_only_fault(Run(folder), "GroupMst.in_", "expands past the %d bytes" % (size - 100))

    def test_unknown_compression_mode(self):
        folder = self.copy()
        data = bytearray(self.read(folder, "FindUpd.ex_"))
        data[8] = ord("B")
        self.write(folder, "FindUpd.ex_", bytes(data))
        self.assert_only_fault(Run(folder), "FindUpd.ex_", "mode 0x42 is not 'A'")

    def test_garbage_instead_of_a_component(self):
        folder = self.copy()
        self.write(folder, "plxShow.ex_", random.Random(7).randbytes(5000))
        self.assert_only_fault(Run(folder), "plxShow.ex_", "not compressed", "5000 bytes", "plxShow.exe")

    def test_error_page_saved_as_a_component(self):
        folder = self.copy()
        self.write(folder, "tvdialog.dl_", b"<html><body><h1>404 Not Found</h1></body></html>\r\n")
        self.assert_only_fault(Run(folder), "tvdialog.dl_", "not compressed")

    def test_garbage_behind_an_szdd_header(self):
        folder = self.copy()
        garbage = szdd.SZDD_MAGIC + b"A\0" + struct.pack("<I", 40000) + random.Random(8).randbytes(4000)
        self.write(folder, "cellmapa.da_", garbage)
        run = Run(folder)
        self.assert_only_fault(run, "cellmapa.da_")
        self.assertNotIn("expands cleanly", run.lines["cellmapa.da_"][2])

    def test_damaged_magic(self):
        folder = self.copy()
        data = bytearray(self.read(folder, "DLKR_DL.ex_"))
        data[5] ^= 0xFF
        self.write(folder, "DLKR_DL.ex_", bytes(data))
        self.assert_only_fault(Run(folder), "DLKR_DL.ex_", "damaged SZDD header")

    def test_empty_component(self):
        folder = self.copy()
        self.write(folder, "SCANABORT.EX_", b"")
        self.assert_only_fault(Run(folder), "SCANABORT.EX_", "empty file")

    def test_component_shorter_than_16_bytes_is_a_warning(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            self.write(folder, "GroupMst.in_", mscompress(b"[Group]\r\nA=1\r\n", work))
        self.assert_only_fault(Run(folder), "GroupMst.in_", "expands cleanly", "only 14 bytes",
                               "holds what it should: '\\x00\\x00[Group]\\r\\nA=1'", level="WARNING", status=0)

    def test_uncompressed_component_is_a_fault_unless_allowed(self):
        folder = self.copy()
        with open(os.path.join(self.original, "GroupList.Mst"), "rb") as f:
            self.write(folder, "GroupList.Ms_", f.read())
        self.assert_only_fault(Run(folder), "GroupList.Ms_", "not compressed", "GroupList.Mst")
        self.assert_only_fault(Run(folder, "--allow-uncompressed"), "GroupList.Ms_", "not compressed",
                               level="WARNING", status=0)

    # --- the main executable

    def test_kar160_holding_karemain_152(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(BIN, "karemain_1520.exe"), "rb") as f:
                self.write(folder, "kar160.ex_", mscompress(f.read(), work))
        self.assert_only_fault(Run(folder), "kar160.ex_", "FileVersion 1.5.2.0", "reads as 1.5.2, not 1.6.0")

    def test_kar160_holding_a_program_without_version(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(BIN, "version_stub.exe"), "rb") as f:
                self.write(folder, "kar160.ex_", mscompress(f.read(), work))
        self.assert_only_fault(Run(folder), "kar160.ex_", "has no version resource")

    def test_kar160_holding_no_program(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            self.write(folder, "kar160.ex_", mscompress(b"just a text file, long enough\r\n" * 10, work))
        self.assert_only_fault(Run(folder), "kar160.ex_", "expands cleanly", "not a Windows program")

    def test_kar160_uncompressed_is_checked_for_its_version_too(self):
        folder = self.copy()
        shutil.copyfile(os.path.join(BIN, "karemain_1600.exe"), os.path.join(folder, "kar160.ex_"))
        self.assert_only_fault(Run(folder, "--allow-uncompressed"), "kar160.ex_", "not compressed",
                               "reads as 1.6.0", level="WARNING", status=0)
        shutil.copyfile(os.path.join(BIN, "karemain_1520.exe"), os.path.join(folder, "kar160.ex_"))
        self.assert_only_fault(Run(folder, "--allow-uncompressed"), "kar160.ex_", "reads as 1.5.2")

    def test_registration_tool_must_be_a_32_bit_program(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            self.write(folder, "Regsvr32.ex_", mscompress(random.Random(9).randbytes(3000), work))
            self.assert_only_fault(Run(folder), "Regsvr32.ex_", "Regsvr32.exe is not a Windows program")
            # A 64-bit regsvr32 cannot load the 32-bit controls.
            self.write(folder, "Regsvr32.ex_", mscompress(windows_program(work, "x86_64-w64-mingw32-gcc"), work))
            self.assert_only_fault(Run(folder), "Regsvr32.ex_", "is a 64-bit x64 program", "SysWOW64")
            self.write(folder, "Regsvr32.ex_",
                       mscompress(windows_program(work, "i686-w64-mingw32-gcc", "-shared"), work))
            self.assert_only_fault(Run(folder), "Regsvr32.ex_", "is a DLL")
            # Any 32-bit program that is not the project's stand-in passes.
            self.write(folder, "Regsvr32.ex_", mscompress(windows_program(work, "i686-w64-mingw32-gcc"), work))
            run = Run(folder, stand_ins=False)
            self.assertIn("Regsvr32.exe is a 32-bit Windows program", run.lines["Regsvr32.ex_"][2], str(run))
            self.assert_only_fault(run, "kar160.ex_", "karemain.exe is this project's stand-in")

    def test_stand_ins_are_refused_unless_allowed(self):
        run = Run(self.good, stand_ins=False)
        self.assertEqual(run.status, 1, str(run))
        for name, program in (("kar160.ex_", "karemain.exe"), ("Regsvr32.ex_", "Regsvr32.exe")):
            self.assertEqual(run.lines[name][1], "FAULT", str(run))
            self.assertIn("%s is this project's stand-in for tests and the demo" % program, run.lines[name][2])
        self.assertIn("17 ok, 0 warnings, 2 faults", run.summary[0])
        self.assertIn("allowed by --allow-stand-ins", Run(self.good).lines["kar160.ex_"][2])

    def test_package_made_from_the_vendors_files(self):
        vendor = os.path.join(self.work, "vendor")
        shutil.copytree(self.original, vendor)
        # Real programs in place of the stand-ins; names in other letter cases; a file under 16
        # bytes; ImageKit 6 as a folder with a second file.
        shutil.copyfile(os.path.join(BIN, PROGRAM), os.path.join(vendor, "karemain.exe"))
        with tempfile.TemporaryDirectory() as work:
            self.write(vendor, "Regsvr32.exe", windows_program(work, "i686-w64-mingw32-gcc"))
        os.rename(os.path.join(vendor, "Regsvr32.exe"), os.path.join(vendor, "REGSVR32.EXE"))
        os.rename(os.path.join(vendor, "ZoomHint.txt"), os.path.join(vendor, "zoomhint.txt"))
        os.remove(os.path.join(vendor, "GroupMst.ini"))
        self.write(vendor, "groupmst.INI", b"Group=1\r\n")
        os.makedirs(os.path.join(vendor, "Imgkit6"))
        os.rename(os.path.join(vendor, "ImgKit6.ocx"), os.path.join(vendor, "Imgkit6", "ImgKit6.ocx"))
        self.write(os.path.join(vendor, "Imgkit6"), "ImgKit6.dat", b"data the control reads\r\n")
        before = {name: self.read(vendor, name) for name in os.listdir(vendor) if os.path.isfile(os.path.join(vendor, name))}

        out = os.path.join(self.work, "vendor-package")
        done = subprocess.run([sys.executable, MAKE_PACKAGE, "--from", vendor, "--out", out],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        report = done.stdout.decode()
        self.assertEqual(done.returncode, 0, report)
        self.assertIn("18 ok, 1 warning, 0 faults", report)
        self.assertIn("holds what it should: 'Group=1\\r\\n'", report)
        self.assertEqual(os.listdir(out), ["karedona"])
        self.assertEqual(sorted(os.listdir(os.path.join(out, "karedona"))), sorted(NAMES))
        for name, expanded in PACKAGE:
            if name not in ARCHIVES:
                source = [n for n in before if n.lower() == expanded.lower()][0]
                self.assertEqual(szdd.szdd_expand(self.read(os.path.join(out, "karedona"), name)), before[source], name)
        listing = subprocess.run(["lhasa", "l", os.path.join(out, "karedona", "Imgkit6.lzh")],
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertIn("ImgKit6.ocx", listing)
        self.assertIn("ImgKit6.dat", listing)
        self.assertEqual({n: self.read(vendor, n) for n in before}, before, "the vendor's folder is only read")

        # A missing file: each one named, nothing written over the last package.
        os.remove(os.path.join(vendor, "cellmapb.dat"))
        os.remove(os.path.join(vendor, "ImgKit5.ocx"))
        done = subprocess.run([sys.executable, MAKE_PACKAGE, "--from", vendor, "--out", out],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"cellmapb.dat: missing", done.stdout)
        self.assertIn(b"ImgKit5.ocx (or a folder Imgkit5/ holding it): missing", done.stdout)
        self.assertEqual(sorted(os.listdir(os.path.join(out, "karedona"))), sorted(NAMES))
        # ... and into a package folder that is not there yet, not even the folder.
        fresh = os.path.join(self.work, "no-package-yet")
        done = subprocess.run([sys.executable, MAKE_PACKAGE, "--from", vendor, "--out", fresh],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"nothing written", done.stdout)
        self.assertFalse(os.path.exists(fresh), "a run that writes nothing made %s" % fresh)

    # --- the LHA archives

    def test_damaged_archive(self):
        folder = self.copy()
        data = bytearray(self.read(folder, "Imgkit6.lzh"))
        for k in range(2000, 2100):
            data[k] ^= 0x5A
        self.write(folder, "Imgkit6.lzh", bytes(data))
        self.assert_only_fault(Run(folder), "Imgkit6.lzh", "`lhasa t` fails: ImgKit6.ocx - CRC error")

    def test_truncated_archive(self):
        folder = self.copy()
        data = self.read(folder, "Imgkit5.lzh")
        self.assertEqual(data[-1], 0)  # the end mark: 500 bytes off the end are 499 of the data
        self.write(folder, "Imgkit5.lzh", data[:len(data) - 500])
        self.assert_only_fault(Run(folder), "Imgkit5.lzh", "runs past the end of the file", "499 bytes missing")

    def test_archive_without_its_control(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "readme.txt"), "wb") as f:
                f.write(b"ImageKit 5 setup notes\r\n" * 20)
            archive = os.path.join(work, "Imgkit5.lzh")
            jlha(archive, work, ["readme.txt"])
            shutil.copyfile(archive, os.path.join(folder, "Imgkit5.lzh"))
        self.assert_only_fault(Run(folder), "Imgkit5.lzh", "`lhasa t` passes", "does not hold ImgKit5.ocx",
                               "holds readme.txt")

    def test_archives_swapped(self):
        folder = self.copy()
        shutil.copyfile(os.path.join(self.good, "Imgkit5.lzh"), os.path.join(folder, "Imgkit6.lzh"))
        self.assert_only_fault(Run(folder), "Imgkit6.lzh", "does not hold ImgKit6.ocx", "holds ImgKit5.ocx")

    def test_garbage_instead_of_an_archive(self):
        folder = self.copy()
        self.write(folder, "Imgkit6.lzh", random.Random(10).randbytes(3000))
        self.assert_only_fault(Run(folder), "Imgkit6.lzh", "not a sound LHA archive")

    def test_control_in_other_letter_case_is_found(self):
        # Windows file names ignore letter case.
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            shutil.copyfile(os.path.join(self.original, "ImgKit6.ocx"), os.path.join(work, "IMGKIT6.OCX"))
            archive = os.path.join(work, "Imgkit6.lzh")
            jlha(archive, work, ["IMGKIT6.OCX"])
            shutil.copyfile(archive, os.path.join(folder, "Imgkit6.lzh"))
        run = Run(folder)
        self.assertEqual(run.status, 0, str(run))
        self.assertIn("holds IMGKIT6.OCX", run.lines["Imgkit6.lzh"][2])

    def test_control_inside_a_folder_of_the_archive(self):
        # It would be extracted into a subfolder of the ImageKit folder and not be registered.
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            os.makedirs(os.path.join(work, "ocx"))
            shutil.copyfile(os.path.join(self.original, "ImgKit6.ocx"), os.path.join(work, "ocx", "ImgKit6.ocx"))
            archive = os.path.join(work, "Imgkit6.lzh")
            jlha(archive, work, ["ocx/ImgKit6.ocx"])
            shutil.copyfile(archive, os.path.join(folder, "Imgkit6.lzh"))
        self.assert_only_fault(Run(folder), "Imgkit6.lzh", "`lhasa t` passes",
                               "holds ImgKit6.ocx only inside a folder (ocx/ImgKit6.ocx)")

    def test_imagekit5_of_another_version_is_a_warning(self):
        folder = self.copy()
        with tempfile.TemporaryDirectory() as work:
            shutil.copyfile(os.path.join(BIN, "karemain_1600.exe"), os.path.join(work, "ImgKit5.ocx"))
            archive = os.path.join(work, "Imgkit5.lzh")
            jlha(archive, work, ["ImgKit5.ocx"])
            shutil.copyfile(archive, os.path.join(folder, "Imgkit5.lzh"))
        self.assert_only_fault(Run(folder), "Imgkit5.lzh", "FileVersion 1.6.0.0, not 2,1,0,16",
                               "install ImageKit 5 again", level="WARNING", status=0)

    # --- usage

    # --- what a pinned build carries

    def test_digests_and_the_pin_table_for_the_build(self):
        run = Run(self.good, "--digests")
        self.assertEqual(run.status, 0, str(run))
        pins = [l.split() for l in run.output.splitlines() if l.strip().startswith("pin ")]
        expected = []
        for name in NAMES:
            data = self.read(self.good, name)
            expected.append(["pin", name, str(len(data)), "sha256", hashlib.sha256(data).hexdigest()])
        # Then what they give on a workstation, from the originals the package was made of: the
        # updater checks each file against these before it installs or runs it.
        for name, installed in PACKAGE:
            data = self.read(self.original, installed)
            expected.append(["pin", installed, str(len(data)), "sha256", hashlib.sha256(data).hexdigest()])
        self.assertEqual(pins, expected, str(run))

        table = os.path.join(self.work, "pinned.cpp")
        run = Run(self.good, "--pin-table", table)
        self.assertEqual(run.status, 0, str(run))
        with open(table, encoding="utf-8") as f:
            source = f.read()
        self.assertIn('"KARUPDT-PINNED-PACKAGE 1\\n"', source)
        for _, name, size, _, digest in expected:
            self.assertIn('"%s %s %s\\n"' % (name, size, digest), source)
        self.assertIn('"END\\n";', source)
        # An unchanged package leaves the file alone, so that the build relinks nothing.
        os.utime(table, (1000000000, 1000000000))
        self.assertEqual(Run(self.good, "--pin-table", table).status, 0)
        self.assertEqual(os.path.getmtime(table), 1000000000)

        # A package with a fault gets no table: the build stops with the checker's report.
        folder = self.copy()
        os.remove(os.path.join(folder, "KarScan.de_"))
        broken = os.path.join(self.work, "broken.cpp")
        run = Run(folder, "--pin-table", broken)
        self.assertEqual(run.status, 1, str(run))
        self.assertIn("missing", run.lines["KarScan.de_"][2])
        self.assertIn("no pin table written", run.output)
        self.assertFalse(os.path.exists(broken))

    def test_package_against_a_built_exe(self):
        unpinned = os.path.join(BIN, PROGRAM)
        run = Run(self.good, "--against-exe", unpinned)
        self.assertEqual(run.status, 1, str(run))
        self.assertIn("carries no pinned package", run.summary[0])

        # An executable that carries this package's table, as the build writes it into the image.
        entries = pin_table.package_digests(self.good)
        exe = os.path.join(self.work, "pinned.exe")
        with open(exe, "wb") as f:
            f.write(self.read(BIN, PROGRAM) + pin_table.pin_block(entries).encode() + b"\0rest of the image")
        run = Run(self.good, "--against-exe", exe)
        self.assertEqual(run.status, 0, str(run))
        self.assertEqual(run.order, NAMES, str(run))
        self.assertIn("all 19 files match", run.summary[0])

        # One byte differs in one file: only its line is a fault.
        folder = self.copy()
        data = bytearray(self.read(folder, "tvdialog.dl_"))
        data[-1] ^= 1
        self.write(folder, "tvdialog.dl_", bytes(data))
        run = Run(folder, "--against-exe", exe)
        self.assertEqual(run.status, 1, str(run))
        self.assertEqual(run.lines["tvdialog.dl_"][1], "FAULT", str(run))
        self.assertIn("the exe pins %d bytes" % len(data), run.lines["tvdialog.dl_"][2])
        self.assertEqual([n for n in NAMES if run.lines[n][1] != "ok"], ["tvdialog.dl_"], str(run))
        self.assertIn("1 of 19 files differ", run.summary[0])

        # The build's own pinned program and the package it was built for.
        built = os.path.join(BIN, "KarUpdt_pinned.exe")
        package = os.path.join(os.path.dirname(BIN), "package", "karedona")
        if os.path.isfile(built) and os.path.isdir(package):
            run = Run(package, "--against-exe", built)
            self.assertEqual(run.status, 0, str(run))

    def test_bad_usage(self):
        for args in ([], [self.good, self.good], ["--no-such-option", self.good],
                     [os.path.join(self.work, "no-such-folder")],
                     [os.path.join(self.good, "kar160.ex_")]):
            done = subprocess.run([sys.executable, CHECKER] + args, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, timeout=60)
            self.assertEqual(done.returncode, 2, "%s\n%s" % (args, done.stderr.decode()))
            self.assertIn(b"usage:", done.stderr)


class LiveTest(unittest.TestCase):
    """--live: the published server, fetched as the updater fetches it, against nginx on loopback
    (served as is, and without Content-Length) and a server of the test's own that redirects."""

    @classmethod
    def setUpClass(cls):
        cls.work, cls.package, _ = made_package("package_checker_live.")
        # What the server publishes: a copy, which tests may break.
        cls.published = os.path.join(cls.work, "www")
        shutil.copytree(cls.package, os.path.join(cls.published, "karedona"))
        cls.state = os.path.join(cls.work, "nginx")
        ports = [int(subprocess.run([os.path.join(ROOT, "scripts", "nginx-server.sh"), "free-port"],
                                    stdout=subprocess.PIPE, check=True).stdout) for _ in range(2)]
        cls.port, cls.plain_port = ports
        subprocess.run([os.path.join(ROOT, "scripts", "nginx-server.sh"), "start", cls.state, cls.published,
                        str(cls.port), "", "64k", str(cls.plain_port)], check=True, stdout=subprocess.DEVNULL)

        class Redirecting(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(301)
                self.send_header("Location", "https://updates.example.invalid" + self.path)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        cls.redirecting = http.server.HTTPServer(("127.0.0.1", 0), Redirecting)
        threading.Thread(target=cls.redirecting.serve_forever, daemon=True).start()

    @classmethod
    def tearDownClass(cls):
        cls.redirecting.shutdown()
        subprocess.run([os.path.join(ROOT, "scripts", "nginx-server.sh"), "stop", cls.state])
        shutil.rmtree(cls.work, ignore_errors=True)

    def live(self, url, *options):
        return Run(self.package, "--live", url, *options, stand_ins=False)

    def access_log(self):
        with open(os.path.join(self.state, "access.log"), encoding="utf-8") as f:
            return f.read()

    def test_published_package_directly_and_through_a_proxy(self):
        run = self.live("http://127.0.0.1:%d/karedona/" % self.port)
        self.assertEqual(run.status, 0, str(run))
        self.assertEqual(run.order, NAMES, str(run))
        for name in NAMES:
            size = os.path.getsize(os.path.join(self.package, name))
            self.assertEqual(run.lines[name][1:], ("ok", "200 OK; Content-Length %d; same bytes as the package" % size))
        self.assertIn("all 19 files are served", run.summary[0])
        self.assertIn('"GET /karedona/kar160.ex_ HTTP/1.1" 200', self.access_log())
        self.assertIn('"KarUpdt-check-package"', self.access_log())
        self.assertNotIn("KarUpdt/", self.access_log(), "a check must not count as a workstation's update")

        # A workstation with a proxy: the whole URL goes to the proxy (nginx answers for any host).
        run = self.live("http://updates.example.invalid/karedona", "--proxy", "127.0.0.1:%d" % self.port)
        self.assertEqual(run.status, 0, str(run))
        self.assertIn("through the proxy 127.0.0.1:%d" % self.port, run.output)
        self.assertIn('"GET http://updates.example.invalid/karedona/Imgkit6.lzh HTTP/1.1" 200', self.access_log())

    def test_what_the_updater_would_refuse_is_named_per_file(self):
        served = os.path.join(self.published, "karedona")
        damaged = os.path.join(served, "tvdialog.dl_")
        with open(damaged, "rb") as f:
            original = f.read()
        try:
            with open(damaged, "wb") as f:
                f.write(original[:-1] + bytes([original[-1] ^ 1]))
            os.rename(os.path.join(served, "KarScan.de_"), os.path.join(served, "karscan.de_"))
            run = self.live("http://127.0.0.1:%d/karedona/" % self.port)
            self.assertEqual(run.status, 1, str(run))
            self.assertEqual([n for n in NAMES if run.lines[n][1] != "ok"], ["tvdialog.dl_", "KarScan.de_"], str(run))
            self.assertIn("differs from the local package (served: %d bytes, sha256 %s"
                          % (len(original), hashlib.sha256(original[:-1] + bytes([original[-1] ^ 1])).hexdigest()),
                          run.lines["tvdialog.dl_"][2])
            self.assertIn("404 Not Found", run.lines["KarScan.de_"][2])
            self.assertIn("2 of 19 files are NOT served", run.summary[0])
        finally:
            with open(damaged, "wb") as f:
                f.write(original)
            os.rename(os.path.join(served, "karscan.de_"), os.path.join(served, "KarScan.de_"))

        run = self.live("http://127.0.0.1:%d/karedona/" % self.plain_port)
        self.assertEqual(run.status, 1, str(run))
        for name in NAMES:
            self.assertEqual(run.lines[name][1], "FAULT", str(run))
            self.assertIn("no Content-Length (Transfer-Encoding: chunked)", run.lines[name][2])

        run = self.live("http://127.0.0.1:%d/karedona/" % self.redirecting.server_port)
        self.assertEqual(run.status, 1, str(run))
        self.assertIn("301 Moved Permanently, redirects to https://updates.example.invalid/karedona/kar160.ex_: "
                      "the updater does not follow redirects", run.lines["kar160.ex_"][2])
        self.assertIn("19 of 19 files are NOT served", run.summary[0])

    def test_server_that_cannot_be_reached_and_bad_urls(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = s.getsockname()[1]
        run = self.live("http://127.0.0.1:%d/karedona/" % closed)
        self.assertEqual(run.status, 1, str(run))
        self.assertEqual(run.order, ["kar160.ex_"], str(run))
        self.assertIn("cannot connect to 127.0.0.1:%d" % closed, run.lines["kar160.ex_"][2])
        self.assertIn("the server cannot be reached; nothing was fetched", run.summary[0])
        for options in (["--live", "https://updates.example.invalid/karedona/"], ["--proxy", "127.0.0.1:1"],
                        ["--live", "http://127.0.0.1:%d/" % self.port, "--proxy", "no-port"]):
            run = Run(self.package, *options)
            self.assertEqual(run.status, 2, "%s\n%s" % (options, run))
            self.assertIn("usage:", run.errors)


class SzddDecoderTest(unittest.TestCase):
    """The checker's SZDD decoder against mscompress."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="szdd_decoder_test.")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def round_trip(self, data):
        compressed = mscompress(data, self.work)
        self.assertTrue(compressed.startswith(szdd.SZDD_MAGIC))
        self.assertEqual(struct.unpack_from("<I", compressed, 10)[0], len(data))
        self.assertEqual(szdd.szdd_expand(compressed), data)
        return compressed

    def test_sixteen_and_seventeen_bytes(self):
        rng = random.Random(1)
        for size in (16, 17, 18, 31, 32, 33):
            self.round_trip(rng.randbytes(size))

    def test_text(self):
        text = ("カレドナ 文書 表示 karedona zoom group マスタ 設定 = 1.6.0\r\n" * 300).encode("cp932")
        compressed = self.round_trip(text)
        self.assertLess(len(compressed), len(text) // 4)  # matches are really exercised

    def test_random(self):
        self.round_trip(random.Random(2).randbytes(70000))

    def test_repetitive(self):
        self.round_trip(b"x" * 5000)
        self.round_trip(b"abc" * 7000)
        self.round_trip(bytes(range(256)) * 64)

    def test_spaces_match_the_prefilled_window(self):
        # Spaces at the start can be taken from the window before anything was written.
        compressed = self.round_trip(b" " * 40 + b"tail of the file")
        self.assertLess(len(compressed), 14 + 40)

    def test_one_megabyte(self):
        rng = random.Random(3)
        parts = []
        size = 0
        while size < 1 << 20:
            part = rng.randbytes(rng.randint(1, 300)) if rng.random() < 0.5 else bytes([rng.getrandbits(8)]) * rng.randint(3, 500)
            parts.append(part)
            size += len(part)
        self.round_trip(b"".join(parts)[:1 << 20])

    def test_every_truncation_is_refused(self):
        data = ("the quick brown fox 0123456789 " * 40).encode() + random.Random(4).randbytes(200)
        compressed = self.round_trip(data)
        for cut in range(len(compressed)):
            with self.assertRaises(szdd.SzddError, msg="cut at %d of %d" % (cut, len(compressed))):
                szdd.szdd_expand(compressed[:cut])

    def test_hand_made_stream(self):
        header = szdd.SZDD_MAGIC + b"A\0"
        # literal a, literal b, then a match of 5 from position 4080: copies over itself
        stream = bytes([0b011, ord("a"), ord("b"), 0xF0, 0xF2])
        self.assertEqual(szdd.szdd_expand(header + struct.pack("<I", 7) + stream), b"abababa")
        # a match from position 0 before anything was written there reads the window's spaces
        self.assertEqual(szdd.szdd_expand(header + struct.pack("<I", 18) + bytes([0, 0x00, 0x0F])), b" " * 18)
        # a match whose second byte is missing runs past the data
        with self.assertRaisesRegex(szdd.SzddError, "middle of a match"):
            szdd.szdd_expand(header + struct.pack("<I", 7) + bytes([0b011, ord("a"), ord("b"), 0xF0]))

    def test_window_wraps_around(self):
        # 4100 distinct-looking bytes push the write position past the end of the window; the
        # repeat of the first 50 bytes is then a match that reads from the wrapped window.
        rng = random.Random(5)
        head = rng.randbytes(50)
        self.round_trip(head + rng.randbytes(4000) + head + rng.randbytes(100))


class ReaderTest(unittest.TestCase):
    """The version resource and LHA header readers on real files."""

    def read_bin(self, name):
        with open(os.path.join(BIN, name), "rb") as f:
            return f.read()

    def test_file_versions(self):
        self.assertEqual(pe.file_version(self.read_bin("karemain_1600.exe")), "1.6.0.0")
        self.assertEqual(pe.file_version(self.read_bin("karemain_1520.exe")), "1.5.2.0")
        # "2, 1, 0, 16" with its spaces removed
        self.assertEqual(pe.file_version(self.read_bin("version_windres.exe")), "2,1,0,16")
        with self.assertRaisesRegex(pe.PeError, "no version resource"):
            pe.file_version(self.read_bin("version_stub.exe"))
        with self.assertRaisesRegex(pe.PeError, "not a Windows program"):
            pe.file_version(b"MZ" + b"\0" * 100)

    def test_updater_version(self):
        self.assertEqual(pe.updater_version("1.6.0.0"), "1.6.0")
        self.assertEqual(pe.updater_version("1.6.0.10"), "1.6.0.")
        self.assertEqual(pe.updater_version("1,6,0,0"), "1,6,0")
        self.assertEqual(pe.updater_version("1"), "1")

    def test_lha_header_levels(self):
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "ImgKit6.ocx"), "wb") as f:
                f.write(random.Random(6).randbytes(9000))
            with open(os.path.join(work, "note.txt"), "wb") as f:
                f.write(b"hello " * 500)
            env = dict(os.environ, LC_ALL="C.UTF-8")
            for level in ("0", "1", "2"):
                archive = os.path.join(work, "a%s.lzh" % level)
                subprocess.run(["jlha", "c" + level, archive, "ImgKit6.ocx", "note.txt"], cwd=work, env=env,
                               check=True, stdout=subprocess.DEVNULL)
                with open(archive, "rb") as f:
                    data = f.read()
                self.assertEqual(data[20], int(level), "jlha wrote another header level")
                members = lha.lha_members(data)
                self.assertEqual([(m[0], m[3]) for m in members], [("ImgKit6.ocx", 9000), ("note.txt", 3000)],
                                 "level " + level)
                with self.assertRaises(lha.LhaError, msg="level " + level):
                    lha.lha_members(data[:len(data) - 10])
                damaged = bytearray(data)
                damaged[3] ^= 0x01  # inside the method name
                with self.assertRaises(lha.LhaError, msg="level " + level):
                    lha.lha_members(bytes(damaged))


def main():
    global BIN, PROGRAM
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True, help="the mingw build's bin folder")
    parser.add_argument("--program", default=PROGRAM, help="the program in it built without a pinned package")
    args, rest = parser.parse_known_args()
    BIN = os.path.abspath(args.bin)
    PROGRAM = args.program
    missing = [t for t in ("mscompress", "jlha", "lhasa", "nginx", "i686-w64-mingw32-gcc", "x86_64-w64-mingw32-gcc")
               if shutil.which(t) is None]
    if missing:
        print("package_checker_test: missing %s (run scripts/setup.sh)" % ", ".join(missing), file=sys.stderr)
        return 1
    for exe in (PROGRAM, "karemain_1600.exe", "karemain_1520.exe", "regsvr32.exe", "version_windres.exe",
                "version_stub.exe"):
        if not os.path.isfile(os.path.join(BIN, exe)):
            print("package_checker_test: %s not in %s (cmake --build --preset mingw)" % (exe, BIN), file=sys.stderr)
            return 1
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
