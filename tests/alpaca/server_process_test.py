"""The built tarncam-alpaca as a process: it serves a simulated camera on the
port it reports, answers discovery there, and stops cleanly on SIGTERM (the
camera closed mid-exposure, exit status 0)."""
import json
import os
import re
import signal
import socket
import subprocess
import sys
import urllib.parse
import urllib.request

server = os.environ["TARNCAM_ALPACA"]
proc = subprocess.Popen(
    [server, "--simulator", "--sim-options", "virtual_time=0", "--bind", "127.0.0.1",
     "--port", "0", "--discovery-port", "0"],
    stderr=subprocess.PIPE, text=True)
try:
    line = proc.stderr.readline()
    m = re.search(r"port (\d+), discovery on UDP port (\d+)", line)
    assert m, line
    port, discovery = int(m.group(1)), int(m.group(2))
    base = f"http://127.0.0.1:{port}"

    def call(method, path, form=None):
        data = urllib.parse.urlencode(form).encode() if form is not None else None
        req = urllib.request.Request(base + path, data=data, method=method)
        with urllib.request.urlopen(req, timeout=30) as r:
            return json.load(r)

    devices = call("GET", "/management/v1/configureddevices")["Value"]
    assert len(devices) == 1 and devices[0]["DeviceType"] == "Camera", devices
    assert call("PUT", "/api/v1/camera/0/connected", {"Connected": "True"})["ErrorNumber"] == 0
    reply = call("PUT", "/api/v1/camera/0/startexposure", {"Duration": "60", "Light": "True"})
    assert reply["ErrorNumber"] == 0, reply

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(10)
    s.sendto(b"alpacadiscovery1", ("127.0.0.1", discovery))
    assert json.loads(s.recv(256)) == {"AlpacaPort": port}

    # Stops in the middle of the minute-long exposure.
    proc.send_signal(signal.SIGTERM)
    rc = proc.wait(timeout=20)
    rest = proc.stderr.read()
    assert rc == 0, (rc, rest)
    assert "stopping" in rest, rest
finally:
    if proc.poll() is None:
        proc.kill()
        proc.wait()
print("ok")
