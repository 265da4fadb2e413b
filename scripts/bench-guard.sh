#!/usr/bin/env bash
# CI guard against a slow image output: times the release library
# (build/linux-release/libtarncam.so, what scripts/run.sh builds) through its
# exports on a full frame, each operation beside memcpy of the same output
# bytes in the same run, and fails
#   - when any operation takes more than twice its target ratio
#     (TARNCAM_GUARD_FACTOR, default 2), and
#   - when debayerImage takes more than half as long as OpenCV's bilinear
#     demosaic of the same mosaic (TARNCAM_GUARD_OPENCV_SHARE, default 0.5;
#     it runs at about a quarter).
# Ratios measured in one run hold steady on a busy machine, and both limits
# leave room for it. The second catches a demosaic built without its
# optimisations (about 0.9 of OpenCV's time) every time; twice the ratio
# target (6.0) alone sits right at such a build's 6.0 to 6.5.
#
#   bash scripts/bench-guard.sh      (scripts/test-all.sh runs it after the tests)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${JOBS:-2}" --target client_bench >/dev/null
echo "=== performance guard: linux-release libtarncam.so through its exports"
if ! build/linux-release/bench/client_bench --reps 21 --fail-over "${TARNCAM_GUARD_FACTOR:-2}" \
  --opencv-share "${TARNCAM_GUARD_OPENCV_SHARE:-0.5}"; then
  echo "bench-guard: the image output is too slow (see above)" >&2
  exit 1
fi
