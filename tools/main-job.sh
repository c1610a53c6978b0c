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
#   4. battery voltage and ignition state from the VCI;
#   5. one short exchange on every further protocol family (TP2.0, TP1.6,
#      raw CAN, ISO 9141, KW1281, OBD on K-line and J1850, J1939, J1587,
#      SCI), each against the simulator with that family's scenario: one
#      line per protocol with resource, request and decoded answer.
# Every pdutool command is printed shell-quoted, ready to paste.
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

# The application folder: a copy of the build's (data/ with the generated
# PDUAPI_7318.ini) with logging switched on.
mkdir -p "$WORK/home" "$WORK/logs"
cp "$BUILD_DIR/data/MDF.xml" "$BUILD_DIR/data/PDUAPI_7318.ini" "$WORK/home/"
sed 's/^open=.*/open=1/' "$BUILD_DIR/data/config.ini" > "$WORK/home/config.ini"
export PDU7318_HOME="$WORK/home"
export PDU7318_LOG_PATH="$WORK/logs/"

"$BIN/vcisim" --scenario data/scenarios/demo.json --link "$WORK/vci" --trace > "$WORK/vcisim-trace.txt" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 500); do [ -L "$WORK/vci" ] && break; sleep 0.01; done
[ -L "$WORK/vci" ] || { echo "vcisim did not start:"; cat "$WORK/vcisim-trace.txt"; exit 1; }
export PDU7318_PORTS="$WORK/vci"

failed=0
# An argument as a shell would need it: bare when it is plain, in double
# quotes when it holds blanks ("10 03"), in single quotes otherwise.
quote() {
  if [[ "$1" =~ ^[A-Za-z0-9_./:=,+@%-]+$ ]]; then
    printf '%s' "$1"
  elif [[ "$1" =~ ^[A-Za-z0-9_./:=,+@%\ -]*$ ]]; then
    printf '"%s"' "$1"
  else
    printf "'%s'" "${1//\'/\'\\\'\'}"
  fi
}
show() {
  printf '$'
  for a in "$@"; do printf ' '; quote "$a"; done
  printf '\n'
}
step() {
  echo
  echo "=== $1"
  shift
  show pdutool "$@"
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
show pdutool ioctl ignition
"$BIN/pdutool" ioctl ignition || failed=1

kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=

# One exchange on a family: its own simulated car, one SENDRECV, the
# answer decoded in one line.
decode() {
  python3 - "$@" <<'PY'
import json, sys
kind, path = sys.argv[1], sys.argv[2]
with open(path) as f:
    out = json.load(f)
send = [p for p in out.get("primitives", []) if p["type"] == "SENDRECV"]
res = [r["data"] for p in send for r in p["results"]]
if not out.get("ok") or not res:
    print("no answer (%s)" % (out.get("error") or out.get("failures")))
    sys.exit(1)
b = bytes.fromhex(res[0].replace(" ", ""))
text = lambda x: x.decode("ascii", "replace")
def obd(b):
    head = ""
    if len(b) > 3 and b[1] == 0x6B:
        head, b = "from 0x%02X: " % b[2], b[3:]
    if b[:2] == b"\x41\x0c":
        return head + "engine speed %d rpm" % ((b[2] << 8 | b[3]) // 4)
    if b[:2] == b"\x41\x0d":
        return head + "vehicle speed %d km/h" % b[2]
    if b[:1] == b"\x43":
        codes = [b[i] << 8 | b[i + 1] for i in range(1, len(b) - 1, 2)]
        return head + "stored codes " + (" ".join("PCBU"[c >> 14] + "%04X" % (c & 0x3FFF) for c in codes if c) or "none")
    if b[:2] == b"\x49\x02":
        return head + "VIN " + text(b[3:])
    if b[:1] == b"\x62":
        return head + "identifier %02X%02X = %s" % (b[1], b[2], b[3:].hex(" ").upper())
    return head + b.hex(" ").upper()
if kind == "raw":
    ident = int.from_bytes(b[:4], "little")
    line = "frame 0x%X%s, data %s" % (ident & 0x1FFFFFFF, " (29-bit)" if ident >> 31 else "", b[4:].hex(" ").upper())
elif kind == "kwp":
    line = "identification %02X: %s" % (b[1], text(b[2:])) if b[0] == 0x5A else b.hex(" ").upper()
elif kind == "kw1281":
    if b[0] == 0xF6:
        line = "identification: " + text(b[1:])
    elif b[0] == 0xFC:
        line = "faults: " + ", ".join("%02X%02X status %02X" % tuple(b[i:i + 3]) for i in range(1, len(b) - 2, 3))
    else:
        line = b.hex(" ").upper()
elif kind == "j1939":
    ident = int.from_bytes(b[:4], "little")
    pgn, sa, d = (ident >> 8) & 0x3FFFF, ident & 0xFF, b[4:]
    line = "PGN 0x%04X from 0x%02X" % (pgn, sa)
    if pgn == 0xFECA:
        spn = d[2] | d[3] << 8 | (d[4] >> 5) << 16
        line += ": DM1, lamps %02X, SPN %d FMI %d, %d occurrence(s)" % (d[0], spn, d[4] & 0x1F, d[5] & 0x7F)
elif kind == "j1587":
    line = "MID 0x%02X PID %d" % (b[0], b[1])
    if b[1] == 190:
        line += ": engine speed %d rpm" % ((b[2] | b[3] << 8) // 4)
elif kind == "sci":
    line = "echo %s, value %s" % (b[:-1].hex(" ").upper(), b[-1:].hex().upper())
else:
    line = obd(b)
print("%s  ->  %s" % (res[0], line))
PY
}
family() {
  local label=$1 scenario=$2 kind=$3 resource=$4 request=$5
  local link="$WORK/vci-$scenario" pid answer
  "$BIN/vcisim" --scenario "data/scenarios/$scenario.json" --link "$link" --trace >> "$WORK/vcisim-$scenario-trace.txt" 2>&1 &
  pid=$!
  for _ in $(seq 1 500); do [ -L "$link" ] && break; sleep 0.01; done
  show PDU7318_PORTS="$link" pdutool --json session --resource "$resource" "$request"
  if answer=$(PDU7318_PORTS="$link" "$BIN/pdutool" --json session --resource "$resource" "$request" > "$WORK/$scenario.out.json"; \
              decode "$kind" "$WORK/$scenario.out.json"); then
    printf '  %-18s %-40s %-22s %s\n' "$label" "$resource" "$request" "$answer"
  else
    printf '  %-18s %-40s %-22s FAILED: %s\n' "$label" "$resource" "$request" "$answer"
    failed=1
  fi
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

echo
echo "=== 5. The other protocol families, one exchange each (protocol, resource, request -> answer, decoded)"
family "KWP2000 on TP2.0" tp20 kwp RSC_MSP_VW2000LP_on_TP20_6_14 "1A 9B"
family "KWP2000 on TP1.6" tp16 kwp RSC_MSP_VW2000LP_on_TP16_6_14 "1A 9B"
family "KW1281 on TP1.6" tp16 kw1281 RSC_MSP_KW1281_on_TP16_6_14 "00"
family "raw CAN" rawcan raw RSC_ISO_11898_RAW_6_14 "10 07 00 00 02 10 03"
family "OBD on ISO 9141-2" iso9141 obd RSC_ISO_15031_5_on_ISO_9141_2_7 "01 0C"
family "KW1281 on K-line" iso9141 kw1281 RSC_MSP_KW1281_on_ISO_9141_2_7 "07"
family "OBD on K-line" kline obd RSC_ISO_OBD_on_K_Line_7 "01 0D"
family "OBD on J1850 VPW" j1850 obd RSC_ISO_15031_5_on_SAE_J1850_VPW_2_10 "09 02"
family "OBD on J1850 PWM" j1850 obd RSC_ISO_OBD_on_SAE_J1850_2_10 "03"
family "J1939 (DM1)" j1939 j1939 RSC_SAE_J1939_73_on_SAE_J1939_21_6_14 "F9 00 EA 98 CA FE 00"
family "J1587 on J1708" j1708 j1587 RSC_SAE_J1587_on_SAE_J1708_12_13 "AC 00 BE"
family "SCI" sci sci RSC_SAE_J2610_on_SAE_J2610_SCI_7_12 "28 47"

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
