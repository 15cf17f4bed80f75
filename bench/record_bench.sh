#!/usr/bin/env bash
# Recording speed: the same raw 1920x1080 BGRx input recorded by `cindral-cli record --mode always`
# (JPEG archive) and by `ffmpeg -threads 1` (Motion JPEG in AVI at a comparable quality).
# Prints frames per second of each (wall clock and per CPU second), the ratio, the size per
# frame of each output, and the peak memory of the recording run at 120 and 240 frames.
#
# usage: bench/record_bench.sh [path/to/cindral-cli]   (default: build/release or build/test;
#        env: FRAMES=120 REPEAT=3 FFMPEG_QSCALE=4)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-${CINDRAL_CLI:-$(bench_built cli/cindral-cli)}}
[ -n "$cli" ] || bench_fail "build cindral-cli first or pass its path"
frames=${FRAMES:-120}
repeat=${REPEAT:-3}
qscale=${FFMPEG_QSCALE:-4}
width=1920
height=1080
bench_need "$cli" gst-launch-1.0 ffmpeg /usr/bin/time
bench_make_work

make_input() {  # frames file
    gst-launch-1.0 -q videotestsrc num-buffers="$1" pattern=smpte horizontal-speed=4 \
        ! "video/x-raw,format=BGRx,width=$width,height=$height,framerate=10/1" \
        ! filesink location="$2"
}

# Runs a command under /usr/bin/time; prints "wall cpu peak_kb".
measure() {
    bench_timed "$work/time.txt" "$@" >"$work/out.txt" 2>"$work/err.txt" || {
        cat "$work/err.txt" >&2
        bench_fail "failed: $*"
    }
    cat "$work/time.txt"
}

run_ours() {  # input frames -> "wall cpu peak_kb bytes"
    rm -rf "$work/program"
    mkdir -p "$work/program"
    local result
    result=$(measure "$cli" record --program-folder "$work/program" --mode always --source \
        "filesrc location=$1 ! rawvideoparse format=bgrx width=$width height=$height framerate=10/1")
    local recorded
    recorded=$(bench_field recorded "$work/out.txt")
    [ "$recorded" = "$2" ] || bench_fail "cindral-cli recorded $recorded of $2 frames"
    echo "$result $(find "$work/program/Storage" -type f -name '*.CNA' -printf '%s\n' | awk '{ s += $1 } END { print s }')"
}

run_ffmpeg() {  # input -> "wall cpu peak_kb bytes"
    local result
    result=$(measure ffmpeg -nostdin -v error -threads 1 -f rawvideo -pix_fmt bgr0 -s "${width}x${height}" \
        -framerate 10 -i "$1" -threads 1 -c:v mjpeg -q:v "$qscale" -pix_fmt yuvj420p -y "$work/out.avi")
    echo "$result $(stat -c %s "$work/out.avi")"
}

make_input "$frames" "$work/input.raw"
ours_runs=""
ffmpeg_runs=""
for _ in $(seq "$repeat"); do
    ours_runs+="$(run_ours "$work/input.raw" "$frames")"$'\n'
    ffmpeg_runs+="$(run_ffmpeg "$work/input.raw")"$'\n'
done
read -r ours_wall ours_cpu ours_peak ours_bytes <<<"$(printf '%s' "$ours_runs" | bench_best)"
read -r ff_wall ff_cpu ff_peak ff_bytes <<<"$(printf '%s' "$ffmpeg_runs" | bench_best)"

# Peak memory must not grow with the number of frames: record twice as many.
make_input $((frames * 2)) "$work/input2.raw"
read -r _ _ ours_peak_double _ <<<"$(run_ours "$work/input2.raw" $((frames * 2)))"
rm -f "$work/input2.raw"

awk -v n="$frames" -v ow="$ours_wall" -v oc="$ours_cpu" -v ob="$ours_bytes" -v op="$ours_peak" \
    -v op2="$ours_peak_double" -v fw="$ff_wall" -v fc="$ff_cpu" -v fb="$ff_bytes" -v q="$qscale" \
    -v r="$repeat" 'BEGIN {
    printf "input: %d frames 1920x1080 BGRx, best of %d runs each\n", n, r
    printf "cindral-cli record : %7.1f fps (wall %.2f s), %7.1f fps per CPU second (CPU %.2f s), %.0f bytes/frame\n", n / ow, ow, n / oc, oc, ob / n
    printf "ffmpeg -threads 1  : %7.1f fps (wall %.2f s), %7.1f fps per CPU second (CPU %.2f s), %.0f bytes/frame (mjpeg -q:v %d)\n", n / fw, fw, n / fc, fc, fb / n, q
    printf "ratio (wall fps)   : %.2fx   goal >= 2.5x\n", fw / ow
    printf "ratio (CPU fps)    : %.2fx\n", fc / oc
    printf "peak memory of the recording run: %.1f MiB at %d frames, %.1f MiB at %d frames\n", op / 1024, n, op2 / 1024, 2 * n
}'
