#!/usr/bin/env bash
# Builds the Debian package of the updater into $BUILD_DIR (default:
# build-package): a release build with Debian's hardening flags, installed under
# /usr, with dependencies on the Qt runtime packages the programs need, and
# checked by lintian. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
build_dir="${BUILD_DIR:-build-package}"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
# Debian's hardening: fortified library calls, stack protection, relocations
# read-only and bound at start.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
hardening=(-DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
           -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)")
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${hardening[@]}" "${launcher[@]}" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
(cd "$build_dir" && cpack -G DEB >/dev/null)
package=$(ls "$build_dir"/orvenda-updater_*.deb)
# Debian's checks: an error fails the build; warnings and notes are shown.
lintian --fail-on error "$package" >&2
echo "$package"
