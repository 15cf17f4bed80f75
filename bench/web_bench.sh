#!/usr/bin/env bash
# Remote viewers' cost: the processor time of `cindral-cli record --mode always` on a live
# 1920x1080 30 fps test source with 0, 1 and 10 viewers reading /live.mjpeg as fast as they can
# (curl; their own time is not counted), the runs taking turns; then the frames stored in a run
# of FRAMES frames with one stalled viewer (connected, reading nothing) against none; then the
# time of a signed-in user's /api/status requests while 16 addresses (127.5.N.1, each its own
# network) send wrong passwords as fast as they are answered, for FLOOD_S seconds, REPEAT runs.
#
# usage: bench/web_bench.sh [path/to/cindral-cli]
#   env: MEASURE_S=20 WARMUP_S=5 REPEAT=3 FRAMES=300 FLOOD_S=10 PARTS="viewers flood"
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

cli=${1:-${CINDRAL_CLI:-$(bench_built cli/cindral-cli)}}
[ -n "$cli" ] || bench_fail "build cindral-cli first or pass its path"
measure_s=${MEASURE_S:-20}
warmup_s=${WARMUP_S:-5}
repeat=${REPEAT:-3}
frames=${FRAMES:-300}
flood_s=${FLOOD_S:-10}
parts=${PARTS:-viewers flood}
bench_need "$cli" curl python3
source="videotestsrc is-live=true pattern=ball ! capsfilter caps=video/x-raw,width=1920,height=1080,framerate=30/1"
bench_make_work

# Starts a recording run serving on a free port; sets run_pid and run_port.
start_run() {  # extra arguments...
    rm -rf "$work/storage" "$work/err.txt"
    "$cli" record --storage "$work/storage" --source "$source" --mode always --listen 127.0.0.1:0 "$@" \
        >"$work/out.txt" 2>"$work/err.txt" &
    run_pid=$!
    bench_pids+=("$run_pid")
    run_port=""
    for _ in $(seq 200); do
        run_port=$(grep -o 'serving http://127.0.0.1:[0-9]*' "$work/err.txt" 2>/dev/null | grep -o '[0-9]*$' || true)
        [ -n "$run_port" ] && return 0
        sleep 0.1
    done
    cat "$work/err.txt" >&2
    bench_fail "the recording run did not start serving"
}

cpu_with_viewers() {  # viewers -> CPU seconds of the recorder over MEASURE_S
    start_run
    local viewer_pids=()
    for _ in $(seq "$1"); do
        curl -s -o /dev/null "http://127.0.0.1:$run_port/live.mjpeg" &
        viewer_pids+=("$!")
        bench_pids+=("$!")
    done
    sleep "$warmup_s"
    local before after
    before=$(bench_process_cpu_s "$run_pid")
    sleep "$measure_s"
    after=$(bench_process_cpu_s "$run_pid")
    for pid in "${viewer_pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    kill -TERM "$run_pid"
    wait "$run_pid" || true
    awk -v a="$after" -v b="$before" 'BEGIN { printf "%.2f\n", a - b }'
}

if [[ " $parts " == *" viewers "* ]]; then
declare -A cpu
for viewers in 0 1 10; do cpu[$viewers]=""; done
for _ in $(seq "$repeat"); do
    for viewers in 0 1 10; do cpu[$viewers]+="$(cpu_with_viewers "$viewers") "; done
done
median() { tr ' ' '\n' | bench_median; }
c0=$(echo "${cpu[0]}" | median)
c1=$(echo "${cpu[1]}" | median)
c10=$(echo "${cpu[10]}" | median)
echo "record --mode always, 1920x1080 at 30 fps, ${measure_s} s after ${warmup_s} s, $repeat runs each (CPU s): 0 viewers: ${cpu[0]}; 1: ${cpu[1]}; 10: ${cpu[10]}"
awk -v c0="$c0" -v c1="$c1" -v c10="$c10" 'BEGIN {
    printf "median CPU: %.2f s with none, %.2f s with 1 viewer (%.3fx, goal <= 1.05), %.2f s with 10 (%.3fx, goal <= 1.15)\n", c0, c1, c1 / c0, c10, c10 / c0
}'

stored_with_stalled() {  # 0 or 1 stalled viewers -> frames stored of FRAMES
    start_run --frames "$frames"
    if [ "$1" = 1 ]; then
        python3 - "$run_port" <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.sendall(b"GET /live.mjpeg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
time.sleep(3600)
PY
        bench_pids+=("$!")
        local stalled=$!
    fi
    wait "$run_pid" || true
    [ "$1" = 1 ] && kill "$stalled" 2>/dev/null || true
    bench_field recorded "$work/out.txt"
}
none=$(stored_with_stalled 0)
stalled=$(stored_with_stalled 1)
echo "frames stored of $frames: $none with no viewer, $stalled with one stalled viewer"
fi

# The signed-in user's request times (ms) during a wrong-password flood: median, 10th and 90th
# percentiles, slowest, and what the flood got.
flood_run() {
    rm -rf "$work/storage" "$work/err.txt"
    mkdir -p "$work/storage"
    printf 'viewer:right-password\n' >"$work/password"
    chmod 600 "$work/password"
    "$cli" serve --storage "$work/storage" --listen 127.0.0.1:0 --password-file "$work/password" \
        >"$work/out.txt" 2>"$work/err.txt" &
    local serve_pid=$!
    bench_pids+=("$serve_pid")
    local port=""
    for _ in $(seq 200); do
        port=$(grep -o 'serving http://127.0.0.1:[0-9]*' "$work/err.txt" 2>/dev/null | grep -o '[0-9]*$' | head -n 1 || true)
        [ -n "$port" ] && break
        sleep 0.1
    done
    [ -n "$port" ] || bench_fail "serve did not start"
    python3 - "$port" "$flood_s" <<'PY'
import base64, socket, statistics, sys, threading, time
port, flood_s = int(sys.argv[1]), float(sys.argv[2])
right = base64.b64encode(b"viewer:right-password").decode()
wrong = base64.b64encode(b"viewer:wrong-password").decode()

def request(auth, source="127.0.0.1"):
    with socket.create_connection(("127.0.0.1", port), timeout=30, source_address=(source, 0)) as s:
        s.sendall(f"GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic {auth}\r\n"
                  "Connection: close\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return int(data.split(b" ", 2)[1]) if data.startswith(b"HTTP/1.1 ") else 0

assert request(right) == 200  # signed in before the flood, as a user watching is
stop = time.monotonic() + flood_s
answers = {}
lock = threading.Lock()
def flood(n):
    sent = 0
    while time.monotonic() < stop and sent < 20000:
        try:
            status = request(wrong, f"127.5.{n}.1")
        except OSError:
            status = 0
        sent += 1
        with lock:
            answers[status] = answers.get(status, 0) + 1
threads = [threading.Thread(target=flood, args=(n,)) for n in range(16)]
for t in threads: t.start()
times = []
statuses = {}
while time.monotonic() < stop:
    started = time.monotonic()
    status = request(right)
    times.append((time.monotonic() - started) * 1000)
    statuses[status] = statuses.get(status, 0) + 1
    time.sleep(0.05)
for t in threads: t.join()
q = statistics.quantiles(times, n=10)
print(f"{statistics.median(times):.1f} {q[0]:.1f} {q[-1]:.1f} {max(times):.1f} {len(times)} "
      f"user:{','.join(f'{k}x{v}' for k, v in sorted(statuses.items()))} "
      f"flood:{','.join(f'{k}x{v}' for k, v in sorted(answers.items()))}")
PY
    kill -TERM "$serve_pid"
    wait "$serve_pid" || true
}
if [[ " $parts " == *" flood "* ]]; then
    medians=""
    for run in $(seq "$repeat"); do
        line=$(flood_run)
        echo "flood run $run: user /api/status median, p10, p90, slowest (ms), requests, answers: $line"
        medians+="${line%% *} "
    done
    median_ms=$(echo "$medians" | tr ' ' '\n' | bench_median)
    echo "signed-in user's /api/status during a wrong-password flood from 16 networks, ${flood_s} s: medians ${medians}ms; median of runs ${median_ms} ms (goal < 50)"
fi
