#!/usr/bin/env bash
# Installs what the build needs, then builds everything into build/: cesim, the device image
# CardFolderUpdate.exe, the tests and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
