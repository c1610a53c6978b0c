#!/usr/bin/env bash
# Checks each built pdu7318.dll: it exports exactly the names listed in
# src/pdu7318.def (the 29 D-PDU API functions), undecorated also in the
# 32-bit DLL, and needs no runtime DLL beside it (libstdc++, libgcc,
# winpthread are linked in). For the 32-bit DLL it also checks the calling
# convention, which the plain export names cannot show: every function is
# defined as __stdcall _NAME@N in the library's object files, N the bytes of
# the parameters of its prototype in include/pdu_api.h (check_stdcall.py).
#   tools/windows/check-exports.sh [x86_64] [i686]     (default: both)
set -euo pipefail
source "$(dirname "$0")/env.sh"
archs=("$@")
[ ${#archs[@]} -eq 0 ] && archs=(x86_64 i686)
want=$(sed -n '/^EXPORTS/,$p' "$PDU7318_REPO/src/pdu7318.def" | sed '1d;s/;.*//' | awk 'NF{print $1}' | sort)
nwant=$(echo "$want" | wc -l)
fail=0
for arch in "${archs[@]}"; do
  dll=$(win_build_dir "$arch")/bin/pdu7318.dll
  if [ ! -f "$dll" ]; then
    echo "FAIL: $dll was not built"; fail=1; continue
  fi
  dump=$("$arch-w64-mingw32-objdump" -p "$dll")
  got=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
  ngot=$(echo "$got" | grep -c . || true)
  echo "== $dll: $ngot exports"
  echo "$got" | paste -sd' ' | fold -s -w 100 | sed 's/^/   /'
  if [ "$got" != "$want" ]; then
    echo "FAIL: exports differ from src/pdu7318.def (< missing, > extra):"
    diff <(echo "$want") <(echo "$got") | grep '^[<>]' || true
    fail=1
  fi
  if [ "$ngot" -ne "$nwant" ] || [ "$nwant" -ne 29 ]; then
    echo "FAIL: expected 29 exports, the .def lists $nwant and the DLL has $ngot"; fail=1
  fi
  if echo "$got" | grep -q '@'; then
    echo "FAIL: decorated (@bytes) names exported"; fail=1
  fi
  imports=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | paste -sd' ')
  echo "   imports: $imports"
  if echo "$imports" | grep -qiE 'libstdc|libgcc|winpthread'; then
    echo "FAIL: the runtime is not linked in"; fail=1
  fi
  if [ "$arch" = i686 ]; then
    mapfile -t objs < <(find "$(win_build_dir "$arch")/src" -name '*.obj' | sort)
    if [ ${#objs[@]} -eq 0 ]; then
      echo "FAIL: no object files of the library below $(win_build_dir "$arch")/src"; fail=1
    else
      python3 "$PDU7318_REPO/tools/windows/check_stdcall.py" "$PDU7318_REPO/include/pdu_api.h" \
        "$PDU7318_REPO/src/pdu7318.def" "$arch-w64-mingw32-nm" "${objs[@]}" | sed 's/^/   /' || fail=1
    fi
  fi
done
[ "$fail" -eq 0 ] && echo "exports: ok"
exit "$fail"
