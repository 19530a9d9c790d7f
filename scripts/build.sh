#!/bin/bash
# Configures and builds the program, its tests and benchmarks into build/.
# The build puts a link to the system's ffmpeg beside the program, where it looks for it.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONVERTER_WARNINGS_AS_ERRORS=ON "$@"
cmake --build build --parallel "$(nproc)"
