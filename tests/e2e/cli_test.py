# tavrix-zodivo-cli against the virtual device on the real kernel HID stack, over uhid and over
# USB, as scripts use it: what it prints, line by line, and how it ends.
import datetime
import json
import re
import signal
import subprocess
import sys
import time

import virtual_device

CLI, VDEV = sys.argv[1:3]
TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"
SERIES = ["Log line %d" % n for n in range(1, 301)]


def cli(*args):
    done = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


def monitor(*args):
    return subprocess.Popen([CLI, "monitor", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


# Ends a monitor as Ctrl-C does; what it said on standard error.
def interrupt(process):
    process.send_signal(signal.SIGINT)
    assert process.wait(10) == 0, "exit status after SIGINT"
    return process.stderr.read()


def run(usb):
    bus = "usb" if usb else "virtual"
    device = virtual_device.Device(VDEV, usb, "0A1B2C3D4E5F60718293A4B5", "--count", "300", "--interval", "1")
    process = monitor("--timestamps")
    said = process.stderr.readline()
    assert re.fullmatch(TIME + " connected %s, Unique ID: %s\n" % (device.node, device.identifier), said), said
    lines = [process.stdout.readline().rstrip("\n").split(" ", 1) for _ in SERIES]
    times = [datetime.datetime.fromisoformat(stamp) for stamp, _ in lines]
    assert [text for _, text in lines] == SERIES, "lines lost, repeated or out of order"
    assert times == sorted(times) and all(re.fullmatch(TIME, stamp) for stamp, _ in lines), "times went back"
    assert interrupt(process) == ""
    for args in (["id"], ["id", "--unit", device.node], ["id", "--unit", device.identifier]):
        assert cli(*args) == (0, device.identifier + "\n", ""), args
    assert cli("list") == (0, "\t".join([device.node, device.identifier, bus, device.identifier]) + "\n", "")
    device.unplug()

    device = virtual_device.Device(VDEV, usb, "1" * 24, "--count", "300", "--interval", "1")
    process = monitor("--json")
    events = [json.loads(process.stdout.readline()) for _ in range(2 + len(SERIES))]
    assert [(event["event"], event["unit"]) for event in events[:2]] == [("connected", device.node),
                                                                        ("identity", device.node)], events[:2]
    assert events[0]["bus"] == bus and events[1]["identifier"] == device.identifier, events[:2]
    assert [(event["event"], event["text"]) for event in events[2:]] == [("log", line) for line in SERIES]
    device.unplug()
    assert json.loads(process.stdout.readline())["event"] == "lost" and process.wait(10) == 1, "a loss ended it"

    # Across an unplug and a replug of another unit: the first unit's lines, then the second's.
    first = virtual_device.Device(VDEV, usb, "2" * 24, "--count", "50", "--interval", "1")
    process = monitor("--reconnect")
    shown = [process.stdout.readline() for _ in range(50)]
    first.unplug()
    second = virtual_device.Device(VDEV, usb, "3" * 24, "--count", "50", "--interval", "1")
    shown += [process.stdout.readline() for _ in range(50)]
    assert shown == [line + "\n" for line in SERIES[:50] * 2], "lines lost, repeated or out of order"
    said = interrupt(process).splitlines()
    assert said == ["connected %s, Unique ID: %s" % (first.node, first.identifier), "lost " + first.node,
                    "connected %s, Unique ID: %s" % (second.node, second.identifier)], said
    second.unplug()

    # Into a pipe that closes: the program ends at once and says nothing.
    device = virtual_device.Device(VDEV, usb, "4" * 24, "--count", "300", "--interval", "1")
    started = time.monotonic()
    piped = subprocess.run("%s monitor --json | head -n 3" % CLI, shell=True, capture_output=True, text=True,
                           timeout=60)
    took = time.monotonic() - started
    assert len(piped.stdout.splitlines()) == 3 and piped.stderr == "" and took < 5, (piped, took)
    print("%s: monitor into head -n 3 ended %.0f ms after its start" % (bus, 1000 * took))
    device.unplug(signal.SIGTERM)  # a gadget's lines wait for a host that no longer reads


# With no unit: list prints nothing, id and monitor fail and say so; a wrong command line is status 2.
for args, expected in ((["list"], 0), (["id"], 1), (["monitor"], 1), (["--bogus", "list"], 2), (["frob"], 2),
                       (["list", "--timeout", "1"], 2)):
    status, out, said = cli(*args)
    assert status == expected and out == "" and (said == "") == (status == 0), (args, status, said)
    assert expected != 2 or len(said.splitlines()) == 1, said

for transport in ([], ["--usb"]):
    run(transport)

# One unit over uhid, one over USB: both listed, in the order that a connect picks them.
units = [virtual_device.Device(VDEV, [], "5" * 24), virtual_device.Device(VDEV, ["--usb"], "6" * 24)]
status, out, said = cli("list")
listed = [line.split("\t") for line in out.splitlines()]
assert status == 0 and said == "" and sorted(listed) == sorted(
    [[unit.node, unit.identifier, bus, unit.identifier] for unit, bus in zip(units, ["virtual", "usb"])]), out
assert cli("id") == (0, listed[0][3] + "\n", ""), "list's first unit is not the one a connect picks"
for unit in units:
    unit.unplug()
