#!/usr/bin/env bash
# Installs the Debian 12 packages Vexal builds and tests with, only those missing; more
# packages may be named as arguments (make run adds qt6-wayland).
set -euo pipefail
packages=(
  "$@"
  pkg-config cmake g++ make ccache
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev libswscale-dev libsoxr-dev
  qt6-base-dev libqt6svg6 libtag1-dev libmp3lame-dev libvorbis-dev libogg-dev libopus-dev
  libgtest-dev libgmock-dev libbenchmark-dev libebur128-dev
  ffmpeg xvfb xauth time
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
