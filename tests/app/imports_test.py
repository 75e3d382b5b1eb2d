#!/usr/bin/env python3
"""Reads the import table of each executable named on the command line (a 32-bit PE file) and
fails when it imports a DLL directly that is not one of the system's KnownDLLs.

Windows resolves a program's direct imports before the program's first line runs. A KnownDLL is
always taken from the System folder; any other DLL is looked for in the program's own folder
first, so that a DLL of that name saved beside KarUpdt.exe would run with administrator rights.
Those the program needs are delay-loaded instead (cmake/KarUpdtDelayLoad.cmake), after wWinMain
has restricted the search to the System folder.

KNOWN_DLLS: the names listed under HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\KnownDLLs
on every Windows the program supports, from Windows 7 to Windows 11 (the entries the two ends have
in common), and ntdll.dll, which is in every process before the program's imports are resolved.
A DLL that only some of those versions list (comctl32 is on none of them; bcrypt, version and
lz32 neither) counts as not known.
"""
import struct
import sys

KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll",
    "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ntdll.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll",
    "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}


def direct_imports(path):
    """The DLL names in the import directory of the PE file at `path`."""
    data = open(path, "rb").read()
    if data[:2] != b"MZ":
        raise ValueError("not an executable (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
    import_rva, import_size = struct.unpack_from("<II", data, directories + 8)
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            _, virtual_size, address, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            if address <= rva < address + max(virtual_size, raw_size):
                return raw + rva - address
        raise ValueError("address 0x%x lies in no section" % rva)

    names = []
    if import_rva == 0:
        return names
    descriptor = offset(import_rva)
    while True:
        lookup, _, _, name_rva, thunks = struct.unpack_from("<IIIII", data, descriptor)
        if lookup == 0 and name_rva == 0 and thunks == 0:
            return names
        start = offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii"))
        descriptor += 20


def main(paths):
    failed = False
    for path in paths:
        names = direct_imports(path)
        # A table that reads as empty or without kernel32 was not read right: no pass on that.
        if not any(n.lower() == "kernel32.dll" for n in names):
            print("%s: import table not read (found %s)" % (path, names))
            failed = True
            continue
        unknown = sorted(n for n in names if n.lower() not in KNOWN_DLLS)
        print("%s imports %s" % (path, ", ".join(sorted(names, key=str.lower))))
        if unknown:
            print("%s: imported directly, not KnownDLLs: %s" % (path, ", ".join(unknown)))
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print("usage: imports_test.py EXECUTABLE...")
        sys.exit(2)
    sys.exit(main(sys.argv[1:]))
