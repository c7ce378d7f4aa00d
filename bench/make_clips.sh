#!/usr/bin/env bash
# Makes the privacy-masked benchmark clips with mosaic: detailed moving content (testsrc2
# with temporal noise, so the encoder's bit-rate target is actually reached) and a sine
# tone as audio. For each clip it keeps the source, the masked clip and the unmasked
# chain's Annex B stream (--dump-unmasked), which the ffmpeg command line decodes.
#
#   bench/make_clips.sh BUILD_DIR OUT_DIR NAME WIDTHxHEIGHT SECONDS [CODEC [GOP]]
#
# CODEC is mosaic's --codec (h264, the default, or hevc); GOP its --gop (default 50).
set -euo pipefail
build=$1 out=$2 name=$3 size=$4 seconds=$5 codec=${6:-h264} gop=${7:-50}
key=${BENCH_KEY:-bench-privacy-key}
fps=25
mkdir -p "$out"
src="$out/$name.src.mp4"
masked="$out/$name.masked.mp4"
dump="$out/$name.unmasked.$codec"
if [[ -s $masked && -s $dump && -s $src ]]; then exit 0; fi
# Near-lossless source: what the masked clip's hidden pictures are compared against.
ffmpeg -nostdin -loglevel error -y \
  -f lavfi -i "testsrc2=size=$size:rate=$fps" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" \
  -t "$seconds" -vf "noise=alls=12:allf=t+u,format=yuv420p" \
  -c:v libx264 -preset ultrafast -crf ${BENCH_SRC_CRF:-14} -c:a aac -b:a 128k -shortest "$src"
"$build/mosaic" "$src" "$key" -o "$masked" --dump-unmasked "$dump" --preset faster \
  --codec "$codec" --gop "$gop" >/dev/null
