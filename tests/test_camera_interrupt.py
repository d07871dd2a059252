"""Ctrl-C in a real child process: a long exposure or a frame wait ends, the camera is left idle
and closed, and the program sees KeyboardInterrupt."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = """
import signal
import sys
from velmora.brinmoor import asisim

# Ctrl-C as at a terminal: a suite started as a background job hands its children SIGINT ignored,
# and Python then installs no handler of its own.
signal.signal(signal.SIGINT, signal.default_int_handler)
from velmora.brinmoor.camera import Camera

asisim.reset()
said = []

def waiting(_elapsed=None):
    if not said:
        said.append(True)
        print("waiting", flush=True)

try:
    with Camera(1) as cam:
        if sys.argv[1] == "expose":
            cam.expose(600.0, on_wait=waiting)
        else:
            cam.exposure = 600.0
            with cam.stream() as frames:
                waiting()
                next(frames)
except KeyboardInterrupt:
    print("interrupted", flush=True)
for line in asisim.journal():
    if line.startswith(("ASIStop", "ASIClose")):
        print(line, flush=True)
"""


@pytest.mark.parametrize(
    "mode, stop_call",
    [("expose", "ASIStopExposure(1)"), ("stream", "ASIStopVideoCapture(1)")],
)
def test_ctrl_c_ends_the_wait_and_closes_the_camera(mode, stop_call):
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(CHILD), mode],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        assert child.stdout is not None
        assert child.stdout.readline() == "waiting\n"
        time.sleep(0.3)  # well inside the wait: the SDK call or the pause between polls
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)  # a guard against a hang, not a measurement
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    assert out.splitlines() == ["interrupted", stop_call, "ASICloseCamera(1)"]
