#!/usr/bin/env bash
# Inspects the Debian packages that CPack built: what each holds, with which owner and mode,
# the dependencies dpkg-shlibdeps computed, the udev maintainer scripts, and lintian's verdict.
set -euo pipefail
deb_dir=$1 has_vdev=$2
fail() { echo "$*" >&2; exit 1; }

# name, then the "mode path" lines that dpkg-deb -c must show for its files, all owned by root
check_contents() {
  local deb=$1; shift
  diff <(printf '%s\n' "$@" | LC_ALL=C sort) \
    <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | LC_ALL=C sort)
  ! dpkg-deb -c "$deb" | awk '{ print $2 }' | grep -v '^root/root$' || fail "$deb: files not owned by root"
}

check_depends() {
  local deb=$1; shift
  local depends
  depends=$(dpkg-deb -f "$deb" Depends)
  for lib in "$@"; do
    grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "$deb: Depends lacks $lib: $depends"
  done
}

tool=$(echo "$deb_dir"/tavrix-zodivo_*.deb)
[[ -f $tool ]] || fail "no tavrix-zodivo package in $deb_dir"
check_contents "$tool" \
  "-rwxr-xr-x ./usr/bin/tavrix-zodivo" \
  "-rw-r--r-- ./usr/lib/udev/rules.d/70-tavrix-zodivo.rules" \
  "-rw-r--r-- ./usr/share/applications/tavrix-zodivo.desktop" \
  "-rw-r--r-- ./usr/share/doc/tavrix-zodivo/changelog.gz" \
  "-rw-r--r-- ./usr/share/doc/tavrix-zodivo/copyright" \
  "-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/tavrix-zodivo.svg"
check_depends "$tool" libc6 libhidapi-hidraw0 libqt6widgets6

control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$tool" "$control"
for script in postinst postrm; do
  [[ -x $control/$script ]] || fail "$script missing or not executable"
  grep -q 'udevadm control --reload-rules' "$control/$script" || fail "$script does not reload udev"
done

debs=("$tool")
if [[ $has_vdev == 1 ]]; then
  vdev=$(echo "$deb_dir"/tavrix-zodivo-vdev_*.deb)
  [[ -f $vdev ]] || fail "no tavrix-zodivo-vdev package in $deb_dir"
  check_contents "$vdev" \
    "-rwxr-xr-x ./usr/bin/tavrix-vdev" \
    "-rw-r--r-- ./usr/share/doc/tavrix-zodivo-vdev/changelog.gz" \
    "-rw-r--r-- ./usr/share/doc/tavrix-zodivo-vdev/copyright"
  check_depends "$vdev" libc6
  debs+=("$vdev")
fi

# Warnings are shown for the record; only errors fail.
lintian --fail-on error "${debs[@]}"
