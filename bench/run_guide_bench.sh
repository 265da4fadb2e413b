#!/usr/bin/env bash
# Guide-grade timing, measured: bench/guide_bench (the camera API on the
# simulated camera), then the INDI driver in simulation under a local
# indiserver, seen by indi_probe (tests/indi), a client on libindi:
#   - a guide property set to Busy (the driver answers Busy once the camera
#     has taken the pulse, so this bounds request-to-wire from above), and
#     Busy to Idle against the pulse length;
#   - the exposure request to the FITS blob at the client, less the
#     exposure time.
# Usage: bench/run_guide_bench.sh [BUILD_DIR] (default build/linux-release);
# REPEAT=N rounds each (default 5). Numbers are medians, in milliseconds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/linux-release}
repeat=${REPEAT:-5}
"$build/bench/guide_bench" 200

work=$(mktemp -d)
port=$((18000 + RANDOM % 2000))
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
HOME=$work indiserver -p "$port" -u "$work/sock" "$build/indi/indi_tarncam_ccd" >"$work/server.log" 2>&1 &
server=$!
sleep 2
indi_setprop -p "$port" "Tarncam CCD.SIMULATION.ENABLE=On"
sleep 1
indi_setprop -p "$port" "Tarncam CCD.CONNECTION.CONNECT=On"
sleep 2
probe() { "$build/tests/indi/indi_probe" --port "$port" --device "Tarncam CCD" --out "$work" --timeout 30 "$@" 2>/dev/null; }
median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "INDI guide property (TELESCOPE_TIMED_GUIDE_WE), medians of $repeat:"
for ms in 10 100 500 1000; do
  for _ in $(seq "$repeat"); do
    probe "set TELESCOPE_TIMED_GUIDE_WE.TIMED_GUIDE_E=$ms" "wait TELESCOPE_TIMED_GUIDE_WE=Idle" |
      awk '$1 == "sent" {s = $3} $1 == "state" && $3 == "Busy" && !b {b = $4}
           $1 == "state" && $3 == "Idle" && b {i = $4}
           END {printf "%.1f %.1f\n", (b - s) * 1000, (i - b) * 1000}'
  done >"$work/pulse"
  printf "  %4d ms pulse: request to Busy %s ms, Busy to Idle %s ms\n" "$ms" \
    "$(cut -d' ' -f1 "$work/pulse" | median)" "$(cut -d' ' -f2 "$work/pulse" | median)"
done

echo "INDI exposure to FITS blob at the client, medians of $repeat:"
for s in 0.01 0.1 1; do
  for _ in $(seq "$repeat"); do
    probe "set CCD_EXPOSURE.CCD_EXPOSURE_VALUE=$s" "blobs 1" "wait CCD_EXPOSURE=Ok" |
      awk -v e="$s" '$1 == "sent" && $2 == "CCD_EXPOSURE" {t = $3}
           $1 == "state" && $2 == "CCD1" {b = $4} END {printf "%.1f\n", (b - t - e) * 1000}'
  done >"$work/blob"
  printf "  %5s s exposure: request to blob less the exposure %s ms\n" "$s" "$(median <"$work/blob")"
done
