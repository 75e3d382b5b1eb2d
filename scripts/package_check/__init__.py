"""The update package checker behind scripts/check-package.py, one module per concern:

components    the 19 files of a package, the versions the updater expects, the verdict on a file
szdd          SZDD headers and their LZSS data
pe            Windows programs and the FileVersion of their version resource
lha           LHA headers, and lhasa to test and extract an archive
checks        the check of each file of a package folder
pin_table     the sizes and digests of a package, as the C++ table a pinned build links in
against_exe   the table a built KarUpdt.exe carries, compared with a package
http_client   one GET sent the way the updater sends it
live          the published server's files compared with the package
command_line  the arguments, the report and the exit status of check-package.py
"""
