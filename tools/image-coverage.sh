#!/usr/bin/env bash
# Coverage of the device image: runs the scenario table on the emulated image (each run writes an
# lcov tracefile through cesim --coverage), merges the tracefiles with lcov and draws the page
# with genhtml into build/image-coverage/index.html. Expects a finished build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/image-coverage
runs=$out/runs
rm -rf "$out"
mkdir -p "$runs"
IMAGE_COVERAGE_DIR=$runs build/tests/scenario_tests \
  --gtest_filter='ImageCoverage.TheScenarioTableExecutesEveryInstructionOfTheImage' >"$out/runs.log" ||
  {
    cat "$out/runs.log" >&2
    exit 1
  }
merge=()
for tracefile in "$runs"/*.info; do merge+=(-a "$tracefile"); done
lcov -q --rc lcov_branch_coverage=1 "${merge[@]}" -o "$out/image.info"
genhtml -q --rc lcov_branch_coverage=1 --title "CardFolderUpdate.exe under cesim" \
  -o "$out" "$out/image.info"
summary=$(lcov --rc lcov_branch_coverage=1 --summary "$out/image.info" 2>&1)
lines=$(sed -n 's/^ *lines\.*: //p' <<<"$summary")
branches=$(sed -n 's/^ *branches\.*: //p' <<<"$summary")
instructions=$(sed -n 's/^image coverage: \([0-9]* of [0-9]*\) .*/\1/p' "$runs/instructions.txt")
echo "image coverage: lines $lines, branches $branches, instructions $instructions;" \
  "$out/index.html"
