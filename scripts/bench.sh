#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks, and runs them: the updater's
# real transfers to the simulated board against the links' own limits, one
# line per figure (the figure, its limit, the ratio, the goal). The figures are
# printed, not judged. Takes a few minutes once built; run it on an idle machine.
#   scripts/bench.sh                   every benchmark
#   scripts/bench.sh network memory    only these:
#     paced     serial at 115200 and 921600 baud against the line rate; CPU per second
#     unpaced   serial without pacing against one-byte pseudo-terminal writes, in rounds
#     network   UDP on loopback against a datagram ping-pong and the board's ceiling,
#               on two cores and on one
#     memory    the peak memory a 64 MiB image adds over a 1 MiB one
#     boards    orvenda-update on 1, 8, 64, 256 and 1024 boards: time, peak memory, CPU per block
#     switch    the scheduler that runs the boards: CPU per wait of 256 boards' tasks on one thread
#   scripts/bench.sh --help            this text
set -euo pipefail
if [[ "${1:-}" == "--help" || "${1:-}" == "-h" ]]; then
  sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'
  exit 0
fi
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"
scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" >/dev/null
build_log="$build_dir/bench-build.log"
targets=(updater_bench boardsim)
# The command-line updater, which the boards benchmark runs, once the tree has it.
if cmake --build "$build_dir" --target help 2>/dev/null | grep '^orvenda-update:' >/dev/null; then
  targets+=(orvenda-update)
fi
if ! cmake --build "$build_dir" --parallel "$(nproc)" --target "${targets[@]}" >"$build_log" 2>&1; then
  cat "$build_log" >&2
  exit 1
fi
# The board's summaries and the toolkit's notes go to a log, so that standard
# output holds the figures alone.
messages="$build_dir/bench-messages.log"
status=0
"$build_dir/bench/updater_bench" "$@" 2>"$messages" || status=$?
echo "(messages of the updater and the simulated board: $messages)"
exit "$status"
