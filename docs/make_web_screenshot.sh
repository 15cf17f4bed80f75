#!/usr/bin/env bash
# The remote viewing page on a phone-sized screen (412x915 at twice the scale), as chromium shows
# it: cindral-cli records the test camera and serves it; a few archives are made first so that
# the day's strip has something on it. usage: docs/make_web_screenshot.sh [cindral-cli] [out.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/test/cli/cindral-cli}
out=${2:-$root/docs/screens/web-phone.png}
work=$(mktemp -d /tmp/cindral-web-shot-XXXXXX)
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
source="videotestsrc is-live=true pattern=ball ! capsfilter caps=video/x-raw,width=640,height=480,framerate=15/1"
for _ in 1 2 3; do
    "$cli" record --storage "$work/storage" --source "$source" --mode always --frames 30 >/dev/null
done
"$cli" record --storage "$work/storage" --source "$source" --mode always --listen 127.0.0.1:0 \
    >/dev/null 2>"$work/err.txt" &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(grep -o 'serving http://127.0.0.1:[0-9]*' "$work/err.txt" | grep -o '[0-9]*$' || true)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/err.txt" >&2; exit 1; }
sleep 2
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --user-data-dir="$work/chromium" \
    --window-size=412,915 --force-device-scale-factor=2 --virtual-time-budget=6000 \
    --screenshot="$out" "http://127.0.0.1:$port/" 2>/dev/null
echo "$out"
