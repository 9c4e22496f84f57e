#!/usr/bin/env bash
# Makes Qt for Windows (x86-64, built with MinGW-w64) available to the Windows build and prints its folder:
# $QT_MINGW_DIR when set, else ${XDG_CACHE_HOME:-~/.cache}/orvenda/qt-6.4.2-mingw-x86_64. A folder that holds
# Qt already is used as it is. Otherwise Qt is unpacked from the cached build beside the project,
# ../shared/windows/qt-6.4.2-mingw-x86_64.tar.xz, when there is one; else it is built from Debian's own
# qt6-base source (apt-get source: apt's sources need deb-src entries), which takes about 40 minutes of two
# cores. Debian packages no Qt for MinGW; its host tools (moc, rcc) serve the cross build, so the source is
# the very version of the installed qt6-base-dev-tools. Progress goes to stderr, the folder alone to stdout.
# Needs what scripts/install-deps.sh windows installs.
set -euo pipefail
cd "$(dirname "$0")/.."

qt_version=6.4.2
name="qt-$qt_version-mingw-x86_64"
qt_dir="${QT_MINGW_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/orvenda/$name}"
archive="../shared/windows/$name.tar.xz"
toolchain="$PWD/cmake/mingw-w64-x86_64.cmake"
# Filled in a folder of its own and moved into place once complete, so that an interrupted run leaves no
# half Qt that a later run would take for a whole one (Qt's installation is relocatable).
partial="$qt_dir.partial"

die() { echo "windows-qt: $*" >&2; exit 1; }

unpack() {
  echo "windows-qt: unpacking $archive into $qt_dir" >&2
  tar -C "$partial" --strip-components=1 -xJf "$archive"
}

# The configuration of the cached build: shared and release; no SQL, D-Bus, printing, Vulkan or Concurrent,
# which the updater does not use; desktop OpenGL, without which the windows platform plugin of 6.4.2 does not
# compile; no tablet events, whose header (wintab.h) Debian's source lacks.
build_from_source() {
  local host_version work source
  host_version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools 2>/dev/null) ||
    die "qt6-base-dev-tools is missing; scripts/install-deps.sh windows installs it"
  [[ $host_version == "$qt_version"+* ]] ||
    die "the host tools are Qt $host_version, this build wants $qt_version"
  work=$(mktemp -d)
  # shellcheck disable=SC2064
  trap "rm -rf '$work'" EXIT
  echo "windows-qt: no $archive; building Qt $host_version for MinGW from Debian's source (about 40 minutes)" >&2
  (cd "$work" && apt-get source -qq "qt6-base=$host_version") >&2 ||
    die "apt-get source qt6-base failed: apt's sources need deb-src entries (then apt-get update)"
  source=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
  # Qt's own toolchain file loads this one again by its place inside the installation: it goes there first.
  cp "$toolchain" "$partial/mingw-w64-x86_64.cmake"
  cmake -G Ninja -S "$source" -B "$work/build" \
    -DCMAKE_TOOLCHAIN_FILE="$partial/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$partial" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF -DFEATURE_vulkan=OFF \
    -DFEATURE_concurrent=OFF -DFEATURE_opengl=ON -DINPUT_opengl=desktop -DFEATURE_tabletevent=OFF >&2
  cmake --build "$work/build" --parallel "$(nproc)" >&2
  cmake --install "$work/build" >&2
}

if [ ! -x "$qt_dir/bin/qt-cmake" ]; then
  rm -rf "$partial"
  mkdir -p "$partial"
  if [ -f "$archive" ]; then unpack; else build_from_source; fi
  rm -rf "$qt_dir"
  mv "$partial" "$qt_dir"
fi
echo "$qt_dir"
