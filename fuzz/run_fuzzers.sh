#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 10) on its seed corpus,
# from the linux-fuzz build. New inputs go to a scratch corpus, never into the
# repository; a crashing input is kept under build/linux-fuzz/fuzz-artifacts/
# and the command that replays it is printed.
#
#   bash fuzz/run_fuzzers.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
shift || true
build=build/linux-fuzz/fuzz
targets=("$@")
[ ${#targets[@]} -ne 0 ] || targets=(intel_hex image sim_host sim_options cli_args api_input indi_setup alpaca_request)
artifacts=$(pwd)/build/linux-fuzz/fuzz-artifacts
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for t in "${targets[@]}"; do
  # The Alpaca server's target is built only where its HTTP and JSON
  # libraries are installed.
  if [ "$t" = alpaca_request ] && [ ! -x "$build/fuzz_$t" ]; then
    echo "fuzz_$t: not built (cpp-httplib or nlohmann-json missing), skipped"
    continue
  fi
  mkdir -p "$scratch/$t"
  log="$scratch/$t.log"
  if "$build/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
      -timeout=20 -artifact_prefix="$artifacts/$t-" "$scratch/$t" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz_$t: ${runs:-?} executions in ${seconds} s, ${cov:-cov: ?}, no findings"
  else
    status=1
    echo "fuzz_$t: FAILED"
    grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" | head -20 || tail -30 "$log"
    crash=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    [ -n "$crash" ] && echo "replay: $build/fuzz_$t $crash"
  fi
done
exit $status
