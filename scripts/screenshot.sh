#!/bin/bash
# Takes the README's picture of the window: the program on a virtual display with a
# fresh settings store, grabbed by ffmpeg's X11 capture.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/window.png}
mkdir -p "$(dirname "$out")"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

xvfb-run -a -s "-screen 0 640x480x24" bash -c '
    XDG_CONFIG_HOME="$1" build/src/bq4400-converter &
    app=$!
    sleep 3
    ffmpeg -v error -y -f x11grab -draw_mouse 0 -video_size 528x325 -i "$DISPLAY+2,24" -frames:v 1 "$2"
    kill $app
' screenshot "$home" "$out"
echo "Wrote $out"
