"""A smoke run of an installed build on any processor, in one interpreter start: the module imports,
each of its operations is called once against the simulator, and seeded frames are taken.

    python tests/arch_smoke.py                   # prints one JSON object on stdout
    python tests/arch_smoke.py --compare A B     # two runs' objects must agree

The JSON holds what every call gave (records as their fields, exceptions as their class, bytes as
their SHA-256) and the digests of the frames; results that follow the host's clock (video frames,
dropped frames, an exposure's status while it runs) are kept as their type only. The same script
on another processor must give the same object but for "machine", "python" and "seconds":
`make test-aarch64` runs it under emulation and natively on x86-64 and compares. It needs the
module and the simulated library, nothing else (no numpy), so it runs on a bare interpreter.
Exits non-zero when an operation was left out or a frame has no content.
"""

import enum
import hashlib
import json
import os
import platform
import shutil
import sys
import tempfile
import time
from typing import Any

from functable import NAMES  # beside this script

SEED = 24
# A colour camera for the sky, a mono trigger camera with an ST4 port, a GPS camera.
COLOUR, MONO, GPS = 0, 1, 2
CAMERAS = ["ZWO ASI294MC Pro", "ZWO ASI174MM", "ZWO ASI678MC"]
VOLATILE = {"get_video_data", "get_video_data_gps", "get_dropped_frames", "get_exp_status"}
# What differs between two good runs on different machines.
HOST_FIELDS = ("machine", "python", "seconds")


def plain(value: object) -> object:
    """A JSON form of a result that is equal wherever the result is."""
    if isinstance(value, enum.Enum):
        return f"{type(value).__name__}.{value.name}"
    if value is None or isinstance(value, bool | int | float | str):
        return value
    if isinstance(value, bytes):
        return {"bytes": len(value), "sha256": hashlib.sha256(value).hexdigest()}
    if isinstance(value, list | tuple):
        return [plain(v) for v in value]
    fields: dict[str, object] = {}
    for name in dir(value):
        if name.startswith("_"):
            continue
        try:
            field = getattr(value, name)
        except ValueError as error:  # a serial number's bytes are not text
            fields[name] = f"raises {type(error).__name__}"
            continue
        if not callable(field):
            fields[name] = plain(field)
    return {type(value).__name__: fields}


class Smoke:
    def __init__(self, orvik: Any, asisim: Any) -> None:
        self.orvik, self.asisim = orvik, asisim
        self.results: dict[str, object] = {}
        self.frames: dict[str, bytes] = {}

    def call(self, name: str, *args: object) -> Any:
        """Calls the operation and keeps what it gave, a value or the class of its exception."""
        key = f"{name}{json.dumps(plain(args))}"
        try:
            value = getattr(self.orvik, name)(*args)
        except self.orvik.ASIError as error:
            self.results[key] = f"raises {type(error).__name__}"
            return None
        self.results[key] = type(value).__name__ if name in VOLATILE else plain(value)
        return value

    def frame(self, label: str, camera: int, width: int, height: int, bin: int, image_type: str,
              exposure_us: int) -> None:
        orvik = self.orvik
        kind = getattr(orvik.ImgType, image_type)
        self.call("set_roi_format", camera, width, height, bin, kind)
        self.call("set_control_value", camera, orvik.ControlType.ASI_EXPOSURE, exposure_us, False)
        self.call("start_exposure", camera, False)
        deadline = time.monotonic() + 300
        while self.call("get_exp_status", camera) == orvik.ExposureStatus.ASI_EXP_WORKING:
            if time.monotonic() > deadline:
                raise SystemExit(f"{label}: the exposure never ended")
            time.sleep(0.002)
        size = width * height * {"IMG_RAW16": 2, "IMG_RGB24": 3}.get(image_type, 1)
        self.frames[label] = self.call("get_data_after_exp", camera, size)

    def run(self) -> None:
        orvik, asisim, call = self.orvik, self.asisim, self.call
        C = orvik.ControlType
        asisim.reset(CAMERAS, seed=SEED)
        asisim.set_date(2026.25)  # stars' proper motions to a fixed day, not today's
        asisim.set_time_scale(1000)

        call("handle_error_code", 0)
        call("get_number_of_connected_cameras")
        call("camera_check", 0x03C3, 0x120A)
        call("get_sdk_version")
        call("get_camera_property", COLOUR)
        call("get_camera_property_by_id", MONO)
        for camera in (COLOUR, MONO, GPS):
            call("open_camera", camera)
            call("init_camera", camera)

        new_id = orvik.Id()
        new_id.id = "SMOKE-24"
        call("set_id", COLOUR, new_id)
        call("get_id", COLOUR)
        call("get_serial_number", COLOUR)

        modes = call("get_camera_support_mode", MONO)
        call("set_camera_mode", MONO, orvik.CameraMode(modes[1]))
        call("get_camera_mode", MONO)
        pin = orvik.TrigOutput.ASI_TRIG_OUTPUT_PINA
        call("set_trigger_output_io_conf", MONO, pin, True, 10, 1000)
        call("get_trigger_output_io_conf", MONO, int(pin))
        call("send_soft_trigger", MONO, False)
        call("set_camera_mode", MONO, orvik.CameraMode(modes[0]))

        for index in range(call("get_num_of_controls", COLOUR)):
            call("get_control_caps", COLOUR, index)
        call("get_gain_offset", COLOUR)
        call("get_lmh_gain_offset", COLOUR)
        call("enable_dark_subtract", COLOUR, "no-such-dark.bmp")
        call("disable_dark_subtract", COLOUR)

        # The seeded frames. The procedural night sky with every effect (stars, galaxies, noise,
        # patterns), RAW16.
        call("set_control_value", COLOUR, C.ASI_GAIN, 120, False)
        call("get_control_value", COLOUR, C.ASI_GAIN)
        call("set_start_pos", COLOUR, 1200, 900)
        call("get_start_pos", COLOUR)
        self.frame("night sky raw16", COLOUR, 512, 384, 1, "IMG_RAW16", 2_000_000)
        call("get_roi_format", COLOUR)
        call("stop_exposure", COLOUR)
        # The real sky (catalogue stars, the sky's geometry), binned and debayered into RGB24.
        asisim.point(COLOUR, 56.75, 24.12)
        self.frame("pointed rgb24", COLOUR, 256, 192, 2, "IMG_RGB24", 2_000_000)
        # Mid-scale light on every pixel: every rounding of the noise and the ADC shows in RAW16.
        asisim.flat_panel(MONO, 250000.0)
        call("set_control_value", MONO, C.ASI_GAIN, 0, False)
        self.frame("flat raw16", MONO, 512, 384, 1, "IMG_RAW16", 20_000)

        # A guide pulse lasts as long as the host takes between the two calls and moves the
        # camera's clock by as much: after its last frame.
        call("pulse_guide_on", MONO, orvik.GuideDirection.ASI_GUIDE_NORTH)
        call("pulse_guide_off", MONO, orvik.GuideDirection.ASI_GUIDE_NORTH)

        orvik.set_roi_format(GPS, 128, 96, 1, orvik.ImgType.IMG_RAW8)
        orvik.set_control_value(GPS, C.ASI_EXPOSURE, 10_000, False)
        call("start_exposure", GPS, True)
        while orvik.get_exp_status(GPS) == orvik.ExposureStatus.ASI_EXP_WORKING:
            time.sleep(0.002)
        call("get_data_after_exp_gps", GPS, 128 * 96)
        call("gps_get_data", GPS)
        call("start_video_capture", GPS)
        call("get_video_data", GPS, 128 * 96, 100_000)
        call("get_video_data_gps", GPS, 128 * 96, 100_000)
        call("get_dropped_frames", GPS)
        call("stop_video_capture", GPS)

        for camera in (COLOUR, MONO, GPS):
            call("close_camera", camera)


def smoke() -> int:
    started = time.monotonic()
    # The simulator's state folder outlives the process: a fresh one, so that every run starts
    # from the same cameras. Set before the library loads, which reads it.
    state = tempfile.mkdtemp(prefix="asisim-smoke-")
    os.environ["ASISIM_STATE_DIR"] = state
    try:
        from velmora.brinmoor import asisim, orvik

        run = Smoke(orvik, asisim)
        run.run()
    finally:
        shutil.rmtree(state, ignore_errors=True)
    called = {key.split("[", 1)[0] for key in run.results}
    missing = sorted(set(NAMES) - called)
    empty = sorted(label for label, data in run.frames.items() if not data or len(set(data)) < 2)
    print(json.dumps({
        "machine": platform.machine(),
        "python": platform.python_version(),
        "seconds": round(time.monotonic() - started, 1),
        "frames": {label: hashlib.sha256(data or b"").hexdigest() for label, data in run.frames.items()},
        "calls": run.results,
    }, indent=1, sort_keys=True))
    if missing:
        print(f"operations not called: {', '.join(missing)}", file=sys.stderr)
    if empty:
        print(f"frames without content: {', '.join(empty)}", file=sys.stderr)
    return 1 if missing or empty else 0


def compare(first: str, second: str) -> int:
    """0 when two runs agree but for the host; prints the frames' digests and each run's time."""
    with open(first) as f:
        a = json.load(f)
    with open(second) as f:
        b = json.load(f)
    for run in (a, b):
        print(f"{run['machine']} Python {run['python']}: {run['seconds']} s")
    for label, digest in sorted(a["frames"].items()):
        same = "same" if b["frames"].get(label) == digest else f"DIFFERS: {b['frames'].get(label)}"
        print(f"  {label}: {digest} {same}")
    differing = sorted(key for key in a["calls"].keys() | b["calls"].keys()
                       if a["calls"].get(key) != b["calls"].get(key))
    for key in differing:
        print(f"  {key}: {a['calls'].get(key)!r} != {b['calls'].get(key)!r}")
    strip = lambda run: {k: v for k, v in run.items() if k not in HOST_FIELDS}
    return 0 if strip(a) == strip(b) else 1


if __name__ == "__main__":
    if sys.argv[1:2] == ["--compare"] and len(sys.argv) == 4:
        sys.exit(compare(sys.argv[2], sys.argv[3]))
    if len(sys.argv) > 1:
        sys.exit(__doc__)
    sys.exit(smoke())
