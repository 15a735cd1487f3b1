#!/bin/bash
# bench.sh [BUILD_DIR]: prints figures for a 2x upscale of a 1280x720,
# 60-frame clip with audio; asserts nothing.
#   1. the engine with the nearest-neighbour model (nn2x) against an
#      ffmpeg-only pipeline that decodes, scales 2x (neighbor) and encodes
#      the same clip with the engine's own encoder arguments: fps of both
#      and their ratio;
#   2. the engine with a model of realistic cost (heavy2x: 8 convolutions of
#      32 channels, then a 2x pixel shuffle): wall time, inference time from
#      the summary (ms/tile x tiles) and wall / inference;
#   3. the peak resident memory of each run (/usr/bin/time -v; for the engine
#      the largest of lmr and its ffmpeg children).
# bench.sh models [BUILD_DIR]: the pretrained models' speed instead
# (tools/models/speed.sh).
# bench.sh jobs [quick] [BUILD_DIR]: a segmented job against one process on
# the same input, and the join's share; quick: the per-segment and fixed
# costs on a short clip (tools/bench-jobs.sh).
# bench.sh reuse|plan [BUILD_DIR]: the reuse of unchanged tiles on four
# clips, or the catalogue plan's tiles and memory at 720p, 1080p and 2160p
# (tools/models/reuse.sh).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = models ]; then
  shift
  exec "$ROOT/tools/models/speed.sh" "$@"
fi
if [ "${1:-}" = jobs ]; then
  shift
  exec "$ROOT/tools/bench-jobs.sh" "$@"
fi
if [ "${1:-}" = reuse ] || [ "${1:-}" = plan ]; then
  mode=$1
  shift
  [ "$mode" = reuse ] && mode=clips
  exec "$ROOT/tools/models/reuse.sh" "$mode" "$@"
fi
BUILD=${1:-$ROOT/build}
BIN=$BUILD/bin
[ -x "$BIN/lmr" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time is missing (run tools/setup.sh)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
CLIP=$WORK/clip.mp4
"$BIN/ffmpeg" -v error -y -f lavfi -i testsrc2=size=1280x720:rate=30 \
  -f lavfi -i sine=frequency=440:sample_rate=48000 -frames:v 60 \
  -c:v libx264 -crf 18 -pix_fmt yuv420p -c:a aac -shortest "$CLIP"

# Runs a command under /usr/bin/time -v; sets WALL (seconds) and RSS_MB and
# returns the command's status.
timed() {
  local stats=$WORK/time.txt rc=0
  /usr/bin/time -v -o "$stats" "$@" || rc=$?
  WALL=$(awk -F': ' '/Elapsed \(wall clock\)/ {
    n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$stats")
  RSS_MB=$(awk -F': ' '/Maximum resident set size/ { printf "%.0f", $2 / 1024 }' "$stats")
  return $rc
}

# The engine runs its ffmpeg through a wrapper that records each command
# line, so that the ffmpeg-only pipeline can use the very same encoder
# arguments.
TOOLS=$WORK/tools
mkdir -p "$TOOLS"
mkdir -p "$WORK/args"
cat >"$TOOLS/ffmpeg" <<EOF
#!/bin/sh
for a in "\$@"; do printf '%s\n' "\$a"; done >"$WORK/args/\$\$"
exec "$BIN/ffmpeg" "\$@"
EOF
chmod +x "$TOOLS/ffmpeg"
ln -s "$(readlink -f "$BIN/ffprobe")" "$TOOLS/ffprobe"

echo "bench: clip 1280x720, 60 frames at 30 fps, with audio; 2 CPU cores: $(nproc)"
echo

# 1. Engine with nn2x.
timed env LMR_FFMPEG_DIR="$TOOLS" "$BIN/lmr" upscale --model "$BUILD/models/nn2x.onnx" \
  -i "$CLIP" -o "$WORK/engine-nn.mp4" 2>"$WORK/nn.err" || { cat "$WORK/nn.err" >&2; exit 1; }
NN_WALL=$WALL NN_RSS=$RSS_MB
NN_LOOP=$(sed -n 's/^done: \([0-9]*\) frames in \([0-9.]*\)s.*/\2/p' "$WORK/nn.err")

# The encoder's invocation is the one that reads frames from stdin: keep
# its filter and codec block (after "-vf", up to the final "-f" container
# and path).
ENC=()
for f in "$WORK"/args/*; do
  if awk 'prev == "-i" && $0 == "-" { found = 1 } { prev = $0 } END { exit !found }' "$f"; then
    mapfile -t ENC <"$f"
  fi
done
vf=-1
for i in "${!ENC[@]}"; do [ "${ENC[$i]}" = "-vf" ] && vf=$i; done
if [ "$vf" -lt 0 ]; then
  echo "bench: could not find the engine's encoder arguments" >&2
  exit 1
fi
FILTER=${ENC[$((vf + 1))]}
CODEC=("${ENC[@]:$((vf + 2)):$((${#ENC[@]} - vf - 5))}")

# 2. ffmpeg only: decode, nearest 2x in the scaler, the same conversion and
# encoder settings, the audio copied the same way.
FF_CMD=("$BIN/ffmpeg" -v error -y -i "$CLIP" -map 0:v -map "0:a?" -c:a copy -shortest
  -vf "scale=2560:1440:flags=neighbor,$FILTER" "${CODEC[@]}" -f mp4 "$WORK/ffmpeg-nn.mp4")
timed "${FF_CMD[@]}"
FF_WALL=$WALL FF_RSS=$RSS_MB

# 3. Engine with heavy2x.
timed "$BIN/lmr" upscale --model "$BUILD/models/heavy2x.onnx" -i "$CLIP" \
  -o "$WORK/engine-heavy.mp4" 2>"$WORK/heavy.err" || { cat "$WORK/heavy.err" >&2; exit 1; }
HV_WALL=$WALL HV_RSS=$RSS_MB
HV_LOOP=$(sed -n 's/^done: \([0-9]*\) frames in \([0-9.]*\)s.*/\2/p' "$WORK/heavy.err")
read -r HV_MS HV_TILES < <(sed -n \
  's/^inference: \([0-9.]*\) ms\/tile avg on the first session (\([0-9]*\) tiles total)$/\1 \2/p' \
  "$WORK/heavy.err")

for f in engine-nn ffmpeg-nn engine-heavy; do
  frames=$("$BIN/ffprobe" -v error -select_streams v:0 -show_entries stream=nb_frames,width,height \
    -of csv=s=x:p=0 "$WORK/$f.mp4")
  echo "bench: $f.mp4: ${frames} (width x height x frames)"
done
echo "bench: encoder block shared by both 2x runs: -vf $FILTER ${CODEC[*]}"
echo

awk -v nnw="$NN_WALL" -v nnl="$NN_LOOP" -v nnr="$NN_RSS" -v ffw="$FF_WALL" -v ffr="$FF_RSS" \
  -v hvw="$HV_WALL" -v hvl="$HV_LOOP" -v hvr="$HV_RSS" -v ms="$HV_MS" -v tiles="$HV_TILES" 'BEGIN {
  printf "nearest 2x, engine (nn2x):   %6.2f s wall = %6.2f fps (frame loop %.1f s = %.2f fps), peak RSS %d MB\n",
    nnw, 60 / nnw, nnl, 60 / nnl, nnr
  printf "nearest 2x, ffmpeg only:     %6.2f s wall = %6.2f fps, peak RSS %d MB\n", ffw, 60 / ffw, ffr
  printf "engine fps / ffmpeg-only fps: %.2f (frame loop only: %.2f)\n", ffw / nnw, ffw / nnl
  inf = ms * tiles / 1000
  printf "realistic model (heavy2x):   %6.2f s wall (frame loop %.1f s), inference %.1f s (%.1f ms/tile x %d tiles), peak RSS %d MB\n",
    hvw, hvl, inf, ms, tiles, hvr
  printf "wall / inference: %.3f (frame loop / inference: %.3f)\n", hvw / inf, hvl / inf
}'
