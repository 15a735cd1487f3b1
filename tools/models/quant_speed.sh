#!/bin/bash
# quant_speed.sh [BUILD_DIR] [ROUNDS]: the 8-bit compact models' speed
# against their float originals on a 480x270 frame (model_run --fix-dims, as
# lmr runs a tile): the float model, the 8-bit one with PRelu in float
# (--prelu std) and with PRelu kept in 8 bits (--prelu concat), in
# alternating rounds (default 4), each the fastest of 3 runs; prints every
# round and the ratios of the fastest times. Asserts nothing. Needs the
# calibration statistics and frames quant_quality.sh keeps under
# .deps/quant-cache (run it first). Run it under the benchmark lock.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
ROUNDS=${2:-4}
BIN=$BUILD/bin
CACHE=$ROOT/.deps/quant-cache
OPTIONS="--clip minmax --equalise both --alpha 0.7 --shared-grid --weight-bias-correction"
FRAME=$CACHE/frames/eval-rendered-17.f32
for f in "$FRAME" "$CACHE/realesr-animevideov3-x4.stats"; do
  [ -s "$f" ] || {
    echo "quant_speed: $f missing: run tools/models/quant_quality.sh first" >&2
    exit 1
  }
done
[ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

for model in ${QUANT_MODELS:-realesr-animevideov3-x4}; do
  W=$ROOT/.deps/realesrgan-ncnn
  /usr/bin/python3 "$ROOT/tools/models/ncnn2onnx.py" "$W/$model.param" "$W/$model.bin" \
    "$WORK/float.onnx"
  for prelu in std concat; do
    # shellcheck disable=SC2086  # the options are split on purpose
    /usr/bin/python3 "$ROOT/tools/models/quantize.py" --model-run "$BIN/model_run" \
      --size 270x480 --stats "$CACHE/$model.stats" --work "$WORK/q" $OPTIONS --prelu "$prelu" \
      "$WORK/float.onnx" "$WORK/$prelu.onnx" "$CACHE"/frames/cal-*.f32 >/dev/null
  done
  echo "== $model, 480x270, $(nproc) threads"
  declare -A best=()
  for r in $(seq "$ROUNDS"); do
    line="round $r:"
    for m in float std concat; do
      t=$("$BIN/model_run" --fix-dims --runs 3 "$WORK/$m.onnx" "$FRAME" 270 480 "$WORK/out.f32" |
        sed -n 's/.*min \([0-9.]*\) ms.*/\1/p')
      line="$line $m $t ms"
      if [ -z "${best[$m]:-}" ] || awk "BEGIN{exit !($t < ${best[$m]})}"; then best[$m]=$t; fi
    done
    echo "$line (load $(cut -d' ' -f1 /proc/loadavg))"
  done
  awk -v f="${best[float]}" -v s="${best[std]}" -v c="${best[concat]}" 'BEGIN {
    printf "fastest: float %.1f ms, 8-bit PRelu float %.1f ms (%.3f), PRelu 8-bit %.1f ms (%.3f)\n",
      f, s, s / f, c, c / f }'
  unset best
done
