#!/bin/bash
# make_fast.sh BIN_DIR WEIGHTS.bin FP32.onnx OUT.onnx: the 8-bit variant of
# a converted compact network, as install.sh installs it and
# quant_quality.sh measures it: quantize.py with the options below,
# calibrated on quant_frames.sh's calibration frames. The float model's
# calibration statistics (a few minutes' pass) are kept per weights file in
# .deps/quant-cache: the 2x, 3x and 4x anime-video networks share their
# weights and differ only in the resize after them. QUANT_OPTIONS replaces
# the options (for trying others).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$1 WEIGHTS=$2 FP32=$3 OUT=$4
OPTIONS=${QUANT_OPTIONS:---clip minmax --equalise both --alpha 0.75 --shared-grid --weight-bias-correction --prelu concat --float first}
CACHE=$ROOT/.deps/quant-cache
CAL=()
while read -r kind path; do
  [ "$kind" = cal ] && CAL+=("$path")
done < <("$ROOT/tools/models/quant_frames.sh" "$BIN")
[ ${#CAL[@]} -gt 0 ] || exit 1
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# shellcheck disable=SC2086  # the options are split on purpose
/usr/bin/python3 "$ROOT/tools/models/quantize.py" --model-run "$BIN/model_run" --size 270x480 \
  --stats "$CACHE/$(sha256sum "$WEIGHTS" | cut -c1-16).stats" --work "$WORK" $OPTIONS \
  "$FP32" "$OUT" "${CAL[@]}"
