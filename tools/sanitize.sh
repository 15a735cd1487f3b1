#!/bin/sh
# sanitize.sh address|thread [BUILD_DIR]: builds with a sanitizer and runs the
# tests under it: "address" (AddressSanitizer with UndefinedBehaviorSanitizer,
# leak checks on) runs the whole suite; "thread" (ThreadSanitizer) runs the
# tile-runner and pipeline tests. The suppression files in tools/sanitizers
# name only the ONNX Runtime library, which is prebuilt without
# instrumentation; nothing of our own code is ever suppressed.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
KIND=${1:?usage: sanitize.sh address|thread [BUILD_DIR]}
SUPP="$ROOT/tools/sanitizers"
case "$KIND" in
  address) BUILD=${2:-$ROOT/build-asan} ;;
  thread) BUILD=${2:-$ROOT/build-tsan} ;;
  *) echo "sanitize.sh: unknown sanitizer $KIND" >&2; exit 2 ;;
esac

export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1:detect_invalid_pointer_pairs=0:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$SUPP/tsan.supp:print_suppressions=0:second_deadlock_stack=1"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLMR_SANITIZE="$KIND" >/dev/null
cd "$BUILD"
if [ "$KIND" = address ]; then
  cmake --build . -j "$(nproc)"
  ctest --output-on-failure -j "$(nproc)" --timeout 900
else
  cmake --build . -j "$(nproc)" --target tile_test pipeline_test
  # Only these two programs are built; the others' placeholders are skipped.
  ctest --output-on-failure -j "$(nproc)" --timeout 900 -E '_NOT_BUILT$'
fi
