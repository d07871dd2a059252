"""The seam between an Alpaca camera device and the camera it serves.

`CameraBackend` is everything the device needs from a camera: its fixed facts, opening and
closing, controls by name, the readout window, a snapshot exposure that is started and then
polled (Alpaca's StartExposure returns at once), the image as a numpy array, and ST4 pulses.
`AsiBackend` implements it for one camera found by the SDK.
"""

from __future__ import annotations

import threading
import uuid
from dataclasses import dataclass, field
from typing import Literal, Protocol

import numpy as np
import numpy.typing as npt

from velmora.brinmoor import orvik

ExposureStatus = Literal["idle", "working", "success", "failed"]
ImageType = Literal["raw8", "raw16"]

# Stable UniqueIDs: a name-based UUID from the camera's identity, in a namespace of our own.
UNIQUE_ID_NAMESPACE = uuid.UUID("6f0c1d0e-5b8e-4f55-9b8a-7a1f0c9e2d31")

IMAGE_TYPE_MEMBERS: dict[ImageType, str] = {"raw8": "IMG_RAW8", "raw16": "IMG_RAW16"}
BAYER_OFFSETS: dict[str, tuple[int, int]] = {
    "BAYER_RG": (0, 0),
    "BAYER_GR": (1, 0),
    "BAYER_GB": (0, 1),
    "BAYER_BG": (1, 1),
}
EXPOSURE_STATUS_NAMES: dict[str, ExposureStatus] = {
    "ASI_EXP_IDLE": "idle",
    "ASI_EXP_WORKING": "working",
    "ASI_EXP_SUCCESS": "success",
    "ASI_EXP_FAILED": "failed",
}


@dataclass(frozen=True)
class ControlRange:
    """A control's capabilities as the camera reports them."""

    name: str
    min_value: int
    max_value: int
    default_value: int
    writable: bool


@dataclass(frozen=True)
class CameraFacts:
    """What a camera is, read once when the server starts."""

    index: int
    camera_id: int
    name: str
    width: int
    height: int
    pixel_size_um: float
    bit_depth: int
    electrons_per_adu: float
    bins: tuple[int, ...]
    image_types: tuple[ImageType, ...]
    bayer_offset: tuple[int, int] | None  # None for a mono sensor
    has_st4: bool
    has_cooler: bool
    has_shutter: bool
    unique_id: str
    identity: str = field(default="")  # what the UniqueID was made from, for the setup page


class CameraBackend(Protocol):
    """The operations an Alpaca camera device performs on its camera."""

    @property
    def facts(self) -> CameraFacts: ...

    def open(self) -> dict[str, ControlRange]:
        """Open and initialise the camera; returns its controls by ControlType name."""

    def close(self) -> None: ...

    def get_control(self, name: str) -> int: ...

    def set_control(self, name: str, value: int) -> None: ...

    def set_window(self, width: int, height: int, bin: int, image_type: ImageType, x: int, y: int) -> None:
        """Readout window in binned pixels, SDK-aligned (width a multiple of 8, height of 2)."""

    def start_exposure(self, dark: bool) -> None: ...

    def exposure_status(self) -> ExposureStatus: ...

    def stop_exposure(self) -> None: ...

    def read_image(self, width: int, height: int, image_type: ImageType) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """The finished exposure as a (height, width) array."""

    def pulse_on(self, direction: int) -> None: ...

    def pulse_off(self, direction: int) -> None: ...


def _member_name(value: object) -> str:
    return str(getattr(value, "name", value))


def _identity(index: int, info: orvik.CameraInfo) -> str:
    """The most stable identity the camera offers: serial number, else flash ID, else index."""
    camera_id = info.camera_id
    serial = ""
    try:
        orvik.open_camera(camera_id)
    except orvik.ASIError:
        return f"{info.name}#index{index}"
    try:
        try:
            serial = orvik.get_serial_number(camera_id).id
        except UnicodeDecodeError as exc:
            # Serial numbers are binary; the record's text view refuses them, but the bytes it
            # tried to decode are the serial.
            serial = bytes(exc.object).hex()
        except orvik.ASIError:
            serial = ""
        if serial:
            return f"{info.name}#serial{serial}"
        try:
            flash_id = orvik.get_id(camera_id).id
        except (orvik.ASIError, UnicodeDecodeError):
            flash_id = ""
        if flash_id:
            return f"{info.name}#id{flash_id}"
        return f"{info.name}#index{index}"
    finally:
        try:
            orvik.close_camera(camera_id)
        except orvik.ASIError:
            pass


def read_facts(index: int) -> CameraFacts:
    """The facts of the camera at `index`, as the SDK reports them (raises ASIError)."""
    info = orvik.get_camera_property(index)
    try:
        formats = [_member_name(m) for m in info.supported_video_formats]
    except ValueError:
        formats = ["IMG_RAW8"]
    image_types = tuple(t for t in ("raw16", "raw8") if IMAGE_TYPE_MEMBERS[t] in formats)  # type: ignore[comparison-overlap]
    bayer: tuple[int, int] | None = None
    if info.is_color_camera:
        try:
            bayer = BAYER_OFFSETS.get(_member_name(info.bayer_pattern), (0, 0))
        except ValueError:
            bayer = (0, 0)
    identity = _identity(index, info)
    return CameraFacts(
        index=index,
        camera_id=info.camera_id,
        name=info.name,
        width=info.max_width,
        height=info.max_height,
        pixel_size_um=float(info.pixel_size),
        bit_depth=info.bit_depth,
        electrons_per_adu=float(info.elec_per_adu),
        bins=tuple(b for b in info.supported_bins if b > 0) or (1,),
        image_types=image_types or ("raw8",),  # type: ignore[arg-type]
        bayer_offset=bayer,
        has_st4=bool(info.st_4_port),
        has_cooler=bool(info.is_cooler_cam),
        has_shutter=bool(info.mechanical_shutter),
        unique_id=str(uuid.uuid5(UNIQUE_ID_NAMESPACE, identity)),
        identity=identity,
    )


class AsiBackend:
    """One SDK camera, driven through the module's functions."""

    def __init__(self, facts: CameraFacts) -> None:
        self._facts = facts
        self._id = facts.camera_id
        self._lock = threading.Lock()
        self._controls: dict[str, object] = {}

    @property
    def facts(self) -> CameraFacts:
        return self._facts

    def open(self) -> dict[str, ControlRange]:
        orvik.open_camera(self._id)
        try:
            orvik.init_camera(self._id)
            ranges: dict[str, ControlRange] = {}
            self._controls = {}
            for i in range(orvik.get_num_of_controls(self._id)):
                caps = orvik.get_control_caps(self._id, i)
                try:
                    member = caps.control_type
                except ValueError:
                    continue  # a control newer than the module's enumeration
                name = _member_name(member)
                self._controls[name] = member
                ranges[name] = ControlRange(
                    name=caps.name,
                    min_value=caps.min_value,
                    max_value=caps.max_value,
                    default_value=caps.default_value,
                    writable=bool(caps.is_writable),
                )
            return ranges
        except BaseException:
            self.close()
            raise

    def close(self) -> None:
        try:
            orvik.close_camera(self._id)
        except orvik.ASIError:
            pass  # already closed or unplugged: nothing left to release

    def get_control(self, name: str) -> int:
        value, _auto = orvik.get_control_value(self._id, self._controls[name])
        return value

    def set_control(self, name: str, value: int) -> None:
        orvik.set_control_value(self._id, self._controls[name], value, False)

    def set_window(self, width: int, height: int, bin: int, image_type: ImageType, x: int, y: int) -> None:
        member = getattr(orvik.ImgType, IMAGE_TYPE_MEMBERS[image_type])
        orvik.set_roi_format(self._id, width, height, bin, member)
        orvik.set_start_pos(self._id, x, y)

    def start_exposure(self, dark: bool) -> None:
        orvik.start_exposure(self._id, dark)

    def exposure_status(self) -> ExposureStatus:
        code = orvik.get_exp_status(self._id)
        try:
            name = orvik.ExposureStatus(code).name
        except ValueError:
            return "failed"
        return EXPOSURE_STATUS_NAMES.get(name, "failed")

    def stop_exposure(self) -> None:
        orvik.stop_exposure(self._id)

    def read_image(self, width: int, height: int, image_type: ImageType) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        if image_type == "raw16":
            data = orvik.get_data_after_exp(self._id, width * height * 2)
            return np.frombuffer(data, dtype="<u2").reshape(height, width)
        data = orvik.get_data_after_exp(self._id, width * height)
        return np.frombuffer(data, dtype=np.uint8).reshape(height, width)

    def pulse_on(self, direction: int) -> None:
        orvik.pulse_guide_on(self._id, orvik.GuideDirection(direction))

    def pulse_off(self, direction: int) -> None:
        orvik.pulse_guide_off(self._id, orvik.GuideDirection(direction))
