#!/usr/bin/env bash
# Builds everything and runs every test: the native library in an optimised
# build, under AddressSanitizer+UBSan and under ThreadSanitizer, and the
# 32-bit Windows DLL (cross-built, checked and run under Wine); then every
# fuzz target briefly (FUZZ_SECONDS each, default 10; 0 skips them).
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
fuzz_seconds=${FUZZ_SECONDS:-10}
if [ "$fuzz_seconds" != 0 ]; then
  echo "=== linux-fuzz: configure and build"
  cmake --preset linux-fuzz >/dev/null
  cmake --build --preset linux-fuzz -j "$jobs"
  echo "=== linux-fuzz: ${fuzz_seconds} s per target"
  bash fuzz/run_fuzzers.sh "$fuzz_seconds"
fi
echo "=== all presets passed in $(( $(date +%s) - start )) s: ${presets[*]}"
