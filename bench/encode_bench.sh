#!/usr/bin/env bash
# Recording a live-like camera at the sizes people buy: `cindral-cli record --mode always` on
# ffmpeg's textured testsrc2 (noise=alls=8:allf=t, raw I420) at 3840x2160@30 and 1920x1080@60,
# read as a camera delivers it, a whole frame at a time: `filesrc blocksize=FRAME ! rawvideoparse !
# identity sync=true ! queue leaky=downstream max-size-buffers=2`, which drops what is not taken
# in time. Per size:
#   - frames stored against frames offered, the recorder's own drops and encodes per frame;
#   - processor time per stored frame against the bare single-threaded tjCompressFromYUVPlanes
#     (quality 75) of the same frames (bare_encode): the whole process, and its threads but the one
#     that reads the clip (rawvideoparse's), which a camera would not have: a camera hands over
#     frames its hardware wrote, while this thread copies each frame twice, from the file and again
#     into a buffer of its own;
#   - 4K only: wall time per frame of the same clip read as fast as it goes (a file waits for
#     the encoders), against the bare encode; and the peak memory at half and all of the run;
#   - the recorder's own cost, the clip's reading left out (pool_record): its first frames read
#     into memory, then recorded by 1 and 2 workers as fast as they go, wall and processor time
#     per frame against the bare encode of the same frames in the same process.
#
# usage: bench/encode_bench.sh [path/to/cindral-cli [path/to/bare_encode [path/to/pool_record]]]
#        (default: build/release or build/test; env: SECONDS_EACH=20, TMPDIR for the clips, which
#        take 7.5 GB at 4K for 20 s: /dev/shm is best)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-$(bench_built cli/cindral-cli)}
bare=${2:-$(bench_built bench/bare_encode)}
pool=${3:-$(bench_built bench/pool_record)}
[ -n "$cli" ] && [ -n "$bare" ] && [ -n "$pool" ] || bench_fail "build cindral-cli, bare_encode and pool_record first"
seconds_each=${SECONDS_EACH:-20}
bench_need "$cli" "$bare" "$pool" ffmpeg /usr/bin/time
bench_make_work

# Runs cindral-cli record on a source; sets: stored dropped encodes_per_frame cpu_s wall_s peak_kb
# reader_s (the clip-reading thread's processor time, as last seen: at most half a second short).
record() {  # source [extra arguments]
    rm -rf "$work/program"
    mkdir -p "$work/program"
    # The paced source counts as live, so its end is a lost camera: not tried again, the run ends
    # there (exit status 1), and the summary says what was stored.
    QT_LOGGING_RULES="cindral.recording.info=true" bench_timed "$work/time.txt" \
        "$cli" record --program-folder "$work/program" --mode always --no-retry --source "$1" "${@:2}" \
        >"$work/out.txt" 2>"$work/err.txt" &
    local time_pid=$!
    # The resident memory of the recorder every 2 s, to show that it stays flat; the reading
    # thread's processor time every half second.
    memory_over_time=""
    local reader_ticks=0 round=0
    while kill -0 "$time_pid" 2>/dev/null; do
        sleep 0.5
        round=$((round + 1))
        local timer_pid cli_pid rss_mib ticks
        # The background job runs /usr/bin/time, which runs the recorder.
        timer_pid=$(pgrep -P "$time_pid" | head -n 1 || true)
        [ -n "$timer_pid" ] || continue
        cli_pid=$(pgrep -P "$timer_pid" | head -n 1 || true)
        [ -n "$cli_pid" ] || continue
        ticks=$(bench_thread_ticks "$cli_pid" rawvideoparse | awk '{ t += $2 } END { print t + 0 }')
        [ "$ticks" -gt "$reader_ticks" ] && reader_ticks=$ticks
        [ $((round % 4)) -eq 0 ] || continue
        rss_mib=$(awk '/^VmRSS/ { printf "%d", $2 / 1024 }' "/proc/$cli_pid/status" 2>/dev/null || true)
        [ -n "$rss_mib" ] && memory_over_time+=" $rss_mib"
    done
    reader_s=$(awk -v t="$reader_ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN { printf "%.2f", t / hz }')
    wait "$time_pid" || true
    grep -q '"recorded":' "$work/out.txt" || {
        cat "$work/err.txt" >&2
        bench_fail "cindral-cli failed"
    }
    stored=$(bench_field recorded "$work/out.txt")
    dropped=$(bench_field dropped "$work/out.txt")
    encodes_per_frame=$(awk '/frames encoded by/ {
        for (i = 2; i < NF; ++i) { if ($i == "frames") f = $(i - 1); if ($i == "in") e = $(i + 1) }
        printf "%.3f", e / f }' "$work/err.txt")
    read -r wall_s cpu_s peak_kb <"$work/time.txt"
}

measure() {  # width height rate
    local width=$1 height=$2 rate=$3
    local frames=$((seconds_each * rate))
    local clip="$work/clip.i420"
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=${width}x${height}:rate=$rate,noise=alls=8:allf=t" \
        -frames:v "$frames" -pix_fmt yuv420p -f rawvideo "$clip"
    # One frame a read, as a camera hands over whole frames. rawvideoparse still copies each
    # frame into a buffer of its own; that is part of what reading the clip costs below.
    local frame_bytes=$((width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2)))
    local parse="filesrc location=$clip blocksize=$frame_bytes ! rawvideoparse format=i420 width=$width height=$height framerate=$rate/1 colorimetry=bt601"
    local bare_ms
    bare_ms=$("$bare" i420 "$width" "$height" "$clip" | awk '{ print $4 }')
    echo "load before ${width}x${height}@$rate: $(cut -d' ' -f1-3 /proc/loadavg)"
    record "$parse ! identity sync=true ! queue leaky=downstream max-size-buffers=2"
    awk -v w="$width" -v h="$height" -v r="$rate" -v o="$frames" -v s="$stored" -v d="$dropped" -v e="$encodes_per_frame" \
        -v c="$cpu_s" -v b="$bare_ms" -v p="$peak_kb" -v rd="$reader_s" 'BEGIN {
        printf "%dx%d@%d live-like: stored %d of %d offered (%.1f %%), recorder drops %d, encodes per frame %s; CPU %.2f ms a stored frame against the bare encode %.2f: ratio %.2f, %.2f without the clip-reading thread (%.2f ms a frame); peak %.1f MiB\n",
            w, h, r, s, o, 100 * s / o, d, e, 1000 * c / s, b, 1000 * c / s / b, 1000 * (c - rd) / s / b, 1000 * rd / s, p / 1024
    }'
    if [ "$width" = 3840 ]; then
        local half_peak
        echo "3840x2160 live-like: resident MiB every 2 s:$memory_over_time"
        record "$parse ! identity sync=true ! queue leaky=downstream max-size-buffers=2" --frames $((frames / 2))
        half_peak=$peak_kb
        record "$parse"
        awk -v o="$frames" -v s="$stored" -v t="$wall_s" -v c="$cpu_s" -v b="$bare_ms" -v p="$half_peak" -v rd="$reader_s" -v e="$encodes_per_frame" 'BEGIN {
            printf "3840x2160 as fast as it goes: %d of %d stored, encodes per frame %s, wall %.2f ms a frame against the bare encode %.2f: ratio %.2f (CPU ratio %.2f, %.2f without the clip-reading thread); peak at half the live-like run %.1f MiB\n",
                s, o, e, 1000 * t / o, b, 1000 * t / o / b, 1000 * c / o / b, 1000 * (c - rd) / o / b, p / 1024
        }'
    fi
    # About 750 MB of frames in memory at either size.
    TMPDIR="$work" "$pool" "$width" "$height" "$clip" $((3 * 1000 * 1000 * 250 / frame_bytes)) 1 2
    rm -f "$clip"
}

echo "textured testsrc2 with noise, $seconds_each s each, $(nproc) cores"
measure 3840 2160 30
measure 1920 1080 60
