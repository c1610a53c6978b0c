#!/usr/bin/env bash
# The Windows part of CI, on a Debian 12 machine: install the cross
# compilers, NSIS and Wine (with wine32 where the mirror allows), build the
# 32- and 64-bit DLLs, tools and test programs, check the DLLs' exports and
# every file's version resource, run the unit tests under Wine, the
# end-to-end SENDRECV under Wine against vcisim (from the native build in
# build/), build the setup program and the release archive, and run the
# setup program's acceptance test in a fresh prefix. Fails on any failure.
# Without a wine32 that runs here the 32-bit tests and the setup program's test (the setup
# program is a 32-bit program) are skipped with a loud note.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
start=$SECONDS
last=$SECONDS
lastname=""
step() {
  [ -n "$lastname" ] && echo "==== windows: $lastname took $((SECONDS - last)) s"
  last=$SECONDS
  lastname=$*
  echo
  echo "==== windows: $* (at $((SECONDS - start)) s)"
}

source "$here/env.sh"
# The Wine tests need the Linux simulator: say so now, not after the build.
need_vcisim
step "install"
bash "$here/install.sh"
# Decided once here (a tiny 32-bit program run by the 32-bit loader) and
# inherited by every script and CMake run below.
wine_choose
archs=(x86_64)
have_wine32 && archs+=(i686)
echo "==== windows: Wine loader $PDU7318_WINE; 32-bit tests: $PDU7318_HAVE_WINE32"
step "build x86_64 and i686"
bash "$here/build.sh" x86_64 i686
step "exports"
bash "$here/check-exports.sh" x86_64 i686
step "version resources"
bash "$here/check-version.sh" x86_64 i686
step "unit tests under Wine (${archs[*]})"
bash "$here/run-tests.sh" "${archs[@]}"
step "end-to-end under Wine (${archs[*]})"
bash "$here/e2e.sh" "${archs[@]}"
step "setup program and release archive"
bash "$here/installer.sh"
step "setup program under Wine: install, use, reinstall, uninstall"
bash "$here/install-test.sh"
step "done"
echo "==== windows: total $((SECONDS - start)) s"
