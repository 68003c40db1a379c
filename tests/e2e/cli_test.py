# tavrix-zodivo-cli against the virtual device on the real kernel HID stack, over uhid and over
# USB, as scripts use it: what it prints, line by line, and how it ends.
import datetime
import glob
import json
import os
import queue
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time

import virtual_device

CLI, VDEV = sys.argv[1:3]
TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d"
SERIES = ["Log line %d" % n for n in range(1, 301)]
REQUEST = "01F00FABBC" + "00" * 55 + "0A6900E9"


def cli(*args):
    done = subprocess.run([CLI, *args], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout, done.stderr


# A pipe read by a thread of its own, so that each wait for a line has a limit: a line that does
# not come fails at once and names what was awaited.
class Output:
    def __init__(self, pipe, process):
        self.lines, self.process = queue.Queue(), process
        threading.Thread(target=lambda: [*map(self.lines.put, pipe), self.lines.put("")], daemon=True).start()

    def line(self, what, seconds=20):
        try:
            line = self.lines.get(timeout=seconds)
        except queue.Empty:
            raise AssertionError("nothing within %d s: waiting for %s" % (seconds, what)) from None
        assert line, "the output ended (status %s): waiting for %s" % (self.process.wait(10), what)
        return line

    def rest(self):
        return "".join(iter(lambda: self.lines.get(timeout=20), ""))


def start(*args):
    process = subprocess.Popen([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    process.out, process.err = Output(process.stdout, process), Output(process.stderr, process)
    return process


# Ends a monitor as Ctrl-C does; what it said on standard error.
def interrupt(process):
    process.send_signal(signal.SIGINT)
    assert process.wait(10) == 0, "exit status after SIGINT"
    return process.err.rest()


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "not within %d s: %s" % (seconds, what() if callable(what) else what)
        time.sleep(0.05)


# Until the fleet's thread waits in poll() once it has listed what is present, beside the thread
# that waits for a stop in a program that runs until stopped.
def listening(process):
    polls = 2 if {"monitor", "--watch", "--each"} & set(process.args) else 1
    wait_for(lambda: process.poll() is None and sum(open(task + "/syscall").read().startswith("7 ") for task in glob.glob(
        "/proc/%d/task/*" % process.pid)) >= polls, lambda: "%s to listen (status %s)" % (process.args, process.poll()))


# The program's child processes: the state of each, by its process ID.
def children(pid):
    return {child: open(stat).read().rsplit(")", 1)[1].split()[0] for tasks in glob.glob("/proc/%d/task/*/children" % pid)
            for child in open(tasks).read().split() for stat in glob.glob("/proc/%s/stat" % child)}


# The program's open descriptors, its threads and its children's states.
def resources(pid):
    return len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid)), sorted(children(pid).values())


def run(usb):
    device = virtual_device.Device(VDEV, usb, "0A1B2C3D4E5F60718293A4B5", "--count", "300", "--interval", "1")
    process = start("monitor", "--timestamps")
    said = process.err.line("the connect")
    assert re.fullmatch(TIME + " connected %s, Unique ID: %s\n" % (device.node, device.identifier), said), said
    lines = [process.out.line(text).rstrip("\n").split(" ", 1) for text in SERIES]
    times = [datetime.datetime.fromisoformat(stamp) for stamp, _ in lines]
    assert [text for _, text in lines] == SERIES, "lines lost, repeated or out of order"
    assert times == sorted(times) and all(re.fullmatch(TIME, stamp) for stamp, _ in lines), "times went back"
    # Another program asks the unit, by another name of its node as a udev rule's SYMLINK makes,
    # while the monitor reads it.
    link = "/tmp/unit-link%d" % len(usb)
    os.symlink(device.node, link)
    assert cli("id", "--unit", link) == (0, device.identifier + "\n", "")
    device.unplug()
    assert process.wait(10) == 1, "a loss did not end it"
    assert process.err.rest().endswith("lost %s\n" % device.node)
    # With standard output closed, the node must not take its place and receive the output.
    device = virtual_device.Device(VDEV, usb, "5" * 24)
    assert subprocess.run([CLI, "id"], stdout=subprocess.DEVNULL, preexec_fn=lambda: os.close(1)).returncode == 1
    device.unplug()
    assert device.reports() == [REQUEST], device.reports()

    # Across an unplug and a replug: another unit in the meantime is not taken for it.
    first = virtual_device.Device(VDEV, usb, "2" * 24, "--count", "50", "--interval", "1")
    process = start("monitor", "--reconnect")
    shown = [process.out.line(text) for text in SERIES[:50]]
    first.unplug()
    node = first.node
    other = virtual_device.Device(VDEV, usb, "3" * 24, "--count", "50", "--interval", "1")
    other.unplug()
    first = virtual_device.Device(VDEV, usb, "2" * 24, "--count", "50", "--interval", "1")
    shown += [process.out.line(text + " after the replug") for text in SERIES[:50]]
    assert shown == [line + "\n" for line in SERIES[:50] * 2], "lines lost, repeated or out of order"
    said = interrupt(process).splitlines()
    assert said == ["connected %s, Unique ID: %s" % (node, first.identifier), "lost " + node,
                    "waiting for %s (serial %s)" % (node, first.identifier),
                    "connected %s, Unique ID: %s" % (first.node, first.identifier)], said
    assert other.reports() == [], "the other unit was asked"
    first.unplug()

    # Into a pipe that closes: the program ends at once and says nothing.
    device = virtual_device.Device(VDEV, usb, "4" * 24, "--count", "300", "--interval", "1")
    started = time.monotonic()
    piped = subprocess.run("%s monitor --json | head -n 3" % CLI, shell=True, capture_output=True, text=True,
                           timeout=60)
    took = time.monotonic() - started
    assert len(piped.stdout.splitlines()) == 3 and piped.stderr == "" and took < 5, (piped, took)
    print("%s: monitor into head -n 3 ended %.0f ms after its start" % ("usb" if usb else "uhid", 1000 * took))
    device.unplug(signal.SIGTERM)  # a gadget's lines wait for a host that no longer reads


# With no unit: list prints nothing, id and monitor fail and say so; a wrong command line is one
# line naming what is wrong, and status 2.
for args, expected in ((["list"], 0), (["id"], 1), (["monitor"], 1), (["list", "-xy"], "'-x'"),
                       (["-vh", "list"], "'-v'"), (["--json=1", "list"], "--json takes no value"),
                       (["monitor", "--until", "("], "bad regular expression '(': ")):
    status, out, said = cli(*args)
    assert (status, out) == (expected, "") if status != 2 else expected in said and said.count("\n") == 1, said

for transport in ([], ["--usb"]):
    run(transport)

# One unit over uhid, one over USB: both listed, in the order that a connect picks them; each
# found by its serial number and by its node.
units = [virtual_device.Device(VDEV, [], "5" * 24), virtual_device.Device(VDEV, ["--usb"], "6" * 24)]
status, out, said = cli("list")
listed = [line.split("\t") for line in out.splitlines()]
assert status == 0 and said == "" and sorted(listed) == sorted(
    [[unit.node, unit.identifier, bus, unit.identifier] for unit, bus in zip(units, ["virtual", "usb"])]), out
assert cli("id") == (0, listed[0][3] + "\n", ""), "list's first unit is not the one a connect picks"
for unit in units:
    for name in (unit.identifier, unit.node):
        assert cli("id", "--unit", name) == (0, unit.identifier + "\n", ""), "id --unit " + name
    unit.unplug()

# A unit whose gadget takes no more output reports (its process stopped, the kernel's queue of
# four full), so that the request's write waits for the kernel's 5 s: the writer left waiting
# holds the node and the pipe it tells its outcome through, and none of the program's descriptors,
# such as the pipes its output is read through.
held = virtual_device.Device(VDEV, ["--usb"], "7" * 24)
held.process.send_signal(signal.SIGSTOP)
with open(held.node, "wb", 0) as node:
    [node.write(bytes.fromhex(REQUEST)) for _ in range(4)]
process = start("id", "--timeout", "3")
wait_for(lambda: "D" in children(process.pid).values(), "the request's writer held up")
writer = "/proc/%s/fd/" % next(iter(children(process.pid)))
kept = [os.readlink(writer + fd) for fd in os.listdir(writer)]
theirs = {os.readlink("/proc/%d/fd/%d" % (process.pid, fd)) for fd in (0, 1, 2)}
assert held.node in kept and len(kept) == 2 and not theirs & set(kept), "the request's writer holds %s" % kept
assert process.wait(10) == 1 and process.err.rest().endswith("did not answer within 3 s\n")
held.process.send_signal(signal.SIGCONT)
held.unplug(signal.SIGTERM)


# Reads JSON events until `done(events)`; all of them.
def events_until(process, done, what):
    events = []
    while not done(events):
        events.append(json.loads(process.out.line(what)))
    return events


# id --new takes only a unit plugged in after it started (the churn below and the journal's guest
# show list --watch and id --new taking units that come).
present = virtual_device.Device(VDEV, [], "C" * 24)
assert cli("id", "--new", "--timeout", "1")[0] == 1, "id --new took a unit already there"
present.unplug()

# Churn: a new unit plugged in and the one before it unplugged, again and again, with monitor
# --all and list --watch following throughout. Each unit, and each of its lines, shows once, on
# its own identifier; both programs live on, and the monitor ends with no more descriptors and
# threads than it started with, and no child.
CYCLES = 200
process, watch = start("monitor", "--all", "--json"), start("list", "--watch", "--json")
for program in (process, watch):
    listening(program)
before, events, units, started = resources(process.pid), [], [], time.monotonic()
for cycle in range(CYCLES):
    unit = virtual_device.Device(VDEV, [], "C4A2%020d" % cycle)
    events += events_until(process, lambda got: got and (got[-1]["event"], got[-1].get("identifier")) == (
        "identity", unit.identifier), "the identity of unit %d" % cycle)
    unit.send("\n".join("%s %d" % (unit.identifier, n) for n in range(1, 4)))
    if units:
        units[-1].unplug()
    units.append(unit)
units[-1].unplug()
print("churn: %d cycles in %.0f s" % (CYCLES, time.monotonic() - started))
events += events_until(process, lambda got: sum(e["event"] == "lost" for e in events + got) == CYCLES, "every loss")
for unit in units:
    times = [e["time"] for e in events if e["event"] == "log" and e["identifier"] == unit.identifier]
    assert times == sorted(times), "a unit's times went back"
# Sorted by identifier, each unit's lines in the order they came.
logged = sorted(((e["identifier"], e["text"]) for e in events if e["event"] == "log"), key=lambda line: str(line[0]))
sent = [(u.identifier, "%s %d" % (u.identifier, n)) for u in units for n in range(1, 4)]
assert logged == sent, "%d lines for %d; lost, extra or on another identifier: %s" % (
    len(logged), len(sent), sorted(set(logged) ^ set(sent), key=str)[:5])
node_of = {u.identifier: u.node for u in units}
# Each answer shows, to the monitor's request and to list's: on its own unit's node.
identities = {(e["identifier"], e["unit"]) for e in events if e["event"] == "identity"}
assert identities == set(node_of.items()), "identities: %s" % list(identities - set(node_of.items()))[:5]
shown = events_until(watch, lambda got: sum(e["event"] == "gone" for e in got) == CYCLES, "list --watch's goings")
listed = sorted(((e["identifier"], e["unit"]) for e in shown if e["event"] == "unit"), key=str)
assert listed == sorted(node_of.items()), "list --watch's units: %s" % [u for u in listed if node_of.get(u[0]) != u[1]][:5]
wait_for(lambda: all(now <= then for now, then in zip(resources(process.pid), before)),
         lambda: "the monitor back to %s from %s" % (before, resources(process.pid)))
assert interrupt(process) == "" and interrupt(watch) == ""

# id --each into a reader that takes its time over each: every unit plugged in after it started,
# once, as it answers, and not one already there; two at once, then one while the reader pauses.
present = virtual_device.Device(VDEV, [], "E" * 24)
labels = tempfile.mktemp()
each = subprocess.Popen([CLI, "id", "--each"], stdout=subprocess.PIPE)
reader = subprocess.Popen(["sh", "-c", 'while read -r id; do echo "$id" >>%s; sleep 2; done' % labels], stdin=each.stdout)
each.stdout.close()
listening(each)
pair = [virtual_device.Device(VDEV, [], c * 24) for c in "12"]
labelled = lambda: open(labels).read().split() if os.path.exists(labels) else []
wait_for(lambda: labelled(), "the first label")
third = virtual_device.Device(VDEV, [], "3" * 24)
wait_for(lambda: len(labelled()) >= 3, lambda: "three labels: %s" % labelled(), 30)
each.send_signal(signal.SIGINT)
assert each.wait(10) == 0 and reader.wait(10) == 0, "exit status after SIGINT"
assert sorted(labelled()[:2]) == [u.identifier for u in pair] and labelled()[2:] == [third.identifier], labelled()
for unit in pair + [third, present]:
    unit.unplug()
