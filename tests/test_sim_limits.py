"""The simulator within bounds: memory of a trailed exposure, C++ exceptions kept inside the C
functions, files that are not regular files, catalogues larger than they should be, and threads
that wait on a camera while another reads its image.

Whatever could hang or abort runs in a child process with a timeout.
"""

import json
import os
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import simsdk as s

TESTS = os.path.dirname(os.path.abspath(__file__))
MODEL_174 = "ZWO ASI174MM"


def child(code, *args, env=None, timeout=120):
    """Runs `code` in a child interpreter (cwd: the tests, so simsdk imports)."""
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], cwd=TESTS, env=env,
                          capture_output=True, text=True, timeout=timeout)


def machine_env(tmp_path, **extra):
    """The environment of a child with a machine of its own and no deep star catalogue."""
    env = dict(os.environ, ASISIM_STATE_DIR=str(tmp_path / "machine"), XDG_DATA_HOME=str(tmp_path / "data"),
               **extra)
    env.pop("ASISIM_STAR_CATALOG", None)
    return env


# ---- an untracked exposure: memory bounded by the frame --------------------------------------

# The galactic centre behind a 50 mm lens, 50 s: tracked first (the baseline of the process's
# address space), then untracked under a limit of the baseline plus 300 MB.
TRAILS_UNDER_A_LIMIT = """
import resource, sys
from velmora.brinmoor import asisim
from velmora.brinmoor.camera import Camera

def vm_peak():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmPeak"))

asisim.reset([sys.argv[1]])
asisim.set_time_scale(1e5)
asisim.point(0, 266.4, -28.9)
asisim.set_telescope(0, 50, 0)
with Camera(0) as cam:
    cam.roi = cam.full_roi(1, "raw16")
    tracked = cam.expose(50.0).array
    limit = vm_peak() + (300 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    asisim.set_tracking(0, False)
    trailed = cam.expose(50.0).array
print(int(tracked.max()), int(trailed.max()), int(trailed.mean()))
"""


@pytest.mark.slow
def test_an_untracked_exposure_fits_in_the_memory_of_a_tracked_one():
    proc = child(TRAILS_UNDER_A_LIMIT, MODEL_174, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    tracked_max, trailed_max, trailed_mean = map(int, proc.stdout.split())
    assert 0 < trailed_mean < trailed_max <= tracked_max  # trails spread the light, never add it


def frame(sim, *, tracking, exposure, ra=192.86, dec=27.13, focal=500.0):
    """A RAW16 frame of the ASI120MM Mini near the north galactic pole (a sparse field), noise
    and the optics' extras off, through a 30 mm aperture so that no star saturates."""
    from velmora.brinmoor.camera import Camera

    sim.reset(["ZWO ASI120MM Mini"], seed=11)
    sim.ideal()
    sim.set_time_scale(1e5)
    sim.point(0, ra, dec)
    sim.set_telescope(0, focal, 30)
    sim.set_tracking(0, tracking)
    with Camera(0) as cam:
        cam.roi = cam.full_roi(1, "raw16")
        cam.gain = 0
        image = cam.expose(exposure).array.astype(np.float64)
        pixel_um = cam.description.pixel_size
    return image, 206.264806 * pixel_um / focal


def test_a_trail_carries_the_stars_light_over_the_drift_of_the_exposure(sim):
    exposure = 20.0
    still, scale = frame(sim, tracking=True, exposure=exposure)
    trailed, _ = frame(sim, tracking=False, exposure=exposure)
    length = 15.04106858 * exposure * np.cos(np.radians(27.13)) / scale
    bg = np.median(still)
    y, x = np.unravel_index(np.argmax(still), still.shape)
    # The brightest star's light: a box around it when tracked; a box along its row, as long
    # as the trail either way, when not.
    star = (still[y - 12:y + 13, x - 12:x + 13] - bg).sum()
    band = trailed[max(0, y - 12):y + 13, max(0, x - int(length) - 40):x + int(length) + 40]
    # Along the trail: the light of each column of the band, smoothed over the shot noise; the
    # trail is as long as the part above half its level.
    light = np.convolve((band - bg).sum(axis=0), np.ones(5) / 5, mode="same")
    level = np.median(light[light > 0.3 * light.max()])
    assert (band - bg).sum() == pytest.approx(star, rel=0.05)
    assert np.count_nonzero(light > level / 2) == pytest.approx(length, abs=4)
    assert trailed.max() - bg < (still.max() - bg) / 10


# ---- C++ exceptions stop at the C boundary ----------------------------------------------------

OUT_OF_MEMORY = """
import ctypes, resource
import simsdk as s
from velmora.brinmoor import asisim
asisim.reset(["ZWO ASI6200MM Pro"])
asisim.set_time_scale(1e5)
asisim.point(0, 266.4, -28.9)
asisim.set_tracking(0, False)
s.configure(0, 9576, 6388, exposure_s=1)
assert s.lib.ASIStartExposure(0, 0) == 0
while s.exp_status(0) == s.EXP_WORKING:
    pass
n = s.frame_size(0)
buf = ctypes.create_string_buffer(n)
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
limit = size + (16 << 20)  # less than the frame's light takes
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
print(s.lib.ASIGetDataAfterExp(0, buf, n), flush=True)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
asisim.set_tracking(0, True)
print(s.lib.ASIGetDataAfterExp(0, buf, n))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves terabytes of address space for its shadow, "
                           "so an address-space limit cannot model running out of memory")
def test_running_out_of_memory_is_a_general_error_not_an_abort(tmp_path):
    proc = child(OUT_OF_MEMORY, env=machine_env(tmp_path), timeout=180)
    assert proc.returncode == 0, proc.stderr[-2000:]
    first, again = proc.stdout.split()
    assert int(first) == s.GENERAL_ERROR
    assert int(again) == s.SUCCESS  # the camera is none the worse
    assert "out of memory" in proc.stderr


# ---- four threads on one camera: nobody waits on a render for long ---------------------------


def test_four_threads_on_one_camera_wait_for_no_other_threads_render(sim):
    from velmora.brinmoor.camera import Camera

    sim.reset(["ZWO ASI294MC Pro"])
    sim.set_time_scale(1e5)
    sim.point(0, 266.4, -28.9)
    sim.set_telescope(0, 500, 0)
    sim.set_tracking(0, False)
    with Camera(0) as cam:
        cam.roi = cam.full_roi(1, "raw16")
        t0 = time.monotonic()
        cam.expose(50.0)
        render = time.monotonic() - t0  # one untracked frame, read alone
        slowest: dict[str, float] = {}
        stop = time.monotonic() + max(4 * render, 5.0)
        errors: list[BaseException] = []

        def hammer(name, call):
            worst = 0.0
            try:
                while time.monotonic() < stop:
                    t = time.monotonic()
                    call()
                    worst = max(worst, time.monotonic() - t)
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
            slowest[name] = worst

        calls = {
            "expose": lambda: cam.expose(50.0),
            "temperature": lambda: cam.temperature,
            "gain": lambda: cam.set_control("Gain", 100),
            "roi": lambda: cam.roi,
        }
        threads = [threading.Thread(target=hammer, args=item) for item in calls.items()]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=120)
        assert not errors, errors
        # The image is read outside the camera's lock: the other calls wait for no render (a
        # generous half of one, for a busy machine), and an exposure for its own alone.
        others = max(v for k, v in slowest.items() if k != "expose")
        assert others < render / 2 + 1.0, (slowest, render)
        assert slowest["expose"] < 3 * render + 2.0, (slowest, render)
    assert render < 20.0


# ---- files that are not regular files ---------------------------------------------------------

OPEN_CAMERA = """
import json, sys
import simsdk as s
print(json.dumps({"open": s.lib.ASIOpenCamera(0)}), flush=True)
s.lib.ASICloseCamera(0)
"""
STATE_KEY = "camera0-ZWO_ASI294MC_Pro"


def orvik_sim(*args, env):
    return subprocess.run([sys.executable, "-m", "velmora.brinmoor.asisim", *args], env=env,
                          capture_output=True, text=True, timeout=30)


@pytest.mark.parametrize("kind", ["fifo", "directory", "symlink"])
def test_a_lock_file_that_is_not_a_file_refuses_the_camera(tmp_path, kind):
    env = machine_env(tmp_path)
    (tmp_path / "machine").mkdir(mode=0o700)
    lock = tmp_path / "machine" / f"{STATE_KEY}.lock"
    if kind == "fifo":
        os.mkfifo(lock)
    elif kind == "directory":
        lock.mkdir()
    else:
        (tmp_path / "elsewhere").write_text("")
        lock.symlink_to(tmp_path / "elsewhere")
    proc = child(OPEN_CAMERA, env=env, timeout=30)
    assert json.loads(proc.stdout)["open"] == s.CAMERA_REMOVED  # the vendor's "cannot be opened"
    assert f"{lock} is not a regular file" in proc.stderr
    shown = json.loads(orvik_sim("show", "--json", env=env).stdout)
    cam = next(c for c in shown["cameras"] if c["key"] == STATE_KEY)
    assert cam["held_by"] is None and "not a regular file" in cam["lock_error"]
    assert "free" not in orvik_sim("show", env=env).stdout
    assert orvik_sim("power-cycle", env=env).returncode in (0, 1)  # returns, whatever it says


def test_a_fifo_as_a_state_file_is_a_damaged_state(tmp_path):
    env = machine_env(tmp_path)
    (tmp_path / "machine").mkdir(mode=0o700)
    state = tmp_path / "machine" / f"{STATE_KEY}.state"
    os.mkfifo(state)
    shown = json.loads(orvik_sim("show", "--json", env=env).stdout)
    assert next(c for c in shown["cameras"] if c["key"] == STATE_KEY)["state"] == "damaged"
    proc = child(OPEN_CAMERA, env=env, timeout=30)
    assert json.loads(proc.stdout)["open"] == s.SUCCESS
    assert "is damaged" in proc.stderr
    assert state.is_file()  # the camera's own save took its place


CATALOGUE_INFO = """
import sys, time
from velmora.brinmoor import asisim
t = time.monotonic()
if len(sys.argv) > 1:
    print(asisim.set_star_catalog(sys.argv[1]) if sys.argv[1] != "-" else "", flush=True)
else:
    print(asisim.star_catalog_info(), flush=True)
print(time.monotonic() - t)
"""


def write_catalogue(path, count, *, records=None):
    header = b"ASISTARS" + struct.pack("<IIdfI", 1, count, 2000.0, 12.0, 0)
    with open(path, "wb") as f:
        f.write(header)
        if records is not None:
            f.write(records.tobytes())
        else:
            f.truncate(len(header) + 16 * count)  # sparse: the size of `count` records


@pytest.mark.parametrize("how", ["set_star_catalog", "ASISIM_STAR_CATALOG", "ASISIM_HIPPARCOS"])
def test_a_fifo_as_a_star_catalogue_is_refused(tmp_path, how):
    fifo = tmp_path / "stars.stars"
    os.mkfifo(fifo)
    env = machine_env(tmp_path)
    if how == "set_star_catalog":
        proc = child(CATALOGUE_INFO, fifo, env=env, timeout=30)
    else:
        env[how] = str(fifo)
        proc = child(CATALOGUE_INFO, env=env, timeout=30)
    assert proc.returncode in (0, 1), proc.stderr
    assert f"{fifo} is not a regular file" in proc.stderr


def test_a_catalogue_claiming_four_billion_stars_is_refused_quickly(tmp_path):
    path = tmp_path / "huge.stars"
    write_catalogue(path, 2**32 - 1)
    proc = child(CATALOGUE_INFO, path, env=machine_env(tmp_path), timeout=60)
    assert proc.returncode != 0 and "4294967295 stars, more than the" in proc.stderr
    assert "Traceback" in proc.stderr  # asisim's ValueError, not an abort


@pytest.mark.slow
def test_a_large_catalogue_loads_by_mapping_in_bounded_time(tmp_path):
    count = 1 << 22
    rng = np.random.default_rng(3)
    rec = np.zeros(count, dtype=[("ra", "<u4"), ("dec", "<i4"), ("pmra", "<i2"), ("pmdec", "<i2"),
                                 ("mag", "<i2"), ("bv", "<i2")])
    rec["ra"] = rng.integers(0, 2**32, count, dtype=np.uint64)
    rec["dec"] = (np.degrees(np.arcsin(rng.uniform(-1, 1, count))) / 90 * (2**31 - 1)).astype(np.int32)
    rec["mag"] = rng.integers(12000, 16000, count)
    path = tmp_path / "big.stars"
    write_catalogue(path, count, records=rec)
    # VmHWM, not ru_maxrss: the latter keeps the parent's peak across the child's exec.
    code = CATALOGUE_INFO + (
        "\nprint(next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM')))\n")
    proc = child(code, path, env=machine_env(tmp_path), timeout=120)
    assert proc.returncode == 0, proc.stderr
    loaded, seconds, max_rss_kb = proc.stdout.split()
    assert int(loaded) == count
    assert float(seconds) < 60
    # The records are mapped (64 MB of them), the index 4 bytes a star: far from two copies.
    assert int(max_rss_kb) * 1024 < 400 << 20
