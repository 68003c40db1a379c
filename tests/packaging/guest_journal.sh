#!/usr/bin/env bash
# Runs inside the test guest booted by systemd (run-in-guest --systemd), with udevd and journald
# as on an installed system. Installs tavrix-zodivo-journal while a virtual USB unit is plugged in
# and follows that unit's log into the journal across an unplug and a replug; checks that its
# logger opens its own unit but neither another unit nor /etc/shadow; gathers the journal with
# systemd-journal-upload and systemd-journal-remote; removes the package; and has id --new see a
# unit plugged in while it runs in a network namespace of its own.
set -euo pipefail
deb_dir=$1 dir=$(mktemp -d) id=544156524958000000000001
fail() { echo "$*" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
# Rebuilding the manual pages' index after each install takes minutes under emulation.
rm -f /var/lib/man-db/auto-update
# Two virtual controllers, for a second unit beside the first.
rmmod dummy_hcd && insmod /run/guest/modules/dummy_hcd.ko num=2

# plug OPTION...: plugs in a virtual unit that sends five lines once opened and is pulled out
# when its input, on descriptor $in, is closed; sets pid and node.
plug() {
  rm -f "$dir"/in "$dir"/err && mkfifo "$dir"/in "$dir"/err
  tavrix-vdev "$@" --count 5 --interval 200 <"$dir"/in 2>"$dir"/err & pid=$!
  exec {in}>"$dir"/in {err}<"$dir"/err
  local said && said=$(timeout 30 sed '/plugged in as/q' <&$err) node=${said##*plugged in as }
  [[ $node == /dev/hidraw* ]] || fail "tavrix-vdev did not plug in: $said"
}
# within SECONDS COMMAND...: COMMAND succeeds within SECONDS.
within() {
  local until=$((SECONDS + $1)) && shift
  until "$@"; do ((SECONDS < until)) || return 1; sleep 0.2; done
}
# logged [JOURNALCTL_OPTION...]: the log lines the journal holds under the unit's identifier.
logged() { journalctl -q -o cat "$@" ZODIVO_IDENTIFIER=$id ZODIVO_EVENT=log; }
lines() { [[ $(logged "${@:2}") == "$1" ]]; }
lost() { [[ $(journalctl -q -o cat ZODIVO_IDENTIFIER=$id ZODIVO_EVENT=lost) == "lost $first" ]]; }
stopped() { ! systemctl -q is-active "$1"; }
series=$(printf 'Log line %d\n' 1 2 3 4 5)

apt-get install -y -q "$deb_dir"/tavrix-zodivo-{vdev,cli,udev}_*.deb >/dev/null
# Plugged in before the install: only the postinst can start its logger.
plug --usb --serial first
first=$node service=tavrix-zodivo-journal@${node#/dev/}.service
apt-get install -y -q "$deb_dir"/tavrix-zodivo-journal_*.deb >/dev/null
within 30 lines "$series" || fail "after the install, the journal holds: $(logged)"
exec {in}>&- {err}<&- && wait $pid
within 10 stopped $service || fail "$service still runs after the unplug"
within 10 lost || fail "the loss under the unit's identifier: $(journalctl -q -o cat ZODIVO_EVENT=lost)"
plug --usb --serial first
within 30 lines "$series"$'\n'"$series" || fail "after a replug, the journal holds: $(logged)"

# Its own node opens for the logger as plugdev's; another unit's node, though plugdev's too, and
# /etc/shadow do not.
probe=/run/systemd/system/tavrix-zodivo-journal@.service.d
mkdir -p $probe
printf '[Service]\nExecStart=\nExecStart=/bin/sh -c %s\n' \
  "'true </dev/%I && ! true <$first && ! true </etc/shadow && echo confined || echo exposed'" >$probe/probe.conf
systemctl daemon-reload
plug --usb --serial second
probed() { journalctl -q -o cat -u tavrix-zodivo-journal@${node#/dev/}.service; }
verdict() { probed | grep -x -e confined -e exposed; }
within 30 verdict >/dev/null && [[ $(verdict) == confined ]] || fail "the logger's confinement: $(probed)"
rm -r $probe && systemctl daemon-reload

# journal-remote, which cannot write to the 9p share, writes to the guest's own memory.
mkdir /run/remote
/lib/systemd/systemd-journal-remote --listen-http=127.0.0.1:19532 --output=/run/remote/ 2>"$dir"/remote & remote=$!
within 10 /lib/systemd/systemd-journal-upload --url=http://127.0.0.1:19532 --follow=no 2>/dev/null ||
  fail "systemd-journal-upload sent nothing"
kill $remote && wait $remote || true
lines "$series"$'\n'"$series" -D /run/remote || fail "gathered: $(logged -D /run/remote); $(<"$dir"/remote)"

apt-get purge -y -q tavrix-zodivo-journal >/dev/null
running=$(systemctl list-units --no-legend 'tavrix-zodivo-journal@*')
[[ -z $running ]] || fail "left running after the removal: $running"

# A unit plugged in after id --new started, in a network namespace of its own, where udevd's news
# do not reach.
unshare --net tavrix-zodivo-cli id --new --timeout 20 >"$dir"/new & waiting=$!
within 20 sh -c "grep -q '^7 ' /proc/$waiting/task/*/syscall" || fail "id --new did not start listening"
plug --id 0A0B0C0D0E0F101112131415
wait $waiting && [[ $(<"$dir"/new) == 0A0B0C0D0E0F101112131415 ]] || fail "id --new in a network namespace: $(<"$dir"/new)"
