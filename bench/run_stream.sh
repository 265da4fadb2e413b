#!/usr/bin/env bash
# End to end on the simulator: `tarncam stream` (the release build, as
# scripts/run.sh builds it) takes full 752 x 480 frames back to back at 8
# and at 10 bits, and this prints for each depth
#   - frames delivered and lost, and failed reads, as the tool counts them;
#   - the frame rate beside what the simulated camera can deliver at that
#     exposure (its model's exposure + transfer time, bench/stream/frame_period)
#     and beside a client that waits on the completion semaphore instead of
#     polling (bench/stream/semaphore_stream);
#   - the library's processor time per frame, from the readout workers'
#     thread CPU clocks of the semaphore client (bench/stream/readout_cpu_probe.cpp,
#     loaded with LD_PRELOAD: client and library run unchanged), as a share of the
#     frame's USB 2.0 bus time at 53.248 MB/s; the simulator's rendering,
#     which runs inside the simulated bulk read, is shown apart.
#
#   bash bench/run_stream.sh [FRAMES] [EXPOSURE_MS]     (default 10000 frames, 0 ms)
#
# Runs take twice FRAMES times the frame period (10,000 frames: about 25
# minutes in all). Results go to build/bench-results/stream-*.
set -euo pipefail
cd "$(dirname "$0")/.."

frames=${1:-10000}
exposure=${2:-0}
bash scripts/setup.sh test
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release -j "${JOBS:-2}" \
  --target tarncam_cli readout_cpu_probe frame_period semaphore_stream >/dev/null
build=$(pwd)/build/linux-release
results=build/bench-results
mkdir -p "$results"

for bits in 8 10; do
  model=$("$build/bench/frame_period" "$exposure" "$bits")
  echo "=== ${bits}-bit: tarncam stream --simulator -n ${frames} -e ${exposure} -b ${bits}"
  "$build/tools/cli/tarncam" stream --simulator -n "$frames" -e "$exposure" -b "$bits" \
    >"$results/stream-${bits}.out" 2>&1 || { cat "$results/stream-${bits}.out" >&2; exit 1; }
  echo "tool:   $(tail -n 1 "$results/stream-${bits}.out")"
  # The same frames from a client of the exported functions that waits on
  # the completion semaphore: one readout worker per exposure, which the
  # probe times (the tool's camera keeps one worker for all its frames).
  LD_PRELOAD="$build/bench/libreadout_cpu_probe.so" \
    TARNCAM_PROBE_OUT="$results/stream-${bits}.probe" \
    TARNCAM_PROBE_CSV="$results/stream-${bits}.csv" \
    "$build/bench/semaphore_stream" "$frames" "$exposure" "$bits" >"$results/stream-${bits}.sem" 2>&1 ||
    { cat "$results/stream-${bits}.sem" >&2; exit 1; }
  echo "exports client on the semaphore: $(tail -n 1 "$results/stream-${bits}.sem")"
  echo "camera model: $model"
  cat "$results/stream-${bits}.probe"
  # Medians from the probe; the library's share of the bus time.
  awk -v model="$model" -v bits="$bits" '
    function field(name,   i, kv) {
      for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); if (kv[1] == name) return kv[2] }
    }
    BEGIN { n = split(model, pairs, " ") }
    /^elapsed real time/ { wall = 1 }
    /^library: deliver/ { deliver = $(NF - 3) }
    /^library: setup/ { setup = $(NF - 3) }
    /^library: worker start/ { start = $(NF - 3) }
    /^simulator: render/ { if (wall) renderWall = $(NF - 3); else render = $(NF - 3) }
    END {
      bus = field("bus_us")
      period = field("period_us")
      printf "library CPU per frame (medians): %s %.1f us = %.2f%% of the %.2f ms bus time;",
        (bits == 10 ? "copy + repack" : "copy"), deliver, 100 * deliver / bus, bus / 1000
      printf " with readout setup and worker start %.1f us = %.2f%%\n",
        deliver + setup + start, 100 * (deliver + setup + start) / bus
      printf "simulator rendering per frame (medians): %.0f us of CPU, %.0f us elapsed;", render, renderWall
      printf " the camera model with it: %.2f frames/s\n", 1e6 / (period + renderWall)
    }' "$results/stream-${bits}.probe"
  echo
done
