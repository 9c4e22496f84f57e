#!/usr/bin/env bash
# check-install.sh BUILD_DIR PROGRAM...
# Installs BUILD_DIR into a fresh staging prefix and checks that the programs,
# the desktop entry (valid for desktop-file-validate), the icon and the manual
# pages are where a desktop and man look for them, and that the copyright file
# and the changelog are where Debian keeps them. Prints every fault found.
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

# A file that Debian packages carry compressed: present, and compressed with
# gzip -9n (no name, no time stamp), so that its bytes do not depend on the build.
check_compressed() {
  local file=$1
  if [ ! -f "$prefix/$file" ]; then
    fault "no $file"
    return 1
  fi
  gzip -dc "$prefix/$file" | gzip -9 -n -c | cmp -s - "$prefix/$file" || fault "$file is not compressed with gzip -9n"
}

# check_manual PAGE WORD...: the manual page of PAGE(1) reads cleanly and names every WORD.
check_manual() {
  local manual=share/man/man1/$1.1.gz
  shift
  check_compressed "$manual" || return
  # groff reports every macro or escape it does not understand.
  warnings=$(gzip -dc "$prefix/$manual" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fault "the manual page $manual has faults: $warnings"
  text=$(gzip -dc "$prefix/$manual" | groff -man -Tutf8 2>/dev/null | sed 's/\x1b\[[0-9;]*m//g; s/.\x08//g')
  for word in "$@"; do
    grep -qe "$word" <<<"$text" || fault "the manual page $manual does not document '$word'"
  done
}

check_manual orvenda-update firmware bios flash data search status history --serial --udp --udp-search --interface \
  --range --usb --jobs --json --watchdog --trace --retries --dry-run --yes --last --board --outcome --help-all --version
check_manual orvenda-updater "Open Firmware" "Open BIOS" "Open Flash Files" "Send Data File" "Configuration, RS232" \
  "Configuration, Network" Update Escape ZEVEVI.CFG "kB/s" "win error code" orvenda-update

docs=share/doc/orvenda-updater
copyright="$prefix/$docs/copyright"
if [ ! -f "$copyright" ]; then
  fault "no copyright file at $docs/copyright"
else
  # The machine-readable format: its header, then a Files paragraph and the license's text.
  [ "$(head -n 1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fault "the copyright file does not start with the machine-readable format's header"
  for field in "Upstream-Name: orvenda-updater" "Files: \*" "Copyright: .+" "License: .+"; do
    grep -qxE "$field" "$copyright" || fault "the copyright file has no line '$field'"
  done
fi

if check_compressed "$docs/changelog.gz"; then
  version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build_dir/CPackConfig.cmake")
  entry=$(gzip -dc "$prefix/$docs/changelog.gz" | head -n 1)
  [[ $entry == "orvenda-updater ($version) "* ]] ||
    fault "the changelog's latest entry is '$entry', not the package's version $version"
fi

[ "$faults" -eq 0 ] && echo "installed: ${programs[*]}, desktop entry, icon, manual pages, copyright, changelog"
exit $(( faults > 0 ))
