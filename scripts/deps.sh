#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, fuzzing and benchmarking need,
# when they are missing. Runs apt-get only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libssl-dev
  ffmpeg
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
