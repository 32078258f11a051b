#!/usr/bin/env bash
# A whole cesim process, start to end, natively and with --image, side by side: PAIRS pairs run in
# turn (so both see the same machine load), each timed from fork to exit; prints the medians and
# their ratio. The runs answer No and use the built-in registry, so nothing is written.
#
#   bench/startup.sh [PAIRS]      PAIRS defaults to 15; needs build/cesim and the device image
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
pairs="${1:-15}"
cesim="$repo/build/cesim"
image="$repo/build/CardFolderUpdate.exe"

python3 - "$pairs" "$cesim" "$image" <<'PYTHON'
import statistics, subprocess, sys, time

pairs, cesim, image = int(sys.argv[1]), sys.argv[2], sys.argv[3]
runs = {"native": [cesim, "--answer", "no"], "--image": [cesim, "--image", image, "--answer", "no"]}
times = {name: [] for name in runs}
for _ in range(pairs):
    for name, arguments in runs.items():
        start = time.perf_counter()
        subprocess.run(arguments, capture_output=True, check=True)
        times[name].append(time.perf_counter() - start)
native, emulated = (statistics.median(times[name]) * 1000 for name in runs)
print(f"{pairs} pairs, medians: native {native:.1f} ms, --image {emulated:.1f} ms, "
      f"ratio {emulated / native:.2f}")
PYTHON
