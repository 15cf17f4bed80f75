# Shared by run.sh and test.sh: install what is missing, configure and build.
set -euo pipefail

CINDRAL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# What building and running the two programs needs.
CINDRAL_RUN_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-svg-dev libgl-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  libturbojpeg0-dev libjpeg62-turbo-dev fonts-dejavu-core
  libsoup-3.0-dev libqrencode-dev libgnutls28-dev glib-networking
  libsqlite3-dev libopencv-objdetect-dev libopencv-imgproc-dev
  gstreamer1.0-libav gstreamer1.0-rtsp
)
# A virtual screen for a machine without a display, and the converter of its screenshots.
CINDRAL_SCREEN_PACKAGES=(xvfb python3)
# The tests' and speed checks' own: frameworks, judges of the outputs, install checkers, and the
# view benchmark's window manager on its virtual screen, and the private session bus of the
# notification test (dbus-run-session).
CINDRAL_TEST_PACKAGES=(
  libgtest-dev libgmock-dev libbenchmark-dev
  gstreamer1.0-tools ffmpeg python3
  desktop-file-utils appstream groff-base
  xauth openbox x11-utils
  dbus-daemon
  chromium openssl
  opencv-doc libgstrtspserver-1.0-dev
)
# The checks of the code itself: clang with its sanitizer and fuzzer runtimes, the formatter
# and the linter.
CINDRAL_CHECK_PACKAGES=(clang libclang-rt-14-dev clang-format clang-tidy ccache)

# Four builds of one tree (compiler, two sanitizers, fuzzers): a compiler cache keyed on paths
# relative to the tree makes a run after the first, or in a fresh clone, cost what changed.
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$CINDRAL_ROOT" \
    CCACHE_NOHASHDIR=true
fi

# install_missing_packages PACKAGE...
install_missing_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  echo "Installing: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# configure_tree DIR BUILD_TYPE [extra cmake arguments...]
configure_tree() {
  local dir="$1" type="$2"
  shift 2
  cmake -S "$CINDRAL_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@"
}

# The settings of a run on a virtual screen: the test camera, saving by motion, marks shown in
# magenta, recordings in Storage beside CONFIG_HOME. write_test_camera_settings CONFIG_HOME [SAVING_MODE]
write_test_camera_settings() {
  mkdir -p "$1/Tovamesh"
  cat > "$1/Tovamesh/Cindral.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\Settings]
"WEB Camera Size X"=dword:00000280
"WEB Camera Size Y"=dword:000001e0
"Save Flag"=dword:00000001
"Motion Detector Show"=dword:00000001
"Motion Detector"=dword:0000f81f
"Treshold"=dword:00000014

[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\TwainSources]
"Camera DShow Src"="Test Camera"
REG
  # An optional saving mode: 0 "Off", 1 "Motion Detector", 2 "Always".
  if [ -n "${2:-}" ]; then
    sed -i "s/^\"Save Flag\"=dword:.*/\"Save Flag\"=dword:0000000$2/" "$1/Tovamesh/Cindral.reg"
  fi
  # Recordings of such a run beside its settings, not in the user's videos folder (a Storage
  # folder beside the program still comes first).
  local storage
  storage="$(cd "$1/.." && pwd)/Storage"
  printf '\n[HKEY_CURRENT_USER\\Software\\Tovamesh\\Cindral\\Storage]\n"Folder"="%s"\n' \
    "$(printf '%s' "$storage" | sed 's/\\/\\\\/g; s/"/\\"/g')" >> "$1/Tovamesh/Cindral.reg"
}
CINDRAL_TEST_CAMERA='Test Camera=videotestsrc pattern=ball is-live=true ! capsfilter caps="video/x-raw,width=640,height=480,framerate=15/1"'

# Starts Xvfb on a free display in a session of its own (a Ctrl+C meant for the script does not
# reach it), its screen kept as a file in FRAME_FOLDER. Sets CINDRAL_SCREEN_PID and DISPLAY.
# start_virtual_screen FRAME_FOLDER WIDTHxHEIGHT
start_virtual_screen() {
  local frame_folder="$1" size="$2"
  mkdir -p "$frame_folder"
  local display_file="$frame_folder/display"
  : > "$display_file"
  setsid Xvfb -displayfd 3 -screen 0 "${size}x24" -fbdir "$frame_folder" -nolisten tcp \
    3>"$display_file" >"$frame_folder/xvfb.log" 2>&1 &
  CINDRAL_SCREEN_PID=$!
  local tries
  for tries in $(seq 100); do
    if [ -s "$display_file" ]; then
      export DISPLAY=":$(tr -d '[:space:]' <"$display_file")"
      return 0
    fi
    if ! kill -0 "$CINDRAL_SCREEN_PID" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "The virtual screen did not start:" >&2
  cat "$frame_folder/xvfb.log" >&2
  return 1
}

# take_screenshot FRAME_FOLDER OUT.png: the virtual screen as it is now.
take_screenshot() {
  python3 "$CINDRAL_ROOT/scripts/xwd_to_png.py" "$1/Xvfb_screen0" "$2.part" && mv -f "$2.part" "$2"
}

# stop_virtual_screen: ends the Xvfb started above and waits for it.
stop_virtual_screen() {
  [ -n "${CINDRAL_SCREEN_PID:-}" ] || return 0
  kill -TERM "$CINDRAL_SCREEN_PID" 2>/dev/null || true
  wait "$CINDRAL_SCREEN_PID" 2>/dev/null || true
}
