#!/usr/bin/env bash
# Builds the Debian packages with CPack from a clean directory, twice, and inspects them: the two
# builds are the same bytes; the dependencies, and that installing the CLI brings in no library of
# a display; every program hardened and telling its version with no display (the build's manual
# pages already need --help and --version to work); the desktop entry and the AppStream metadata;
# the window's icon from the installed theme; the journal's service, as exposed as systemd-analyze
# rates 2.0 at most and without a word from its verify; the pytest plugin's fixtures, found from
# its package's files; and lintian, whose warnings fail it (its notes are shown: the packages have
# none, but a compiler can spell one out of two neighbouring strings).
# What they install, and what their maintainer scripts do, shows when they are installed in the
# test guest.
set -euo pipefail
cpack=$1 config=$2 deb_dir=$3
fail() { echo "$*" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$deb_dir"
for dir in "$deb_dir" "$work/again"; do "$cpack" -G DEB --config "$config" -B "$dir" >/dev/null; done
for deb in "$deb_dir"/*.deb; do cmp "$deb" "$work/again/${deb##*/}"; done
tool=$(echo "$deb_dir"/tavrix-zodivo_*.deb) vdev=$(echo "$deb_dir"/tavrix-zodivo-vdev_*.deb)
cli=$(echo "$deb_dir"/tavrix-zodivo-cli_*.deb) udev=$(echo "$deb_dir"/tavrix-zodivo-udev_*.deb)
journal=$(echo "$deb_dir"/tavrix-zodivo-journal_*.deb) python=$(echo "$deb_dir"/python3-tavrix-zodivo_*.deb)
depends() { [[ ", $(dpkg-deb -f "$1" Depends)," =~ ,\ $2[\ ,] ]] || fail "${1##*/} does not depend on $2"; }
for lib in libc6 libhidapi-hidraw0 libqt6widgets6 hicolor-icon-theme tavrix-zodivo-udev; do depends "$tool" $lib; done
depends "$cli" tavrix-zodivo-udev
for package in tavrix-zodivo-cli tavrix-zodivo-udev; do depends "$journal" $package; done
for package in tavrix-zodivo-cli python3; do depends "$python" $package; done
[[ $(dpkg-deb -f "$tool" Recommends) == *qt6-wayland* ]] || fail "qt6-wayland is not recommended"
# What apt install of the CLI brings in where the window's package is not installed. The rule's
# package is in no apt list, so its own dependencies are read from it.
names() { dpkg-deb -f "$1" Depends | tr ',|' '\n\n' | sed 's/(.*//; s/ //g; /^tavrix-zodivo-udev$/d; /^$/d'; }
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
  --no-enhances $(names "$cli") $(names "$udev") | grep -v '^ ')
display='^<?(libqt6(gui|widgets|opengl|xcbqpa|wayland)|libx11|libxcb|libxkbcommon|libwayland|libgl[1x]|libegl|libopengl|libgbm|libdrm|libgtk)'
found=$(grep -E "$display" <<<"$closure") && fail "installing tavrix-zodivo-cli brings in" $found

root=$work/root version=$(dpkg-deb -f "$tool" Version)
for deb in "$tool" "$vdev" "$cli"; do dpkg-deb -x "$deb" "$root"; done
for program in tavrix-zodivo tavrix-vdev tavrix-zodivo-cli; do
  [[ $(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/$program" --version) == "$program $version" ]] ||
    fail "$program --version does not say $version"
done
# Debian 13's hardening-check also asks for AArch64's branch protection, which no x86 program has.
other_machine=()
[[ $(hardening-check --help || true) == *--nobranchprotection* ]] && other_machine=(--nobranchprotection)
hardening-check --quiet "${other_machine[@]}" "$root"/usr/bin/*
desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --pedantic --no-net "$root"/usr/share/metainfo/*.xml

# On X11 the window carries the icon that the package installs in the theme.
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  XDG_DATA_DIRS=$1/usr/share:/usr/share QT_QPA_PLATFORM=xcb "$1/usr/bin/tavrix-zodivo" & tool=$!
  status=1
  for _ in $(seq 100); do
    xprop -name "$2" _NET_WM_ICON 2>/dev/null | grep -q "^_NET_WM_ICON(CARDINAL) = " && status=0 && break
    sleep 0.1
  done
  kill $tool
  exit $status' _ "$root" "Tavrix ZODIVO $version" || fail "the window has no icon"

# systemd-analyze looks for the units that the service refers to, and for its program, in the root.
mkdir -p "$root/usr/lib/systemd" && cp -r /lib/systemd/system "$root/usr/lib/systemd/"
dpkg-deb -x "$journal" "$root"
rated=$(systemd-analyze security --offline=true --threshold=20 --root="$root" tavrix-zodivo-journal@.service) ||
  fail "systemd-analyze rates the journal's service above 2.0: $(tail -n1 <<<"$rated")"
said=$(systemd-analyze verify --man=no --root="$root" tavrix-zodivo-journal@hidraw0.service 2>&1) && [[ -z $said ]] ||
  fail "systemd-analyze verify on the journal's service: $said"

# pytest finds the plugin by the package's metadata alone, as it does once the package is installed.
dpkg-deb -x "$python" "$root" && mkdir "$work/rig"
fixtures=$(cd "$work/rig" && PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -m pytest -p no:cacheprovider --fixtures)
for fixture in unit units; do grep -q "^$fixture -- .*tavrix_zodivo/plugin.py" <<<"$fixtures" || fail "pytest --fixtures lacks $fixture"; done

lintian --pedantic --display-info --fail-on error,warning "$deb_dir"/*.deb
