# Sourced: which Windows build this host can run under Wine, as the CMake preset to use
# ($karupdt_preset), with Wine set up for it.
#
# KarUpdt.exe is a 32-bit program, and Wine runs 32-bit programs with its 32-bit loader, a 32-bit
# Linux program. Some virtual machines run no 32-bit code at all (execve of an i386 program fails
# with "Exec format error"; the kernel log says "IA-32 emulation off"). There the same sources are
# built as 64-bit Windows programs and tested under Wine's 64-bit loader (preset mingw64), and the
# 32-bit build is still made, so that the program that ships is compiled on every host.
if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  karupdt_preset=mingw
else
  karupdt_preset=mingw64
fi
