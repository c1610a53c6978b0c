#!/usr/bin/env bash
# Installs what the Windows build, its Wine tests and the installer need on
# Debian 12: the mingw-w64 cross compilers (posix thread model), GoogleTest's
# sources, nlohmann-json's headers, dpkg-dev (for apt-get source), NSIS
# (makensis), zip, Wine and Xvfb (a display for the one test that needs a
# window: the "device not found" box), then wine32 (the 32-bit loader).
#
# wine32 needs the i386 architecture, and every Multi-Arch: same package
# must have the same version on amd64 and i386. When the mirror's i386
# index of bookworm-security lags (or cannot be fetched), amd64 packages
# installed from security are newer than any i386 build apt can see and a
# plain `apt-get install wine32:i386` stops with unmet dependencies. So:
#   1. simulate the install preferring the main suite (-t bookworm);
#   2. for each package the simulation names as unmet, pin both
#      architectures to the version that i386 has: PKG=VER PKG:i386=VER;
#   3. repeat until the simulation succeeds, then install for real.
# After a few rounds without success the script says so LOUDLY and goes on:
# the 32-bit DLL is still built and checked, its tests are skipped, the
# 64-bit part runs.
set -euo pipefail
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# Prints every installed package that an apt-get simulation (its output on
# stdin) would move to another version, as "upgrade" or "DOWNGRADE" with
# both versions, and a count of the new packages. Simulated lines:
#   Inst libfoo [1.2-3+deb12u7] (1.2-3+deb12u6 Debian:12.8/stable [amd64])   changes libfoo
#   Inst libbar:i386 (4.5-6 Debian:12.8/stable [i386])                       new
report_changes() {
  local line name old new kind n_new=0 n_up=0 n_down=0
  local changed='^Inst ([^ ]+) [[]([^]]+)[]] [(]([^ ]+)'
  while IFS= read -r line; do
    [[ "$line" =~ $changed ]] || {
      [[ "$line" == Inst\ * ]] && n_new=$((n_new + 1))
      continue
    }
    name=${BASH_REMATCH[1]} old=${BASH_REMATCH[2]} new=${BASH_REMATCH[3]}
    if dpkg --compare-versions "$new" lt "$old"; then
      kind=DOWNGRADE n_down=$((n_down + 1))
    else
      kind=upgrade n_up=$((n_up + 1))
    fi
    printf '   %-9s %s %s -> %s\n' "$kind" "$name" "$old" "$new"
  done
  echo "== $1: $n_up upgraded, $n_down downgraded, $n_new new"
}

pkgs=(cmake ninja-build pkg-config dpkg-dev python3 g++-mingw-w64-i686-posix
      g++-mingw-w64-x86-64-posix googletest nlohmann-json3-dev wine wine64
      nsis zip unzip xvfb)
missing=()
for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== apt-get install ${missing[*]}"
  # An index that fails to download is reported by apt-get update; the
  # install below is what must succeed.
  $SUDO apt-get update -qq || echo "apt-get update reported errors (see above); going on"
  $SUDO apt-get install -s -y --no-install-recommends "${missing[@]}" 2>/dev/null | report_changes "apt-get install"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The version of PKG:i386 that apt would take from the main suite, else
# its candidate; empty when i386 has none.
i386_version() {
  local v
  v=$(apt-cache madison "$1:i386" 2>/dev/null | awk -F'|' '$3 ~ /bookworm\/main/ && $3 !~ /security|updates/ {gsub(/ /,"",$2); print $2; exit}')
  [ -z "$v" ] && v=$(apt-cache policy "$1:i386" 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
  [ "$v" = "(none)" ] && v=""
  echo "$v"
}
# True when amd64 can have PKG at version VER.
amd64_has() { apt-cache madison "$1" 2>/dev/null | awk -F'|' '{gsub(/ /,"",$2); print $2}' | grep -qxF "$2"; }

never_downgrade="libc6 libc-bin libgcc-s1 libstdc++6 libssl3 zlib1g libsystemd0 libudev1 libcrypt1"

install_wine32() {
  local opts=(-y -t bookworm --allow-downgrades --no-install-recommends)
  local pins=() round out names name ver cur
  declare -A pinned=()
  for round in 1 2 3 4 5 6; do
    if out=$($SUDO apt-get install -s "${opts[@]}" wine32:i386 "${pins[@]}" 2>&1); then
      echo "== wine32: simulation ok (round $round${pins:+, pinned: ${pins[*]}})"
      echo "== wine32: what the install does to this machine's packages:"
      echo "$out" | report_changes wine32
      $SUDO apt-get install -qq "${opts[@]}" wine32:i386 "${pins[@]}" >/dev/null
      return
    fi
    # " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
    # " libfoo:i386 : Breaks: libfoo (!= 1.2-3) but 1.2-3+deb12u1 is to be installed"
    names=$( { echo "$out" | sed -n 's/^ *\([^ ]*\) : .*$/\1/p'
               echo "$out" | grep -oE '(Pre-?Depends|Depends|Breaks|Conflicts): [^ ]+' | awk '{print $2}'; } |
            sed 's/:i386$//;s/:amd64$//' | sort -u)
    local added=0
    for name in $names; do
      [ "$name" = wine32 ] && continue
      [ -n "${pinned[$name]:-}" ] && continue
      ver=$(i386_version "$name")
      [ -z "$ver" ] && continue
      if installed "$name:amd64" || installed "$name"; then
        amd64_has "$name" "$ver" || continue
        # A downgrade of the machine's base runtime is not worth the 32-bit
        # tests: give up instead.
        cur=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || dpkg-query -W -f='${Version}' "$name")
        if [[ " $never_downgrade " == *" $name "* ]] && dpkg --compare-versions "$ver" lt "$cur"; then
          echo "== wine32: would need $name $cur -> $ver on amd64; not downgrading the base runtime"
          continue
        fi
        pins+=("$name=$ver" "$name:i386=$ver")
      else
        pins+=("$name:i386=$ver")
      fi
      pinned[$name]=$ver
      added=1
    done
    if [ "$added" = 0 ]; then
      echo "$out" | sed -n '/unmet dependencies/,$p' | head -30
      break
    fi
  done
  return 1
}

if ! installed wine32:i386; then
  added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added=1
  fi
  $SUDO apt-get update -qq || echo "apt-get update reported errors (see above); going on"
  if install_wine32 && [ -x /usr/lib/wine/wine ]; then
    echo "== wine32 installed (whether it runs 32-bit programs here is checked below)"
  else
    cat <<'MSG'
############################################################################
##  WARNING: wine32 COULD NOT BE INSTALLED on this machine.
##  The 32-bit DLL is built and its exports checked, but the 32-bit unit
##  tests, the 32-bit end-to-end run and the 32-bit install check are
##  SKIPPED. The 64-bit part runs.
############################################################################
MSG
    if [ "$added" = 1 ] && ! dpkg --get-selections | grep -q ':i386'; then
      $SUDO dpkg --remove-architecture i386
      $SUDO apt-get update -qq || true
    fi
  fi
fi

# Installed is not runnable: a kernel without 32-bit support refuses the
# 32-bit loader. env.sh runs a tiny 32-bit program with it and says loudly
# when the 32-bit parts will be skipped; the 64-bit loader is used then.
source "$(dirname "$0")/env.sh"
if have_wine32; then
  echo "== wine32: ${PDU7318_WINE32_LOADER:-/usr/lib/wine/wine} runs 32-bit programs"
fi
