#!/bin/sh
# Builds and runs the image conversion benchmark (the linux-bench preset:
# Release, native), passing any arguments on to it, e.g.
# --benchmark_filter=Demosaic.
set -e
cd "$(dirname "$0")/.."
cmake --preset linux-bench >/dev/null
cmake --build --preset linux-bench -j 2 --target image_bench
exec build/linux-bench/bench/image_bench "$@"
