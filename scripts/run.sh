#!/usr/bin/env bash
# The demo: builds KarUpdt.exe, lays out a demo installation of カレドナ 1.5.2 in the project's own
# Wine prefix (build/mingw/wineprefix) and starts the updater there.
# On a display, the window opens for you. Without one, it runs on a private Xvfb display, a
# screenshot of the window is saved, and the program is closed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target KarUpdt karemain_1520

export WINEPREFIX="$root/build/mingw/wineprefix"
bin="$root/build/mingw/bin"
out="$root/build/demo"
mkdir -p "$out"
scripts/wine-prefix.sh "$WINEPREFIX"
wineserver -k 2>/dev/null || true   # nothing of an earlier run stays
scripts/demo-installation.sh "$WINEPREFIX" "$bin"
echo "Demo installation: C:\\TALVERN\\KAREDONA\\ (version 1.5.2) in $WINEPREFIX"

if [ -n "${DISPLAY:-}" ]; then
  set +e
  scripts/wine-run.sh "$bin/KarUpdt.exe"
  code=$?
  set -e
  echo "KarUpdt.exe ended with exit code $code"
  exit $code
fi

. scripts/xvfb.sh
scripts/wine-run.sh "$bin/KarUpdt.exe" &
program=$!
shown=
for _ in $(seq 100); do
  if xwininfo -root -tree 2>/dev/null | grep -q '自動アップデートプログラム'; then shown=1; break; fi
  sleep 0.2
done
sleep 1   # let the window finish painting
shot="$out/window.png"
xwd -root -silent | /usr/bin/convert xwd:- "$shot"
wineserver -k 2>/dev/null || true
wait $program 2>/dev/null || true
if [ -z "$shown" ]; then
  echo "The updater's window did not appear; see $shot" >&2
  exit 1
fi
echo "No display: the updater ran on a private Xvfb display."
echo "Screenshot of its window: $shot"
