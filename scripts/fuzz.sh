#!/usr/bin/env bash
# Builds the libFuzzer harnesses (tests/fuzz) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each from its seed corpus.
#   scripts/fuzz.sh                a bounded number of runs of each (CI)
#   scripts/fuzz.sh --long [RUNS]  RUNS inputs of each (default 10 million);
#                                  each harness prints its rate (exec/s)
# The build goes to $BUILD_DIR (default build-fuzz). Inputs a harness finds new
# are kept in $BUILD_DIR/corpus/<harness> for the next run; an input that broke
# an invariant or tripped a sanitizer is saved in $BUILD_DIR/artifacts/ and the
# end of the harness's log is printed. Replay one with:
#   $BUILD_DIR/tests/fuzz/fuzz_<harness> <input file>
set -euo pipefail
cd "$(dirname "$0")/.."

brief_runs=20000
long_runs=10000000
# A single input that runs longer than this is reported as a hang.
hang_seconds=30

limit=(-runs="$brief_runs")
case "${1:-}" in
  "") ;;
  --long)
    long_runs="${2:-$long_runs}"
    if ! [[ "$long_runs" =~ ^[1-9][0-9]*$ ]]; then
      echo "fuzz: '$long_runs' is not a number of runs" >&2
      exit 2
    fi
    limit=(-runs="$long_runs")
    ;;
  *)
    echo "usage: scripts/fuzz.sh [--long [RUNS]]" >&2
    exit 2
    ;;
esac

# Each harness with the longest input worth trying on it.
harnesses=(
  "serial_answers 12000"  # receive events enough for frames of RxBuffer's size
  "network_answers 1100"  # about ten datagrams of up to 100 bytes
  "encoder 4096"
  "settings_file 64"      # records are 5 or 6 bytes
  "board_requests 4200"   # a few requests of up to 1032 bytes
)

scripts/install-deps.sh fuzz
build_dir="${BUILD_DIR:-build-fuzz}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DUPDATER_FUZZ=ON >/dev/null
cmake --build "$build_dir" --target fuzzers --parallel "$(nproc)"
mkdir -p "$build_dir/artifacts" "$build_dir/logs"

# libFuzzer's last status line and final statistics, in one line.
summarize() {
  local log=$1
  local status runs speed seed
  status=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' || true)
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  speed=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  seed=$(grep -oE 'Seed: [0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  echo "${runs:-?} runs, ${status:-no status}, ${speed:-?} exec/s, seed ${seed:-?}"
}

passed=0
failed=0
for entry in "${harnesses[@]}"; do
  read -r name max_len <<<"$entry"
  work="$build_dir/corpus/$name"
  log="$build_dir/logs/$name.log"
  mkdir -p "$work"
  echo "=== fuzz_$name"
  if "$build_dir/tests/fuzz/fuzz_$name" "${limit[@]}" -max_len="$max_len" -timeout="$hang_seconds" \
      -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$name-" \
      "$work" "tests/fuzz/corpus/$name" >"$log" 2>&1; then
    echo "fuzz_$name: $(summarize "$log")"
    passed=$((passed + 1))
  else
    tail -n 60 "$log"
    echo "fuzz_$name: FAILED (log: $log)"
    failed=$((failed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
