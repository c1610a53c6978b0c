#!/usr/bin/env bash
# The Windows part of CI, on a Debian 12 machine: install the cross
# compilers and Wine, build the 32- and 64-bit DLLs and test programs,
# check the DLLs' exports, run the tests under Wine, then the end-to-end
# SENDRECV under Wine against vcisim (from the native build in build/).
# Fails on any failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
start=$SECONDS
step() { echo; echo "==== windows: $* ($((SECONDS - start)) s)"; }

step "install"
bash "$here/install.sh"
step "build x86_64 and i686"
bash "$here/build.sh" x86_64 i686
step "exports"
bash "$here/check-exports.sh" x86_64 i686
step "unit tests under Wine"
bash "$here/run-tests.sh" x86_64 i686
step "end-to-end under Wine"
e2e_archs=(x86_64)
source "$here/env.sh"
have_wine32 && e2e_archs+=(i686)
bash "$here/e2e.sh" "${e2e_archs[@]}"
step "done"
