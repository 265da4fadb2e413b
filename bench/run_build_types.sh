#!/usr/bin/env bash
# Shows that the image kernels' speed does not depend on how the library is
# built: builds libtarncam.so with the compiler flags of several build types
# and distributions, times each through its exports (client_bench), one
# after the other in one run, and prints their ratios to memcpy side by side.
#
#   bash bench/run_build_types.sh
#
# Columns: RelWithDebInfo (linux-release: -O2 -g, what users build),
# Release (linux-bench: -O3), plain -O2, Debian's package flags
# (dpkg-buildflags with all hardening) and Fedora's (-O2 with LTO,
# _FORTIFY_SOURCE=3, _GLIBCXX_ASSERTIONS, stack clash and CET protection).
# Builds go to build/flags-*/ (-j ${JOBS:-2}), results to build/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

jobs=${JOBS:-2}
results=build/bench-results
mkdir -p "$results"

debian_cxx="-g -O2 -ffile-prefix-map=$(pwd)=. -fstack-protector-strong -Wformat -Werror=format-security"
debian_cpp="-Wdate-time -D_FORTIFY_SOURCE=2"
debian_ld="-Wl,-z,relro -Wl,-z,now"
if command -v dpkg-buildflags >/dev/null 2>&1; then
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  debian_cxx=$(dpkg-buildflags --get CXXFLAGS)
  debian_cpp=$(dpkg-buildflags --get CPPFLAGS)
  debian_ld=$(dpkg-buildflags --get LDFLAGS)
fi
fedora_cxx="-O2 -flto=auto -ffat-lto-objects -fexceptions -g -grecord-gcc-switches -pipe -Wall"
fedora_cxx+=" -Werror=format-security -U_FORTIFY_SOURCE -Wp,-D_FORTIFY_SOURCE=3"
fedora_cxx+=" -Wp,-D_GLIBCXX_ASSERTIONS -fstack-protector-strong -fasynchronous-unwind-tables"
fedora_cxx+=" -fstack-clash-protection -fcf-protection -mtune=generic"
fedora_ld="-Wl,-z,relro -Wl,--as-needed -Wl,-z,now -flto=auto"

# build_flags NAME CXXFLAGS LDFLAGS: a distribution-style build (CMake build
# type None, so only the given flags apply).
build_flags() {
  local dir=build/flags-$1
  echo "=== building ${dir} (client_bench and libtarncam.so)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$2" \
    -DCMAKE_C_FLAGS="$2" -DCMAKE_SHARED_LINKER_FLAGS="$3" -DCMAKE_EXE_LINKER_FLAGS="$3" \
    -DTARNCAM_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$dir" -j "$jobs" --target client_bench >"$results/build-flags-$1.log" 2>&1 ||
    { cat "$results/build-flags-$1.log" >&2; exit 1; }
}
build_preset() {
  echo "=== building build/$1 (client_bench and libtarncam.so)"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs" --target client_bench >"$results/build-$1.log" 2>&1 ||
    { cat "$results/build-$1.log" >&2; exit 1; }
}

build_preset linux-release
build_preset linux-bench
build_flags o2 "-O2" ""
build_flags debian "$debian_cpp $debian_cxx" "$debian_ld"
build_flags fedora "$fedora_cxx" "$fedora_ld"

names=()
files=()
for dir in linux-release linux-bench flags-o2 flags-debian flags-fedora; do
  echo "=== timing build/${dir}"
  build/$dir/bench/client_bench --tsv "$results/type-$dir.tsv" >"$results/type-$dir.txt"
  names+=("$dir")
  files+=("$results/type-$dir.tsv")
done
echo
(IFS=,; awk -F '\t' -v names="${names[*]}" -f bench/ratio_table.awk "${files[@]}")
echo "Flags: Debian: $debian_cpp $debian_cxx | $debian_ld"
echo "       Fedora: $fedora_cxx | $fedora_ld"
