# Shared settings of the tools/windows scripts (sourced, not run).
#   PDU7318_WIN_ROOT   folder for the build folders (default: the repository)
#   WINEPREFIX         Wine prefix for the tests (default: build-win-wine)
PDU7318_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
PDU7318_WIN_ROOT=${PDU7318_WIN_ROOT:-$PDU7318_REPO}
export WINEPREFIX=${WINEPREFIX:-$PDU7318_WIN_ROOT/build-win-wine}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# build folder and compiler triple of an architecture name
win_build_dir() {
  case "$1" in
    x86_64) echo "$PDU7318_WIN_ROOT/build-win64" ;;
    i686) echo "$PDU7318_WIN_ROOT/build-win32" ;;
    *) echo "unknown architecture $1 (x86_64 or i686)" >&2; return 1 ;;
  esac
}
win_deps_dir() { echo "$PDU7318_WIN_ROOT/build-win-deps/$1"; }

# The project's version (the project() line of CMakeLists.txt, the one
# place it is typed) and a value of our root description file entry
# (cmake/Product.cmake), e.g. product PDU7318_ROOT_SUPPLIER.
project_version() { sed -n 's/^project(pdu7318 VERSION \([0-9.]*\).*/\1/p' "$PDU7318_REPO/CMakeLists.txt"; }
product() { sed -n "s/^set($1 \"\\(.*\\)\")$/\\1/p" "$PDU7318_REPO/cmake/Product.cmake"; }

# The native simulator that the Wine tests drive (VCISIM, default the Linux
# build's build/bin/vcisim). Missing, it is an error, not a skip: a test
# that needs it would otherwise count as passed without having run.
need_vcisim() {
  PDU7318_VCISIM=${VCISIM:-$PDU7318_REPO/build/bin/vcisim}
  [ -x "$PDU7318_VCISIM" ] && return 0
  cat >&2 <<MSG
FAIL: no simulator at $PDU7318_VCISIM. The Wine tests run the Linux vcisim
against the Windows programs; build the Linux tree first:
    cmake --preset default && cmake --build build --target vcisim
or name another one with VCISIM=PATH.
MSG
  return 1
}

# Which Wine loader runs the test programs. Having the wine32 package is
# not enough: a kernel without 32-bit support ("32-bit emulation
# disabled") refuses /usr/lib/wine/wine with "exec format error", and
# Debian's /usr/bin/wine prefers that loader whenever it exists, so every
# Wine run would fail, the 64-bit ones included. So the 32-bit loader is
# made to run a tiny 32-bit Windows program; only when that prints its line
# are the 32-bit tests run and `wine` used; otherwise the 64-bit loader is
# named directly and the 32-bit parts are skipped with a boxed note.
#   PDU7318_WINE32_LOADER  the 32-bit loader to check (default
#                          /usr/lib/wine/wine); CI rehearsals point it at
#                          a loader that fails
# Results, exported so that the scripts and CMake runs below inherit them
# instead of checking again:
#   PDU7318_HAVE_WINE32    yes or no
#   PDU7318_WINE           the loader command for every test program
#   PDU7318_WINESERVER     the matching wineserver
wine_probe32() {
  local loader=${PDU7318_WINE32_LOADER:-/usr/lib/wine/wine}
  [ -x "$loader" ] || { echo "no 32-bit Wine loader at $loader"; return 1; }
  local dir=$PDU7318_WIN_ROOT/build-win-wine32check cc
  cc=$(command -v i686-w64-mingw32-gcc-posix || command -v i686-w64-mingw32-gcc || true)
  if [ -z "$cc" ]; then
    # No 32-bit cross compiler yet: the loader itself is a 32-bit program.
    "$loader" --version >/dev/null 2>&1 || { echo "$loader --version fails"; return 1; }
    return 0
  fi
  mkdir -p "$dir"
  if [ ! -f "$dir/probe32.exe" ]; then
    printf '#include <stdio.h>\nint main(void) { puts("32-bit probe ran"); return 0; }\n' >"$dir/probe32.c"
    "$cc" -O0 -o "$dir/probe32.exe" "$dir/probe32.c" || { echo "cannot build the 32-bit probe"; return 1; }
  fi
  local out
  out=$(timeout 300 "$loader" "$dir/probe32.exe" 2>"$dir/probe32.err" </dev/null) || true
  [[ "$out" == *"32-bit probe ran"* ]] || {
    echo "$loader cannot run a 32-bit program: $(head -c 300 "$dir/probe32.err")"; return 1; }
}
wine_choose() {
  [ -n "${PDU7318_HAVE_WINE32:-}" ] && return 0
  local why
  if why=$(wine_probe32); then
    PDU7318_HAVE_WINE32=yes
    PDU7318_WINE=wine
    PDU7318_WINESERVER=wineserver
  else
    PDU7318_HAVE_WINE32=no
    PDU7318_WINE=wine64
    [ -x /usr/lib/wine/wine64 ] && PDU7318_WINE=/usr/lib/wine/wine64
    PDU7318_WINESERVER=wineserver
    [ -x /usr/lib/wine/wineserver64 ] && PDU7318_WINESERVER=/usr/lib/wine/wineserver64
    cat <<MSG
############################################################################
##  32-bit SKIPPED: Wine cannot run 32-bit programs on this machine
##  ($why).
##  The 32-bit DLL is built and its exports checked; its unit tests, its
##  end-to-end run and the setup program's test are SKIPPED. The 64-bit
##  part runs with $PDU7318_WINE.
############################################################################
MSG
  fi
  export PDU7318_HAVE_WINE32 PDU7318_WINE PDU7318_WINESERVER
}
# True when Wine runs 32-bit programs here (checked once, see above).
have_wine32() { wine_choose >&2; [ "$PDU7318_HAVE_WINE32" = yes ]; }

# Creates the prefix once and keeps one wineserver running for the many
# short test processes; its own messages go to a log file.
wine_up() {
  wine_choose >&2
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    "$PDU7318_WINE" wineboot -i >"$PDU7318_WIN_ROOT/build-win-wineboot.log" 2>&1 || {
      cat "$PDU7318_WIN_ROOT/build-win-wineboot.log" >&2; return 1; }
  fi
  "$PDU7318_WINESERVER" -p >>"$PDU7318_WIN_ROOT/build-win-wineserver.log" 2>&1 || true
  # The first program of a server session starts Wine's background services,
  # which inherit its output: start them here, detached from any caller's
  # pipe, so that a caller waiting for the end of a program's output does
  # not wait for them.
  "$PDU7318_WINE" cmd /c exit >>"$PDU7318_WIN_ROOT/build-win-wineserver.log" 2>&1 </dev/null || true
}
wine_down() {
  "${PDU7318_WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
  [ -n "${PDU7318_XVFB_PID:-}" ] && kill "$PDU7318_XVFB_PID" 2>/dev/null || true
}
# A virtual display (Xvfb) for the programs that show a window (the
# "device not found" box): without one Wine's MessageBox returns at once.
# Wine's desktop takes the display of the first program of a server
# session, so call it before wine_up. Without Xvfb, DISPLAY stays unset and
# the tests that need it say they are skipped.
wine_display() {
  command -v Xvfb >/dev/null || { echo "no Xvfb: the tests that need a window are skipped" >&2; return 0; }
  local n=99
  while [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -nolisten tcp -screen 0 800x600x16 >/dev/null 2>&1 &
  PDU7318_XVFB_PID=$!
  local i
  for i in $(seq 100); do [ -S "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  export DISPLAY=":$n"
}
