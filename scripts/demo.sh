#!/usr/bin/env bash
# Installs what is missing, builds, and starts the demo in the folder demo/:
# the simulated board behind COM1 (a link to its pseudo-terminal), then the
# updater, which connects to COM1 at start. The board stops when the updater
# ends and prints what it received; it keeps the files in demo/board/.
set -euo pipefail
cd "$(dirname "$0")/.."
no_display=false
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then no_display=true; fi
groups=()
if $no_display; then groups+=(display); fi
scripts/install-deps.sh "${groups[@]}"
scripts/build.sh
build_dir="$PWD/${BUILD_DIR:-build}"
updater="$build_dir/app/orvenda-updater"
boardsim="$build_dir/tools/boardsim/boardsim"
ready_seconds=30

mkdir -p demo/board
cd demo
# The demo starts from the same settings each time: a serial record for COM1
# at 115200 baud, 8 data bits, no parity, 1 stop bit.
printf '\000\000\006\003\000\000' > ZEVEVI.CFG

coproc BOARD { exec "$boardsim" --pty --link COM1 --out board --transcript board/transcript.txt \
  --summary board/summary.txt; }
board_pid=$BOARD_PID
stop_board() {
  kill -TERM "$board_pid" 2>/dev/null || true
  wait "$board_pid" 2>/dev/null || true
}
trap stop_board EXIT

while IFS= read -r -t "$ready_seconds" line <&"${BOARD[0]}"; do
  case "$line" in
    "pty: "*) echo "Simulated board on ${line#pty: }, linked as demo/COM1." ;;
    ready) break ;;
  esac
done
if [ "${line:-}" != ready ]; then
  echo "demo: the simulated board did not start" >&2
  exit 1
fi
echo "The board keeps what it receives in demo/board/ (burn0.bin, burn1.bin, flash/, data/)."

if $no_display; then
  echo "No display: the updater runs on a virtual X display (xvfb-run)."
  xvfb-run -a "$updater"
else
  "$updater"
fi
