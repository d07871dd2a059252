"""Cost of one call through the module's function type, beside baselines measured in the same
run: a Python function, a built-in function and a ctypes call of the same SDK function.

    python benchmarks/bench_binding.py [--repeat N]
"""

import argparse
import ctypes
import glob
import os
import timeit

from velmora.brinmoor import orvik


def per_call_ns(stmt, namespace, number, repeat):
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def sdk_library():
    folder = os.path.dirname(orvik.__file__)
    candidates = glob.glob(os.path.join(folder, "libASICamera2*"))
    return ctypes.CDLL(candidates[0]) if candidates else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    def python_function(asi_error_code):
        return None

    namespace = {"orvik": orvik, "python_function": python_function, "abs": abs}
    rows = [
        ("baseline: Python def f(x): return None", "python_function(0)"),
        ("baseline: built-in abs(0)", "abs(0)"),
        ("handle_error_code(0)", "orvik.handle_error_code(0)"),
        ("handle_error_code(asi_error_code=0)", "orvik.handle_error_code(asi_error_code=0)"),
        ("handle_error_code(0.0)  (coerced)", "orvik.handle_error_code(0.0)"),
    ]
    library = sdk_library()
    if library is not None:
        count = library.ASIGetNumOfConnectedCameras
        count.restype = ctypes.c_int
        count.argtypes = []
        namespace["ctypes_count"] = count
        rows.append(("baseline: ctypes ASIGetNumOfConnectedCameras()", "ctypes_count()"))
    rows.append(("get_number_of_connected_cameras()", "orvik.get_number_of_connected_cameras()"))

    # A full successful operation: binding, handle_error_code lookup and hand-over, result.
    try:
        orvik.open_camera(0)
        orvik.init_camera(0)
        orvik.get_start_pos(0)
    except Exception as exc:  # no camera to talk to: leave the row out
        print(f"(no successful operation to time: {type(exc).__name__})")
    else:
        rows.append(("get_start_pos(0)  (full successful operation)", "orvik.get_start_pos(0)"))
        if library is not None:
            get = library.ASIGetStartPos
            get.restype = ctypes.c_int
            get.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
            x, y = ctypes.c_int(), ctypes.c_int()
            namespace.update(ctypes_get=get, x=x, y=y, byref=ctypes.byref)
            rows.append(("baseline: ctypes ASIGetStartPos(0, &x, &y)", "ctypes_get(0, byref(x), byref(y))"))

    width = max(len(label) for label, _ in rows)
    print(f"{'call':<{width}}  ns/call  (best of {args.repeat} x {args.number})")
    for label, stmt in rows:
        print(f"{label:<{width}}  {per_call_ns(stmt, namespace, args.number, args.repeat):7.1f}")


if __name__ == "__main__":
    main()
