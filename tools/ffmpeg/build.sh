#!/bin/sh
# build.sh [DIR]: puts ffmpeg and ffprobe next to the lmr executable in DIR
# (default: build/bin), where the engine looks for them.
# Linux: links the system's programs. macOS: the app ships its own build;
# for a developer build, link Homebrew's or set LMR_FFMPEG_DIR.
set -eu
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DIR=${1:-$ROOT/build/bin}
mkdir -p "$DIR"
for tool in ffmpeg ffprobe; do
  src=$(command -v "$tool" || true)
  if [ -z "$src" ]; then
    case "$(uname -s)" in
      Darwin) echo "$tool not found: install it (brew install ffmpeg) and run this again" >&2 ;;
      *) echo "$tool not found: install it (apt-get install ffmpeg) and run this again" >&2 ;;
    esac
    exit 1
  fi
  ln -sf "$src" "$DIR/$tool"
done
