#!/usr/bin/env bash
# Writes the seed inputs of fuzz_container into FOLDER: tiny privacy-masked files made by
# mosaic (H.264 and HEVC, MP4 and AVI, with and without audio, versioned and not), each
# behind the one byte that tells the target which extension to give the file and which
# restore to run (each file is written twice: decode and encode, and stream copy).
#   fuzz/make_container_seeds.sh MOSAIC_BIN FOLDER
set -euo pipefail
mosaic=$1
out=$2
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

ffmpeg -v error -y -f lavfi -i testsrc2=size=64x64:rate=10 -frames:v 6 -pix_fmt yuv420p \
    -c:v libx264 -preset ultrafast "$tmp/plain.mp4"
ffmpeg -v error -y -f lavfi -i testsrc2=size=64x48:rate=10 -f lavfi -i sine=frequency=440:sample_rate=8000 \
    -frames:v 6 -t 0.6 -pix_fmt yuv420p -c:v libx264 -preset ultrafast -c:a aac -b:a 16k "$tmp/audio.mp4"

n=0
for source in plain audio; do
    for codec in h264 hevc; do
        for container in mp4 avi; do
            for form in versioned unversioned; do
                # Versioned seeds carry most of each picture as a plain tail, which reaches the
                # decoder when mutated; unversioned ones encrypt it all.
                extra=(--encrypt-bytes 8)
                [ "$form" = unversioned ] && extra=(--unversioned)
                # Small pictures and short groups: each seed restores in a fraction of a second.
                # (A sanitised mosaic would fail on libx265's own leaks at exit; they are not ours.)
                ASAN_OPTIONS=detect_leaks=0 "$mosaic" "$tmp/$source.mp4" "fuzz key" -o "$tmp/m.$container" --codec "$codec" --gop 3 \
                    --preset ultrafast --qp 40 "${extra[@]}" >/dev/null 2>&1
                for mode in 0 2; do
                    byte=$mode
                    [ "$container" = avi ] && byte=$((mode + 1))
                    printf "\\00$byte" >"$out/seed-$n"
                    cat "$tmp/m.$container" >>"$out/seed-$n"
                    n=$((n + 1))
                done
                rm -f "$tmp/m.$container"
            done
        done
    done
done
echo "wrote $n seeds into $out"
