#!/usr/bin/env bash
# Creates (once) the Wine prefix given as $1, with Japanese font replacements so that the
# program's texts show in screenshots. Safe to run again: a finished prefix is left as it is.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$prefix
. "$here/wine-env.sh"
# Wine draws the title bar's buttons with the Marlett font (fonts-wine), which this Wine does not
# find in its data folder: a copy in the prefix's Fonts folder is found.
install_marlett() {
  local fonts="$prefix/drive_c/windows/Fonts"
  if [ -f /usr/share/wine/fonts/marlett.ttf ] && [ -d "$fonts" ] && [ ! -f "$fonts/marlett.ttf" ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
  fi
}
if [ -f "$prefix/.karupdt-ready" ]; then
  install_marlett
  exit 0
fi
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1 || true
wineserver -w
reg=$(mktemp --suffix=.reg)
trap 'rm -f "$reg"' EXIT
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  for face in 'MS UI Gothic' 'MS Gothic' 'ＭＳ ゴシック' 'MS PGothic' 'ＭＳ Ｐゴシック' 'MS Shell Dlg' 'MS Shell Dlg 2'; do
    printf '"%s"="IPAGothic"\r\n' "$face"
  done
  # Wine draws the frames and captions itself, so that they show under Xvfb without a window manager.
  printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n"Decorated"="N"\r\n'
} | { printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE; } > "$reg"
wine regedit /S "$(winepath -w "$reg")" >/dev/null 2>&1
wineserver -w
[ -d "$prefix/drive_c/windows" ] || { echo "wine-prefix.sh: no prefix was created at $prefix" >&2; exit 1; }
install_marlett
touch "$prefix/.karupdt-ready"
echo "Wine prefix ready: $prefix"
