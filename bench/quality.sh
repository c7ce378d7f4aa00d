#!/usr/bin/env bash
# Checks a restored clip against the pictures it should show:
#   bench/quality.sh RESTORED REFERENCE [GOP]
# REFERENCE is the source the masked clip was made from, or the unmasked chain's stream that
# mosaic --dump-unmasked wrote (.h264 or .hevc: the ideal restored pictures, read at 25 fps).
# Prints the number of pictures, a checksum of their timestamps, and the PSNR of the restored
# pictures against the reference pictures they stand for (the reference without the first
# picture of each group, which demosaic withholds: it shows the mosaic).
set -euo pipefail
restored=$1 reference=$2 gop=${3:-50}
pts=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$restored" | sort -n)
echo "pictures: $(wc -l <<<"$pts"), timestamps md5: $(md5sum <<<"$pts" | cut -c1-12), first..last: $(head -1 <<<"$pts")..$(tail -1 <<<"$pts")"
raw=()
case $reference in
  *.h264) raw=(-framerate 25 -f h264) ;;
  *.hevc) raw=(-framerate 25 -f hevc) ;;
esac
# Both numbered from 0 at 25 fps, so that the filter pairs the pictures by position.
ffmpeg -nostdin -v error -i "$restored" "${raw[@]}" -i "$reference" -filter_complex \
  "[0:v]setpts=N/(25*TB)[d];[1:v]select='mod(n\,$gop)',setpts=N/(25*TB)[s];[d][s]psnr=stats_file=-" -f null - 2>/dev/null |
  awk '{for (i = 1; i <= NF; i++) {split($i, kv, ":"); if (kv[1] == "psnr_avg") {s += kv[2]; n++} if (kv[1] == "psnr_y") y += kv[2]}}
       END {printf "PSNR (mean of per-picture values) over %d pictures: average %.3f dB, Y %.3f dB\n", n, s/n, y/n}'
