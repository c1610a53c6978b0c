#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, or
# only those named (tools/install-deps.sh PACKAGE...). Does nothing when
# they are all present already.
set -euo pipefail
pkgs=("$@")
[ $# -gt 0 ] || pkgs=(build-essential cmake ninja-build pkg-config libtinyxml-dev libinih-dev
      libgtest-dev libgmock-dev nlohmann-json3-dev libbenchmark-dev python3
      clang libclang-rt-14-dev python3-can python3-pytest libedit-dev tmux)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
