#!/bin/sh
# Builds the conversion batch benchmark in Release and runs it with the system's ffmpeg:
# scripts/bench-batch.sh [avi] [mp4] [h264] [drive] [trips] [card] [again] [--picture PATH]
# runs the batches named, all when none is; --picture has the drive batch save a frame of its
# drive movie as a PNG (scripts/bench-batch.sh drive --picture docs/drive-movie.png).
# The card and again batches need root (they make a memory-limited, read-throttled cgroup,
# version 1 or 2), fincore from util-linux-extra (installed here when missing) and about 5 GiB
# (again: 3 GiB) free under BENCH_DIR (default /tmp), which must be on a disk. BUILD_DIR
# defaults to build-bench.
set -eu
cd "$(dirname "$0")/.."
if ! command -v fincore >/dev/null; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends util-linux-extra
fi
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCONVERTER_BUILD_TESTS=OFF -DCONVERTER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_batch
exec "$build/bench/batch/bench_batch" "$@"
