#!/usr/bin/env bash
# Runs inside the test guest, a throw-away copy of this machine with a real kernel HID stack and
# no udev daemon: installs the packages as a user would, starts the installed programs, and
# removes the packages again; the maintainer scripts run for real along the way.
set -euo pipefail
deb_dir=$1
fail() { echo "$*" >&2; exit 1; }

packages=("$deb_dir"/tavrix-zodivo_*.deb)
vdev_deb=$(compgen -G "$deb_dir/tavrix-zodivo-vdev_*.deb" || true)
[[ -n $vdev_deb ]] && packages+=("$vdev_deb")
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}" >/dev/null

[[ -f /usr/lib/udev/rules.d/70-tavrix-zodivo.rules ]] || fail "rule not installed"
[[ -f /usr/share/applications/tavrix-zodivo.desktop ]] || fail "desktop entry not installed"

if [[ -n $vdev_deb ]]; then
  # The installed virtual device must appear as a hidraw node of 0483:5750 and unplug itself
  # cleanly on SIGTERM; its input stays open meanwhile, as its end would unplug it too.
  input=$(mktemp -u)
  mkfifo "$input"
  /usr/bin/tavrix-vdev <"$input" & vdev=$!
  exec 3>"$input"
  node=
  for _ in $(seq 100); do
    node=$(grep -l 'HID_ID=0003:00000483:00005750' /sys/class/hidraw/hidraw*/device/uevent 2>/dev/null || true)
    [[ -n $node ]] && break
    sleep 0.1
  done
  kill -TERM "$vdev"
  wait "$vdev" || fail "installed tavrix-vdev failed"
  exec 3>&-
  [[ -n $node ]] || fail "installed tavrix-vdev created no hidraw node"
fi

# Still running after a few seconds: it found its libraries and opened its window.
set +e
QT_QPA_PLATFORM=offscreen timeout 5 /usr/bin/tavrix-zodivo
status=$?
set -e
((status == 124)) || fail "installed tavrix-zodivo ended with status $status"

names=()
for deb in "${packages[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
DEBIAN_FRONTEND=noninteractive apt-get remove -y -q "${names[@]}" >/dev/null
for gone in /usr/bin/tavrix-zodivo /usr/bin/tavrix-vdev /usr/lib/udev/rules.d/70-tavrix-zodivo.rules; do
  [[ ! -e $gone ]] || fail "$gone left behind after removal"
done
echo "installed, started and removed: ${names[*]}"
