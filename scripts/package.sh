#!/usr/bin/env bash
# Builds the Debian package of the updater into $BUILD_DIR (default:
# build-package) and prints its path: a release build of the two programs
# only, with Debian's hardening flags, installed under /usr, with dependencies
# on the Qt runtime packages the programs need, and checked by lintian when it
# is installed. Needs no root: what is missing is named, not installed
# (scripts/install-deps.sh package installs it).
#
# Two runs give the same .deb byte for byte: every time in the package is the
# changelog's date (SOURCE_DATE_EPOCH), and Debian's build flags keep the
# source folder's path out of the programs.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-package}"

for tool in cmake cpack dpkg-buildflags dpkg-parsechangelog dpkg-shlibdeps; do
  if ! command -v "$tool" >/dev/null; then
    echo "package: $tool is missing; scripts/install-deps.sh package installs it" >&2
    exit 1
  fi
done

SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l packaging/changelog -S Timestamp)
export SOURCE_DATE_EPOCH

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# Debian's hardening: fortified library calls, stack protection, relocations
# read-only and bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
hardening=(-DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
           -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)")
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_TESTS=OFF \
  "${hardening[@]}" "${launcher[@]}" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" >&2
rm -f "$build_dir"/orvenda-updater_*.deb
(cd "$build_dir" && cpack -G DEB >/dev/null)
package=$(ls "$build_dir"/orvenda-updater_*.deb)
# Debian's checks: an error or a warning fails the build; notes are shown.
if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$package" >&2
else
  echo "package: lintian is not installed, the package is not checked (scripts/install-deps.sh package)" >&2
fi
echo "$package"
