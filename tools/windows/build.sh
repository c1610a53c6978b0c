#!/usr/bin/env bash
# Cross-builds pdu7318.dll, pdutool.exe and the test programs for Windows.
#   tools/windows/build.sh [x86_64] [i686]     (default: both)
# Build folders: build-win64/ and build-win32/ (bin/ holds the DLL and the
# programs); TinyXML and GoogleTest for each target in build-win-deps/.
set -euo pipefail
source "$(dirname "$0")/env.sh"
archs=("$@")
[ ${#archs[@]} -eq 0 ] && archs=(x86_64 i686)
for arch in "${archs[@]}"; do
  dir=$(win_build_dir "$arch")
  deps=$(win_deps_dir "$arch")
  bash "$PDU7318_REPO/tools/windows/deps.sh" "$arch" "$deps"
  echo "== building for $arch-w64-mingw32 in $dir"
  # Warnings are errors only where asked (CI sets PDU7318_WERROR=ON).
  # The preset, with the folders PDU7318_WIN_ROOT may have moved.
  (cd "$PDU7318_REPO" && cmake --preset "mingw-$arch" -B "$dir" -DPDU7318_MINGW_PREFIX="$deps" \
    -DPDU7318_WERROR="${PDU7318_WERROR:-OFF}" >/dev/null)
  cmake --build "$dir" -j"${JOBS:-2}"
done
