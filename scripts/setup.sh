#!/usr/bin/env bash
# Installs everything that building, testing and running KarUpdt needs on Debian 12, as root.
# Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest                       # build, native tests
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix   # the 32-bit Windows cross-compiler
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix   # the 64-bit test build (windows-arch.sh)
  wine wine64 wine32:i386                                # running the program and its tests
  xvfb xauth x11-apps x11-utils imagemagick              # a display without a screen, screenshots
  fonts-ipafont-gothic locales fonts-wine                # Japanese glyphs, the ja_JP.UTF-8 locale, Marlett for title-bar buttons
  mscompress jlha-utils lhasa python3                    # update packages: SZDD components, LHA archives
  nginx-light curl                                       # the loopback update server and its peer
  squid apache2-utils                                    # a proxy that asks for a name and password (Basic)
  winbind                                                # ntlm_auth, which Wine's NTLM and Negotiate run
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
  # A mirror in the middle of a sync makes 'apt-get update' fail on one index ("File has unexpected
  # size"); try again a few times, then go on with the lists it has: the install says if any are missing.
  for attempt in 1 2 3; do
    apt-get update -qq && break
    [ "$attempt" -lt 3 ] || break
    echo "setup.sh: apt-get update failed (attempt $attempt); trying again" >&2
    sleep $((attempt * 10))
  done
  install=(apt-get install -y -qq --no-install-recommends)
  if ! DEBIAN_FRONTEND=noninteractive "${install[@]}" "${missing[@]}" >/dev/null; then
    # Wine's 32-bit libraries must have the very versions of their 64-bit twins. When one
    # architecture's list of security updates could not be fetched, the newest 64-bit versions
    # have no 32-bit twin; taking both from the release itself gives a set that fits.
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    echo "setup.sh: installing from the $release release's own lists" >&2
    DEBIAN_FRONTEND=noninteractive "${install[@]}" -t "$release" "${missing[@]}" >/dev/null
  fi
fi

# Wine takes its ANSI code page from the locale: ja_JP.UTF-8 gives 932, as on the target systems.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'; then
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
