#!/usr/bin/env bash
# Builds the Debian package and tests it the way a user meets it: installed
# with apt-get, a C program built with pkg-config against it and run against
# vcisim, pdutool, the Python package and python-can finding it through the
# root description file, another vendor's root-file entry surviving
# installation and removal, then purge. Needs root. The machine's
# /etc/pdu_api_root.xml and /etc/brenlo/7318 are put back at the end.
#   DEB_BUILD_DIR   build folder (default: build, the one tools/test.sh
#                   fills: the install prefix /usr changes no object file)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${DEB_BUILD_DIR:-build}
ROOT_FILE=/etc/pdu_api_root.xml
APP_DIR=/etc/brenlo/7318

if [ "$(id -u)" -ne 0 ]; then
  echo "deb-test: skipped: installing a package needs root"
  exit 0
fi

WORK=$(mktemp -d /tmp/pdu7318-deb-test.XXXXXX)
passed=0
failed=0
vcisim_pid=""

pass() { passed=$((passed + 1)); echo "ok   - $*"; }
fail() { failed=$((failed + 1)); echo "FAIL - $*"; }
check() { if "${@:2}" >>"$WORK/checks.log" 2>&1; then pass "$1"; else fail "$1"; fi; }  # check "what" command...
package_state() { dpkg-query -W -f='${db:Status-Status}' pdu7318 2>/dev/null || echo "not-installed"; }
apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" >>"$WORK/apt.log" 2>&1; }

# ---- save what the test changes, put it back on exit ----
had_root=no had_app=no had_brenlo=no
[ -e "$ROOT_FILE" ] && { had_root=yes; cp -a "$ROOT_FILE" "$WORK/root.orig"; }
[ -d "$APP_DIR" ] && { had_app=yes; cp -a "$APP_DIR" "$WORK/app.orig"; }
[ -d "$(dirname "$APP_DIR")" ] && had_brenlo=yes

cleanup() {
  set +e
  [ -n "$vcisim_pid" ] && kill "$vcisim_pid" 2>/dev/null && wait "$vcisim_pid" 2>/dev/null
  if [ "$(package_state)" != "not-installed" ]; then apt purge pdu7318; fi
  if [ $had_root = yes ]; then cp -a "$WORK/root.orig" "$ROOT_FILE"; else rm -f "$ROOT_FILE"; fi
  rm -rf "$APP_DIR"
  [ $had_app = yes ] && cp -a "$WORK/app.orig" "$APP_DIR"
  [ $had_brenlo = no ] && rmdir "$(dirname "$APP_DIR")" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(package_state)" = "not-installed" ] || { echo "deb-test: pdu7318 is installed here; purging it first"; apt purge pdu7318; }

# ---- build the package ----
echo "== deb-test: build the package =="
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DPDU7318_APP_DIR="$APP_DIR" >/dev/null
cmake --build "$BUILD"
BUILD=$(realpath "$BUILD")
# The one version source: project(VERSION) in CMakeLists.txt.
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
VERSION_RE=${VERSION//./\\.}
rm -rf "$BUILD/package"
cpack --config "$BUILD/CPackConfig.cmake" -B "$BUILD/package" >"$WORK/cpack.log" 2>&1 ||
  { cat "$WORK/cpack.log"; exit 1; }
DEB=$(ls "$BUILD"/package/pdu7318_*.deb 2>/dev/null | head -n1 || true)
[ -n "$DEB" ] || { echo "deb-test: no package was built"; exit 1; }
echo "package: $DEB"

echo "== deb-test: the package's contents =="
dpkg-deb -I "$DEB" >"$WORK/info"
dpkg-deb -c "$DEB" >"$WORK/contents"
# python3-can: the Python package's optional part.
for l in "Package: pdu7318$" "Version: $VERSION_RE$" "Depends:.*libtinyxml2\.6\.2v5" "Suggests:.*python3-can"; do
  check "control: $l" grep -Eq "^ $l" "$WORK/info"
done
dpkg-deb --ctrl-tarfile "$DEB" | tar -xO ./conffiles >"$WORK/conffiles" || true
for f in MDF.xml config.ini PDUAPI_7318.ini; do
  check "control: $APP_DIR/$f is a conffile" grep -qx "$APP_DIR/$f" "$WORK/conffiles"
done
PY=usr/lib/python3/dist-packages
for f in "usr/lib/.*/libpdu7318\.so\.$VERSION_RE" "usr/lib/.*/libpdu7318\.so\.1 -> libpdu7318\.so\.$VERSION_RE" \
         "usr/include/pdu_api\.h" "usr/lib/.*/pkgconfig/pdu7318\.pc" "usr/lib/.*/cmake/pdu7318/pdu7318Config\.cmake" "usr/lib/.*/cmake/pdu7318/pdu7318Targets\.cmake" \
         "usr/bin/vcisim" "usr/bin/pdutool" "usr/libexec/pdu7318/pdu7318-rootfile" \
         "usr/share/man/man1/vcisim\.1\.gz" "usr/share/man/man1/pdutool\.1\.gz" \
         "usr/share/pdu7318/scenarios/demo\.json" "etc/brenlo/7318/MDF\.xml" \
         "$PY/pdu7318/__init__\.py" "$PY/pdu7318/can\.py" "$PY/pdu7318/_version\.py" \
         "$PY/pdu7318-$VERSION_RE\.dist-info/entry_points\.txt"; do
  check "contents: $f" grep -Eq "\./$f" "$WORK/contents"
done

# ---- a machine without a root file ----
echo "== deb-test: install where no root file exists =="
rm -f "$ROOT_FILE"
check "apt-get install ./pdu7318_*.deb" apt install "$DEB"
check "the root file was created with the PDU7318 entry" grep -q "<SHORT_NAME>PDU7318</SHORT_NAME>" "$ROOT_FILE"
check "apt-get remove pdu7318" apt remove pdu7318
check "the root file that named only PDU7318 is gone" test ! -e "$ROOT_FILE"
check "apt-get purge pdu7318" apt purge pdu7318

# ---- beside another vendor's API ----
echo "== deb-test: install beside another vendor's API =="
cat >"$ROOT_FILE" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!-- D-PDU APIs installed on this machine -->
<MVCI_PDU_API_ROOT>
  <MVCI_PDU_API>
    <SHORT_NAME>ACME_VCI</SHORT_NAME>
    <DESCRIPTION>ACME VCI</DESCRIPTION>
    <SUPPLIER_NAME>ACME</SUPPLIER_NAME>
    <LIBRARY_FILE URI="file:///opt/acme/libacme-pdu.so"/>
    <MODULE_DESCRIPTION_FILE URI="file:///opt/acme/mdf.xml"/>
    <CABLE_DESCRIPTION_FILE URI="file:///opt/acme/cdf.xml"/>
  </MVCI_PDU_API>
</MVCI_PDU_API_ROOT>
EOF
check "apt-get install ./pdu7318_*.deb" apt install "$DEB"
LIB=$(dpkg -L pdu7318 | grep -E '/libpdu7318\.so\.1$')
# ACME's entry, its cable description and the comment kept; PDU7318 names
# the installed library and MDF.
for t in "<SHORT_NAME>ACME_VCI</SHORT_NAME>" "file:///opt/acme/cdf.xml" "D-PDU APIs installed on this machine" \
         "URI=\"file://$LIB\"" "URI=\"file://$APP_DIR/MDF.xml\""; do
  check "root file: $t" grep -qF "$t" "$ROOT_FILE"
done
check "apt-get install --reinstall (prerm upgrade, postinst configure)" apt install --reinstall "$DEB"
check "root file: still exactly one PDU7318 entry and ACME_VCI" \
  bash -c "[ \$(grep -c '<SHORT_NAME>PDU7318</SHORT_NAME>' '$ROOT_FILE') = 1 ] && grep -q '<SHORT_NAME>ACME_VCI</SHORT_NAME>' '$ROOT_FILE'"
check "the library's SONAME is libpdu7318.so.1" bash -c "readelf -d '$LIB' | grep -q 'SONAME.*\[libpdu7318\.so\.1\]'"
check "the application folder is installed" test -f "$APP_DIR/MDF.xml" -a -f "$APP_DIR/config.ini" -a -f "$APP_DIR/PDUAPI_7318.ini"
check "man pdutool" bash -c "man -P cat pdutool 2>/dev/null | grep -q -- '--root' || zcat /usr/share/man/man1/pdutool.1.gz | grep -q 'root'"

echo "== deb-test: a client built against the installed library =="
check "cc client.c \$(pkg-config --cflags --libs pdu7318)" \
  bash -c "cc -std=c99 -Wall -Wextra -Werror -o '$WORK/client' tests/packaging/client.c \$(pkg-config --cflags --libs pdu7318)"
# find_package(pdu7318), its version rule and the library it links: the
# ctest packaging.find-package (find-package-test.sh).

/usr/bin/vcisim --scenario /usr/share/pdu7318/scenarios/demo.json --link "$WORK/vci" >"$WORK/vcisim.log" 2>&1 &
vcisim_pid=$!
for _ in $(seq 50); do [ -e "$WORK/vci" ] && break; sleep 0.1; done
check "vcisim is serving" test -e "$WORK/vci"
check "the client constructs the API, reads the module ids and the battery over vcisim" \
  env PDU7318_PORTS="$WORK/vci" "$WORK/client"

echo "== deb-test: pdutool finds APIs through the root file =="
check "pdutool --root lists PDU7318 and ACME_VCI" \
  bash -c "pdutool --root | grep -q '^PDU7318 ' && pdutool --root | grep -q '^ACME_VCI '"
check "pdutool --root PDU7318 ioctl vbatt" \
  bash -c "PDU7318_PORTS='$WORK/vci' pdutool --json --root PDU7318 ioctl vbatt >'$WORK/vbatt.json' &&
           grep -q '\"library\": \"$LIB\"' '$WORK/vbatt.json' && grep -q '\"value\": 12640' '$WORK/vbatt.json'"
check "pdutool without --lib loads the installed libpdu7318.so.1" \
  bash -c "PDU7318_PORTS='$WORK/vci' pdutool --json ioctl vbatt >'$WORK/default.json' &&
           grep -q '\"library\": \"libpdu7318.so.1\"' '$WORK/default.json'"

echo "== deb-test: the Python package for Debian's python3 =="
# Run from $WORK so that nothing of the source tree is on the module path.
check "python3: pdu7318.Api('PDU7318') finds the library through the root file, reads the battery" \
  bash -c "cd '$WORK' && PDU7318_PORTS='$WORK/vci' /usr/bin/python3 -c \"
import pdu7318
with pdu7318.Api('PDU7318') as api:
    assert (api.library_path, api.battery_voltage()) == ('$LIB', 12640), api.library_path
\""
if /usr/bin/python3 -c "import can" 2>/dev/null; then
  check "python3-can: can.Bus(interface='pdu7318') through the installed entry point opens and shuts down" \
    bash -c "cd '$WORK' && PDU7318_PORTS='$WORK/vci' /usr/bin/python3 -c \"
import can
with can.Bus(interface='pdu7318', channel='RSC_ISO_11898_RAW_6_14') as bus:
    assert type(bus).__module__ == 'pdu7318.can'
\""
else
  echo "deb-test: python3-can is not installed: the python-can check is skipped"
fi

{ kill "$vcisim_pid" && wait "$vcisim_pid"; } 2>/dev/null || true
vcisim_pid=""

echo "== deb-test: removal =="
echo "; a user's note" >>"$APP_DIR/config.ini"
check "apt-get remove pdu7318" apt remove pdu7318
check "root file: PDU7318 removed" bash -c "! grep -q '<SHORT_NAME>PDU7318</SHORT_NAME>' '$ROOT_FILE'"
check "root file: ACME_VCI and its library URI survive the removal" \
  grep -qz '<SHORT_NAME>ACME_VCI</SHORT_NAME>.*URI="file:///opt/acme/libacme-pdu.so"' "$ROOT_FILE"
check "the library and the Python package are gone" test ! -e "$LIB" -a ! -e "/$PY/pdu7318"
check "remove keeps the user's edited configuration" grep -q "a user's note" "$APP_DIR/config.ini"
check "apt-get purge pdu7318" apt purge pdu7318
check "purge takes the application folder" test ! -e "$APP_DIR"
check "root file: ACME_VCI survives the purge" grep -q "<SHORT_NAME>ACME_VCI</SHORT_NAME>" "$ROOT_FILE"

[ "$failed" -eq 0 ] || tail -n 40 "$WORK/checks.log" "$WORK/apt.log"
echo "deb-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
