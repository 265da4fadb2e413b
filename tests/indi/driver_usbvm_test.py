"""The INDI driver on a camera through the real USB stack: in the test VM's
USB mode, tarncam-gadget presents the simulated camera through gadgetfs and
dummy_hcd, and indiserver runs the driver, which finds and drives it through
usbfs and libusb as it would a camera on a cable. What users do on a real
camera and what the simulator alone cannot show: aborts (with the library's
own cancel of a pending transfer), an abort during the sensor's settle, the
video stream's stop, an unplug during an exposure.

Every property that goes Busy must end (Ok, Idle or Alert) within the
probe's bound; the waits are real. Run through ctest (usbvm.IndiDriver);
outside the VM it skips. Each scenario prints how long the driver's main
loop was held by an abort, a stream stop or a disconnection (the time to
its answer), for the record, not as a pass mark."""

import os
import subprocess
import sys
import threading
import time
import unittest

import numpy as np

from indi_support import Server, expected_test_pattern

EXPOSE = "set CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g"


class Gadget:
    """tarncam-gadget in the background, driven through its control lines."""

    def __init__(self, options="scene=test-pattern"):
        self.proc = subprocess.Popen(
            [os.environ["TARNCAM_GADGET"], "--control", "--options", options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def count(self, prefix):
        with self.changed:
            return sum(1 for line in self.lines if line.startswith(prefix))

    def wait_for(self, prefix, count=1, seconds=60):
        with self.changed:
            return self.changed.wait_for(
                lambda: sum(1 for line in self.lines if line.startswith(prefix)) >= count,
                seconds)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def quit(self):
        try:
            self.send("quit")
            self.proc.wait(20)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()

    def transcript(self):
        with self.changed:
            return "\n".join(self.lines)


@unittest.skipUnless(os.environ.get("TARNCAM_IN_VM") == "1", "needs the USB test VM (ctest)")
class UsbDriverTest(unittest.TestCase):
    """One gadget and one server for the scenarios, in order; each but the
    last leaves the driver connected and idle."""

    @classmethod
    def setUpClass(cls):
        # The VM has no network, and its loopback starts down: indiserver
        # and its clients talk over TCP on localhost.
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True, timeout=30)
        cls.gadget = Gadget()
        cls.addClassCleanup(cls.gadget.quit)
        if not cls.gadget.wait_for("connected camera", seconds=90):
            raise AssertionError("the gadget did not connect:\n" + cls.gadget.transcript())
        cls.server = Server()
        cls.addClassCleanup(cls.server.cleanup)
        cls.server.start()
        cls.server.set("CONNECTION.CONNECT=On")

    def tearDown(self):
        # A scenario that failed may leave the camera exposing, streaming or
        # unusable: the next one starts from a fresh connection.
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not outcome.success
        if failed:
            probe = self.server.probe("set CCD_VIDEO_STREAM.STREAM_OFF=On",
                                      "set CONNECTION.DISCONNECT=On", "wait CONNECTION=Idle",
                                      "set CONNECTION.CONNECT=On", "wait CONNECTION=Ok",
                                      timeout=60)
            if not probe.ok:
                print("reconnecting after the failure failed:\n%s" % probe, file=sys.stderr)

    def run_probe(self, *steps, timeout=30):
        probe = self.server.probe(*steps, timeout=timeout)
        self.assertTrue(probe.ok, "%s\n--- gadget:\n%s\n--- server:\n%s" % (
            probe, self.gadget.transcript(), self.server.log()[-3000:]))
        return probe

    def check_frame(self, probe):
        """The last FITS image is the full 8-bit test pattern. Read by hand:
        importing astropy takes seconds under the VM's emulation."""
        path = [b for b in probe.blobs if b[1] == ".fits"][-1][3]
        with open(path, "rb") as f:
            data = f.read()
        cards = [data[i:i + 80] for i in range(0, len(data), 80)]
        end = next(i for i, card in enumerate(cards) if card.startswith(b"END "))
        start = (end * 80 + 80 + 2879) // 2880 * 2880
        self.assertIn(b"BITPIX  =                    8", data[:start])
        pixels = np.frombuffer(data, dtype=np.uint8, count=752 * 480, offset=start)
        np.testing.assert_array_equal(pixels.reshape(480, 752),
                                      expected_test_pattern(752, 480, False))

    def held(self, probe, request, answer, state):
        """Seconds from `request` first going out to `answer` reaching
        `state`; BLOBs queued before the answer count too."""
        sent = [t for name, t in probe.sent if name == request][0]
        return min(t for t in probe.state_times(answer, state) if t >= sent) - sent

    def test_1_abort_during_the_read_then_expose(self):
        # Past the settle: the abort ends the camera's read.
        probe = self.run_probe(
            EXPOSE % 3, "wait CCD_EXPOSURE=Busy", "sleep 1",
            "set CCD_ABORT_EXPOSURE.ABORT=On", "wait CCD_EXPOSURE=Idle",
            EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok")
        self.check_frame(probe)
        print("abort during the read: answered in %.3f s"
              % self.held(probe, "CCD_ABORT_EXPOSURE", "CCD_EXPOSURE", "Idle"))

    def test_2_abort_during_the_settle_then_expose(self):
        # A new exposure time makes the camera wait 500 ms for the sensor;
        # the abort comes within it, before any read is pending.
        probe = self.run_probe(
            EXPOSE % 2, "wait CCD_EXPOSURE=Busy", "sleep 0.1",
            "set CCD_ABORT_EXPOSURE.ABORT=On", "wait CCD_EXPOSURE=Idle",
            EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok")
        self.check_frame(probe)
        print("abort during the settle: answered in %.3f s"
              % self.held(probe, "CCD_ABORT_EXPOSURE", "CCD_EXPOSURE", "Idle"))

    def test_3_stream_start_and_stop(self):
        # Frames of 0.2 s: the gadget runs at real-time priority on the VM's
        # one CPU, and a stream at full rate would starve indiserver.
        probe = self.run_probe(
            "set STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.2",
            "set CCD_VIDEO_STREAM.STREAM_ON=On", "blobs 1")
        streamed = [b for b in probe.blobs if b[1] == ".stream"]
        frame = np.fromfile(streamed[0][3], dtype=np.uint8).reshape(480, 752)
        np.testing.assert_array_equal(frame, expected_test_pattern(752, 480, False))
        # Stopped by clients that take no BLOBs, so that no preview queued
        # in indiserver stands before the answer.
        start = time.monotonic()
        self.server.setprop("CCD_VIDEO_STREAM.STREAM_OFF=On")
        self.assertTrue(self.server.wait_for('"@.CCD_VIDEO_STREAM._STATE"==0'),
                        self.server.log()[-3000:])
        print("stream stop: answered within %.3f s" % (time.monotonic() - start))
        # Single exposures work on once the stream has stopped.
        self.check_frame(self.run_probe(EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok"))

    def test_4_unplug_during_an_exposure_and_reconnect(self):
        probe = self.server.start_probe(
            EXPOSE % 3, "wait CCD_EXPOSURE=Busy", "wait CONNECTION=Alert", "gone CCD_EXPOSURE",
            "noblob 1", timeout=30)
        time.sleep(1)
        self.gadget.send("unplug")
        probe.finish()
        self.assertTrue(probe.ok, "%s\n%s" % (probe, self.server.log()[-3000:]))
        self.assertTrue(any("gone away" in m for m in probe.messages), probe.messages)
        plugged = self.gadget.count("connected camera")
        self.gadget.send("plug")
        self.assertTrue(self.gadget.wait_for("connected camera", plugged + 1),
                        self.gadget.transcript())
        # The host enumerates the camera afresh; connecting finds it there.
        deadline = time.monotonic() + 20
        while True:
            self.server.setprop("CONNECTION.CONNECT=On")
            if self.server.wait_for('"@.CONNECTION._STATE"==1', 5):
                break
            self.assertLess(time.monotonic(), deadline, self.server.log()[-3000:])
        # The last scenario: it ends disconnected.
        probe = self.run_probe(EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok",
                               "set CONNECTION.DISCONNECT=On", "wait CONNECTION=Idle")
        self.check_frame(probe)
        print("disconnect: answered in %.3f s" % self.held(probe, "CONNECTION", "CONNECTION", "Idle"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
