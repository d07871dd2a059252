"""One camera as an Alpaca Camera device (ICameraV4): its state and every member's behaviour.

The device keeps what Alpaca defines as client-side settings (binning, subframe, readout mode)
and applies them when an exposure starts, where they are checked. An exposure is started on the
camera and then polled: whichever request first finds it finished (ImageReady, CameraState,
ImageArray, ...) reads the image out, so no thread waits on the camera. Guide pulses end on
timers.

Members are plain methods: `invoke()` runs one under the device's lock, after the connection
check the member table asks for, and turns camera-layer failures into ASCOM errors by exception
class. The device talks to the camera layer only, through one open `Camera` while connected:
controls are read and written through its properties, in its units and with its range checks
(a value out of range is its ValueError, answered InvalidValue); an exposure is its
non-blocking `Exposure`, whose status (the SDK's `ExposureStatus`) the device turns into
Alpaca's `CameraState`.

The sensor size reported to clients (`CameraXSize` x `CameraYSize`) is the largest area that
every offered binning reads whole: divisible by every bin, and within what the camera reads at
each bin (widths in steps of 8, heights in steps of 2). So `NumX = CameraXSize / BinX` is a full
frame at any binning, and an image is always `NumX` x `NumY` as set.
"""

from __future__ import annotations

import enum
import math
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from datetime import datetime, timezone
from typing import TypeVar

from velmora.brinmoor.camera import (
    ASICameraClosed,
    ASIInvalidIndex,
    Camera,
    Conversion,
    ExposureStatus,
    GuideDirection,
    Roi,
)
from velmora.brinmoor.camera import Exposure as CameraExposure

from .errors import (
    AlpacaError,
    ErrorNumber,
    error_number,
    from_sdk_error,
    invalid_operation,
    invalid_value,
    not_connected,
    not_implemented,
    value_not_set,
)
from .facts import CameraFacts, ImageType
from .imagedata import ImageData

T = TypeVar("T")

# The Alpaca API's limit on Description.
MAX_DESCRIPTION = 64

DRIVER_VERSION = "1.0"
INTERFACE_VERSION = 4
# An exposure still "working" this long after its end is taken as lost.
EXPOSURE_GRACE_S = 120.0
# CCDTemperature, which clients poll, is answered from a read at most this old; an older one is
# read again in a worker thread, so a camera that does not answer never holds up the server.
TEMPERATURE_MAX_AGE_S = 1.0
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


@dataclass(frozen=True)
class ControlRange:
    """A control's capabilities as the camera reports them, by ControlType name."""

    min_value: int
    max_value: int
    writable: bool


@dataclass
class Pending:
    """An exposure a client started and has not collected."""

    taken: CameraExposure
    started: float  # monotonic
    duration: float
    window: Window  # what the client asked for
    sdk_window: Window  # what the camera reads (aligned to its steps), containing `window`


def readable(size: int, bin: int, step: int) -> int:
    """Binned pixels the camera reads along one axis at `bin`: whole steps only."""
    binned = size // bin
    return binned - binned % step


def whole_size(size: int, bins: tuple[int, ...], step: int) -> int:
    """The largest size along one axis that every bin divides and reads whole."""
    common = math.lcm(*bins)
    limit = min(readable(size, b, step) * b for b in bins)
    return limit - limit % common


def _sdk_window(want: Window, readable_w: int, readable_h: int) -> Window:
    """The smallest SDK-aligned window that contains `want` and lies within the readable area."""
    width = -(-want.width // SDK_WIDTH_STEP) * SDK_WIDTH_STEP
    height = -(-want.height // SDK_HEIGHT_STEP) * SDK_HEIGHT_STEP
    x = min(want.x, readable_w - width)
    y = min(want.y, readable_h - height)
    return Window(x, y, width, height)


class AlpacaCamera:
    """The Alpaca camera device number `number`, serving the camera that `facts` describe."""

    def __init__(self, number: int, facts: CameraFacts) -> None:
        self.number = number
        self.facts = facts
        self.lock = threading.RLock()
        self._connected = False
        self._camera: Camera | None = None
        # The last temperature read and when (monotonic), replaced whole: read without the lock.
        self._temperature: tuple[float, float] | None = None
        self._controls: dict[str, ControlRange] = {}
        self.x_size = whole_size(self.facts.width, self.facts.bins, SDK_WIDTH_STEP)
        self.y_size = whole_size(self.facts.height, self.facts.bins, SDK_HEIGHT_STEP)
        self._bin = 1
        self._num_x, self._num_y = self.x_size, self.y_size
        self._start_x = self._start_y = 0
        self._readout_mode = 0
        self._exposure: Pending | None = None
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

    @property
    def camera(self) -> Camera:
        """The open camera-layer camera (the layer's closed-camera error when there is none)."""
        camera = self._camera
        if camera is None or camera.closed:
            exc = ASICameraClosed()
            exc.add_note(f"camera {self.facts.index} ({self.name}) is not open")
            raise exc
        return camera

    def invoke(self, member: Callable[[], T], *, needs_connection: bool = True,
               what: str = "the request") -> T:
        """Run one member under the device's lock; camera-layer failures become ASCOM errors.

        A failure saying the camera is gone (unplugged, closed) also ends the connection, so
        `Connected` reads false until the client connects again."""
        with self.lock:
            if needs_connection and not self._connected:
                raise not_connected(self.name)
            try:
                return member()
            except AlpacaError as exc:
                if exc.number == ErrorNumber.NOT_CONNECTED and self._connected:
                    self._lost()
                raise
            except Exception as exc:
                error = from_sdk_error(exc, f"{what} on {self.name}")
                if error.number == ErrorNumber.NOT_CONNECTED and self._connected:
                    self._lost()
                raise error from exc

    def try_now(self, member: Callable[[], T], *, needs_connection: bool = True,
                what: str = "the request") -> tuple[bool, T | None]:
        """Run a member that reads only the device's own state at once, when nothing else holds
        the device and no exposure may need reading out; (False, None) when it must wait."""
        if not self.lock.acquire(blocking=False):
            return False, None
        try:
            if self._exposure is not None:
                return False, None
            return True, self.invoke(member, needs_connection=needs_connection, what=what)
        finally:
            self.lock.release()

    @contextmanager
    def _sdk(self, doing: str) -> Iterator[None]:
        """Failures inside the block become Alpaca errors that say what was being done."""
        try:
            yield
        except AlpacaError:
            raise
        except Exception as exc:
            raise from_sdk_error(exc, f"{doing} on {self.name}") from exc

    def _control(self, name: str, what: str) -> ControlRange:
        control = self._controls.get(name)
        if control is None:
            raise not_implemented(what)
        return control

    # -- connection (common members) ---------------------------------------------------------

    @property
    def is_connected(self) -> bool:
        """Whether a client has connected the device (as last known; `connected()` asks the
        camera)."""
        return self._connected

    def connected(self) -> bool:
        """Whether the device is connected and its camera still answers (false once it has been
        unplugged; connecting again after it is back reopens it)."""
        if not self._connected:
            return False
        try:
            self._read_temperature()  # one short SDK call, which every camera answers
        except Exception as exc:
            if error_number(exc) == ErrorNumber.NOT_CONNECTED:
                self._lost()
                return False
            raise
        return True

    def _lost(self) -> None:
        """The camera went away: forget the connection and what it was doing."""
        self._stop_pulses()
        self._close_camera()
        self._connected = False
        self._exposure = None
        self._state = CameraState.IDLE

    def _close_camera(self) -> None:
        camera, self._camera = self._camera, None
        self._temperature = None
        if camera is not None:
            try:
                camera.close()  # aborts a running exposure
            except Exception:
                pass  # closing a camera that is gone may fail; it is closed either way

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
                self._controls = self._open()
            self._connected = True
            self._state = CameraState.IDLE
            self._exposure = None
            self._image = None  # an image from before is not this connection's
            self._error = ""

    def disconnect(self) -> None:
        """End exposures and guide pulses, then close the camera."""
        with self.lock:
            if not self._connected:
                return
            self._stop_pulses()
            self._exposure = None  # closing the camera aborts it
            self._connected = False
            self._state = CameraState.IDLE
            self._close_camera()

    def _open(self) -> dict[str, ControlRange]:
        """Open the camera of this device's facts; its controls by ControlType name."""
        self._close_camera()
        camera = Camera(self.facts.index)
        if camera.id != self.facts.camera_id or camera.name != self.facts.name:
            camera.close()
            exc = ASIInvalidIndex()
            exc.add_note(f"camera {self.facts.index} is now {camera.name}, not {self.facts.name}")
            raise exc
        self._camera = camera
        return {control.control_type.name: ControlRange(control.min, control.max, control.writable)
                for control in camera.controls.values() if control.control_type is not None}

    def description(self) -> str:
        kind = "colour" if self.facts.bayer_offset is not None else "monochrome"
        cooled = ", cooled" if self.facts.has_cooler else ""
        return f"{self.name} {kind} camera{cooled}"[:MAX_DESCRIPTION]

    # -- sensor facts -------------------------------------------------------------------------

    def camera_x_size(self) -> int:
        return self.x_size

    def camera_y_size(self) -> int:
        return self.y_size

    def pixel_size(self) -> float:
        return self.facts.pixel_size_um

    def sensor_type(self) -> int:
        return int(SensorType.MONOCHROME if self.facts.bayer_offset is None else SensorType.RGGB)

    def bayer_offset(self, axis: int) -> int:
        if self.facts.bayer_offset is None:
            raise not_implemented("BayerOffset on a monochrome sensor")
        return self.facts.bayer_offset[axis]

    def sensor_name(self) -> str:
        return ""  # the SDK does not name the sensor chip; the interface asks for "" then

    def has_shutter(self) -> bool:
        return self.facts.has_shutter

    def max_bin(self) -> int:
        return max(self.facts.bins)

    def can_pulse_guide(self) -> bool:
        return self.facts.has_st4

    def can_get_cooler_power(self) -> bool:
        return "ASI_COOLER_POWER_PERC" in self._controls

    def can_set_ccd_temperature(self) -> bool:
        return self.facts.has_cooler and "ASI_TARGET_TEMP" in self._controls

    def can_fast_readout(self) -> bool:
        return self._fast_readout_control() is not None

    def _fast_readout_control(self) -> ControlRange | None:
        control = self._controls.get("ASI_HIGH_SPEED_MODE")
        return control if control is not None and control.writable else None

    def _image_type(self) -> ImageType:
        return self.facts.image_types[self._readout_mode]

    def max_adu(self) -> int:
        return MAX_ADU[self._image_type()]

    def _conversion(self, what: str) -> Conversion:
        """The camera layer's figures at the present gain, readout mode and binning."""
        figures = self.camera.conversion(self._image_type(), self._bin)
        if figures is None:
            raise not_implemented(f"{what} at gain {self.camera.gain} (the camera "
                                  "reports its conversion factor for gain 0 only)")
        return figures

    def electrons_per_adu(self) -> float:
        """Electrons per unit of the delivered pixel values at the present gain: RAW16 holds the
        ADC's values in its top bits, RAW8 the top 8 bits."""
        return self._conversion("ElectronsPerADU").electrons_per_adu

    def full_well_capacity(self) -> float:
        """Electrons a binned pixel holds before its value stops rising at the present gain: the
        pixels' full well or the values' full scale, whichever comes first."""
        full_well = self._conversion("FullWellCapacity").full_well
        if full_well is None:
            raise not_implemented("FullWellCapacity (the camera does not report its full well)")
        return full_well

    # -- exposure limits ------------------------------------------------------------------------

    def _exposure_range(self) -> tuple[float, float]:
        control = self._control("ASI_EXPOSURE", "Exposure")
        return control.min_value / 1e6, control.max_value / 1e6

    def exposure_min(self) -> float:
        return self._exposure_range()[0]

    def exposure_max(self) -> float:
        return self._exposure_range()[1]

    def exposure_resolution(self) -> float:
        return 1e-6  # the SDK sets exposures in microseconds

    # -- binning and subframe -------------------------------------------------------------------

    def bin(self) -> int:
        return self._bin

    def set_bin(self, value: int) -> None:
        if value not in self.facts.bins:
            allowed = ", ".join(str(b) for b in self.facts.bins)
            raise invalid_value(f"bin {value} is not supported by {self.name} (supported: {allowed})")
        self._bin = value  # binning is symmetric: BinX and BinY are one setting

    def num_x(self) -> int:
        return self._num_x

    def num_y(self) -> int:
        return self._num_y

    def start_x(self) -> int:
        return self._start_x

    def start_y(self) -> int:
        return self._start_y

    # The subframe is checked as a whole at StartExposure, where the binning is known too.
    def set_num_x(self, value: int) -> None:
        self._num_x = value

    def set_num_y(self, value: int) -> None:
        self._num_y = value

    def set_start_x(self, value: int) -> None:
        self._start_x = value

    def set_start_y(self, value: int) -> None:
        self._start_y = value

    def _requested_window(self) -> tuple[Window, Window]:
        """The client's window at the current binning and the aligned window the camera reads.

        The SDK reads widths in steps of 8 and heights in steps of 2: the camera reads the
        smallest aligned window that contains the client's, and the image is cut from it."""
        b = self._bin
        full_w, full_h = self.x_size // b, self.y_size // b
        want = Window(self._start_x, self._start_y, self._num_x, self._num_y)
        if want.width < 1 or want.height < 1 or want.x < 0 or want.y < 0 \
                or want.x + want.width > full_w or want.y + want.height > full_h:
            raise invalid_value(
                f"the subframe {want.width} x {want.height} at ({want.x}, {want.y}) does not fit "
                f"the {full_w} x {full_h} pixels read at bin {b} (NumX and NumY at least 1, "
                f"StartX + NumX at most {full_w}, StartY + NumY at most {full_h})")
        readable_w = readable(self.facts.width, b, SDK_WIDTH_STEP)
        readable_h = readable(self.facts.height, b, SDK_HEIGHT_STEP)
        return want, _sdk_window(want, readable_w, readable_h)

    # -- readout modes, gain, offset, fast readout ----------------------------------------------

    def readout_modes(self) -> list[str]:
        return [READOUT_MODE_NAMES[t] for t in self.facts.image_types]

    def readout_mode(self) -> int:
        return self._readout_mode

    def set_readout_mode(self, value: int) -> None:
        if not 0 <= value < len(self.facts.image_types):
            raise invalid_value(
                f"readout mode {value} is outside 0 to {len(self.facts.image_types) - 1}")
        self._readout_mode = value

    def gain(self) -> int:
        return self.camera.gain

    def set_gain(self, value: int) -> None:
        self.camera.gain = value

    def gain_min(self) -> int:
        return self._control("ASI_GAIN", "Gain").min_value

    def gain_max(self) -> int:
        return self._control("ASI_GAIN", "Gain").max_value

    def gains(self) -> list[str]:
        raise not_implemented("Gains (gain is a number between GainMin and GainMax)")

    def offset(self) -> int:
        return self.camera.offset

    def set_offset(self, value: int) -> None:
        self.camera.offset = value

    def offset_min(self) -> int:
        return self._control("ASI_OFFSET", "Offset").min_value

    def offset_max(self) -> int:
        return self._control("ASI_OFFSET", "Offset").max_value

    def offsets(self) -> list[str]:
        raise not_implemented("Offsets (offset is a number between OffsetMin and OffsetMax)")

    def fast_readout(self) -> bool:
        if self._fast_readout_control() is None:
            raise not_implemented("FastReadout")
        return self.camera.high_speed

    def set_fast_readout(self, value: bool) -> None:
        if self._fast_readout_control() is None:
            raise not_implemented("FastReadout")
        self.camera.high_speed = value

    def sub_exposure_duration(self) -> float:
        raise not_implemented("SubExposureDuration")

    def set_sub_exposure_duration(self, value: float) -> None:
        raise not_implemented("SubExposureDuration")

    # -- cooling -------------------------------------------------------------------------------

    def ccd_temperature(self) -> float:
        return self._read_temperature()

    def recent_ccd_temperature(self) -> float | None:
        """CCDTemperature without touching the camera: the last read while it is recent and the
        device connected, else None (`ccd_temperature` then reads it)."""
        reading = self._temperature
        if reading is None or not self._connected \
                or time.monotonic() - reading[1] > TEMPERATURE_MAX_AGE_S:
            return None
        return reading[0]

    def _read_temperature(self) -> float:
        value = self.camera.temperature
        self._temperature = (value, time.monotonic())
        return value

    def heat_sink_temperature(self) -> float:
        raise not_implemented("HeatSinkTemperature")

    def _require_cooler(self, what: str) -> None:
        if not self.facts.has_cooler:
            raise not_implemented(f"{what} on a camera without a cooler")

    def cooler_on(self) -> bool:
        self._require_cooler("CoolerOn")
        return self.camera.cooler

    def set_cooler_on(self, value: bool) -> None:
        self._require_cooler("CoolerOn")
        self.camera.cooler = value

    def cooler_power(self) -> float:
        return float(self.camera.cooler_power)

    def set_ccd_temperature(self) -> float:
        self._require_cooler("SetCCDTemperature")
        return float(self.camera.target_temperature)

    def put_set_ccd_temperature(self, value: float) -> None:
        self._require_cooler("SetCCDTemperature")
        # The camera holds its target in whole degrees; the layer checks the range.
        self.camera.target_temperature = round(value)

    # -- exposures -----------------------------------------------------------------------------

    def start_exposure(self, duration: float, light: bool) -> None:
        self._update()
        if self._exposure is not None:
            raise invalid_operation(f"an exposure is already in progress on {self.name}")
        if duration < 0:
            raise invalid_value(f"Duration {duration:g} s is negative")
        # Shorter than the camera's shortest (a 0 s bias frame): the shortest it takes. The
        # camera layer refuses one longer than the camera's longest.
        duration = max(duration, self._exposure_range()[0])
        want, sdk = self._requested_window()
        roi = Roi(sdk.width, sdk.height, self._bin, self._image_type(), sdk.x, sdk.y)
        with self._sdk("starting the exposure"):
            # Only the calls that take the exposure: its frame's other metadata go unused here.
            taken = self.camera.start_exposure(duration, dark=not light, roi=roi,
                                               read_settings=False)
        now = taken.metadata.start
        self._exposure = Pending(taken, time.monotonic(), duration, want, sdk)
        self._state = CameraState.EXPOSING
        self._error = ""
        self._image = None
        self._last_start, self._last_duration = now, duration

    def _update(self) -> None:
        """Bring the exposure state up to date; reads the image out when it has finished."""
        exposure = self._exposure
        if exposure is None:
            return
        with self._sdk("polling the exposure"):
            # The camera layer's status: it keeps "working" through the moment the SDK may
            # show a just-started exposure as idle, and stops an exposure that failed.
            status = exposure.taken.status
        if status == ExposureStatus.ASI_EXP_SUCCESS:
            self._state = CameraState.DOWNLOAD
            try:
                with self._sdk("reading the image"):
                    frame = exposure.taken.frame().array
            except AlpacaError as exc:
                self._fail(exc.message)
                raise
            want, sdk = exposure.window, exposure.sdk_window
            x0, y0 = want.x - sdk.x, want.y - sdk.y
            self._image = ImageData(frame[y0:y0 + want.height, x0:x0 + want.width])
            self._exposure = None
            self._state = CameraState.IDLE
        elif status == ExposureStatus.ASI_EXP_FAILED:
            self._fail(f"the exposure failed on {self.name}")
        elif status == ExposureStatus.ASI_EXP_IDLE:
            self._fail(f"{self.name} went idle without finishing the exposure")
        elif time.monotonic() - exposure.started > exposure.duration + EXPOSURE_GRACE_S:
            exposure.taken.abort()
            self._fail(f"the exposure on {self.name} did not finish")

    def _fail(self, message: str) -> None:
        self._exposure = None
        self._state = CameraState.ERROR
        self._error = message

    def camera_state(self) -> int:
        self._update()
        return int(self._state)

    def image_ready(self) -> bool:
        self._update()
        return self._image is not None

    def percent_completed(self) -> int:
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

    def image(self) -> ImageData:
        self._update()
        if self._image is None:
            if self._state == CameraState.ERROR:
                raise invalid_operation(f"no image: {self._error}")
            raise invalid_operation(f"no image is ready on {self.name}")
        return self._image

    def image_array_variant(self) -> ImageData:
        raise not_implemented("ImageArrayVariant (a COM type; Alpaca clients read ImageArray)")

    def abort_exposure(self) -> None:
        self._update()
        exposure = self._exposure
        if exposure is None:
            return
        with self._sdk("aborting the exposure"):
            exposure.taken.abort()
        self._exposure = None
        self._state = CameraState.IDLE

    def stop_exposure(self) -> None:
        raise not_implemented("StopExposure (CanStopExposure is false: the SDK keeps no image "
                              "of an exposure stopped early; use AbortExposure)")

    def last_exposure_duration(self) -> float:
        if self._last_duration is None:
            raise value_not_set("no exposure has been taken")
        return self._last_duration

    def last_exposure_start_time(self) -> str:
        if self._last_start is None:
            raise value_not_set("no exposure has been taken")
        return self._last_start.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]

    # -- guiding -------------------------------------------------------------------------------

    def pulse_guide(self, direction: int, duration_ms: int) -> None:
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
            self.camera.guide_on(GuideDirection(direction))
        timer = threading.Timer(duration_ms / 1000.0, self._pulse_elapsed, (direction,))
        timer.daemon = True
        self._pulse_timers[direction] = timer
        timer.start()

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
            self.camera.guide_off(GuideDirection(direction))
        except Exception:
            pass  # a camera that is gone has stopped pulsing

    def _stop_pulses(self) -> None:
        for direction in list(self._pulse_timers):
            self._end_pulse(direction)

    def is_pulse_guiding(self) -> bool:
        if not self.facts.has_st4:
            raise not_implemented("IsPulseGuiding on a camera without an ST4 port")
        return bool(self._pulse_timers)

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
        for name, read in readers:
            try:
                state.append({"Name": name, "Value": read()})
            except AlpacaError as exc:
                if exc.number == ErrorNumber.NOT_CONNECTED:
                    raise
            except Exception as exc:
                error = from_sdk_error(exc, name)
                if error.number in (ErrorNumber.NOT_CONNECTED, ErrorNumber.UNSPECIFIED):
                    raise error from exc
                # what this camera does not have is left out
        stamp = datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]
        state.append({"Name": "TimeStamp", "Value": stamp})
        return state
