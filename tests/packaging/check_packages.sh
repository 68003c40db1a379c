#!/usr/bin/env bash
# Builds the Debian packages with CPack from a clean directory and inspects them: their
# dependencies, the desktop entry and the icon, and lintian's verdict. What they install, and
# what their maintainer scripts do, shows when they are installed in the test guest.
set -euo pipefail
cpack=$1 config=$2 deb_dir=$3
rm -rf "$deb_dir"
"$cpack" -G DEB --config "$config" -B "$deb_dir" >/dev/null
tool=$(echo "$deb_dir"/tavrix-zodivo_*.deb)
for lib in libc6 libhidapi-hidraw0 libqt6widgets6; do
  [[ ", $(dpkg-deb -f "$tool" Depends)," =~ ,\ $lib[\ ,] ]] || { echo "no dependency on $lib" >&2; exit 1; }
done
[[ $(dpkg-deb -f "$tool" Recommends) == *qt6-wayland* ]] || { echo "qt6-wayland is not recommended" >&2; exit 1; }
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$tool" "$unpacked"
desktop-file-validate "$unpacked/usr/share/applications/tavrix-zodivo.desktop"
rsvg-convert "$unpacked/usr/share/icons/hicolor/scalable/apps/tavrix-zodivo.svg" >/dev/null
# Warnings are shown for the record; only errors fail.
lintian --fail-on error "$tool" "$deb_dir"/tavrix-zodivo-vdev_*.deb
