# Sourced by the scripts that run programs under Wine: the project's Wine settings.
# WINEPREFIX must be set by the caller (a prefix inside the build tree, never the user's own).
export LC_ALL=ja_JP.UTF-8          # Wine's ANSI code page becomes 932, as on the target systems
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=${WINEARCH:-win64}
# No Mono or Gecko installer prompts while a prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine's WinHTTP reports a host's http_proxy variable as the machine's default proxy (Windows has
# no such thing): the program under Wine takes its proxy from the prefix's settings alone, as the
# tests set them, whatever proxy the host's shell names.
unset http_proxy HTTP_PROXY https_proxy HTTPS_PROXY no_proxy NO_PROXY
# A host that runs no 32-bit code cannot start Wine's 32-bit loader (see windows-arch.sh): Wine's
# commands then use its 64-bit loader, for the 64-bit test build.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1 && [ -x /usr/lib/wine/wine64 ]; then
  case ":$PATH:" in
    *":$(dirname "${BASH_SOURCE[0]}")/wine64-shim:"*) ;;
    *) export PATH="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/wine64-shim:$PATH" ;;
  esac
fi
