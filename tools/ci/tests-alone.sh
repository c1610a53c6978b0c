#!/usr/bin/env bash
# Every test of every test program run alone, in a process of its own. The
# suite (ctest) runs each program's tests one after the other in one
# process, the library's state returned to that of a fresh process before
# each (engine::ResetModule, called by the test support library); here each
# test also passes without the tests before it. A test that passes only
# after another leans on state the reset should have cleared.
#
#   tools/ci/tests-alone.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${1:-${BUILD_DIR:-build}}
JOBS=${JOBS:-2}
list="$BUILD_DIR/tests-alone.txt"
logs="$BUILD_DIR/tests-alone"
rm -rf "$logs" && mkdir -p "$logs"
: >"$list"
for program in platform log device mdf protocol engine api golden reliability tools packaging; do
  bin="$BUILD_DIR/bin/test_$program"
  if [ ! -x "$bin" ]; then
    echo "tests-alone: $bin missing (build it first)" >&2
    exit 2
  fi
  "$bin" --gtest_list_tests | awk -v bin="$bin" '/^[^ ]/ { suite = $1 } /^  / { print bin " " suite $1 }' >>"$list"
done
start=$SECONDS
run_one() {
  local log="$3/${2//\//_}.log"
  if "$1" --gtest_filter="$2" --gtest_brief=1 >"$log" 2>&1; then rm -f "$log"; else echo "FAILED alone: $2 ($log)"; fi
}
export -f run_one
failed=$(xargs -P "$JOBS" -L 1 bash -c 'run_one "$0" "$1" "'"$logs"'"' <"$list")
echo "tests-alone: $(wc -l <"$list") tests, each in its own process, in $((SECONDS - start)) s"
[ -z "$failed" ] || { echo "$failed"; exit 1; }
