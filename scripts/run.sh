#!/usr/bin/env bash
# Builds KarUpdt.exe and starts it under Wine, in the project's own Wine prefix
# (build/mingw/wineprefix), on a private Xvfb display when no display is set.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target KarUpdt

export WINEPREFIX="$root/build/mingw/wineprefix"
scripts/wine-prefix.sh "$WINEPREFIX"
. scripts/xvfb.sh
set +e
scripts/wine-run.sh "$root/build/mingw/bin/KarUpdt.exe"
code=$?
set -e
echo "KarUpdt.exe ended with exit code $code"
exit $code
