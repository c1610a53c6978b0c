#!/usr/bin/env bash
# Builds the two third-party libraries of the Windows build for one target
# from Debian's own sources, into a prefix that the toolchain files search:
#   TinyXML    from Debian's source package (apt-get source tinyxml, with
#              Debian's patches applied), fetched through deb-src entries
#              made from the machine's deb entries (see fetch_source)
#   GoogleTest from /usr/src/googletest (package googletest)
#   nlohmann_json's headers (header-only) from nlohmann-json3-dev
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

# apt-get source with a private apt state: deb-src entries made from the
# machine's own deb entries, index files kept under $2. The machine's apt
# configuration is not changed.
fetch_source() {
  local pkg=$1 dest=$2 apt=$2/apt
  mkdir -p "$apt/lists/partial" "$apt/parts"
  : >"$apt/sources.list"
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && sed -n 's/^deb[[:space:]]/deb-src /p' "$f" >>"$apt/sources.list"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/parts/$(basename "$f")"
  done
  local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/parts"
              -o "Dir::State::Lists=$apt/lists" -o "Debug::NoLocking=1")
  apt-get "${opts[@]}" update -qq >"$apt/update.log" 2>&1 || true
  (cd "$dest" && apt-get "${opts[@]}" source -qq "$pkg" >"$apt/source.log" 2>&1) || {
    cat "$apt/update.log" "$apt/source.log" >&2
    echo "apt-get source $pkg failed" >&2
    exit 1
  }
}

if [ ! -f "$prefix/lib/libtinyxml.a" ]; then
  echo "== TinyXML for $triple"
  src=$(ls -d "$work"/tinyxml-*/ 2>/dev/null | head -n1 || true)
  if [ -z "$src" ]; then
    fetch_source tinyxml "$work"
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
if [ ! -f "$prefix/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake" ]; then
  # Header-only: Debian's headers and relocatable package files serve any
  # target (package nlohmann-json3-dev); pdutool.exe uses them.
  [ -d /usr/include/nlohmann ] || { echo "/usr/include/nlohmann missing (package nlohmann-json3-dev)" >&2; exit 1; }
  mkdir -p "$prefix/share/cmake"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/"
fi
echo "deps for $triple in $prefix"
