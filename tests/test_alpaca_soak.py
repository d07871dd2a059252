"""A night in a minute: several alpyca clients poll and download from two cameras at once, as
imaging, guiding and monitoring programs do. Every image downloaded must be exactly a frame the
camera read out (nothing torn, mixed or truncated), the imaging clients get each new frame at the
size they set, memory stays flat, and no small request takes longer than a bound."""

import hashlib
import threading
import time

import numpy as np
import pytest
from alpaca.camera import Camera

from alpacaserver import addr, server, wait_image  # noqa: F401  (fixtures)
from velmora.brinmoor.alpaca import camera as device_module

SOAK_S = 40.0
SMALL_REQUEST_BOUND_S = 3.0
MEMORY_GROWTH_BOUND_MB = 40.0
POLLED = ("CameraState", "ImageReady", "CCDTemperature", "Connected", "BinX", "NumX",
          "PercentCompleted")


def rss_mb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def digest(array):
    return hashlib.sha1(np.ascontiguousarray(array).tobytes()).hexdigest() + str(array.shape)


class Recorder:
    """Every frame the server's devices read out, by digest."""

    def __init__(self):
        self.lock = threading.Lock()
        self.frames = set()

    def add(self, frame):
        with self.lock:
            self.frames.add(digest(frame))

    def __contains__(self, key):
        with self.lock:
            return key in self.frames


@pytest.mark.slow
def test_a_night_of_clients(server, addr, monkeypatch):
    recorder = Recorder()
    original = device_module.ImageData

    class RecordedImage(original):
        def __init__(self, frame):
            super().__init__(frame)
            recorder.add(frame)

    monkeypatch.setattr(device_module, "ImageData", RecordedImage)
    stop = threading.Event()
    errors = []
    counts = {"requests": 0, "images": 0}
    worst = {"small": 0.0, "image": 0.0}
    lock = threading.Lock()

    def timed(kind, call):
        start = time.perf_counter()
        value = call()
        took = time.perf_counter() - start
        with lock:
            counts["requests"] += 1
            worst[kind] = max(worst[kind], took)
        return value

    def image_of(camera):
        flat = timed("image", lambda: camera.ImageArrayRaw)
        info = timed("small", lambda: camera.ImageArrayInfo)
        with lock:
            counts["images"] += 1
        return np.asarray(flat).reshape(info.Dimension1, info.Dimension2).T

    def imager(number, window, bin):
        try:
            camera = Camera(addr, number)
            camera.Connected = True
            camera.BinX = bin
            camera.StartX, camera.StartY, camera.NumX, camera.NumY = window
            previous = None
            while not stop.is_set():
                timed("small", lambda: camera.StartExposure(0.02, True))
                wait_image(camera)
                image = image_of(camera)
                assert image.shape == (window[3], window[2])
                assert digest(image) in recorder, "an image that is not a frame the camera read"
                assert previous is None or digest(image) != previous, "the same frame twice"
                previous = digest(image)
        except Exception as exc:
            errors.append(exc)
            stop.set()

    def poller(number):
        try:
            camera = Camera(addr, number)
            camera.Connected = True  # every program connects: the imager may not have yet
            while not stop.is_set():
                for name in POLLED:
                    try:
                        timed("small", lambda name=name: getattr(camera, name))
                    except Exception as exc:  # PercentCompleted between exposures
                        if "InvalidOperation" not in type(exc).__name__:
                            raise
                time.sleep(0.005)
        except Exception as exc:
            errors.append(exc)
            stop.set()

    def viewer(number):
        """A second program looking at the latest image now and then."""
        try:
            camera = Camera(addr, number)
            camera.Connected = True
            while not stop.is_set():
                if timed("small", lambda: camera.ImageReady):
                    try:
                        image = image_of(camera)
                    except Exception as exc:  # the image was replaced by a new exposure
                        if "InvalidOperation" not in type(exc).__name__:
                            raise
                    else:
                        assert digest(image) in recorder, "a torn or mixed image"
                time.sleep(0.2)
        except Exception as exc:
            errors.append(exc)
            stop.set()

    threads = [threading.Thread(target=imager, args=(0, (512, 256, 1024, 768), 1)),
               threading.Thread(target=imager, args=(1, (0, 0, 640, 480), 2)),
               threading.Thread(target=poller, args=(0,)), threading.Thread(target=poller, args=(1,)),
               threading.Thread(target=poller, args=(1,)),
               threading.Thread(target=viewer, args=(0,)), threading.Thread(target=viewer, args=(1,))]
    for thread in threads:
        thread.start()
    memory = []
    start = time.monotonic()
    while time.monotonic() - start < SOAK_S and not stop.is_set():
        time.sleep(1.0)
        memory.append(rss_mb())
    stop.set()
    for thread in threads:
        thread.join(60)
    assert not errors, errors[:3]
    third = max(1, len(memory) // 3)
    early, late = np.median(memory[third:2 * third]), np.median(memory[-third:])
    print(f"\nsoak: {counts['requests']} requests, {counts['images']} images in {SOAK_S:g} s; "
          f"memory {early:.0f} -> {late:.0f} MB; slowest small request {worst['small'] * 1e3:.0f} ms, "
          f"slowest image {worst['image'] * 1e3:.0f} ms")
    assert counts["images"] > 50
    assert late - early < MEMORY_GROWTH_BOUND_MB, memory
    assert worst["small"] < SMALL_REQUEST_BOUND_S
