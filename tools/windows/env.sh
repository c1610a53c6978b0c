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

# True when Wine can run 32-bit programs (package wine32:i386).
have_wine32() { [ -x /usr/lib/wine/wine ]; }

# Creates the prefix once and keeps one wineserver running for the many
# short test processes; its own messages go to a log file.
wine_up() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== creating the Wine prefix $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >"$PDU7318_WIN_ROOT/build-win-wineboot.log" 2>&1 || {
      cat "$PDU7318_WIN_ROOT/build-win-wineboot.log" >&2; return 1; }
  fi
  wineserver -p >>"$PDU7318_WIN_ROOT/build-win-wineserver.log" 2>&1 || true
  # The first program of a server session starts Wine's background services,
  # which inherit its output: start them here, detached from any caller's
  # pipe, so that a caller waiting for the end of a program's output does
  # not wait for them.
  wine cmd /c exit >>"$PDU7318_WIN_ROOT/build-win-wineserver.log" 2>&1 </dev/null || true
}
wine_down() { wineserver -k >/dev/null 2>&1 || true; }
