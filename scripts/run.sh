#!/usr/bin/env bash
# The first command for a new user: installs what the build needs, builds the
# native library and the tarncam tool, and captures a simulated star field
# into FITS and PNG files.
#
#   bash scripts/run.sh [OUTPUT_DIR]     (default: ./out)
set -euo pipefail

out=$(realpath -m "${1:-out}")
cd "$(dirname "$0")/.."

bash scripts/setup.sh run

echo "=== building the library and the tarncam tool (preset linux-release)"
# Configure's one "tarncam: leaving out ..." line (stderr) says which parts
# this machine lacks the packages for; the tool needs none of them.
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target tarncam_cli -j "${JOBS:-$(nproc)}"
tool=$(pwd)/build/linux-release/tools/cli/tarncam

echo "=== capturing a simulated star field (2 s exposure)"
mkdir -p "$out"
"$tool" capture --simulator --exposure 2000 --gain 20 --output "$out/stars"

echo
echo "FITS: $out/stars.fits"
echo "PNG:  $out/stars.png"
echo "The tool: $tool --help   (docs/cli.md)"
