#!/usr/bin/env bash
# check-install.sh BUILD_DIR PROGRAM...
# Installs BUILD_DIR into a fresh staging prefix and checks that the programs,
# the desktop entry (valid for desktop-file-validate), the icon and the manual
# page are where a desktop and man look for them. Prints every fault found.
set -uo pipefail

build_dir=$1
shift
programs=()
for program in "$@"; do
  [ -n "$program" ] && programs+=("$program")
done

prefix=$(mktemp -d "${TMPDIR:-/tmp}/updater-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
faults=0
fault() {
  echo "FAULT: $*" >&2
  faults=$((faults + 1))
}

if ! cmake --install "$build_dir" --prefix "$prefix" >"$prefix.log" 2>&1; then
  cat "$prefix.log" >&2
  rm -f "$prefix.log"
  echo "FAULT: cmake --install failed" >&2
  exit 1
fi
rm -f "$prefix.log"

for program in "${programs[@]}"; do
  [ -x "$prefix/bin/$program" ] || fault "program $program is not installed in bin/"
done

entry="$prefix/share/applications/orvenda-updater.desktop"
if [ ! -f "$entry" ]; then
  fault "no desktop entry at share/applications/orvenda-updater.desktop"
elif ! command -v desktop-file-validate >/dev/null; then
  fault "desktop-file-validate is missing (scripts/install-deps.sh installs desktop-file-utils)"
else
  desktop-file-validate "$entry" || fault "the desktop entry does not validate"
  exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
  [ -x "$prefix/bin/$exec_name" ] || fault "the desktop entry starts '$exec_name', which is not installed"
  icon_name=$(sed -n 's/^Icon=//p' "$entry")
  [ "$icon_name" = orvenda-updater ] || fault "the desktop entry names the icon '$icon_name'"
fi

icon="$prefix/share/icons/hicolor/scalable/apps/orvenda-updater.svg"
if [ ! -f "$icon" ]; then
  fault "no icon at share/icons/hicolor/scalable/apps/orvenda-updater.svg"
else
  xmllint --noout "$icon" || fault "the icon is not well-formed XML"
  grep -q '<svg' "$icon" || fault "the icon is not an SVG image"
fi

manual="$prefix/share/man/man1/orvenda-update.1.gz"
if [ ! -f "$manual" ]; then
  fault "no manual page at share/man/man1/orvenda-update.1.gz"
else
  # groff reports every macro or escape it does not understand.
  warnings=$(gzip -dc "$manual" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fault "the manual page has faults: $warnings"
  text=$(gzip -dc "$manual" | groff -man -Tutf8 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g; s/.\x08//g')
  for word in firmware bios flash data search --serial --udp --udp-search --interface --range --usb --jobs --json --watchdog; do
    grep -qe "$word" <<<"$text" || fault "the manual page does not document '$word'"
  done
fi

[ "$faults" -eq 0 ] && echo "installed: ${programs[*]}, desktop entry, icon, manual page"
exit $(( faults > 0 ))
