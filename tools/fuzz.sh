#!/bin/sh
# fuzz.sh [SECONDS] [BUILD_DIR]: builds the libFuzzer targets of lmr/fuzz with
# clang (ASan and UBSan on) and runs each for SECONDS (default 60), starting
# from the seeds in lmr/fuzz/corpus/<target>. A crash, leak, sanitizer report,
# input slower than 10 s or memory beyond 4 GB fails the run; the input that
# did it is left in BUILD_DIR/artifacts/<target>/.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SECS=${1:-60}
BUILD=${2:-$ROOT/build-fuzz}
CXX=${LMR_FUZZ_CXX:-clang++-16}

targets=$(cd "$ROOT/lmr/fuzz" && ls ./*.cpp | sed 's|^\./||; s|\.cpp$||')
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLMR_FUZZ=ON -DLMR_WERROR=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$BUILD" -j "$(nproc)" --target $targets >"$BUILD/fuzz-build.log" 2>&1 ||
  { tail -n 40 "$BUILD/fuzz-build.log"; exit 1; }

passed=0
failed=0
for t in $targets; do
  corpus="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  seeds="$ROOT/lmr/fuzz/corpus/$t"
  [ -d "$seeds" ] || seeds=""
  log="$BUILD/fuzz-$t.log"
  # The targets print what the commands print; libFuzzer keeps its own
  # report and the sanitizers' on a copy of stderr.
  if "$BUILD/bin/$t" -max_total_time="$SECS" -timeout=10 -rss_limit_mb=4096 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" $seeds >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: ok, ${runs:-?} inputs in ${SECS}s"
    passed=$((passed + 1))
  else
    echo "fuzz $t: FAILED (log $log, inputs in $artifacts)"
    grep -E "ERROR|SUMMARY|Test unit written|==[0-9]+==" "$log" | head -n 20
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
