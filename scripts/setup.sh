#!/usr/bin/env bash
# Installs the Debian packages a command needs (run as root, or with sudo
# available); does nothing when all are there already.
#
#   bash scripts/setup.sh run    what scripts/run.sh needs: the compiler,
#                                CMake, Ninja, pkg-config, libusb, cfitsio,
#                                libpng, CLI11 (the library and the tool)
#   bash scripts/setup.sh test   that and what scripts/test-all.sh needs: the
#                                tests, the INDI driver, the Windows cross
#                                build and Wine, QEMU, clang, the benchmarks'
#                                libraries, the Debian packaging tools
#
# A mirror caught mid-sync does not stop it: `apt-get update` is retried,
# an index that still fails is named and the rest used, and a package that
# pairs with a foreign architecture's half is installed so that both halves
# come from one release (scripts/apt-decide.sh has the decisions). It fails
# only when a package the command needs cannot be installed, and names it.
set -euo pipefail
here=$(dirname "$0")
. "$here/apt-decide.sh"

run_packages=(
  build-essential cmake ninja-build pkg-config
  libusb-1.0-0-dev libcfitsio-dev libpng-dev libcli11-dev
)
test_packages=(
  clang-14 libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  libopencv-imgproc-dev
  libindi-dev indi-bin
  libcpp-httplib-dev nlohmann-json3-dev
  fitsverify python3 python3-astropy python3-numpy
  kstars xvfb xauth dbus-x11 qdbus-qt5
  qemu-system-x86 qemu-system-data qemu-system-common busybox-static kmod cpio xz-utils
  debhelper dpkg-dev fakeroot lintian
)
# Packages that come with a foreign architecture's half (the 32-bit Wine).
multiarch=(wine wine32:i386)

case ${1:-} in
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${run_packages[@]}" "${test_packages[@]}" "${multiarch[@]}") ;;
  *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
native=$(dpkg --print-architecture)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}" >&2

export DEBIAN_FRONTEND=noninteractive LC_ALL=C
for p in "${missing[@]}"; do
  if [[ $p == *:* ]] && ! dpkg --print-foreign-architectures | grep -qx "${p#*:}"; then
    $sudo dpkg --add-architecture "${p#*:}"
  fi
done
log=$(mktemp -d)
trap 'rm -rf "$log"' EXIT
# Waits for another apt to finish rather than failing on its lock; never
# removes an installed package to make room.
apt_opts=(-y -q --no-remove -o DPkg::Lock::Timeout=600)

# A mirror mid-sync usually settles within minutes; three tries, then go on
# with the indexes that came.
for delay in 5 20 0; do
  if $sudo apt-get update -q -o DPkg::Lock::Timeout=600 >"$log/update" 2>&1; then
    break
  fi
  [ "$delay" = 0 ] || { echo "setup: apt-get update failed; again in ${delay} s" >&2; sleep "$delay"; }
done
failed=$(apt_failed_indexes <"$log/update")
if [ -n "$failed" ]; then
  echo "setup: these package indexes could not be fetched; going on with what is there:" >&2
  sed 's/^/setup:   /' <<<"$failed" >&2
elif grep -q '^E: ' "$log/update"; then
  grep '^E: ' "$log/update" | sed 's/^/setup: apt-get update: /' >&2
fi

# install_or_fail WHAT [APT-OPTION...] -- PACKAGE...: apt-get install; on
# failure names what cannot be installed and exits.
install_or_fail() {
  local what=$1 opts=() verdict
  shift
  while [ "$1" != -- ]; do opts+=("$1"); shift; done
  shift
  if $sudo apt-get install "${apt_opts[@]}" "${opts[@]}" "$@" >"$log/install" 2>&1; then
    return 0
  fi
  verdict=$(apt_install_verdict <"$log/install")
  grep -E '^(E: | [^ ]+ : )' "$log/install" | sed 's/^/setup: apt: /' >&2
  case $verdict in
    missing\ *) echo "setup: FAILED: ${what}: no installable package ${verdict#missing } in this machine's package sources" >&2 ;;
    would-remove\ *) echo "setup: FAILED: ${what}: installing would remove ${verdict#would-remove }, which setup does not do" >&2 ;;
    *) echo "setup: FAILED: ${what}: cannot install ${verdict#unresolvable } with the packages installed here" >&2 ;;
  esac
  exit 1
}

# Packages of a foreign architecture (wine32:i386) and their partners go in a
# transaction of their own, so that pinning, when needed, touches nothing else.
foreign=()
native_missing=()
for p in "${missing[@]}"; do
  if [[ " ${multiarch[*]} " == *" $p "* ]]; then
    foreign+=("$p")
  else
    native_missing+=("$p")
  fi
done
if [ ${#native_missing[@]} -gt 0 ]; then
  install_or_fail "the packages" -- "${native_missing[@]}"
fi
if [ ${#foreign[@]} -gt 0 ]; then
  plan=$(apt_install_plan "$native" "${foreign[@]}" <<<"$failed")
  if [ "$plan" = plain ]; then
    install_or_fail "the multi-arch packages" -- "${foreign[@]}"
  else
    release=${plan#pin }
    printf 'Package: *\nPin: release n=%s,l=Debian\nPin-Priority: 1001\n' "$release" >"$log/pin.pref"
    mkdir "$log/parts"
    pin=(--allow-downgrades -o "Dir::Etc::Preferences=$log/pin.pref" -o "Dir::Etc::PreferencesParts=$log/parts")
    down=$($sudo apt-get install -s "${apt_opts[@]}" "${pin[@]}" "${foreign[@]}" 2>/dev/null | apt_downgrades || true)
    echo "setup: a foreign architecture's index is missing: installing ${foreign[*]} with both halves from ${release}" >&2
    if [ -n "$down" ]; then
      echo "setup: this downgrades, to ${release}'s versions: $(tr '\n' ' ' <<<"$down")" >&2
    fi
    install_or_fail "the multi-arch packages" "${pin[@]}" -- "${foreign[@]}"
  fi
fi
echo "setup: installed" >&2
