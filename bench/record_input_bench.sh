#!/usr/bin/env bash
# Recording cost on camera-like input: `cindral-cli record --mode always` CPU per recorded frame
# (the whole process: start, reading the file, the frame pass, compression, writing) against the
# bare TurboJPEG compression of the same frames from their 4:2:0 planes (quality 75), both in
# one run. Input: ffmpeg's testsrc2 with sensor noise (noise=alls=8:allf=t), as raw I420 at
# 1280x720 and 1920x1080, raw YUY2 at 1920x1080 and JPEG frames at 1920x1080 (as a camera sends
# motion JPEG). Beside each, what reading the input alone costs (the same source into fakesink
# with gst-launch-1.0), since the bare encode reads nothing. Also the peak memory of the I420
# 1920x1080 run at half and all of the frames.
#
# usage: bench/record_input_bench.sh [path/to/cindral-cli [path/to/bare_encode]]
#        (default: build/release or build/test; env: FRAMES=300 REPEAT=3)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-$(bench_built cli/cindral-cli)}
bare=${2:-$(bench_built bench/bare_encode)}
[ -n "$cli" ] && [ -n "$bare" ] || bench_fail "build cindral-cli and bare_encode first"
frames=${FRAMES:-300}
repeat=${REPEAT:-3}
bench_need "$cli" "$bare" ffmpeg gst-launch-1.0 /usr/bin/time
bench_make_work

make_input() {  # size pixel_format output
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$1:rate=30,noise=alls=8:allf=t" -frames:v "$frames" "${@:2}"
}

# Runs cindral-cli under /usr/bin/time; prints "cpu_seconds peak_kb".
record() {  # description [extra arguments]
    rm -rf "$work/program"
    mkdir -p "$work/program"
    bench_timed "$work/time.txt" "$cli" record --program-folder "$work/program" --mode always \
        --source "$1" "${@:2}" >"$work/out.txt" 2>"$work/err.txt" || {
        cat "$work/err.txt" >&2
        bench_fail "cindral-cli failed"
    }
    [ "$(bench_field recorded "$work/out.txt")" = "$(bench_field frames "$work/out.txt")" ] ||
        bench_fail "not every frame was recorded: $(cat "$work/out.txt")"
    cut -d' ' -f2,3 "$work/time.txt"
}

read_only() {  # description -> CPU seconds of reading it into fakesink
    # shellcheck disable=SC2086 # the description is split into gst-launch arguments on purpose
    bench_timed "$work/read.txt" gst-launch-1.0 -q $1 ! fakesink >/dev/null 2>&1
    cut -d' ' -f2 "$work/read.txt"
}

compare() {  # label width height description bare_arguments...
    local label=$1 width=$2 height=$3 source=$4
    local runs="" bare_runs="" read_runs=""
    for _ in $(seq "$repeat"); do
        runs+="$(record "$source")"$'\n'
        bare_runs+="$("$bare" "${@:5}" | awk '{ print $4 }')"$'\n'
        read_runs+="$(read_only "$source")"$'\n'
    done
    local cpu bare_ms read_cpu
    read -r cpu _ <<<"$(printf '%s' "$runs" | bench_best)"
    bare_ms=$(printf '%s' "$bare_runs" | bench_best)
    read_cpu=$(printf '%s' "$read_runs" | bench_best)
    awk -v l="$label" -v c="$cpu" -v n="$frames" -v b="$bare_ms" -v r="$read_cpu" 'BEGIN {
        printf "%-16s cindral-cli %5.2f ms/frame, bare encode %5.2f: ratio %.2f   (reading the input alone %4.2f ms/frame; without it %.2f)\n",
            l, 1000 * c / n, b, 1000 * c / n / b, 1000 * r / n, (1000 * (c - r) / n) / b
    }'
}

i420_source() {  # file width height
    echo "filesrc location=$1 ! rawvideoparse format=i420 width=$2 height=$3 framerate=30/1 colorimetry=bt601"
}

echo "input: $frames frames of testsrc2 with noise; best of $repeat runs; goal: ratio <= 1.3 (I420)"
for size in 1280x720 1920x1080; do
    width=${size%x*}
    height=${size#*x}
    make_input "$size" -pix_fmt yuv420p -f rawvideo "$work/input.i420"
    compare "I420 $size" "$width" "$height" "$(i420_source "$work/input.i420" "$width" "$height")" \
        i420 "$width" "$height" "$work/input.i420"
    if [ "$size" = 1920x1080 ]; then
        read -r _ peak_all <<<"$(record "$(i420_source "$work/input.i420" "$width" "$height")")"
        read -r _ peak_half <<<"$(record "$(i420_source "$work/input.i420" "$width" "$height")" --frames $((frames / 2)))"
    fi
    rm -f "$work/input.i420"
done

make_input 1920x1080 -pix_fmt yuyv422 -f rawvideo "$work/input.yuy2"
compare "YUY2 1920x1080" 1920 1080 \
    "filesrc location=$work/input.yuy2 ! rawvideoparse format=yuy2 width=1920 height=1080 framerate=30/1 colorimetry=bt601" \
    yuy2 1920 1080 "$work/input.yuy2"
rm -f "$work/input.yuy2"

mkdir -p "$work/jpeg"
make_input 1920x1080 -pix_fmt yuvj420p -q:v 3 -start_number 0 "$work/jpeg/%05d.jpg"
compare "JPEG 1920x1080" 1920 1080 \
    "multifilesrc location=$work/jpeg/%05d.jpg caps=image/jpeg,framerate=30/1" \
    jpeg 1920 1080 "$work"/jpeg/*.jpg

awk -v h="$peak_half" -v a="$peak_all" -v n="$frames" 'BEGIN {
    printf "peak memory of the I420 1920x1080 run: %.1f MiB at %d frames, %.1f MiB at %d frames\n", h / 1024, n / 2, a / 1024, n
}'
