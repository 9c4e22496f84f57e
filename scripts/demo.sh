#!/usr/bin/env bash
# Installs what is missing, builds, and starts the updater in the folder demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
groups=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then groups+=(display); fi
scripts/install-deps.sh "${groups[@]}"
scripts/build.sh
updater="$PWD/build/app/orvenda-updater"
mkdir -p demo
cd demo
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: the updater runs on a virtual X display (xvfb-run)."
  exec xvfb-run -a "$updater"
fi
exec "$updater"
