#!/usr/bin/env bash
# find_package(pdu7318) as an application meets it, without root: the
# library, header and CMake files installed below a prefix in a staging
# folder (DESTDIR), a consumer project finds pdu7318::pdu7318 there, builds
# the C client and links the installed libpdu7318.so.1 (not the build's).
#   find-package-test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
BUILD=$(realpath "$1")
SRC=$(realpath "$2")
WORK=$(mktemp -d /tmp/pdu7318-find-package.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# Installed with --prefix, as a user who is not root does: every file must
# land below that prefix (none in /etc or elsewhere).
prefix="$WORK/prefix"
DESTDIR="$WORK/stage" cmake --install "$BUILD" --prefix "$prefix" >"$WORK/install.log"
root="$WORK/stage$prefix"

mkdir -p "$WORK/client"
cat >"$WORK/client/CMakeLists.txt" <<EOT
cmake_minimum_required(VERSION 3.20)
project(client C)
find_package(pdu7318 1 REQUIRED)
get_target_property(_type pdu7318::pdu7318 TYPE)
if(NOT _type STREQUAL "SHARED_LIBRARY")
  message(FATAL_ERROR "pdu7318::pdu7318 is a \${_type}")
endif()
add_executable(client $SRC/tests/packaging/client.c)
target_link_libraries(client PRIVATE pdu7318::pdu7318)
EOT
passed=0 failed=0
step() {  # step "what" command...
  if "${@:2}" >>"$WORK/steps.log" 2>&1; then
    passed=$((passed + 1)); echo "ok   - $1"
  else
    failed=$((failed + 1)); echo "FAIL - $1"; cat "$WORK/steps.log"
  fi
}
# The application folder follows the prefix unless the build was given an
# absolute one (as the Debian package's is).
app=$(sed -n 's/^PDU7318_APP_DIR:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
case $app in
  /*) app_root="$WORK/stage$app" ;;
  *) app_root="$root/$app" ;;
esac
step "cmake --install --prefix writes only below the prefix (application folder: $app)" \
  bash -c "! find '$WORK/stage' ! -type d | grep -v -e '^$root/' -e '^$app_root/'"
step "the application folder holds MDF.xml, config.ini and PDUAPI_7318.ini" \
  test -f "$app_root/MDF.xml" -a -f "$app_root/config.ini" -a -f "$app_root/PDUAPI_7318.ini"
step "find_package(pdu7318 1) configures the client" \
  cmake -S "$WORK/client" -B "$WORK/client/build" -DCMAKE_PREFIX_PATH="$root"
mkdir -p "$WORK/client2"
sed 's/find_package(pdu7318 1 REQUIRED)/find_package(pdu7318 2 REQUIRED)/' \
  "$WORK/client/CMakeLists.txt" >"$WORK/client2/CMakeLists.txt"
step "find_package(pdu7318 2) is refused (same major version only)" \
  bash -c "! cmake -S '$WORK/client2' -B '$WORK/client2/build' -DCMAKE_PREFIX_PATH='$root'"
step "the client builds against the installed library" cmake --build "$WORK/client/build"
step "the client links the installed libpdu7318.so.1" \
  bash -c "grep -q -- '$root/.*/libpdu7318\.so' '$WORK/client/build/CMakeFiles/client.dir/link.txt'"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
