#!/usr/bin/env bash
# Builds the two third-party libraries of the Windows build for one target
# from Debian's own sources, into a prefix that the toolchain files search:
#   TinyXML    from Debian's source package (apt-get source tinyxml, with
#              Debian's patches applied; the sources need a deb-src entry,
#              which tools/windows/install.sh adds)
#   GoogleTest from /usr/src/googletest (package googletest)
# Nothing of either is kept in the repository.
#
#   tools/windows/deps.sh i686|x86_64 PREFIX
# Does nothing when PREFIX already holds both.
set -euo pipefail
arch=${1:?usage: deps.sh i686|x86_64 PREFIX}
prefix=${2:?usage: deps.sh i686|x86_64 PREFIX}
repo=$(cd "$(dirname "$0")/../.." && pwd)
triple=$arch-w64-mingw32
toolchain=$repo/cmake/toolchain-mingw-$arch.cmake
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)
work=$prefix/src
mkdir -p "$work" "$prefix/include" "$prefix/lib"

if [ ! -f "$prefix/lib/libtinyxml.a" ]; then
  echo "== TinyXML for $triple"
  src=$(ls -d "$work"/tinyxml-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$src" ]; then
    (cd "$work" && apt-get source -qq tinyxml >/dev/null 2>&1) ||
      { echo "apt-get source tinyxml failed (no deb-src entry? run tools/windows/install.sh)" >&2; exit 1; }
    src=$(ls -d "$work"/tinyxml-*/ | head -n1)
  fi
  obj=$work/tinyxml-$arch
  mkdir -p "$obj"
  for f in tinyxml tinystr tinyxmlerror tinyxmlparser; do
    "$triple-g++-posix" -O2 -DTIXML_USE_STL -c "$src/$f.cpp" -o "$obj/$f.o"
  done
  rm -f "$prefix/lib/libtinyxml.a"
  "$triple-ar" rcs "$prefix/lib/libtinyxml.a" "$obj"/*.o
  cp "$src/tinyxml.h" "$src/tinystr.h" "$prefix/include/"
fi

if [ ! -f "$prefix/lib/libgtest.a" ]; then
  echo "== GoogleTest for $triple"
  [ -d /usr/src/googletest ] || { echo "/usr/src/googletest missing (package googletest)" >&2; exit 1; }
  cmake -S /usr/src/googletest -B "$work/googletest-$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
  cmake --build "$work/googletest-$arch" -j2 >/dev/null
  cmake --install "$work/googletest-$arch" >/dev/null
fi
echo "deps for $triple in $prefix"
