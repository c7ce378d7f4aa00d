#!/usr/bin/env bash
# The investigator's options on a 30 s clip with known pictures: what each one answers, and
# what it costs against its yardstick.
#
#   bench/workflow.sh [BUILD_DIR] [WORK_DIR]
#
# Makes a clip (testsrc2 with noise, 25 fps, sine audio; SIZE default 1280x720, SECONDS
# default 30) and masks it with mosaic in groups of 60 pictures (key pictures at 0, 2.4,
# 4.8, ... s, so none lies in [10, 12)). Then, each timing the median of RUNS runs (default 3):
#   --info            counts against mosaic's, JSON parsed; time against ffprobe -count_packets
#                     (target: at most 2x)
#   --check           codes 0/2/5 for the key, a wrong key and a clip without privacy data, no file
#   --from 10 --to 12 hidden pictures of the range in the output, the first at 0 s and the
#                     picture at 10 s; time against the whole restore (target: at most 0.3x;
#                     the whole restore runs once, DEFAULT_RUNS to change that)
#   --copy --report   hashes against sha256sum, counts against the decoded output; time
#                     against --copy alone (target: at most 1.3x)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/demosaic-workflow}
runs=${RUNS:-3}
default_runs=${DEFAULT_RUNS:-1}
size=${SIZE:-1280x720}
seconds=${SECONDS_LONG:-30}
key=bench-workflow-key
mkdir -p "$work"
cd "$work"

for tool in ffmpeg ffprobe python3 sha256sum; do
  command -v "$tool" >/dev/null || { echo "workflow: $tool is needed" >&2; exit 1; }
done
demosaic=$build/demosaic
[[ -x $demosaic && -x $build/mosaic ]] || { echo "workflow: build demosaic and mosaic in $build first" >&2; exit 1; }

median() { sort -g | awk '{v[NR]=$1} END {if (NR%2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
# Wall seconds of one run of a command (its output thrown away, its status ignored).
wall() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
# Median wall time of RUNS (or $1) runs; the command after it. Outputs of restores are removed.
timed() {
  local n=$1; shift
  for _ in $(seq "$n"); do
    rm -f out/*
    wall "$@"
  done | median
}
ratio() { echo "scale=3; $1 / $2" | bc -l; }
json() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))" "$@"; }

echo "== clip: $seconds s $size, 25 fps, groups of 60 pictures"
if [[ ! -s clip.mp4 ]]; then
  ffmpeg -nostdin -loglevel error -y -f lavfi -i "testsrc2=size=$size:rate=25" \
    -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
    -vf "noise=alls=12:allf=t+u,format=yuv420p" -c:v libx264 -preset ultrafast -crf 14 -c:a aac -shortest plain.mp4
  "$build/mosaic" plain.mp4 "$key" -o clip.mp4 --gop 60 --preset faster > mosaic.txt
fi
cat mosaic.txt
read -r pictures hidden < <(sed -E 's/.*\(([0-9]+) pictures, ([0-9]+) hidden\).*/\1 \2/' mosaic.txt)
mkdir -p out
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== --info"
"$demosaic" --info clip.mp4 > info.json
json info.json '"pictures %d, key pictures %d, hidden %d, first %s s, last %s s, version %s" % (d["pictures"], d["key_pictures"], d["hidden_pictures"], d["first_hidden"], d["last_hidden"], d["version"])'
[[ $(json info.json 'd["pictures"]') == "$pictures" && $(json info.json 'd["hidden_pictures"]') == "$hidden" &&
   $(json info.json 'd["key_pictures"]') == $((pictures - hidden)) ]] && echo "counts: equal to mosaic's" ||
  echo "counts: DIFFER from mosaic's ($pictures pictures, $hidden hidden)"
probe=$(timed "$runs" ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 clip.mp4)
info=$(timed "$runs" "$demosaic" --info clip.mp4)
echo "ffprobe -count_packets ${probe} s, demosaic --info ${info} s: ratio $(ratio "$info" "$probe") (target <= 2)"

echo "== --check"
touch check.log
before=$(ls | wc -l)
for args in "clip.mp4 $key" "clip.mp4 wrong-key" "plain.mp4 $key"; do
  read -r input given <<< "$args"
  "$demosaic" --check "$input" "$given" > check.log 2>/dev/null && code=0 || code=$?
  echo "  --check $input ${given/$key/KEY}: exit $code, $(tail -n 1 check.log)"
done
echo "  files in the folder before and after: $before, $(ls | wc -l)"

echo "== --from 10 --to 12"
range=$(timed "$runs" "$demosaic" clip.mp4 "$key" -o out --from 10 --to 12)
rm -f out/*
"$demosaic" clip.mp4 "$key" -o out --from 10 --to 12 > range.log 2>&1
grep -o 'hidden pictures: [^[]*' range.log | head -n 1 | sed 's/\x1b.*//'
restored=$(ls out/*_decmosic_*)
frames=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 "$restored")
first=$(ffprobe -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 -read_intervals '%+#1' "$restored")
echo "output: $frames pictures, the first at $first s"
full=$(timed "$default_runs" "$demosaic" clip.mp4 "$key" -o out)
echo "whole restore ${full} s, --from 10 --to 12 ${range} s: ratio $(ratio "$range" "$full") (target <= 0.3)"

echo "== --copy --report"
copy=$(timed "$runs" "$demosaic" --copy clip.mp4 "$key" -o out)
report_runs=()
for _ in $(seq "$runs"); do
  rm -f out/* record.json
  report_runs+=("$(wall "$demosaic" --copy clip.mp4 "$key" -o out --report record.json)")
done
reported=$(printf '%s\n' "${report_runs[@]}" | median)
restored=$(ls out/*_decmosic_*)
[[ $(json record.json 'd["input"]["sha256"]') == $(sha256sum clip.mp4 | cut -c1-64) ]] && echo "input sha256: equal to sha256sum" || echo "input sha256: DIFFERS"
[[ $(json record.json 'd["output"]["sha256"]') == $(sha256sum "$restored" | cut -c1-64) ]] && echo "output sha256: equal to sha256sum" || echo "output sha256: DIFFERS"
decoded=$(ffprobe -v error -count_frames -select_streams v -show_entries stream=nb_read_frames -of csv=p=0 "$restored")
json record.json '"record: restored %d of %d found; output %d pictures (%d key pictures kept as recorded)" % (d["pictures"]["restored"], d["pictures"]["hidden_found"], '"$decoded"', d["pictures"]["key"])'
echo "--copy ${copy} s, --copy --report ${reported} s: ratio $(ratio "$reported" "$copy") (target <= 1.3)"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
