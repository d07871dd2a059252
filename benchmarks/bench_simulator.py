"""Sustained video frame rate of the simulated cameras through the C API, against the promise.

For each default camera at full resolution, RAW8 and RAW16, with the power-on settings:

- promised: the frame rate the simulator's timing model sets (exposure, ROI, bit depth, USB
  speed, bandwidth control). It is measured in this run through the same API at time scale 0.25,
  where producing a frame takes a small share of the frame interval, and converted back to
  simulated frames per second;
- delivered: frames per second that a ctypes loop of ASIGetVideoData receives at time scale 1;
- ceiling: frames per second the library can produce at all (time scale 10000, where the frame
  interval is negligible and the frame synthesis is the limit).

It also prints the cost of a journaled SDK call against a control call that records nothing.

delivered must be at least the promise; the run exits 1 if it is not (a 3 % allowance covers the
start of the measuring window).
"""

import ctypes
import os
import sys
import time

from velmora.brinmoor import asisim

lib = ctypes.CDLL(os.path.join(os.path.dirname(asisim.__file__), "libASICamera2.so"))
lib.ASIGetVideoData.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
lib.ASISetROIFormat.argtypes = [ctypes.c_int] * 5
lib.ASIGetCameraPropertyByID.argtypes = [ctypes.c_int, ctypes.POINTER(asisim.ASI_CAMERA_INFO)]
lib.ASIGetDroppedFrames.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]

RAW8, RAW16 = 0, 2
BYTES = {RAW8: 1, RAW16: 2}


def check(rc, what):
    if rc != 0:
        raise SystemExit(f"{what} failed with code {rc}")


def prepare(cid, img):
    asisim.reset()
    info = asisim.ASI_CAMERA_INFO()
    check(lib.ASIGetCameraPropertyByID(cid, ctypes.byref(info)), "ASIGetCameraPropertyByID")
    check(lib.ASIOpenCamera(cid), "ASIOpenCamera")
    check(lib.ASIInitCamera(cid), "ASIInitCamera")
    check(lib.ASISetROIFormat(cid, info.MaxWidth, info.MaxHeight, 1, img), "ASISetROIFormat")
    n = info.MaxWidth * info.MaxHeight * BYTES[img]
    return info, n, ctypes.create_string_buffer(n)


def rate(cid, n, buf, scale, seconds, min_frames):
    """Frames per real second received by a reader that never waits on anything but the camera."""
    asisim.set_time_scale(scale)
    check(lib.ASIStartVideoCapture(cid), "ASIStartVideoCapture")
    # Waits are in simulated time: wait without limit rather than guess a time-out per scale.
    check(lib.ASIGetVideoData(cid, buf, n, -1), "first ASIGetVideoData")  # the start is not steady state
    frames = 0
    t0 = time.perf_counter()
    while True:
        check(lib.ASIGetVideoData(cid, buf, n, -1), "ASIGetVideoData")
        frames += 1
        elapsed = time.perf_counter() - t0
        if elapsed >= seconds and frames >= min_frames:
            break
    dropped = ctypes.c_int()
    check(lib.ASIGetDroppedFrames(cid, ctypes.byref(dropped)), "ASIGetDroppedFrames")
    check(lib.ASIStopVideoCapture(cid), "ASIStopVideoCapture")
    return frames / elapsed, dropped.value


def call_cost(fn, n=200_000):
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t0) / n * 1e9


def journal_cost():
    """Cost of a journaled SDK call next to a control call that records nothing, both through ctypes."""
    asisim.reset()
    baseline = call_cost(lib.asisim_journal_count)
    journaled = call_cost(lib.ASIGetNumOfConnectedCameras)
    assert asisim.journal_count() == 4096
    print(f"ns per call through ctypes: ASIGetNumOfConnectedCameras {journaled:.0f} (journaled), "
          f"asisim_journal_count {baseline:.0f} (baseline, no journal)")


def main():
    seconds = float(os.environ.get("BENCH_SECONDS", "3"))
    journal_cost()
    print(f"{'camera':<20} {'type':<6} {'frame MB':>9} {'promised':>9} {'delivered':>10} {'ceiling':>8} {'dropped':>8}")
    ok = True
    for cid in (0, 1):
        for img in (RAW8, RAW16):
            info, n, buf = prepare(cid, img)
            slow = 0.25
            promised_real, _ = rate(cid, n, buf, slow, seconds, 4)
            promised = promised_real / slow
            delivered, dropped = rate(cid, n, buf, 1.0, seconds, 8)
            ceiling, _ = rate(cid, n, buf, 10000.0, min(seconds, 2.0), 8)
            name = info.Name.decode()
            kind = "RAW8" if img == RAW8 else "RAW16"
            print(
                f"{name:<20} {kind:<6} {n / 1e6:>9.1f} {promised:>9.2f} {delivered:>10.2f} {ceiling:>8.1f} {dropped:>8}"
            )
            ok &= delivered >= promised * 0.97
    asisim.reset()
    print("frames per second; promised and delivered at time scale 1, power-on settings (bandwidth 50 %)")
    if not ok:
        print("FAIL: the simulator delivered less than its timing model promises")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
