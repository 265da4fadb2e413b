#!/usr/bin/env bash
# CI guard against a slow image output: times the release library
# (build/linux-release/libtarncam.so, what scripts/run.sh builds) through its
# exports on a full frame, each operation beside memcpy of the same output
# bytes in the same run, and fails when any operation takes more than twice
# its target ratio. The ratios, paired per repetition, hold steady on a busy
# machine; twice the target leaves room for that and still catches a loss
# like that of a kernel built without its optimisations (three to four times).
#
#   bash scripts/bench-guard.sh      (scripts/test-all.sh runs it after the tests)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${JOBS:-2}" --target client_bench >/dev/null
echo "=== performance guard: linux-release libtarncam.so through its exports"
if ! build/linux-release/bench/client_bench --reps 21 --fail-over 2; then
  echo "bench-guard: an image operation is over twice its target ratio (see above)" >&2
  exit 1
fi
