# monitor --all through the real HID stack, in the test guest as root: 15 units over uhid and one
# over USB, each sending 20 numbered lines a second for 60 s, three of them unplugged and plugged
# back during the run; prints, per unit and in all, how many lines were sent and arrived, any lost,
# repeated, out of order or shown on another unit, how soon a unit plugged back was followed, and
# the monitor's CPU time and peak resident memory. With --10x1000: 10 units, the last over USB,
# each sending a series of SECONDS x 1000 numbered lines one a millisecond by its own timer (a
# script cannot write 10,000 lines a second in an emulated guest), none unplugged; it waits for
# every line (one that a series cut short by then never sent shows as missing), and also prints the
# rate at which they came; under emulation a short SECONDS, such as 10, keeps within the timeout.
#   guest/run-in-guest --timeout 400 build/test/guest python3 bench/cli_guest_bench_all.py \
#     build/test/cli/tavrix-zodivo-cli build/test/vdev/tavrix-vdev [--10x1000] [SECONDS]
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
SERIES = "--10x1000" in sys.argv[3:]
numbers = [argument for argument in sys.argv[3:] if argument != "--10x1000"]
SECONDS = int(numbers[0]) if numbers else 60
UNITS, RATE = (10, 1000) if SERIES else (16, 20)
# An emulated guest falls behind the series' timers: how long past its end its lines may come.
SERIES_LATENESS = 10 * SECONDS + 60


def identifier(unit):
    return "%024X" % (0xB0 + unit)


def plug(unit):
    series = ["--count", str(SECONDS * RATE), "--interval", "1"] if SERIES else []
    return virtual_device.Device(VDEV, ["--usb"] if unit == UNITS - 1 else [], identifier(unit), *series)


devices = [plug(unit) for unit in range(UNITS)]
unit_at = {device.node: unit for unit, device in enumerate(devices)}
monitor = subprocess.Popen([CLI, "monitor", "--all", "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True)
shown = collections.defaultdict(list)  # identifier -> the numbered lines shown with it
misplaced = 0
last_shown_at = [None]
answered_at = collections.defaultdict(list)  # identifier -> when each identity reply was read
dropped = collections.Counter()  # node -> the lines the monitor told it dropped


def read_events():
    global misplaced
    for line in monitor.stdout:
        event = json.loads(line)
        if event["event"] == "identity":
            answered_at[event["identifier"]].append(time.monotonic())
        if event["event"] == "dropped":
            dropped[event["unit"]] += event["count"]
        if event["event"] != "log":
            continue
        # A series' line, "Log line N", names no unit; its node does, as no unit is plugged back then.
        unit, number = (unit_at[event["unit"]], event["text"].split()[-1]) if SERIES else event["text"].split()
        if event["identifier"] not in (None, identifier(int(unit))):
            misplaced += 1
        shown[identifier(int(unit))].append(int(number))
        last_shown_at[0] = time.monotonic()


reader = threading.Thread(target=read_events, daemon=True)
reader.start()
sent = [SECONDS * RATE if SERIES else 0] * UNITS
replugs = []
started = time.monotonic()
while SERIES and time.monotonic() < started + SERIES_LATENESS and sum(map(len, shown.values())) < sum(sent):
    time.sleep(1)
for tick in range(0 if SERIES else SECONDS * RATE):
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
    # A series not done by then is cut short.
    device.unplug(signal.SIGTERM if SERIES else None)
time.sleep(2)
status = pathlib.Path("/proc/%d/status" % monitor.pid).read_text()
peak_kib = int(status.split("VmHWM:")[1].split()[0])
monitor.send_signal(signal.SIGINT)
_, _, usage = os.wait4(monitor.pid, 0)
said = [line for line in monitor.stderr.read().splitlines() if "dropped" in line]
said += ["%d lines of %s dropped" % (count, node) for node, count in sorted(dropped.items())]
elapsed = time.monotonic() - started

good = sum(shown[identifier(unit)] == list(range(1, sent[unit] + 1)) for unit in range(UNITS))
print("%d units, %d lines sent, %d shown; %d of %d units with every line once and in order; %d lines on another unit"
      % (UNITS, sum(sent), sum(len(lines) for lines in shown.values()), good, UNITS, misplaced))
for unit in range(UNITS):
    if shown[identifier(unit)] != list(range(1, sent[unit] + 1)):
        lines = shown[identifier(unit)]
        missing = sorted(set(range(1, sent[unit] + 1)) - set(lines))
        runs = []  # the missing lines as ranges, first to last
        for number in missing:
            if runs and runs[-1][1] == number - 1:
                runs[-1][1] = number
            else:
                runs.append([number, number])
        print("  unit %d: sent %d, shown %d, missing %s" % (unit, sent[unit], len(lines), ", ".join(
            "%d-%d" % (first, last) if first != last else "%d" % first for first, last in runs[:12])))
if SERIES:
    print("lines came at %.0f a second in all, until %.1f s after the monitor started"
          % (sum(len(lines) for lines in shown.values()) / (last_shown_at[0] - started), last_shown_at[0] - started)
          if last_shown_at[0] else "no line came")
else:
    print("units plugged back answered %s ms after their plug" % ", ".join(
        "%.0f" % (1000 * (answered_at[ident][-1] - plugged)) for ident, plugged in replugs))
print("the monitor said: %s" % (said or "no report dropped"))
print("monitor CPU %.2f s (%.2f %% of an emulated core), peak %.1f MiB"
      % (usage.ru_utime + usage.ru_stime, 100 * (usage.ru_utime + usage.ru_stime) / elapsed, peak_kib / 1024))
