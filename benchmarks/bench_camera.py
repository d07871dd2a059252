"""The camera layer's costs, each beside a baseline measured in the same run.

Figures:
  1. Stream CPU per frame at a 64 x 64 ROI (ZWO ASI174MM, RAW8, shortest exposure, time scale
     1): `cam.stream()` next to a bare `get_video_data` loop on the same camera and settings,
     as the reading thread's CPU time (`time.thread_time`: the layer's and the module's work
     alone) and as the whole process's (`time.process_time`: the simulated camera's frame
     production too, as a real SDK's USB work would be). Runs alternate; the ratio of the best
     runs (least disturbed by other programs) and of the medians are printed. Target: at most
     1.3x.
  2. Full simulated rate at 640 x 480 RAW8: frames per second and dropped frames of both loops;
     the layer must keep up.
  3. The layer's own cost per frame, with the frame read replaced by a function that returns a
     ready frame at once (no wait, no SDK work in the figure). Target: under 10 us.
  4. How long a hopeless read stalls the other Python threads: the longest gap of a thread that
     ticks every millisecond while the main thread calls `get_data_after_exp(99, 2**31 - 1)`
     (a 2 GiB buffer for a camera that does not exist), beside the longest gap while the main
     thread only sleeps.
  5. A wait that times out (a stream waits for a slow frame in 100 ms steps) at several frame
     sizes, beside `bytes(size)`, the making and clearing of a frame-sized object that each
     such wait used to cost: a large read's memory is a fresh mapping that the SDK fills, so a
     wait that gets nothing clears nothing.
The simulated camera keeps 4 frames; on a busy machine a reader that is descheduled for longer
than that drops frames in either loop, so the two rates and drop counts are read side by side.
"""

import statistics
import threading
import time
from collections.abc import Callable

from velmora.brinmoor import asisim, orvik
from velmora.brinmoor.camera import Camera, Roi

MODEL = "ZWO ASI174MM"
FRAMES = 2000
WARM_UP = 50
SMALL_FRAMES = 2000
SMALL_ROUNDS = 9


class InstantReads:
    """Stands in for orvik.get_video_data: the same frame at once, every time."""

    def __init__(self) -> None:
        self.frame = bytes(640 * 480)

    def __call__(self, camera_id: int, size: int, wait_ms: int) -> bytes:
        return self.frame


def set_up(cam: Camera, roi: Roi) -> None:
    cam.roi = roi
    cam.exposure = 32e-6
    cam.bandwidth = cam.controls["BandWidth"].max
    if cam.has_control("ASI_HIGH_SPEED_MODE"):
        cam.high_speed = True


# -- 1. CPU per frame at 64 x 64 ----------------------------------------------------------------

def _clocks() -> tuple[float, float]:
    return time.thread_time(), time.process_time()


def _per_frame(before: tuple[float, float]) -> tuple[float, float]:
    thread, process = _clocks()
    return (thread - before[0]) / SMALL_FRAMES, (process - before[1]) / SMALL_FRAMES


def small_stream_cpu(cam: Camera) -> tuple[float, float]:
    """CPU seconds per frame of cam.stream(): the reading thread's, and the whole process's."""
    with cam.stream() as frames:
        for _ in range(WARM_UP):
            next(frames)
        before = _clocks()
        for _ in range(SMALL_FRAMES):
            next(frames)
        return _per_frame(before)


def small_bare_cpu(cam: Camera) -> tuple[float, float]:
    """CPU seconds per frame of a bare get_video_data loop: the thread's, the process's."""
    size = cam.roi.frame_bytes
    read, camera_id = orvik.get_video_data, cam.id
    orvik.start_video_capture(camera_id)
    try:
        for _ in range(WARM_UP):
            read(camera_id, size, 1000)
        before = _clocks()
        for _ in range(SMALL_FRAMES):
            read(camera_id, size, 1000)
        return _per_frame(before)
    finally:
        orvik.stop_video_capture(camera_id)


def small_roi_figures(cam: Camera) -> None:
    set_up(cam, Roi(64, 64, bin=1, image_type="raw8"))
    bare: list[tuple[float, float]] = []
    layer: list[tuple[float, float]] = []
    for _ in range(SMALL_ROUNDS):
        bare.append(small_bare_cpu(cam))
        layer.append(small_stream_cpu(cam))
    print(f"CPU per frame at 64x64 RAW8, {SMALL_FRAMES} frames a run, {SMALL_ROUNDS} runs of each "
          "alternating; best run (least disturbed by other programs) and median:")
    for which, label in ((0, "reading thread"), (1, "whole process")):
        b = [r[which] * 1e6 for r in bare]
        s = [r[which] * 1e6 for r in layer]
        print(f"  {label:<15} get_video_data loop {min(b):6.2f} us (median {statistics.median(b):6.2f}), "
              f"cam.stream() {min(s):6.2f} us (median {statistics.median(s):6.2f}): "
              f"ratio {min(s) / min(b):.2f}x (medians {statistics.median(s) / statistics.median(b):.2f}x)")
    print("  target: cam.stream() at most 1.3x the bare loop")


# -- 2. full rate at 640 x 480 ------------------------------------------------------------------

def layer_run(cam: Camera) -> tuple[float, int]:
    with cam.stream() as frames:
        for _ in range(WARM_UP):
            next(frames)
        dropped_before = frames.dropped
        start = time.perf_counter()
        for _ in range(FRAMES):
            _ = next(frames).array  # the numpy view, as a program would take it
        total = time.perf_counter() - start
        return total, frames.dropped - dropped_before


def raw_run(cam: Camera) -> tuple[float, int]:
    size = 640 * 480
    orvik.start_video_capture(cam.id)
    try:
        for _ in range(WARM_UP):
            orvik.get_video_data(cam.id, size, 1000)
        dropped_before = orvik.get_dropped_frames(cam.id)
        start = time.perf_counter()
        for _ in range(FRAMES):
            orvik.get_video_data(cam.id, size, 1000)
        total = time.perf_counter() - start
        return total, orvik.get_dropped_frames(cam.id) - dropped_before
    finally:
        orvik.stop_video_capture(cam.id)


# -- 3. the layer's own cost --------------------------------------------------------------------

def instant_raw_loop(read: InstantReads) -> float:
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for _ in range(FRAMES):
            read(0, 640 * 480, 1000)
        best = min(best, time.perf_counter() - start)
    return best


def instant_layer_loop(cam: Camera) -> float:
    best = float("inf")
    with cam.stream() as frames:
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(FRAMES):
                _ = next(frames).array
            best = min(best, time.perf_counter() - start)
    return best


# -- 4. stalls ----------------------------------------------------------------------------------

def longest_gap(work: Callable[[], object]) -> tuple[float, float]:
    """The longest time between two ticks of a thread that ticks every millisecond while
    `work` runs on this thread, and how long `work` took."""
    gaps: list[float] = []
    stop = threading.Event()
    ready = threading.Event()

    def ticker() -> None:
        last = time.perf_counter()
        ready.set()
        while not stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    ready.wait()
    time.sleep(0.05)
    gaps.clear()
    start = time.perf_counter()
    try:
        work()
    except orvik.ASIError:
        pass
    took = time.perf_counter() - start
    time.sleep(0.01)
    stop.set()
    thread.join()
    return max(gaps), took


def stall_figures() -> None:
    hopeless = 2**31 - 1
    read = longest_gap(lambda: orvik.get_data_after_exp(99, hopeless))
    idle = longest_gap(lambda: time.sleep(read[1]))
    print("longest stall of a thread ticking every 1 ms:")
    print(f"  {'main thread sleeping':<42} {idle[0] * 1e3:8.1f} ms (over {idle[1]:.2f} s)")
    print(f"  {'get_data_after_exp(99, 2**31 - 1)':<42} {read[0] * 1e3:8.1f} ms "
          f"(the call took {read[1]:.2f} s and raised ASIInvalidID)")


# -- 5. waits that time out ---------------------------------------------------------------------

def timed_out_wait_figures() -> None:
    """A stream waits for a slow frame in 100 ms steps; each step that times out is a read that
    fails. Its cost at several frame sizes, beside making and clearing a buffer of the frame's
    size (`bytes(size)`), which is what every such step cost when each read cleared its
    buffer before the SDK call."""
    rounds = 40
    print(f"a wait that times out (the SDK's time-out scripted), {rounds} waits, ms per wait:")
    orvik.open_camera(0)
    try:
        orvik.init_camera(0)
        for size in (640 * 480, 4 << 20, 16 << 20, 4144 * 2822 * 2):
            start = time.perf_counter()
            for _ in range(rounds):
                asisim.script("ASIGetVideoData", 11, None)
                try:
                    orvik.get_video_data(0, size, 100)
                except orvik.ASITimeout:
                    pass
            wait = (time.perf_counter() - start) / rounds * 1e3
            start = time.perf_counter()
            for _ in range(rounds):
                bytes(size)
            clear = (time.perf_counter() - start) / rounds * 1e3
            print(f"  {size / 1e6:5.1f} MB frame: timed-out wait {wait:7.3f} ms, "
                  f"bytes(size) {clear:7.3f} ms")
    finally:
        orvik.close_camera(0)


def main() -> None:
    asisim.reset(MODEL)
    read = orvik.get_video_data
    try:
        with Camera(MODEL) as cam:
            small_roi_figures(cam)
            set_up(cam, Roi(640, 480, bin=1, image_type="raw8"))
            print(f"{MODEL}, 640x480 RAW8, exposure {cam.exposure * 1e6:g} us, "
                  f"bandwidth {cam.bandwidth} %, {FRAMES} frames per run")
            print("full simulated rate (time scale 1), the run with fewest drops of 3:")
            for name, run in (("get_video_data loop", raw_run), ("cam.stream()", layer_run)):
                total, dropped = min((run(cam) for _ in range(3)), key=lambda r: (r[1], r[0]))
                print(f"  {name:<20} {FRAMES / total:8.1f} fps, {dropped} dropped")
            print("cost per frame, reads answered at once without the SDK, best of 5:")
            instant = InstantReads()
            orvik.get_video_data = instant  # type: ignore[assignment]  # the layer reads through it
            try:
                raw = instant_raw_loop(instant) / FRAMES * 1e6
                layer = instant_layer_loop(cam) / FRAMES * 1e6
            finally:
                orvik.get_video_data = read
            print(f"  {'get_video_data loop':<20} {raw:6.2f} us")
            print(f"  {'cam.stream()':<20} {layer:6.2f} us")
            print(f"  layer's own cost: {layer - raw:.2f} us per frame (target: under 10 us)")
        stall_figures()
        asisim.reset()
        timed_out_wait_figures()
    finally:
        orvik.get_video_data = read
        asisim.reset()


if __name__ == "__main__":
    main()
