#!/usr/bin/env bash
# Makes a privacy-masked demo clip with mosaic from an FFmpeg test pattern, restores it with
# demosaic, and puts one frame of each side by side in docs/demo.png. Everything else goes
# to out/demo/.
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

# A test pattern with a made-up number plate in the middle: the part a camera would mask.
sample() {
  ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "testsrc2=size=640x360:rate=25" -f lavfi -i "sine=frequency=440:sample_rate=48000" \
    -t 5 ${1:+-vf "$1"} -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$demo/sample.mp4"
}
echo "== making a 5 s test pattern with audio"
plate="drawtext=text='AB 123 CD':font=Sans:fontsize=48:fontcolor=black:box=1:boxcolor=white"
plate="$plate:boxborderw=14:x=(w-tw)/2:y=(h-th)/2"
sample "$plate" 2>/dev/null || sample ""  # without drawtext: the pattern alone

echo "== masking it with mosaic (the plate in the middle, 16-pixel cells)"
build/mosaic "$demo/sample.mp4" "$key" --region 160,120,320,120 --block 16 -o "$demo/street.mp4"

echo "== restoring it with demosaic (log lines in $demo/demosaic.log)"
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

# Frame 30 (1.2 s): not a group's first picture, so the restored clip has it. Both sides
# are picked by timestamp, since the restored clip leaves out the groups' first pictures.
echo "== drawing docs/demo.png: the masked frame beside the restored one"
pick="select='gte(t\,1.19)',scale=640:360"
label() {  # drawtext, white on a dark box in the bottom-left corner
  echo "drawtext=text='$1':font=Sans:fontsize=24:fontcolor=white:box=1:boxcolor=black@0.7:boxborderw=8:x=12:y=h-th-16"
}
picture() {
  ffmpeg -hide_banner -loglevel error -y -i "$demo/street.mp4" -i "$restored" \
    -filter_complex "[0:v]${pick}$1[a];[1:v]${pick}$2[b];[a][b]hstack=inputs=2,scale=960:-2" \
    -frames:v 1 -update 1 "$demo/demo.png"
}
if ! picture ",$(label 'masked (what a player shows)')" ",$(label 'restored by demosaic')" 2>/dev/null; then
  picture "" ""  # no drawtext in this FFmpeg: the picture without labels
fi
mkdir -p docs
cp "$demo/demo.png" docs/demo.png

echo "Masked clip:   $demo/street.mp4"
echo "Restored clip: $restored"
echo "Side by side:  docs/demo.png"
