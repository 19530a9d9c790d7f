#!/bin/bash
# Builds the Debian package build/bq4400-converter_<version>_<architecture>.deb: installs
# what is missing, builds build/ as scripts/build.sh does, then lets CPack package it.
# Install it with: apt install ./build/bq4400-converter_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
cpack --config build/CPackConfig.cmake -B build
