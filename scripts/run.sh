#!/usr/bin/env bash
# Installs what building and running need, builds the two programs (Release; no tests, no speed
# checks) and starts Cindral. Without a display it runs on a virtual screen with the test camera,
# writes a screenshot every few seconds and stops in order on Ctrl+C.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

has_display=1
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then has_display=0; fi
packages=("${CINDRAL_RUN_PACKAGES[@]}")
if [ $has_display -eq 0 ]; then packages+=("${CINDRAL_SCREEN_PACKAGES[@]}"); fi
install_missing_packages "${packages[@]}"

build="$CINDRAL_ROOT/build/release"
(cd "$CINDRAL_ROOT" && cmake --preset release)
cmake --build "$build" -j2 --target cindral cindral-cli

program="$build/app/cindral"
# Recordings go to Storage beside the program when that folder exists (older set-ups); else to
# the folder chosen with File > "Storage...", by default Cindral in the videos folder.
recordings="$build/app/Storage"
if [ ! -d "$recordings" ]; then
  videos="$(xdg-user-dir VIDEOS 2>/dev/null || true)"
  recordings="the folder chosen with File > Storage... (by default ${videos:-$HOME/Videos}/Cindral)"
fi

if [ $has_display -eq 1 ]; then
  if ! ls /dev/video* >/dev/null 2>&1 && [ -z "${CINDRAL_TEST_CAMERAS:-}" ]; then
    export CINDRAL_TEST_CAMERAS="$CINDRAL_TEST_CAMERA"
    echo "No camera found: offering \"Test Camera\" (a moving ball)."
  fi
  echo "Settings:   ${XDG_CONFIG_HOME:-$HOME/.config}/Tovamesh/Cindral.reg"
  echo "Recordings: $recordings"
  exec "$program" "$@"
fi

# No display: a virtual screen, and settings of this run's own so the user's stay untouched.
headless="$CINDRAL_ROOT/build/headless"
export XDG_CONFIG_HOME="$headless/config"
write_test_camera_settings "$XDG_CONFIG_HOME"
export CINDRAL_TEST_CAMERAS="$CINDRAL_TEST_CAMERA"
screenshot="$headless/screen.png"
echo "No display: starting Cindral on a virtual screen (Xvfb, 1280x800) with \"Test Camera\","
echo "saving by \"Motion Detector\", marks shown."
echo "Settings:   $XDG_CONFIG_HOME/Tovamesh/Cindral.reg (this run's own)"
if [ ! -d "$build/app/Storage" ]; then recordings="$headless/Storage (this run's own)"; fi
echo "Recordings: $recordings"
echo "Screenshot: $screenshot (renewed every 5 seconds)"
echo "Ctrl+C stops Cindral in order (its archive finished, its settings saved), then the screen."

start_virtual_screen "$headless/screen" 1280x800
# Cindral in a session of its own too: the Ctrl+C reaches the script, which stops it first.
setsid "$program" "$@" &
program_pid=$!
(
  trap '' INT
  while sleep 5; do take_screenshot "$headless/screen" "$screenshot" || true; done
) &
screenshot_pid=$!

stop() {
  trap '' INT TERM
  if kill -0 "$program_pid" 2>/dev/null; then
    echo "Stopping Cindral..."
    kill -INT "$program_pid"
  fi
  local status=0
  wait "$program_pid" || status=$?
  kill -TERM "$screenshot_pid" 2>/dev/null || true
  wait "$screenshot_pid" 2>/dev/null || true
  stop_virtual_screen
  echo "Cindral ended (exit status $status); the virtual screen is closed."
  exit $status
}
trap stop INT TERM
wait "$program_pid" || true
stop
