#!/usr/bin/env bash
# The reliability stage of CI, run after the normal and the ASan+UBSan
# builds (.ci/run):
#   1. ThreadSanitizer build of the engine, link (api), device and
#      reliability tests, each test in its own process, the stress test for
#      30 s;
#   2. the libFuzzer targets (clang, ASan+UBSan), FUZZ_SECONDS each (default
#      45), two at a time, the last one beside the soak;
#   3. the soak: SOAK_COUNT ComPrimitives (default 10000; 20000 by hand
#      before a release, see RELIABILITY.md) against vcisim,
#      about 1 % of them meeting a fault (soak's default), from the normal
#      build in $BUILD_DIR (default build; built here when missing).
# Installs clang and its runtimes (libFuzzer) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/../.."

FUZZ_SECONDS=${FUZZ_SECONDS:-45}
SOAK_COUNT=${SOAK_COUNT:-10000}
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}

bash tools/install-deps.sh clang libclang-rt-14-dev

stage_start=$(date +%s)
stage() { echo "== $* ($(( $(date +%s) - stage_start )) s into the reliability stage)"; }

# ---- 1. ThreadSanitizer -------------------------------------------------------
stage "ThreadSanitizer build"
cmake --preset thread >/dev/null  # build-tsan
tsan_tests=(test_engine test_api test_device test_reliability)
cmake --build build-tsan -j"$JOBS" --target "${tsan_tests[@]}"

stage "ThreadSanitizer tests"
# Each test in its own process, as ctest runs them (the library keeps
# process-wide state); any report fails the test.
export TSAN_OPTIONS="halt_on_error=1 abort_on_error=1 second_deadlock_stack=1"
export PDU7318_STRESS_SECONDS=30
list=build-tsan/tsan-tests.txt
: >"$list"
for t in "${tsan_tests[@]}"; do
  build-tsan/bin/$t --gtest_list_tests | awk -v bin="$t" '
    /^[^ ]/ { suite = $1 } /^  / { print bin " " suite $1 }' >>"$list"
done
echo "$(wc -l <"$list") tests"
failed=build-tsan/tsan-failed.txt
: >"$failed"
run_tsan_test() {
  local bin=$1 name=$2 log
  log="build-tsan/tsan-logs/${name//\//_}.log"
  if ! timeout 300 "build-tsan/bin/$bin" --gtest_filter="$name" >"$log" 2>&1; then
    echo "$bin $name" >>build-tsan/tsan-failed.txt
    echo "FAILED: $name"; tail -40 "$log"
  fi
}
export -f run_tsan_test
mkdir -p build-tsan/tsan-logs
xargs -P "$JOBS" -L 1 bash -c 'run_tsan_test "$@"' _ <"$list"
grep -h '^stress:' build-tsan/tsan-logs/*.log || true
if [ -s "$failed" ]; then
  echo "ThreadSanitizer: $(wc -l <"$failed") failed"
  exit 1
fi

# ---- 2. fuzzing -------------------------------------------------------------------
# Four targets two at a time; the fifth runs beside the soak, which waits on
# the simulated VCI far more than it computes, so no core idles for a round.
stage "fuzz targets, ${FUZZ_SECONDS} s each"
BUILD_DIR=build-fuzz tools/fuzz -t "$FUZZ_SECONDS" -j "$JOBS" fuzz_frame_codec fuzz_receive_path fuzz_mdf_loader \
  fuzz_comparam_default
fuzz_log=build-fuzz/fuzz-beside-soak.log
BUILD_DIR=build-fuzz tools/fuzz -t "$FUZZ_SECONDS" -j 1 fuzz_parse_response >"$fuzz_log" 2>&1 &
fuzz_pid=$!

# ---- 3. soak ------------------------------------------------------------------------
stage "soak, ${SOAK_COUNT} ComPrimitives (fuzz_parse_response beside it)"
if [ ! -x "$BUILD_DIR/bin/soak" ] || [ ! -x "$BUILD_DIR/bin/vcisim" ]; then
  cmake --preset default -B "$BUILD_DIR" >/dev/null
  cmake --build "$BUILD_DIR" -j"$JOBS" --target soak vcisim
fi
soak_rc=0
"$BUILD_DIR/bin/soak" --count "$SOAK_COUNT" || soak_rc=$?
fuzz_rc=0
wait "$fuzz_pid" || fuzz_rc=$?
echo "-- fuzz_parse_response (beside the soak):"
cat "$fuzz_log"
[ "$soak_rc" -eq 0 ] || { echo "soak failed ($soak_rc)"; exit 1; }
[ "$fuzz_rc" -eq 0 ] || { echo "fuzz_parse_response failed ($fuzz_rc)"; exit 1; }
stage "reliability stage done"
