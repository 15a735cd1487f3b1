#!/bin/bash
# quant_speed.sh [BUILD_DIR] [ROUNDS]: the 8-bit compact models' speed
# against their float originals on a 480x270 frame (model_run --fix-dims, as
# lmr runs a whole-frame tile), quantised by make_fast.sh as install.sh
# does, in alternating rounds (default 4), each the fastest of 3 runs;
# prints every round and the ratio of the fastest times. QUANT_MODELS picks
# the networks (default the three anime-video scales). Asserts nothing; run
# it under the benchmark lock.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${1:-$ROOT/build}
ROUNDS=${2:-4}
BIN=$BUILD/bin
[ -x "$BIN/model_run" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
FRAME=$("$ROOT/tools/models/quant_frames.sh" "$BIN" | sed -n 's/^eval \(.*rendered-17.*\)/\1/p')
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

for model in ${QUANT_MODELS:-realesr-animevideov3-x2 realesr-animevideov3-x3 realesr-animevideov3-x4}; do
  W=$ROOT/.deps/realesrgan-ncnn
  /usr/bin/python3 "$ROOT/tools/models/ncnn2onnx.py" "$W/$model.param" "$W/$model.bin" \
    "$WORK/float.onnx"
  "$ROOT/tools/models/make_fast.sh" "$BIN" "$W/$model.bin" "$WORK/float.onnx" "$WORK/int8.onnx" \
    >/dev/null
  echo "== $model, 480x270, $(nproc) threads"
  best_f="" best_q=""
  for r in $(seq "$ROUNDS"); do
    line="round $r:"
    for m in float int8; do
      t=$("$BIN/model_run" --fix-dims --runs 3 "$WORK/$m.onnx" "$FRAME" 270 480 "$WORK/out.f32" |
        sed -n 's/.*min \([0-9.]*\) ms.*/\1/p')
      line="$line $m $t ms"
      if [ $m = float ]; then
        [ -z "$best_f" ] || awk "BEGIN{exit !($t < $best_f)}" && best_f=$t
      else
        [ -z "$best_q" ] || awk "BEGIN{exit !($t < $best_q)}" && best_q=$t
      fi
    done
    echo "$line (load $(cut -d' ' -f1 /proc/loadavg))"
  done
  awk -v f="$best_f" -v q="$best_q" 'BEGIN {
    printf "fastest: float %.1f ms, 8-bit %.1f ms: %.3f of float\n", f, q, q / f }'
done
