"""A simulated week at an observatory, in a few minutes: every night `orvik-capture sequence`
takes a few small binned lights and then darks through the day until the next night (the
camera's clock moves only with its exposures), while `orvik-alpaca` runs in a child process and an
alpyca client polls it and takes a frame a night. The cameras are power-cycled once. Each night's
lights must be as good as the first night's (background and stars), memory must stay bounded,
and the state files the week leaves must be read back."""

import json
import os
import subprocess
import sys
import threading
import time

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")
alpyca = pytest.importorskip("alpaca.camera")

from alpacachild import Child  # noqa: E402

NIGHTS = 7
LIGHTS, LIGHT_S = 3, 60
DAY_DARK_S = 2000  # the longest exposure: darks through the day
# Lights and the day's darks: 24 hours of the camera's clock, give or take their readouts.
DAY_DARKS = (86400 - LIGHTS * LIGHT_S) // DAY_DARK_S
ROI = ["-c", "1", "-b", "2", "--width", "320", "--height", "240", "--gain", "0", "-q"]
TOOL = [sys.executable, "-m", "velmora.brinmoor.capture"]
SIM = [sys.executable, "-m", "velmora.brinmoor.asisim"]
RSS_GROWTH_BOUND_MB = 20.0
CHILD_PEAK_BOUND_MB = 300.0


def stars(image):
    """Local maxima eight noise sigmas above the background with light in their neighbours too:
    the stars a star finder sees (a hot pixel or a cosmic ray hit stands alone)."""
    sky = np.median(image)
    sigma = 1.4826 * np.median(np.abs(image - sky))
    h, w = image.shape

    def shifted(dy, dx):
        return image[1 + dy:h - 1 + dy, 1 + dx:w - 1 + dx]

    core = shifted(0, 0)
    peak = core > sky + 8 * sigma
    lit = np.zeros(core.shape, np.int64)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            if dy or dx:
                peak &= core >= shifted(dy, dx)
                lit += shifted(dy, dx) > sky + 3 * sigma
    return int((peak & (lit >= 3)).sum())


def night_figures(folder):
    """Median background and star count of a night's lights, each the median over its frames."""
    lights = sorted((folder / "LIGHT").glob("*.fits"))
    assert len(lights) == LIGHTS, lights
    data = [fits.getdata(path).astype(np.float64) for path in lights]
    return float(np.median([np.median(d) for d in data])), float(np.median([stars(d) for d in data]))


def run_measured(argv, env, out_dir, timeout=120):
    """Runs a program; returns (exit status, stderr, its own peak resident memory in MB). The peak
    is the child's VmHWM, read while it runs: its rusage would carry the peak of the process it
    was forked from (this test session) across the exec."""
    with open(out_dir / "stdout", "w+") as out, open(out_dir / "stderr", "w+") as err:
        proc = subprocess.Popen(argv, env=env, stdout=out, stderr=err)
        peak_kb, deadline = 0, time.monotonic() + timeout
        while proc.poll() is None:
            try:
                with open(f"/proc/{proc.pid}/status") as f:
                    hwm = next((int(line.split()[1]) for line in f if line.startswith("VmHWM")), 0)
                peak_kb = max(peak_kb, hwm)
            except (OSError, ValueError):
                pass
            if time.monotonic() > deadline:
                proc.kill()
            time.sleep(0.02)
        err.seek(0)
        return proc.returncode, err.read(), peak_kb / 1024


def connect(client):
    """Connects the server's camera for small binned frames, as a guiding or monitoring client."""
    client.Connected = True
    client.BinX = client.BinY = 2
    client.StartX = client.StartY = 0
    client.NumX, client.NumY = 256, 256


class Poller(threading.Thread):
    """An alpyca client reading a camera's state over and over, as a monitoring program does."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.camera = alpyca.Camera(f"127.0.0.1:{port}", 0)
        self.stop = threading.Event()
        self.paused = threading.Event()  # set while the camera is disconnected on purpose
        self.reads = 0
        self.errors = []

    def run(self):
        while not self.stop.is_set():
            if self.paused.is_set():
                time.sleep(0.05)
                continue
            try:
                self.camera.CCDTemperature
                self.camera.CameraState
                self.reads += 1
            except Exception as exc:  # every failure is a finding; the test shows them
                self.errors.append(repr(exc))
            time.sleep(0.05)


@pytest.mark.slow
def test_a_simulated_week_of_nights(tmp_path, monkeypatch):
    monkeypatch.setenv("ASISIM_TIME_SCALE", "1000000")
    monkeypatch.setenv("ASISIM_SEED", "25")  # the same sky every night
    server = Child()
    env = dict(os.environ, ASISIM_STATE_DIR=server.state_dir)
    client = alpyca.Camera(f"127.0.0.1:{server.port}", 0)
    poller = Poller(server.port)
    try:
        connect(client)
        poller.start()
        figures, rss, peaks, started = [], [], [], time.monotonic()
        for night in range(NIGHTS):
            if night == 3:
                # Power-cycled mid-week: the sequence's camera back at power-on (clock 0: the
                # start of a night), the one the server holds left alone, and said so.
                poller.paused.set()
                time.sleep(0.2)  # a read under way finishes
                client.Connected = False
                cycled = subprocess.run([*SIM, "power-cycle"], env=env, capture_output=True, text=True,
                                        timeout=60)
                assert cycled.returncode == 0, cycled.stdout + cycled.stderr
                connect(client)
                poller.paused.clear()
            out = tmp_path / f"night{night}"
            status, err, peak_mb = run_measured([*TOOL, "sequence", *ROI, "--lights", f"{LIGHTS}x{LIGHT_S}",
                                                 "--darks", f"{DAY_DARKS}x{DAY_DARK_S}", "-o", str(out)],
                                                env, tmp_path)
            assert status == 0, err
            assert "damaged" not in err
            peaks.append(peak_mb)
            figures.append(night_figures(out))
            # The server's camera, one short frame a night.
            client.StartExposure(0.5, True)
            deadline = time.monotonic() + 30
            while not client.ImageReady:
                assert time.monotonic() < deadline
                time.sleep(0.05)
            assert np.asarray(client.ImageArray).size > 0
            rss.append(server.rss_mb())
        took = time.monotonic() - started
        poller.stop.set()
        poller.join(10)
        state = json.loads(subprocess.run([*SIM, "show", "--json"], env=env, capture_output=True,
                                          text=True, timeout=60).stdout)
    finally:
        poller.stop.set()
        server.kill()
    (sky_1, stars_1), full = figures[0], 65535.0
    assert sky_1 < 0.5 * full and stars_1 >= 3, figures  # a real night: dark sky, stars
    for night, (sky, count) in enumerate(figures):
        assert sky == pytest.approx(sky_1, rel=0.1), (night, figures)
        assert 0.7 * stars_1 <= count <= 1.4 * stars_1, (night, figures)
    assert poller.reads > 20 and not poller.errors, poller.errors[:3]
    # The server's memory after the first night's frame (its imports and buffers made) stays put.
    assert max(rss) - rss[0] < RSS_GROWTH_BOUND_MB, rss
    # Each night's sequence (a fresh process) within the same bound, the last as the first.
    assert max(peaks) < CHILD_PEAK_BOUND_MB and peaks[-1] < 1.2 * peaks[0], peaks
    # Every camera's state file was read back: none damaged, the sequence camera's clock three
    # and a half days past its power cycle.
    assert {cam["state"] for cam in state["cameras"]} == {"saved"}, state
    clock = next(cam for cam in state["cameras"] if cam["key"].startswith("camera1-"))["clock_s"]
    assert (NIGHTS - 3) * 86400 * 0.99 < clock < (NIGHTS - 3) * 86400 * 1.01
    assert took < 300, took
