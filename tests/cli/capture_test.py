"""Captures on the simulator, checked by readers that share no code with the
tool: fitsverify and astropy for the FITS files, a zlib-only decoder for the
PNG files, and the library's own test-pattern function for the pixels."""

import datetime
import glob
import os
import tempfile
import unittest

import numpy as np
from astropy.io import fits

from cli_support import decode_png, expected_test_pattern, fitsverify, run


class CaptureTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def capture(self, *args):
        rc, out, err = run("capture", "--simulator", "--quiet", *args)
        self.assertEqual(rc, 0, err)
        return out

    def assertNoLeftovers(self):
        hidden = [n for n in os.listdir(self.dir.name) if n.startswith(".")]
        self.assertEqual(hidden, [], "temporary files left behind")

    def test_full_8bit_frame_in_fits_and_png(self):
        before = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        out = self.capture("--sim-scene", "test-pattern", "-e", "50", "-g", "30",
                           "-o", self.path("full"))
        after = datetime.datetime.now(datetime.timezone.utc).replace(tzinfo=None)
        self.assertIn(self.path("full.fits"), out)
        self.assertIn(self.path("full.png"), out)
        self.assertEqual(fitsverify(self.path("full.fits")), (0, 0))

        with fits.open(self.path("full.fits")) as f:
            self.assertEqual(len(f), 1)
            h = f[0].header
            self.assertEqual(h["BITPIX"], 8)
            self.assertNotIn("BZERO", h)
            self.assertEqual((h["NAXIS1"], h["NAXIS2"]), (752, 480))
            self.assertAlmostEqual(h["EXPTIME"], 0.05)
            self.assertEqual(h["GAIN"], 30)
            self.assertEqual(h["INSTRUME"], "tarncam simulator")
            self.assertEqual((h["XBINNING"], h["YBINNING"]), (1, 1))
            self.assertEqual((h["XORGSUBF"], h["YORGSUBF"]), (0, 0))
            self.assertNotIn("BAYERPAT", h)  # a monochrome camera
            start = datetime.datetime.fromisoformat(h["DATE-OBS"])
            self.assertTrue(before - datetime.timedelta(seconds=1) <= start <= after)
            data = f[0].data
            self.assertEqual(data.dtype, np.uint8)
            expected = expected_test_pattern(752, 480, False)
            np.testing.assert_array_equal(data, expected)

        png, ctype, depth, _ = decode_png(self.path("full.png"))
        self.assertEqual((ctype, depth), (0, 8))
        np.testing.assert_array_equal(png, expected)
        self.assertNoLeftovers()

    def test_10bit_window_skips_50_columns(self):
        # Widths 376 and 400 start 50 columns into the read row; rows are
        # centred on an even row; the sensor reads 616 centred columns.
        self.capture("--sim-scene", "test-pattern", "-e", "20", "-b", "10", "-w", "400x101",
                     "-o", self.path("win"))
        self.assertEqual(fitsverify(self.path("win.fits")), (0, 0))
        expected = expected_test_pattern(400, 101, True)
        with fits.open(self.path("win.fits"), do_not_scale_image_data=True) as f:
            h = f[0].header
            self.assertEqual((h["BITPIX"], h["BZERO"], h["BSCALE"]), (16, 32768, 1))
            self.assertEqual((h["XORGSUBF"], h["YORGSUBF"]), (68 + 50, 188))
            stored = f[0].data.astype(np.int32)
            np.testing.assert_array_equal(stored + 32768, expected)
        with fits.open(self.path("win.fits")) as f:
            self.assertEqual(f[0].data.dtype, np.uint16)
            np.testing.assert_array_equal(f[0].data, expected)

        png, ctype, depth, sbit = decode_png(self.path("win.png"))
        self.assertEqual((ctype, depth, sbit), (0, 16, 10))
        np.testing.assert_array_equal(png >> 6, expected)
        self.assertEqual(int(png.max()) >> 6, int(expected.max()))

    def test_several_frames_get_numbered_files(self):
        out = self.capture("--sim-scene", "test-pattern", "-e", "10", "-n", "2", "-f", "fits",
                           "-w", "64x48", "-o", self.path("seq"))
        self.assertEqual(sorted(os.listdir(self.dir.name)), ["seq-0001.fits", "seq-0002.fits"])
        self.assertEqual(out.count("wrote"), 2)
        for name in ("seq-0001.fits", "seq-0002.fits"):
            np.testing.assert_array_equal(fits.getdata(self.path(name)),
                                          expected_test_pattern(64, 48, False))

    def test_star_field_png_only(self):
        self.capture("-e", "100", "-f", "png", "-o", self.path("stars"))
        self.assertEqual(os.listdir(self.dir.name), ["stars.png"])
        png, _, _, _ = decode_png(self.path("stars.png"))
        # Stars stand well above the sky.
        self.assertGreater(int(png.max()), int(np.median(png)) + 50)


def bayer_from_sky(mosaic):
    """The colour cell at the first pixel, read from the simulated sky: its
    red sites answer 0.8, green 1.0 and blue 0.7 of the sky level."""
    m = mosaic.astype(np.float64)
    levels = {(y, x): np.median(m[y::2, x::2]) for y in (0, 1) for x in (0, 1)}
    order = sorted(levels, key=levels.get)  # blue, red, green, green
    names = {order[0]: "B", order[1]: "R", order[2]: "G", order[3]: "G"}
    return names[(0, 0)] + names[(0, 1)] + names[(1, 0)] + names[(1, 1)]


class ColourTest(unittest.TestCase):
    def test_bayer_pattern_follows_window_and_flips(self):
        with tempfile.TemporaryDirectory() as d:
            cases = [([], "RGGB"), (["--flip-h"], "GRBG"), (["--flip-v"], "GBRG"),
                     (["--flip-h", "--flip-v"], "BGGR"), (["-w", "376x240", "--flip-h"], "GRBG"),
                     (["-w", "376x241", "--flip-v"], "RGGB")]
            for i, (extra, pattern) in enumerate(cases):
                with self.subTest(extra=extra):
                    out = os.path.join(d, "c%d" % i)
                    rc, _, err = run("capture", "--simulator", "--sim-colour", "-q", "-e", "100",
                                     "-g", "100", "-b", "10", "-f", "fits", "-o", out, *extra)
                    self.assertEqual(rc, 0, err)
                    with fits.open(out + ".fits") as f:
                        self.assertEqual(f[0].header["BAYERPAT"], pattern)
                        self.assertEqual(bayer_from_sky(f[0].data), pattern)


def reference_demosaic(mosaic, width, ten_bit, colour1_is_red):
    """The library's documented 2x2 rule on the first `width` columns:
    colour 1 from the even row of each row pair at the column whose parity
    is the width's, colour 2 from the odd row at the other; column `width`
    is the next row's first sample (and a 0 after the last row)."""
    h = mosaic.shape[0]
    flat = np.append(mosaic[:, :width].astype(np.int64).ravel(), 0)
    i = np.arange(h - 1)[:, None]
    k = np.arange(width)[None, :]
    even = np.where(i % 2 == 0, i, i + 1)
    odd = np.where(i % 2 == 0, i + 1, i)
    m = np.where(k % 2 == width % 2, k, k + 1)
    o = np.where(k % 2 == width % 2, k + 1, k)
    c1, c2 = flat[even * width + m], flat[odd * width + o]
    green = flat[even * width + o] + flat[odd * width + m]
    if ten_bit:
        c1 = np.where(c1 >= 1024, 255, c1 >> 2)
        c2 = np.where(c2 >= 1024, 255, c2 >> 2)
        green = np.where(green >= 2048, 255, green >> 3)
    else:
        green = green >> 1
    red, blue = (c1, c2) if colour1_is_red else (c2, c1)
    return np.stack([red, green, blue]).astype(np.uint8)


class DemosaicTest(unittest.TestCase):
    def test_rgb_planes_follow_the_library_rule(self):
        # RGGB and BGGR keep an even width; GRBG (a flipped row starts on
        # green) keeps an odd one and drops the last column of an even one,
        # so that the rule's colour 1 falls on red or blue, never on green.
        cases = [(["-w", "200x480"], 200, 480, False, True),
                 (["-w", "64x48", "-b", "10", "--flip-h"], 63, 48, True, True),
                 (["-w", "65x47", "--flip-h", "--flip-v"], 65, 47, False, True),
                 (["-w", "400x480", "--flip-h", "--flip-v"], 400, 480, False, False)]
        with tempfile.TemporaryDirectory() as d:
            for n, (extra, width, height, ten_bit, red_first) in enumerate(cases):
                with self.subTest(extra=extra):
                    out = os.path.join(d, "rgb%d" % n)
                    rc, _, err = run("capture", "--simulator", "--sim-colour", "--sim-scene",
                                     "test-pattern", "-q", "-e", "10", "--demosaic", "-o", out,
                                     *extra)
                    self.assertEqual(rc, 0, err)
                    frame_width = int(extra[1].split("x")[0])
                    mosaic = expected_test_pattern(frame_width, height, ten_bit)
                    expected = reference_demosaic(mosaic, width, ten_bit, red_first)
                    self.assertEqual(fitsverify(out + ".fits"), (0, 0))
                    with fits.open(out + ".fits") as f:
                        h = f[0].header
                        self.assertEqual((h["BITPIX"], h["NAXIS"], h["NAXIS3"]), (8, 3, 3))
                        self.assertNotIn("BAYERPAT", h)
                        np.testing.assert_array_equal(f[0].data, expected)
                    png, ctype, depth, _ = decode_png(out + ".png")
                    self.assertEqual((ctype, depth), (2, 8))
                    np.testing.assert_array_equal(png, np.moveaxis(expected, 0, -1))


if __name__ == "__main__":
    unittest.main()
