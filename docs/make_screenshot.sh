#!/usr/bin/env bash
# Takes docs/screenshot.png: Cindral on a virtual screen with the test camera, recording
# ("Always", the state pane reads REC) and the detector marks shown in magenta. Needs a built
# program (default build/release) and ffmpeg, which grabs the screen.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
program="${1:-$root/build/release/app/cindral}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

cp "$program" "$work/cindral"
mkdir -p "$work/config/Tovamesh"
cat > "$work/config/Tovamesh/Cindral.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\Settings]
"WEB Camera Size X"=dword:00000280
"WEB Camera Size Y"=dword:000001e0
"Save Flag"=dword:00000002
"Motion Detector Show"=dword:00000001
"Motion Detector"=dword:0000f81f
"Treshold"=dword:00000014

[HKEY_CURRENT_USER\Software\Tovamesh\Cindral\TwainSources]
"Camera DShow Src"="Test Camera"
REG

cat > "$work/shoot.sh" <<SHOOT
#!/usr/bin/env bash
export XDG_CONFIG_HOME="$work/config"
export CINDRAL_TEST_CAMERAS='Test Camera=videotestsrc pattern=ball is-live=true ! capsfilter caps="video/x-raw,width=640,height=480,framerate=15/1"'
"$work/cindral" &
pid=\$!
sleep 8
ffmpeg -loglevel error -y -f x11grab -draw_mouse 0 -video_size 1024x700 -i "\$DISPLAY" -frames:v 1 "$root/docs/screenshot.png"
kill -TERM \$pid
wait \$pid
SHOOT
chmod +x "$work/shoot.sh"
xvfb-run -a -s "-screen 0 1024x700x24" "$work/shoot.sh"
echo "Wrote $root/docs/screenshot.png"
