#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks, and runs them: the updater's
# real transfers to the simulated board against the links' own limits, one
# line per figure (the figure, its limit, the ratio, the goal). The figures are
# printed, not judged. Takes about a minute once built.
#   scripts/bench.sh                   every benchmark
#   scripts/bench.sh network memory    only these (paced, unpaced, network, memory, boards)
set -euo pipefail
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
