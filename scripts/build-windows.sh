#!/usr/bin/env bash
# Cross-builds the updater for Windows x86-64 (release) into $BUILD_DIR (default: build-win) with MinGW-w64
# and Qt for MinGW (scripts/windows-qt.sh), then packs the window (orvenda-updater.exe) and the command line
# (orvenda-update.exe) with the libraries they load into one folder, as a zip and as an NSIS installer, in
# $BUILD_DIR/package/. The installer puts the folder under Program Files, with a Start menu entry for the
# window and an uninstaller. Extra CMake arguments come from $CMAKE_ARGS.
#   scripts/build-windows.sh               build, and pack the programs
#   scripts/build-windows.sh --build-only  build only (scripts/test-windows.sh)
# Needs what scripts/install-deps.sh windows installs.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-win}"
mode="${1:---package}"
case "$mode" in
  --package | --build-only) ;;
  *) echo "build-windows: unknown option '$mode'" >&2; exit 2 ;;
esac

qt_dir=$(scripts/windows-qt.sh)
# qt-cmake names Qt's toolchain file, which a configured build folder no longer reads.
# shellcheck disable=SC2086
"$qt_dir/bin/qt-cmake" --no-warn-unused-cli -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
[ "$mode" = --build-only ] && exit 0
cached() { sed -n "s/^$1:[A-Z]*=//p" "$build_dir/CMakeCache.txt"; }
version=$(cached CMAKE_PROJECT_VERSION)
strip=$(cached CMAKE_STRIP)

# The uninstaller's commands for the files and folders of a program folder, deepest folders last.
# $INSTDIR is NSIS's, for makensis to read.
# shellcheck disable=SC2016
uninstall_commands() {
  (cd "$1" &&
    find . -type f | sort | sed 's|^\./||; s|/|\\|g; s|.*|Delete "$INSTDIR\\&"|' &&
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|RMDir "$INSTDIR\\&"|')
}

# Installs the build into <out>/<name>, and packs that folder as <out>/<name>.zip and <out>/<name>-setup.exe.
pack() {
  local out name="$2"
  out=$(realpath -m "$1")
  local folder="$out/$name"
  rm -rf "$out"
  cmake --install "$build_dir" --prefix "$folder" --strip >/dev/null
  # The libraries come with their symbols (libstdc++'s weigh 20 MB), which nothing on Windows reads.
  "$strip" --strip-unneeded "$folder"/*.dll "$folder"/platforms/*.dll
  (cd "$out" && zip -q -r -X "$name.zip" "$name")
  uninstall_commands "$folder" >"$out/uninstall-files.nsh"
  makensis -V2 -DVERSION="$version" -DSOURCE="$folder" -DFILES="$out/uninstall-files.nsh" \
    -DOUTFILE="$out/$name-setup.exe" packaging/orvenda-updater.nsi >&2
  echo "build-windows: $out/$name.zip"
  echo "build-windows: $out/$name-setup.exe"
}

pack "$build_dir/package" "orvenda-updater-$version-windows-x86_64"
