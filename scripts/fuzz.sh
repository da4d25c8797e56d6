#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time,
# starting from the seed corpus in tests/fuzz-corpus/<target>/. Fails on any finding; prints the
# executions of each target.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#   scripts/fuzz.sh --campaign [minutes-per-target] [target...]
#
# Seconds default to $FUZZ_SECONDS or 60. Targets: regfile hive census keyfile pages export.
# Each target runs as $FUZZ_WORKERS processes at once (default: one per processor) that share
# its corpus; the executions printed are theirs together.
# A campaign (minutes default to 2) keeps its corpus in build/fuzz/campaign/<target>/ from one
# campaign to the next and writes its summary to build/fuzz/campaign/summary.txt.
# Findings (the input that broke a property or tripped a sanitizer) are kept in
# build/fuzz/artifacts/<target>/; the grown corpus in build/fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
corpora="$build/corpus"
if [[ "${1:-}" == "--campaign" ]]; then
  shift
  seconds=$((${1:-2} * 60))
  corpora="$build/campaign"
else
  seconds="${1:-${FUZZ_SECONDS:-60}}"
fi
shift || true
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(regfile hive census keyfile pages export)
fi

source scripts/install-missing.sh
install_missing clang-14 libclang-rt-14-dev cmake nlohmann-json3-dev

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
workers="${FUZZ_WORKERS:-$(nproc)}"
failed=()
summary=()
for t in "${targets[@]}"; do
  corpus="$corpora/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  cp -n tests/fuzz-corpus/"$t"/* "$corpus"/ 2>/dev/null || true
  echo "== fuzz_$t: ${seconds}s, $workers worker(s)"
  # The workers pick up each other's new inputs from the shared corpus as they go.
  pids=()
  for ((w = 1; w <= workers; w++)); do
    "$build/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" >"$build/$t.$w.log" 2>&1 &
    pids+=($!)
  done
  runs=0
  status=0
  for ((w = 1; w <= workers; w++)); do
    worker=0
    wait "${pids[w - 1]}" || worker=$?
    log="$build/$t.$w.log"
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    runs=$((runs + ${n:-0}))
    if ((worker != 0)); then
      status=$worker
      grep -aE "FINDING|ERROR|SUMMARY|Test unit written" "$log" | head -20 || true
    fi
  done
  summary+=("fuzz_$t: $runs executions in ${seconds}s ($((runs / seconds))/s; $workers worker(s), $((runs / seconds / workers))/s each), exit $status")
  if ((status != 0)); then
    failed+=("$t")
  fi
done

printf '%s\n' "${summary[@]}"
if [[ "$corpora" == "$build/campaign" ]]; then
  printf '%s\n' "${summary[@]}" >"$corpora/summary.txt"
fi
if ((${#failed[@]})); then
  echo "fuzz findings in: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "no findings"
