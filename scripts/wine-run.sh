#!/usr/bin/env bash
# Runs a Windows program under Wine with the project's settings, in $WINEPREFIX (default: the
# prefix of build/mingw). Without a display it starts a private Xvfb for the program.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=${WINEPREFIX:-$(cd "$here/.." && pwd)/build/mingw/wineprefix}
. "$here/wine-env.sh"
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s '-screen 0 1024x768x24' wine "$@"
fi
exec wine "$@"
