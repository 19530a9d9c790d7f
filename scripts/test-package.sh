#!/bin/bash
# Test: packages a build tree with CPack into a scratch folder, checks the package's
# control fields and file list, extracts it there and starts the extracted program
# offscreen until its window is up. Nothing is installed into the machine.
# Usage: test-package.sh BUILD_DIR APP_ID VERSION
set -euo pipefail
build=$1
app_id=$2
version=$3
title="BRIGHTQUILL 4400 Converter, v$version"

work=$(mktemp -d)
program=
cleanup() {
    if [[ -n $program ]]; then
        kill "$program" 2>/dev/null || true
        wait "$program" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

deb=$("$(dirname "$0")/cpack-deb.sh" "$build" "$work")
architecture=$(dpkg --print-architecture)
[[ $(basename "$deb") == "bq4400-converter_${version}_$architecture.deb" ]] ||
    fail "made $(basename "$deb"), expected bq4400-converter_${version}_$architecture.deb"

expect_field() {
    local value
    value=$(dpkg-deb -f "$deb" "$1")
    [[ $value == "$2" ]] || fail "$1 is '$value', expected '$2'"
}
expect_field Package bq4400-converter
expect_field Version "$version"
expect_field Architecture "$architecture"
expect_field Section video
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"
(($(dpkg-deb -f "$deb" Description | wc -l) > 1)) || fail "the Description has no long text"
depends=$(dpkg-deb -f "$deb" Depends)
for package in ffmpeg fonts-dejavu-core libqt6widgets6; do
    [[ ", $depends," =~ ", $package"[\ ,] ]] || fail "Depends lacks $package: $depends"
done
echo "Depends: $depends"

# Every file and link, and nothing else: whatever the package holds, removing it removes.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
    sort >"$work/files"
sort >"$work/expected-files" <<END
./usr/bin/bq4400-convert -> ../lib/bq4400-converter/bq4400-convert
./usr/bin/bq4400-converter -> ../lib/bq4400-converter/bq4400-converter
./usr/lib/bq4400-converter/bq4400-convert
./usr/lib/bq4400-converter/bq4400-converter
./usr/lib/bq4400-converter/ffmpeg -> ../../bin/ffmpeg
./usr/share/applications/$app_id.desktop
./usr/share/doc/bq4400-converter/changelog.gz
./usr/share/doc/bq4400-converter/copyright
./usr/share/icons/hicolor/128x128/apps/$app_id.png
./usr/share/icons/hicolor/256x256/apps/$app_id.png
./usr/share/icons/hicolor/48x48/apps/$app_id.png
./usr/share/icons/hicolor/scalable/apps/$app_id.svg
./usr/share/man/man1/bq4400-convert.1.gz
./usr/share/man/man1/bq4400-converter.1.gz
./usr/share/metainfo/$app_id.metainfo.xml
END
diff -u "$work/expected-files" "$work/files" || fail "unexpected file list"

root=$work/root
dpkg-deb -x "$deb" "$root"
# The link is relative: it leads to ffmpeg once installed, not in the extracted tree.
ffmpeg=$(realpath -m "/usr/lib/bq4400-converter/$(readlink "$root/usr/lib/bq4400-converter/ffmpeg")")
[[ $ffmpeg == /usr/bin/ffmpeg && -x $ffmpeg ]] ||
    fail "the ffmpeg link beside the program leads to $ffmpeg, not to Debian's ffmpeg"
if command -v appstreamcli >/dev/null; then
    # Also checks that the metainfo's desktop entry and icon are where it says.
    appstreamcli validate-tree --no-net "$root"
else
    echo "appstreamcli is not installed: the metainfo is not matched against the package"
fi

# Qt's accessibility layer logs each widget it describes; a window's name is its title.
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/config" \
    QT_LOGGING_RULES=qt.accessibility.cache.debug=true \
    "$root/usr/bin/bq4400-converter" 2>"$work/program.log" &
program=$!
window_line="name=\"$title\" role=Window"
for ((attempt = 0; attempt < 150; attempt++)); do
    grep -qF "$window_line" "$work/program.log" && break
    kill -0 "$program" 2>/dev/null || { cat "$work/program.log"; fail "the program ended"; }
    sleep 0.2
done
grep -qF "$window_line" "$work/program.log" ||
    { cat "$work/program.log"; fail "no window titled '$title' within 30 s"; }
kill -0 "$program" 2>/dev/null || fail "the program ended after showing its window"
echo "The extracted program shows its window '$title'"

# The command line needs no display, and none of Qt's GUI libraries.
"$root/usr/bin/bq4400-convert" --version | grep -qx "bq4400-convert $version" ||
    fail "bq4400-convert --version does not name version $version"
if ldd "$root/usr/lib/bq4400-converter/bq4400-convert" | grep -E 'libQt6(Gui|Widgets|DBus)'; then
    fail "bq4400-convert links Qt's GUI libraries"
fi
