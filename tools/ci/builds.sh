#!/usr/bin/env bash
# The extra builds of CI, each freshly configured in its own folder, through the
# presets of CMakePresets.json:
#   1. release-gcc: Release with the project's default options, what a
#      user gets from `cmake -DCMAKE_BUILD_TYPE=Release` (a unity build, as
#      every preset but the next);
#   2. release-clang with -Wthread-safety -Werror=thread-safety: the same
#      with Clang, file by file (every source compiles with only its own
#      includes, as in a build without presets), and every lock the library
#      and the tests take checked by the analysis (warning flags only: the
#      code is what a user builds). One build instead of two; the
#      clang-thread-safety preset does the analysis alone for a developer.
set -euo pipefail
cd "$(dirname "$0")/../.."
JOBS=${JOBS:-2}
start=$SECONDS
step() { echo "==== builds: $* ($((SECONDS - start)) s)"; }

step "preset release-gcc"
cmake --preset release-gcc --fresh >/dev/null
cmake --build --preset release-gcc -j"$JOBS"
step "preset release-clang, with the thread-safety analysis"
cmake --preset release-clang --fresh -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" >/dev/null
cmake --build --preset release-clang -j"$JOBS"
step "done"
