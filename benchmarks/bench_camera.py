"""The camera layer's video path: frames from the ZWO ASI174MM at 640 x 480 RAW8 through
`cam.stream()` into numpy, next to a plain `get_video_data` loop on the same camera and settings.

Figures:
  - at the camera's full simulated rate (time scale 1, shortest exposure, whole USB link): the
    frame rate and the dropped frames of both loops; the layer must keep up (no dropped frames);
  - the Python-side cost per frame, with the frame read replaced by a function that returns a
    ready frame at once (so no wait and no SDK work is in the figure): the layer (the stream's
    bookkeeping, the Frame with its metadata, the numpy view) and the plain loop; the layer's
    own cost is the difference. Target: under 10 microseconds per frame.
The simulated camera keeps 4 frames; on a busy machine a reader that is descheduled for longer
than that drops frames in either loop, so the two rates and drop counts are read side by side.
"""

import time

from velmora.brinmoor import asisim, orvik
from velmora.brinmoor.camera import Camera, Roi

MODEL = "ZWO ASI174MM"
FRAMES = 2000
WARM_UP = 50


class InstantReads:
    """Stands in for orvik.get_video_data: the same frame at once, every time."""

    def __init__(self) -> None:
        self.frame = bytes(640 * 480)

    def __call__(self, camera_id: int, size: int, wait_ms: int) -> bytes:
        return self.frame


def set_up(cam: Camera) -> None:
    cam.roi = Roi(640, 480, bin=1, image_type="raw8")
    cam.exposure = 32e-6
    cam.bandwidth = cam.controls["BandWidth"].max
    if cam.has_control("ASI_HIGH_SPEED_MODE"):
        cam.high_speed = True


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


def main() -> None:
    asisim.reset(MODEL)
    read = orvik.get_video_data
    try:
        with Camera(MODEL) as cam:
            set_up(cam)
            print(f"{MODEL}, 640x480 RAW8, exposure {cam.exposure * 1e6:g} us, "
                  f"bandwidth {cam.bandwidth} %, {FRAMES} frames per run")
            print("full simulated rate (time scale 1), the run with fewest drops of 3:")
            for name, run in (("get_video_data loop", raw_run), ("cam.stream()", layer_run)):
                total, dropped = min((run(cam) for _ in range(3)), key=lambda r: (r[1], r[0]))
                print(f"  {name:<20} {FRAMES / total:8.1f} fps, {dropped} dropped")
            print("cost per frame, reads answered at once without the SDK, best of 5:")
            instant = InstantReads()
            orvik.get_video_data = instant  # type: ignore[assignment]  # the layer reads through it
            raw = instant_raw_loop(instant) / FRAMES * 1e6
            layer = instant_layer_loop(cam) / FRAMES * 1e6
            print(f"  {'get_video_data loop':<20} {raw:6.2f} us")
            print(f"  {'cam.stream()':<20} {layer:6.2f} us")
            print(f"  layer's own cost: {layer - raw:.2f} us per frame (target: under 10 us)")
    finally:
        orvik.get_video_data = read
        asisim.reset()


if __name__ == "__main__":
    main()
