"""Per-call cost of operations, next to the same SDK functions called through ctypes.

Prints nanoseconds per call (best of several runs) for:
  - get_control_value, set_roi_format (by position and by keyword), handle_error_code(0);
  - a no-argument module function and a plain built-in C function, as floors;
  - ASIGetControlValue and ASISetROIFormat called through ctypes with argtypes declared.
Targets: get_control_value and set_roi_format at least 5x faster than their ctypes calls.

Last, the same module calls without the cache of looked-up names that the module keeps fresh
with dict watchers (a key that is not a str in the module's namespace turns it off for the rest
of the process): what a build against the stable ABI, which has no dict watchers, would pay.
"""

import ctypes
import pathlib
import sys
import time
import timeit

from velmora.brinmoor import asisim, orvik

NUMBER = 200_000
REPEAT = 7


def per_call_ns(statement, number=NUMBER):
    timer = timeit.Timer(statement)
    return min(timer.repeat(REPEAT, number)) / number * 1e9


def cpu_ns(statement, number=NUMBER // 2, repeat=2 * REPEAT):
    """Best per-call CPU time of the calling thread: on a shared machine the wall clock also
    counts the time the thread waited for a core, which varies from run to run by more than the
    difference measured."""
    timer = timeit.Timer(statement, timer=time.thread_time)
    return min(timer.repeat(repeat, number)) / number * 1e9


def paired_ns(ours, theirs, number=NUMBER):
    """Best per-call times of two statements timed in alternation, so a busy machine slows both
    sides alike."""
    timers = timeit.Timer(ours), timeit.Timer(theirs)
    best = [float("inf"), float("inf")]
    for _ in range(REPEAT):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def sdk_library():
    path = pathlib.Path(orvik.__file__).with_name("libASICamera2.so")
    return ctypes.CDLL(str(path))


def main():
    asisim.reset()
    orvik.open_camera(0)
    orvik.init_camera(0)
    gain = orvik.ControlType.ASI_GAIN
    raw8 = orvik.ImgType.IMG_RAW8
    orvik.set_roi_format(0, 640, 480, 1, raw8)

    lib = sdk_library()
    get_value = lib.ASIGetControlValue
    get_value.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_long), ctypes.POINTER(ctypes.c_int)]
    get_value.restype = ctypes.c_int
    set_roi = lib.ASISetROIFormat
    set_roi.argtypes = [ctypes.c_int] * 5
    set_roi.restype = ctypes.c_int
    value, automatic = ctypes.c_long(), ctypes.c_int()
    value_ref, automatic_ref = ctypes.byref(value), ctypes.byref(automatic)

    rows = [
        ("builtin sys.getrecursionlimit()", per_call_ns(sys.getrecursionlimit)),
        ("orvik.get_number_of_connected_cameras()", per_call_ns(orvik.get_number_of_connected_cameras)),
        ("orvik.handle_error_code(0)", per_call_ns(lambda: orvik.handle_error_code(0))),
    ]
    # The lambda wrappers cost the same on both sides; measure it to show net figures too.
    wrapper = per_call_ns(lambda: None)
    pairs = [
        ("get_control_value(0, ASI_GAIN)",
         *paired_ns(lambda: orvik.get_control_value(0, gain), lambda: get_value(0, 0, value_ref, automatic_ref))),
        ("set_roi_format(0, 640, 480, 1, IMG_RAW8) positional",
         *paired_ns(lambda: orvik.set_roi_format(0, 640, 480, 1, raw8), lambda: set_roi(0, 640, 480, 1, 0))),
        ("set_roi_format(...) by keyword",
         *paired_ns(lambda: orvik.set_roi_format(camera_id=0, width=640, height=480, bin=1, img_type=raw8),
                    lambda: set_roi(0, 640, 480, 1, 0))),
    ]
    calls = [
        ("handle_error_code(0)", lambda: orvik.handle_error_code(0)),
        ("get_control_value(0, ASI_GAIN)", lambda: orvik.get_control_value(0, gain)),
        ("set_roi_format(0, 640, 480, 1, IMG_RAW8)", lambda: orvik.set_roi_format(0, 640, 480, 1, raw8)),
    ]
    cached = [cpu_ns(call) for _, call in calls]
    vars(orvik)[object()] = None  # for good: the namespace now has a key that is not a str
    uncached = [cpu_ns(call) for _, call in calls]
    orvik.close_camera(0)

    print(f"python {sys.version.split()[0]}, best of {REPEAT} x {NUMBER} calls; lambda wrapper {wrapper:.0f} ns")
    print(f"{'call':55} {'ns/call':>9}")
    for name, ns in rows:
        print(f"{name:55} {ns:9.0f}")
    print()
    print(f"{'operation':55} {'orvik':>9} {'ctypes':>9} {'speed-up':>9} {'net':>7}  target >= 5x")
    for name, ours, theirs in pairs:
        net = (theirs - wrapper) / max(ours - wrapper, 1e-9)
        print(f"{name:55} {ours:9.0f} {theirs:9.0f} {theirs / ours:8.1f}x {net:6.1f}x")
    print()
    print(f"{'CPU ns/call without the name cache (as a stable-ABI build)':55} {'cached':>9} {'uncached':>9} "
          f"{'cost':>7}")
    for (name, _), ours, theirs in zip(calls, cached, uncached):
        print(f"{name:55} {ours:9.0f} {theirs:9.0f} {(theirs - ours) / ours:+7.0%}")


if __name__ == "__main__":
    main()
