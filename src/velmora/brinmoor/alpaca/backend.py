"""The seam between an Alpaca camera device and the camera it serves.

`CameraBackend` is everything the device needs from a camera: its fixed facts, opening and
closing, the camera-layer camera (whose typed properties the device reads and writes controls
through), the readout window, a snapshot exposure that is started and then
polled (Alpaca's StartExposure returns at once), the image as a numpy array, and ST4 pulses.
`AsiBackend` implements it on the camera layer (`velmora.brinmoor.camera`), never on the
module: opening and closing, controls, the readout window, guide pulses and identity go through
a layer `Camera`; an Alpaca exposure, started by one request and collected by later ones, is the
layer's non-blocking `Exposure` (`Camera.start_exposure`).
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from typing import Literal, Protocol, cast

import numpy as np
import numpy.typing as npt

from velmora.brinmoor.camera import (
    ASICameraClosed,
    ASIError,
    ASIInvalidIndex,
    ASIInvalidSequence,
    Camera,
    CameraDescription,
    CameraNotFound,
    Exposure,
    GuideDirection,
    Roi,
    connected,
)

ExposureStatus = Literal["idle", "working", "success", "failed"]
ImageType = Literal["raw8", "raw16"]

# Stable UniqueIDs: a name-based UUID from the camera's identity, in a namespace of our own.
UNIQUE_ID_NAMESPACE = uuid.UUID("6f0c1d0e-5b8e-4f55-9b8a-7a1f0c9e2d31")

# Where the red pixel of the sensor's 2x2 colour cell sits (Alpaca's BayerOffsetX/Y).
BAYER_OFFSETS: dict[str, tuple[int, int]] = {
    "RGGB": (0, 0),
    "GRBG": (1, 0),
    "GBRG": (0, 1),
    "BGGR": (1, 1),
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

    @property
    def camera(self) -> Camera:
        """The open camera-layer camera (raises the layer's closed-camera error when closed)."""

    def open(self) -> dict[str, ControlRange]:
        """Open and initialise the camera; returns its controls by ControlType name."""

    def close(self) -> None: ...

    def check_present(self) -> None:
        """Raise the camera layer's error when the camera no longer answers (unplugged)."""

    def set_window(self, width: int, height: int, bin: int, image_type: ImageType, x: int, y: int) -> None:
        """Readout window in binned pixels, SDK-aligned (width a multiple of 8, height of 2)."""

    def start_exposure(self, dark: bool) -> None: ...

    def exposure_status(self) -> ExposureStatus: ...

    def stop_exposure(self) -> None: ...

    def read_image(self, width: int, height: int,
                   image_type: ImageType) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """The finished exposure as a (height, width) array."""

    def pulse_on(self, direction: int) -> None: ...

    def pulse_off(self, direction: int) -> None: ...


def _identity(description: CameraDescription) -> str:
    """The most stable identity the camera offers: serial number, else flash ID, else index."""
    name = description.name
    try:
        camera = Camera(description.index)
    except (ASIError, CameraNotFound):
        return f"{name}#index{description.index}"
    with camera:
        try:
            serial = camera.serial_number
        except ASIError:
            serial = None
        if serial:
            return f"{name}#serial{serial}"
        try:
            flash_id = camera.flash_id
        except ASIError:
            flash_id = None
        return f"{name}#id{flash_id}" if flash_id else f"{name}#index{description.index}"


def read_facts(description: CameraDescription) -> CameraFacts:
    """The facts of a connected camera, as the SDK reports them (raises ASIError)."""
    offered = description.image_types or ("raw8",)
    supported: tuple[ImageType, ...] = ("raw16", "raw8")
    image_types = tuple(t for t in supported if t in offered) or ("raw8",)
    bayer: tuple[int, int] | None = None
    if description.is_color:
        bayer = BAYER_OFFSETS.get(description.bayer or "", (0, 0))
    identity = _identity(description)
    return CameraFacts(
        index=description.index,
        camera_id=description.camera_id,
        name=description.name,
        width=description.max_width,
        height=description.max_height,
        pixel_size_um=float(description.pixel_size),
        bit_depth=description.bit_depth,
        electrons_per_adu=float(description.electrons_per_adu),
        bins=tuple(b for b in description.supported_bins if b > 0) or (1,),
        image_types=image_types,
        bayer_offset=bayer,
        has_st4=bool(description.has_st4_port),
        has_cooler=bool(description.has_cooler),
        has_shutter=bool(description.has_mechanical_shutter),
        unique_id=str(uuid.uuid5(UNIQUE_ID_NAMESPACE, identity)),
        identity=identity,
    )


def connected_facts() -> list[CameraFacts]:
    return [read_facts(description) for description in connected()]


class AsiBackend:
    """One SDK camera, through a camera-layer `Camera` while connected."""

    def __init__(self, facts: CameraFacts) -> None:
        self._facts = facts
        self._camera: Camera | None = None
        self._exposure: Exposure | None = None

    @property
    def facts(self) -> CameraFacts:
        return self._facts

    @property
    def camera(self) -> Camera:
        camera = self._camera
        if camera is None or camera.closed:
            exc = ASICameraClosed()
            exc.add_note(f"camera {self._facts.index} ({self._facts.name}) is not open")
            raise exc
        return camera

    def open(self) -> dict[str, ControlRange]:
        self.close()
        camera = Camera(self._facts.index)
        if camera.id != self._facts.camera_id or camera.name != self._facts.name:
            camera.close()
            exc = ASIInvalidIndex()
            exc.add_note(f"camera {self._facts.index} is now {camera.name}, not {self._facts.name}")
            raise exc
        self._camera = camera
        ranges: dict[str, ControlRange] = {}
        for control in camera.controls.values():
            if control.control_type is not None:
                ranges[control.control_type.name] = ControlRange(
                    name=control.name, min_value=control.min, max_value=control.max,
                    default_value=control.default, writable=control.writable)
        return ranges

    def close(self) -> None:
        camera, self._camera = self._camera, None
        self._exposure = None
        if camera is not None:
            camera.close()  # aborts a running exposure

    def check_present(self) -> None:
        _ = self.camera.temperature  # one short SDK call, which every camera answers

    def set_window(self, width: int, height: int, bin: int, image_type: ImageType, x: int, y: int) -> None:
        self.camera.set_roi(Roi(width, height, bin, image_type, x, y))

    def start_exposure(self, dark: bool) -> None:
        self._exposure = self.camera.start_exposure(dark=dark)

    def exposure_status(self) -> ExposureStatus:
        exposure = self._exposure
        if exposure is None:
            return "idle"
        return EXPOSURE_STATUS_NAMES.get(exposure.status.name, "failed")

    def stop_exposure(self) -> None:
        exposure, self._exposure = self._exposure, None
        if exposure is not None:
            exposure.abort()

    def read_image(self, width: int, height: int,
                   image_type: ImageType) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        exposure = self._exposure
        if exposure is None:
            # A read out of turn, not a camera that went away: the device must stay connected.
            exc = ASIInvalidSequence()
            exc.add_note(f"camera {self._facts.index} ({self._facts.name}) has no exposure to read")
            raise exc
        # The exposure's frame has the window set before it started: (height, width).
        return cast(npt.NDArray[np.uint16], exposure.frame().array)

    def pulse_on(self, direction: int) -> None:
        self.camera.guide_on(GuideDirection(direction))

    def pulse_off(self, direction: int) -> None:
        self.camera.guide_off(GuideDirection(direction))
