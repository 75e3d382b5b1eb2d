#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test:
#   the 32-bit Windows build with its tests under Wine (in build/mingw/wineprefix),
#   then the portable parts built natively with AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh

# The 32-bit program that ships is built on every host; its tests run under Wine where the host
# runs 32-bit code, and otherwise the 64-bit build of the same sources is tested (windows-arch.sh).
. scripts/windows-arch.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw
if [ "$karupdt_preset" != mingw ]; then
  echo "test.sh: this host runs no 32-bit code; the Windows tests run on the 64-bit build ($karupdt_preset)"
  cmake --preset "$karupdt_preset" >/dev/null
  cmake --build --preset "$karupdt_preset"
fi

. scripts/xvfb.sh
. scripts/wine-env.sh
status=0
ctest --preset "$karupdt_preset" --parallel 2 || status=1
WINEPREFIX="$root/build/$karupdt_preset/wineprefix" wineserver -k 2>/dev/null || true

cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native --parallel 2 || status=1

exit $status
