#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
set -euo pipefail
packages=(
  cmake make g++ clang lld llvm clang-format
  libclang-rt-14-dev  # the sanitizers' and libFuzzer's run-time libraries (tools/fuzz.sh)
  googletest libgtest-dev libbenchmark-dev
  python3 python3-pefile
  libunicorn-dev
  libcli11-dev  # cesim's command line
  nlohmann-json3-dev  # the JSON form of the trace and the fleet report
  pkg-config libdw-dev libcapstone-dev  # the image's symbols and line table; disassembly
  gdb-multiarch lcov                    # debugging and coverage of the image under cesim
  libutfcpp-dev  # UTF-8 and UTF-16 conversion of registry files
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
