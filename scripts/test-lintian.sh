#!/bin/bash
# Test: packages a build tree with CPack into a scratch folder and runs lintian on the
# package. Any error or warning fails; informational and pedantic tags are only shown.
# Usage: test-lintian.sh BUILD_DIR
# Exits with 77, which CTest reports as skipped, when lintian is not installed.
set -euo pipefail
build=$1

if ! command -v lintian >/dev/null; then
    echo "SKIPPED: lintian is not installed (scripts/setup.sh installs it)"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

deb=$("$(dirname "$0")/cpack-deb.sh" "$build" "$work")
status=0
lintian --fail-on error,warning --display-info --pedantic "$deb" \
    >"$work/tags" 2>"$work/lintian.err" || status=$?
cat "$work/tags"
# Run as root, lintian says so on stderr: a notice, not a tag.
grep -vxF 'running with root privileges is not recommended!' "$work/lintian.err" >&2 || true
if grep -qE '^[EW]: ' "$work/tags"; then
    fail "lintian reports errors or warnings: the E: and W: lines above"
fi
((status == 0)) || fail "lintian ended with status $status"
echo "lintian: no errors nor warnings for $(basename "$deb")"
