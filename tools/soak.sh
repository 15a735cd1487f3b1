#!/bin/sh
# soak.sh [BUILD_DIR] [FRAMES]: runs FRAMES (default 2000) frames of a small
# generated clip through the real pipeline (lmr, ffmpeg, ONNX Runtime on the
# CPU, tiled so the tile runner starts its workers every frame) and prints
# lmr's resident memory (VmRSS) when it reports frame 10, half way and at the
# last frame. Fails when memory at the end exceeds the frame-10 figure by
# more than 4 MiB: per-frame memory must not accumulate.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
FRAMES=${2:-2000}
BIN="$BUILD/bin"
[ -x "$BIN/lmr" ] || { echo "soak: no $BIN/lmr (run tools/build.sh $BUILD first)" >&2; exit 2; }

work=$(mktemp -d)
lmr_pid=""
cleanup() {
  [ -n "$lmr_pid" ] && kill "$lmr_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$BIN/ffmpeg" -v error -y -f lavfi -i "testsrc2=size=160x120:rate=25" -frames:v "$FRAMES" \
  -c:v libx264 -preset ultrafast -qp 0 -pix_fmt yuv444p "$work/in.mp4"

rss() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status" 2>/dev/null; }

mkfifo "$work/progress"
"$BIN/lmr" upscale --model "$BUILD/models/nn2x.onnx" -i "$work/in.mp4" -o "$work/out.mp4" \
  --ep cpu --tile 64x64 2>"$work/progress" &
lmr_pid=$!

half=$((FRAMES / 2 / 10 * 10))
first="" middle="" last=""
start=$(date +%s)
# lmr writes stderr unbuffered and blocks while this loop reads, so each
# sample is taken while lmr stands at the frame of the line just read.
while IFS= read -r line; do
  case "$line" in
    "frame 10/"*) first=$(rss "$lmr_pid"); echo "soak: frame 10: VmRSS ${first} kB" ;;
    "frame $half/"*) middle=$(rss "$lmr_pid"); echo "soak: frame $half: VmRSS ${middle} kB" ;;
    "frame $FRAMES/"*) last=$(rss "$lmr_pid"); echo "soak: frame $FRAMES: VmRSS ${last} kB" ;;
    "Error: "*) echo "soak: $line" ;;
  esac
done <"$work/progress"
status=0
wait "$lmr_pid" || status=$?
lmr_pid=""
echo "soak: lmr exited with $status after $(($(date +%s) - start)) s"
[ "$status" -eq 0 ] && [ -n "$first" ] && [ -n "$last" ] || { echo "soak: FAILED (no complete run)"; exit 1; }
growth=$((last - first))
echo "soak: growth from frame 10 to frame $FRAMES: ${growth} kB"
if [ "$growth" -gt 4096 ]; then
  echo "soak: FAILED (memory grows with the frame count)"
  exit 1
fi
echo "soak: ok"
