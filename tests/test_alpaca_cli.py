"""`orvik-alpaca` as a user runs it: a child process that serves the simulated cameras, prints
where, answers requests, and on Ctrl-C closes the cameras and exits cleanly."""

import json
import os
import re
import signal
import subprocess
import sys
import urllib.request

import pytest


def start(*args):
    env = dict(os.environ, ASISIM_CAMERAS="ZWO ASI120MM Mini")
    return subprocess.Popen(
        [sys.executable, "-m", "velmora.brinmoor.alpaca", "--log-level", "warning", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)


def test_serves_until_interrupted():
    proc = start("--port", "0", "--no-discovery")
    try:
        lines = []
        while not (lines and lines[-1].startswith("Alpaca server on")):
            line = proc.stdout.readline()
            assert line, proc.stderr.read()
            lines.append(line.strip())
        assert lines[0].startswith("camera 0: ZWO ASI120MM Mini  (UniqueID ")
        assert "(this computer only)" in lines[-1]
        url = re.search(r"http://127\.0\.0\.1:\d+", lines[-1]).group(0)
        with urllib.request.urlopen(url + "/management/v1/configureddevices", timeout=10) as r:
            devices = json.load(r)["Value"]
        assert [d["DeviceName"] for d in devices] == ["ZWO ASI120MM Mini"]
        request = urllib.request.Request(url + "/api/v1/camera/0/connected", method="PUT",
                                         data=b"Connected=true")
        with urllib.request.urlopen(request, timeout=10) as r:
            assert json.load(r)["ErrorNumber"] == 0
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    assert proc.returncode == 0, err
    assert "Traceback" not in err


@pytest.mark.parametrize("args, status, message", [
    (["--port", "70000"], 2, "ports are 0 to 65535"),
    (["--host", "203.0.113.250", "--port", "0", "--no-discovery"], 1, "cannot listen on"),
])
def test_bad_options(args, status, message):
    proc = start(*args)
    out, err = proc.communicate(timeout=30)
    assert proc.returncode == status and message in err
