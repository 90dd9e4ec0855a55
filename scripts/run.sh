#!/usr/bin/env bash
# Starts the window when a display is available, otherwise a command-line demo batch.
set -euo pipefail
build=${1:-build}
if [ -x "$build/src/app/vexal" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
  exec "$build/src/app/vexal"
fi
if [ -x "$build/src/app/vexal-cli" ]; then
  demo=$(mktemp -d)
  echo "No display: running a demo batch with vexal-cli in $demo"
  ffmpeg -hide_banner -loglevel error -f lavfi -i "sine=frequency=440:duration=5:sample_rate=44100" -ac 2 "$demo/Demo Tone.flac"
  "$build/src/app/vexal-cli" --format aac,alac,flac,wav,aiff,mp3,opus,vorbis --output "$demo/out" "$demo/Demo Tone.flac"
  ls -l "$demo/out"
  exit 0
fi
echo "Vexal is built in $build."
