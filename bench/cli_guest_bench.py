# The command-line monitor through the real HID stack, in the test guest as root, on both
# transports: the virtual device sends 60,000 numbered lines at 1000 a second; prints how many
# arrived, whether any was lost, repeated or out of order, the rate at which they arrived, and the
# monitor's CPU time and peak resident memory.
#   guest/run-in-guest build/test/guest python3 bench/cli_guest_bench.py \
#     build/test/cli/tavrix-zodivo-cli build/test/vdev/tavrix-vdev [LINES]
import datetime
import os
import pathlib
import signal
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "e2e"))
import virtual_device  # noqa: E402

CLI, VDEV = sys.argv[1:3]
LINES = int(sys.argv[3]) if len(sys.argv) > 3 else 60000

for usb, name in (([], "uhid"), (["--usb"], "usb")):
    device = virtual_device.Device(VDEV, usb, "7" * 24, "--count", str(LINES), "--interval", "1")
    monitor = subprocess.Popen([CLI, "monitor", "--timestamps"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               text=True)
    received = []
    for line in monitor.stdout:
        received.append(line.rstrip("\n").split(" ", 1))
        if received[-1][1] == "Log line %d" % LINES:
            break
    # Read before it ends: a child's peak in its resource use counts the fork before its exec.
    status = pathlib.Path("/proc/%d/status" % monitor.pid).read_text()
    peak_kib = int(status.split("VmHWM:")[1].split()[0])
    monitor.send_signal(signal.SIGINT)
    _, _, usage = os.wait4(monitor.pid, 0)
    device.unplug()
    numbers = [int(text.rsplit(" ", 1)[1]) for _, text in received]
    first, last = (datetime.datetime.fromisoformat(received[i][0]) for i in (0, -1))
    seconds = (last - first).total_seconds()
    print("%-4s %d of %d lines, %s; %.0f lines/s over %.1f s; monitor CPU %.2f s (%.2f %% of a core), peak %.1f MiB"
          % (name, len(numbers), LINES, "in order, none lost or repeated" if numbers == list(range(1, LINES + 1))
             else "LOST, REPEATED OR OUT OF ORDER", (len(numbers) - 1) / seconds, seconds,
             usage.ru_utime + usage.ru_stime, 100 * (usage.ru_utime + usage.ru_stime) / seconds, peak_kib / 1024))
