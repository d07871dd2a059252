"""One camera as an Alpaca Camera device (ICameraV4): its state and every member's behaviour.

The device keeps what Alpaca defines as client-side settings (binning, subframe, readout mode)
and applies them when an exposure starts. An exposure is started on the camera and then polled:
whichever request first finds it finished (ImageReady, CameraState, ImageArray, ...) reads the
image out, so no thread waits on the camera. Guide pulses end on timers.

Every member checks its arguments against the camera's own capabilities before the camera is
called, and answers NotImplemented for what the camera cannot do. One lock per device makes each
member atomic with respect to the others; SDK calls made under it are short.
"""

from __future__ import annotations

import enum
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import TypeVar

from .backend import CameraBackend, ControlRange, ImageType
from .errors import (
    AlpacaError,
    ErrorNumber,
    from_sdk_error,
    invalid_operation,
    invalid_value,
    not_connected,
    not_implemented,
    value_not_set,
)
from .imagedata import ImageData

T = TypeVar("T")

DRIVER_VERSION = "1.0"
INTERFACE_VERSION = 4
# An exposure still "working" this long after its end is taken as lost.
EXPOSURE_GRACE_S = 120.0
# The SDK may show an exposure as idle for a moment right after starting it.
IDLE_GRACE_S = 1.0
MAX_PULSE_MS = 3_600_000
SDK_WIDTH_STEP, SDK_HEIGHT_STEP = 8, 2

READOUT_MODE_NAMES: dict[ImageType, str] = {"raw16": "RAW16", "raw8": "RAW8"}
MAX_ADU: dict[ImageType, int] = {"raw16": 65535, "raw8": 255}
GUIDE_DIRECTIONS = ("North", "South", "East", "West")
OPPOSITE = {0: 1, 1: 0, 2: 3, 3: 2}


class CameraState(enum.IntEnum):
    IDLE = 0
    WAITING = 1
    EXPOSING = 2
    READING = 3
    DOWNLOAD = 4
    ERROR = 5


class SensorType(enum.IntEnum):
    MONOCHROME = 0
    COLOR = 1
    RGGB = 2


@dataclass(frozen=True)
class Window:
    """A readout window in binned pixels."""

    x: int
    y: int
    width: int
    height: int


@dataclass
class Exposure:
    started_utc: datetime
    started: float  # monotonic
    duration: float
    window: Window  # what the client asked for
    sdk_window: Window  # what the camera reads (aligned to its steps), containing `window`
    image_type: ImageType


def _sdk_window(want: Window, readable_w: int, readable_h: int) -> Window:
    """The smallest SDK-aligned window that contains `want` and lies within the readable area."""
    width = -(-want.width // SDK_WIDTH_STEP) * SDK_WIDTH_STEP
    height = -(-want.height // SDK_HEIGHT_STEP) * SDK_HEIGHT_STEP
    x = min(want.x, readable_w - width)
    y = min(want.y, readable_h - height)
    return Window(x, y, width, height)


class AlpacaCamera:
    """The Alpaca camera device number `number`, serving the camera behind `backend`."""

    def __init__(self, number: int, backend: CameraBackend) -> None:
        self.number = number
        self.backend = backend
        self.facts = backend.facts
        self.lock = threading.RLock()
        self._connected = False
        self._controls: dict[str, ControlRange] = {}
        self._bin = 1
        self._num_x, self._num_y = self.facts.width, self.facts.height
        self._start_x = self._start_y = 0
        self._readout_mode = 0
        self._exposure: Exposure | None = None
        self._state = CameraState.IDLE
        self._error = ""
        self._image: ImageData | None = None
        self._last_start: datetime | None = None
        self._last_duration: float | None = None
        self._pulse_timers: dict[int, threading.Timer] = {}

    # -- plumbing ---------------------------------------------------------------------------

    @property
    def name(self) -> str:
        return self.facts.name

    @contextmanager
    def _sdk(self, doing: str) -> Iterator[None]:
        """SDK failures inside the block become Alpaca errors that name the SDK's condition."""
        try:
            yield
        except AlpacaError:
            raise
        except Exception as exc:
            raise from_sdk_error(exc, f"{doing} on {self.name}") from exc

    def _require_connection(self) -> None:
        if not self._connected:
            raise not_connected(self.name)

    def _control(self, name: str, what: str) -> ControlRange:
        control = self._controls.get(name)
        if control is None:
            raise not_implemented(what)
        return control

    def _read(self, name: str, what: str) -> int:
        self._control(name, what)
        with self._sdk(f"reading {what}"):
            return self.backend.get_control(name)

    def _write(self, name: str, what: str, value: int) -> None:
        control = self._control(name, what)
        if not control.writable:
            raise not_implemented(f"setting {what}")
        if not control.min_value <= value <= control.max_value:
            raise invalid_value(f"{what} {value} is outside {control.min_value} to {control.max_value}")
        with self._sdk(f"setting {what} to {value}"):
            self.backend.set_control(name, value)

    def _locked(self, fn: Callable[[], T]) -> T:
        with self.lock:
            self._require_connection()
            return fn()

    # -- connection (common members) ---------------------------------------------------------

    @property
    def connected(self) -> bool:
        return self._connected

    def set_connected(self, value: bool) -> None:
        if value:
            self.connect()
        else:
            self.disconnect()

    def connect(self) -> None:
        with self.lock:
            if self._connected:
                return
            with self._sdk("connecting"):
                self._controls = self.backend.open()
            self._connected = True
            self._state = CameraState.IDLE
            self._exposure = None
            self._image = None  # an image from before is not this connection's
            self._error = ""

    def disconnect(self) -> None:
        with self.lock:
            if not self._connected:
                return
            self._stop_pulses()
            if self._exposure is not None:
                try:
                    self.backend.stop_exposure()
                except Exception:
                    pass  # closing the camera ends it anyway
                self._exposure = None
            self.backend.close()
            self._connected = False
            self._state = CameraState.IDLE

    def description(self) -> str:
        kind = "colour" if self.facts.bayer_offset is not None else "monochrome"
        cooled = ", cooled" if self.facts.has_cooler else ""
        return (f"{self.name}: {self.facts.width} x {self.facts.height} {kind} sensor, "
                f"{self.facts.pixel_size_um:g} um pixels, {self.facts.bit_depth}-bit ADC{cooled}")

    # -- sensor facts -------------------------------------------------------------------------

    def camera_x_size(self) -> int:
        return self._locked(lambda: self.facts.width)

    def camera_y_size(self) -> int:
        return self._locked(lambda: self.facts.height)

    def pixel_size(self) -> float:
        return self._locked(lambda: self.facts.pixel_size_um)

    def sensor_type(self) -> int:
        return self._locked(lambda: int(SensorType.MONOCHROME if self.facts.bayer_offset is None
                                        else SensorType.RGGB))

    def bayer_offset(self, axis: int) -> int:
        def get() -> int:
            if self.facts.bayer_offset is None:
                raise not_implemented("BayerOffset on a monochrome sensor")
            return self.facts.bayer_offset[axis]
        return self._locked(get)

    def sensor_name(self) -> str:
        raise not_implemented("SensorName (the SDK does not report the sensor chip)")

    def has_shutter(self) -> bool:
        return self._locked(lambda: self.facts.has_shutter)

    def max_bin(self) -> int:
        return self._locked(lambda: max(self.facts.bins))

    def can_asymmetric_bin(self) -> bool:
        return self._locked(lambda: False)

    def can_abort_exposure(self) -> bool:
        return self._locked(lambda: True)

    def can_stop_exposure(self) -> bool:
        # The SDK discards the image of an exposure stopped early.
        return self._locked(lambda: False)

    def can_pulse_guide(self) -> bool:
        return self._locked(lambda: self.facts.has_st4)

    def can_get_cooler_power(self) -> bool:
        return self._locked(lambda: "ASI_COOLER_POWER_PERC" in self._controls)

    def can_set_ccd_temperature(self) -> bool:
        return self._locked(lambda: self.facts.has_cooler and "ASI_TARGET_TEMP" in self._controls)

    def can_fast_readout(self) -> bool:
        return self._locked(lambda: self._fast_readout_control() is not None)

    def _fast_readout_control(self) -> ControlRange | None:
        control = self._controls.get("ASI_HIGH_SPEED_MODE")
        return control if control is not None and control.writable else None

    def _image_type(self) -> ImageType:
        return self.facts.image_types[self._readout_mode]

    def max_adu(self) -> int:
        return self._locked(lambda: MAX_ADU[self._image_type()])

    def electrons_per_adu(self) -> float:
        """The camera's conversion factor, in the units of the delivered pixel values: the SDK's
        figure is for the ADC's own bit depth, and RAW16 delivers its values in the top bits."""
        def get() -> float:
            if self.facts.electrons_per_adu <= 0:
                raise not_implemented("ElectronsPerADU (the camera does not report it)")
            shift = (16 if self._image_type() == "raw16" else 8) - self.facts.bit_depth
            return self.facts.electrons_per_adu / float(2.0**shift)
        return self._locked(get)

    def full_well_capacity(self) -> float:
        """Electrons at the largest value the camera delivers, at its reported conversion factor."""
        return self.electrons_per_adu() * self.max_adu()

    # -- exposure limits ------------------------------------------------------------------------

    def _exposure_range(self) -> tuple[float, float]:
        control = self._control("ASI_EXPOSURE", "Exposure")
        return control.min_value / 1e6, control.max_value / 1e6

    def exposure_min(self) -> float:
        return self._locked(lambda: self._exposure_range()[0])

    def exposure_max(self) -> float:
        return self._locked(lambda: self._exposure_range()[1])

    def exposure_resolution(self) -> float:
        return self._locked(lambda: 1e-6)  # the SDK sets exposures in microseconds

    # -- binning and subframe -------------------------------------------------------------------

    def bin(self) -> int:
        return self._locked(lambda: self._bin)

    def set_bin(self, value: int) -> None:
        def put() -> None:
            if value not in self.facts.bins:
                allowed = ", ".join(str(b) for b in self.facts.bins)
                raise invalid_value(f"bin {value} is not supported by {self.name} (supported: {allowed})")
            self._bin = value  # binning is symmetric: BinX and BinY are one setting
        self._locked(put)

    def num_x(self) -> int:
        return self._locked(lambda: self._num_x)

    def num_y(self) -> int:
        return self._locked(lambda: self._num_y)

    def start_x(self) -> int:
        return self._locked(lambda: self._start_x)

    def start_y(self) -> int:
        return self._locked(lambda: self._start_y)

    def _set_window_value(self, attr: str, value: int, minimum: int, limit: int, what: str) -> None:
        def put() -> None:
            if not minimum <= value <= limit:
                raise invalid_value(f"{what} {value} is outside {minimum} to {limit}")
            setattr(self, attr, value)
        self._locked(put)

    def set_num_x(self, value: int) -> None:
        self._set_window_value("_num_x", value, 1, self.facts.width, "NumX")

    def set_num_y(self, value: int) -> None:
        self._set_window_value("_num_y", value, 1, self.facts.height, "NumY")

    def set_start_x(self, value: int) -> None:
        self._set_window_value("_start_x", value, 0, self.facts.width - 1, "StartX")

    def set_start_y(self, value: int) -> None:
        self._set_window_value("_start_y", value, 0, self.facts.height - 1, "StartY")

    def _requested_window(self) -> tuple[Window, Window]:
        """The client's window at the current binning and the aligned window the camera reads.

        The SDK reads widths in steps of 8 and heights in steps of 2, so at some binnings the
        last few columns or rows of the sensor cannot be read. The full frame at any binning
        gives the largest readable frame; any other window must lie within the readable area."""
        b = self._bin
        full_w, full_h = self.facts.width // b, self.facts.height // b
        readable_w = full_w - full_w % SDK_WIDTH_STEP
        readable_h = full_h - full_h % SDK_HEIGHT_STEP
        want = Window(self._start_x, self._start_y, self._num_x, self._num_y)
        if want == Window(0, 0, full_w, full_h):
            want = Window(0, 0, readable_w, readable_h)
        if want.x + want.width > full_w or want.y + want.height > full_h:
            raise invalid_value(
                f"the subframe {want.width} x {want.height} at ({want.x}, {want.y}) does not fit "
                f"the {full_w} x {full_h} sensor at bin {b}")
        if want.x + want.width > readable_w or want.y + want.height > readable_h:
            raise invalid_value(
                f"the subframe {want.width} x {want.height} at ({want.x}, {want.y}) reaches past "
                f"the {readable_w} x {readable_h} pixels {self.name} reads at bin {b}")
        return want, _sdk_window(want, readable_w, readable_h)

    # -- readout modes, gain, offset, fast readout ----------------------------------------------

    def readout_modes(self) -> list[str]:
        return self._locked(lambda: [READOUT_MODE_NAMES[t] for t in self.facts.image_types])

    def readout_mode(self) -> int:
        return self._locked(lambda: self._readout_mode)

    def set_readout_mode(self, value: int) -> None:
        def put() -> None:
            if not 0 <= value < len(self.facts.image_types):
                raise invalid_value(
                    f"readout mode {value} is outside 0 to {len(self.facts.image_types) - 1}")
            self._readout_mode = value
        self._locked(put)

    def gain(self) -> int:
        return self._locked(lambda: self._read("ASI_GAIN", "Gain"))

    def set_gain(self, value: int) -> None:
        self._locked(lambda: self._write("ASI_GAIN", "Gain", value))

    def gain_min(self) -> int:
        return self._locked(lambda: self._control("ASI_GAIN", "Gain").min_value)

    def gain_max(self) -> int:
        return self._locked(lambda: self._control("ASI_GAIN", "Gain").max_value)

    def gains(self) -> list[str]:
        raise not_implemented("Gains (gain is a number between GainMin and GainMax)")

    def offset(self) -> int:
        return self._locked(lambda: self._read("ASI_OFFSET", "Offset"))

    def set_offset(self, value: int) -> None:
        self._locked(lambda: self._write("ASI_OFFSET", "Offset", value))

    def offset_min(self) -> int:
        return self._locked(lambda: self._control("ASI_OFFSET", "Offset").min_value)

    def offset_max(self) -> int:
        return self._locked(lambda: self._control("ASI_OFFSET", "Offset").max_value)

    def offsets(self) -> list[str]:
        raise not_implemented("Offsets (offset is a number between OffsetMin and OffsetMax)")

    def fast_readout(self) -> bool:
        def get() -> bool:
            if self._fast_readout_control() is None:
                raise not_implemented("FastReadout")
            return self._read("ASI_HIGH_SPEED_MODE", "FastReadout") != 0
        return self._locked(get)

    def set_fast_readout(self, value: bool) -> None:
        def put() -> None:
            if self._fast_readout_control() is None:
                raise not_implemented("FastReadout")
            self._write("ASI_HIGH_SPEED_MODE", "FastReadout", int(value))
        self._locked(put)

    def sub_exposure_duration(self) -> float:
        raise not_implemented("SubExposureDuration")

    def set_sub_exposure_duration(self, value: float) -> None:
        raise not_implemented("SubExposureDuration")

    # -- cooling -------------------------------------------------------------------------------

    def ccd_temperature(self) -> float:
        return self._locked(lambda: self._read("ASI_TEMPERATURE", "CCDTemperature") / 10.0)

    def heat_sink_temperature(self) -> float:
        raise not_implemented("HeatSinkTemperature")

    def _require_cooler(self, what: str) -> None:
        if not self.facts.has_cooler:
            raise not_implemented(f"{what} on a camera without a cooler")

    def cooler_on(self) -> bool:
        def get() -> bool:
            self._require_cooler("CoolerOn")
            return self._read("ASI_COOLER_ON", "CoolerOn") != 0
        return self._locked(get)

    def set_cooler_on(self, value: bool) -> None:
        def put() -> None:
            self._require_cooler("CoolerOn")
            self._write("ASI_COOLER_ON", "CoolerOn", int(value))
        self._locked(put)

    def cooler_power(self) -> float:
        return self._locked(lambda: float(self._read("ASI_COOLER_POWER_PERC", "CoolerPower")))

    def set_ccd_temperature(self) -> float:
        def get() -> float:
            self._require_cooler("SetCCDTemperature")
            return float(self._read("ASI_TARGET_TEMP", "SetCCDTemperature"))
        return self._locked(get)

    def put_set_ccd_temperature(self, value: float) -> None:
        def put() -> None:
            self._require_cooler("SetCCDTemperature")
            control = self._control("ASI_TARGET_TEMP", "SetCCDTemperature")
            if not control.min_value <= value <= control.max_value:
                raise invalid_value(f"SetCCDTemperature {value:g} is outside "
                                    f"{control.min_value} to {control.max_value} degrees C")
            # The camera holds its target in whole degrees.
            self._write("ASI_TARGET_TEMP", "SetCCDTemperature", round(value))
        self._locked(put)

    # -- exposures -----------------------------------------------------------------------------

    def start_exposure(self, duration: float, light: bool) -> None:
        def put() -> None:
            self._update()
            if self._exposure is not None:
                raise invalid_operation(f"an exposure is already in progress on {self.name}")
            low, high = self._exposure_range()
            if not low <= duration <= high:
                raise invalid_value(f"Duration {duration:g} s is outside {low:g} to {high:g} s")
            want, sdk = self._requested_window()
            image_type = self._image_type()
            with self._sdk("starting the exposure"):
                self.backend.set_window(sdk.width, sdk.height, self._bin, image_type, sdk.x, sdk.y)
                self.backend.set_control("ASI_EXPOSURE", max(1, round(duration * 1e6)))
                now = datetime.now(timezone.utc)
                self.backend.start_exposure(dark=not light)
            self._exposure = Exposure(now, time.monotonic(), duration, want, sdk, image_type)
            self._state = CameraState.EXPOSING
            self._error = ""
            self._image = None
            self._last_start, self._last_duration = now, duration
        self._locked(put)

    def _update(self) -> None:
        """Bring the exposure state up to date; reads the image out when it has finished."""
        exposure = self._exposure
        if exposure is None:
            return
        with self._sdk("polling the exposure"):
            status = self.backend.exposure_status()
        elapsed = time.monotonic() - exposure.started
        if status == "success":
            self._state = CameraState.DOWNLOAD
            try:
                with self._sdk("reading the image"):
                    sdk = exposure.sdk_window
                    frame = self.backend.read_image(sdk.width, sdk.height, exposure.image_type)
            except AlpacaError as exc:
                self._fail(exc.message)
                raise
            want = exposure.window
            x0, y0 = want.x - sdk.x, want.y - sdk.y
            self._image = ImageData(frame[y0:y0 + want.height, x0:x0 + want.width])
            self._exposure = None
            self._state = CameraState.IDLE
        elif status == "failed":
            self._fail(f"the exposure failed on {self.name}")
        elif status == "idle" and elapsed > IDLE_GRACE_S:
            self._fail(f"{self.name} went idle without finishing the exposure")
        elif elapsed > exposure.duration + EXPOSURE_GRACE_S:
            try:
                self.backend.stop_exposure()
            except Exception:
                pass
            self._fail(f"the exposure on {self.name} did not finish")

    def _fail(self, message: str) -> None:
        self._exposure = None
        self._state = CameraState.ERROR
        self._error = message

    def camera_state(self) -> int:
        def get() -> int:
            self._update()
            return int(self._state)
        return self._locked(get)

    def image_ready(self) -> bool:
        def get() -> bool:
            self._update()
            return self._image is not None
        return self._locked(get)

    def percent_completed(self) -> int:
        def get() -> int:
            self._update()
            exposure = self._exposure
            if exposure is not None:
                elapsed = time.monotonic() - exposure.started
                fraction = elapsed / exposure.duration if exposure.duration > 0 else 1.0
                return max(0, min(99, int(fraction * 100)))
            if self._image is not None:
                return 100
            if self._state == CameraState.ERROR:
                raise invalid_operation(self._error)
            raise invalid_operation("no exposure has been started")
        return self._locked(get)

    def image(self) -> ImageData:
        def get() -> ImageData:
            self._update()
            if self._image is None:
                if self._state == CameraState.ERROR:
                    raise invalid_operation(f"no image: {self._error}")
                raise invalid_operation(f"no image is ready on {self.name}")
            return self._image
        return self._locked(get)

    def abort_exposure(self) -> None:
        def put() -> None:
            self._update()
            if self._exposure is None:
                return
            with self._sdk("aborting the exposure"):
                self.backend.stop_exposure()
            self._exposure = None
            self._state = CameraState.IDLE
        self._locked(put)

    def stop_exposure(self) -> None:
        raise not_implemented("StopExposure (CanStopExposure is false: the SDK keeps no image "
                              "of an exposure stopped early; use AbortExposure)")

    def last_exposure_duration(self) -> float:
        def get() -> float:
            if self._last_duration is None:
                raise value_not_set("no exposure has been taken")
            return self._last_duration
        return self._locked(get)

    def last_exposure_start_time(self) -> str:
        def get() -> str:
            if self._last_start is None:
                raise value_not_set("no exposure has been taken")
            return self._last_start.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]
        return self._locked(get)

    # -- guiding -------------------------------------------------------------------------------

    def pulse_guide(self, direction: int, duration_ms: int) -> None:
        def put() -> None:
            if not self.facts.has_st4:
                raise not_implemented("PulseGuide on a camera without an ST4 port")
            if not 0 <= direction <= 3:
                raise invalid_value(f"Direction {direction} is not 0 (north), 1 (south), "
                                    "2 (east) or 3 (west)")
            if not 0 <= duration_ms <= MAX_PULSE_MS:
                raise invalid_value(f"Duration {duration_ms} ms is outside 0 to {MAX_PULSE_MS} ms")
            for d in (direction, OPPOSITE[direction]):
                self._end_pulse(d)
            if duration_ms == 0:
                return
            with self._sdk(f"starting a pulse {GUIDE_DIRECTIONS[direction].lower()}"):
                self.backend.pulse_on(direction)
            timer = threading.Timer(duration_ms / 1000.0, self._pulse_elapsed, (direction,))
            timer.daemon = True
            self._pulse_timers[direction] = timer
            timer.start()
        self._locked(put)

    def _pulse_elapsed(self, direction: int) -> None:
        with self.lock:
            timer = self._pulse_timers.get(direction)
            if timer is not None and timer is threading.current_thread():
                self._end_pulse(direction)

    def _end_pulse(self, direction: int) -> None:
        timer = self._pulse_timers.pop(direction, None)
        if timer is None:
            return
        timer.cancel()
        try:
            self.backend.pulse_off(direction)
        except Exception:
            pass  # a camera that is gone has stopped pulsing

    def _stop_pulses(self) -> None:
        for direction in list(self._pulse_timers):
            self._end_pulse(direction)

    def is_pulse_guiding(self) -> bool:
        def get() -> bool:
            if not self.facts.has_st4:
                raise not_implemented("IsPulseGuiding on a camera without an ST4 port")
            return bool(self._pulse_timers)
        return self._locked(get)

    # -- DeviceState ---------------------------------------------------------------------------

    def device_state(self) -> list[dict[str, object]]:
        """The operational properties that this camera implements, read in one go."""
        readers: list[tuple[str, Callable[[], object]]] = [
            ("CameraState", self.camera_state),
            ("CCDTemperature", self.ccd_temperature),
            ("CoolerPower", self.cooler_power),
            ("ImageReady", self.image_ready),
            ("IsPulseGuiding", self.is_pulse_guiding),
            ("PercentCompleted", self.percent_completed),
        ]
        state: list[dict[str, object]] = []
        with self.lock:
            self._require_connection()
            for name, read in readers:
                try:
                    state.append({"Name": name, "Value": read()})
                except AlpacaError as exc:
                    if exc.number == ErrorNumber.NOT_CONNECTED:
                        raise
        stamp = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]
        state.append({"Name": "TimeStamp", "Value": stamp})
        return state
