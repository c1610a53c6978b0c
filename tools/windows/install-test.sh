#!/usr/bin/env bash
# Runs the setup program's acceptance test (install_wine.py) in a fresh
# Wine prefix (build-win-setup-wine/), after tools/windows/installer.sh.
#   VCISIM   the simulator (default: build/bin/vcisim, the native build)
# The setup program is a 32-bit program: without wine32 the test cannot run
# and says so loudly (exit 0, so that the 64-bit part of CI still counts).
set -euo pipefail
source "$(dirname "$0")/env.sh"
version=$(sed -n 's/^project(pdu7318 VERSION \([0-9.]*\).*/\1/p' "$PDU7318_REPO/CMakeLists.txt")
setup=$PDU7318_WIN_ROOT/build-win-dist/pdu7318-setup-$version.exe
if ! have_wine32; then
  cat <<'MSG'
############################################################################
##  32-bit SKIPPED: the setup program's test under Wine needs wine32 (the setup
##  program is a 32-bit Windows program), which cannot run here.
############################################################################
MSG
  exit 0
fi
[ -f "$setup" ] || { echo "no $setup (run tools/windows/installer.sh)" >&2; exit 1; }
need_vcisim
python3 "$PDU7318_REPO/tools/windows/install_wine.py" --setup "$setup" --vcisim "$PDU7318_VCISIM" \
  --data "$(win_build_dir x86_64)/data" --prefix "$PDU7318_WIN_ROOT/build-win-setup-wine" \
  --bin32 "$(win_build_dir i686)/bin" --bin64 "$(win_build_dir x86_64)/bin"
