#!/usr/bin/env bash
# The demo: a whole update of カレドナ 1.5.2 to 1.6.0 under Wine, in the project's own Wine prefix
# (build/mingw/wineprefix), from an update package served by nginx on a free loopback port.
#
#   run.sh                      the build's test package, fetched by KarUpdt_pinned.exe
#   run.sh --package DIR [--exe PROGRAM] [--allow-stand-ins]
#                               your own package (DIR holds karedona/ with the 19 files), checked
#                               first, fetched by PROGRAM (default: build/mingw/bin/KarUpdt.exe,
#                               the program built for your host); try a package before publishing.
#                               A PROGRAM built for another package (KARUPDT_PACKAGE) is not run.
#
# The demo workstation's proxy is the local nginx, so the program reaches it whatever update host
# it was built for. On a display, the window opens for you: press アップデート開始 and answer the
# dialogs. Without one, the demo runs on a private Xvfb display and a driver presses the button and
# answers the dialogs; screenshots are saved. Either way a summary follows.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

package=
program=
stand_ins=
own=
while [ $# -gt 0 ]; do
  case "$1" in
    --package) package=$(cd "${2:?--package DIR}" && pwd); own=1; shift 2 ;;
    --exe) program=$(realpath "${2:?--exe PROGRAM}"); shift 2 ;;
    --allow-stand-ins) stand_ins=--allow-stand-ins; shift ;;
    *) echo "usage: run.sh [--package DIR [--exe PROGRAM] [--allow-stand-ins]]" >&2; exit 2 ;;
  esac
done

if [ -n "$own" ] && [ ! -d "$package/karedona" ]; then
  echo "run.sh: $package holds no karedona/ folder: give the package folder, the one that holds karedona/" >&2
  exit 2
fi

bash scripts/setup.sh
. scripts/windows-arch.sh
package=${package:-$root/build/$karupdt_preset/package}
cmake --preset "$karupdt_preset" >/dev/null
# What the demo installation and its driver need; without --package also the test package, which
# the build makes, and KarUpdt_pinned.exe, the program built for it.
targets=(KarUpdt karemain_1520 unlha32 karupdt_demo_driver robot_window_hook)
[ -n "$own" ] || targets+=(KarUpdt_pinned karemain_1600 regsvr32 version_windres)
cmake --build --preset "$karupdt_preset" --target "${targets[@]}"

export WINEPREFIX="$root/build/$karupdt_preset/wineprefix"
. scripts/wine-env.sh
bin="$root/build/$karupdt_preset/bin"
demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/screenshots"
scripts/wine-prefix.sh "$WINEPREFIX"
wineserver -k 2>/dev/null || true   # nothing of an earlier run stays

if [ -n "$own" ]; then
  # A package with a fault is not worth a try: the report says what to mend.
  if ! python3 scripts/check-package.py "$package/karedona" $stand_ins; then
    echo "run.sh: $package/karedona has faults (above); nothing was tried" >&2
    exit 1
  fi
  program=${program:-$bin/KarUpdt.exe}
  [ -f "$program" ] || { echo "run.sh: no program $program" >&2; exit 2; }
  # A program built for another package refuses every file that differs from that one: the try
  # would only show the refusal (and, without a display, wait minutes for the program to end).
  if ! python3 scripts/check-package.py "$package/karedona" --against-exe "$program" >"$demo/pinned.txt" &&
     ! grep -q "carries no pinned package" "$demo/pinned.txt"; then
    cat "$demo/pinned.txt"
    echo "run.sh: $program is built for another package (above); nothing was tried." >&2
    echo "run.sh: build it for this package (docs/vendor-guide.md, section 9), or give --exe a build without KARUPDT_PACKAGE" >&2
    exit 1
  fi
else
  # The package made by the build, which KarUpdt_pinned.exe (the program built for it) carries the
  # size and SHA-256 of: every file fetched is checked against them before it counts.
  program=${program:-$bin/KarUpdt_pinned.exe}
fi
cp -a "$package" "$demo/package"
# The program runs from a folder of its own with UNLHA32.DLL beside it, as on a workstation that has
# the archiver library: the one beside the program when there is one, else this build's.
name=$(basename "$program")
mkdir -p "$demo/program"
cp "$program" "$demo/program/$name"
unlha32=$(find "$(dirname "$program")" -maxdepth 1 -iname unlha32.dll | head -1)
cp "${unlha32:-$bin/UNLHA32.DLL}" "$demo/program/UNLHA32.DLL"
program="$demo/program/$name"
port=$(scripts/nginx-server.sh free-port)
scripts/nginx-server.sh start "$demo/server" "$demo/package" "$port"
trap 'scripts/nginx-server.sh stop "$demo/server"' EXIT

# The demo installation, with the local server as the proxy: the update server's own name is
# not reachable from here, the proxy answers for it.
scripts/demo-installation.sh "$WINEPREFIX" "$bin"
install="$WINEPREFIX/drive_c/TALVERN/KAREDONA"
printf 'PROXYIP=127.0.0.1\r\nPROXYPORT=%s\r\n' "$port" > "$install/DOWNLOAD.INI"
# No ImageKit controls yet: the update installs both.
rm -rf "$WINEPREFIX/drive_c/Program Files (x86)/imagekit"[56] "$WINEPREFIX/drive_c/Program Files/imagekit"[56]
echo "Demo installation: C:\\TALVERN\\KAREDONA\\ (version 1.5.2); package $package on http://127.0.0.1:$port/karedona/"
echo "Program: $program"

set +e
if [ -n "${DISPLAY:-}" ]; then
  echo "Press アップデート開始 in the window."
  scripts/wine-run.sh "$program"
  code=$?
else
  trap 'scripts/nginx-server.sh stop "$demo/server"; kill ${karupdt_xvfb_pid:-0} 2>/dev/null || true' EXIT
  . scripts/xvfb.sh
  # Wine's own processes end before their display does, so that they do not report it gone.
  trap 'scripts/nginx-server.sh stop "$demo/server"; wineserver -k 2>/dev/null || true; kill $karupdt_xvfb_pid 2>/dev/null || true' EXIT
  scripts/wine-run.sh "$bin/karupdt_demo_driver.exe" "$(winepath -w "$demo/screenshots")" "$(winepath -w "$program")"
  code=$?
  for bmp in "$demo"/screenshots/*.bmp; do
    [ -e "$bmp" ] && /usr/bin/convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
  done
fi
set -e

echo
echo "Summary"
echo "  exit code:          $code"
version=$(strings -el "$install/karemain.exe" 2>/dev/null | grep -A1 -x FileVersion | tail -1 || true)
echo "  karemain.exe:       version ${version:-unknown}"
echo "  backup:             $( [ -f "$install/Temp/karemain.old" ] && echo "C:\\TALVERN\\KAREDONA\\Temp\\karemain.old" || echo none)"
if [ -f "$install/Temp/KarUpdt.Log" ]; then
  echo "  update log:         C:\\TALVERN\\KAREDONA\\Temp\\KarUpdt.Log"
  iconv -f CP932 -t UTF-8 "$install/Temp/KarUpdt.Log" | sed 's/\r$//; s/^/                      /'
fi
fetched=$(grep -c '/karedona/' "$demo/server/access.log" || true)
echo "  files fetched:      $fetched"
matched=
if python3 scripts/check-package.py "$demo/package/karedona" --against-exe "$program" >"$demo/pinned.txt"; then
  pinned="the package served is the one $name carries (19 files, size and SHA-256)"
  matched=1
elif grep -q "carries no pinned package" "$demo/pinned.txt"; then
  pinned="none: $name was built without KARUPDT_PACKAGE and accepts whatever the server sends"
else
  pinned="the package served is NOT the one $name carries: see $demo/pinned.txt"
fi
if [ -n "$matched" ] && [ "$code" = 0 ] && [ -f "$install/Temp/KarUpdt.Log" ]; then
  pinned="$pinned; every file fetched matched"
fi
echo "  pinned package:     $pinned"
shots=$(ls "$demo"/screenshots/*.png 2>/dev/null || true)
if [ -n "$shots" ]; then
  echo "  screenshots:"
  echo "$shots" | sed 's/^/                      /'
fi
exit $code
