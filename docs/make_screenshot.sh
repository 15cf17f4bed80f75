#!/usr/bin/env bash
# Takes the README's pictures: Cindral on a virtual screen with a window manager and the test
# camera (recording, detector marks in magenta), as a user sees it:
#   docs/screenshot.png                     the main window at 1024x700
#   docs/screens/{main,archive,panel}-800x600.png       the main window, the archive list
#   docs/screens/{main,archive,panel}-1280x1024-2x.png  and the playback panel, small and at 2x
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

# Saving "Always": the state pane reads REC.
write_test_camera_settings "$work/config" 2

# shoot.sh SIZE SCALE NAME...: starts Cindral and grabs the screen at each step.
cat > "$work/shoot.sh" <<SHOOT
#!/usr/bin/env bash
set -euo pipefail
size="\$1" scale="\$2" main="\$3" archive="\${4:-}" panel="\${5:-}"
grab() { ffmpeg -loglevel error -y -f x11grab -video_size "\$size" -i "\$DISPLAY" -frames:v 1 "\$1"; }
export XDG_CONFIG_HOME="$work/config" QT_SCALE_FACTOR="\$scale"
export CINDRAL_TEST_CAMERAS='Test Camera=$camera'
openbox & wm=\$!
sleep 1
"$work/cindral" & pid=\$!
sleep 6
grab "\$main"
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
shot 1024x700 1 "$root/docs/screenshot.png"
shot 800x600 1 "$root/docs/screens/main-800x600.png" "$root/docs/screens/archive-800x600.png" \
  "$root/docs/screens/panel-800x600.png"
shot 1280x1024 2 "$root/docs/screens/main-1280x1024-2x.png" "$root/docs/screens/archive-1280x1024-2x.png" \
  "$root/docs/screens/panel-1280x1024-2x.png"
echo "Wrote $root/docs/screenshot.png and $root/docs/screens/"
