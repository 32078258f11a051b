#!/usr/bin/env bash
# Builds everything and runs every test, three ways:
#   1. the build in build/ and its CTest suite;
#   2. the host programs and tests again in build-sanitize/, with AddressSanitizer and
#      UndefinedBehaviorSanitizer: any finding (memory error, leak, undefined behaviour) ends the
#      process that made it with exit status 99 and fails its test;
#   3. every fuzz target for a short while (tools/fuzz.sh, FUZZ_SECONDS each, default 10).
# tools/test.sh --quick stops after the first.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=false
case "${1:-}" in
  --quick) quick=true ;;
  "") ;;
  *)
    echo "usage: $0 [--quick]" >&2
    exit 2
    ;;
esac

tools/build.sh
ctest --preset release -j"$(nproc)"
$quick && exit 0

# The sanitize preset builds at -O1: the sanitized tests run nearly as fast as at -O2, and the
# build takes less time. Its test preset sets the sanitizers' options.
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j"$(nproc)"
ctest --preset sanitize -j"$(nproc)"

tools/fuzz.sh "${FUZZ_SECONDS:-10}"
