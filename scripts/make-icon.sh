#!/bin/sh
# Redraws the program's icon (SVG and 48, 128, 256 px PNG) into resources/icons/hicolor
# from scripts/icon/make-icon.cpp. The build tree lives outside the repository so
# nothing stray gets committed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${BUILD_DIR:-${TMPDIR:-/tmp}/make-icon-build}
theme=${1:-$repo/resources/icons/hicolor}

cmake -S "$here/icon" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
QT_QPA_PLATFORM=offscreen "$build/make-icon" "$theme" org.hollowmarker.Brightquill4400Converter
