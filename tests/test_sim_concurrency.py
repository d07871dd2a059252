"""The simulated cameras under concurrent calls: many threads opening, initialising, closing,
changing the format, starting, stopping and reading video, taking snapshots, unplugging and
resetting the same cameras. The run happens in a child process, so an abort or a hang fails the
test instead of ending the test session."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

SECONDS = 20
# Small sensors keep the work per frame low; the second is a colour model.
CAMERAS = "ZWO ASI120MM Mini,ZWO ASI224MC"

CHILD = r"""
import ctypes, faulthandler, json, random, sys, threading, time

from velmora.brinmoor import asisim, orvik

SECONDS = float(sys.argv[1])
faulthandler.enable()
# A hang shows every thread's stack and ends the process.
faulthandler.dump_traceback_later(SECONDS + 60, exit=True)

lib = asisim.library
lib.ASIGetVideoData.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
lib.ASIGetVideoData.restype = ctypes.c_int

CAMS = (0, 1)
FULL = {0: (1280, 960), 1: (1304, 976)}
FORMATS = [(320, 240, 1, "IMG_RAW16"), (640, 480, 1, "IMG_RAW16"), (160, 120, 2, "IMG_RAW8")]
# Every frame size a camera can deliver: the formats above and the full-frame RAW8 of power-on.
SIZES = {c: sorted({w * h * (2 if t == "IMG_RAW16" else 1) for w, h, _, t in FORMATS} | {FULL[c][0] * FULL[c][1]})
         for c in CAMS}
SENTINEL = 0xA5
BUFFER = max(max(s) for s in SIZES.values()) + 4096

stop = threading.Event()
counts = {"calls": 0, "frames": 0, "snapshots": 0, "refused": 0}
count_lock = threading.Lock()
failures = []


def count(key):
    with count_lock:
        counts[key] += 1


def fail(message):
    failures.append(message)
    stop.set()


def read_frame(rng, cam):
    # Through ctypes, into a buffer filled with a sentinel: what the library wrote is exactly the
    # part before the sentinel tail (no frame ends in a run of sentinel bytes by chance).
    buf = (ctypes.c_ubyte * BUFFER)()
    ctypes.memset(buf, SENTINEL, BUFFER)
    rc = lib.ASIGetVideoData(cam, buf, BUFFER, rng.choice([0, 20, 200, -1]))
    if rc == 0:
        written = len(bytes(buf).rstrip(bytes([SENTINEL])))
        if not any(size - 64 <= written <= size for size in SIZES[cam]):
            fail(f"camera {cam}: a frame of {written} bytes, not one of {SIZES[cam]}")
        count("frames")
    elif not 1 <= rc <= 23:
        fail(f"camera {cam}: ASIGetVideoData returned {rc}")


def snapshot(rng, cam):
    orvik.start_exposure(cam, False)
    for _ in range(200):
        if orvik.get_exp_status(cam) != orvik.ExposureStatus.ASI_EXP_WORKING:
            break
        time.sleep(0.001)
    w, h, _, t = orvik.get_roi_format(cam)
    orvik.get_data_after_exp(cam, w * h * (2 if t == orvik.ImgType.IMG_RAW16 else 1))
    count("snapshots")


def set_format(rng, cam):
    w, h, b, t = rng.choice(FORMATS)
    orvik.set_roi_format(cam, w, h, b, getattr(orvik.ImgType, t))
    if rng.random() < 0.5:
        orvik.set_start_pos(cam, rng.randrange(0, 64, 2), rng.randrange(0, 64, 2))


def video_burst(rng, cam):
    orvik.start_video_capture(cam)
    for _ in range(rng.randrange(1, 6)):
        read_frame(rng, cam)
    if rng.random() < 0.7:
        orvik.stop_video_capture(cam)


ACTIONS = [
    (3, lambda rng, cam: orvik.open_camera(cam)),
    (3, lambda rng, cam: orvik.init_camera(cam)),
    (1, lambda rng, cam: orvik.close_camera(cam)),
    (4, set_format),
    (1, lambda rng, cam: orvik.set_control_value(cam, orvik.ControlType.ASI_EXPOSURE, rng.choice([100, 2000]), False)),
    (5, lambda rng, cam: orvik.start_video_capture(cam)),
    (2, lambda rng, cam: orvik.stop_video_capture(cam)),
    (6, read_frame),
    (3, video_burst),
    (2, snapshot),
]
WEIGHTS = [w for w, _ in ACTIONS]


def worker(seed):
    rng = random.Random(seed)
    while not stop.is_set():
        _, action = rng.choices(ACTIONS, WEIGHTS)[0]
        cam = rng.choice(CAMS)
        try:
            action(rng, cam)
        except orvik.ASIError:
            count("refused")
        except BaseException as exc:
            fail(f"{type(exc).__name__}: {exc}")
        count("calls")


def connector(seed):
    # Unplugs and plugs the cameras, and now and then puts the whole set back to power-on.
    rng = random.Random(seed)
    while not stop.is_set():
        time.sleep(rng.uniform(0.01, 0.1))
        if rng.random() < 0.1:
            asisim.reset()
            asisim.set_time_scale(20)
        else:
            cam = rng.choice(CAMS)
            asisim.unplug(cam)
            time.sleep(rng.uniform(0, 0.02))
            asisim.plug(cam)
        count("calls")


def start(target, seed):
    t = threading.Thread(target=target, args=(seed,), daemon=True)
    t.start()
    return t


asisim.set_time_scale(20)
threads = [start(worker, seed) for seed in range(6)] + [start(connector, 100)]
stop.wait(SECONDS)
stop.set()
# Frame reads that wait without limit end when their camera goes.
deadline = time.monotonic() + 30
while any(t.is_alive() for t in threads) and time.monotonic() < deadline:
    for cam in CAMS:
        asisim.unplug(cam)
    time.sleep(0.05)
if any(t.is_alive() for t in threads):
    faulthandler.dump_traceback(all_threads=True)
    print("threads did not end", file=sys.stderr)
    sys.exit(3)
faulthandler.cancel_dump_traceback_later()
asisim.reset()
print(json.dumps({"failures": failures, **counts}))
"""


@pytest.mark.slow
def test_concurrent_calls_on_the_same_cameras_end_cleanly():
    env = dict(os.environ, ASISIM_CAMERAS=CAMERAS)
    try:
        proc = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(SECONDS)],
                              capture_output=True, text=True, timeout=SECONDS + 120, env=env)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"the run hung\nstderr:\n{exc.stderr}")
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr[-6000:]}"
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    assert result["failures"] == []
    # The run did what it is for: frames and snapshots came through between the refusals.
    assert result["frames"] > 50 and result["snapshots"] > 10 and result["refused"] > 100, result
