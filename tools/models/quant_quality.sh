#!/bin/bash
# quant_quality.sh [BUILD_DIR]: reproduces the quality figures of the 8-bit
# compact models; asserts nothing. Each network (QUANT_MODELS, default the
# three anime-video scales and natural) is converted, quantised by
# make_fast.sh exactly as install.sh does, and compared with its float
# original on quant_frames.sh's held-out frames by quant_compare.py, which
# prints per-frame PSNR, the summary and whether the bar is met, and writes
# a side-by-side crop at the worst place to $QUANT_OUT (default /tmp).
# The first run takes a float calibration pass per weights file (minutes on
# a loaded machine); its statistics are kept under .deps/quant-cache.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
OUT=${QUANT_OUT:-/tmp}
mkdir -p "$OUT"
[ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
"$ROOT/tools/models/fetch-weights.sh" "$ROOT/.deps/realesrgan-ncnn"
EVAL=()
while read -r kind path; do
  [ "$kind" = eval ] && EVAL+=("$path")
done < <("$ROOT/tools/models/quant_frames.sh" "$BIN")
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "quant_quality: ${#EVAL[@]} held-out frames${QUANT_OPTIONS:+, options $QUANT_OPTIONS}"
for model in ${QUANT_MODELS:-realesr-animevideov3-x2 realesr-animevideov3-x3 realesr-animevideov3-x4 realesrgan-x4fast}; do
  W=$ROOT/.deps/realesrgan-ncnn
  /usr/bin/python3 "$ROOT/tools/models/ncnn2onnx.py" "$W/$model.param" "$W/$model.bin" \
    "$WORK/$model.onnx"
  nice -n 10 "$ROOT/tools/models/make_fast.sh" "$BIN" "$W/$model.bin" "$WORK/$model.onnx" \
    "$WORK/$model.int8.onnx"
  echo "== $model"
  nice -n 10 /usr/bin/python3 "$ROOT/tools/models/quant_compare.py" --cache "$ROOT/.deps/quant-cache/float" \
    --crop "$OUT/quant-$model.png" "$BIN/model_run" "$WORK/$model.onnx" \
    "$WORK/$model.int8.onnx" 270 480 "${EVAL[@]}"
done
