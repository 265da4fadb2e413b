"""The tool's command line: exit codes for bad arguments and every failure
it names, Ctrl-C during an exposure, and the info, guide and stream
commands on the simulator."""

import os
import signal
import subprocess
import tempfile
import unittest

from cli_support import RUN_TIMEOUT_S, TOOL, run


class ArgumentTest(unittest.TestCase):
    def test_help_lists_exit_codes(self):
        rc, out, _ = run("--help")
        self.assertEqual(rc, 0)
        for line in ("130", "no camera found", "firmware", "cannot be created"):
            self.assertIn(line, out)

    def test_bad_arguments_exit_2_before_touching_the_camera(self):
        cases = [
            [],
            ["frobnicate"],
            ["capture", "--gain", "101"],
            ["capture", "--bits", "12"],
            ["capture", "--exposure", "-5"],
            ["capture", "--window", "800x480"],
            ["capture", "--window", "0x10"],
            ["capture", "--window", "640"],
            ["capture", "--window", "64x48x2"],
            ["capture", "--window", "640x240"],  # short rows carry 616 columns
            ["capture", "--format", "tiff"],
            ["capture", "--count", "0"],
            ["capture", "--output", ""],
            ["capture", "--sim-scene", "galaxies"],
            ["stream", "--count", "0"],
            ["guide", "--simulator"],
            ["guide", "--simulator", "--east", "10", "--west", "10"],
            ["guide", "--simulator", "--east", "-2"],
            ["guide", "--simulator", "--east", "10", "--direction", "1"],
            ["guide", "--simulator", "--x", "10"],
            ["guide", "--simulator", "--direction", "65536", "--x", "1"],
            ["guide", "--simulator", "--cancel", "z"],
            ["guide", "--simulator", "--east", "-1", "--wait"],
        ]
        for args in cases:
            with self.subTest(args=args):
                rc, out, err = run(*args)
                self.assertEqual(rc, 2, out + err)
                self.assertTrue(err.strip(), "no message on stderr")
                self.assertNotIn("using the built-in simulator", err)

    def test_demosaic_of_a_monochrome_camera_is_refused(self):
        with tempfile.TemporaryDirectory() as d:
            rc, _, err = run("capture", "--simulator", "--demosaic", "-e", "1",
                             "-o", os.path.join(d, "x"))
            self.assertEqual(rc, 2)
            self.assertIn("monochrome", err)
            self.assertEqual(os.listdir(d), [])


class FailureTest(unittest.TestCase):
    def test_unwritable_output_exits_5_without_exposing(self):
        with tempfile.TemporaryDirectory() as d:
            for target in (os.path.join(d, "missing", "x"), "/proc/tarncam-x"):
                with self.subTest(target=target):
                    rc, _, err = run("capture", "--simulator", "-e", "1", "-o", target)
                    self.assertEqual(rc, 5, err)
                    self.assertIn("cannot write", err)
            os.mkdir(os.path.join(d, "x.fits"))  # the output name is taken by a directory
            rc, _, err = run("capture", "--simulator", "-e", "1", "-o", os.path.join(d, "x"))
            self.assertEqual(rc, 5, err)

    def test_no_camera_exits_3(self):
        for cmd in (["capture", "-e", "1"], ["info"], ["stream"], ["guide", "--east", "5"]):
            with self.subTest(cmd=cmd[0]):
                with tempfile.TemporaryDirectory() as d:
                    rc, out, err = run(*cmd, "--simulator", "--sim-absent", cwd=d)
                    self.assertEqual(rc, 3, out + err)
                    self.assertIn("no camera found", err)
                    self.assertEqual(os.listdir(d), [])

    def test_wrong_firmware_exits_4(self):
        for version, shown in (("7", "0x00000007"), ("0xDEAD", "0x0000DEAD")):
            with self.subTest(version=version):
                rc, out, err = run("info", "--simulator", "--sim-firmware-version", version)
                self.assertEqual(rc, 4, out + err)
                self.assertIn("found (simulator)", out)
                self.assertIn(shown, out)
                self.assertIn("20090909", err)

    def test_reads_that_all_fail_are_not_a_frame(self):
        # The library hands over its buffer after five failed reads; the tool
        # must not write that out as a picture.
        with tempfile.TemporaryDirectory() as d:
            rc, _, err = run("capture", "--simulator", "--sim-fail-reads", "5", "-e", "1",
                             "-w", "16x16", "-o", os.path.join(d, "x"))
            self.assertEqual(rc, 1, err)
            self.assertIn("no frame", err)
            self.assertEqual(os.listdir(d), [])


class InterruptTest(unittest.TestCase):
    def test_ctrl_c_cancels_the_exposure_and_leaves_no_file(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name), tempfile.TemporaryDirectory() as d:
                p = subprocess.Popen([TOOL, "capture", "--simulator", "-e", "600000", "-o",
                                      os.path.join(d, "long")], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
                try:
                    # The tool announces every exposure over a second once it runs.
                    line = p.stderr.readline()
                    self.assertIn("exposing 600.0 s", line)
                    p.send_signal(sig)
                    _, err = p.communicate(timeout=RUN_TIMEOUT_S)
                finally:
                    if p.poll() is None:
                        p.kill()
                        p.communicate()  # closes the pipes too
                self.assertEqual(p.returncode, 130, err)
                self.assertIn("interrupted; exposure cancelled", err)
                self.assertEqual(os.listdir(d), [])


class DeviceCommandTest(unittest.TestCase):
    def test_info_on_the_simulator(self):
        rc, out, err = run("info", "--simulator", "--sim-colour")
        self.assertEqual(rc, 0, err)
        self.assertIn("camera:         found (simulator)", out)
        self.assertIn("firmware:       0x0132901D (20090909)", out)
        self.assertIn("identification: 0x01010254 (colour)", out)
        self.assertIn("device path:", out)
        notice = [l for l in out.splitlines() if l.startswith("notice:")]
        self.assertEqual(len(notice), 1)
        self.assertGreater(len(notice[0].split(":", 1)[1].strip()), 10)

    def test_info_loads_firmware_into_a_blank_controller(self):
        rc, out, err = run("info", "--simulator", "--sim-blank")
        self.assertEqual(rc, 0, err)
        self.assertIn("0x0132901D", out)

    def test_guide_moves_the_simulated_field(self):
        rc, out, err = run("guide", "--simulator", "--east", "100", "--north", "200", "--wait")
        self.assertEqual(rc, 0, err)
        self.assertIn("direction 0x9", out)
        self.assertIn("x +0.50 px, y -1.00 px", out)  # 5 px/s
        rc, out, err = run("guide", "--simulator", "--direction", "4", "--y", "-1", "--cancel",
                           "y")
        self.assertEqual(rc, 0, err)
        self.assertIn("cancelled: y", out)

    def test_stream_reports_rate_and_failed_reads(self):
        rc, out, err = run("stream", "--simulator", "-n", "3", "-e", "5", "-w", "64x48",
                           "--per-frame")
        self.assertEqual(rc, 0, err)
        lines = out.splitlines()
        self.assertEqual(len(lines), 4, out)
        self.assertTrue(all(l.startswith("frame %d: delivered" % (i + 1))
                            for i, l in enumerate(lines[:3])))
        self.assertRegex(lines[3], r"^3 frames in [0-9.]+ s: [0-9.]+ frames/s; "
                                   r"failed reads: 0 of 3$")


if __name__ == "__main__":
    unittest.main()
