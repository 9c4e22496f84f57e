#!/usr/bin/env bash
# Builds the Debian package of the updater into $BUILD_DIR (default:
# build-package): a release build, installed under /usr, with dependencies on
# the Qt runtime packages the programs need. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
build_dir="${BUILD_DIR:-build-package}"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
(cd "$build_dir" && cpack -G DEB >/dev/null)
ls "$build_dir"/orvenda-updater_*.deb
