"""The command line of check-package.py: its arguments, the report of a folder check, exit status."""
import argparse
import os
import sys

from .against_exe import check_against_exe
from .checks import check_folder
from .components import COMPONENTS, FAULT, OK, WARNING
from .http_client import LiveError, parse_host_port, parse_http_url
from .live import check_live
from .pin_table import ExpansionError, expanded_digests, package_digests, pin_source, write_if_changed


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
