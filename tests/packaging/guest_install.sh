#!/usr/bin/env bash
# Runs inside the test guest, a throw-away copy of this machine with a real kernel HID and USB
# stack and udev running. Installs the packages as a user would while a virtual device is plugged
# in, whose node the maintainer script's re-trigger must open to the seat's user and to plugdev;
# checks which other devices the rule opens; runs the CLI as users in plugdev and outside it, and
# its bash completion, and the Python module as a member of plugdev; checks the installed tavrix-vdev as the root tool it is, on both
# transports; starts the installed tool; and removes the packages again.
set -euo pipefail
deb_dir=$1 gadgets=/sys/kernel/config/usb_gadget dir=$(mktemp -d)
fail() { echo "$*" >&2; exit 1; }
# The guest runs this in a chroot over its overlay, where udevadm would take itself for an image
# build and ignore the maintainer script (systemd 252 reads the first variable, later ones the second).
export DEBIAN_FRONTEND=noninteractive SYSTEMD_IGNORE_CHROOT=1 SYSTEMD_IN_CHROOT=0
# Two virtual controllers, for a gadget beside a live one. The guest's modules are in its
# initramfs, which its first process still sees.
rmmod dummy_hcd && insmod /proc/1/root/modules/dummy_hcd.ko num=2
/lib/systemd/systemd-udevd --daemon
# Rebuilding the manual pages' index after each install takes minutes under emulation.
rm -f /var/lib/man-db/auto-update

# start COMMAND...: runs it in the background, its input on the descriptor $in and its messages
# on $err, until it says it is plugged in; sets pid, node, and said to what it said.
start() {
  rm -f "$dir"/in "$dir"/err && mkfifo "$dir"/in "$dir"/err
  "$@" <"$dir"/in 2>"$dir"/err & pid=$!
  exec {in}>"$dir"/in {err}<"$dir"/err
  said=$(timeout 30 sed '/plugged in as/q' <&$err) node=${said##*plugged in as }
  [[ $node == /dev/hidraw* ]] || fail "$* did not plug in: $said"
}
# ended WHAT STATUS: the run started last ends with STATUS, leaving neither its node nor its gadget.
ended() {
  timeout 5 tail --pid=$pid -f /dev/null || fail "$1: still running 5 s later"
  local status=0 && wait $pid || status=$?
  exec {in}>&- {err}<&-
  ((status == $2)) && [[ ! -e $node && ! -e $gadgets/tavrix-vdev.$pid ]] || fail "$1: status $status, or $node left"
}
# expect NODE open|closed MESSAGE: once udev has handled the hidraw node, it is open to plugdev
# and tagged for the seat's user, or root's alone.
expect() {
  for _ in $(seq 100); do udevadm info "$1" 2>/dev/null | grep -q USEC_INITIALIZED && break; sleep 0.1; done
  tags=$(udevadm info "$1" | sed -n 's/^E: TAGS=//p')
  got=$(stat -c '%a %G' "$1")
  [[ $tags == *:uaccess:* ]] && got+=" uaccess"
  [[ $got == "$([[ $2 == open ]] && echo '660 plugdev uaccess' || echo '600 root')" ]] || fail "$3 ($1: $got)"
}

# Plugged in and handled by udev before the rule exists: only the postinst's re-trigger can open it,
# since udevd applies reloaded rules to new events alone. The CLI comes first, as on a machine with
# no display: the rule and the postinst come with it, from the package that the tool shares.
apt-get install -y -q "$deb_dir"/tavrix-zodivo-vdev_*.deb >/dev/null
start tavrix-vdev --usb
usb=$node
expect "$usb" closed "a rule from elsewhere opened the device before the install"
apt-get install -y -q "$deb_dir"/{tavrix-zodivo-cli,tavrix-zodivo-udev,python3-tavrix-zodivo}_*.deb >/dev/null
udevadm settle
expect "$usb" open "installing did not open the USB device already plugged in"
used=$(printf 'u%.0s' {1..63}) # the longest serial number that the kernel keeps
start tavrix-vdev --serial "$used"
expect "$node" closed "the rule opened a device with no USB parent"
# With no seat here (no logind), plugdev alone lets a user in; anyone else is told why not.
useradd -G plugdev member && useradd outsider
said=$(runuser -u member -- tavrix-zodivo-cli id --unit "$usb") && [[ $said == 544156524958000000000001 ]] ||
  fail "a member of plugdev read the identifier as: $said"
status=0 && said=$(runuser -u outsider -- tavrix-zodivo-cli id --unit "$usb" 2>&1) || status=$?
((status == 1)) && [[ $said == *"permission denied"* && $said == *"$usb"* ]] || fail "outside plugdev: $status, $said"
said=$(runuser -u member -- /usr/bin/python3 -m tavrix_zodivo list) && [[ $said == *"$usb"*544156524958000000000001* ]] ||
  fail "python3 -m tavrix_zodivo list as a member of plugdev: $said"
# offered WORD...: what bash completion offers for the last word of "tavrix-zodivo-cli WORD...".
offered() {
  bash -c 'source /usr/share/bash-completion/bash_completion && source "$0" && COMP_WORDS=(tavrix-zodivo-cli "$@")
    COMP_CWORD=$# COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE} && set -- $(complete -p tavrix-zodivo-cli)
    "$3"; echo "${COMPREPLY[*]}"' /usr/share/bash-completion/completions/tavrix-zodivo-cli "$@"
}
[[ $(offered "") == "list id monitor" && $(offered monitor --ti) == "--timeout --timestamps" && " $(offered --unit "") " == *" $usb "* ]] ||
  fail "bash completion offers $(offered ""), $(offered monitor --ti), $(offered --unit "")"

# Refused with one line, with neither /dev/uhid opened nor a gadget made, and with the record file
# as it was: an empty serial number, one longer than the kernel keeps, one that a present device
# has, a record file that cannot be written. Each follows a serial number and a record file that
# would do. Nor does a failed write of the help go unnoticed.
tavrix-vdev --help >/dev/full 2>/dev/null && fail "tavrix-vdev --help did not notice its failed write"
echo kept >"$dir/record"
for transport in "" --usb; do
  for option in --serial= "--serial=${used}x" "--serial=$used" --record=/nonexistent/x; do
    said=$(strace -f -qq -e trace=openat,mkdir,mkdirat -o "$dir/calls" \
      tavrix-vdev $transport --serial=free --record="$dir/record" "$option" 2>&1 </dev/null) && fail "$option accepted"
    [[ $(wc -l <<<"$said") == 1 ]] && cmp -s "$dir/record" - <<<kept &&
      ! grep -e '"/dev/uhid"' -e "mkdir.*\"$gadgets/" "$dir/calls" || fail "$option: $said; record: $(<"$dir/record")"
  done
done
pkill -x tavrix-vdev
while pgrep -x tavrix-vdev >/dev/null; do sleep 0.1; done

# Every way a run ends unplugs at once what the host never opened, a series still pending: the
# signals that would end it (a terminal's, the user-defined ones, timers', limits', a real-time
# one), the end of input (Ctrl-D), and a message that finds standard error closed.
for transport in "" --usb; do
  for ending in HUP QUIT USR1 USR2 ALRM VTALRM PROF XCPU XFSZ RTMAX end-of-input closed-stderr; do
    start tavrix-vdev $transport --count 100 --interval 1000
    case $ending in
      end-of-input) exec {in}>&- ;;
      closed-stderr) exec {err}<&- && printf xx >"$node" ;;
      *) kill -"$ending" $pid ;;
    esac
    ended "$ending over ${transport:-uhid}" "$([[ $ending == closed-stderr ]] && echo 1 || echo 0)"
  done
done

# A line ends with LF, CR LF or CR, even with its CR and LF in separate reads; a long line is cut
# to a frame's 55 bytes and the rest of it dropped; the last line needs no end.
start tavrix-vdev && exec {host}<"$node"
printf 'a\r\nb\r' >&$in && sleep 0.3 && printf '\nc\r%0300d\nd' 0 >&$in && exec {in}>&-
for line in a b c "$(printf '%055d' 0)" d; do
  got=$(timeout 5 dd bs=64 count=1 status=none <&$host | tail -c +6 | head -c 55 | tr -d '\0')
  [[ $got == "$line" ]] || fail "the line $line arrived as $(printf %q "$got")"
done
ended "the lines" 0

# Of these gadgets the next start removes, and reports, only the one whose run was killed; one of
# another name stays, and so does a running tavrix-vdev's, even in another PID namespace.
start unshare --pid --fork tavrix-vdev --usb --serial live
live=$pid live_in=$in
start tavrix-vdev --usb --serial killed
{ kill -KILL $pid && wait $pid; } 2>/dev/null || true
killed=$pid && mkdir "$gadgets/tavrix-vdev.bench"
start tavrix-vdev --usb --serial killed
[[ $said == *"removed the virtual device left behind by an earlier run (tavrix-vdev.$killed)"* ]] || fail "$said"
[[ -d $gadgets/tavrix-vdev.bench ]] && grep -qsx HID_UNIQ=live /sys/class/hidraw/*/device/uevent ||
  fail "the wrong gadgets were removed: $(ls $gadgets)"
exec {in}>&- && ended "the second start" 0
# A leftover that will not go is an error that says what is left, and the run ends there.
mkdir -p "$gadgets/tavrix-vdev.7/configs/c.2"
said=$(tavrix-vdev --usb 2>&1 </dev/null) && fail "plugged in beside a stuck leftover"
[[ $said == *"tavrix-vdev.7 is left"* && $said != *removed* ]] || fail "a stuck leftover was reported as: $said"
exec {live_in}>&- && wait $live

# A USB device of another vendor and product, made by hand.
gadget=$gadgets/other
mkdir -p "$gadget/configs/c.1" "$gadget/functions/hid.usb0"
echo 0x1234 >"$gadget/idVendor"
echo 64 >"$gadget/functions/hid.usb0/report_length"
printf '\x06\x00\xff\x09\x01\xa1\x01\x15\x00\x26\xff\x00\x75\x08\x95\x40\x09\x02\x81\x02\xc0' \
  >"$gadget/functions/hid.usb0/report_desc"
ln -s "$gadget/functions/hid.usb0" "$gadget/configs/c.1/"
echo dummy_udc.0 >"$gadget/UDC"
for _ in $(seq 100); do found=$(grep -ls ':00001234:' /sys/class/hidraw/*/device/uevent) && break; sleep 0.1; done
expect "/dev/$(cut -d/ -f5 <<<"${found:?the device of another vendor got no hidraw node}")" closed \
  "the rule opened a device of another vendor"

# Still running after a few seconds: it found its libraries and opened its window. The rule's
# package is already there for it.
apt-get install -y -q "$deb_dir"/tavrix-zodivo_*.deb >/dev/null
QT_QPA_PLATFORM=offscreen timeout 5 tavrix-zodivo && status=0 || status=$?
((status == 124)) || fail "installed tavrix-zodivo ended with status $status"

apt-get remove -y -q tavrix-zodivo tavrix-zodivo-cli tavrix-zodivo-udev tavrix-zodivo-vdev python3-tavrix-zodivo >/dev/null
for gone in /usr/bin/tavrix-zodivo{,-cli} /usr/bin/tavrix-vdev /usr/lib/udev/rules.d/70-tavrix-zodivo.rules \
  /usr/share/bash-completion/completions/tavrix-zodivo-cli /usr/lib/python3/dist-packages/tavrix_zodivo; do
  [[ ! -e $gone ]] || fail "$gone left behind after removal"
done
echo "installed with a device plugged in, opened only the USB device, to plugdev too, CLI, completion and module work, vdev clean on every ending, removed"
