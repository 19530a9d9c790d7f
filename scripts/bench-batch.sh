#!/bin/sh
# Builds the conversion batch benchmark in Release and runs it with the system's ffmpeg.
# Needs about 1 GiB free under BENCH_DIR (default /tmp); BUILD_DIR defaults to build-bench.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCONVERTER_BUILD_TESTS=OFF -DCONVERTER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_batch
exec "$build/bench/batch/bench_batch"
