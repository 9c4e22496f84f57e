#!/usr/bin/env bash
# Installs what is missing, builds, and starts the demo in the folder demo/:
# the simulated board behind COM1 (a link to its pseudo-terminal).
# - With a display, the updater's window starts and connects to COM1 at start.
#   The board stops when the window is closed and prints what it received.
# - Without one ($DISPLAY and $WAYLAND_DISPLAY unset), the command-line
#   updater sends an image the demo generates to the board, which reads the
#   line at 115200 baud so that the progress can be watched, and the demo checks that the board kept exactly that file.
# The board keeps what it receives in demo/board/.
set -euo pipefail
cd "$(dirname "$0")/.."
no_display=false
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then no_display=true; fi
scripts/install-deps.sh
scripts/build.sh
build_dir="$PWD/${BUILD_DIR:-build}"
updater="$build_dir/app/orvenda-updater"
command_line="$build_dir/cli/orvenda-update"
boardsim="$build_dir/tools/boardsim/boardsim"
ready_seconds=30
image_bytes=65536   # about six seconds at 115200 baud

pace=()
if $no_display; then pace=(--baud 115200); fi

mkdir -p demo/board
cd demo
# The demo starts from the same settings each time: a serial record for COM1
# at 115200 baud, 8 data bits, no parity, 1 stop bit.
printf '\000\000\006\003\000\000' > ZEVEVI.CFG

coproc BOARD { exec "$boardsim" --pty --link COM1 "${pace[@]}" --out board --transcript board/transcript.txt \
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

if ! $no_display; then
  "$updater"
  exit 0
fi

echo "No display: orvenda-update sends a generated firmware image over the link saved in ZEVEVI.CFG."
head -c "$image_bytes" /dev/urandom > app.hex
echo "+ orvenda-update firmware app.hex"
status=0
"$command_line" firmware app.hex || status=$?
if [ "$status" -ne 0 ]; then
  echo "demo: orvenda-update exited with status $status" >&2
  exit 1
fi
# The board writes what it received when its line has been quiet for a moment;
# on a busy machine that moment can come after the updater has ended. Its flush
# signal makes it write everything at once and say "flushed" when it is done.
kill -USR1 "$board_pid"
flushed=false
while IFS= read -r -t "$ready_seconds" line <&"${BOARD[0]}"; do
  if [ "$line" = flushed ]; then flushed=true; break; fi
done
if ! $flushed; then
  echo "demo: the simulated board did not write what it received" >&2
  exit 1
fi
if cmp -s app.hex board/burn0.bin; then
  echo "The board kept exactly app.hex as its firmware (demo/board/burn0.bin)."
else
  echo "demo: the board's burn0.bin differs from app.hex" >&2
  exit 1
fi
