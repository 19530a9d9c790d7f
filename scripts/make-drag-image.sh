#!/bin/sh
# Rebuilds resources/drag-image.png from scripts/drag-image/make-drag-image.cpp.
# The build tree lives outside the repository so nothing stray gets committed.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${BUILD_DIR:-${TMPDIR:-/tmp}/make-drag-image-build}

cmake -S "$here/drag-image" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >/dev/null
QT_QPA_PLATFORM=offscreen "$build/make-drag-image" "$repo/resources/drag-image.png"
echo "wrote $repo/resources/drag-image.png"
