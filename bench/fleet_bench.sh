#!/usr/bin/env bash
# cesim fleet on a generated fleet of 10,000 devices, natively and with the device image, beside a
# shell loop that runs `cesim --image` once per device (timed on a sample and scaled to the fleet),
# all in one run so that the figures share the machine's load. Prints wall and CPU time, devices
# per second and the peak resident memory of each.
#
#   bench/fleet_bench.sh [DEVICES [SAMPLE [JOBS]]]   defaults: 10000 200 2
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
devices="${1:-10000}" sample="${2:-200}" jobs="${3:-2}"
cesim="$repo/build/cesim" image="$repo/build/CardFolderUpdate.exe"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 "$repo/tools/make-fleet.py" "$repo/device/default.reg" "$work/fleet" "$devices"

# "wall user system peak-KiB" of a command, its output discarded.
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >"$work/out" 2>&1 || [ $? -eq 1 ]
  tail -n 1 "$work/time"  # after "Command exited with non-zero status 1"
}

row() {  # name, devices run, measured devices, "wall user system peak"
  read -r wall user system peak <<<"$4"
  awk -v name="$1" -v n="$2" -v m="$3" -v wall="$wall" -v cpu="$(echo "$user + $system" | bc)" \
      -v peak="$peak" 'BEGIN {
    scale = n / m
    printf "%-34s %7d %9.2f %9.2f %10.0f %8.1f\n", name, n, wall * scale, cpu * scale, n / (wall * scale), peak / 1024
  }'
}

native="$(measure "$cesim" fleet --jobs "$jobs" --json "$work/native.jsonl" "$work/fleet")"
emulated="$(measure "$cesim" fleet --image "$image" --jobs "$jobs" --json "$work/image.jsonl" "$work/fleet")"
cmp -s "$work/native.jsonl" "$work/image.jsonl" || { echo "native and emulated reports differ" >&2; exit 1; }

# The loop runs on copies of the sample: a single run saves the registry file it is given.
mkdir -p "$work/sample"
find "$work/fleet" -name rom.bin -printf '%h\n' | sort | sed -n "1,${sample}p" | while read -r d; do
  mkdir -p "$work/sample/${d#"$work/fleet/"}" && cp "$d"/* "$work/sample/${d#"$work/fleet/"}"
done
cat >"$work/loop.sh" <<LOOP
for d in \$(find "$work/sample" -name rom.bin -printf '%h\n' | sort); do
  "$cesim" --image "$image" --answer no --registry "\$d/registry.reg" --rom-block "\$d/rom.bin" >"$work/loop.out" || true
done
LOOP
loop="$(measure bash "$work/loop.sh")"

printf "%-34s %7s %9s %9s %10s %8s\n" "" devices "wall s" "CPU s" devices/s "peak MB"
row "cesim fleet, native, --jobs $jobs" "$devices" "$devices" "$native"
row "cesim fleet --image, --jobs $jobs" "$devices" "$devices" "$emulated"
row "cesim --image per device (scaled)" "$devices" "$sample" "$loop"
read -r fleet_wall _ <<<"$emulated"
read -r loop_wall _ <<<"$loop"
awk -v f="$fleet_wall" -v l="$loop_wall" -v n="$devices" -v m="$sample" \
  'BEGIN { printf "the loop takes %.0f times as long as cesim fleet --image\n", l * n / m / f }'
