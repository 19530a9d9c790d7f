#!/bin/sh
# Builds the telemetry scan benchmark in Release and runs it.
# Needs about 6 GiB free under BENCH_DIR (default /tmp); BUILD_DIR defaults to build-bench-scan.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench-scan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCONVERTER_BUILD_TESTS=OFF -DCONVERTER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target bench_scan
exec "$build/bench/scan/bench_scan"
