#!/usr/bin/env bash
# The extra builds of CI, each freshly configured in its own folder, through the
# presets of CMakePresets.json:
#   1. clang-thread-safety: Clang with -Wthread-safety
#      -Werror=thread-safety, the library and its tests (every lock the
#      library and the tests take is checked);
#   2. release-gcc, release-clang: Release with the project's default
#      options: what a user gets from `cmake -DCMAKE_BUILD_TYPE=Release`.
set -euo pipefail
cd "$(dirname "$0")/../.."
JOBS=${JOBS:-2}
start=$SECONDS
step() { echo "==== builds: $* ($((SECONDS - start)) s)"; }

for preset in clang-thread-safety release-gcc release-clang; do
  step "preset $preset"
  cmake --preset "$preset" --fresh >/dev/null
  cmake --build --preset "$preset" -j"$JOBS"
done
step "done"
