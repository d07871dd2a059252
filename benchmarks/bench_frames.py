"""Frame-read throughput of get_video_data on full-resolution RAW16 frames, next to a plain
memset + memcpy of the same size in C (ctypes.memset / ctypes.memmove on preallocated buffers).

Figures:
  - live video at a high time scale, each read timed only once its frame is ready in the
    simulator (frame production is the simulator's own work on another thread): the module's
    read path plus the SDK's one memcpy of the frame;
  - the module's own share: reads whose SDK call is scripted to write nothing, i.e. the
    allocation of the zero-filled result and the call path;
  - scripted frames, for reference: the simulator copies queued bytes and then frees its copy
    of them, which costs it more than the copy itself.
Target: reads at least 0.8x the memset + memcpy rate.
"""

import ctypes
import time

from velmora.brinmoor import asisim, orvik

WIDTH, HEIGHT = 4144, 2822  # ZWO ASI294MC Pro, camera 0 of the default set
SIZE = WIDTH * HEIGHT * 2
FRAMES = 8
ROUNDS = 3


def rate(seconds, frames):
    return frames * SIZE / seconds / 1e9


class Baseline:
    """memset + memcpy of one frame in C on preallocated buffers."""

    def __init__(self):
        self.source = ctypes.create_string_buffer(b"\x5a" * SIZE, SIZE)
        self.target = ctypes.create_string_buffer(SIZE)

    def frame_seconds(self):
        start = time.perf_counter()
        ctypes.memset(self.target, 0, SIZE)
        ctypes.memmove(self.target, self.source, SIZE)
        return time.perf_counter() - start


def scripted_read_rate(image):
    best = float("inf")
    for _ in range(ROUNDS):
        for _ in range(FRAMES):
            asisim.script("ASIGetVideoData", 0, image)
        start = time.perf_counter()
        for _ in range(FRAMES):
            frame = orvik.get_video_data(0, SIZE, 0)
        best = min(best, time.perf_counter() - start)
        assert len(frame) == SIZE
        del frame
    return rate(best, FRAMES)


def ready_frame_read(timeout=30.0):
    """Reads one frame as soon as the simulator has one ready; returns the read's duration."""
    deadline = time.monotonic() + timeout
    while True:
        start = time.perf_counter()
        try:
            frame = orvik.get_video_data(0, SIZE, 0)
        except orvik.ASITimeout:
            assert time.monotonic() < deadline, "no frame became ready"
            time.sleep(0.005)
            continue
        elapsed = time.perf_counter() - start
        assert len(frame) == SIZE
        return elapsed


def live_read_rates(baseline):
    """Per-frame seconds of live reads and of the baseline, measured in alternation."""
    orvik.open_camera(0)
    orvik.init_camera(0)
    orvik.set_roi_format(0, WIDTH, HEIGHT, 1, orvik.ImgType.IMG_RAW16)
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 32, False)
    asisim.set_time_scale(1e6)
    orvik.start_video_capture(0)
    reads, base = [], []
    try:
        ready_frame_read()
        for _ in range(FRAMES * ROUNDS):
            reads.append(ready_frame_read())
            base.append(baseline.frame_seconds())
    finally:
        orvik.stop_video_capture(0)
        orvik.close_camera(0)
    return sorted(reads), sorted(base)


def main():
    asisim.reset()
    baseline = Baseline()
    reads, base = live_read_rates(baseline)
    asisim.reset()
    own_share = scripted_read_rate(None)
    scripted = scripted_read_rate(b"\x5a" * SIZE)
    base_best = rate(base[0], 1)
    median = len(reads) // 2
    print(f"frame {WIDTH} x {HEIGHT} RAW16 = {SIZE / 1e6:.1f} MB; rates in frame bytes per second")
    print(f"{'memset + memcpy (C, preallocated), median':46} {rate(base[median], 1):6.2f} GB/s")
    print(f"{'memset + memcpy (C, preallocated), best':46} {base_best:6.2f} GB/s")
    print(f"{'get_video_data, live frame ready, median':46} {rate(reads[median], 1):6.2f} GB/s  "
          f"{base[median] / reads[median]:.2f}x of the baseline median  target >= 0.8x")
    print(f"{'get_video_data, live frame ready, best':46} {rate(reads[0], 1):6.2f} GB/s  "
          f"{base[0] / reads[0]:.2f}x of the baseline best")
    print(f"{'get_video_data, SDK writes nothing, best':46} {own_share:6.2f} GB/s  {own_share / base_best:.2f}x")
    print(f"{'get_video_data, scripted frames, best':46} {scripted:6.2f} GB/s  {scripted / base_best:.2f}x")


if __name__ == "__main__":
    main()
