#!/usr/bin/env bash
# Builds the Windows setup program and the release archive from the
# cross-built trees (tools/windows/build.sh x86_64 i686):
#   build-win-dist/pdu7318-setup-<version>.exe   (NSIS, makensis)
#   build-win-dist/pdu7318-<version>-windows.zip (both DLLs, pdutool.exe,
#                                                 the data files, a README)
# The version comes from the project() line of CMakeLists.txt, the names
# of our root description file entry from cmake/Product.cmake, the data
# files from the 64-bit tree's data/ (CMake writes PDUAPI_7318.ini there).
set -euo pipefail
source "$(dirname "$0")/env.sh"
repo=$PDU7318_REPO
version=$(project_version)
short=$(product PDU7318_ROOT_SHORT_NAME)
description=$(product PDU7318_ROOT_DESCRIPTION)
supplier=$(product PDU7318_ROOT_SUPPLIER)
bin32=$(win_build_dir i686)/bin
bin64=$(win_build_dir x86_64)/bin
data=$(win_build_dir x86_64)/data
dist=$PDU7318_WIN_ROOT/build-win-dist
[ -n "$version" ] && [ -n "$short" ] && [ -n "$supplier" ] || { echo "version or names not found" >&2; exit 1; }
for f in "$bin32/pdu7318.dll" "$bin32/pdutool.exe" "$bin32/pdu7318-rootfile.exe" \
         "$bin64/pdu7318.dll" "$bin64/pdutool.exe" "$data/PDUAPI_7318.ini"; do
  [ -f "$f" ] || { echo "missing $f (run tools/windows/build.sh x86_64 i686)" >&2; exit 1; }
done
mkdir -p "$dist"

setup=$dist/pdu7318-setup-$version.exe
echo "== $setup"
makensis -V2 -NOCD -DVERSION="$version" -DBIN32="$bin32" -DBIN64="$bin64" -DDATA="$data" \
  -DOUTFILE="$setup" -DSHORTNAME="$short" -DDESCRIPTION="$description" -DSUPPLIER="$supplier" \
  "$repo/packaging/windows/pdu7318.nsi"

name=pdu7318-$version-windows
zip=$dist/$name.zip
echo "== $zip"
stage=$dist/$name
rm -rf "$stage" "$zip"
mkdir -p "$stage/x86" "$stage/x64" "$stage/data"
cp "$bin32/pdu7318.dll" "$bin32/pdutool.exe" "$bin32/pdu7318-rootfile.exe" "$stage/x86/"
cp "$bin64/pdu7318.dll" "$bin64/pdutool.exe" "$stage/x64/"
cp "$data/MDF.xml" "$data/config.ini" "$data/PDUAPI_7318.ini" "$stage/data/"
# The README with Windows line ends, so that Notepad of old shows it too.
sed -e "s|@VERSION@|$version|g" -e "s|@DESCRIPTION@|$description|g" -e "s|@SUPPLIER@|$supplier|g" \
    -e 's/$/\r/' "$repo/packaging/windows/README.txt" >"$stage/README.txt"
(cd "$dist" && zip -q -r -X "$zip" "$name")
rm -rf "$stage"
unzip -l "$zip" | sed 's/^/   /'
ls -l "$setup" "$zip"
