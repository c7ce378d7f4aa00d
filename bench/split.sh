#!/usr/bin/env bash
# Where the CPU time goes, for demosaic and for the ffmpeg command line of bench.sh, on a
# clip made by bench.sh: samples with perf, grouped into the codecs (libx264 or libx265,
# libavcodec) and everything else (our code, libavformat, libc, OpenSSL, the kernel...).
#
#   bench/split.sh [BUILD_DIR] [WORK_DIR] [720|1080]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/demosaic-bench}
h=${3:-720}
key=${BENCH_KEY:-bench-privacy-key}
command -v perf >/dev/null || { echo "split: perf is needed" >&2; exit 1; }
clip="$work/c$h.masked.mp4" dump="$work/c$h.unmasked.h264"
[[ -s $clip && -s $dump ]] || { echo "split: run bench.sh first (no $clip)" >&2; exit 1; }
in_rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$clip")
rate=$(( in_rate < 8388608 ? 8388608 : in_rate ))
dir="$work/split-$h"; rm -rf "$dir"; mkdir -p "$dir"; ln -s "$clip" "$dir/in.mp4"

report() {  # name perf.data
  perf report -i "$2" --sort dso --stdio 2>/dev/null | awk -v name="$1" '
    /^ +[0-9.]+%/ {p = $1; sub("%", "", p); d = $2
      if (d ~ /libx26[45]/) enc += p; else if (d ~ /libavcodec/) dec += p; else rest += p}
    END {printf "%s: encoder library %.1f%%, libavcodec %.1f%%, everything else %.1f%%\n", name, enc, dec, rest}'
}
perf record -q -F 499 -o "$dir/a.data" "$build/demosaic" "$dir/in.mp4" "$key" >/dev/null 2>&1
perf record -q -F 499 -o "$dir/b.data" ffmpeg -nostdin -y -loglevel error \
  -framerate 25 -f h264 -i "$dump" -i "$clip" -map 0:v -map 1:a \
  -vf "setpts=N/(25*TB),select='not(eq(pict_type\,I))'" -r 25 -fps_mode passthrough \
  -c:v libx264 -preset medium -tune zerolatency -b:v "$rate" -bf 0 -c:a copy "$dir/ffmpeg.mp4" >/dev/null 2>&1
echo "CPU samples by library, ${h}p (perf, 499 Hz; libavcodec holds the decoder and FFmpeg's encoder wrapper):"
report demosaic "$dir/a.data"
report ffmpeg "$dir/b.data"
for s in a b; do
  printf '%s total samples: %s\n' "$([[ $s == a ]] && echo demosaic || echo ffmpeg)" \
    "$(perf report -i "$dir/$s.data" --stdio 2>/dev/null | awk '/^# Samples/ {print $3}')"
done
rm -rf "$dir"
