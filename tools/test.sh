#!/usr/bin/env bash
# Configures through a preset of CMakePresets.json, builds and runs every
# test with ctest.
#   PRESET             configure preset (default: "default"; "sanitize" when
#                      PDU7318_SANITIZE=sanitize, "thread" when =thread)
#   BUILD_DIR          build folder (default: the preset's)
#   PDU7318_SANITIZE   "", "sanitize" (ASan+UBSan) or "thread" (TSan): picks
#                      the preset when PRESET is not given
#   PDU7318_WERROR     ON: warnings are errors (CI); default OFF
#   CTEST_JOBS         tests run at once (default: 3 per CPU; most of them
#                      wait on a VCI's timeouts, not on the CPU)
set -euo pipefail
cd "$(dirname "$0")/.."
PRESET=${PRESET:-${PDU7318_SANITIZE:-default}}
jobs=-j"${CTEST_JOBS:-$(( $(nproc) * 3 ))}"
if [ -n "${BUILD_DIR:-}" ]; then
  cmake --preset "$PRESET" -B "$BUILD_DIR" >/dev/null
  cmake --build "$BUILD_DIR"
  tests=(ctest --test-dir "$BUILD_DIR" --output-on-failure "$jobs" --timeout 300)
else
  cmake --preset "$PRESET" >/dev/null
  cmake --build --preset "$PRESET"
  tests=(ctest --preset "$PRESET" "$jobs")
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$(date +%s%N)
rc=0
"${tests[@]}" | tee "$out" || rc=$?
ms=$(( ($(date +%s%N) - start) / 1000000 ))
printf 'ctest wall time: %d.%01d s (%s)\n' $((ms / 1000)) $((ms % 1000 / 100)) "$jobs"
# The sum of the tests' own times and the longest: what no schedule can beat.
awk '/Test +#[0-9]+:/ { for (i = 1; i < NF; i++) if ($(i + 1) == "sec") { t = $i + 0; s += t; if (t > m) { m = t; n = $4 } } }
     END { if (s) printf "ctest sum of test times: %.1f s; longest: %s %.2f s\n", s, n, m }' "$out"
exit $rc
