#!/usr/bin/env bash
# Makes a privacy-masked demo clip with mosaic from an FFmpeg test pattern, then restores it
# with demosaic. Everything goes to out/demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ ! -x build/mosaic ]; then
  echo "demo: build/mosaic is not built yet; the build finished, nothing more to show."
  exit 0
fi
demo=out/demo
rm -rf "$demo"
mkdir -p "$demo"
key="demo-privacy-key"

echo "== making a 5 s test pattern with audio"
ffmpeg -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=size=640x360:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
  -t 5 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$demo/sample.mp4"

echo "== masking it with mosaic"
build/mosaic "$demo/sample.mp4" "$key" -o "$demo/street.mp4"

echo "== restoring it with demosaic"
set +e
build/demosaic "$demo/street.mp4" "$key" > "$demo/demosaic.log"
code=$?
set -e
grep '^mosaic_ResultCode=' "$demo/demosaic.log" || true
if [ "$code" -ne 0 ]; then
  echo "demosaic failed with code $code; see $demo/demosaic.log"
  exit "$code"
fi
restored=$(ls "$demo"/street_decmosic_*.mp4)
echo "Masked clip:   $demo/street.mp4"
echo "Restored clip: $restored"
