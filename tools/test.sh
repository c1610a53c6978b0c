#!/usr/bin/env bash
# Configures, builds and runs every test with ctest.
#   BUILD_DIR          build folder (default: build)
#   PDU7318_SANITIZE   "", "sanitize" (ASan+UBSan) or "thread" (TSan)
#   PDU7318_WERROR     ON: warnings are errors (CI); default OFF
#   CTEST_JOBS         tests run at once (default: 3 per CPU; most of them
#                      wait on a VCI's timeouts, not on the CPU)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPDU7318_SANITIZE="${PDU7318_SANITIZE:-}" -DPDU7318_WERROR="${PDU7318_WERROR:-OFF}" >/dev/null
cmake --build "$BUILD_DIR"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j"${CTEST_JOBS:-$(( $(nproc) * 3 ))}" --timeout 300
