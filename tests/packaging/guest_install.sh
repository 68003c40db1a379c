#!/usr/bin/env bash
# Runs inside the test guest, a throw-away copy of this machine with a real kernel HID and USB
# stack and udev running: installs the packages as a user would, whose maintainer script makes
# udev apply the new rule; checks which virtual devices the rule opens to the seat's user; starts
# the installed tool; and removes the packages again.
set -euo pipefail
deb_dir=$1
fail() { echo "$*" >&2; exit 1; }
/lib/systemd/systemd-udevd --daemon
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb_dir"/tavrix-zodivo{,-vdev}_*.deb >/dev/null

# The udev tags of a hidraw node once udev has handled it; the node itself stays root's alone.
tags_of() {
  for _ in $(seq 100); do udevadm info "$1" 2>/dev/null | grep -q USEC_INITIALIZED && break; sleep 0.1; done
  [[ $(stat -c %a "$1") == 600 ]] || fail "$1 is open to others"
  udevadm info "$1" | sed -n 's/^E: TAGS=//p'
}
# Plugs in a virtual device, which stays in until it is killed, and prints its hidraw node.
plug() {
  local messages
  messages=$(mktemp)
  { sleep infinity | tavrix-vdev "$@" 2>"$messages"; } >/dev/null &
  for _ in $(seq 100); do grep -q 'plugged in' "$messages" && break; sleep 0.1; done
  sed -n 's/.*plugged in as //p' "$messages"
}
[[ $(tags_of "$(plug --usb)") == *:uaccess:* ]] || fail "the rule did not tag the USB device for the seat's user"
[[ $(tags_of "$(plug --id 111111111111111111111111)") != *:uaccess:* ]] ||
  fail "the rule tagged a device with no USB parent"
pkill -x tavrix-vdev
while pgrep -x tavrix-vdev >/dev/null; do sleep 0.1; done
# A USB device of another vendor and product, made by hand.
gadget=/sys/kernel/config/usb_gadget/other
mkdir -p "$gadget/configs/c.1" "$gadget/functions/hid.usb0"
echo 0x1234 >"$gadget/idVendor"
echo 64 >"$gadget/functions/hid.usb0/report_length"
printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x40\x09\x02\x81\x02\xc0' \
  >"$gadget/functions/hid.usb0/report_desc"
ln -s "$gadget/functions/hid.usb0" "$gadget/configs/c.1/"
echo dummy_udc.0 >"$gadget/UDC"
for _ in $(seq 100); do [[ -e /dev/hidraw0 ]] && break; sleep 0.1; done
[[ $(tags_of /dev/hidraw0) != *:uaccess:* ]] || fail "the rule tagged a device of another vendor"

# Still running after a few seconds: it found its libraries and opened its window.
status=0
QT_QPA_PLATFORM=offscreen timeout 5 tavrix-zodivo || status=$?
((status == 124)) || fail "installed tavrix-zodivo ended with status $status"
[[ -f /usr/share/icons/hicolor/scalable/apps/tavrix-zodivo.svg ]] || fail "no icon installed"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -q tavrix-zodivo tavrix-zodivo-vdev >/dev/null
for gone in /usr/bin/tavrix-zodivo /usr/bin/tavrix-vdev /usr/lib/udev/rules.d/70-tavrix-zodivo.rules; do
  [[ ! -e $gone ]] || fail "$gone left behind after removal"
done
echo "installed, tagged for the seat, started and removed"
