"""The Camera class: one opened camera, its controls, region of interest, exposures and video."""

from __future__ import annotations

import math
import threading
import time
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from types import TracebackType
from typing import TYPE_CHECKING, Final, ParamSpec, TypeVar

from velmora.brinmoor import orvik

from .controls import (
    CELSIUS,
    FLAG,
    INTEGER,
    PERCENT,
    SECONDS,
    TENTHS_CELSIUS,
    Codec,
    ControlProperty,
    Controls,
    ControlSlot,
    ReadOnlyProperty,
)
from .errors import ExposureFailed, UnsupportedControl, add_context, out_of_range
from .frames import Frame, FrameMetadata
from .info import CameraDescription, find
from .roi import HEIGHT_STEP, WIDTH_STEP, Roi, image_type_member, image_type_name

if TYPE_CHECKING:
    from .stream import AsyncStream, Stream

P = ParamSpec("P")
R = TypeVar("R")

# A camera may report idle for a moment after an exposure was started; longer means it was lost.
IDLE_GRACE_S: Final = 1.0
# The longest single wait inside the layer: Ctrl-C and close() take effect within this.
MAX_WAIT_S: Final = 0.1
# Extra time an exposure may take beyond its length before expose() gives up by default.
EXPOSURE_TIMEOUT_MARGIN_S: Final = 60.0

GuideDirectionName = str


def utc_now() -> datetime:
    return datetime.now(timezone.utc)


def _guide_direction(direction: str | orvik.GuideDirection) -> orvik.GuideDirection:
    if isinstance(direction, orvik.GuideDirection):
        return direction
    name = str(direction).upper()
    member = getattr(orvik.GuideDirection, f"ASI_GUIDE_{name}", None)
    if not isinstance(member, orvik.GuideDirection):
        raise ValueError(
            f"guide direction {direction!r} is not one of north, south, east, west"
        )
    return member


class Camera:
    """An opened camera, chosen by index (`Camera(0)`) or by part of its name (`Camera("ASI120")`).

    Creating it opens and initialises the camera; `close()`, or leaving a `with` block, stops any
    video capture, exposure and guide pulse and closes it. Each operation of several SDK calls
    holds the camera's lock, so one Camera can be shared by threads.
    """

    # Controls in natural units: the SDK control, the name messages use, the unit conversion.
    gain = ControlProperty("ASI_GAIN", "gain", INTEGER)
    exposure = ControlProperty("ASI_EXPOSURE", "exposure", SECONDS)
    """Exposure time in seconds (the SDK counts microseconds)."""
    offset = ControlProperty("ASI_OFFSET", "offset", INTEGER)
    temperature = ReadOnlyProperty("ASI_TEMPERATURE", "temperature", TENTHS_CELSIUS)
    """Sensor temperature in degrees Celsius (read-only)."""
    target_temperature = ControlProperty("ASI_TARGET_TEMP", "cooler target temperature", CELSIUS)
    """Cooler target in whole degrees Celsius."""
    cooler = ControlProperty("ASI_COOLER_ON", "cooler", FLAG)
    cooler_power = ReadOnlyProperty("ASI_COOLER_POWER_PERC", "cooler power", PERCENT)
    fan = ControlProperty("ASI_FAN_ON", "fan", FLAG)
    anti_dew_heater = ControlProperty("ASI_ANTI_DEW_HEATER", "anti-dew heater", FLAG)
    bandwidth = ControlProperty("ASI_BANDWIDTHOVERLOAD", "USB bandwidth", PERCENT)
    high_speed = ControlProperty("ASI_HIGH_SPEED_MODE", "high-speed mode", FLAG)
    hardware_bin = ControlProperty("ASI_HARDWARE_BIN", "hardware binning", FLAG)
    mono_bin = ControlProperty("ASI_MONO_BIN", "mono binning", FLAG)
    gamma = ControlProperty("ASI_GAMMA", "gamma", INTEGER)
    white_balance_red = ControlProperty("ASI_WB_R", "red white balance", INTEGER)
    white_balance_blue = ControlProperty("ASI_WB_B", "blue white balance", INTEGER)
    flip = ControlProperty("ASI_FLIP", "flip", INTEGER)

    def __init__(self, camera: int | str = 0) -> None:
        self.description: CameraDescription = find(camera)
        self.index = self.description.index
        self.id = self.description.camera_id
        self.name = self.description.name
        self.label = self.description.label
        self._lock = threading.RLock()
        # Set by close(): every wait inside the layer ends at its next short step.
        self._closing = threading.Event()
        self._closed = False
        self._opened = False
        self._exposing = False
        self._stream: Stream | None = None
        self._guiding: set[orvik.GuideDirection] = set()
        self._slots: dict[str, ControlSlot] = {}
        self._types: dict[str, orvik.ControlType] = {}
        self.settings_version = 0
        """Counts the settings written through this object, so a stream knows to re-read them."""
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        self.controls = Controls(self, self._slots)
        """Every control of the camera by SDK name (`cam.controls["Gain"]`), read on access."""

    # -- plumbing ----------------------------------------------------------------------------

    def call(self, action: str, value: object, function: Callable[P, R],
             *args: P.args, **kwargs: P.kwargs) -> R:
        """One SDK call; an SDK failure gains a note naming this camera, the action and value."""
        try:
            return function(*args, **kwargs)
        except orvik.ASIError as exc:
            add_context(exc, self.label, action, value)
            raise

    def _open(self) -> None:
        self.call("opening the camera", None, orvik.open_camera, self.id)
        self._opened = True
        self.call("initialising the camera", None, orvik.init_camera, self.id)
        count = self.call("counting the controls", None, orvik.get_num_of_controls, self.id)
        for i in range(count):
            caps = self.call("reading a control's capabilities", i, orvik.get_control_caps,
                             self.id, i)
            try:
                ctype: orvik.ControlType | None = caps.control_type
            except ValueError:
                ctype = None  # newer than the module's enumeration: listed, never written
            self._slots[caps.name] = ControlSlot(caps, ctype)
            if ctype is not None:
                self._types[ctype.name] = ctype

    @property
    def closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            exc = orvik.ASICameraClosed()
            add_context(exc, self.label, "using the camera after close()")
            raise exc

    def close(self) -> None:
        """Stop video, exposure and guide pulses, then close the camera. Safe to call twice."""
        self._closing.set()
        with self._lock:
            if self._closed:
                return
            self._closed = True
            stream = self._stream
            if stream is not None:
                stream.stop_capture()
            if self._exposing:
                self._exposing = False
                self._quietly(orvik.stop_exposure, self.id)
            for direction in sorted(self._guiding):
                self._quietly(orvik.pulse_guide_off, self.id, direction)
            self._guiding.clear()
            if self._opened:
                self._opened = False
                self._quietly(orvik.close_camera, self.id)

    @staticmethod
    def _quietly(function: Callable[P, object], *args: P.args, **kwargs: P.kwargs) -> None:
        """A clean-up call: the camera may be gone already, and the error in flight matters."""
        try:
            function(*args, **kwargs)
        except orvik.ASIError:
            pass

    def __enter__(self) -> Camera:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<Camera {self.label}, ID {self.id}, {state}>"

    # -- controls ----------------------------------------------------------------------------

    def control_type(self, control: str, what: str | None = None) -> orvik.ControlType:
        """The camera's control of this ControlType name (`ASI_GAIN`); UnsupportedControl if none."""
        try:
            return self._types[control]
        except KeyError:
            raise UnsupportedControl(f"{self.label} has no {what or control} control") from None

    def has_control(self, control: str) -> bool:
        """Whether the camera has this control: an SDK name (`Gain`) or a ControlType name."""
        return control in self._types or control in self._slots

    def read_control(self, ctype: orvik.ControlType) -> tuple[int, bool]:
        """The SDK's (value, auto) of a control."""
        self._check_open()
        return self.call(f"reading {ctype.name}", None, orvik.get_control_value, self.id, ctype)

    def write_control(self, control: str, raw: int, *, what: str | None = None,
                      show: Callable[[int], str] = str, auto: bool = False) -> None:
        """Set a control (ControlType name) to an SDK integer after checking that it exists,
        is writable and takes the value; `what` and `show` word the messages."""
        what = what or control
        ctype = self.control_type(control, what)
        caps = self._slot_of(ctype).caps
        if not caps.is_writable:
            raise UnsupportedControl(f"{what} cannot be set on {self.label}")
        if not caps.min_value <= raw <= caps.max_value:
            raise out_of_range(what, show(raw), self.label, show(caps.min_value),
                               show(caps.max_value))
        if auto and not caps.is_auto_supported:
            raise UnsupportedControl(f"{what} has no automatic mode on {self.label}")
        self._check_open()
        self.settings_version += 1
        self.call(f"setting {what}", show(raw), orvik.set_control_value, self.id, ctype, raw,
                  auto)

    def set_control(self, control: str | orvik.ControlType, value: int, auto: bool = False) -> None:
        """Set a control by SDK name (`"Gain"`) or ControlType, in the SDK's own unit."""
        if isinstance(control, orvik.ControlType):
            name = control.name
        elif control in self._slots and self._slots[control].control_type is not None:
            name = self._slots[control].control_type.name  # type: ignore[union-attr]
        else:
            name = control
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"a control value is an int in the SDK's unit, not {value!r}")
        self.write_control(name, value, what=str(control if isinstance(control, str)
                                                 else control.name), auto=auto)

    def _slot_of(self, ctype: orvik.ControlType) -> ControlSlot:
        for slot in self._slots.values():
            if slot.control_type is ctype:
                return slot
        raise UnsupportedControl(f"{self.label} has no {ctype.name} control")

    def _value_or_none(self, control: str) -> int | None:
        ctype = self._types.get(control)
        return None if ctype is None else self.read_control(ctype)[0]

    # -- region of interest ------------------------------------------------------------------

    def full_roi(self, bin: int = 1, image_type: str = "raw16") -> Roi:
        """The whole sensor at this binning (rounded down to the SDK's multiples of 8 and 2)."""
        self._check_bin(bin)
        width = self.description.max_width // bin
        height = self.description.max_height // bin
        return Roi(width - width % WIDTH_STEP, height - height % HEIGHT_STEP, bin,
                   image_type_name(image_type))

    def _check_bin(self, bin: int) -> None:
        if isinstance(bin, bool) or bin not in self.description.supported_bins:
            raise ValueError(
                f"bin {bin!r} is not supported by {self.label} (supported: "
                + ", ".join(str(b) for b in self.description.supported_bins) + ")"
            )

    @property
    def roi(self) -> Roi:
        """The frame format and its position, as the camera holds them."""
        with self._lock:
            self._check_open()
            w, h, b, t = self.call("reading the ROI format", None, orvik.get_roi_format, self.id)
            x, y = self.call("reading the start position", None, orvik.get_start_pos, self.id)
        return Roi(w, h, b, image_type_name(t), x, y)

    @roi.setter
    def roi(self, roi: Roi) -> None:
        self.set_roi(roi)

    def set_roi(self, roi: Roi) -> Roi:
        """Check a format against the camera, set it, and return what the camera took."""
        if not isinstance(roi, Roi):
            raise TypeError(f"a region of interest is a Roi, not {type(roi).__name__}")
        d = self.description
        self._check_bin(roi.bin)
        if d.image_types is not None and roi.image_type not in d.image_types:
            raise ValueError(
                f"image type {roi.image_type} is not supported by {self.label} "
                f"(supported: {', '.join(d.image_types)})"
            )
        max_w, max_h = d.max_width // roi.bin, d.max_height // roi.bin
        if roi.width > max_w or roi.height > max_h:
            raise ValueError(
                f"ROI {roi.width}x{roi.height} does not fit the sensor of {self.label} at bin "
                f"{roi.bin} ({max_w}x{max_h})"
            )
        for axis, start, size, limit in (("x", roi.x, roi.width, max_w),
                                         ("y", roi.y, roi.height, max_h)):
            if start is not None and start > limit - size:
                raise ValueError(
                    f"start {axis} {start} puts the ROI outside the sensor of {self.label} "
                    f"(0 to {limit - size} at this size and bin)"
                )
        with self._lock:
            self._check_open()
            self.settings_version += 1
            self.call("setting the ROI format", roi, orvik.set_roi_format, self.id, roi.width,
                      roi.height, roi.bin, image_type_member(roi.image_type))
            if roi.x is not None or roi.y is not None:
                cur_x, cur_y = self.call("reading the start position", None,
                                         orvik.get_start_pos, self.id)
                x = cur_x if roi.x is None else roi.x
                y = cur_y if roi.y is None else roi.y
                self.call("setting the start position", (x, y), orvik.set_start_pos, self.id,
                          x, y)
            return self.roi

    # -- frames ------------------------------------------------------------------------------

    def frame_metadata(self, roi: Roi, start: datetime, end: datetime, dark: bool = False,
                       sequence: int | None = None) -> FrameMetadata:
        """The camera's current settings as a frame's metadata."""
        with self._lock:
            exposure_us = self._value_or_none("ASI_EXPOSURE")
            temperature = self._value_or_none("ASI_TEMPERATURE")
            set_temperature: float | None = None
            if self._value_or_none("ASI_COOLER_ON"):
                target = self._value_or_none("ASI_TARGET_TEMP")
                set_temperature = None if target is None else float(target)
            return FrameMetadata(
                camera=self.name,
                camera_id=self.id,
                roi=roi,
                exposure=0.0 if exposure_us is None else exposure_us * 1e-6,
                gain=self._value_or_none("ASI_GAIN"),
                offset=self._value_or_none("ASI_OFFSET"),
                temperature=None if temperature is None else temperature * 0.1,
                bayer=self.description.bayer,
                start=start,
                end=end,
                dark=dark,
                sequence=sequence,
                pixel_size=self.description.pixel_size or None,
                bit_depth=self.description.bit_depth or None,
                set_temperature=set_temperature,
            )

    def _pause(self, seconds: float) -> None:
        """Wait a little; returns early when the camera is being closed. Ctrl-C interrupts it."""
        self._closing.wait(seconds)

    def expose(self, seconds: float | None = None, *, dark: bool = False,
               timeout: float | None = None,
               on_wait: Callable[[float], None] | None = None) -> Frame:
        """Take one exposure and read it out.

        `seconds` sets the exposure time first (else the camera's current one is used); `dark`
        keeps the shutter closed. The wait sleeps in steps of at most 0.1 s, so Ctrl-C (the
        exposure is stopped) and `close()` from another thread take effect promptly.
        `on_wait(elapsed_seconds)` is called at each step. Raises `orvik.ASITimeout` when the
        exposure has not finished after `timeout` seconds (default: its length + 60 s) and
        `ExposureFailed` when the camera reports it failed.
        """
        if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
            raise ValueError(f"timeout {timeout!r} is out of range (allowed: more than 0 s)")
        with self._lock:
            self._check_open()
            if seconds is not None:
                self.exposure = seconds
            length = self.exposure if seconds is None else seconds
            limit = timeout if timeout is not None else length + EXPOSURE_TIMEOUT_MARGIN_S
            roi = self.roi
            start = utc_now()
            self.call("starting the exposure", "dark" if dark else None, orvik.start_exposure,
                      self.id, dark)
            self._exposing = True
            try:
                self._wait_for_exposure(limit, on_wait)
            except BaseException:
                # Leave the camera idle on any way out: time-out, failure, Ctrl-C, close().
                if self._exposing:
                    self._exposing = False
                    self._quietly(orvik.stop_exposure, self.id)
                raise
            end = utc_now()
            self._exposing = False
            data = self.call("reading the image", roi.frame_bytes, orvik.get_data_after_exp,
                             self.id, roi.frame_bytes)
            return Frame(data, self.frame_metadata(roi, start, end, dark=dark))

    def _wait_for_exposure(self, limit: float, on_wait: Callable[[float], None] | None) -> None:
        status = orvik.ExposureStatus
        t0 = time.monotonic()
        delay = 0.001
        while True:
            state = self.call("polling the exposure", None, orvik.get_exp_status, self.id)
            if state == status.ASI_EXP_SUCCESS:
                return
            if state == status.ASI_EXP_FAILED:
                raise ExposureFailed(f"the exposure failed on {self.label}")
            elapsed = time.monotonic() - t0
            if state == status.ASI_EXP_IDLE and elapsed > IDLE_GRACE_S:
                raise ExposureFailed(f"{self.label} went idle without finishing the exposure")
            if elapsed > limit:
                exc = orvik.ASITimeout()
                exc.add_note(f"the exposure on {self.label} did not finish within {limit:g} s")
                raise exc
            if self._closing.is_set():
                closed = orvik.ASICameraClosed()
                closed.add_note(f"{self.label} was closed during the exposure")
                raise closed
            if on_wait is not None:
                on_wait(elapsed)
            self._pause(delay)
            delay = min(delay * 2, MAX_WAIT_S)

    def stream(self, *, frames: int | None = None, timeout: float | None = None) -> Stream:
        """Video capture as an iterator of frames: `with cam.stream() as frames: ...`.

        `frames` ends the iteration after that many frames; `timeout` is the longest wait for
        one frame in seconds (default: twice the exposure + 0.5 s), after which `orvik.ASITimeout`
        is raised. Video stops when the block is left, on Ctrl-C, and on `close()`.
        """
        from .stream import Stream

        return Stream(self, frames=frames, timeout=timeout)

    def astream(self, *, frames: int | None = None, timeout: float | None = None) -> AsyncStream:
        """`async for frame in cam.astream(): ...`: the stream with its reads in a worker thread."""
        from .stream import AsyncStream

        return AsyncStream(self.stream(frames=frames, timeout=timeout))

    def attach_stream(self, stream: Stream) -> None:
        """Called by a stream as it starts: one video capture per camera at a time."""
        with self._lock:
            self._check_open()
            if self._stream is not None:
                raise RuntimeError(f"{self.label} is already streaming")
            self._stream = stream

    def detach_stream(self, stream: Stream) -> None:
        with self._lock:
            if self._stream is stream:
                self._stream = None

    # -- guiding -----------------------------------------------------------------------------

    def guide_on(self, direction: str | orvik.GuideDirection) -> None:
        """Start moving the mount through the ST4 port: `north`, `south`, `east` or `west`."""
        member = _guide_direction(direction)
        with self._lock:
            self._check_open()
            self.call("starting a guide pulse", member.name, orvik.pulse_guide_on, self.id,
                      member)
            self._guiding.add(member)

    def guide_off(self, direction: str | orvik.GuideDirection) -> None:
        member = _guide_direction(direction)
        with self._lock:
            self._check_open()
            self._guiding.discard(member)
            self.call("ending a guide pulse", member.name, orvik.pulse_guide_off, self.id, member)

    def pulse_guide(self, direction: str | orvik.GuideDirection, seconds: float) -> None:
        """One guide pulse of this length; Ctrl-C and close() end it early (the pulse stops)."""
        if not (seconds >= 0 and math.isfinite(seconds)):
            raise ValueError(f"pulse length {seconds!r} s is out of range (allowed 0 s and more)")
        self.guide_on(direction)
        try:
            end = time.monotonic() + seconds
            while not self._closing.is_set() and (left := end - time.monotonic()) > 0:
                self._pause(min(left, MAX_WAIT_S))
        finally:
            if not self._closed:
                self.guide_off(direction)
