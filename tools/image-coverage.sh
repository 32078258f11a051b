#!/usr/bin/env bash
# Coverage of the device images: runs the update's scenario table on its emulated image (each run
# writes an lcov tracefile through cesim --coverage) and the survey's scenario table on its image
# (in process), merges each image's tracefiles with lcov and draws the pages with genhtml into
# build/image-coverage/index.html and build/image-coverage/survey/index.html. Expects a finished
# build in build/.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/image-coverage
runs=$out/runs
rm -rf "$out"
mkdir -p "$runs"

# run_table LOG TEST FILTER: runs one coverage test with its tracefiles kept in $runs.
run_table() {
  IMAGE_COVERAGE_DIR=$runs "$2" --gtest_filter="$3" >"$out/$1.log" || {
    cat "$out/$1.log" >&2
    exit 1
  }
}
run_table runs build/tests/scenario_tests \
  'ImageCoverage.TheScenarioTableExecutesEveryInstructionOfTheImage'
run_table survey_runs build/tests/survey_round_trip_tests \
  'SurveyCoverage.TheScenariosExecuteEveryInstructionASimulatedDeviceCanReach'

# page TITLE FOLDER TRACEFILE...: merges the tracefiles into FOLDER/image.info, draws the page and
# prints lcov's line and branch figures.
page() {
  local title="$1" folder="$2"
  shift 2
  local merge=()
  for tracefile in "$@"; do merge+=(-a "$tracefile"); done
  mkdir -p "$folder"
  lcov -q --rc lcov_branch_coverage=1 "${merge[@]}" -o "$folder/image.info"
  genhtml -q --rc lcov_branch_coverage=1 --title "$title" -o "$folder" "$folder/image.info"
  local summary
  summary=$(lcov --rc lcov_branch_coverage=1 --summary "$folder/image.info" 2>&1)
  echo "lines $(sed -n 's/^ *lines\.*: //p' <<<"$summary")," \
    "branches $(sed -n 's/^ *branches\.*: //p' <<<"$summary")"
}

update_runs=()
for tracefile in "$runs"/*.info; do
  [[ "$(basename "$tracefile")" == survey_* ]] || update_runs+=("$tracefile")
done
figures=$(page "CardFolderUpdate.exe under cesim" "$out" "${update_runs[@]}")
instructions=$(sed -n 's/^image coverage: \([0-9]* of [0-9]*\) .*/\1/p' "$runs/instructions.txt")
echo "image coverage: $figures, instructions $instructions; $out/index.html"

figures=$(page "DeviceSurvey.exe under cesim" "$out/survey" "$runs"/survey_*.info)
instructions=$(sed -n 's/^survey image coverage: \([0-9]* of [0-9]*\) instructions executed, \([0-9]*\) .*/\1 (\2 unreachable)/p' \
  "$runs/survey_instructions.txt")
echo "survey image coverage: $figures, instructions $instructions; $out/survey/index.html"
