#!/usr/bin/env bash
# Checks a restored clip against the source the masked clip was made from:
#   bench/quality.sh RESTORED SOURCE [GOP]
# Prints the number of pictures, a checksum of their timestamps, and the PSNR of the
# restored pictures against the source pictures they stand for (the source without the
# first picture of each group, which demosaic withholds: it shows the mosaic).
set -euo pipefail
restored=$1 source=$2 gop=${3:-50}
pts=$(ffprobe -v error -select_streams v:0 -show_entries packet=pts -of csv=p=0 "$restored" | sort -n)
echo "pictures: $(wc -l <<<"$pts"), timestamps md5: $(md5sum <<<"$pts" | cut -c1-12), first..last: $(head -1 <<<"$pts")..$(tail -1 <<<"$pts")"
ffmpeg -nostdin -v error -i "$restored" -i "$source" -filter_complex \
  "[0:v]setpts=N[d];[1:v]select='mod(n\,$gop)',setpts=N[s];[d][s]psnr=stats_file=-" -f null - 2>/dev/null |
  awk '{for (i = 1; i <= NF; i++) {split($i, kv, ":"); if (kv[1] == "psnr_avg") {s += kv[2]; n++} if (kv[1] == "psnr_y") y += kv[2]}}
       END {printf "PSNR (mean of per-picture values) over %d pictures: average %.3f dB, Y %.3f dB\n", n, s/n, y/n}'
