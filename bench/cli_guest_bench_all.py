# monitor --all through the real HID stack, in the test guest as root: 15 units over uhid and one
# over USB, each sending 20 numbered lines a second for 60 s, three of them unplugged and plugged
# back during the run; prints, per unit and in all, how many lines were sent and arrived, any lost,
# repeated, out of order or shown on another unit, how soon a unit plugged back was followed, and
# the monitor's CPU time and peak resident memory.
#   guest/run-in-guest --timeout 400 build/test/guest python3 bench/cli_guest_bench_all.py \
#     build/test/cli/tavrix-zodivo-cli build/test/vdev/tavrix-vdev [SECONDS]
import collections
import json
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "e2e"))
import virtual_device  # noqa: E402

CLI, VDEV = sys.argv[1:3]
SECONDS = int(sys.argv[3]) if len(sys.argv) > 3 else 60
UNITS, RATE = 16, 20


def identifier(unit):
    return "%024X" % (0xB0 + unit)


def plug(unit):
    return virtual_device.Device(VDEV, ["--usb"] if unit == UNITS - 1 else [], identifier(unit))


devices = [plug(unit) for unit in range(UNITS)]
monitor = subprocess.Popen([CLI, "monitor", "--all", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
shown = collections.defaultdict(list)  # identifier -> the numbered lines shown with it
misplaced = 0
answered_at = collections.defaultdict(list)  # identifier -> when each identity reply was read


def read_events():
    global misplaced
    for line in monitor.stdout:
        event = json.loads(line)
        if event["event"] == "identity":
            answered_at[event["identifier"]].append(time.monotonic())
        if event["event"] != "log":
            continue
        unit, number = event["text"].split()
        if event["identifier"] not in (None, identifier(int(unit))):
            misplaced += 1
        shown[identifier(int(unit))].append(int(number))


reader = threading.Thread(target=read_events, daemon=True)
reader.start()
sent = [0] * UNITS
replugs = []
started = time.monotonic()
for tick in range(SECONDS * RATE):
    time.sleep(max(0.0, started + tick / RATE - time.monotonic()))
    # At a quarter, a half and three quarters of the run, one uhid unit goes and comes back.
    if tick in (SECONDS * RATE // 4, SECONDS * RATE // 2, 3 * SECONDS * RATE // 4):
        unit = len(replugs)
        devices[unit].unplug()
        devices[unit] = plug(unit)
        replugs.append((identifier(unit), time.monotonic()))
    for unit, device in enumerate(devices):
        sent[unit] += 1
        device.send("%d %d" % (unit, sent[unit]))
for device in devices:
    device.unplug()
time.sleep(2)
status = pathlib.Path("/proc/%d/status" % monitor.pid).read_text()
peak_kib = int(status.split("VmHWM:")[1].split()[0])
monitor.send_signal(signal.SIGINT)
_, _, usage = os.wait4(monitor.pid, 0)
said = [line for line in monitor.stderr.read().splitlines() if "dropped" in line]
elapsed = time.monotonic() - started

good = sum(shown[identifier(unit)] == list(range(1, sent[unit] + 1)) for unit in range(UNITS))
print("%d units, %d lines sent, %d shown; %d of %d units with every line once and in order; %d lines on another unit"
      % (UNITS, sum(sent), sum(len(lines) for lines in shown.values()), good, UNITS, misplaced))
for unit in range(UNITS):
    if shown[identifier(unit)] != list(range(1, sent[unit] + 1)):
        lines = shown[identifier(unit)]
        missing = sorted(set(range(1, sent[unit] + 1)) - set(lines))
        print("  unit %d: sent %d, shown %d, missing %s" % (unit, sent[unit], len(lines), missing[:10]))
print("units plugged back answered %s ms after their plug" % ", ".join(
    "%.0f" % (1000 * (answered_at[ident][-1] - plugged)) for ident, plugged in replugs))
print("the monitor said: %s" % (said or "no report dropped"))
print("monitor CPU %.2f s (%.2f %% of an emulated core), peak %.1f MiB"
      % (usage.ru_utime + usage.ru_stime, 100 * (usage.ru_utime + usage.ru_stime) / elapsed, peak_kib / 1024))
