# The program against the virtual device, both on the real kernel HID stack, as an operator and a
# screen reader meet them: tavrix-vdev plugs the device in through uhid and as a USB gadget, and
# this script reads and presses the program's window through AT-SPI and closes it through X11.
import os
import pathlib
import subprocess
import sys
import time

import pyatspi
import virtual_device
from gi.repository import GLib
from Xlib import X, display, protocol

PROGRAM, VDEV, ENTRY, VERSION = sys.argv[1:5]
CAPTION, CONNECTED, LOST = "Tavrix ZODIVO " + VERSION, "CONNECTED Tavrix Omrin M3", "Waiting for device:"
REQUEST = "01F00FABBC" + "00" * 55 + "0A6900E9"


def wait_for(condition, what, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out waiting for " + what
        while GLib.MainContext.default().iteration(False):
            pass
        time.sleep(0.01)


def Device(usb, identifier, *options):
    return virtual_device.Device(VDEV, usb, identifier, *options)


# The program on the X server, its controls found by role and name as a screen reader finds them.
class Program:
    def __init__(self):
        self.process = subprocess.Popen([PROGRAM], env=dict(os.environ, QT_QPA_PLATFORM="xcb",
                                                            QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1"))
        self.announced = []
        pyatspi.Registry.registerEventListener(
            lambda event: self.announced.append(event.source.name), "object:property-change:accessible-name")
        wait_for(lambda: self.window() is not None, "the window in the accessibility tree", 120)
        frame = self.window()
        roles = [(child.getRole(), child.name) for child in frame]
        assert frame.getRole() == pyatspi.ROLE_FRAME and roles == [
            (pyatspi.ROLE_LABEL, " WAITING FOR CONNECTION:"), (pyatspi.ROLE_TEXT, "Unique ID"),
            (pyatspi.ROLE_PUSH_BUTTON, "CONNECT"), (pyatspi.ROLE_TEXT, "Device log"),
            (pyatspi.ROLE_PUSH_BUTTON, "PAUSE / RESUME LOG")], (frame.getRoleName(), roles)
        self.status, self.identity, self.connect, self.log, self.pause = frame

    def window(self):
        for application in pyatspi.Registry.getDesktop(0):
            if application is not None and application.name == "Tavrix ZODIVO":
                return next((frame for frame in application if frame.name == CAPTION), None)

    def text(self, field):
        return field.queryText().getText(0, -1)

    # CONNECT, and waits until the device's identifier is shown.
    def press_connect(self, device):
        self.connect.queryAction().doAction(0)
        wait_for(lambda: self.text(self.identity) == "Unique ID: " + device.identifier, "the identifier")

    def unplug(self, device):
        device.unplug()
        wait_for(lambda: self.status.name == LOST and self.text(self.identity) == "", "the loss to show")

    def descriptors(self, prefix=""):
        fds = "/proc/%d/fd" % self.process.pid
        return sum(os.readlink(os.path.join(fds, fd)).startswith(prefix) for fd in os.listdir(fds))

    # Closes the window as a window manager's close button does; how long the program took to end.
    def close(self):
        screen = display.Display()
        window = next(window for window in screen.screen().root.query_tree().children
                      if window.get_wm_name() == CAPTION and window.get_wm_class())
        entry = pathlib.Path(ENTRY).read_text()
        assert "StartupWMClass=%s\n" % window.get_wm_class()[1] in entry, window.get_wm_class()
        window.send_event(protocol.event.ClientMessage(
            window=window, client_type=screen.intern_atom("WM_PROTOCOLS"),
            data=(32, [screen.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
        screen.flush()
        asked = time.monotonic()
        assert self.process.wait(5) == 0, "exit status"
        return time.monotonic() - asked


def run(usb):
    name = "usb" if usb else "uhid"
    program = Program()
    # A line every 2 ms: the 64 reports that the kernel keeps for a reader are then 128 ms of lines,
    # enough to ride out a moment in which a busy host holds up the guest's processor.
    device = Device(usb, "0A1B2C3D4E5F60718293A4B5", "--count", "2000", "--interval", "2")
    program.press_connect(device)
    assert program.status.name == CONNECTED and device.reports() == [REQUEST], device.reports()
    # CONNECT again and again while the lines come: each asks the device again, and each line still
    # shows once, in order.
    for _ in range(6):
        program.connect.queryAction().doAction(0)
        time.sleep(0.2)  # apart, as a press through the accessibility interface lasts 100 ms
    shown_meanwhile = program.text(program.log).count("\n")
    expected = ["Log line %d" % n for n in range(1, 2001)]
    wait_for(lambda: program.text(program.log).endswith(expected[-1]), "two thousand lines", 120)
    assert shown_meanwhile < 1800, "the series was over before CONNECT was pressed again"
    shown = program.text(program.log).split("\n")
    assert shown == expected, "%d lines shown, lost or extra: %s" % (len(shown), sorted(set(shown) ^ set(expected))[:5])
    assert device.reports() == [REQUEST] * 7, device.reports()
    log = program.log.queryText()
    bars = pyatspi.utils.findAllDescendants(program.log, lambda child: child.getRole() == pyatspi.ROLE_SCROLL_BAR)
    assert log.caretOffset == log.characterCount and max(bar.queryValue().currentValue for bar in bars) > 0
    program.unplug(device)
    assert CONNECTED in program.announced and program.announced[-1] == LOST, program.announced

    descriptors = []
    for cycle in range(50):
        device = Device(usb, "C0C0C0C0C0C0C0C0C0C0%04d" % cycle)
        program.press_connect(device)
        program.unplug(device)
        descriptors.append(program.descriptors())
    assert descriptors[-1] <= descriptors[0] and program.descriptors("/dev/hidraw") == 0, descriptors
    print("%s: open descriptors after cycle 1: %d, after cycle 50: %d" % (name, descriptors[0], descriptors[-1]))

    if not usb:
        # A second unit on USB is listed before the one open through uhid, as the HID library lists
        # devices in the order of their system paths. CONNECT turns to it at once, without waiting
        # for the first unit to send anything, and what the first unit sends from then on is not shown.
        first = Device(usb, "A" * 24)
        program.press_connect(first)
        second = Device(["--usb"], "B" * 24)
        pressed = time.monotonic()
        program.press_connect(second)
        took = time.monotonic() - pressed
        print("the identifier of the unit listed first showed %.0f ms after CONNECT" % (1000 * took))
        assert took < 1, "the unit listed first was not asked at once"
        first.send("from the unit no longer in use")
        second.send("from the unit in use")
        wait_for(lambda: program.text(program.log).endswith("from the unit in use"), "the line of the unit in use")
        time.sleep(0.3)
        assert "no longer in use" not in program.text(program.log), program.text(program.log)
        assert len(first.reports()) == 1 and len(second.reports()) == 1
        second.unplug()
        first.unplug()

    device = Device(usb, "5A5A5A5A5A5A5A5A5A5A5A5A")
    program.press_connect(device)
    time.sleep(0.2)  # the reader is back in a read on the plugged-in device
    took = program.close()
    print("%s: the program ended %.0f ms after its window was closed" % (name, 1000 * took))
    assert took < 1, "the program took more than a second to end"
    device.unplug()


for transport in ([], ["--usb"]):
    run(transport)
