# The installer's decisions, as functions of apt's recorded output (sourced
# by scripts/setup.sh; tests/packaging runs them against recorded output, with
# no network). Each reads apt's output on stdin and prints its decision.
# apt's messages are read in the C locale (setup.sh runs apt under LC_ALL=C).

# apt-get update's output -> one line per package index that failed to
# download: "SUITE COMPONENT ARCH", or "SUITE - -" when the release file
# itself failed. Nothing when every index came.
apt_failed_indexes() {
  sed -nE \
    -e 's#^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/([^/ ]+)/binary-([^/ ]+)/Packages[^ ]*( .*)?$#\1 \2 \3#p' \
    -e 's#^[EW]: Failed to fetch [^ ]*/dists/([^/ ]+)/(In)?Release( .*)?$#\1 - -#p' |
    sort -u
}

# apt_install_plan NATIVE_ARCH PACKAGE... with the failed indexes (as
# apt_failed_indexes prints them) on stdin -> "plain", or "pin RELEASE".
#
# A Multi-Arch: same library must be at the same version in both
# architectures. When a foreign architecture's index of an update suite
# (-security, -updates) is missing, the native halves already installed may
# be at versions that suite alone has, and no foreign half matches them: apt
# reports held broken packages, or would remove what depends on them. Pinning
# the base release above everything (priority 1001, with downgrades allowed)
# takes both halves from it. Only for packages of that foreign architecture:
# anything else installs as usual.
apt_install_plan() {
  local native=$1
  shift
  local suite component arch p release=
  while read -r suite component arch; do
    if [ -z "$arch" ] || [ "$arch" = - ] || [ "$arch" = "$native" ]; then
      continue
    fi
    for p in "$@"; do
      if [[ $p == *:"$arch" ]]; then
        release=${suite%%-*}
      fi
    done
  done
  if [ -n "$release" ]; then
    echo "pin $release"
  else
    echo plain
  fi
}

# apt-get install's output -> "ok", "missing PKG..." (no such package, or
# none installable: what the command needs cannot be had from these
# sources), "unresolvable PKG..." (the packages whose dependencies cannot be
# met together), or "would-remove PKG..." (installing would remove installed
# packages, which setup never does).
apt_install_verdict() {
  local text missing unmet removed
  text=$(cat)
  missing=$(sed -nE \
    -e "s/^E: Unable to locate package (.*)$/\1/p" \
    -e "s/^E: Package '([^']+)' has no installation candidate$/\1/p" \
    -e "s/^E: Couldn't find any package by (glob|regex) '([^']+)'$/\2/p" <<<"$text")
  if [ -n "$missing" ]; then
    echo "missing" $(sort -u <<<"$missing")
    return
  fi
  if ! grep -q '^E: ' <<<"$text"; then
    echo ok
    return
  fi
  unmet=$(sed -nE 's/^ ([^ ]+) : (Pre)?Depends: .*$/\1/p' <<<"$text")
  if [ -n "$unmet" ]; then
    echo "unresolvable" $(sort -u <<<"$unmet")
    return
  fi
  removed=$(apt_listed 'The following packages will be REMOVED:' <<<"$text")
  if [ -n "$removed" ]; then
    echo "would-remove" $removed
    return
  fi
  echo "unresolvable" $(sed -n 's/^E: //p' <<<"$text" | head -n 1)
}

# The packages apt lists under HEADING (the indented lines after it).
apt_listed() {
  awk -v heading="$1" '
    $0 == heading {on = 1; next}
    on && /^  / {for (i = 1; i <= NF; i++) print $i; next}
    {on = 0}'
}

# apt-get -s install's output -> the installed packages it would downgrade.
apt_downgrades() {
  apt_listed 'The following packages will be DOWNGRADED:'
}
