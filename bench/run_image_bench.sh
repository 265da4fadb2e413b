#!/bin/sh
# Builds and runs the image conversion benchmark (Release, native), passing
# any arguments on to it, e.g. --benchmark_filter=Demosaic.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARNCAM_BUILD_BENCH=ON \
  -DTARNCAM_BUILD_TESTS=OFF >/dev/null
ninja -C build/bench -j2 image_bench
exec build/bench/bench/image_bench "$@"
