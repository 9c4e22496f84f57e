#!/usr/bin/env bash
# Configures and builds the project into $BUILD_DIR (default: build).
# Extra CMake arguments come from $CMAKE_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
