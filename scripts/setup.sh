#!/usr/bin/env bash
# First command of the README: installs what is missing, builds, and runs the main job on a
# built-in sample: a test pattern with audio is masked with mosaic, then restored with demosaic.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
bash scripts/demo.sh
