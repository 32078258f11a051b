#!/usr/bin/env bash
# Builds everything and runs every test, three ways:
#   1. the build in build/ and its CTest suite, then the coverage of the device image by the
#      scenario table (tools/image-coverage.sh, build/image-coverage/index.html);
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
ctest --test-dir build --output-on-failure -j"$(nproc)"
tools/image-coverage.sh
$quick && exit 0

# -O1: the sanitized tests run nearly as fast as at -O2, and the build takes less time.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" \
  -DSANITIZE=ON -DBUILD_BENCHMARKS=OFF >/dev/null
cmake --build build-sanitize -j"$(nproc)"
(
  export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:print_stacktrace=1:exitcode=99
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=99
  ctest --test-dir build-sanitize --output-on-failure -j"$(nproc)"
)

tools/fuzz.sh "${FUZZ_SECONDS:-10}"
