#!/usr/bin/env bash
# Motion events at 1920x1080, in one run:
# 1. CPU per frame of the whole `cindral-cli record --mode motion --pre-roll 2` against
#    `--mode always` on the same camera-like clip (ffmpeg's testsrc2 with sensor noise, raw I420):
#    holding the pre-roll costs an encode per still frame, as "Always" does.
# 2. No frame lost when an event begins: a live-paced 30 fps clip, 5 s still then moving, fed
#    through a leaky queue of one frame (a camera whose frames nobody takes is dropped there);
#    frames that came in against frames stored over the event, its pre-roll included; the held
#    frames are told from the moving ones by their stream (the still picture's, repeated).
#
# usage: bench/events_bench.sh [path/to/cindral-cli]   (default: build/release or build/test;
#        env: FRAMES=150 REPEAT=5)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-$(bench_built cli/cindral-cli)}
[ -n "$cli" ] || bench_fail "build cindral-cli first or pass its path"
frames=${FRAMES:-150}
repeat=${REPEAT:-5}
bench_need "$cli" ffmpeg /usr/bin/time
bench_make_work

# Whole frames a read, as a camera hands them over: reading in small pieces adds a copy whose
# cost varies from run to run more than the detector costs.
source_of() {  # file [extra elements]
    echo "filesrc location=$1 blocksize=$((1920 * 1080 * 3 / 2)) ! rawvideoparse format=i420 width=1920 height=1080 framerate=30/1${2:-}"
}

# Prints "cpu_seconds frames recorded events".
record() {  # mode source [options...]
    rm -rf "$work/rec"
    bench_timed "$work/time.txt" "$cli" record --storage "$work/rec" --mode "$1" --source "$2" \
        "${@:3}" >"$work/out.txt" 2>"$work/err.txt" || { cat "$work/err.txt" >&2; exit 1; }
    local out=$work/out.txt
    echo "$(cut -d' ' -f2 "$work/time.txt") $(bench_field frames "$out") $(bench_field recorded "$out") $(bench_field events "$out")"
}

echo "== 1. CPU per frame, motion with a 2 s pre-roll against always ($frames frames, $repeat pairs of runs)"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30,noise=alls=8:allf=t" -frames:v "$frames" \
    -pix_fmt yuv420p -f rawvideo "$work/clip.i420"
clip_source=$(source_of "$work/clip.i420")
# Each pair runs "Always" and then motion back to back, so the machine is the same for both;
# the median of the pairs' ratios is the figure.
: >"$work/pairs.txt"
for _ in $(seq "$repeat"); do
    read -r always_cpu n recorded _ <<<"$(record always "$clip_source")"
    [ "$n" = "$frames" ] && [ "$recorded" = "$frames" ] || { echo "events_bench: always stored $recorded of $n" >&2; exit 1; }
    read -r motion_cpu n recorded events <<<"$(record motion "$clip_source" --pre-roll 2)"
    awk -v a="$always_cpu" -v m="$motion_cpu" -v f="$frames" 'BEGIN {
        printf "%.4f always %.2f ms, motion %.2f ms CPU per frame\n", m / a, 1000 * a / f, 1000 * m / f }' | tee -a "$work/pairs.txt"
done
echo "motion, 2 s pre-roll: $recorded of $frames frames stored, $events events"
echo "ratio motion/always:  $(bench_median <"$work/pairs.txt") (median of $repeat pairs)"

echo "== 2. Frames in and stored over an event after 5 s of stillness (live-paced 30 fps)"
# One still picture (its noise frozen) for frames 0 to 150, then 89 moving ones.
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=30,noise=alls=8:allf=t,trim=start_frame=150:end_frame=240,setpts=PTS-STARTPTS,tpad=start=150:start_mode=clone" \
    -frames:v 240 -pix_fmt yuv420p -f rawvideo "$work/event.i420"
read -r _ n recorded events <<<"$(record motion "$(source_of "$work/event.i420" " ! identity sync=true ! queue leaky=downstream max-size-buffers=1")" \
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
