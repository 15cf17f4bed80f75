#!/usr/bin/env bash
# Takes docs/screenshot.png: Cindral on a virtual screen with the test camera, recording
# ("Always", the state pane reads REC) and the detector marks shown in magenta.
# Needs a built program (default build/release).
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
program="${1:-$CINDRAL_ROOT/build/release/app/cindral}"
work="$(mktemp -d)"
trap 'stop_virtual_screen; rm -rf "$work"' EXIT

# A copy in a fresh folder records into that folder, with settings of its own.
cp "$program" "$work/cindral"
export XDG_CONFIG_HOME="$work/config"
write_test_camera_settings "$XDG_CONFIG_HOME" 2
export CINDRAL_TEST_CAMERAS="$CINDRAL_TEST_CAMERA"
start_virtual_screen "$work/screen" 1024x700
"$work/cindral" &
pid=$!
sleep 6
take_screenshot "$work/screen" "$CINDRAL_ROOT/docs/screenshot.png"
kill -TERM "$pid"
wait "$pid" || true
echo "Wrote $CINDRAL_ROOT/docs/screenshot.png"
