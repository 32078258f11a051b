#!/usr/bin/env bash
# Installs what the build needs, then builds everything into build/: cesim, the device images
# CardFolderUpdate.exe and DeviceSurvey.exe, the tests and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
