#!/usr/bin/env bash
# Motion events at 1920x1080, in one run:
# 1. Processor time of the whole `cindral-cli record --mode motion --pre-roll 2` against
#    `--mode always` on the same camera-like clip (ffmpeg's testsrc2 with sensor noise, raw I420,
#    moving in every frame): holding the pre-roll costs an encode per still frame, as "Always"
#    does. Many short pairs of runs, the two modes taking turns at going first; per pair the
#    ratio of the recording threads' processor time (every thread but the one that reads the
#    clip, which a camera would not have, and whose copies vary with the machine's memory
#    traffic), from perf's samples when perf is there, and of the whole process. What a run of
#    one frame costs (starting GStreamer, the archive's opening and end) is taken off each run.
#    The median of the pairs' ratios is the figure, printed with its quartiles and range.
# 2. No frame lost when an event begins: a live-paced 30 fps clip, 5 s still then moving, fed
#    through a leaky queue of one frame (a camera whose frames nobody takes is dropped there);
#    frames that came in against frames stored over the event, its pre-roll included; the held
#    frames are told from the moving ones by their stream (the still picture's, repeated).
# 3. "Motion Detector" (2 s pre-roll, every frame moving) at 1280x720 and 1920x1080: the
#    recording threads' processor time per frame against the bare single-threaded encode of the
#    same frames (bare_encode), a run of one frame taken off; median of the runs with its range.
#
# usage: bench/events_bench.sh [path/to/cindral-cli [path/to/bare_encode]]   (default:
#        build/release or build/test; env: FRAMES=150 REPEAT=10 BARE_REPEAT=3 PARTS="1 2 3")
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-$(bench_built cli/cindral-cli)}
bare=${2:-$(bench_built bench/bare_encode)}
[ -n "$cli" ] || bench_fail "build cindral-cli first or pass its path"
frames=${FRAMES:-150}
repeat=${REPEAT:-10}
bare_repeat=${BARE_REPEAT:-3}
parts=${PARTS:-1 2 3}
bench_need "$cli" ffmpeg /usr/bin/time
if [[ " $parts " == *" 3 "* ]]; then
    [ -n "$bare" ] || bench_fail "build bare_encode first or pass its path"
    bench_need "$bare"
fi
# Without perf only the whole process is measured.
has_perf=0
command -v perf >/dev/null 2>&1 && perf stat -e cpu-clock true >/dev/null 2>&1 && has_perf=1
bench_make_work

# Whole frames a read, as a camera hands them over: reading in small pieces adds a copy whose
# cost varies from run to run more than the detector costs.
source_of() {  # file width height [extra elements]
    echo "filesrc location=$1 blocksize=$(($2 * $3 + 2 * (($2 + 1) / 2) * (($3 + 1) / 2))) ! rawvideoparse format=i420 width=$2 height=$3 framerate=30/1${4:-}"
}

# Prints "process_cpu_s threads_cpu_s frames recorded events": processor time of the whole
# process and of every thread but the clip reader's (perf's cpu-clock samples, one every 0.25 ms
# of a thread's time; "-" without perf).
record() {  # mode source [options...]
    rm -rf "$work/rec"
    local command=("$cli" record --storage "$work/rec" --mode "$1" --source "$2" "${@:3}")
    local process_s threads_s=-
    if [ "$has_perf" = 1 ]; then
        perf record -q -e cpu-clock -c 250000 -o "$work/perf.data" "${command[@]}" >"$work/out.txt" 2>"$work/err.txt" ||
            { cat "$work/err.txt" >&2; exit 1; }
        read -r process_s threads_s <<<"$(perf report -i "$work/perf.data" --stdio --sort comm -F period,comm 2>/dev/null |
            awk '!/^#/ && NF >= 2 { all += $1; if ($2 !~ /^rawvideoparse/) mine += $1 } END { printf "%.4f %.4f", all / 1e9, mine / 1e9 }')"
    else
        bench_timed "$work/time.txt" "${command[@]}" >"$work/out.txt" 2>"$work/err.txt" || { cat "$work/err.txt" >&2; exit 1; }
        process_s=$(cut -d' ' -f2 "$work/time.txt")
    fi
    local out=$work/out.txt
    echo "$process_s $threads_s $(bench_field frames "$out") $(bench_field recorded "$out") $(bench_field events "$out")"
}

load() { cut -d' ' -f1 /proc/loadavg; }

# Prints "process_cpu_s threads_cpu_s" of a run of one frame, the median of three: starting
# GStreamer, opening and finishing the archive, which every run pays once whatever its length.
# It is taken off each run below, so that the ratios are those of the frames.
fixed_cost() {  # mode source [options...]
    local i
    for i in 1 2 3; do
        record "$1" "$2" "${@:3}" --frames 1 | cut -d' ' -f1-2
    done >"$work/fixed.txt"
    echo "$(bench_median <"$work/fixed.txt") $(cut -d' ' -f2 "$work/fixed.txt" | bench_median)"
}

make_clip() {  # width height frames file
    ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=$1x$2:rate=30,noise=alls=8:allf=t" -frames:v "$3" \
        -pix_fmt yuv420p -f rawvideo "$4"
}

if [[ " $parts " == *" 1 "* ]]; then
    echo "== 1. CPU per frame, motion with a 2 s pre-roll against always ($frames frames, $repeat pairs of runs)"
    make_clip 1920 1080 "$frames" "$work/clip.i420"
    clip_source=$(source_of "$work/clip.i420" 1920 1080)
    read -r always_fixed_process always_fixed_threads <<<"$(fixed_cost always "$clip_source")"
    read -r motion_fixed_process motion_fixed_threads <<<"$(fixed_cost motion "$clip_source" --pre-roll 2)"
    echo "a run of one frame (taken off each run): always $always_fixed_threads s recording threads, $always_fixed_process s process;" \
        "motion $motion_fixed_threads s, $motion_fixed_process s"
    : >"$work/threads.txt"
    : >"$work/process.txt"
    for pair in $(seq "$repeat"); do
        # The two modes take turns at going first, so that a machine getting busier or quieter
        # over a pair weighs on both alike.
        modes=(always motion)
        [ $((pair % 2)) = 0 ] && modes=(motion always)
        load_before=$(load)
        for mode in "${modes[@]}"; do
            if [ "$mode" = always ]; then
                read -r always_process always_threads n recorded _ <<<"$(record always "$clip_source")"
                [ "$n" = "$frames" ] && [ "$recorded" = "$frames" ] || bench_fail "always stored $recorded of $n"
            else
                read -r motion_process motion_threads n recorded events <<<"$(record motion "$clip_source" --pre-roll 2)"
                [ "$n" = "$frames" ] && [ "$recorded" = "$frames" ] || bench_fail "motion stored $recorded of $n"
            fi
        done
        always_process=$(awk -v t="$always_process" -v f="$always_fixed_process" 'BEGIN { print t - f }')
        motion_process=$(awk -v t="$motion_process" -v f="$motion_fixed_process" 'BEGIN { print t - f }')
        if [ "$always_threads" != - ]; then
            always_threads=$(awk -v t="$always_threads" -v f="$always_fixed_threads" 'BEGIN { print t - f }')
            motion_threads=$(awk -v t="$motion_threads" -v f="$motion_fixed_threads" 'BEGIN { print t - f }')
        fi
        awk -v ap="$always_process" -v mp="$motion_process" -v at="$always_threads" -v mt="$motion_threads" \
            -v f="$((frames - 1))" -v first="${modes[0]}" -v l="$load_before $(load)" 'BEGIN {
            if (at != "-") printf "threads %.4f (always %.2f ms, motion %.2f ms a frame); ", mt / at, 1000 * at / f, 1000 * mt / f
            printf "process %.4f (always %.2f ms, motion %.2f ms); %s first; load %s\n", mp / ap, 1000 * ap / f, 1000 * mp / f, first, l }'
        [ "$always_threads" = - ] || awk -v a="$always_threads" -v m="$motion_threads" 'BEGIN { print m / a }' >>"$work/threads.txt"
        awk -v a="$always_process" -v m="$motion_process" 'BEGIN { print m / a }' >>"$work/process.txt"
    done
    echo "motion, 2 s pre-roll: $recorded of $frames frames stored, $events events"
    [ -s "$work/threads.txt" ] && echo "ratio motion/always, recording threads: $(bench_spread <"$work/threads.txt")"
    echo "ratio motion/always, whole process:   $(bench_spread <"$work/process.txt")"
fi

if [[ " $parts " == *" 2 "* ]]; then
echo "== 2. Frames in and stored over an event after 5 s of stillness (live-paced 30 fps)"
# One still picture (its noise frozen) for frames 0 to 150, then 89 moving ones.
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30,noise=alls=8:allf=t,trim=start_frame=150:end_frame=240,setpts=PTS-STARTPTS,tpad=start=150:start_mode=clone" \
    -frames:v 240 -pix_fmt yuv420p -f rawvideo "$work/event.i420"
read -r _ _ n recorded events <<<"$(record motion "$(source_of "$work/event.i420" 1920 1080 " ! identity sync=true ! queue leaky=downstream max-size-buffers=1")" \
    --pre-roll 2 --post-roll 2 --frames 240)"
dropped=$(bench_field dropped "$work/out.txt")
# The held frames are the archive's leading records of the still picture (each the same stream);
# which frames a 2 s span holds depends on when each came (59 to 61 at 30 fps), so they are
# counted rather than assumed.
archives=("$work"/rec/*/*.CNA)
held=$("$cli" info "${archives[0]}" --json | grep -o '"length":[0-9]*' | cut -d: -f2 | uniq -c | head -1 | awk '{ print $1 }')
moving=$((recorded - held))
echo "frames offered: 240; frames in: $n; dropped by the recorder: $dropped; events: $events; stored: $recorded" \
    "(held from before the event: $held; moving: $moving of the 89 after the still first)"
if [ "$n" = 240 ] && [ "$dropped" = 0 ] && [ "$events" = 1 ] && [ "$moving" = 89 ] && [ "$held" -ge 59 ] && [ "$held" -le 61 ]; then
    echo "no frame lost at the event's start"
else
    echo "FRAMES LOST or events split" >&2
    exit 1
fi
fi

if [[ " $parts " == *" 3 "* ]]; then
    echo "== 3. Motion Detector (2 s pre-roll, every frame moving) against the bare encode ($frames frames, $bare_repeat runs)"
    for size in 1280x720 1920x1080; do
        width=${size%x*}
        height=${size#*x}
        make_clip "$width" "$height" "$frames" "$work/size.i420"
        bare_ms=$("$bare" i420 "$width" "$height" "$work/size.i420" | awk '{ print $4 }')
        size_source=$(source_of "$work/size.i420" "$width" "$height")
        read -r fixed_process fixed_threads <<<"$(fixed_cost motion "$size_source" --pre-roll 2)"
        : >"$work/bare.txt"
        : >"$work/bare_process.txt"
        for _ in $(seq "$bare_repeat"); do
            load_before=$(load)
            read -r process_s threads_s n recorded _ <<<"$(record motion "$size_source" --pre-roll 2)"
            [ "$recorded" = "$frames" ] || bench_fail "motion stored $recorded of $n at $size"
            [ "$threads_s" = - ] ||
                awk -v t="$threads_s" -v x="$fixed_threads" -v f="$((frames - 1))" -v b="$bare_ms" 'BEGIN { print 1000 * (t - x) / f / b }' >>"$work/bare.txt"
            awk -v p="$process_s" -v x="$fixed_process" -v f="$((frames - 1))" -v b="$bare_ms" 'BEGIN { print 1000 * (p - x) / f / b }' >>"$work/bare_process.txt"
            echo "$size: recording threads $threads_s s, process $process_s s for $frames frames (one frame: $fixed_threads s and $fixed_process s)," \
                "bare encode $bare_ms ms a frame; load $load_before $(load)"
        done
        [ -s "$work/bare.txt" ] && echo "$size ratio against the bare encode, recording threads: $(bench_spread <"$work/bare.txt")"
        echo "$size ratio against the bare encode, whole process:   $(bench_spread <"$work/bare_process.txt")"
        rm -f "$work/size.i420"
    done
fi
