#!/bin/bash
# bench-jobs.sh [BUILD_DIR] [SEGMENT_FRAMES]: one-process against segmented
# wall time on the same input, from one run; prints, asserts nothing.
# The clip is 480x270, 72 frames at 24 fps with audio (the demo's size), the
# model heavy2x (a model of realistic cost); segments of SEGMENT_FRAMES
# (default 24, three segments: more joins than the default of about 10 s).
# The segmented job is timed as its two halves: the segments (one task of
# one, so no join) and `lmr join`, whose share of the whole is printed.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
SEG=${2:-24}
BIN=$BUILD/bin
MODEL=$BUILD/models/heavy2x.onnx
[ -x "$BIN/lmr" ] && [ -f "$MODEL" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
CLIP=$WORK/clip.mp4
"$BIN/ffmpeg" -v error -y -f lavfi -i testsrc2=size=480x270:rate=24 \
  -f lavfi -i sine=frequency=440:sample_rate=48000 -frames:v 72 \
  -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a aac -shortest "$CLIP"

now() { date +%s.%N; }
run() { "$BIN/lmr" upscale --model "$MODEL" --ep cpu -i "$CLIP" "$@" 2>"$WORK/err" ||
  { cat "$WORK/err" >&2; exit 1; }; }

# Two rounds, the two ways alternating, the faster of each kept: the machine
# is shared, and a burst of other work should not decide the comparison.
best_one=1e9 best_segs=1e9 best_join=1e9
for round in 1 2; do
  rm -rf "$WORK/job" "$WORK/one.mp4" "$WORK/seg.mp4"
  t0=$(now)
  run -o "$WORK/one.mp4"
  t1=$(now)
  run -o "$WORK/seg.mp4" --job "$WORK/job" --segment-frames "$SEG" --tasks 1 --task-index 0
  t2=$(now)
  "$BIN/lmr" join --job "$WORK/job" 2>"$WORK/err" || { cat "$WORK/err" >&2; exit 1; }
  t3=$(now)
  read -r best_one best_segs best_join < <(awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" \
    -v o="$best_one" -v s="$best_segs" -v j="$best_join" 'BEGIN {
      one = b - a; segs = c - b; join = d - c
      printf "%f %f %f\n", (one < o ? one : o), (segs < s ? segs : s), (join < j ? join : j) }')
done

awk -v one="$best_one" -v segs="$best_segs" -v join="$best_join" -v seg="$SEG" 'BEGIN {
  total = segs + join
  printf "bench-jobs: clip 480x270, 72 frames at 24 fps with audio, heavy2x, segments of %d\n", seg
  printf "(the faster of two alternating rounds each)\n"
  printf "one process:  %7.2f s\n", one
  printf "segmented:    %7.2f s (segments %.2f s + join %.2f s), %+.1f%% against one process\n",
    total, segs, join, (total / one - 1) * 100
  printf "join share:   %7.2f%% of the segmented job\n", join / total * 100
}'
