#!/bin/bash
# Packages a build tree with CPack into a folder and prints the path of the .deb it
# made. CPack's report goes to cpack.log in that folder, and to stderr if it fails.
# Usage: cpack-deb.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$1
out=$2

mkdir -p "$out"
if ! cpack --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    echo "FAIL: cpack could not make the package" >&2
    exit 1
fi
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' "$out/cpack.log")
if [[ -z $deb || ! -f $deb ]]; then
    cat "$out/cpack.log" >&2
    echo "FAIL: cpack named no .deb it made" >&2
    exit 1
fi
echo "$deb"
