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
import os
import sys

# The checker's modules are in package_check/ beside this script; the folder is put on the path
# here too, so that the script runs the same wherever it is started from and however Python is
# told to set its path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from package_check.command_line import main  # noqa: E402 (needs the path above)


if __name__ == "__main__":
    sys.exit(main())
