#!/bin/sh
# test.sh: sets up a Debian 12 machine, builds and runs the whole test suite.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/tools/setup.sh"
"$ROOT/tools/build.sh" "$ROOT/build"
cd "$ROOT/build"
ctest --output-on-failure -j "$(nproc)" --timeout 600
