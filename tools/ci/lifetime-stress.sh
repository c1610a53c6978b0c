#!/usr/bin/env bash
# The lifetime stress stage of CI: random schedules of the module's
# lifetime table (tests/lifetime/stress.py) against vcisim on a busy bus,
# time-boxed, on the sanitizer builds:
#   1. ASan+UBSan (build-sanitize), LIFETIME_ASAN_SECONDS (default 120);
#   2. ThreadSanitizer (build-tsan), LIFETIME_TSAN_SECONDS (default 80);
#   3. the Windows entries (exit, FreeLibrary, destruct from a callback)
#      under Wine, tools/windows/stress_wine.py, LIFETIME_WINE_SECONDS per
#      bitness (default 60), with the DLLs the Windows stage built and
#      vcisim from build/; a bitness Wine cannot run here is skipped.
# Builds the library, the clients and vcisim of each when missing. A stage
# the machine cannot run (no compiler runtime for the sanitizer, no
# pseudo-terminals) is skipped with the reason, never passed silently.
#   LIFETIME_SEED   replay a run (the seed is printed at its start)
#   JOBS            schedules side by side, each with its own vcisim (2)
set -euo pipefail
cd "$(dirname "$0")/../.."

JOBS=${JOBS:-2}
ASAN_SECONDS=${LIFETIME_ASAN_SECONDS:-120}
TSAN_SECONDS=${LIFETIME_TSAN_SECONDS:-80}
PYTHON=${PYTHON:-python3}
seed_args=()
[ -n "${LIFETIME_SEED:-}" ] && seed_args=(--seed "$LIFETIME_SEED")
targets=(pdu7318 vcisim stress_client lifetime_client_linked lifetime_global lifetime_global_linked)
failed=()
skipped=()

stage_start=$(date +%s)
stage() { echo "== $* ($(( $(date +%s) - stage_start )) s into the lifetime stress stage)"; }

# Whether the compiler can link a program with this sanitizer.
can_link() {
  local dir
  dir=$(mktemp -d)
  echo 'int main(void) { return 0; }' >"$dir/t.c"
  if cc -fsanitize="$1" "$dir/t.c" -o "$dir/t" 2>/dev/null && "$dir/t"; then rm -rf "$dir"; return 0; fi
  rm -rf "$dir"
  return 1
}

if [ ! -c /dev/ptmx ]; then
  echo "SKIPPED: the lifetime stress run needs pseudo-terminals (/dev/ptmx) for vcisim"
  exit 0
fi

# run NAME BUILD_DIR SECONDS [STRESS OPTIONS]: the stress run against one build.
run() {
  local name=$1 dir=$2 seconds=$3 log rc=0
  shift 3
  log="$dir/lifetime-stress.log"
  stage "$name: stress run, ${seconds} s, -j $JOBS $*"
  "$PYTHON" tests/lifetime/stress.py --bin "$dir/bin" --lib "$dir/lib/libpdu7318.so" --data "$dir/data" \
    --seconds "$seconds" -j "$JOBS" "${seed_args[@]}" "$@" 2>&1 | tee "$log" || rc=$?
  [ "$rc" -eq 0 ] || failed+=("$name")
}

# ---- 1. ASan + UBSan ------------------------------------------------------------
if can_link address,undefined; then
  stage "ASan+UBSan build"
  cmake --preset sanitize >/dev/null
  cmake --build build-sanitize -j"$JOBS" --target "${targets[@]}"
  # Any report (a leak included: what the module keeps for the process's
  # end stays reachable) fails the schedule.
  run "ASan+UBSan" build-sanitize "$ASAN_SECONDS"
else
  skipped+=("ASan+UBSan: the compiler cannot link -fsanitize=address,undefined")
fi

# ---- 2. ThreadSanitizer ---------------------------------------------------------
if can_link thread; then
  stage "ThreadSanitizer build"
  cmake --preset thread >/dev/null  # build-tsan, with vcisim and the clients
  cmake --build build-tsan -j"$JOBS" --target "${targets[@]}"
  # stress.py adds die_after_fork=0 (the fork schedules fork a process
  # with threads) and atexit_sleep_ms=0. Any report fails the schedule.
  # The library runs 5 to 15 times slower here: the bus's frames come 5
  # times less often, so that it meets the stream as a normal build does
  # (see busy_bus in stress.py).
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    run "ThreadSanitizer" build-tsan "$TSAN_SECONDS" --bus-slower 5
else
  skipped+=("ThreadSanitizer: the compiler cannot link -fsanitize=thread")
fi

# ---- 3. Windows under Wine ------------------------------------------------------
WINE_SECONDS=${LIFETIME_WINE_SECONDS:-60}
if [ ! -x build/bin/vcisim ] || ! command -v wine >/dev/null; then
  skipped+=("Windows under Wine: needs build/bin/vcisim and Wine (the build and Windows stages make them)")
else
  source tools/windows/env.sh
  wine_choose
  wine_up
  for arch in x86_64 i686; do
    bin=$(win_build_dir "$arch")/bin
    if [ ! -f "$bin/exit_client.exe" ]; then
      skipped+=("Windows $arch under Wine: no $bin/exit_client.exe (tools/windows/build.sh $arch)")
    elif [ "$arch" = i686 ] && ! have_wine32; then
      skipped+=("Windows $arch under Wine: Wine cannot run 32-bit programs on this machine")
    else
      stage "Windows $arch under Wine: stress run, ${WINE_SECONDS} s"
      rc=0
      "$PYTHON" tools/windows/stress_wine.py --vcisim build/bin/vcisim --win-bin "$bin" --data build/data \
        --prefix "$WINEPREFIX" --seconds "$WINE_SECONDS" "${seed_args[@]}" 2>&1 |
        tee "$(dirname "$bin")/lifetime-stress.log" || rc=$?
      [ "$rc" -eq 0 ] || failed+=("Windows $arch")
    fi
  done
  wine_down
fi

for s in "${skipped[@]}"; do echo "######## SKIPPED: $s ########"; done
if [ ${#failed[@]} -gt 0 ]; then
  echo "lifetime stress failed on: ${failed[*]}"
  exit 1
fi
stage "lifetime stress stage done"
