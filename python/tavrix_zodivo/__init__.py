"""Tavrix Omrin M3 units for test rigs and scripts, through tavrix-zodivo-cli's JSON events.

The CLI reads the units; this module runs it, follows its events, and waits for the lines a
script looks for, every wait within a limit.
"""

import collections
import json
import os
import re
import subprocess
import tempfile
import threading
import time

# The program that reads the units.
CLI = os.environ.get("TAVRIX_ZODIVO_CLI", "tavrix-zodivo-cli")

# list waits a second for each unit's answer, up to the kernel's 5 s for a unit that holds its
# request up.
_LIST_LIMIT = 15
# SIGTERM ends a monitor within a second.
_STOP_LIMIT = 5
# How many of a unit's last lines a timeout shows.
_SHOWN = 10

Listed = collections.namedtuple("Listed", "node serial bus identifier")
Line = collections.namedtuple("Line", "time text")


class ZodivoError(Exception):
    """A unit that cannot be had or read as asked."""


class ExpectTimeout(ZodivoError):
    """No line matched within the time given."""


class UnitLost(ZodivoError):
    """A unit went while it was read, and no loss was expected."""


class UnexpectedLine(ZodivoError):
    """A line matched a pattern given to not_expected()."""


class Watch:
    """What units read together share: one condition that each of their events wakes, and the
    first failure among them, which ends every wait on any of them."""

    def __init__(self):
        self.changed = threading.Condition()
        self.failure = None

    def fail(self, failure):
        self.failure = self.failure or failure


def _compile(pattern):
    try:
        return re.compile(pattern)
    except re.error as error:
        raise ZodivoError(f"bad regular expression {pattern!r}: {error}") from None


class _Run:
    """A command of the CLI with --json, whose events a thread of its own hands to `take` under
    the watch's lock, until the command ends or is stopped."""

    def __init__(self, cli, arguments, take, watch):
        self._said = tempfile.TemporaryFile()
        try:
            self._process = subprocess.Popen([cli, *arguments, "--json"], stdin=subprocess.DEVNULL,
                                             stdout=subprocess.PIPE, stderr=self._said)
        except OSError as error:
            self._said.close()
            raise ZodivoError(f"cannot run {cli} ({error.strerror}): is tavrix-zodivo-cli installed?") from None
        self._what = f"{cli} {arguments[0]}"
        self.status = None  # once the command has ended
        self._thread = threading.Thread(target=self._follow, args=(take, watch), daemon=True)
        self._thread.start()

    def said(self):
        """What the command said on standard error."""
        self._said.seek(0)
        return self._said.read().decode(errors="replace").strip()

    def ended(self):
        """Why the command ended, once it has."""
        return f"{self._what} ended with status {self.status}: {self.said() or 'it said nothing'}"

    def _follow(self, take, watch):
        for line in self._process.stdout:
            with watch.changed:
                take(json.loads(line))
                watch.changed.notify_all()
        status = self._process.wait()
        with watch.changed:
            self.status = status
            watch.changed.notify_all()

    def stop(self):
        self._process.terminate()
        try:
            self._process.wait(_STOP_LIMIT)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        self._thread.join(_STOP_LIMIT)
        self._process.stdout.close()
        self._said.close()


def _wait(watch, run, found, limit, timed_out):
    """What found() gives, once it gives something. Raises the watch's failure, the command's end,
    and ExpectTimeout(timed_out()) after `limit` seconds. Called with the watch's lock held."""
    deadline = time.monotonic() + limit
    while True:
        if watch.failure:
            raise watch.failure
        result = found()
        if result:
            return result
        if run.status is not None:
            raise ZodivoError(run.ended())
        left = deadline - time.monotonic()
        if left <= 0:
            raise ExpectTimeout(timed_out())
        watch.changed.wait(left)


def _list(cli, count, limit):
    """The units listed; with `count`, once that many have answered, waiting at most `limit`
    seconds for units to be plugged in."""
    present = {}
    watch = Watch()

    def take(event):
        if event["event"] == "unit":
            present[event["unit"]] = Listed(event["unit"], event["serial"], event["bus"], event["identifier"])
        elif event["event"] == "gone":
            present.pop(event["unit"], None)

    def answered():
        return [unit for unit in present.values() if unit.identifier is not None]

    run = _Run(cli, ["list", "--watch"] if count else ["list"], take, watch)
    try:
        with watch.changed:
            if count:
                return _wait(watch, run, lambda: len(answered()) >= count and answered(), limit,
                             lambda: f"only {len(answered())} of {count} units answered within {limit} s")
            _wait(watch, run, lambda: run.status == 0, limit, lambda: f"{cli} list did not end within {limit} s")
            return list(present.values())
    finally:
        run.stop()


def units(cli=None):
    """The units plugged in, in the order the CLI picks them, each with its identifier (None where
    it did not answer)."""
    return _list(cli or CLI, 0, _LIST_LIMIT)


def wait_for_units(count, cli=None, wait=10):
    """The units that have answered, once `count` of them are plugged in; at most `wait` seconds."""
    return _list(cli or CLI, count, wait)


def choose(listed, which=None):
    """The first of the units listed that `which` names, by node (or a link to it), serial number
    or identifier; the first of all without it."""
    if which:
        listed = [unit for unit in listed
                  if which == unit.serial or which.upper() == unit.identifier or os.path.realpath(which) == unit.node]
    if not listed:
        raise ZodivoError("no Tavrix Omrin M3 is plugged in" + (f" as {which}" if which else ""))
    return listed[0]


class Unit:
    """One unit, read by a monitor of its own from its start to close(), and again after each loss
    that expect_loss() announces. Units that share a Watch fail together: a loss or a line that
    must not come, on any of them, ends the wait on every one."""

    @classmethod
    def open(cls, which=None, cli=None, wait=10, watch=None):
        """The unit that `which` names (see choose()), once it has answered, within `wait` seconds."""
        return cls(choose(units(cli), which), cli, wait, watch)

    def __init__(self, listed, cli=None, wait=10, watch=None):
        self.node, self.serial, self.identifier = listed.node, listed.serial, None
        self.lines = []  # every Line the unit sent while read
        self._watch = watch or Watch()
        self._cursor = 0  # where the next expect starts
        self._forbidden = []
        self._loss_expected = False
        self._present = False  # answered, and not lost since
        self._run = _Run(cli or CLI, ["monitor", "--reconnect", "--unit", listed.node], self._take, self._watch)
        try:
            with self._watch.changed:
                _wait(self._watch, self._run, lambda: self._present, wait,
                      lambda: f"{self.node} did not answer within {wait} s. {self._run.said()}".strip())
        except BaseException:
            self._run.stop()
            raise

    @property
    def name(self):
        return self.identifier or self.node

    def expect(self, pattern, timeout=10):
        """The match of `pattern`, a regular expression (Python's), in the first line that has one
        among those come since the last expect, whose lines are then behind. Raises ExpectTimeout,
        with the last lines, after `timeout` seconds, and at once on a failure of the units read
        together."""
        return self._expect(_compile(pattern), timeout)

    def expect_exact(self, text, timeout=10):
        """As expect(), for the first line that holds `text`."""
        return self._expect(re.compile(re.escape(text)), timeout)

    def not_expected(self, pattern):
        """From now on, a line that matches `pattern` fails every wait on the units read together."""
        compiled = _compile(pattern)
        with self._watch.changed:
            self._forbidden.append(compiled)

    def expect_loss(self):
        """The next loss is a reboot, not a failure: the same unit is read again once it is back."""
        with self._watch.changed:
            self._loss_expected = True

    def record(self):
        """Every line so far, each after the local time at which it arrived."""
        with self._watch.changed:
            return "".join(f"{line.time} {line.text}\n" for line in self.lines)

    def close(self):
        self._run.stop()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def _expect(self, compiled, timeout):
        def found():
            nonlocal scanned
            for index in range(scanned, len(self.lines)):
                if match := compiled.search(self.lines[index].text):
                    self._cursor = index + 1
                    return match
            scanned = len(self.lines)
            return None

        with self._watch.changed:
            scanned = self._cursor
            return _wait(self._watch, self._run, found, timeout, lambda: self._timed_out(compiled, timeout))

    def _timed_out(self, compiled, timeout):
        gone = "" if self._present else f" ({self.node} is gone)"
        last = "".join(f"\n  {line.time} {line.text}" for line in self.lines[-_SHOWN:]) or " none"
        return f"{self.name}{gone}: no line matched {compiled.pattern!r} within {timeout} s; the last lines:{last}"

    def _take(self, event):
        kind = event["event"]
        if kind == "log":
            line = Line(event["time"], event["text"])
            self.lines.append(line)
            for pattern in self._forbidden:
                if pattern.search(line.text):
                    self._watch.fail(UnexpectedLine(f"{self.name}: the line {line.text!r} matches {pattern.pattern!r}"))
        elif kind == "connected":
            self.node = event["unit"]
        elif kind == "identity":
            self.identifier = event["identifier"]
            self._present = True
        elif kind == "lost":
            self._present = False
            if not self._loss_expected:
                self._watch.fail(UnitLost(f"unit lost: {self.name} on {self.node}"))
            self._loss_expected = False
