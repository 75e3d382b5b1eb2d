#!/usr/bin/env bash
# Installs everything that building, testing and running KarUpdt needs on Debian 12, as root.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest                       # build, native tests
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix   # the 32-bit Windows cross-compiler
  wine wine64 wine32:i386                                # running the program and its tests
  xvfb xauth x11-apps x11-utils imagemagick              # a display without a screen, screenshots
  fonts-ipafont-gothic locales                           # Japanese glyphs and the ja_JP.UTF-8 locale
  mscompress jlha-utils lhasa python3                    # update packages: SZDD components, LHA archives
  nginx-light curl                                       # the loopback update server and its peer
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs Debian packages)" >&2
  exit 1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  needs_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${needs_update:-}" ]; then
  echo "setup.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Wine takes its ANSI code page from the locale: ja_JP.UTF-8 gives 932, as on the target systems.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
