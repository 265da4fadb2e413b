"""End-to-end tests of the INDI driver: indiserver runs indi_tarncam_ccd on
the simulated camera, and INDI's clients drive it as any application would.
Run one class: python3 driver_test.py ExposureTest"""

import glob
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
from xml.etree import ElementTree

import numpy as np
from astropy.io import fits

from indi_support import (DEVICE, DRIVER, Server, centroid, expected_test_pattern,
                          fitsverify)

EXPOSE = "set CCD_EXPOSURE.CCD_EXPOSURE_VALUE=%g"
# Built with a sanitizer: everything runs several times slower.
SANITIZED = os.environ.get("TARNCAM_INDI_SANITIZED") == "1"


class ServerTest(unittest.TestCase):
    """A test class with one server of its own, connected in simulation."""
    sim = "scene=test-pattern"
    connect = True

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.sim)
        cls.addClassCleanup(cls.server.cleanup)
        cls.server.start()
        if cls.connect:
            cls.server.connect_simulated()

    def expose(self, seconds=0.01, *settings, server=None):
        """Applies `settings` ("PROP.ELEM=V", each waited for), takes one
        exposure and returns the probe that received it."""
        steps = []
        for s in settings:
            steps += ["set " + s, "wait %s=Ok" % s.split(".")[0]]
        steps += [EXPOSE % seconds, "blobs 1", "wait CCD_EXPOSURE=Ok"]
        probe = (server or self.server).probe(*steps)
        self.assertTrue(probe.ok, probe)
        self.assertEqual(len(probe.blobs), 1, probe)
        return probe

    def check_test_pattern(self, path, width, height, ten_bit):
        self.assertEqual(fitsverify(path), (0, 0))
        with fits.open(path) as hdul:
            header, data = hdul[0].header, hdul[0].data
            np.testing.assert_array_equal(data, expected_test_pattern(width, height, ten_bit))
        return header


class ExposureTest(ServerTest):
    """Frames at 8 and 10 bits, full and windowed, byte for byte; abort; two
    clients; the video stream."""

    def test_frames_at_both_depths_full_and_windowed(self):
        # (capture format, requested frame, delivered frame (w, h, x, y))
        cases = [
            ("TARNCAM_8BIT", (0, 0, 752, 480), (752, 480, 0, 0)),
            ("TARNCAM_10BIT", (0, 0, 752, 480), (752, 480, 0, 0)),
            ("TARNCAM_8BIT", (5, 7, 700, 300), (616, 300, 68, 90)),
            ("TARNCAM_10BIT", (0, 0, 376, 240), (376, 240, 118, 120)),
        ]
        sequences = []
        for fmt, (x, y, w, h), (dw, dh, dx, dy) in cases:
            with self.subTest(fmt=fmt, frame=(w, h)):
                ten_bit = fmt == "TARNCAM_10BIT"
                probe = self.expose(
                    0.01, "CCD_CAPTURE_FORMAT.%s=On" % fmt,
                    "CCD_FRAME.X=%d;Y=%d;WIDTH=%d;HEIGHT=%d" % (x, y, w, h))
                frame = self.server.getprop("CCD_FRAME.*")
                self.assertEqual([frame[k] for k in ("CCD_FRAME.WIDTH", "CCD_FRAME.HEIGHT",
                                                     "CCD_FRAME.X", "CCD_FRAME.Y")],
                                 [str(v) for v in (dw, dh, dx, dy)])
                if (dw, dh, dx, dy) != (w, h, x, y):
                    self.assertTrue(any("Frame adjusted to %d x %d at (%d, %d)" % (dw, dh, dx, dy)
                                        in m for m in probe.messages), probe.messages)
                header = self.check_test_pattern(probe.blobs[0][3], dw, dh, ten_bit)
                self.assertEqual(header["BITPIX"], 16 if ten_bit else 8)
                self.assertEqual(header["BITDEPTH"], 10 if ten_bit else 8)
                self.assertEqual((header["XORGSUBF"], header["YORGSUBF"]), (dx, dy))
                self.assertEqual((header["GAIN"], header["OFFSET"]), (50, 127))
                self.assertEqual((header["READS"], header["READFAIL"]), (1, 0))
                self.assertAlmostEqual(header["EXPTIME"], 0.01)
                self.assertEqual(header["INSTRUME"], DEVICE)
                self.assertEqual((header["PIXSIZE1"], header["XBINNING"]), (6.0, 1))
                self.assertRegex(header["DATE-OBS"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}$")
                sequences.append(header["FRAMESEQ"])
        self.assertEqual(sequences, sorted(set(sequences)))

        # A frame with no pixels is refused and the last one stays.
        probe = self.server.probe("set CCD_FRAME.WIDTH=0", "wait CCD_FRAME=Alert")
        self.assertTrue(probe.ok, probe)
        self.assertEqual(self.server.value("CCD_FRAME.WIDTH"), "376")

    def test_abort_ends_the_exposure_without_an_image(self):
        probe = self.server.probe(
            "set CCD_FRAME.WIDTH=752;HEIGHT=480", "wait CCD_FRAME=Ok",
            EXPOSE % 2, "wait CCD_EXPOSURE=Busy", "sleep 0.5",
            "set CCD_ABORT_EXPOSURE.ABORT=On", "wait CCD_EXPOSURE=Idle",
            # Past the end the aborted exposure would have had.
            "noblob 2",
            EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok")
        self.assertTrue(probe.ok, probe)
        self.check_test_pattern(probe.blobs[0][3], 752, 480, False)
        # The countdown ran while the exposure did.
        self.assertGreaterEqual(len(probe.state_times("CCD_EXPOSURE", "Busy")), 2)

    def test_two_clients_receive_the_same_frame(self):
        watcher = self.server.start_probe("blobs 1")
        taker = self.expose(0.01, "CCD_FRAME.WIDTH=752;HEIGHT=480")
        watcher.finish()
        self.assertTrue(watcher.ok, watcher)
        with open(taker.blobs[0][3], "rb") as a, open(watcher.blobs[0][3], "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_video_stream(self):
        probe = self.server.probe(
            "set CCD_FRAME.WIDTH=752;HEIGHT=480", "wait CCD_FRAME=Ok",
            "set CCD_CAPTURE_FORMAT.TARNCAM_8BIT=On", "wait CCD_CAPTURE_FORMAT=Ok",
            "set STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.01",
            "set CCD_VIDEO_STREAM.STREAM_ON=On", "blobs 1", "count 2",
            "set CCD_VIDEO_STREAM.STREAM_OFF=On", "wait CCD_VIDEO_STREAM=Idle",
            # Single exposures work again once the stream has stopped.
            EXPOSE % 0.01, "wait CCD_EXPOSURE=Ok")
        self.assertTrue(probe.ok, probe)
        streamed = [b for b in probe.blobs if b[1] == ".stream"]
        frame = np.fromfile(streamed[0][3], dtype=np.uint8).reshape(480, 752)
        np.testing.assert_array_equal(frame, expected_test_pattern(752, 480, False))
        # INDI sends a preview of at most 10 frames a second by default; the
        # camera makes about 30 at 10 ms (fewer in a sanitizer build).
        rate = probe.counts[0] / 2.0
        self.assertGreaterEqual(rate, 1 if SANITIZED else 3, probe.counts)
        self.assertLessEqual(rate, 11, probe.counts)
        self.assertEqual(probe.blobs[-1][1], ".fits")

        # Recording five frames starts the stream by itself.
        folder = os.path.join(self.server.dir, "recordings")
        probe = self.server.probe(
            "set RECORD_FILE.RECORD_FILE_DIR=%s;RECORD_FILE_NAME=clip" % folder,
            "wait RECORD_FILE=Idle",
            "set RECORD_OPTIONS.RECORD_FRAME_TOTAL=5", "wait RECORD_OPTIONS=Ok",
            "set RECORD_STREAM.RECORD_FRAME_ON=On", "wait RECORD_STREAM=Busy",
            # INDI says so once the file is complete and closed.
            "message Record Duration")
        self.assertTrue(probe.ok, probe)
        with open(os.path.join(folder, "clip.ser"), "rb") as f:
            ser = f.read()
        # SER: a 178-byte header (width, height, bits per sample, frames at
        # bytes 26 to 41), the frames, then a timestamp of each. INDI 1.9.9
        # closes the file before writing the last frame now and then (more
        # often on a slow machine), while it reports all five.
        width, height, depth, frames = struct.unpack_from("<4i", ser, 26)
        self.assertEqual((width, height, depth), (752, 480, 8))
        self.assertIn(frames, (4, 5))
        self.assertEqual(len(ser), 178 + frames * (752 * 480 + 8))
        first = np.frombuffer(ser, dtype=np.uint8, count=752 * 480, offset=178)
        np.testing.assert_array_equal(first.reshape(480, 752),
                                      expected_test_pattern(752, 480, False))


    def test_settings_keep_frame_stream_and_camera_consistent(self):
        # A new pixel size during a windowed stream: the frame stays the
        # camera's, and the stream and the next exposure go on with it.
        probe = self.server.probe(
            "set CCD_FRAME.WIDTH=376;HEIGHT=240", "wait CCD_FRAME=Ok",
            "set CCD_CAPTURE_FORMAT.TARNCAM_8BIT=On", "wait CCD_CAPTURE_FORMAT=Ok",
            "set STREAMING_EXPOSURE.STREAMING_EXPOSURE_VALUE=0.01",
            "set CCD_VIDEO_STREAM.STREAM_ON=On", "blobs 1",
            "set TARNCAM_PIXEL_SIZE.PIXEL_SIZE_X=5.2;PIXEL_SIZE_Y=5.2",
            "wait TARNCAM_PIXEL_SIZE=Ok", "count 1",
            "set CCD_VIDEO_STREAM.STREAM_OFF=On", "wait CCD_VIDEO_STREAM=Idle",
            EXPOSE % 0.01, "blobs 1", "wait CCD_EXPOSURE=Ok")
        self.assertTrue(probe.ok, probe)
        self.assertGreaterEqual(probe.counts[0], 1, probe)
        self.assertFalse([m for m in probe.messages if "Invalid source buffer" in m], probe)
        values = self.server.getprop("CCD_FRAME.WIDTH", "CCD_FRAME.HEIGHT",
                                     "CCD_INFO.CCD_PIXEL_SIZE_X")
        self.assertEqual((values["CCD_FRAME.WIDTH"], values["CCD_FRAME.HEIGHT"]), ("376", "240"))
        self.assertAlmostEqual(float(values["CCD_INFO.CCD_PIXEL_SIZE_X"]), 5.2, places=5)
        header = self.check_test_pattern(probe.blobs[-1][3], 376, 240, False)
        self.assertEqual(header["PIXSIZE1"], 5.2)

        # A vector with one value the camera refuses changes nothing: not
        # the camera (the next frame's header), not the property, not the
        # saved configuration.
        def converter():
            values = self.server.getprop("TARNCAM_CONVERTER.ADC_REFERENCE",
                                         "TARNCAM_CONVERTER.DIGITAL_GAIN")
            header = fits.getheader(self.expose().blobs[0][3])
            return ((values["TARNCAM_CONVERTER.ADC_REFERENCE"],
                     values["TARNCAM_CONVERTER.DIGITAL_GAIN"]),
                    (header["ADCREF"], header["DIGGAIN"]))

        probe = self.server.probe("set TARNCAM_CONVERTER.ADC_REFERENCE=3;DIGITAL_GAIN=300",
                                  "wait TARNCAM_CONVERTER=Alert")
        self.assertTrue(probe.ok, probe)
        self.assertTrue(any("digital gain must be 0 to 255, not 300" in m
                            for m in probe.messages), probe.messages)
        self.assertEqual(converter(), (("0", "244"), (0, 244)))
        self.server.set("TARNCAM_CONVERTER.ADC_REFERENCE=3;DIGITAL_GAIN=200",
                        "CONFIG_PROCESS.CONFIG_SAVE=On")
        self.assertEqual(converter(), (("3", "200"), (3, 200)))
        saved = ElementTree.parse(os.path.join(self.server.home, ".indi",
                                               DEVICE + "_config.xml")).getroot()
        self.assertEqual([e.text.strip() for e in saved.iter("oneNumber")
                          if e.get("name") in ("ADC_REFERENCE", "DIGITAL_GAIN")], ["3", "200"])
        self.server.set("TARNCAM_CONVERTER.ADC_REFERENCE=0;DIGITAL_GAIN=244",
                        "TARNCAM_PIXEL_SIZE.PIXEL_SIZE_X=6;PIXEL_SIZE_Y=6")


class FaultTest(ServerTest):
    """The camera's reads fail: five failed reads lose frame 2 (on the
    simulator's virtual clock, so the retries' resets take no time)."""
    sim = "scene=test-pattern,virtual_time=1,fail_read=2,fail_read_count=5"

    def test_failed_frame_alerts_and_sends_no_image(self):
        self.expose()
        probe = self.server.probe(EXPOSE % 0.01, "wait CCD_EXPOSURE=Alert", "noblob 1")
        self.assertTrue(probe.ok, probe)
        self.assertTrue(any("Frame 2 failed" in m and "No image was sent" in m
                            for m in probe.messages), probe.messages)
        # The camera recovers; the next frame is whole and numbered on.
        probe = self.expose()
        header = self.check_test_pattern(probe.blobs[0][3], 752, 480, False)
        self.assertEqual((header["FRAMESEQ"], header["READFAIL"]), (3, 0))


class UnplugTest(ServerTest):
    """The camera is unplugged during its second read and comes back 0.5 s
    later."""
    sim = "scene=test-pattern,disconnect_read=2,replug_ms=500"

    def test_unplug_during_exposure_alerts_and_reconnects(self):
        self.expose()
        probe = self.server.probe(EXPOSE % 0.3, "wait CONNECTION=Alert", "gone CCD_EXPOSURE",
                                  "noblob 1")
        self.assertTrue(probe.ok, probe)
        self.assertEqual(self.server.value("CONNECTION.CONNECT"), "Off")
        self.assertTrue(any("gone away" in m for m in probe.messages), probe.messages)
        # Asked to connect again once the camera is back, the driver does.
        self.server.setprop("CONNECTION.CONNECT=On")
        self.assertTrue(self.server.wait_for('"@.CONNECTION._STATE"==1'), self.server.log())
        probe = self.expose()
        self.check_test_pattern(probe.blobs[0][3], 752, 480, False)


class StarFieldTest(ServerTest):
    """A colour camera on the star field: guide pulses move the stars by the
    guide rate (20 px/s here), flips mirror them, and the Bayer pattern
    follows window and flips."""
    sim = "colour=1,guide_rate=20"

    def star(self, *settings):
        probe = self.expose(0.2, *settings)
        with fits.open(probe.blobs[0][3]) as hdul:
            return centroid(hdul[0].data), hdul[0].header

    def pulse(self, prop, element, ms):
        probe = self.server.probe("set %s.%s=%d" % (prop, element, ms),
                                  "wait %s=Busy" % prop, "wait %s=Idle" % prop)
        self.assertTrue(probe.ok, probe)
        sent = [t for name, t in probe.sent if name == prop][0]
        busy = probe.state_times(prop, "Busy")[0]
        idle = [t for t in probe.state_times(prop, "Idle") if t > busy][0]
        # The pulse-finished notification cannot come before the camera's
        # pulse, which starts after the request went out, has ended.
        self.assertGreaterEqual(idle - sent, ms / 1000.0)

    def test_guide_pulses_move_the_stars(self):
        (x0, y0), _ = self.star("CCD_CAPTURE_FORMAT.TARNCAM_10BIT=On")
        # East (RA+) drives +X, north (DEC+) +Y: 0.5 s at 20 px/s is 10 px.
        self.pulse("TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_E", 500)
        (x1, y1), _ = self.star()
        self.pulse("TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_N", 500)
        (x2, y2), _ = self.star()
        # With the axes swapped north drives +X; reversed RA, west drives +X.
        self.server.set("TARNCAM_GUIDE_MAP.SWAP_AXES=On")
        self.pulse("TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_N", 500)
        (x3, y3), _ = self.star()
        self.server.set("TARNCAM_GUIDE_MAP.SWAP_AXES=Off;REVERSE_RA=On")
        self.pulse("TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_W", 500)
        (x4, y4), _ = self.star()
        self.server.set("TARNCAM_GUIDE_MAP.REVERSE_RA=Off")
        moves = [(x1 - x0, y1 - y0), (x2 - x1, y2 - y1), (x3 - x2, y3 - y2), (x4 - x3, y4 - y3)]
        for (dx, dy), (ex, ey) in zip(moves, [(10, 0), (0, 10), (10, 0), (10, 0)]):
            self.assertAlmostEqual(dx, ex, delta=0.3, msg=moves)
            self.assertAlmostEqual(dy, ey, delta=0.3, msg=moves)

    def test_flips_and_bayer_pattern(self):
        def cfa():
            return self.server.value("CCD_CFA.CFA_TYPE")

        (x0, y0), header = self.star("CCD_FRAME.WIDTH=752;HEIGHT=480")
        self.assertEqual((cfa(), header["BAYERPAT"]), ("RGGB", "RGGB"))
        # Mirrored, the star sits at the mirror column, and the first pixel
        # is the last column's (odd): green on a red row.
        (x1, y1), header = self.star("FLIP.FLIP_HORIZONTAL=On")
        self.assertEqual((cfa(), header["BAYERPAT"]), ("GRBG", "GRBG"))
        self.assertAlmostEqual(x1, 751 - x0, delta=0.2)
        self.assertAlmostEqual(y1, y0, delta=0.2)
        # Both flips: the first pixel is the last one of the last row.
        self.assertTrue(self.server.probe("set FLIP.FLIP_VERTICAL=On", "wait FLIP=Ok").ok)
        self.assertEqual(cfa(), "BGGR")
        # A 376 x 240 window starts at sensor row 120 and column 118;
        # flipped vertically its first row is 359 (odd).
        self.assertTrue(self.server.probe(
            "set FLIP.FLIP_HORIZONTAL=Off", "wait FLIP=Ok",
            "set CCD_FRAME.WIDTH=376;HEIGHT=240", "wait CCD_FRAME=Ok").ok)
        self.assertEqual(cfa(), "GBRG")
        self.assertTrue(self.server.probe(
            "set FLIP.FLIP_VERTICAL=Off", "wait FLIP=Ok",
            "set CCD_FRAME.WIDTH=752;HEIGHT=480", "wait CCD_FRAME=Ok").ok)


class GuideLoopTest(ServerTest):
    """A guider loop of our own through the driver's guide properties, on a
    sky whose mount has fast periodic error and drift (real time, so fast):
    centroid, a correction of the whole error (none under 0.1 px) as timed
    pulses, each waited for until the property is Idle, then the next frame.
    A wrong direction or axis mapping, or pulses that move by the wrong
    amount, make the error grow instead of staying within the drift of one
    cycle."""
    sim = "mount=real,pe_amplitude=30,pe_period=60,dec_drift=1,jitter=0,hot_pixels=0"
    scale = 206.264806 * 6 / 825  # the simulator's default optics, "/px
    rate = 0.5 * 15.0411 / scale  # and guide rate, px/s

    def star(self):
        probe = self.expose(0.1)
        with fits.open(probe.blobs[0][3]) as hdul:
            return centroid(hdul[0].data)

    def test_a_proportional_loop_holds_the_star(self):
        # The fastest the sky moves, "/s: periodic error's steepest slope
        # and the drift.
        speed = math.hypot(2 * math.pi * 30 / 60, 1.0)
        lock = self.star()
        last = time.monotonic()
        errors = []
        corrected = 0.0  # arcseconds the pulses moved the mount back
        for _ in range(10):
            x, y = self.star()
            now = time.monotonic()
            cycle, last = now - last, now
            ex, ey = x - lock[0], y - lock[1]
            error = math.hypot(ex, ey) * self.scale
            errors.append(round(error, 2))
            # Within what the sky can move in two cycles, and a pixel.
            self.assertLess(error, 2 * speed * cycle + self.scale, errors)
            steps = []
            # East drives +X, north +Y: a star found at +X needs west.
            for prop, plus, minus, e in (("TELESCOPE_TIMED_GUIDE_WE", "TIMED_GUIDE_E",
                                          "TIMED_GUIDE_W", ex),
                                         ("TELESCOPE_TIMED_GUIDE_NS", "TIMED_GUIDE_N",
                                          "TIMED_GUIDE_S", ey)):
                ms = round(abs(e) / self.rate * 1000)
                if abs(e) >= 0.1 and ms >= 1:
                    corrected += abs(e) * self.scale
                    steps += ["set %s.%s=%d" % (prop, minus if e > 0 else plus, ms),
                              "wait %s=Idle" % prop]
            if steps:
                probe = self.server.probe(*steps)
                self.assertTrue(probe.ok, probe)
        # The mount moved away much further than the star ever strayed.
        self.assertGreater(corrected, 3 * max(errors), errors)


class ChainTest(ServerTest):
    """The driver reached through a second indiserver chained to the first,
    as a remote observatory runs it."""
    connect = False

    def test_exposure_through_a_chained_server(self):
        remote = Server(drivers=["%s@localhost:%d" % (DEVICE, self.server.port)])
        self.addCleanup(remote.cleanup)
        remote.start()
        remote.connect_simulated()
        probe = self.expose(0.01, "CCD_CAPTURE_FORMAT.TARNCAM_10BIT=On", server=remote)
        self.check_test_pattern(probe.blobs[0][3], 752, 480, True)
        # Guide pulses travel the chain too.
        probe = remote.probe("set TELESCOPE_TIMED_GUIDE_NS.TIMED_GUIDE_S=100",
                             "wait TELESCOPE_TIMED_GUIDE_NS=Busy",
                             "wait TELESCOPE_TIMED_GUIDE_NS=Idle")
        self.assertTrue(probe.ok, probe)


class ConfigTest(ServerTest):
    """What a client sees before connecting, choosing one of two cameras,
    and settings saved and loaded again by a new driver process."""
    sim = "scene=test-pattern,cameras=2"
    connect = False

    def test_before_connecting(self):
        values = self.server.getprop("*.*")
        # The CCD (2) and guider (4) bits of the driver's interface.
        self.assertEqual(values["DRIVER_INFO.DRIVER_INTERFACE"], "6")
        self.assertEqual(values["DRIVER_INFO.DRIVER_EXEC"], os.path.basename(DRIVER))
        for name in ("CONNECTION.CONNECT", "SIMULATION.ENABLE", "DEBUG.ENABLE",
                     "CONFIG_PROCESS.CONFIG_SAVE", "POLLING_PERIOD.PERIOD_MS", "TARNCAM_CAMERA.ID"):
            self.assertIn(name, values)
        self.assertNotIn("CCD_EXPOSURE.CCD_EXPOSURE_VALUE", values)
        # The debug switch brings INDI's logging controls.
        self.server.set("DEBUG.ENABLE=On")
        self.assertIn("LOGGING_LEVEL._STATE", self.server.getprop("LOGGING_LEVEL._STATE"))
        self.server.set("DEBUG.DISABLE=On")

    def test_choose_a_camera_and_keep_the_settings(self):
        server = self.server
        server.set("SIMULATION.ENABLE=On")
        self.assertTrue(server.wait_for('"@.TARNCAM_CAMERAS.CAMERA_2"==0', 5), server.log())
        server.set("TARNCAM_CAMERAS.CAMERA_2=On")
        self.assertEqual(server.value("TARNCAM_CAMERA.ID"), "sim:2")
        server.set("CONNECTION.CONNECT=On")
        self.assertEqual(server.value("TARNCAM_INFO.ID"), "sim:2")
        server.set("CCD_GAIN.GAIN=77", "TARNCAM_PIXEL_SIZE.PIXEL_SIZE_X=5.2;PIXEL_SIZE_Y=5.2",
                   "TARNCAM_GUIDE_MAP.REVERSE_RA=On", "CONFIG_PROCESS.CONFIG_SAVE=On")

        # A new driver process on the same configuration directory.
        server.stop()
        again = Server(self.sim, home=server.home)
        self.addCleanup(again.cleanup)
        again.start()
        again.connect_simulated()
        values = again.getprop("*.*")
        self.assertEqual(values["TARNCAM_INFO.ID"], "sim:2")
        self.assertEqual(values["CCD_GAIN.GAIN"], "77")
        self.assertEqual(values["TARNCAM_GUIDE_MAP.REVERSE_RA"], "On")
        self.assertAlmostEqual(float(values["CCD_INFO.CCD_PIXEL_SIZE_X"]), 5.2, places=5)
        probe = self.expose(server=again)
        with fits.open(probe.blobs[0][3]) as hdul:
            self.assertEqual((hdul[0].header["GAIN"], hdul[0].header["PIXSIZE1"]), (77, 5.2))


class InstallTest(unittest.TestCase):
    """The installed driver and its description, as client applications find
    them: `cmake --install` into a fresh prefix, then the installed driver
    under indiserver."""

    def test_installed_driver_and_description(self):
        prefix = tempfile.mkdtemp(prefix="tarncam-install-")
        self.addCleanup(shutil.rmtree, prefix, True)
        subprocess.run([os.environ["TARNCAM_CMAKE"], "--install", os.environ["TARNCAM_BUILD_DIR"],
                        "--prefix", prefix], check=True, capture_output=True, timeout=120)
        driver = os.path.join(prefix, "bin", "indi_tarncam_ccd")
        description = os.path.join(prefix, "share", "indi", "indi_tarncam_ccd.xml")
        self.assertTrue(os.access(driver, os.X_OK))

        # Clients list the device under CCDs and start the executable named
        # there for its label; the device name it reports must match.
        root = ElementTree.parse(description).getroot()
        group = root.find("devGroup")
        self.assertEqual(group.get("group"), "CCDs")
        device = group.find("device")
        self.assertEqual(device.get("label"), DEVICE)
        self.assertEqual(device.find("driver").get("name"), DEVICE)
        self.assertEqual(device.find("driver").text, "indi_tarncam_ccd")
        self.assertEqual(device.find("version").text, os.environ["TARNCAM_INDI_VERSION"])
        # No entry of the system's driver lists uses the label for another
        # executable, or clients would start that one instead (the installed
        # indi-tarncam package's own entry names this driver).
        for listing in glob.glob("/usr/share/indi/*.xml"):
            for other in ElementTree.parse(listing).getroot().iter("device"):
                if other.get("label") == DEVICE:
                    self.assertEqual(other.find("driver").text, "indi_tarncam_ccd", listing)

        server = Server("scene=test-pattern", drivers=[driver])
        self.addCleanup(server.cleanup)
        server.start()
        self.assertEqual(server.value("DRIVER_INFO.DRIVER_NAME"), DEVICE)
        server.connect_simulated()
        probe = server.probe(EXPOSE % 0.01, "blobs 1")
        self.assertTrue(probe.ok, probe)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:], verbosity=2)
