#!/usr/bin/env bash
# End-to-end run under Wine: vcisim (built natively for Linux) on a
# pseudo-terminal mapped to a COM port, pdutool.exe driving pdu7318.dll.
#   tools/windows/e2e.sh [x86_64] [i686]      (default: x86_64)
#   VCISIM   the simulator (default: build/bin/vcisim, the native build)
# Fails when vcisim, pdutool.exe or pdu7318.dll has not been built.
set -euo pipefail
source "$(dirname "$0")/env.sh"
archs=("$@")
[ ${#archs[@]} -eq 0 ] && archs=(x86_64)
need_vcisim
vcisim=$PDU7318_VCISIM
wine_display
wine_up
trap wine_down EXIT
fail=0
for arch in "${archs[@]}"; do
  bin=$(win_build_dir "$arch")/bin
  if [ "$arch" = i686 ] && ! have_wine32; then
    echo "######## end-to-end under Wine ($arch): 32-bit SKIPPED - Wine cannot run 32-bit programs here ########"
    continue
  fi
  if [ ! -f "$bin/pdutool.exe" ] || [ ! -f "$bin/pdu7318.dll" ]; then
    echo "FAIL: end-to-end under Wine ($arch): no pdutool.exe or pdu7318.dll in $bin (tools/windows/build.sh $arch)"
    fail=1
    continue
  fi
  echo "== end-to-end under Wine ($arch)"
  python3 "$PDU7318_REPO/tools/windows/e2e_wine.py" --vcisim "$vcisim" --win-bin "$bin" \
    --data "$(win_build_dir "$arch")/data" --prefix "$WINEPREFIX" || fail=1
done
exit "$fail"
