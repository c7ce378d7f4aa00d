#!/usr/bin/env bash
# Peak memory on hostile inputs: what a small file can make demosaic hold.
#
#   bench/hostile_memory.sh [BUILD_DIR] [WORK_DIR]
#
# Masks a 160x120 clip of 61 pictures with mosaic twice (groups of 20 and of 60), takes the
# Annex B streams apart and writes three files, each put back into MP4 by ffmpeg:
#   nal1   200,000 header-only filler NAL units in front of the first IDR picture's slice
#   nal3   the same in front of each of the first three IDR pictures (groups of 20)
#   au30   a 30 MiB SEI NAL unit in front of each of the first three IDR pictures: access units
#          just within the size bound (32 MiB), the most memory a 100 MB input can ask for
#   au40   a 40 MiB one in front of the first: refused, with the hidden pictures of its group
#   sps60  groups of 60: the 59 pictures between the two IDR pictures without their privacy
#          messages, each behind a 1 MiB parameter set (an SPS whose id is out of range), so
#          that all of them wait for the next picture that is written; no hidden picture is
#          left, so the run ends with code 5
# and runs the default restore and --copy on each under /usr/bin/time, printing the file size,
# the result code and the peak RSS. The target: under 512 MB for any input up to 100 MB.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
work=${2:-${TMPDIR:-/tmp}/demosaic-hostile}
key=bench-privacy-key
mkdir -p "$work"
for tool in ffmpeg python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "hostile_memory: $tool is needed" >&2; exit 1; }
done

ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 61 \
  -c:v libx264 -preset ultrafast "$work/src.mp4"
for gop in 20 60; do
  "$build/mosaic" "$work/src.mp4" "$key" -o "$work/masked$gop.mp4" --gop $gop --preset ultrafast >/dev/null
  ffmpeg -nostdin -loglevel error -y -i "$work/masked$gop.mp4" -map 0:v -c copy -bsf:v h264_mp4toannexb \
    -f h264 "$work/masked$gop.h264"
done

python3 - "$work" <<'EOF'
import sys
work = sys.argv[1]
def nal_units(path):
    data = open(path, "rb").read()
    starts, i = [], data.find(b"\0\0\1")
    while i >= 0:
        starts.append(i + 3)
        i = data.find(b"\0\0\1", i + 3)
    # (a 4-byte start code's leading zero is stripped from the unit before it)
    return [data[s:(starts[k + 1] - 3 if k + 1 < len(starts) else len(data))].rstrip(b"\0")
            for k, s in enumerate(starts)]
filler = b"\0\0\0\1\x0c" * 200000
sps = b"\0\0\0\1\x67\x42\x00\x1e\x02" + b"\xaa" * (1 << 20)
def sei(mib):
    return b"\0\0\0\1\x06\x05" + b"\xff" * (mib * 4) + b"\x10" + b"\xaa" * (mib << 20)
def write(name, gop, filled_idrs, junk, fill=filler):
    out, idrs, pictures = bytearray(), 0, 0
    for nal in nal_units(f"{work}/masked{gop}.h264"):
        kind = nal[0] & 0x1f
        if kind == 6 and nal[1] == 0x99 and junk:
            continue  # the privacy message goes
        if kind == 5:
            idrs += 1
            if idrs <= filled_idrs:
                out += fill
        if kind == 1 and junk:
            out += sps
        out += b"\0\0\0\1" + nal
    open(f"{work}/{name}.h264", "wb").write(out)
write("nal1", 20, 1, False)
write("nal3", 20, 3, False)
write("au30", 20, 3, False, sei(30))
write("au40", 20, 1, False, sei(40))
write("sps60", 60, 0, True)
EOF

printf '%-6s %-8s %9s %5s %12s\n' file mode MB code "peak RSS MB"
for name in nal1 nal3 au30 au40 sps60; do
  ffmpeg -nostdin -loglevel error -y -framerate 25 -f h264 -i "$work/$name.h264" -c copy "$work/$name.mp4"
  size=$(stat -c %s "$work/$name.mp4")
  for mode in default copy; do
    rm -f "$work/$name"_decmosic_*
    args=()
    [[ $mode == copy ]] && args=(--copy)
    code=0
    /usr/bin/time -f %M -o "$work/time.txt" "$build/demosaic" "${args[@]}" "$work/$name.mp4" "$key" \
      >"$work/$name.$mode.log" 2>&1 || code=$?
    printf '%-6s %-8s %9.1f %5d %12.0f\n' "$name" "$mode" "$(echo "$size / 1000000" | bc -l)" "$code" \
      "$(echo "$(tail -n 1 "$work/time.txt") / 1000" | bc -l)"
  done
  rm -f "$work/$name"_decmosic_*
done
