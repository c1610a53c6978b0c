#!/usr/bin/env bash
# Prints the version resource of each built DLL and program and checks it:
# file and product version the project version, company and product name
# those of our root description file entry (cmake/Product.cmake).
#   tools/windows/check-version.sh [x86_64] [i686]     (default: both)
#   tools/windows/check-version.sh FILE...             (any PE files)
set -euo pipefail
source "$(dirname "$0")/env.sh"
version=$(project_version)
short=$(product PDU7318_ROOT_SHORT_NAME)
supplier=$(product PDU7318_ROOT_SUPPLIER)
commas="${version//./, }, 0"

files=()
if [ $# -gt 0 ] && [ -f "$1" ]; then
  files=("$@")
else
  archs=("$@")
  [ ${#archs[@]} -eq 0 ] && archs=(x86_64 i686)
  for arch in "${archs[@]}"; do
    bin=$(win_build_dir "$arch")/bin
    files+=("$bin/pdu7318.dll" "$bin/pdutool.exe" "$bin/pdu7318-rootfile.exe")
  done
fi
fail=0
for f in "${files[@]}"; do
  if [ ! -f "$f" ]; then echo "FAIL: $f was not built"; fail=1; continue; fi
  # windres reads the resources of a PE file and prints them as a script.
  rc=$(x86_64-w64-mingw32-windres -i "$f" -O rc 2>&1 | tr -d '\r') || true
  echo "== $f"
  echo "$rc" | grep -E 'FILEVERSION|PRODUCTVERSION|VALUE "' | sed 's/^[[:space:]]*/   /'
  for want in "FILEVERSION $commas" "PRODUCTVERSION $commas" "\"FileVersion\", \"$version\"" \
              "\"ProductVersion\", \"$version\"" "\"CompanyName\", \"$supplier\"" \
              "\"ProductName\", \"$short\""; do
    if ! echo "$rc" | grep -qF "$want"; then echo "FAIL: $f: no $want"; fail=1; fi
  done
done
[ "$fail" -eq 0 ] && echo "version resources: ok"
exit "$fail"
