#!/usr/bin/env bash
# Restore benchmark: demosaic against the ffmpeg command line doing the same work.
#
#   bench/bench.sh [BUILD_DIR] [WORK_DIR]
#
# Clips (CLIPS, default "c720 c1080 h360"): c720 and c1080 are H.264 at 1280x720 and 1920x1080,
# h360 is HEVC at 640x360; 10 s at 25 fps of testsrc2 with noise and a sine tone, groups of 50
# pictures, masked with mosaic. For each clip and each core count of CORES (default "2 1"; the
# programs are pinned with taskset to that many of the CPUs this script may use) it alternates
# RUNS times (default 3):
#   (a) demosaic CLIP KEY
#   (o) the same with BASELINE, another demosaic binary (e.g. main's), when BASELINE is set
#   (b) ffmpeg decoding the unmasked chain's stream (mosaic --dump-unmasked), giving its
#       pictures the clip's timestamps and leaving out its key pictures (the ones demosaic
#       withholds), encoding with libx264 or libx265, preset medium, tune zerolatency,
#       demosaic's bit rate and no B-frames at 25 fps into MP4, audio copied from the clip
# and, with the first core count, DEFAULT_RUNS aside (default RUNS; COPY=0 leaves them out):
#   (c) demosaic --copy CLIP KEY (the lossless restore: no decoder, no encoder)
#   (d) ffmpeg -i CLIP -c copy OUT (the plain remux that (c) is measured against)
# It prints medians of wall time, CPU time (user+sys) and peak RSS, the video bit rate and the
# mean PSNR against the ideal pictures (the unmasked chain's, key pictures left out) of each
# program's last output, and the ratios (for the wall time also the median of the ratios of
# the runs taken side by side). Then the memory check (MEMCHECK=0 skips it): peak RSS
# of demosaic (and BASELINE) on a 10 s and a 60 s 720p clip (MEMCHECK_MODES, default "default
# copy"), and of the default restore on a 2 s 3840x2160 HEVC clip with one 250-picture group.
# KEEP_OUTPUTS=1 keeps the restored files. Note the load (printed before and after): other
# work on the machine inflates wall times, and only ratios of runs taken side by side compare.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/demosaic-bench}
runs=${RUNS:-3}
default_runs=${DEFAULT_RUNS:-$runs}
clips=${CLIPS:-"c720 c1080 h360"}
cores_list=${CORES:-"2 1"}
baseline=${BASELINE:-}
key=${BENCH_KEY:-bench-privacy-key}
mkdir -p "$work"
export BENCH_KEY=$key

for tool in ffmpeg ffprobe taskset /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is needed" >&2; exit 1; }
done
[[ -x $build/demosaic && -x $build/mosaic ]] || { echo "bench: build demosaic and mosaic in $build first" >&2; exit 1; }
[[ -z $baseline || -x $baseline ]] || { echo "bench: BASELINE $baseline is not a program" >&2; exit 1; }

# The CPUs this script may run on, one per line ("0-3,6" becomes 0 1 2 3 6).
allowed_cpus() {
  taskset -cp $$ | sed 's/.*: //' | tr ',' '\n' |
    awk -F- '{if (NF == 2) for (i = $1; i <= $2; i++) print i; else print $1}'
}
cpus_for() {  # N: the first N allowed CPUs, comma-separated
  local list; list=$(allowed_cpus | head -n "$1" | paste -sd,)
  [[ $(tr ',' '\n' <<<"$list" | wc -l) -eq $1 ]] || { echo "bench: fewer than $1 CPUs to run on" >&2; exit 1; }
  echo "$list"
}

median() { sort -g | awk '{v[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
video_kbps() {
  ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$1" | awk '{printf "%.0f", $1/1000}'
}
mean_psnr() {  # restored ideal_stream
  "$here/quality.sh" "$1" "$2" 50 | awk '/PSNR/ {for (i = 1; i <= NF; i++) if ($i == "average") print $(i + 1)}'
}

# Runs a command under /usr/bin/time; appends "wall cpu peak_kib" to the file $1.
timed() {
  local record=$1; shift
  local t; t=$(mktemp)
  /usr/bin/time -f "%e %U %S %M" -o "$t" "$@" >/dev/null 2>&1 || { echo "bench: failed: $*" >&2; cat "$t" >&2; rm -f "$t"; return 1; }
  awk '{printf "%s %.2f %s\n", $1, $2 + $3, $4}' "$t" >> "$record"
  rm -f "$t"
}

run_demosaic() {  # program clip rundir record [options]; prints the restored file
  local program=$1 clip=$2 dir=$3 record=$4
  shift 4
  rm -rf "$dir"; mkdir -p "$dir"
  ln -s "$clip" "$dir/in.mp4"
  timed "$record" ${PIN:+taskset -c "$PIN"} "$program" "$@" "$dir/in.mp4" "$key"
  ls "$dir"/in_decmosic_*.mp4
}

run_ffmpeg() {  # codec dump clip bitrate out record
  local codec=$1 dump=$2 clip=$3 rate=$4 out=$5 record=$6 encoder=(-c:v libx264)
  [[ $codec == hevc ]] && encoder=(-c:v libx265 -x265-params log-level=error)
  timed "$record" ${PIN:+taskset -c "$PIN"} ffmpeg -nostdin -y -loglevel error \
    -framerate 25 -f "$codec" -i "$dump" -i "$clip" -map 0:v -map 1:a \
    -vf "setpts=N/(25*TB),select='not(eq(pict_type\,I))'" -r 25 -fps_mode passthrough \
    "${encoder[@]}" -preset medium -tune zerolatency -b:v "$rate" -bf 0 \
    -c:a copy "$out"
}

run_ffmpeg_copy() {  # clip out record
  timed "$3" ffmpeg -nostdin -y -loglevel error -i "$1" -map 0:v -map 0:a -c copy "$2"
}

printf '\nmachine: %s cores, %s; load before: %s\n' "$(nproc)" "$(uname -sr)" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf '\n| clip | cores | program | wall s | CPU s | peak RSS MiB | video kbit/s | PSNR dB | pictures |\n|---|---|---|---|---|---|---|---|---|\n'
ratios=""
first_cores=${cores_list%% *}
for name in $clips; do
  case $name in
    c720) wh=1280x720 codec=h264 ;;
    c1080) wh=1920x1080 codec=h264 ;;
    h360) wh=640x360 codec=hevc ;;
    *) echo "bench: clip $name?" >&2; exit 1 ;;
  esac
  "$here/make_clips.sh" "$build" "$work" "$name" "$wh" 10 "$codec"
  clip="$work/$name.masked.mp4" dump="$work/$name.unmasked.$codec"
  # demosaic's encoder target: the input video's bit rate, at least 8388608 bit/s.
  in_rate=$(ffprobe -v error -select_streams v:0 -show_entries stream=bit_rate -of csv=p=0 "$clip")
  rate=$(( in_rate < 8388608 ? 8388608 : in_rate ))
  for cores in $cores_list; do
    PIN=$(cpus_for "$cores")
    sides="a b"; [[ -n $baseline ]] && sides="a o b"
    [[ ${COPY:-1} == 1 && $cores == "$first_cores" ]] && sides+=" c d"
    for side in $sides; do : > "$work/$name.$cores.$side.txt"; done
    out_a="" out_o="" out_b="$work/$name.ffmpeg.mp4" out_c="" out_d="$work/$name.ffmpeg-copy.mp4"
    for ((i = 1; i <= runs; i++)); do
      for side in $sides; do
        rec="$work/$name.$cores.$side.txt"
        case $side in
          a) ((i <= default_runs)) && out_a=$(run_demosaic "$build/demosaic" "$clip" "$work/run-$name-a" "$rec") ;;
          o) ((i <= default_runs)) && out_o=$(run_demosaic "$baseline" "$clip" "$work/run-$name-o" "$rec") ;;
          b) ((i <= default_runs)) && run_ffmpeg "$codec" "$dump" "$clip" "$rate" "$out_b" "$rec" ;;
          c) out_c=$(run_demosaic "$build/demosaic" "$clip" "$work/run-$name-c" "$rec" --copy) ;;
          d) run_ffmpeg_copy "$clip" "$out_d" "$rec" ;;
        esac
      done
    done
    for side in $sides; do
      rec="$work/$name.$cores.$side.txt"
      case $side in
        a) out=$out_a prog=demosaic ;;
        o) out=$out_o prog="demosaic (BASELINE)" ;;
        b) out=$out_b prog=ffmpeg ;;
        c) out=$out_c prog="demosaic --copy" ;;
        d) out=$out_d prog="ffmpeg -c copy" ;;
      esac
      wall=$(cut -d' ' -f1 "$rec" | median); cpu=$(cut -d' ' -f2 "$rec" | median)
      rss=$(cut -d' ' -f3 "$rec" | median | awk '{printf "%.0f", $1/1024}')
      frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$out")
      psnr=-; [[ $side == [abo] ]] && psnr=$(mean_psnr "$out" "$dump")
      printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$cores" "$prog" "$wall" "$cpu" "$rss" \
        "$(video_kbps "$out")" "$psnr" "$frames"
      eval "${side}_wall=$wall ${side}_cpu=$cpu ${side}_rss=$rss ${side}_psnr=$psnr ${side}_kbps=$(video_kbps "$out")"
    done
    # Runs taken one after the other share the machine's state of the moment: the median of
    # the ratios run by run is steadier than the ratio of the medians where the load varies.
    paired=$(paste -d' ' "$work/$name.$cores.a.txt" "$work/$name.$cores.b.txt" | awk '{print $1/$4}' | median)
    ratios+=$(awk -v n="$name" -v k="$cores" -v aw="$a_wall" -v bw="$b_wall" -v ac="$a_cpu" -v bc="$b_cpu" \
      -v ar="$a_rss" -v br="$b_rss" -v ap="$a_psnr" -v bp="$b_psnr" -v ak="$a_kbps" -v bk="$b_kbps" -v r="$rate" \
      -v pw="$paired" \
      'BEGIN {printf "%s, %s cores: (a)/(b) wall %.2f (run by run %.2f), CPU %.2f, peak RSS %.2f; PSNR %+.2f dB, bit rate x%.3f (target %d bit/s)\n",
              n, k, aw/bw, pw, ac/bc, ar/br, ap-bp, ak/bk, r}')$'\n'
    if [[ -n $baseline ]]; then
      ratios+=$(awk -v n="$name" -v k="$cores" -v aw="$a_wall" -v ow="$o_wall" -v ar="$a_rss" -v or="$o_rss" \
        'BEGIN {printf "%s, %s cores: (a)/(o) wall %.2f, peak RSS %.2f\n", n, k, aw/ow, ar/or}')$'\n'
    fi
    if [[ $sides == *c* ]]; then
      ratios+=$(awk -v n="$name" -v aw="$a_wall" -v cw="$c_wall" -v dw="$d_wall" -v cr="$c_rss" -v dr="$d_rss" \
        'BEGIN {printf "%s copy: wall (c)/(d) %.2f (target <= 2), default/copy (a)/(c) %.1fx (target >= 50), peak RSS (c)/(d) %.2f\n", n, cw/dw, aw/cw, cr/dr}')$'\n'
    fi
  done
  [[ ${KEEP_OUTPUTS:-0} == 1 ]] || rm -rf "$work/run-$name"-? "$out_b" "$out_d"
done
printf '\n%s' "$ratios"
PIN=""

if [[ ${MEMCHECK:-1} != 0 ]]; then
  "$here/make_clips.sh" "$build" "$work" c720 1280x720 10
  "$here/make_clips.sh" "$build" "$work" c720long 1280x720 60
  programs=("$build/demosaic"); [[ -n $baseline ]] && programs+=("$baseline")
  for program in "${programs[@]}"; do
    for mode in ${MEMCHECK_MODES:-default copy}; do
      mode=${mode/#default/}; mode=${mode/#copy/--copy}
      rm_ten="$work/mem10.txt" rm_sixty="$work/mem60.txt"; : > "$rm_ten"; : > "$rm_sixty"
      run_demosaic "$program" "$work/c720.masked.mp4" "$work/run-mem" "$rm_ten" $mode >/dev/null
      run_demosaic "$program" "$work/c720long.masked.mp4" "$work/run-mem" "$rm_sixty" $mode >/dev/null
      rm -rf "$work/run-mem"
      awk -v p="$program" -v m="${mode:-(default)}" 'NR==FNR {t=$3; next} {s=$3} END {printf "\nmemory check, %s %s 720p: 10 s clip %.1f MiB, 60 s clip %.1f MiB peak RSS (60 s / 10 s = %.2f)\n", p, m, t/1024, s/1024, s/t}' "$rm_ten" "$rm_sixty"
    done
  done
  BENCH_SRC_CRF=20 "$here/make_clips.sh" "$build" "$work" h2160 3840x2160 2 hevc 250
  for program in "${programs[@]}"; do
    rm_4k="$work/mem4k.txt"; : > "$rm_4k"
    run_demosaic "$program" "$work/h2160.masked.mp4" "$work/run-mem" "$rm_4k" >/dev/null
    rm -rf "$work/run-mem"
    awk -v p="$program" '{printf "memory check, %s, 2 s 3840x2160 HEVC, one 250-picture group: %.1f MiB peak RSS\n", p, $3/1024}' "$rm_4k"
  done
fi
printf 'load after: %s\n' "$(cut -d' ' -f1-3 /proc/loadavg)"
