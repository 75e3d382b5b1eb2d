#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test:
#   the 32-bit Windows build with its tests under Wine (in build/mingw/wineprefix),
#   then the portable parts built natively with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

cmake --preset mingw >/dev/null
cmake --build --preset mingw

. scripts/xvfb.sh
status=0
ctest --preset mingw --parallel 2 || status=1
WINEPREFIX="$root/build/mingw/wineprefix" wineserver -k 2>/dev/null || true

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native --parallel 2 || status=1

exit $status
