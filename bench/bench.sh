#!/usr/bin/env bash
# Restore benchmark: demosaic against the ffmpeg command line doing the same work.
#
#   bench/bench.sh [BUILD_DIR] [WORK_DIR]
#
# For a 720p and a 1080p clip (10 s, 25 fps, testsrc2 with noise, sine audio), made with
# mosaic, it alternates RUNS times (default 3):
#   (a) demosaic CLIP KEY
#   (b) ffmpeg decoding the unmasked chain's stream (mosaic --dump-unmasked), giving its
#       pictures the clip's timestamps and leaving out its key pictures (the ones demosaic
#       withholds), encoding with libx264 preset medium, tune zerolatency, demosaic's bit
#       rate and no B-frames at 25 fps into MP4, audio copied from the clip
#   (c) demosaic --copy CLIP KEY (the lossless restore: no decoder, no encoder)
#   (d) ffmpeg -i CLIP -c copy OUT (the plain remux that (c) is measured against)
# and prints medians of wall time, CPU time (user+sys) and peak RSS, the ratios (a)/(b),
# (c)/(d) and (a)/(c) and the output video bit rates. Then the memory check: demosaic's peak
# RSS, both restores, on a 10 s and a 60 s 720p clip. Environment: RUNS, SIZES (e.g. "720 1080"), MEMCHECK=0 to skip it,
# KEEP_OUTPUTS=1 to keep the restored files.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/demosaic-bench}
runs=${RUNS:-3}
default_runs=${DEFAULT_RUNS:-$runs}
sizes=${SIZES:-"720 1080"}
key=${BENCH_KEY:-bench-privacy-key}
gop=50
mkdir -p "$work"
export BENCH_KEY=$key

for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done
[[ -x $build/demosaic && -x $build/mosaic ]] || { echo "bench: build demosaic and mosaic in $build first" >&2; exit 1; }

median() { sort -g | awk '{v[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
video_kbps() {
  ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$1" | awk '{printf "%.0f", $1/1000}'
}

# Runs a command under /usr/bin/time; appends "wall cpu peak_kib" to the file $1.
timed() {
  local record=$1; shift
  local t; t=$(mktemp)
  /usr/bin/time -f "%e %U %S %M" -o "$t" "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; cat "$t" >&2; rm -f "$t"; return 1; }
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$t" >> "$record"
  rm -f "$t"
}

run_demosaic() {  # clip rundir record [options]
  local clip=$1 dir=$2 record=$3
  shift 3
  rm -rf "$dir"; mkdir -p "$dir"
  ln -s "$clip" "$dir/in.mp4"
  timed "$record" "$build/demosaic" "$@" "$dir/in.mp4" "$key"
  ls "$dir"/in_decmosic_*.mp4
}

run_ffmpeg() {  # dump clip bitrate out record
  local dump=$1 clip=$2 rate=$3 out=$4 record=$5
  timed "$record" ffmpeg -nostdin -y -loglevel error \
    -framerate 25 -f h264 -i "$dump" -i "$clip" -map 0:v -map 1:a \
    -vf "setpts=N/(25*TB),select='not(eq(pict_type\,I))'" -r 25 -fps_mode passthrough \
    -c:v libx264 -preset medium -tune zerolatency -b:v "$rate" -bf 0 \
    -c:a copy "$out"
}

run_ffmpeg_copy() {  # clip out record
  timed "$3" ffmpeg -nostdin -y -loglevel error -i "$1" -map 0:v -map 0:a -c copy "$2"
}

printf '\nmachine: %s cores, %s; load before: %s\n' "$(nproc)" "$(uname -sr)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '\n| clip | program | wall s | CPU s | peak RSS MiB | video kbit/s | frames |\n|---|---|---|---|---|---|---|\n'
ratios=""
for h in $sizes; do
  case $h in 720) wh=1280x720 ;; 1080) wh=1920x1080 ;; *) echo "bench: size $h?" >&2; exit 1 ;; esac
  name=c$h
  "$here/make_clips.sh" "$build" "$work" "$name" "$wh" 10
  clip="$work/$name.masked.mp4" dump="$work/$name.unmasked.h264"
  # demosaic's encoder target: the input video's bit rate, at least 8388608 bit/s.
  in_rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$clip")
  rate=$(( in_rate < 8388608 ? 8388608 : in_rate ))
  ra="$work/$name.a.txt" rb="$work/$name.b.txt" rc="$work/$name.c.txt" rd="$work/$name.d.txt"
  : > "$ra"; : > "$rb"; : > "$rc"; : > "$rd"
  out_a="" out_b="$work/$name.ffmpeg.mp4" out_c="" out_d="$work/$name.ffmpeg-copy.mp4"
  for ((i = 1; i <= runs; i++)); do
    if ((i <= default_runs)); then
      out_a=$(run_demosaic "$clip" "$work/run-$name" "$ra")
      run_ffmpeg "$dump" "$clip" "$rate" "$out_b" "$rb"
    fi
    out_c=$(run_demosaic "$clip" "$work/run-$name-copy" "$rc" --copy)
    run_ffmpeg_copy "$clip" "$out_d" "$rd"
  done
  for side in a b c d; do
    case $side in
      a) rec=$ra out=$out_a prog=demosaic ;;
      b) rec=$rb out=$out_b prog=ffmpeg ;;
      c) rec=$rc out=$out_c prog="demosaic --copy" ;;
      d) rec=$rd out=$out_d prog="ffmpeg -c copy" ;;
    esac
    wall=$(cut -d' ' -f1 "$rec" | median); cpu=$(cut -d' ' -f2 "$rec" | median)
    rss=$(cut -d' ' -f3 "$rec" | median | awk '{printf "%.0f", $1/1024}')
    frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$out")
    printf '| %sp 10 s | %s | %s | %s | %s | %s | %s |\n' "$h" "$prog" "$wall" "$cpu" "$rss" "$(video_kbps "$out")" "$frames"
    eval "${side}_wall=$wall ${side}_cpu=$cpu ${side}_rss=$rss"
  done
  ratios+=$(awk -v h="$h" -v aw="$a_wall" -v bw="$b_wall" -v ac="$a_cpu" -v bc="$b_cpu" -v ar="$a_rss" -v br="$b_rss" -v r="$rate" \
    'BEGIN {printf "%sp: wall ratio (a)/(b) %.2f, CPU ratio %.2f, peak RSS ratio %.2f (target %d bit/s)\n", h, aw/bw, ac/bc, ar/br, r}')$'\n'
  ratios+=$(awk -v h="$h" -v aw="$a_wall" -v cw="$c_wall" -v dw="$d_wall" -v cr="$c_rss" -v dr="$d_rss" \
    'BEGIN {printf "%sp copy: wall (c)/(d) %.2f (target <= 2), default/copy (a)/(c) %.1fx (target >= 50), peak RSS (c)/(d) %.2f\n", h, cw/dw, aw/cw, cr/dr}')$'\n'
  [[ ${KEEP_OUTPUTS:-0} == 1 ]] || rm -rf "$work/run-$name" "$work/run-$name-copy" "$out_b" "$out_d"
done
printf '\n%s' "$ratios"

if [[ ${MEMCHECK:-1} != 0 ]]; then
  "$here/make_clips.sh" "$build" "$work" c720long 1280x720 60
  for mode in ${MEMCHECK_MODES:-default copy}; do
    mode=${mode/#default/}; mode=${mode/#copy/--copy}
    rm_ten="$work/mem10.txt" rm_sixty="$work/mem60.txt"; : > "$rm_ten"; : > "$rm_sixty"
    run_demosaic "$work/c720.masked.mp4" "$work/run-mem" "$rm_ten" $mode >/dev/null
    run_demosaic "$work/c720long.masked.mp4" "$work/run-mem" "$rm_sixty" $mode >/dev/null
    rm -rf "$work/run-mem"
    awk -v m="${mode:-(default)}" 'NR==FNR {t=$3; next} {s=$3} END {printf "\nmemory check, demosaic %s 720p: 10 s clip %.1f MiB, 60 s clip %.1f MiB peak RSS (60 s / 10 s = %.2f)\n", m, t/1024, s/1024, s/t}' "$rm_ten" "$rm_sixty"
  done
fi
printf 'load after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
