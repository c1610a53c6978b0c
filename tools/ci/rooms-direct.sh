#!/usr/bin/env bash
# Every room's test binary run directly, all its tests in one process (ctest
# runs each test in its own process). The library's state is returned to
# that of a fresh process before every test (engine::ResetModule, called
# by the test support library), so a test that passes alone must pass here
# too; a failure means state leaks between constructions.
#
#   tools/ci/rooms-direct.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${1:-${BUILD_DIR:-build}}
failed=()
for room in platform log device mdf protocol engine api; do
  bin="$BUILD_DIR/bin/test_$room"
  if [ ! -x "$bin" ]; then
    echo "rooms-direct: $bin missing (build it first)" >&2
    exit 2
  fi
  start=$SECONDS
  if "$bin" --gtest_brief=1 >"$BUILD_DIR/test_$room.direct.log" 2>&1; then
    echo "test_$room: passed in one process ($((SECONDS - start)) s)"
  else
    echo "test_$room: FAILED in one process; see $BUILD_DIR/test_$room.direct.log"
    failed+=("test_$room")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "rooms-direct: failed: ${failed[*]}"; exit 1; }
