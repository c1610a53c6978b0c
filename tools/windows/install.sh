#!/usr/bin/env bash
# Installs what the Windows build and its Wine tests need on Debian 12:
# the mingw-w64 cross compilers (posix thread model), GoogleTest's sources,
# nlohmann-json's headers, dpkg-dev (for apt-get source) and Wine.
#
# wine32 (the 32-bit loader) needs the i386 architecture. When it cannot be
# installed (for example an i386 index of the mirror cannot be fetched) the
# script says so and removes the architecture again, so that the machine's
# apt stays as it was; the 32-bit tests are then skipped, the 32-bit DLL is
# still built and checked.
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

pkgs=(cmake ninja-build pkg-config dpkg-dev python3 g++-mingw-w64-i686-posix
      g++-mingw-w64-x86-64-posix googletest nlohmann-json3-dev wine wine64)
missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== apt-get install ${missing[*]}"
  # An index that fails to download is reported by apt-get update; the
  # install below is what must succeed.
  $SUDO apt-get update -qq || echo "apt-get update reported errors (see above); going on"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! installed wine32:i386; then
  added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added=1
  fi
  $SUDO apt-get update -qq || echo "apt-get update reported errors (see above); going on"
  if $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; then
    echo "== wine32 installed"
  else
    echo "WARNING: wine32 cannot be installed now; the 32-bit tests will be skipped"
    if [ "$added" = 1 ] && ! dpkg --get-selections | grep -q ':i386'; then
      $SUDO dpkg --remove-architecture i386
      $SUDO apt-get update -qq || true
    fi
  fi
fi
