"""Helpers shared by the tool's tests: running the built tool, the expected
test-pattern frame from the simulator's documented pattern, and a small PNG
decoder on zlib alone (so the tests need no PNG package)."""

import os
import re
import struct
import subprocess
import zlib

import numpy as np

TOOL = os.environ["TARNCAM_TOOL"]
FITSVERIFY = os.environ.get("TARNCAM_FITSVERIFY", "fitsverify")

# Every run is bounded; a hang fails the test instead of stalling CTest.
RUN_TIMEOUT_S = 60


def run(*args, cwd=None):
    """Runs the tool; returns (exit code, stdout, stderr)."""
    p = subprocess.run([TOOL, *args], cwd=cwd, capture_output=True, text=True,
                       timeout=RUN_TIMEOUT_S)
    return p.returncode, p.stdout, p.stderr


def test_pattern_sample(row, column, ten_bit):
    """The simulator's test pattern as tarncam_sim.h documents it, written
    out here rather than loaded from the library: the tests then also hold
    the simulator to its documentation, and need not load a library built
    with sanitizers into an interpreter built without them."""
    v = 3 * column + 7 * row + 11 * (column >> 8) + 5 * (row >> 6)
    return v & (1023 if ten_bit else 255)


def expected_test_pattern(width, height, ten_bit):
    """The window as the readout cuts it from the simulator's test pattern:
    transfer rows from the top, columns from the row's start, or 50 in for
    widths 376 and 400."""
    skip = 50 if width in (376, 400) else 0
    rows = np.arange(height, dtype=np.int64)[:, None]
    cols = np.arange(width, dtype=np.int64)[None, :] + skip
    values = test_pattern_sample(rows, cols, ten_bit)
    return values.astype(np.uint16 if ten_bit else np.uint8)


def fitsverify(path):
    """fitsverify's (warnings, errors) for `path`; raises when it is missing."""
    p = subprocess.run([FITSVERIFY, "-q", path], capture_output=True, text=True,
                       timeout=RUN_TIMEOUT_S)
    out = p.stdout + p.stderr
    if "verification OK" in out:
        return 0, 0
    # "... 2 warning(s) and 1 error(s)"
    m = re.search(r"(\d+) warnings? and (\d+) errors?", out)
    if m is None:
        raise AssertionError("unexpected fitsverify output: " + out)
    return int(m.group(1)), int(m.group(2))


def decode_png(path):
    """Decodes a non-interlaced grey or RGB PNG of 8 or 16 bits. Returns
    (array, colour type, bit depth, significant bits or None)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos, idat, sbit = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        assert zlib.crc32(kind + body) == crc, "bad CRC in " + kind.decode()
        if kind == b"IHDR":
            width, height, depth, ctype, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert interlace == 0
        elif kind == b"IDAT":
            idat += body
        elif kind == b"sBIT":
            sbit = body[0]
        pos += 12 + length
    channels = {0: 1, 2: 3}[ctype]
    bpp = channels * depth // 8
    stride = width * bpp
    raw = zlib.decompress(idat)
    out = bytearray(height * stride)
    prev = bytearray(stride)
    for r in range(height):
        f = raw[r * (stride + 1)]
        line = bytearray(raw[r * (stride + 1) + 1:(r + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                line[i] = (line[i] + a) & 255
            elif f == 2:
                line[i] = (line[i] + b) & 255
            elif f == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif f == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                pred = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
                line[i] = (line[i] + pred) & 255
            else:
                assert f == 0, "unknown filter %d" % f
        out[r * stride:(r + 1) * stride] = line
        prev = line
    dtype = ">u2" if depth == 16 else np.uint8
    arr = np.frombuffer(bytes(out), dtype=dtype).reshape(height, width * channels)
    if channels == 3:
        arr = arr.reshape(height, width, 3)
    return arr.astype(np.uint16 if depth == 16 else np.uint8), ctype, depth, sbit
