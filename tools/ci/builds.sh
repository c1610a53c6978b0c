#!/usr/bin/env bash
# The extra builds of CI, each from scratch in its own folder:
#   1. Clang with -Wthread-safety -Werror=thread-safety: the library and its
#      tests (every lock the library and the tests take is checked);
#   2. Release with the project's default options, with GCC and with Clang:
#      what a user gets from `cmake -DCMAKE_BUILD_TYPE=Release`.
set -euo pipefail
cd "$(dirname "$0")/../.."
JOBS=${JOBS:-2}
start=$SECONDS
step() { echo "==== builds: $* ($((SECONDS - start)) s)"; }

step "thread-safety analysis (clang++ -Wthread-safety -Werror=thread-safety)"
rm -rf build-tsa
CC=clang CXX=clang++ cmake -S . -B build-tsa -G Ninja -DPDU7318_TOOLS=OFF \
  -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror=thread-safety" >/dev/null
cmake --build build-tsa -j"$JOBS"

step "Release, default options, GCC"
rm -rf build-release-gcc
cmake -S . -B build-release-gcc -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release-gcc -j"$JOBS"

step "Release, default options, Clang"
rm -rf build-release-clang
CC=clang CXX=clang++ cmake -S . -B build-release-clang -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release-clang -j"$JOBS"
step "done"
