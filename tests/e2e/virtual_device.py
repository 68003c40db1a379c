# tavrix-vdev for the end-to-end tests: a virtual unit, plugged in until unplug(); its record holds
# every report the tool wrote to it.
import pathlib
import subprocess
import tempfile


class Device:
    def __init__(self, vdev, usb, identifier, *options):
        self.identifier, self.record = identifier, tempfile.mktemp()
        self.process = subprocess.Popen([vdev, *usb, "--id", identifier, "--record", self.record, *options],
                                        stdin=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stderr.readline()
        assert "plugged in as /dev/hidraw" in line, line
        self.node = line.split()[-1]

    def reports(self):
        return pathlib.Path(self.record).read_text().split()

    def send(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    # At the end of its input, once every line is sent; or at once by a signal.
    def unplug(self, ending=None):
        if ending:
            self.process.send_signal(ending)
        self.process.stdin.close()
        status, said = self.process.wait(10), self.process.stderr.read()
        assert status == 0 and said == "", "the device complained: status %d, %r" % (status, said)
