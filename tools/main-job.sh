#!/usr/bin/env bash
# The main job: the module at work on a simulated car.
#
# Builds what is missing, starts the VCI simulator with the demo car
# (data/scenarios/demo.json), points the library at it and runs pdutool
# through a diagnostic session:
#   1. UDS on CAN with the engine ECU: session, VIN, serial number, DTCs,
#      seed/key, a routine that answers "response pending" three times,
#      a request the ECU answers "busy, repeat" first, an unknown service;
#   2. one functional request on CAN that three ECUs answer;
#   3. KWP2000 on K-line: identification (VIN), a local identifier, DTCs;
#   4. battery voltage and ignition state from the VCI.
# Logging is on; the job ends by naming the three log files written.
#
#   BUILD_DIR   build folder (default: build)
#   CLEAN=1     remove the run's folder (logs, simulator trace) at the end
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}

bash tools/install-deps.sh
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
  cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD_DIR" --target pdu7318 vcisim pdutool >/dev/null
BIN=$(cd "$BUILD_DIR/bin" && pwd)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/pdu7318-demo.XXXXXX")
SIM_PID=
cleanup() {
  if [ -n "$SIM_PID" ]; then kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; fi
  if [ "${CLEAN:-0}" = 1 ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

# The application folder: a copy of data/ with logging switched on.
mkdir -p "$WORK/home" "$WORK/logs"
cp data/MDF.xml data/PDUAPI_7318.ini "$WORK/home/"
sed 's/^open=.*/open=1/' data/config.ini > "$WORK/home/config.ini"
export PDU7318_HOME="$WORK/home"
export PDU7318_LOG_PATH="$WORK/logs/"

"$BIN/vcisim" --scenario data/scenarios/demo.json --link "$WORK/vci" --trace > "$WORK/vcisim-trace.txt" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 500); do [ -L "$WORK/vci" ] && break; sleep 0.01; done
[ -L "$WORK/vci" ] || { echo "vcisim did not start:"; cat "$WORK/vcisim-trace.txt"; exit 1; }
export PDU7318_PORTS="$WORK/vci"

failed=0
step() {
  echo
  echo "=== $1"
  shift
  echo "\$ pdutool $*"
  "$BIN/pdutool" "$@" || failed=1
}

CAN=RSC_ISO_15765_3_on_ISO_15765_2_6_14
KLINE=RSC_ISO_14230_3_on_ISO_14230_2_7
echo "VCI simulator on $(readlink "$WORK/vci"), car: data/scenarios/demo.json"

# The key for seed 11 22 33 44 is D3 B4 59 1C (docs/vcisim.md: the fixed
# seed/key algorithm of the simulated ECUs).
step "1. UDS on CAN: the engine ECU (0x7E0 -> 0x7E8)" \
  session --resource "$CAN" --resp-id 0x7E8 \
  "10 03" "22 F1 90" "22 F1 8C" "19 02 FF" "27 01" "27 02 D3 B4 59 1C" "31 01 02 03" "22 F1 99" "AA 01"

step "2. One functional request (0x7DF), three ECUs answer" \
  session --resource "$CAN" --functional --resp-id 0x7E8 --resp-id 0x7E9 --resp-id 0x7EA "22 F1 8C"

step "3. KWP2000 on K-line: the ECU at address 0x10" \
  session --resource "$KLINE" "1A 90" "21 01" "18 02 FF 00"

step "4. Battery voltage and ignition" ioctl vbatt
"$BIN/pdutool" ioctl ignition || failed=1

kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=

echo
echo "=== Log files written by the library"
LOGDIR="$WORK/logs/J2534/7318"
count=0
for f in "$LOGDIR"/*.txt; do
  [ -f "$f" ] || continue
  echo "  $f ($(wc -l < "$f") lines)"
  count=$((count + 1))
done
[ "$count" -eq 3 ] || { echo "  expected 3 log files, found $count"; failed=1; }
echo "  simulator trace: $WORK/vcisim-trace.txt ($(wc -l < "$WORK/vcisim-trace.txt") lines)"

if [ "$failed" -ne 0 ]; then
  echo
  echo "main job: FAILED"
  exit 1
fi
echo
echo "main job: done"
