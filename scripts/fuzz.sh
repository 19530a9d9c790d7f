#!/bin/sh
# Builds the libFuzzer target with clang (address and undefined behaviour sanitizers),
# writes the seed movies into fuzz-corpus/ and fuzzes for FUZZ_SECONDS (default 600).
# Findings are written as crash-* / leak-* files into the build folder's fuzz-findings/.
set -eu
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCONVERTER_BUILD_FUZZER=ON -DCONVERTER_BUILD_TESTS=OFF -DCONVERTER_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_movie fuzz_seeds
mkdir -p fuzz-corpus "$build/fuzz-findings"
"$build/fuzz/fuzz_seeds" fuzz-corpus
exec "$build/fuzz/fuzz_movie" fuzz-corpus -max_total_time="${FUZZ_SECONDS:-600}" \
    -max_len=65536 -artifact_prefix="$build/fuzz-findings/" -print_final_stats=1
