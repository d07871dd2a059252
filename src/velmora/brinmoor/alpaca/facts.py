"""What each connected camera is, read once when the server starts: the facts an Alpaca camera
device reports without asking the camera again (sensor, binnings, readout modes, colour cell,
ports), and its stable UniqueID.
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from typing import Literal

from velmora.brinmoor.camera import ASIError, Camera, CameraDescription, CameraNotFound, connected

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
