#!/usr/bin/env bash
# Takes the README's pictures: Cindral on a virtual screen with a window manager and the test
# camera (recording, detector marks in magenta), as a user sees it:
#   docs/screenshot.png                     the main window at 1024x700
#   docs/screens/{main,archive,panel}-800x600.png       the main window, the archive list
#   docs/screens/{main,archive,panel}-1280x1024-2x.png  and the playback panel, small and at 2x
#   docs/screens/timeline.png               the archive list with its day timeline, at 1024x700
#   docs/screens/motion-events.png          the "Motion Events..." dialog (offscreen, by its test)
# Needs a built program and cindral-cli (default build/release).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$root/scripts/common.sh"
install_missing_packages xvfb xauth openbox xdotool ffmpeg

build="${1:-$root/build/release}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$root/docs/screens"

cp "$build/app/cindral" "$work/cindral"
camera="${CINDRAL_TEST_CAMERA#Test Camera=}"
# A few finished archives of today for the list and the panel.
for frames in 20 40 60; do
  "$build/cli/cindral-cli" record --program-folder "$work" --source "$camera" --mode always --frames "$frames" >/dev/null
done

# Spread over the day, and yesterday's too, so that the timeline has something to show: each
# archive's records restamped evenly from START to END (local times), its trailer at END.
restamp() {  # restamp ARCHIVE DAY(YYYY-MM-DD) START(HH:MM) END(HH:MM)
  python3 - "$@" <<'PY'
import datetime, struct, sys
path, day, start, end = sys.argv[1:]
epoch = datetime.datetime(1899, 12, 30)
def ole(hhmm):
    moment = datetime.datetime.fromisoformat(day + " " + hhmm)
    return (moment - epoch) / datetime.timedelta(days=1)
first, last = ole(start), ole(end)
data = bytearray(open(path, "rb").read())
count = struct.unpack_from("<i", data, 0)[0]
at = 8
for i in range(count):
    struct.pack_into("<d", data, at, first + (last - first) * i / max(1, count - 1))
    at += 12 + struct.unpack_from("<I", data, at + 8)[0]
if struct.unpack_from("<I", data, len(data) - 8)[0] == 0x13572468:
    struct.pack_into("<d", data, len(data) - 16, last)
open(path, "wb").write(data)
PY
}
today="$(date +%Y%m%d)"
yesterday="$(date -d yesterday +%Y%m%d)"
mkdir -p "$work/Storage/$yesterday"
archives=("$work/Storage/$today"/*.CNA)
cp "${archives[1]}" "$work/Storage/$yesterday/"
cp "${archives[2]}" "$work/Storage/$yesterday/1.CNA"
restamp "$work/Storage/$yesterday/$(basename "${archives[1]}")" "$(date -d yesterday +%F)" 08:10 09:25
restamp "$work/Storage/$yesterday/1.CNA" "$(date -d yesterday +%F)" 17:40 19:05
restamp "${archives[0]}" "$(date +%F)" 07:05 07:40
restamp "${archives[1]}" "$(date +%F)" 09:30 10:50
restamp "${archives[2]}" "$(date +%F)" 12:45 14:20
chmod u-w "${archives[2]}"  # kept: the timeline marks it

# Saving "Always": the state pane reads REC.
write_test_camera_settings "$work/config" 2

# shoot.sh SIZE SCALE NAME...: starts Cindral and grabs the screen at each step.
cat > "$work/shoot.sh" <<SHOOT
#!/usr/bin/env bash
set -euo pipefail
size="\$1" scale="\$2" main="\$3" archive="\${4:-}" panel="\${5:-}" timeline="\${6:-}"
grab() { ffmpeg -loglevel error -y -f x11grab -video_size "\$size" -i "\$DISPLAY" -frames:v 1 "\$1"; }

export XDG_CONFIG_HOME="$work/config" QT_SCALE_FACTOR="\$scale"
export CINDRAL_TEST_CAMERAS='Test Camera=$camera'
openbox & wm=\$!
sleep 1
"$work/cindral" & pid=\$!
sleep 6
grab "\$main"
if [ -n "\$timeline" ]; then
  xdotool key ctrl+r; sleep 1          # "View Archive...": the date range first
  xdotool key Tab Down Return; sleep 2 # From a day earlier: yesterday's and today's archives
  eval "\$(xdotool getactivewindow getwindowgeometry --shell)"
  xdotool mousemove \$((X + WIDTH / 2)) \$((Y + HEIGHT / 2)) click 1   # into the list
  xdotool key ctrl+a; sleep 1          # every row selected, on the timeline too
  grab "\$timeline"
  xdotool key Escape; sleep 1
fi
if [ -n "\$archive" ]; then
  xdotool key ctrl+r; sleep 1          # "View Archive...": the date range first
  xdotool key Return; sleep 2          # OK: today's archives
  grab "\$archive"
  eval "\$(xdotool getactivewindow getwindowgeometry --shell)"
  xdotool mousemove \$((X + WIDTH / 2)) \$((Y + HEIGHT / 2)) click 1   # into the list
  xdotool key ctrl+a Return; sleep 2   # every row into the panel
  grab "\$panel"
fi
kill -TERM \$pid; wait \$pid
kill \$wm; wait \$wm 2>/dev/null || true
SHOOT
chmod +x "$work/shoot.sh"

shot() {  # shot SIZE SCALE FILES...
  local size="$1"
  xvfb-run -a -s "-screen 0 ${size}x24" "$work/shoot.sh" "$@"
}
shot 1024x700 1 "$root/docs/screenshot.png" "" "" "$root/docs/screens/timeline.png"
shot 800x600 1 "$root/docs/screens/main-800x600.png" "$root/docs/screens/archive-800x600.png" \
  "$root/docs/screens/panel-800x600.png"
shot 1280x1024 2 "$root/docs/screens/main-1280x1024-2x.png" "$root/docs/screens/archive-1280x1024-2x.png" \
  "$root/docs/screens/panel-1280x1024-2x.png"
echo "Wrote $root/docs/screenshot.png and $root/docs/screens/"

# The "Motion Events..." dialog, drawn offscreen by its test.
CINDRAL_SCREENSHOT_DIR="$root/docs/screens" QT_QPA_PLATFORM=offscreen \
  "$build/tests/app_tests" --gtest_filter='MotionEventsDesktop.DialogShowsTheShareOfThePictureAndGivesItsChoices' >/dev/null
