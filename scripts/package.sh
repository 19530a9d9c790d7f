#!/bin/bash
# Builds the Debian package build/bq4400-converter_<version>_<architecture>.deb: installs
# what is missing, builds build/ as scripts/build.sh does, then lets CPack package it
# (scripts/cpack-deb.sh).
# Install it with: apt install ./build/bq4400-converter_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
deb=$(scripts/cpack-deb.sh build build)
echo "Made $deb"
