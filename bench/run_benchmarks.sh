#!/usr/bin/env bash
# Times the image output of every product on a full 752 x 480 frame and
# prints one table of ratios to memcpy (of the same output bytes, in the same
# program), side by side:
#
#   linux-release   libtarncam.so as users build it (scripts/run.sh; -O2),
#                   through its exports (client_bench)
#   linux-bench     the -O3 benchmark build's libtarncam.so, the same way
#   image_bench     the benchmark build from inside (Google Benchmark), with
#                   OpenCV's bilinear demosaic beside it, as before
#   DLL             TARNCAM32.dll through its exports under Wine, where this
#                   machine runs 32-bit x86 programs natively; otherwise the
#                   reason is printed. Never timed under CPU emulation.
#
#   bash bench/run_benchmarks.sh
#
# Builds what it needs (-j ${JOBS:-2}); the programs' own tables and the raw
# rows go to build/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh test

jobs=${JOBS:-2}
results="$root/build/bench-results"
mkdir -p "$results"
rm -f "$results"/*.tsv

build() {  # preset target...
  local preset=$1
  shift
  echo "=== building ${preset}: $*"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target "$@" >"$results/build-${preset}.log" 2>&1 ||
    { cat "$results/build-${preset}.log" >&2; exit 1; }
}

# Why the DLL cannot be timed on this machine; nothing when it can. Wine runs
# a 32-bit program natively only on a kernel that executes 32-bit x86 code,
# and a timing on an emulated processor would mean nothing.
dll_blocker() {
  case "$(uname -m)" in
    x86_64 | i?86) ;;
    *) echo "this is not an x86 machine ($(uname -m))"; return ;;
  esac
  if ! command -v wine >/dev/null 2>&1; then
    echo "Wine is not installed"
    return
  fi
  if [ ! -e /lib/ld-linux.so.2 ]; then
    echo "there is no 32-bit x86 runtime (/lib/ld-linux.so.2), so Wine cannot run 32-bit programs"
    return
  fi
  local out
  if ! out=$(/lib/ld-linux.so.2 --version 2>&1); then
    echo "this machine's kernel cannot execute 32-bit x86 programs" \
      "(/lib/ld-linux.so.2 --version: ${out##*: })"
    return
  fi
  local virt=""
  if command -v systemd-detect-virt >/dev/null 2>&1; then
    virt=$(systemd-detect-virt --vm 2>/dev/null || true)
  fi
  if [ "$virt" = qemu ] || grep -qm1 'QEMU TCG' /proc/cpuinfo 2>/dev/null; then
    echo "the processor is emulated (QEMU without hardware virtualisation)"
    return
  fi
}

build linux-release client_bench
build linux-bench client_bench image_bench
dll_reason=$(dll_blocker)
if [ -z "$dll_reason" ]; then
  build mingw-i686 client_bench
fi

run() {  # name log command...
  local name=$1 log=$2
  shift 2
  echo "=== timing ${name}"
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "${name}: failed" >&2; exit 1; }
}

# Every program runs three times, the products in turn, so that a burst of
# load on a shared machine, or one unlucky placement of a process's buffers
# in memory (the 8-bit row copy moves most with it), does not decide a
# column: the table compares the fastest times of all three runs.
for round in 1 2 3; do
  run "linux-release libtarncam.so (exports), run ${round}" "$results/linux-release-${round}.txt" \
    build/linux-release/bench/client_bench --tsv "$results/release-${round}.part"
  run "linux-bench libtarncam.so (exports), run ${round}" "$results/linux-bench-${round}.txt" \
    build/linux-bench/bench/client_bench --tsv "$results/bench-${round}.part"
  if [ -z "$dll_reason" ]; then
    # By name from beside the program, in the build's own Wine prefix, and
    # natively only: wine-run.sh would otherwise fall back to its VM.
    (cd build/mingw-i686/bench &&
      TARNCAM_WINEPREFIX="$root/build/mingw-i686/wineprefix" TARNCAM_WINE_VM=0 \
        run "TARNCAM32.dll under Wine (exports), run ${round}" "$results/dll-${round}.txt" \
        bash "$root/cmake/wine-run.sh" client_bench.exe --tsv dll.tsv)
    mv build/mingw-i686/bench/dll.tsv "$results/dll-${round}.part"
  fi
  run "linux-bench image_bench (Google Benchmark), run ${round}" "$results/image_bench-${round}.txt" \
    build/linux-bench/bench/image_bench --tsv="$results/image_bench-${round}.part"
done
cat "$results"/release-?.part >"$results/1-linux-release.tsv"
cat "$results"/bench-?.part >"$results/2-linux-bench.tsv"
cat "$results"/image_bench-?.part >"$results/3-image_bench.tsv"
if [ -z "$dll_reason" ]; then
  cat "$results"/dll-?.part >"$results/4-dll.tsv"
fi
rm -f "$results"/*.part

# One table: a row per operation, a column per product.
echo
awk -F '\t' -v names="linux-release,linux-bench,image_bench,DLL" -f bench/ratio_table.awk \
  "$results"/*.tsv
if [ -n "$dll_reason" ]; then
  echo "DLL: not timed: ${dll_reason}."
fi
echo "Each program's own table: $results/"
