#!/usr/bin/env bash
# Builds the Debian package twice, each time from an empty build folder of
# another name, and checks that both builds give the same bytes
# (scripts/package.sh). Neither takes the compiler's cache: each compiles
# every file itself.
set -euo pipefail
export CCACHE_DISABLE=1
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-package}"
kept=$(mktemp -d)
trap 'rm -rf "$kept"' EXIT
rm -rf "$build_dir"
first=$(BUILD_DIR="$build_dir" scripts/package.sh)
cp "$first" "$kept/"
rm -rf "$build_dir"
other_dir="$build_dir-again"
trap 'rm -rf "$kept" "$other_dir"' EXIT
rm -rf "$other_dir"
second=$(BUILD_DIR="$other_dir" scripts/package.sh)
if ! cmp "$kept/$(basename "$first")" "$second"; then
  echo "check-package: two builds of the package differ" >&2
  exit 1
fi
echo "check-package: two builds gave the same $(basename "$second")"
