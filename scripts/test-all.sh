#!/usr/bin/env bash
# Builds everything and runs every test: the native library in an optimised
# build, under AddressSanitizer+UBSan and under ThreadSanitizer, and the
# 32-bit Windows DLL (cross-built, checked and run under Wine); then every
# fuzz target briefly (FUZZ_SECONDS each, default 10; 0 skips them); then
# the Debian packages, built, installed, checked and purged.
#
# Wine runs natively where this machine runs 32-bit programs, else in a QEMU
# VM (cmake/wine-run.sh decides). Where it runs natively, the Wine tests run
# a second time through the VM, so that neither way goes untested.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

jobs=${JOBS:-$(nproc)}
presets=(${PRESETS:-linux-release linux-asan linux-tsan mingw-i686})
start=$(date +%s)
notes=()

# The Wine programs' own tallies from the last ctest run, so that the log
# shows they ran (ctest keeps passing tests' output to itself).
wine_results() {
  awk '{sub(/\r$/, "")}
       /^[0-9]+\/[0-9]+ Test: / {name = $3}
       /^[0-9]+ passed, [0-9]+ failed$/ {print "    " name " (under Wine) reported " $0}' \
    "build/$1/Testing/Temporary/LastTest.log"
}
# The native builds' USB scenarios (tests/usbvm) run in a QEMU VM in USB
# mode: fetch and build what it boots once, outside any test's time.
if usb_vm_why=$(testvm/tarncam-vm check); then
  testvm/tarncam-vm prepare --usb >/dev/null
else
  notes+=("SKIPPED: the USB scenarios (usbvm.*): $usb_vm_why")
fi
for preset in "${presets[@]}"; do
  preset_start=$(date +%s)
  echo "=== ${preset}: configure and build"
  # Every part is built here: configure fails rather than leave one out.
  cmake --preset "$preset" -DTARNCAM_REQUIRE_ALL=ON >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  wine_where=
  vm_ok=
  if [ "$preset" = mingw-i686 ]; then
    # One line: natively, in a VM, or "SKIPPED: <reason>".
    wine_where=$(bash cmake/wine-run.sh --where || true)
    echo "=== ${preset}: ${wine_where}"
    case $wine_where in SKIPPED:*) notes+=("$wine_where") ;; esac
    if vm_why=$(testvm/tarncam-vm check); then
      vm_ok=1
      # Fetch and build the VM's kernel and initramfs outside any test's time.
      testvm/tarncam-vm prepare --usb >/dev/null
    else
      notes+=("SKIPPED: the VM runner's tests (testvm_*): $vm_why")
    fi
  fi
  echo "=== ${preset}: test"
  # Under ThreadSanitizer the USB VM runs the contract and the scenarios
  # where threads meet a read; the rest there (label usbvm_extended: the
  # soak, the INDI driver, firmware, frames, the tool) is proven by the
  # optimised and AddressSanitizer runs at a fraction of the cost (test
  # preset linux-tsan-ci).
  test_preset=$preset
  [ "$preset" != linux-tsan ] || test_preset=linux-tsan-ci
  ctest --preset "$test_preset" -j "$jobs"
  if [ "$preset" = linux-release ]; then
    # Ekos's internal guider on the driver (label ekos, left out of the
    # presets): a few minutes of KStars under Xvfb, so once, here.
    echo "=== ${preset}: Ekos guiding"
    ctest --test-dir "build/$preset" -L ekos --output-on-failure
  fi
  [ -z "$wine_where" ] || wine_results "$preset"
  if [[ $wine_where == "Wine runs natively"* ]]; then
    if [ -n "$vm_ok" ]; then
      # The VM's own way to Wine: the prefix, every export called, and the
      # stand-ins' threads through the WinUSB backend. The end-to-end run,
      # which proves the DLL and not the way to Wine, ran natively above
      # (it is three quarters of this step's time in the VM).
      echo "=== ${preset}: the Wine tests again, in the VM"
      TARNCAM_WINE_VM=1 ctest --preset "$preset" -j "$jobs" -L wine -E '^winsim_e2e$'
      wine_results "$preset"
    else
      notes+=("SKIPPED: the Wine tests in the VM: $vm_why")
    fi
  fi
  echo "=== ${preset}: done in $(( $(date +%s) - preset_start )) s"
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
# A step of its own after the tests: the release library's image output
# against its speed targets (scripts/bench-guard.sh).
if [[ " ${presets[*]} " == *" linux-release "* ]]; then
  bash scripts/bench-guard.sh
fi
# The Debian packages, built, installed, checked from the installed files
# and purged again (scripts/package-check.sh; PACKAGES=0 skips it).
if [ "${PACKAGES:-1}" != 0 ]; then
  bash scripts/package-check.sh
fi
for note in "${notes[@]}"; do
  echo "$note"
done
