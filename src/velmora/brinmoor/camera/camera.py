"""The Camera class: one opened camera, its controls, region of interest, exposures and video."""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from datetime import datetime
from types import TracebackType
from typing import TYPE_CHECKING, ParamSpec, TypeVar, cast

from velmora.brinmoor import orvik

from . import simulator
from .controls import (
    CELSIUS,
    FLAG,
    INTEGER,
    PERCENT,
    SECONDS,
    TENTHS_CELSIUS,
    ControlProperty,
    Controls,
    ControlSlot,
    ReadOnlyProperty,
)
from .conversion import Conversion, conversion
from .errors import CameraInUse, UnsupportedControl, add_context, out_of_range
from .exposure import EXPOSURE_TIMEOUT_MARGIN_S, IDLE_GRACE_S, MAX_WAIT_S, Exposure
from .frames import Frame, FrameMetadata, Observation
from .handle import CameraHandle
from .identity import GainPresets, decode_flash_id, decode_serial, mode_member
from .info import CameraDescription, find
from .roi import HEIGHT_STEP, WIDTH_STEP, Roi, image_type_member, image_type_name
from .simulated import Pointing, simulated_distortion, simulated_panel, simulated_pointing
from .simulator import utc_now

if TYPE_CHECKING:
    from .stream import AsyncStream, Stream

P = ParamSpec("P")
R = TypeVar("R")

__all__ = ["EXPOSURE_TIMEOUT_MARGIN_S", "IDLE_GRACE_S", "MAX_WAIT_S", "Camera", "utc_now"]



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


def _camera_mode(mode: orvik.CameraMode | str) -> orvik.CameraMode:
    if isinstance(mode, orvik.CameraMode):
        return mode
    name = str(mode).upper()
    member = getattr(orvik.CameraMode, name if name.startswith("ASI_MODE_") else f"ASI_MODE_{name}",
                     None)
    if not isinstance(member, orvik.CameraMode) or member.name == "ASI_MODE_END":
        raise ValueError(f"camera mode {mode!r} is not one of "
                         + ", ".join(m.name for m in orvik.CameraMode if m.name != "ASI_MODE_END"))
    return member


class Camera:
    """An opened camera, chosen by index (`Camera(0)`) or by part of its name (`Camera("ASI120")`).

    Creating it opens and initialises the camera; `close()`, or leaving a `with` block, stops any
    video capture, exposure and guide pulse and closes it. Each operation of several SDK calls
    holds the camera's lock, so one Camera can be shared by threads. What it shares with its
    exposure and stream (ID, lock, open state, the exposure-or-stream slot) is its
    `CameraHandle` (handle.py).
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
        self._handle = CameraHandle(self.id, self.label)
        self._observer_pointing: Pointing | None = None
        self._observation: Observation | None = None
        self._opened = False
        self._guiding: set[orvik.GuideDirection] = set()
        self._slots: dict[str, ControlSlot] = {}
        self._types: dict[str, orvik.ControlType] = {}
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
        return self._handle.call(action, value, function, *args, **kwargs)

    @property
    def settings_changed_at(self) -> float:
        """When a setting was last written (POSIX time), so a stream knows which frames were
        already being exposed under the settings before."""
        return self._handle.settings_changed_at

    def _open(self) -> None:
        try:
            self.call("opening the camera", None, orvik.open_camera, self.id)
        except orvik.ASICameraRemoved as exc:
            # The SDK says "removed" for a camera another program holds, too: say which.
            pid = simulator.holder(self.index, self.name)
            if pid is None:
                raise
            in_use = CameraInUse(self.label, pid, simulator.process_name(pid))
            add_context(in_use, self.label, "opening the camera")
            raise in_use from exc
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
        return self._handle.closed

    @property
    def time_scale(self) -> float:
        """Seconds of the camera's clock per second of the wall clock: 1 for a real camera; a
        simulated one runs faster under `ASISIM_TIME_SCALE` (exposures, the cooler), so that a
        program can say how long something takes on the wall clock."""
        return simulator.time_scale()

    @property
    def pointing(self) -> Pointing | None:
        """Where the telescope points: what the observer set here, else, for a simulated camera
        that has a pointing (`asisim.point`, or ASISIM_POINTING), the simulator's, with the whole
        sensor's centre as the reference pixel in the current format's pixels; else None. Every
        frame's metadata carries it, so files record it.

        Setting it (a `formats.Pointing` of the observer's values, or None to go back) applies
        to the frames taken from then on."""
        return self._frame_pointing(self.roi)

    @pointing.setter
    def pointing(self, value: Pointing | None) -> None:
        with self._handle.lock:
            self._observer_pointing = value
            self._handle.settings_written()  # a running stream's frames carry it from now on

    @property
    def observation(self) -> Observation | None:
        """The observer's target, filter, telescope and site (a `formats.Observation`, or None),
        which every frame's metadata carries from the time it is set, so files record them."""
        return self._observation

    @observation.setter
    def observation(self, value: Observation | None) -> None:
        with self._handle.lock:
            self._observation = value
            self._handle.settings_written()

    def _frame_pointing(self, roi: Roi) -> Pointing | None:
        if self._observer_pointing is not None:
            return self._observer_pointing
        sim = simulated_pointing(self.id)
        if sim is None:
            return None
        d = self.description
        # The pointing is the sensor's centre: in this frame's FITS pixels (1-based, binned).
        x0 = roi.x if roi.x is not None else (d.max_width // roi.bin - roi.width) // 2
        y0 = roi.y if roi.y is not None else (d.max_height // roi.bin - roi.height) // 2
        px = d.max_width / 2 / roi.bin - x0 + 0.5
        py = d.max_height / 2 / roi.bin - y0 + 0.5
        flip = self._value_or_none("ASI_FLIP") or 0
        if flip & 1:
            px = roi.width + 1 - px
        if flip & 2:
            py = roi.height + 1 - py
        # A mirrored frame has no position angle of the sky: no WCS is written for it. The
        # optics' pincushion is centred on the sensor, as the reference pixel is; a binned pixel
        # spans `bin` sensor pixels, so k grows by bin**2 in the frame's pixels.
        return Pointing(sim.ra_deg, sim.dec_deg, sim.focal_mm, sim.aperture_mm,
                        None if flip else sim.angle_deg, (px, py),
                        simulated_distortion(self.id) * roi.bin**2)

    def simulate_flat_panel(self, on: bool) -> bool:
        """On a simulated camera, the simulator's flat panel in front of the telescope (on) or the
        night sky back (off), for a tool that pauses for a panel; False, with nothing done, for a
        real camera, whose panel the observer fits."""
        return simulated_panel(self.id, on)

    def close(self) -> None:
        """Stop video, exposure and guide pulses, then close the camera. Safe to call twice."""
        handle = self._handle
        handle.closing.set()
        with handle.lock:
            if handle.closed:
                return
            handle.closed = True
            if handle.stream is not None:
                handle.stream.stop_capture()
            if handle.exposure is not None:
                handle.exposure.closed_under_it()
            for direction in sorted(self._guiding):
                self._handle.quietly(orvik.pulse_guide_off, self.id, direction)
            self._guiding.clear()
            if self._opened:
                self._opened = False
                self._handle.quietly(orvik.close_camera, self.id)

    def __enter__(self) -> Camera:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<Camera {self.label}, ID {self.id}, {state}>"

    # -- identity and modes ------------------------------------------------------------------

    @property
    def serial_number(self) -> str | None:
        """The serial number as hex text (`"1a2b3c4d5e6f7a8b"`); None when the camera has none.

        Bytes that are not UTF-8 are read as they are, never an error. The module reads the
        record up to its first zero byte, so a serial with a zero byte inside shows its bytes
        before it."""
        with self._handle.lock:
            self._handle.check_open()
            try:
                record = orvik.get_serial_number(self.id)
            except orvik.ASIGeneralError:
                return None  # models without a serial number say so with an error code
            except orvik.ASIError as exc:
                add_context(exc, self.label, "reading the serial number")
                raise
        return decode_serial(record)

    @property
    def flash_id(self) -> str | None:
        """The ID stored in the camera's flash memory (`set_id` in the SDK): its text, or hex
        when it is not text; None when empty."""
        with self._handle.lock:
            self._handle.check_open()
            record = self.call("reading the flash ID", None, orvik.get_id, self.id)
        return decode_flash_id(record)

    @property
    def supported_modes(self) -> tuple[orvik.CameraMode | int, ...]:
        """The camera modes (`ASI_MODE_NORMAL` and, on trigger cameras, the trigger modes)."""
        with self._handle.lock:
            self._handle.check_open()
            codes = self.call("reading the supported camera modes", None,
                              orvik.get_camera_support_mode, self.id)
        return tuple(mode_member(code) for code in codes)

    @property
    def mode(self) -> orvik.CameraMode:
        """The camera mode: normal or one of the trigger modes (trigger cameras only)."""
        with self._handle.lock:
            self._handle.check_open()
            return self.call("reading the camera mode", None, orvik.get_camera_mode, self.id)

    @mode.setter
    def mode(self, mode: orvik.CameraMode | str) -> None:
        member = _camera_mode(mode)
        supported = self.supported_modes
        if member not in supported:
            names = ", ".join(m.name if isinstance(m, orvik.CameraMode) else str(m)
                              for m in supported)
            raise ValueError(f"camera mode {member.name} is not supported by {self.label} "
                             f"(supported: {names})")
        with self._handle.lock:
            self._handle.check_open()
            self._handle.check_idle("change the camera mode")
            try:
                self.call("setting the camera mode", member.name, orvik.set_camera_mode, self.id,
                          member)
            finally:
                self._handle.settings_written()

    @property
    def gain_presets(self) -> GainPresets:
        """The SDK's preset gains and offsets: highest dynamic range, unity gain, lowest read
        noise, and the low / medium / high gains."""
        with self._handle.lock:
            self._handle.check_open()
            dr, unity, rn_gain, rn_offset = self.call("reading the gain presets", None,
                                                      orvik.get_gain_offset, self.id)
            low, medium, high, high_offset = self.call("reading the gain presets", None,
                                                       orvik.get_lmh_gain_offset, self.id)
        return GainPresets(dr, unity, rn_gain, rn_offset, low, medium, high, high_offset)

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
        self._handle.check_open()
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
        with self._handle.lock:
            self._handle.check_open()
            try:
                self.call(f"setting {what}", show(raw), orvik.set_control_value, self.id, ctype,
                          raw, auto)
            finally:
                self._handle.settings_written()

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
        with self._handle.lock:
            self._handle.check_open()
            w, h, b, t = self.call("reading the ROI format", None, orvik.get_roi_format, self.id)
            x, y = self.call("reading the start position", None, orvik.get_start_pos, self.id)
        return Roi(w, h, b, image_type_name(t), x, y)

    @roi.setter
    def roi(self, roi: Roi) -> None:
        self.set_roi(roi)

    def set_roi(self, roi: Roi) -> Roi:
        """Check a format against the camera, set it, and return what the camera took."""
        self._check_roi(roi)
        with self._handle.lock:
            self._handle.check_open()
            try:
                self._write_roi(roi)
            finally:
                self._handle.settings_written()
            return self.roi

    def _check_roi(self, roi: Roi) -> None:
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

    def _write_roi(self, roi: Roi) -> None:
        self.call("setting the ROI format", roi, orvik.set_roi_format, self.id, roi.width,
                  roi.height, roi.bin, image_type_member(roi.image_type))
        if roi.x is None and roi.y is None:
            return  # the camera centres the format
        x, y = roi.x, roi.y
        if x is None or y is None:
            cur_x, cur_y = self.call("reading the start position", None, orvik.get_start_pos,
                                     self.id)
            x = cur_x if x is None else x
            y = cur_y if y is None else y
        self.call("setting the start position", (x, y), orvik.set_start_pos, self.id, x, y)

    # -- frames ------------------------------------------------------------------------------

    def frame_metadata(self, roi: Roi, start: datetime, end: datetime, dark: bool = False,
                       sequence: int | None = None) -> FrameMetadata:
        """The camera's current settings as a frame's metadata."""
        with self._handle.lock:
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
                # Exact division: 100000 us reads as 0.1 s, not 0.09999999999999999.
                exposure=0.0 if exposure_us is None else exposure_us / 1_000_000,
                gain=self._value_or_none("ASI_GAIN"),
                offset=self._value_or_none("ASI_OFFSET"),
                temperature=None if temperature is None else temperature / 10,
                bayer=self._frame_bayer(roi),
                start=start,
                end=end,
                dark=dark,
                sequence=sequence,
                pixel_size=self.description.pixel_size or None,
                bit_depth=self.description.bit_depth or None,
                set_temperature=set_temperature,
                electrons_per_adu=self.description.electrons_per_adu or None,
                pointing=self._frame_pointing(roi),
                flip=self._value_or_none("ASI_FLIP") or 0,
                observation=self.observation,
            )

    def _frame_bayer(self, roi: Roi) -> str | None:
        """The sensor's cell for a frame's metadata: None when MonoBin sums each binned pixel's
        colours to grey (at bin 2 and more; at bin 1 it changes nothing)."""
        if roi.bin > 1 and self._value_or_none("ASI_MONO_BIN"):
            return None
        return self.description.bayer

    def conversion(self, image_type: str | None = None, bin: int | None = None) -> Conversion | None:
        """Electrons per unit of the frame values and the full well in electrons at the present
        gain, for frames of `image_type` at `bin` (default: the present ROI's); None where they
        are not known (see `camera.conversion`: a simulated camera knows them at every gain,
        another at gain 0 only, and RGB24 and Y8 have no single factor)."""
        with self._handle.lock:
            self._handle.check_open()
            if image_type is None or bin is None:
                roi = self.roi
                image_type = roi.image_type if image_type is None else image_type
                bin = roi.bin if bin is None else bin
            gain = self._value_or_none("ASI_GAIN") or 0
        d = self.description
        return conversion(self.id, gain, d.electrons_per_adu, d.bit_depth,
                          image_type_name(image_type), bin)

    # -- exposures ---------------------------------------------------------------------------

    def start_exposure(self, seconds: float | None = None, *, dark: bool = False,
                       roi: Roi | None = None, read_settings: bool = True) -> Exposure:
        """Start one exposure and return at once; the `Exposure` polls, waits, aborts, reads.

        `seconds` sets the exposure time first (else the camera's current one is used), and
        `roi` the format (as `set_roi`); `dark` keeps the shutter closed. With
        `read_settings=False` the frame's metadata hold only the camera, the format, the
        exposure time and the times, not the other settings (gain, offset, temperature,
        cooler, flip, pointing): for a caller that does not use them, the exposure then costs
        only the SDK calls that take it. Refused with `CameraBusy` while another exposure or a
        stream runs on this camera.
        """
        if roi is not None:
            self._check_roi(roi)
        with self._handle.lock:
            self._handle.check_open()
            self._handle.check_idle("start an exposure")
            if seconds is not None:
                self.exposure = seconds
            if roi is not None:
                try:
                    self._write_roi(roi)
                finally:
                    self._handle.settings_written()
            start = utc_now()
            if read_settings:
                metadata = self.frame_metadata(self.roi, start, start, dark=dark)
            else:
                exposure_us = (self._value_or_none("ASI_EXPOSURE") if seconds is None
                               else round(seconds * 1_000_000))
                metadata = FrameMetadata(
                    camera=self.name, camera_id=self.id, roi=self.roi if roi is None else roi,
                    exposure=0.0 if exposure_us is None else exposure_us / 1_000_000,
                    gain=None, offset=None, temperature=None, bayer=self.description.bayer,
                    start=start, end=start, dark=dark)
            metadata.start = metadata.end = utc_now()  # the settings read, the exposure starts
            started = time.monotonic()
            self.call("starting the exposure", "dark" if dark else None, orvik.start_exposure,
                      self.id, dark)
            handle = self._handle
            if handle.last_exposure is not None:
                handle.last_exposure.supersede()  # the SDK's image buffer belongs to the new one
            exposure = Exposure(handle, metadata, started)
            handle.exposure = handle.last_exposure = exposure
            return exposure

    @property
    def current_exposure(self) -> Exposure | None:
        """The exposure running on this camera, if any."""
        return cast("Exposure | None", self._handle.exposure)

    def expose(self, seconds: float | None = None, *, dark: bool = False,
               timeout: float | None = None,
               on_wait: Callable[[float], None] | None = None) -> Frame:
        """Take one exposure and read it out: `start_exposure(...).wait(...)`.

        `seconds` sets the exposure time first (else the camera's current one is used); `dark`
        keeps the shutter closed. The wait sleeps in steps of at most 0.1 s, so Ctrl-C (the
        exposure is stopped) and `close()` from another thread take effect promptly.
        `on_wait(elapsed_seconds)` is called at each step. Raises `ASITimeout` when the
        exposure has not finished after `timeout` seconds (default: its length + 60 s),
        `ExposureFailed` when the camera reports it failed, `ASICameraClosed` when the camera
        was closed under it. On any of these the camera is left idle.
        """
        if timeout is not None and not (timeout > 0 and math.isfinite(timeout)):
            raise ValueError(f"timeout {timeout!r} is out of range (allowed: more than 0 s)")
        exposure = self.start_exposure(seconds, dark=dark)
        try:
            return exposure.wait(timeout, on_wait)
        except BaseException:
            exposure.abort()  # leave the camera idle on any way out
            raise

    def stream(self, *, frames: int | None = None, timeout: float | None = None) -> Stream:
        """Video capture as an iterator of frames: `with cam.stream() as frames: ...`.

        `frames` ends the iteration after that many frames; `timeout` is the longest wait for
        one frame in seconds (default: twice the exposure + 0.5 s), after which `orvik.ASITimeout`
        is raised. Video stops when the block is left, on Ctrl-C, and on `close()`.
        """
        from .stream import Stream

        return Stream(self._handle, self._stream_settings, self._stream_temperature,
                      frames=frames, timeout=timeout)

    def _stream_settings(self) -> FrameMetadata:
        """The settings as a stream's frames' record (called holding the lock)."""
        now = utc_now()
        return self.frame_metadata(self.roi, start=now, end=now)

    def _stream_temperature(self) -> float:
        return self.temperature

    def astream(self, *, frames: int | None = None, timeout: float | None = None) -> AsyncStream:
        """`async for frame in cam.astream(): ...`: the stream with its reads in a worker thread."""
        from .stream import AsyncStream

        return AsyncStream(self.stream(frames=frames, timeout=timeout))

    # -- guiding -----------------------------------------------------------------------------

    def guide_on(self, direction: str | orvik.GuideDirection) -> None:
        """Start moving the mount through the ST4 port: `north`, `south`, `east` or `west`."""
        member = _guide_direction(direction)
        with self._handle.lock:
            self._handle.check_open()
            self.call("starting a guide pulse", member.name, orvik.pulse_guide_on, self.id,
                      member)
            self._guiding.add(member)

    def guide_off(self, direction: str | orvik.GuideDirection) -> None:
        member = _guide_direction(direction)
        with self._handle.lock:
            self._handle.check_open()
            self._guiding.discard(member)
            self.call("ending a guide pulse", member.name, orvik.pulse_guide_off, self.id, member)

    def pulse_guide(self, direction: str | orvik.GuideDirection, seconds: float) -> None:
        """One guide pulse of this length; Ctrl-C and close() end it early (the pulse stops)."""
        if not (seconds >= 0 and math.isfinite(seconds)):
            raise ValueError(f"pulse length {seconds!r} s is out of range (allowed 0 s and more)")
        self.guide_on(direction)
        try:
            end = time.monotonic() + seconds
            while not self._handle.closing.is_set() and (left := end - time.monotonic()) > 0:
                self._handle.pause(min(left, MAX_WAIT_S))
        finally:
            if not self.closed:
                self.guide_off(direction)
