"""Servers and clients for the INDI driver's end-to-end tests.

Every test runs indiserver with the built driver on a free localhost port and
an abstract socket path of its own (indiserver refuses to start beside
another one on the same socket path), with HOME in a private directory (INDI
keeps driver configuration there) and the simulator's options in TARNCAM_SIM.
Servers are stopped when their test class ends, and die with the test
process if it is killed. Properties are read and set with INDI's own
command-line clients; BLOBs come through indi_probe (tests/indi), a client
on libindi's client library."""

import ctypes
import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import numpy as np

DRIVER = os.environ["TARNCAM_INDI_DRIVER"]
PROBE = os.environ["TARNCAM_INDI_PROBE"]
INDISERVER = os.environ.get("TARNCAM_INDISERVER", "indiserver")
FITSVERIFY = os.environ.get("TARNCAM_FITSVERIFY", "fitsverify")
DEVICE = "Tarncam CCD"

# Every command is bounded; a hang fails the test instead of stalling CTest.
COMMAND_TIMEOUT_S = 60

HERE = os.path.dirname(os.path.abspath(__file__))


def _sanitizer_env(program, log_dir):
    """The environment for the driver ("driver") or indi_probe ("probe") in
    a sanitizer build. Reports go to files in `log_dir`, which the server
    checks when it stops. Under ThreadSanitizer, races that are libindi's own
    are suppressed for the driver, and the probe does not report the
    listener thread that libindi's client library leaves running at exit."""
    env = dict(os.environ)
    tsan = env.get("TSAN_OPTIONS", "")
    if program == "driver":
        tsan += ":suppressions=" + os.path.join(HERE, "tsan.supp")
    else:
        tsan += ":report_thread_leaks=0"
    env["TSAN_OPTIONS"] = tsan
    log = ":log_path=" + os.path.join(log_dir, "sanitizer-" + program)
    for name in ("ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"):
        env[name] = (env.get(name, "") + log).lstrip(":")
    return env


def sanitizer_reports(folder):
    """The sanitizer reports of errors written below `folder`."""
    found = []
    for path in glob.glob(os.path.join(folder, "**", "sanitizer-*"), recursive=True):
        with open(path, errors="replace") as f:
            text = f.read()
        if re.search(r"ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|runtime error:", text):
            found.append(path + ":\n" + text)
    return found


def _die_with_parent():
    """Runs in the server's child process: SIGTERM it when the test process
    ends, however it ends (the driver then reads EOF and exits)."""
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    PR_SET_PDEATHSIG = 1
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """indiserver running `drivers` (the driver when None)."""

    def __init__(self, sim="", drivers=None, home=None, device=DEVICE):
        self.sim = sim
        self.drivers = drivers or [DRIVER]
        self.device = device
        self.dir = tempfile.mkdtemp(prefix="tarncam-indi-")
        self.home = home or os.path.join(self.dir, "home")
        os.makedirs(self.home, exist_ok=True)
        self.proc = None
        self.port = None
        self.log_path = None

    def start(self):
        # A free port can be taken by someone else before the server binds
        # it; try again on a new one.
        for _ in range(3):
            self.port = _free_port()
            self.log_path = os.path.join(self.dir, "server-%d.log" % self.port)
            env = dict(_sanitizer_env("driver", self.dir), HOME=self.home, TARNCAM_SIM=self.sim)
            with open(self.log_path, "w") as log:
                self.proc = subprocess.Popen(
                    [INDISERVER, "-v", "-r", "0", "-p", str(self.port),
                     "-u", os.path.join(self.dir, "socket-%d" % self.port), *self.drivers],
                    stdout=log, stderr=subprocess.STDOUT, env=env,
                    start_new_session=True, preexec_fn=_die_with_parent)
            if self._ready():
                return self
            self.stop()
        raise AssertionError("indiserver did not start:\n" + self.log())

    def _ready(self):
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and self.proc.poll() is None:
            if "CONNECTION.CONNECT" in "".join(self.getprop("CONNECTION.CONNECT", wait=1)):
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        """Stops indiserver first: its driver then reads the end of its input
        and ends by itself, closing the camera and running the sanitizers'
        checks at exit. Whatever is left of the process group is killed."""
        if self.proc is None:
            return
        group = self.proc.pid
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                os.killpg(group, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        try:
            os.killpg(group, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self.proc = None

    def cleanup(self):
        """Stops the server and removes its files; fails when a sanitizer
        reported an error in the driver or a probe."""
        self.stop()
        reports = sanitizer_reports(self.dir)
        shutil.rmtree(self.dir, ignore_errors=True)
        if reports:
            raise AssertionError("sanitizer reports:\n" + "\n".join(reports))

    def log(self):
        try:
            with open(self.log_path) as f:
                return f.read()
        except OSError:
            return ""

    # --- INDI's command-line clients ---

    def getprop(self, *names, wait=2):
        """{"PROPERTY.ELEMENT": value} for the device's properties."""
        specs = ["%s.%s" % (self.device, n) for n in names] or []
        p = subprocess.run(["indi_getprop", "-p", str(self.port), "-t", str(wait), *specs],
                           capture_output=True, text=True, timeout=COMMAND_TIMEOUT_S)
        values = {}
        for line in p.stdout.splitlines():
            key, _, value = line.partition("=")
            if key.startswith(self.device + "."):
                values[key[len(self.device) + 1:]] = value
        return values

    def value(self, name):
        return self.getprop(name).get(name)

    def setprop(self, *assignments):
        for assignment in assignments:
            p = subprocess.run(["indi_setprop", "-p", str(self.port),
                                "%s.%s" % (self.device, assignment)],
                               capture_output=True, text=True, timeout=COMMAND_TIMEOUT_S)
            if p.returncode != 0:
                raise AssertionError("indi_setprop %s: %s" % (assignment, p.stderr))

    def wait_for(self, expression, seconds=20):
        """Waits until indi_eval finds `expression` true; "@" stands for
        the device name: '"@.CONNECTION._STATE"==1'."""
        p = subprocess.run(["indi_eval", "-p", str(self.port), "-t", str(seconds), "-w",
                            expression.replace("@", self.device)],
                           capture_output=True, text=True, timeout=COMMAND_TIMEOUT_S)
        return p.returncode == 0

    def set(self, *assignments):
        """Sets each "PROP.ELEM=V[;ELEM=V...]" in turn, waiting each time for
        the driver to answer Ok (separate indi_setprop runs may arrive in
        any order)."""
        steps = []
        for assignment in assignments:
            steps += ["set " + assignment, "wait %s=Ok" % assignment.split(".")[0]]
        probe = self.probe(*steps)
        if not probe.ok:
            raise AssertionError("setting %s failed:\n%s" % (specs, probe))

    def connect_simulated(self):
        self.set("SIMULATION.ENABLE=On", "CONNECTION.CONNECT=On")

    def probe(self, *steps, timeout=20):
        """Runs indi_probe with `steps` and returns its Probe."""
        return Probe(self, steps, timeout).finish()

    def start_probe(self, *steps, timeout=20):
        """Starts indi_probe with `steps`; returns once it is connected and
        receives BLOBs. Call finish() on the result."""
        return Probe(self, steps, timeout, wait_ready=True)


class Probe:
    """One run of indi_probe: `ok`, the BLOBs it saved, the device's
    messages and the property states it saw (name, state, seconds)."""

    def __init__(self, server, steps, timeout, wait_ready=False):
        self.dir = tempfile.mkdtemp(prefix="probe-", dir=server.dir)
        self.timeout = timeout
        ready = os.path.join(self.dir, "ready")
        self.proc = subprocess.Popen(
            [PROBE, "--port", str(server.port), "--device", server.device, "--out", self.dir,
             "--timeout", str(timeout), "--ready", ready, *steps],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
            env=_sanitizer_env("probe", self.dir))
        deadline = time.monotonic() + timeout
        while wait_ready and not os.path.exists(ready) and self.proc.poll() is None:
            if time.monotonic() > deadline:
                raise AssertionError("indi_probe did not connect")
            time.sleep(0.02)

    def finish(self):
        try:
            stdout, _ = self.proc.communicate(timeout=COMMAND_TIMEOUT_S + self.timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            stdout, _ = self.proc.communicate()
        self.output = stdout
        self.ok = self.proc.returncode == 0
        self.blobs, self.messages, self.states, self.counts, self.sent = [], [], [], [], []
        for line in stdout.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "blob":
                _, name, fmt, size, path = rest.split(" ")
                self.blobs.append((name, fmt, int(size), path))
            elif kind == "message":
                self.messages.append(rest)
            elif kind == "state":
                name, state, seconds = rest.split(" ")
                self.states.append((name, state, float(seconds)))
            elif kind == "sent":
                name, seconds = rest.split(" ")
                self.sent.append((name, float(seconds)))
            elif kind == "count":
                self.counts.append(int(rest.split(" ")[0]))
        return self

    def state_times(self, name, state):
        return [t for n, s, t in self.states if n == name and s == state]

    def __str__(self):
        return self.output


# --- What the images should hold ---

def test_pattern_sample(row, column, ten_bit):
    """The simulator's test pattern as tarncam_sim.h documents it, written
    out here so that the tests also hold the simulator to its documentation."""
    v = 3 * column + 7 * row + 11 * (column >> 8) + 5 * (row >> 6)
    return v & (1023 if ten_bit else 255)


def expected_test_pattern(width, height, ten_bit):
    """The window as the camera cuts it from the test pattern: transfer rows
    from the top, columns from the row's start, or 50 in for widths 376 and
    400."""
    skip = 50 if width in (376, 400) else 0
    rows = np.arange(height, dtype=np.int64)[:, None]
    cols = np.arange(width, dtype=np.int64)[None, :] + skip
    return test_pattern_sample(rows, cols, ten_bit).astype(np.uint16 if ten_bit else np.uint8)


def fitsverify(path):
    """fitsverify's (warnings, errors) for `path`."""
    p = subprocess.run([FITSVERIFY, "-q", path], capture_output=True, text=True,
                       timeout=COMMAND_TIMEOUT_S)
    out = p.stdout + p.stderr
    if "verification OK" in out:
        return 0, 0
    m = re.search(r"(\d+) warnings? and (\d+) errors?", out)
    if m is None:
        raise AssertionError("unexpected fitsverify output: " + out)
    return int(m.group(1)), int(m.group(2))


def centroid(image, half=8):
    """Intensity-weighted centre (x, y) of the brightest star, over a box
    around its peak with the frame's median as background."""
    data = image.astype(np.float64)
    y, x = np.unravel_index(np.argmax(data), data.shape)
    box = data[y - half:y + half + 1, x - half:x + half + 1] - np.median(data)
    box[box < 0] = 0
    yy, xx = np.mgrid[-half:half + 1, -half:half + 1]
    return x + (box * xx).sum() / box.sum(), y + (box * yy).sum() / box.sum()
