"""Control of the simulated ASI cameras, for tests and for programs run without hardware.

The simulated ``libASICamera2`` installed beside this file exports, next to the camera SDK's
functions, a small control API: reset the cameras to power-on, queue scripted results for SDK
calls, read the journal of every SDK call, speed up simulated time, unplug and plug cameras,
turn the sensor model's effects (fixed pattern, glow, dust, ...) off for an ideal sensor,
put a flat panel or a dusk sky in front of a camera for calibration frames, set the errors of the
mount the cameras' telescopes ride on, and see and power-cycle the cameras that the processes of
this machine share.
This module wraps it with ``ctypes``. It loads the same library file that the ``orvik``
extension links against, so both see the same cameras.

The ctypes structures mirror the SDK's records with the platform's native ``long``, so a test
can build the data of a scripted result::

    asisim.script("ASIGetControlValue", 0, asisim.ControlValue(20000, 1))
"""

from __future__ import annotations

import ctypes
import datetime
import json
import operator
import os
import sys
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

from velmora.brinmoor import __version__
from velmora.brinmoor.cliparser import OneLineParser
from velmora.brinmoor.wording import plural

__all__ = [
    "ASI_CAMERA_INFO",
    "ASI_CONTROL_CAPS",
    "ASI_DATE_TIME",
    "ASI_GPS_DATA",
    "ASI_ID",
    "ASI_SUPPORTED_MODE",
    "ControlValue",
    "TriggerOutput",
    "DUSK_SKY_MAG",
    "LIGHT_PANEL",
    "LIGHT_SKY",
    "clear_scripts",
    "dusk_sky",
    "effect_enabled",
    "effect_names",
    "effects",
    "flat_panel",
    "ideal",
    "night_sky",
    "Pointing",
    "point",
    "unpoint",
    "pointing",
    "distortion",
    "star_position",
    "set_telescope",
    "set_tracking",
    "set_date",
    "date",
    "date_offset",
    "julian_epoch",
    "set_star_catalog",
    "star_catalog_info",
    "set_effect",
    "set_light",
    "set_mount",
    "journal",
    "journal_clear",
    "journal_count",
    "journal_entry",
    "library",
    "machine_state",
    "camera_key",
    "held_by",
    "main",
    "models",
    "mount",
    "mount_parameter_names",
    "mount_settings",
    "plug",
    "power_cycle",
    "reset",
    "script",
    "seed",
    "set_time_scale",
    "time_scale",
    "state_dir",
    "unknown_models",
    "unplug",
]

_LIBRARY_NAME = "libASICamera2.so"

# ctypes passes a Python int to a C int argument modulo 2**32 without a word (2**32 becomes 0),
# so every integer argument is checked against the C type's range before the call.
_C_INT_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_int) - 1) - 1
_C_INT_MIN = -_C_INT_MAX - 1


def _c_int(value: int, what: str) -> int:
    """``value`` as the C int it is passed as; ValueError for one outside a C int's range (which
    ctypes would wrap round to another, valid, value), TypeError for a non-integer."""
    number = operator.index(value)
    if not _C_INT_MIN <= number <= _C_INT_MAX:
        raise ValueError(f"{what} {number} is out of range (a C int: {_C_INT_MIN} to {_C_INT_MAX})")
    return number


class ASI_CAMERA_INFO(ctypes.Structure):
    _fields_ = [
        ("Name", ctypes.c_char * 64),
        ("CameraID", ctypes.c_int),
        ("MaxHeight", ctypes.c_long),
        ("MaxWidth", ctypes.c_long),
        ("IsColorCam", ctypes.c_int),
        ("BayerPattern", ctypes.c_int),
        ("SupportedBins", ctypes.c_int * 16),
        ("SupportedVideoFormat", ctypes.c_int * 8),
        ("PixelSize", ctypes.c_double),
        ("MechanicalShutter", ctypes.c_int),
        ("ST4Port", ctypes.c_int),
        ("IsCoolerCam", ctypes.c_int),
        ("IsUSB3Host", ctypes.c_int),
        ("IsUSB3Camera", ctypes.c_int),
        ("ElecPerADU", ctypes.c_float),
        ("BitDepth", ctypes.c_int),
        ("IsTriggerCam", ctypes.c_int),
        ("Unused", ctypes.c_char * 16),
    ]


class ASI_CONTROL_CAPS(ctypes.Structure):
    _fields_ = [
        ("Name", ctypes.c_char * 64),
        ("Description", ctypes.c_char * 128),
        ("MaxValue", ctypes.c_long),
        ("MinValue", ctypes.c_long),
        ("DefaultValue", ctypes.c_long),
        ("IsAutoSupported", ctypes.c_int),
        ("IsWritable", ctypes.c_int),
        ("ControlType", ctypes.c_int),
        ("Unused", ctypes.c_char * 32),
    ]


class ASI_ID(ctypes.Structure):
    _fields_ = [("id", ctypes.c_ubyte * 8)]


class ASI_SUPPORTED_MODE(ctypes.Structure):
    _fields_ = [("SupportedCameraMode", ctypes.c_int * 16)]


class ASI_DATE_TIME(ctypes.Structure):
    _fields_ = [
        ("Year", ctypes.c_int),
        ("Month", ctypes.c_int),
        ("Day", ctypes.c_int),
        ("Hour", ctypes.c_int),
        ("Minute", ctypes.c_int),
        ("Second", ctypes.c_int),
        ("Msecond", ctypes.c_int),
        ("Usecond", ctypes.c_int),
        ("Unused", ctypes.c_char * 64),
    ]


class ASI_GPS_DATA(ctypes.Structure):
    _fields_ = [
        ("Datetime", ASI_DATE_TIME),
        ("Latitude", ctypes.c_double),
        ("Longitude", ctypes.c_double),
        ("Altitude", ctypes.c_int),
        ("SatelliteNum", ctypes.c_int),
        ("Unused", ctypes.c_char * 64),
    ]


class ControlValue(ctypes.Structure):
    """Scripted outputs of ``ASIGetControlValue``: the value and the automatic flag."""

    _fields_ = [("value", ctypes.c_long), ("automatic", ctypes.c_int)]


class TriggerOutput(ctypes.Structure):
    """Scripted outputs of ``ASIGetTriggerOutputIOConf``: level, delay and duration."""

    _fields_ = [("pin_high", ctypes.c_int), ("delay", ctypes.c_long), ("duration", ctypes.c_long)]


class _PointingRecord(ctypes.Structure):
    _fields_ = [
        ("pointed", ctypes.c_int),
        ("tracking", ctypes.c_int),
        ("ra_deg", ctypes.c_double),
        ("dec_deg", ctypes.c_double),
        ("angle_deg", ctypes.c_double),
        ("focal_mm", ctypes.c_double),
        ("aperture_mm", ctypes.c_double),
    ]


class _SensorResponseRecord(ctypes.Structure):
    _fields_ = [
        ("electrons_per_adu", ctypes.c_double),
        ("full_well_e", ctypes.c_double),
        ("adc_bits", ctypes.c_int),
    ]


def _load() -> ctypes.CDLL:
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), _LIBRARY_NAME)
    lib = ctypes.CDLL(path)
    if not hasattr(lib, "asisim_reset"):
        # A package built against the vendor's SDK installs that library here instead.
        raise ImportError(f"{path} is not the simulated camera library; asisim needs the simulator")
    lib.asisim_reset.argtypes = [ctypes.c_char_p]
    lib.asisim_reset.restype = ctypes.c_int
    lib.asisim_reset_seeded.argtypes = [ctypes.c_char_p, ctypes.c_ulonglong]
    lib.asisim_reset_seeded.restype = ctypes.c_int
    lib.asisim_seed.argtypes = []
    lib.asisim_seed.restype = ctypes.c_ulonglong
    lib.asisim_power_cycle.argtypes = []
    lib.asisim_power_cycle.restype = ctypes.c_int
    lib.asisim_state_dir.argtypes = []
    lib.asisim_state_dir.restype = ctypes.c_char_p
    lib.asisim_machine_state.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    lib.asisim_machine_state.restype = ctypes.c_int
    lib.asisim_script.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
    lib.asisim_script.restype = ctypes.c_int
    lib.asisim_clear_scripts.argtypes = []
    lib.asisim_clear_scripts.restype = None
    lib.asisim_journal_count.argtypes = []
    lib.asisim_journal_count.restype = ctypes.c_int
    lib.asisim_journal_entry.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
    lib.asisim_journal_entry.restype = ctypes.c_int
    lib.asisim_journal_clear.argtypes = []
    lib.asisim_journal_clear.restype = None
    lib.asisim_simd_path.argtypes = []
    lib.asisim_simd_path.restype = ctypes.c_char_p
    lib.asisim_set_time_scale.argtypes = [ctypes.c_double]
    lib.asisim_set_time_scale.restype = None
    lib.asisim_time_scale.argtypes = []
    lib.asisim_time_scale.restype = ctypes.c_double
    lib.asisim_unplug.argtypes = [ctypes.c_int]
    lib.asisim_unplug.restype = ctypes.c_int
    lib.asisim_plug.argtypes = [ctypes.c_int]
    lib.asisim_plug.restype = ctypes.c_int
    lib.asisim_model_name.argtypes = [ctypes.c_int]
    lib.asisim_model_name.restype = ctypes.c_char_p
    lib.asisim_set_effect.argtypes = [ctypes.c_char_p, ctypes.c_int]
    lib.asisim_set_effect.restype = ctypes.c_int
    lib.asisim_effect_enabled.argtypes = [ctypes.c_char_p]
    lib.asisim_effect_enabled.restype = ctypes.c_int
    lib.asisim_effect_name.argtypes = [ctypes.c_int]
    lib.asisim_effect_name.restype = ctypes.c_char_p
    lib.asisim_set_light.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_double]
    lib.asisim_set_light.restype = ctypes.c_int
    lib.asisim_set_mount.argtypes = [ctypes.c_char_p, ctypes.c_double]
    lib.asisim_set_mount.restype = ctypes.c_int
    lib.asisim_get_mount.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_double)]
    lib.asisim_get_mount.restype = ctypes.c_int
    lib.asisim_mount_parameter_name.argtypes = [ctypes.c_int]
    lib.asisim_mount_parameter_name.restype = ctypes.c_char_p
    lib.asisim_point.argtypes = [ctypes.c_int, ctypes.c_double, ctypes.c_double, ctypes.c_double]
    lib.asisim_point.restype = ctypes.c_int
    lib.asisim_unpoint.argtypes = [ctypes.c_int]
    lib.asisim_unpoint.restype = ctypes.c_int
    lib.asisim_set_telescope.argtypes = [ctypes.c_int, ctypes.c_double, ctypes.c_double]
    lib.asisim_set_telescope.restype = ctypes.c_int
    lib.asisim_set_tracking.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.asisim_set_tracking.restype = ctypes.c_int
    lib.asisim_get_pointing.argtypes = [ctypes.c_int, ctypes.POINTER(_PointingRecord)]
    lib.asisim_get_pointing.restype = ctypes.c_int
    lib.asisim_get_distortion.argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_double)]
    lib.asisim_get_distortion.restype = ctypes.c_int
    lib.asisim_star_position.argtypes = [ctypes.c_int, ctypes.c_double, ctypes.c_double,
                                         ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)]
    lib.asisim_star_position.restype = ctypes.c_int
    lib.asisim_sensor_response.argtypes = [ctypes.c_int, ctypes.c_int,
                                            ctypes.POINTER(_SensorResponseRecord)]
    lib.asisim_sensor_response.restype = ctypes.c_int
    lib.asisim_set_date.argtypes = [ctypes.c_double]
    lib.asisim_set_date.restype = ctypes.c_int
    lib.asisim_get_date.argtypes = []
    lib.asisim_get_date.restype = ctypes.c_double
    lib.asisim_date_offset.argtypes = []
    lib.asisim_date_offset.restype = ctypes.c_double
    lib.asisim_set_star_catalog.argtypes = [ctypes.c_char_p]
    lib.asisim_set_star_catalog.restype = ctypes.c_long
    lib.asisim_star_catalog_info.argtypes = [
        ctypes.POINTER(ctypes.c_long),
        ctypes.POINTER(ctypes.c_long),
        ctypes.POINTER(ctypes.c_double),
    ]
    lib.asisim_star_catalog_info.restype = None
    return lib


library = _load()
"""The simulated SDK library itself, for calling its ASI* functions through ctypes."""


def models() -> list[str]:
    """Names of every camera model the simulator knows, as the SDK reports them, catalogue order."""
    names: list[str] = []
    while (name := library.asisim_model_name(len(names))) is not None:
        names.append(name.decode("utf-8"))
    return names


def unknown_models(cameras: str) -> list[str]:
    """The names in a comma-separated list of models (as ``ASISIM_CAMERAS`` takes it) that are
    not simulated models, in list order; an empty list when every name is one."""
    if not cameras:
        return []
    known = set(models())
    return [name for name in (part.strip(" \t") for part in cameras.split(",")) if name not in known]


def reset(cameras: str | Iterable[str] | None = None, seed: int | None = None) -> None:
    """Back to power-on: the named cameras (exact model names), or the load-time set for None.

    ``cameras`` is a comma-separated string or an iterable of names. ``seed`` (0 to 2**64 - 1)
    makes the power-on repeatable: the same seed, calls and starting state give the same image
    bytes; without it the power-on takes ``ASISIM_SEED`` or draws a fresh seed. Raises ValueError
    for an unknown name or a seed out of range, in which case nothing changes.
    """
    if cameras is not None and not isinstance(cameras, str):
        cameras = ",".join(cameras)
    arg = None if cameras is None else cameras.encode("utf-8")
    if seed is None:
        rc = library.asisim_reset(arg)
    else:
        if not 0 <= seed < 2**64:
            raise ValueError(f"seed {seed} is not in 0 to 2**64 - 1")
        rc = library.asisim_reset_seeded(arg, seed)
    if rc != 0:
        raise ValueError(f"unknown camera model in {cameras!r}")


def seed() -> int:
    """The seed of the present power-on (drawn or given): ``ASISIM_SEED`` set to it, or
    ``reset(seed=...)`` with it, repeats the run."""
    return int(library.asisim_seed())


def script(function: str, code: int, data: bytes | bytearray | memoryview | ctypes._CData | None = None) -> None:
    """Queue a scripted result for the next call of the SDK function named ``function``.

    ``data`` (bytes or a ctypes object) fills the call's outputs when ``code`` is 0. Raises
    ValueError for an unknown function or data of the wrong size for that function.
    """
    keep: object = None  # the buffer behind ptr, alive until the library has copied it
    if data is None:
        ptr, size = None, 0
    elif isinstance(data, (bytes, bytearray, memoryview)):
        raw = bytes(data)
        keep = ctypes.create_string_buffer(raw, len(raw)) if raw else ctypes.create_string_buffer(1)
        ptr, size = ctypes.cast(keep, ctypes.c_void_p), len(raw)
    elif isinstance(data, ctypes._SimpleCData | ctypes.Structure | ctypes.Union | ctypes.Array):
        keep = data
        ptr, size = ctypes.cast(ctypes.pointer(data), ctypes.c_void_p), ctypes.sizeof(data)
    else:
        raise TypeError(f"data must be bytes or a ctypes object, not {type(data).__name__}")
    rc = library.asisim_script(function.encode("utf-8"), _c_int(code, "result code"), ptr, size)
    del keep  # the library copied the data
    if rc != 0:
        raise ValueError(f"cannot script {function!r} with {size} bytes of data")


def clear_scripts() -> None:
    """Drop every queued script."""
    library.asisim_clear_scripts()


def journal_count() -> int:
    """Number of journal lines kept (the newest 4096 calls at most)."""
    return int(library.asisim_journal_count())


def journal_entry(index: int) -> str:
    """Journal line ``index``: 0 the oldest kept, -1 the newest. ValueError when out of range."""
    size = 256
    while True:
        buf = ctypes.create_string_buffer(size)
        n = library.asisim_journal_entry(_c_int(index, "journal index"), buf, size)
        if n < 0:
            raise ValueError(f"journal index {index} out of range")
        if n < size:
            return buf.raw[:n].decode("ascii", "backslashreplace")
        size = n + 1


def journal() -> list[str]:
    """Every journal line kept, oldest first."""
    return [journal_entry(i) for i in range(journal_count())]


def journal_clear() -> None:
    """Empty the journal."""
    library.asisim_journal_clear()


def set_time_scale(factor: float) -> None:
    """Simulated seconds per real second (1000 runs a 1 s exposure in 1 ms); 0 or less is ignored."""
    library.asisim_set_time_scale(float(factor))


def time_scale() -> float:
    """Simulated seconds per real second in force: ``ASISIM_TIME_SCALE`` at load, or the last
    ``set_time_scale``."""
    return float(library.asisim_time_scale())


def unplug(camera_id: int) -> None:
    """Disconnect a camera: its calls get the camera-removed code. ValueError for an unknown ID."""
    if library.asisim_unplug(_c_int(camera_id, "camera ID")) != 0:
        raise ValueError(f"no camera with ID {camera_id}")


def plug(camera_id: int) -> None:
    """Reconnect an unplugged camera, closed. ValueError for an unknown ID."""
    if library.asisim_plug(_c_int(camera_id, "camera ID")) != 0:
        raise ValueError(f"no camera with ID {camera_id}")


LIGHT_SKY = 0
"""Light source: the night sky (``level``: magnitudes per square arcsecond, 0 for the site's)."""
LIGHT_PANEL = 1
"""Light source: a uniform flat panel (``level``: photoelectrons per second per pixel at the centre)."""
DUSK_SKY_MAG = 11.0
"""Sky brightness at dusk, magnitudes per square arcsecond: bright enough for sky flats."""


def effect_names() -> list[str]:
    """Names of the sensor and optics model's effects, in the order the guide lists them."""
    names: list[str] = []
    while (name := library.asisim_effect_name(len(names))) is not None:
        names.append(name.decode("ascii"))
    return names


def simd_path() -> str:
    """The kernels frames are made with: ``"scalar"``, ``"sse2"`` or ``"avx2"`` (the widest the
    processor has, unless ``ASISIM_SIMD`` named a narrower one when the library was loaded)."""
    name: bytes = library.asisim_simd_path()
    return name.decode("ascii")


def set_effect(name: str, enabled: bool) -> None:
    """Turn one effect (or ``"all"``) on or off for every camera. ValueError for an unknown name."""
    if library.asisim_set_effect(name.encode("ascii"), 1 if enabled else 0) != 0:
        raise ValueError(f"unknown effect {name!r}")


def effect_enabled(name: str) -> bool:
    """Whether an effect is on (for ``"all"``: every one). ValueError for an unknown name."""
    state: int = library.asisim_effect_enabled(name.encode("ascii"))
    if state < 0:
        raise ValueError(f"unknown effect {name!r}")
    return state == 1


def effects() -> dict[str, bool]:
    """Every effect's name and whether it is on."""
    return {name: effect_enabled(name) for name in effect_names()}


def ideal() -> None:
    """An ideal sensor and optics: every effect off (``reset`` turns them on again)."""
    set_effect("all", False)


def set_light(camera_id: int, source: int, level: float = 0.0) -> None:
    """Put a light source (LIGHT_SKY or LIGHT_PANEL, see there for ``level``) in front of a camera.

    ValueError for an unknown camera ID or source, or a level out of range.
    """
    if library.asisim_set_light(_c_int(camera_id, "camera ID"), _c_int(source, "light source"),
                             float(level)) != 0:
        raise ValueError(f"cannot set light source {source} at {level} for camera {camera_id}")


def flat_panel(camera_id: int, electrons_per_s: float) -> None:
    """A uniform flat panel over the camera's telescope, at a brightness in photoelectrons per
    second in an unbinned pixel at the sensor's centre (a green pixel on colour sensors)."""
    set_light(camera_id, LIGHT_PANEL, electrons_per_s)


def dusk_sky(camera_id: int, mag_per_arcsec2: float = DUSK_SKY_MAG) -> None:
    """The sky at dusk in front of the camera, for sky flats (stars still faintly show)."""
    set_light(camera_id, LIGHT_SKY, mag_per_arcsec2)


def night_sky(camera_id: int) -> None:
    """Back to the night sky of the site (ASISIM_SKY_MAG)."""
    set_light(camera_id, LIGHT_SKY, 0.0)


def mount_parameter_names() -> list[str]:
    """Names of the mount's settings, in the order the guide lists them."""
    names: list[str] = []
    while (name := library.asisim_mount_parameter_name(len(names))) is not None:
        names.append(name.decode("ascii"))
    return names


def set_mount(name: str, value: float) -> None:
    """Set one of the mount's settings (see ``mount_parameter_names``) for every camera.

    ``periodic_error_arcsec`` (peak to peak), ``periodic_error_period_s``, ``polar_error_arcmin``,
    ``dec_backlash_arcsec``, ``seeing_jitter_arcsec`` (one sigma per axis of a 1 s exposure) and
    ``guide_rate`` (fraction of sidereal). ``reset`` restores the defaults. ValueError for an
    unknown name or a value out of range.
    """
    if library.asisim_set_mount(name.encode("ascii"), float(value)) != 0:
        raise ValueError(f"cannot set the mount's {name!r} to {value!r}")


def mount(name: str) -> float:
    """The present value of one of the mount's settings. ValueError for an unknown name."""
    value = ctypes.c_double()
    if library.asisim_get_mount(name.encode("ascii"), ctypes.byref(value)) != 0:
        raise ValueError(f"unknown mount setting {name!r}")
    return float(value.value)


def mount_settings() -> dict[str, float]:
    """Every mount setting's name and present value."""
    return {name: mount(name) for name in mount_parameter_names()}


@dataclass(frozen=True)
class Pointing:
    """Where a simulated camera's telescope points (J2000 degrees), and the telescope."""

    ra_deg: float
    dec_deg: float
    angle_deg: float
    focal_mm: float
    aperture_mm: float
    tracking: bool


def point(camera_id: int, ra_deg: float, dec_deg: float, angle_deg: float = 0.0) -> None:
    """Point a camera's telescope at (ra_deg, dec_deg), J2000, with the sensor turned by the
    position angle ``angle_deg`` (of the sensor's +y axis, from north through east; at 0 north
    runs along +y, down the rows, and east along +x). The camera then sees the real sky there.

    ValueError for an unknown camera ID or a declination outside -90..90.
    """
    if library.asisim_point(_c_int(camera_id, "camera ID"), float(ra_deg), float(dec_deg), float(angle_deg)) != 0:
        raise ValueError(f"cannot point camera {camera_id} at RA {ra_deg}, Dec {dec_deg}, angle {angle_deg}")


def unpoint(camera_id: int) -> None:
    """Back to the procedural sky (``reset`` does this for every camera)."""
    if library.asisim_unpoint(_c_int(camera_id, "camera ID")) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")


def pointing(camera_id: int) -> Pointing | None:
    """The camera's pointing and telescope, or None while it shows the procedural sky."""
    rec = _PointingRecord()
    if library.asisim_get_pointing(_c_int(camera_id, "camera ID"), ctypes.byref(rec)) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")
    if not rec.pointed:
        return None
    return Pointing(rec.ra_deg, rec.dec_deg, rec.angle_deg, rec.focal_mm, rec.aperture_mm, bool(rec.tracking))


def distortion(camera_id: int) -> float:
    """The optics' pincushion in front of a camera: a star whose undistorted image lies r unbinned
    pixels from the sensor's centre (width / 2, height / 2) lands r (1 + k r**2) from it. Returns
    k in 1 / pixel**2, 0 with the ``star_profile`` effect off; ValueError for an unknown camera ID."""
    k = ctypes.c_double()
    if library.asisim_get_distortion(_c_int(camera_id, "camera ID"), ctypes.byref(k)) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")
    return float(k.value)


def star_position(camera_id: int, ra_deg: float, dec_deg: float) -> tuple[float, float] | None:
    """Where a star at (ra_deg, dec_deg), J2000 without proper motion, lands on a pointed camera's
    sensor behind a perfectly tracking mount: unbinned sensor pixels (x, y), pixel (i, j) spanning
    [i, i + 1) x [j, j + 1), the optics' pincushion included. None for an unpointed camera or a
    direction 90 degrees or more away; ValueError for an unknown camera ID."""
    cid = _c_int(camera_id, "camera ID")
    if library.asisim_get_distortion(cid, ctypes.byref(ctypes.c_double())) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")
    x, y = ctypes.c_double(), ctypes.c_double()
    if library.asisim_star_position(cid, float(ra_deg), float(dec_deg), ctypes.byref(x), ctypes.byref(y)) != 0:
        return None
    return float(x.value), float(y.value)


@dataclass(frozen=True)
class SensorResponse:
    """How a simulated camera's sensor turns charge into values at one gain setting."""

    electrons_per_adu: float
    """Electrons per ADU at the ADC's bit depth (before RAW16's shift or RAW8's cut)."""
    full_well_e: float
    """Electrons an (unbinned) pixel holds."""
    adc_bits: int


def sensor_response(camera_id: int, gain: int) -> SensorResponse:
    """The conversion factor, full well and ADC bits of a camera at `gain`: the figures its
    images follow (the catalogue's curves); ValueError for an unknown camera ID."""
    rec = _SensorResponseRecord()
    if library.asisim_sensor_response(_c_int(camera_id, "camera ID"), _c_int(gain, "gain"), ctypes.byref(rec)) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")
    return SensorResponse(rec.electrons_per_adu, rec.full_well_e, rec.adc_bits)


def set_telescope(camera_id: int, focal_mm: float = 0.0, aperture_mm: float = 0.0) -> None:
    """The telescope in front of one camera: focal length (10-20000 mm) and aperture (5-2000 mm);
    0 keeps the default (ASISIM_FOCAL_MM, ASISIM_APERTURE_MM)."""
    if library.asisim_set_telescope(_c_int(camera_id, "camera ID"), float(focal_mm), float(aperture_mm)) != 0:
        raise ValueError(f"cannot set focal length {focal_mm} mm, aperture {aperture_mm} mm for camera {camera_id}")


def set_tracking(camera_id: int, on: bool) -> None:
    """Tracking at the sidereal rate (on at reset); off, the sky drifts west and stars trail."""
    if library.asisim_set_tracking(_c_int(camera_id, "camera ID"), 1 if on else 0) != 0:
        raise ValueError(f"unknown camera ID {camera_id}")


def julian_epoch(when: datetime.datetime | datetime.date) -> float:
    """The Julian epoch (2000.0 is 2000-01-01 12:00 TT, near enough UTC here) of a date or time."""
    if isinstance(when, datetime.datetime):
        utc = when.astimezone(datetime.timezone.utc) if when.tzinfo else when
        days = (utc.replace(tzinfo=None) - datetime.datetime(2000, 1, 1, 12)).total_seconds() / 86400.0
    else:
        days = (when - datetime.date(2000, 1, 1)).days - 0.5
    return 2000.0 + days / 365.25


def set_date(when: float | datetime.datetime | datetime.date | None) -> None:
    """The simulated date (a Julian epoch such as 2026.9, or a date or time) at the start of every
    camera's scene clock; stars' proper motions carry them to it. None: back to the default
    (ASISIM_DATE, or the day the library was loaded)."""
    epoch = 0.0 if when is None else when if isinstance(when, (int, float)) else julian_epoch(when)
    if library.asisim_set_date(float(epoch)) != 0:
        raise ValueError(f"date {when!r} is outside the years 1000 to 3000")


def date() -> float:
    """The simulated date as a Julian epoch."""
    return float(library.asisim_get_date())


def date_offset() -> float:
    """Seconds from the real date to the simulated one (the simulated date less the moment the
    library was loaded; 0 at the default date). Frame times are the real ones moved by it."""
    return float(library.asisim_date_offset())


def set_star_catalog(path: str | os.PathLike[str] | None) -> int:
    """Use the ``.stars`` file at ``path`` as the deep star catalogue (``""``: none, the bundled
    Hipparcos alone; None: the default). Returns its number of stars; ValueError for a missing
    or malformed file."""
    arg = None if path is None else os.fsencode(path)
    n = int(library.asisim_set_star_catalog(arg))
    if n < 0:
        raise ValueError(f"{path}: not a readable star catalogue")
    return n


def star_catalog_info() -> tuple[int, int, float]:
    """Stars in the bundled and the deep catalogue, and the magnitude where filler stars begin."""
    bundled, deep, filler = ctypes.c_long(), ctypes.c_long(), ctypes.c_double()
    library.asisim_star_catalog_info(ctypes.byref(bundled), ctypes.byref(deep), ctypes.byref(filler))
    return int(bundled.value), int(deep.value), float(filler.value)


def state_dir() -> str:
    """The folder with the state of the machine's simulated cameras (``ASISIM_STATE_DIR``, else
    ``$XDG_RUNTIME_DIR/asisim``, else ``/tmp/asisim-<uid>``); "" when none could be made, in which
    case every process has cameras of its own."""
    raw: bytes = library.asisim_state_dir()
    return os.fsdecode(raw)


def machine_state() -> dict[str, Any]:
    """The machine's simulated cameras: ``{"state_dir": ..., "cameras": [...]}``, each camera a
    dict with its ``key`` (position and model), ``held_by`` (the ID of the process that has it
    open, or None), ``state`` ("saved", "damaged" or None) and, when saved, ``model``,
    ``temperature_c`` (worked out to now), ``cooler_on``, ``target_c``, ``cooler_power`` (percent),
    ``clock_s`` (the camera's own clock), ``frames`` and ``saved_s_ago``."""
    size = 4096
    while True:
        buf = ctypes.create_string_buffer(size)
        n = library.asisim_machine_state(buf, size)
        if n < size:
            result: dict[str, Any] = json.loads(buf.raw[:n].decode("utf-8"))
            return result
        size = n + 1


def power_cycle() -> int:
    """Power off and on every simulated camera of the machine: this process's cameras come back
    closed at power-on, every camera that no other process holds forgets its temperature, cooler
    and clock. Returns how many cameras were left alone because another process has them open."""
    return int(library.asisim_power_cycle())


def camera_key(camera_id: int, model: str) -> str:
    """The name a camera's files have in the state folder (the ``key`` of `machine_state`): its
    position and its model, as ``camera0-ZWO_ASI294MC_Pro``."""
    name = "".join(chr(b) if chr(b).isascii() and chr(b).isalnum() else "_" for b in model.encode())
    return f"camera{_c_int(camera_id, 'camera ID')}-{name}"


def held_by(camera_id: int, model: str) -> int | None:
    """The ID of the process that has the simulated camera at this position (with this model)
    open, this process's own included; None when no process has it open."""
    key = camera_key(camera_id, model)
    for cam in machine_state()["cameras"]:
        if cam["key"] == key:
            holder: int | None = cam["held_by"]
            return holder
    return None


def _describe(cam: dict[str, Any]) -> str:
    if cam.get("lock_error"):
        holder = f"cannot be opened ({cam['lock_error']})"
    else:
        holder = f"open in process {cam['held_by']}" if cam["held_by"] is not None else "free"
    if cam["state"] == "damaged":
        return f"{cam['key']}: {holder}, saved state damaged (it starts from power-on)"
    if cam["state"] is None:
        return f"{cam['key']}: {holder}, at power-on"
    cooler = (f"cooler on, target {cam['target_c']} C, power {cam['cooler_power']:.0f} %"
              if cam["cooler_on"] else "cooler off")
    return (f"{cam['key']}: {holder}, {cam['temperature_c']:.1f} C, {cooler}, clock {cam['clock_s']:.1f} s, "
            f"{plural(cam['frames'], 'frame')}, saved {cam['saved_s_ago']:.0f} s ago")


def main(argv: Sequence[str] | None = None) -> int:
    """``orvik-sim`` (also ``python -m velmora.brinmoor.asisim``): show or power-cycle the state of
    the machine's simulated cameras."""
    parser = OneLineParser(
        prog="orvik-sim",
        description="The simulated cameras this machine's processes share: who has them open, "
                    "their temperature, cooler and clock, kept while they stay powered.")
    parser.add_argument("--version", action="version", version=f"orvik-sim {__version__}")
    sub = parser.add_subparsers(dest="command")
    show = sub.add_parser("show", help="show the state folder and every camera in it (the default)")
    show.add_argument("--json", action="store_true", help="print it as JSON")
    sub.add_parser("power-cycle", help="power every simulated camera off and on: each one no process "
                                       "has open forgets its temperature, cooler and clock")
    args = parser.parse_args(argv)
    out = sys.stdout
    if args.command == "power-cycle":
        held = power_cycle()
        state = machine_state()
        print(f"Powered off and on the simulated cameras in {state['state_dir']}", file=out)
        for cam in state["cameras"]:
            if cam["held_by"] is not None:
                print(f"{cam['key']}: left alone, open in process {cam['held_by']}", file=out)
        return 1 if held else 0
    state = machine_state()
    if getattr(args, "json", False):
        print(json.dumps(state, indent=2), file=out)
        return 0
    if not state["state_dir"]:
        print("No state folder: every process has simulated cameras of its own", file=out)
        return 1
    print(f"State folder: {state['state_dir']}", file=out)
    if not state["cameras"]:
        print("No camera has been used since the last power cycle", file=out)
    for cam in state["cameras"]:
        print(_describe(cam), file=out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
