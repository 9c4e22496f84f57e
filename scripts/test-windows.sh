#!/usr/bin/env bash
# Builds the Windows build (scripts/build-windows.sh --build-only) and runs its tests under Wine through
# ctest. Prints the test runner's summary and exits non-zero on any failure.
#
# Wine runs in a prefix of the tests' own, $UPDATER_WINEPREFIX (default
# ${XDG_CACHE_HOME:-~/.cache}/orvenda/wine-tests), made on first use. Out of the box Wine gives COM1 to
# /dev/ttyS0, the machine's console, and the next ports to the other serial devices it finds. Before any
# test runs, every port is mapped to /dev/null in the prefix's registry (HKLM\Software\Wine\Ports), which
# is what Wine reads when it starts (it lays its dosdevices links anew from it), and the Wine server is
# ended so that the tests' Wine starts with that mapping. A test that wants a port maps it to a
# pseudo-terminal of its own. Needs what scripts/install-deps.sh windows installs.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-win}"
# Wine takes COM1..COM255 from the registry and gives the serial devices it finds the numbers left, up to
# COM256: with all of these mapped, /dev/ttyS0 can only become COM256, which no test names.
serial_ports=255

scripts/build-windows.sh --build-only

export WINEPREFIX="${UPDATER_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/orvenda/wine-tests}"
export WINEDEBUG=-all
# No offer to download Wine's .NET and HTML engines, which no test uses.
export WINEDLLOVERRIDES="mscoree,mshtml="

# The registry file that maps every port to /dev/null.
ports_file() {
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
  for ((port = 1; port <= serial_ports; port++)); do
    printf '"COM%d"="/dev/null"\n' "$port"
  done
}

mkdir -p "$WINEPREFIX"
registry=$(mktemp --suffix=.reg)
trap 'rm -f "$registry"' EXIT
ports_file >"$registry"
# Wine makes the prefix on its first start here; nothing opens a port while the mapping is written.
wine regedit /S "$(winepath -w "$registry")"
wineserver -k || true
wineserver -w

ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)"
