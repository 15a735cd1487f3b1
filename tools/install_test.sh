#!/bin/sh
# install_test.sh BUILD_DIR: installs the build into a temporary prefix P and
# runs P/bin/lmr from another folder, with nothing of the build tree in its
# environment: --version, a small upscale (frames counted by P/bin/ffprobe),
# and, with the runtime library taken away from P/bin, the load error, which
# shows that the installed lmr used its own copy.
set -eu
BUILD=$(cd "${1:?usage: install_test.sh BUILD_DIR}" && pwd)
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
P=$WORK/prefix
fail() { echo "install_test: $*" >&2; exit 1; }

cmake --install "$BUILD" --prefix "$P" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "cmake --install failed"; }
for f in lmr libonnxruntime.so ffmpeg ffprobe; do
  [ -e "$P/bin/$f" ] || { ls -l "$P/bin"; fail "P/bin/$f is missing"; }
done
echo "install_test: installed $(cd "$P" && find . ! -type d | sort | tr '\n' ' ')"

mkdir "$WORK/elsewhere"
cd "$WORK/elsewhere"
# The environment a cluster node gives: no build paths, no overrides.
clean() { env -u LMR_FFMPEG_DIR -u ORT_DYLIB_PATH -u LD_LIBRARY_PATH LMR_APP_DATA="$WORK/app" "$@"; }

clean "$P/bin/lmr" --version 2>"$WORK/version" || fail "lmr --version: $(cat "$WORK/version")"
grep -q '^lmr ' "$WORK/version" || fail "lmr --version printed: $(cat "$WORK/version")"

"$P/bin/ffmpeg" -v error -f lavfi -i testsrc2=size=64x48:rate=10 -frames:v 5 \
  -c:v libx264 -pix_fmt yuv420p clip.mp4
cp "$BUILD/models/nn2x.onnx" model.onnx
clean "$P/bin/lmr" upscale --model model.onnx -i clip.mp4 -o out.mp4 --ep cpu 2>"$WORK/upscale" ||
  fail "upscale failed: $(cat "$WORK/upscale")"
got=$("$P/bin/ffprobe" -v error -count_frames -select_streams v:0 \
  -show_entries stream=width,height,nb_read_frames -of csv=p=0 out.mp4)
[ "$got" = "128,96,5" ] || fail "out.mp4 is $got (width,height,frames), expected 128,96,5"
for f in * .[!.]*; do
  case "$f" in clip.mp4 | model.onnx | out.mp4 | '.[!.]*') ;; *) fail "left in the working folder: $f" ;; esac
done

mv "$P/bin/libonnxruntime.so" "$WORK/away.so"
if clean "$P/bin/lmr" upscale --model model.onnx -i clip.mp4 -o out2.mp4 --ep cpu 2>"$WORK/noort"; then
  fail "upscale ran without P/bin/libonnxruntime.so: the install leans on something else"
fi
grep -q "Failed to load ONNX Runtime dylib" "$WORK/noort" || fail "without the runtime: $(cat "$WORK/noort")"
echo "install_test: ok"
