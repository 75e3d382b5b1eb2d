#!/usr/bin/env bash
# Lays out the demo installation of カレドナ 1.5.2 in a Wine prefix, replacing an earlier one:
#   C:\TALVERN\KAREDONA\SpKaredona.ini   Path=C:\TALVERN\KAREDONA\ (Shift-JIS, CR LF)
#   C:\TALVERN\KAREDONA\karemain.exe     the stand-in product executable, version 1.5.2.0
# usage: demo-installation.sh PREFIX BIN_FOLDER
set -euo pipefail
prefix=${1:?usage: demo-installation.sh PREFIX BIN_FOLDER}
bin=${2:?usage: demo-installation.sh PREFIX BIN_FOLDER}
install="$prefix/drive_c/TALVERN/KAREDONA"
rm -rf "$prefix/drive_c/TALVERN"
mkdir -p "$install"
printf '[Karedona]\r\nPath=C:\\TALVERN\\KAREDONA\\\r\n' | iconv -f UTF-8 -t CP932 > "$install/SpKaredona.ini"
cp "$bin/karemain_1520.exe" "$install/karemain.exe"
