#!/usr/bin/env bash
# Builds everything and runs every test: the native library in an optimised
# build, under AddressSanitizer+UBSan and under ThreadSanitizer, and the
# 32-bit Windows DLL (cross-built, checked and run under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=${JOBS:-$(nproc)}
presets=(${PRESETS:-linux-release linux-asan linux-tsan mingw-i686})
start=$(date +%s)
for preset in "${presets[@]}"; do
  echo "=== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "=== ${preset}: test"
  ctest --preset "$preset" -j "$jobs"
done
echo "=== all presets passed in $(( $(date +%s) - start )) s: ${presets[*]}"
# A step of its own after the tests: the release library's image output
# against its speed targets (scripts/bench-guard.sh).
if [[ " ${presets[*]} " == *" linux-release "* ]]; then
  bash scripts/bench-guard.sh
fi
