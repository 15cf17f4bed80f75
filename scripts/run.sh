#!/usr/bin/env bash
# Installs what is missing, builds Cindral (Release) and starts it.
# Without a camera on this machine, a test camera stands in for one.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages
build_tree "$CINDRAL_ROOT/build/release" Release -DBUILD_TESTING=OFF

if ! ls /dev/video* >/dev/null 2>&1 && [ -z "${CINDRAL_TEST_CAMERAS:-}" ]; then
  export CINDRAL_TEST_CAMERAS="Test Camera=videotestsrc pattern=ball is-live=true ! capsfilter caps=video/x-raw,width=640,height=480,framerate=15/1"
  echo "No camera found: offering \"Test Camera\" (a moving ball)."
fi

program="$CINDRAL_ROOT/build/release/app/cindral"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: starting Cindral on a virtual screen (xvfb-run)."
  exec xvfb-run -a -s "-screen 0 1280x800x24" "$program" "$@"
fi
exec "$program" "$@"
