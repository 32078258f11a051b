#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang into build-fuzz/ and runs each for a while.
#
#   tools/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default: 60 seconds, every target)
#
# Each target runs on its working corpus build-fuzz/corpus/<target>, seeded from the repository's
# fuzz/corpus/<target> (which is only read). Prints one line per target; on a finding it stops
# with a non-zero status, naming the target and the input that shows it.
#
# The mutations start from seed FUZZ_SEED (default 1), so a run with the same corpus walks the
# same inputs and the test suite's result is repeatable; FUZZ_SEED=0 lets libFuzzer pick a new
# seed each run, which is what a search for new findings wants.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(rom_language_fuzzer registry_fuzzer res_fuzzer image_loader_fuzzer emulator_fuzzer
  elf_reader_fuzzer gdb_protocol_fuzzer)
seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2
  exit 2
fi
seed=${FUZZ_SEED:-1}
if ! [[ $seed =~ ^[0-9]+$ ]] || ((${#seed} > 9)); then
  echo "$0: FUZZ_SEED must be a number from 0 to 999999999, not '$seed'" >&2
  exit 2
fi
(($# > 0)) && shift
targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
for target in "${targets[@]}"; do
  if [[ " ${all_targets[*]} " != *" $target "* ]]; then
    echo "unknown target $target; the targets are: ${all_targets[*]}" >&2
    exit 2
  fi
done

build="build-fuzz"
cmake --preset fuzz --no-warn-unused-cli >/dev/null  # clang, libFuzzer; see CMakePresets.json
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}" >/dev/null

# run_target TARGET: fuzzes TARGET for $seconds; prints its summary line or reports the finding.
run_target() {
  local target=$1
  local corpus=$build/corpus/$target artifacts=$build/artifacts/$target/ log=$build/logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  local status=0
  "$build/fuzz/$target" "$corpus" -max_total_time="$seconds" -seed="$seed" -timeout=5 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts" </dev/null >"$log" 2>&1 || status=$?
  if ((status != 0)); then
    local input
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    echo "$target: FINDING (exit status $status), input ${input:-not written}; log $log" >&2
    grep -m 12 -E 'ERROR|SUMMARY|runtime error|#[0-9]+ 0x[0-9a-f]+ in [^ ]+ /' "$log" >&2 || true
    exit 1
  fi
  local executions
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  printf '%-20s %10s executions %5s s %6s corpus files  no finding\n' "$target" \
    "${executions:-?}" "$seconds" "$(find "$corpus" -type f | wc -l)"
}

for target in "${targets[@]}"; do
  run_target "$target"
done
