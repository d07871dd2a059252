"""One camera driven through the orvik module's public functions, as the capture tool uses it.

Only `velmora.brinmoor.orvik` is used here, so the same code runs on the simulated cameras and on
real ones. Every SDK call goes through `_call`, which turns the module's exceptions into
`CaptureError`s that say what was being done, to which camera, and why it failed.
"""

from __future__ import annotations

import time
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Callable

IMAGE_TYPE_MEMBERS = {
    "raw8": "IMG_RAW8", "raw16": "IMG_RAW16", "rgb24": "IMG_RGB24", "y8": "IMG_Y8",
}
BAYER_CELL_BY_MEMBER = {
    "BAYER_RG": "RGGB", "BAYER_BG": "BGGR", "BAYER_GR": "GRBG", "BAYER_GB": "GBRG",
}

# The SDK reports the sensor temperature in tenths of a degree Celsius.
TEMPERATURE_SCALE = 10.0
# Seconds an exposure may show as idle right after it was started.
IDLE_GRACE_S = 1.0


class CaptureError(Exception):
    """A failure while capturing: reported to the user, exit status 1."""

    exit_status = 1


class UsageError(CaptureError):
    """A request that cannot be carried out as given (bad value for this camera): exit status 2."""

    exit_status = 2


def load_module():
    try:
        from velmora.brinmoor import orvik
    except ImportError as exc:
        raise CaptureError(f"the camera module could not be loaded: {exc}") from exc
    return orvik


def describe_sdk_error(exc: BaseException) -> str:
    """`ASITimeout: Operation timed out.` The classes carry their description as docstring."""
    text = str(exc) or (type(exc).__doc__ or "").strip()
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def image_type_name(member) -> str:
    for name, member_name in IMAGE_TYPE_MEMBERS.items():
        if getattr(member, "name", None) == member_name:
            return name
    return str(getattr(member, "name", member))


@dataclass(frozen=True)
class Roi:
    width: int
    height: int
    bin: int
    img_type: str
    start_x: int
    start_y: int


class Camera:
    """A connected camera, found by its index; `with camera:` opens and initialises it."""

    def __init__(self, orvik, index: int):
        self.asi = orvik
        count = orvik.get_number_of_connected_cameras()
        if count <= 0:
            raise CaptureError("no cameras connected")
        if not 0 <= index < count:
            raise UsageError(
                f"no camera with index {index}: {count} connected "
                f"(use an index from 0 to {count - 1})"
            )
        self.index = index
        self.label = f"camera {index}"
        self.info = self._call("reading the camera's properties", orvik.get_camera_property, index)
        self.id = self.info.camera_id
        self.name = self.info.name
        self.label = f"camera {index} ({self.name})"
        self.caps: dict = {}  # by ControlType member
        self.controls: list = []  # (ControlType member or None, ControlCaps) in camera order
        self._open = False

    # -- plumbing -------------------------------------------------------------------------

    def _call(self, what: str, function, *args):
        try:
            return function(*args)
        except self.asi.ASIError as exc:
            raise CaptureError(f"{what} failed on {self.label}: {describe_sdk_error(exc)}") from exc

    def open(self) -> None:
        self._call("opening the camera", self.asi.open_camera, self.id)
        self._open = True
        self._call("initialising the camera", self.asi.init_camera, self.id)
        count = self._call("counting the controls", self.asi.get_num_of_controls, self.id)
        for i in range(count):
            caps = self._call("reading a control's capabilities", self.asi.get_control_caps,
                              self.id, i)
            try:
                ctype = caps.control_type
            except ValueError:
                ctype = None  # a control newer than the module's enumeration: listed, not used
            self.controls.append((ctype, caps))
            if ctype is not None:
                self.caps[ctype] = caps

    def close(self) -> None:
        if self._open:
            self._open = False
            try:
                self.asi.close_camera(self.id)
            except self.asi.ASIError:
                pass  # the camera may be gone already; nothing left to release on our side

    def __enter__(self):
        try:
            self.open()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False

    # -- properties and controls ----------------------------------------------------------

    @property
    def bayer_cell(self) -> str | None:
        if not self.info.is_color_camera:
            return None
        try:
            return BAYER_CELL_BY_MEMBER.get(self.info.bayer_pattern.name)
        except ValueError:
            return None  # a pattern code the module does not know: treat the frame as grey

    def image_types(self) -> list[str] | None:
        """The camera's image types, each once; None when it names one the module does not know
        (then the SDK alone decides what it accepts)."""
        try:
            formats = self.info.supported_video_formats
        except ValueError:
            return None
        # Zero entries after the end marker read back as RAW8 again; list each type once.
        return list(dict.fromkeys(image_type_name(m) for m in formats))

    def has(self, control: str) -> bool:
        return getattr(self.asi.ControlType, control) in self.caps

    def get(self, control: str) -> tuple[int, bool]:
        ctype = getattr(self.asi.ControlType, control)
        return self._call(f"reading {control}", self.asi.get_control_value, self.id, ctype)

    def set(self, control: str, value: int, auto: bool = False, what: str | None = None) -> None:
        """Set a control after checking it exists, is writable and takes the value."""
        what = what or control
        ctype = getattr(self.asi.ControlType, control)
        caps = self.caps.get(ctype)
        if caps is None:
            raise UsageError(f"{self.label} has no {what} control")
        if not caps.is_writable:
            raise UsageError(f"{what} cannot be set on {self.label}")
        if not caps.min_value <= value <= caps.max_value:
            raise UsageError(
                f"{what} {value} is out of range for {self.label} "
                f"({caps.min_value} to {caps.max_value})"
            )
        self._call(f"setting {what}", self.asi.set_control_value, self.id, ctype, int(value), auto)

    def temperature(self) -> float | None:
        if not self.has("ASI_TEMPERATURE"):
            return None
        return self.get("ASI_TEMPERATURE")[0] / TEMPERATURE_SCALE

    # -- region of interest ---------------------------------------------------------------

    def set_roi(
        self,
        bin: int,
        img_type: str,
        width: int | None = None,
        height: int | None = None,
        start_x: int | None = None,
        start_y: int | None = None,
    ) -> Roi:
        """Check the request against the camera's facts, set it, and return what the camera took.

        Without a size the whole sensor at this binning is used (rounded down to the SDK's
        multiples of 8 and 2); without a start position the camera's own (centred) one stays.
        """
        info = self.info
        if bin not in info.supported_bins:
            raise UsageError(
                f"bin {bin} is not supported by {self.label} (supported: "
                + ", ".join(str(b) for b in info.supported_bins) + ")"
            )
        types = self.image_types()
        if types is not None and img_type not in types:
            raise UsageError(
                f"image type {img_type} is not supported by {self.label} "
                f"(supported: {', '.join(types)})"
            )
        max_w, max_h = info.max_width // bin, info.max_height // bin
        width = max_w - max_w % 8 if width is None else width
        height = max_h - max_h % 2 if height is None else height
        if width % 8:
            raise UsageError(f"ROI width {width} is not a multiple of 8")
        if height % 2:
            raise UsageError(f"ROI height {height} is not a multiple of 2")
        if not (0 < width <= max_w and 0 < height <= max_h):
            raise UsageError(
                f"ROI {width}x{height} does not fit the sensor of {self.label} at bin {bin} "
                f"({max_w}x{max_h})"
            )
        axes = (("x", start_x, width, max_w), ("y", start_y, height, max_h))
        for name, start, size, limit in axes:
            if start is not None and not 0 <= start <= limit - size:
                raise UsageError(
                    f"start {name} {start} puts the ROI outside the sensor of {self.label} "
                    f"(0 to {limit - size} at this size and bin)"
                )
        member = getattr(self.asi.ImgType, IMAGE_TYPE_MEMBERS[img_type])
        self._call("setting the ROI format", self.asi.set_roi_format,
                   self.id, width, height, bin, member)
        if start_x is not None or start_y is not None:
            cur_x, cur_y = self._call("reading the start position", self.asi.get_start_pos, self.id)
            x = cur_x if start_x is None else start_x
            y = cur_y if start_y is None else start_y
            self._call("setting the start position", self.asi.set_start_pos, self.id, x, y)
        return self.roi()

    def roi(self) -> Roi:
        w, h, b, t = self._call("reading the ROI format", self.asi.get_roi_format, self.id)
        x, y = self._call("reading the start position", self.asi.get_start_pos, self.id)
        return Roi(w, h, b, image_type_name(t), x, y)

    # -- capture --------------------------------------------------------------------------

    def expose(
        self,
        buffer_size: int,
        dark: bool,
        timeout_s: float,
        on_wait: Callable[[float], None] | None = None,
    ) -> bytes:
        """Take one snapshot and read it out; `on_wait(elapsed)` is called while waiting."""
        status = self.asi.ExposureStatus
        self._call("starting the exposure", self.asi.start_exposure, self.id, dark)
        t0 = time.monotonic()
        delay = 0.001
        try:
            while True:
                state = self._call("polling the exposure", self.asi.get_exp_status, self.id)
                if state == status.ASI_EXP_SUCCESS:
                    break
                if state == status.ASI_EXP_FAILED:
                    raise CaptureError(f"the exposure failed on {self.label}")
                elapsed = time.monotonic() - t0
                # A camera may report idle for a moment before the exposure shows as working;
                # idle for longer means the exposure was lost.
                if state == status.ASI_EXP_IDLE and elapsed > IDLE_GRACE_S:
                    raise CaptureError(f"{self.label} went idle without finishing the exposure")
                if elapsed > timeout_s:
                    raise CaptureError(
                        f"the exposure on {self.label} did not finish within {timeout_s:g} s"
                    )
                if on_wait is not None:
                    on_wait(elapsed)
                time.sleep(delay)
                delay = min(delay * 2, 0.1)
        except BaseException:
            # Leave the camera idle on any way out (timeout, failure, Ctrl-C).
            try:
                self.asi.stop_exposure(self.id)
            except self.asi.ASIError:
                pass
            raise
        return self._call("reading the image", self.asi.get_data_after_exp, self.id, buffer_size)

    @contextmanager
    def video(self):
        """Video capture running for the duration of the block."""
        self._call("starting video capture", self.asi.start_video_capture, self.id)
        try:
            yield
        finally:
            try:
                self.asi.stop_video_capture(self.id)
            except self.asi.ASIError:
                pass  # already stopped or unplugged; the error that matters is the one in flight

    def video_frame(self, buffer_size: int, wait_ms: int) -> bytes | None:
        """The next video frame, or None when none arrived within `wait_ms`."""
        try:
            return self.asi.get_video_data(self.id, buffer_size, wait_ms)
        except self.asi.ASITimeout:
            return None
        except self.asi.ASIError as exc:
            raise CaptureError(
                f"reading a video frame failed on {self.label}: {describe_sdk_error(exc)}"
            ) from exc

    def dropped_frames(self) -> int:
        return self._call("reading the dropped-frame count", self.asi.get_dropped_frames, self.id)
