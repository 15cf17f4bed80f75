#!/usr/bin/env bash
# What watching the live picture costs: the desktop program on a virtual 1920x1080 screen
# (xvfb-run, with openbox maximising the window), with a live 30 fps test camera and saving "Off", against
# `cindral-cli record --mode off` on the same camera. Each runs a warm-up, then its processor time
# (user + system, all threads) is taken over the same measured seconds; printed are both, their
# ratio, and beside them the virtual screen's own processor time while the program ran (the X
# server's share of showing, which the ratio leaves out). At 1920x1080 and at 1280x720; with
# REPEAT, the two take turns and the median ratio closes each size (the machine's speed drifts
# from minute to minute, the two runs of one turn see about the same).
#
# usage: bench/view_bench.sh [build folder]   (default: build/release or build/test;
#        env: MEASURE_S=20 WARM_UP_S=6 REPEAT=3 SIZES="1920x1080 1280x720" PATTERN=ball)
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

measure_s=${MEASURE_S:-20}
warm_up_s=${WARM_UP_S:-6}
repeat=${REPEAT:-3}
sizes=${SIZES:-1920x1080 1280x720}
pattern=${PATTERN:-ball}

# Inside the virtual screen: the desktop program's processor seconds over the measured window,
# then the screen's own. Called as: view_bench.sh --desktop PROGRAM
if [ "${1:-}" = "--desktop" ]; then
    program=$2
    # A window manager, so that the window comes up maximised as it does on a desktop.
    openbox >/dev/null 2>&1 &
    wm_pid=$!
    sleep 1
    "$program" >"$BENCH_WORK/desktop.log" 2>&1 &
    pid=$!
    # xvfb-run started the screen beside this script.
    screen_pid=$(ps -o pid= --ppid "$PPID" -C Xvfb | tr -d ' ' | head -n 1)
    sleep "$warm_up_s"
    kill -0 "$pid" 2>/dev/null || { cat "$BENCH_WORK/desktop.log" >&2; bench_fail "cindral ended early"; }
    geometry=$(xwininfo -root -tree | grep '"Cindral - ' | grep -o '[0-9]*x[0-9]*+' | head -n 1 | tr -d +)
    start=$(bench_process_cpu_s "$pid")
    screen_start=$(bench_process_cpu_s "$screen_pid")
    sleep "$measure_s"
    end=$(bench_process_cpu_s "$pid")
    screen_end=$(bench_process_cpu_s "$screen_pid")
    kill -TERM "$pid"
    wait "$pid" || true
    kill -TERM "$wm_pid"
    wait "$wm_pid" || true
    echo "$start $end $screen_start $screen_end ${geometry:-?}"
    exit 0
fi

build=${1:-$(dirname "$(dirname "$(bench_built app/cindral)")")}
[ -x "$build/app/cindral" ] && [ -x "$build/cli/cindral-cli" ] ||
    bench_fail "build cindral and cindral-cli first or pass the build folder"
bench_need xvfb-run xauth openbox xwininfo
bench_make_work
export BENCH_WORK=$work
export XDG_CONFIG_HOME=$work/config

# Settings of the run's own: the bench camera at its size, saving "Off", no marks.
write_settings() {  # width height
    mkdir -p "$XDG_CONFIG_HOME/Tovamesh"
    printf '%s\n' 'Windows Registry Editor Version 5.00' '' \
        '[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\Settings]' \
        "\"WEB Camera Size X\"=dword:$(printf %08x "$1")" "\"WEB Camera Size Y\"=dword:$(printf %08x "$2")" \
        '"Save Flag"=dword:00000000' '"Motion Detector Show"=dword:00000000' '' \
        '[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\TwainSources]' '"Camera DShow Src"="Bench Camera"' '' \
        '[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\Storage]' "\"Folder\"=\"$work/Storage\"" \
        >"$XDG_CONFIG_HOME/Tovamesh/Cindral.reg"
}

run_desktop() {  # -> "cpu screen_cpu geometry"
    xvfb-run -a -s '-screen 0 1920x1080x24' bash "$0" --desktop "$build/app/cindral" |
        awk '{ printf "%.2f %.2f %s\n", $2 - $1, $4 - $3, $5 }'
}

run_cli() {  # -> "cpu"
    "$build/cli/cindral-cli" record --storage "$work/Storage" --camera "Bench Camera" --mode off \
        >"$work/cli.log" 2>&1 &
    local pid=$!
    sleep "$warm_up_s"
    kill -0 "$pid" 2>/dev/null || { cat "$work/cli.log" >&2; bench_fail "cindral-cli ended early"; }
    local start end
    start=$(bench_process_cpu_s "$pid")
    sleep "$measure_s"
    end=$(bench_process_cpu_s "$pid")
    kill -INT "$pid"
    wait "$pid" || true
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f\n", e - s }'
}

echo "camera: videotestsrc pattern=$pattern, 30 fps, live; saving \"Off\"; ${measure_s} s measured after ${warm_up_s} s"
for size in $sizes; do
    width=${size%x*}
    height=${size#*x}
    export CINDRAL_TEST_CAMERAS="Bench Camera=videotestsrc is-live=true pattern=$pattern ! capsfilter caps=\"video/x-raw,width=$width,height=$height,framerate=30/1\""
    ratios=""
    for _ in $(seq "$repeat"); do
        write_settings "$width" "$height"
        read -r desktop screen geometry <<<"$(run_desktop)"
        cli=$(run_cli)
        awk -v s="$size" -v d="$desktop" -v x="$screen" -v c="$cli" -v g="$geometry" -v m="$measure_s" 'BEGIN {
            printf "%-9s desktop %5.2f s CPU (window %s; the screen %.2f s), cindral-cli %5.2f s: ratio %.2f  (%.1f ms a frame more)\n",
                s, d, g, x, c, d / c, 1000 * (d - c) / (30 * m)
        }'
        ratios+="$(awk -v d="$desktop" -v c="$cli" 'BEGIN { printf "%.3f", d / c }')"$'\n'
    done
    printf '%s' "$ratios" | sort -n | awk -v s="$size" -v m="$(printf '%s' "$ratios" | bench_median)" '{ r[NR] = $1 } END {
        printf "%-9s median ratio %.2f of %d (lowest %.2f, highest %.2f)\n", s, m, NR, r[1], r[NR]
    }'
done
