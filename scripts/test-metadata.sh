#!/bin/bash
# Test: the desktop entry and the AppStream metainfo pass their validators (offline).
# Usage: test-metadata.sh DESKTOP_FILE METAINFO_FILE
# Exits with 77, which CTest reports as skipped, when a validator is not installed.
set -euo pipefail
desktop=$1
metainfo=$2

for tool in desktop-file-validate appstreamcli; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (scripts/setup.sh installs it)"
        exit 77
    fi
done

desktop-file-validate "$desktop"
echo "desktop-file-validate: $desktop passed"
appstreamcli validate --no-net "$metainfo"
