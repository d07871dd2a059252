"""The region of interest: frame size, binning, image type and position on the sensor.

It lives with the file formats because a file records it (FITS and SER headers are built from
it); the camera layer uses the same class (`velmora.brinmoor.camera.Roi` is this one).
"""

from __future__ import annotations

from dataclasses import dataclass
from enum import Enum
from typing import Final, Literal

ImageType = Literal["raw8", "raw16", "rgb24", "y8"]

# Image types by name: the enumeration member's name and the bytes each pixel takes.
IMAGE_TYPES: Final[dict[str, tuple[str, int]]] = {
    "raw8": ("IMG_RAW8", 1),
    "raw16": ("IMG_RAW16", 2),
    "rgb24": ("IMG_RGB24", 3),
    "y8": ("IMG_Y8", 1),
}
IMAGE_TYPE_BY_MEMBER: Final[dict[str, ImageType]] = {
    "IMG_RAW8": "raw8",
    "IMG_RAW16": "raw16",
    "IMG_RGB24": "rgb24",
    "IMG_Y8": "y8",
}
# The SDK's format rules: widths in multiples of 8, heights in multiples of 2 (binned pixels).
WIDTH_STEP: Final = 8
HEIGHT_STEP: Final = 2


def image_type_name(value: str | Enum) -> ImageType:
    """`raw16` for `"raw16"`, `"RAW16"`, `"IMG_RAW16"` or `ImgType.IMG_RAW16`."""
    if isinstance(value, Enum):
        name = value.name
    elif isinstance(value, str):
        name = value.upper()
        if not name.startswith("IMG_"):
            name = "IMG_" + name
    else:
        raise TypeError(f"image type must be a str or ImgType, not {type(value).__name__}")
    try:
        return IMAGE_TYPE_BY_MEMBER[name]
    except KeyError:
        raise ValueError(
            f"image type {value!r} is not one of {', '.join(IMAGE_TYPES)}"
        ) from None


def bytes_per_pixel(image_type: ImageType) -> int:
    return IMAGE_TYPES[image_type][1]


@dataclass(frozen=True, slots=True)
class Roi:
    """A frame format: `width` x `height` binned pixels at `bin`, of one image type.

    `x` and `y` put the frame's top-left corner on the binned sensor; left out, the camera
    centres the frame. A Roi read back from a camera always has both. The width must be a
    multiple of 8 and the height of 2; the camera checks that the frame fits its sensor.
    """

    width: int
    height: int
    bin: int = 1
    image_type: ImageType = "raw8"
    x: int | None = None
    y: int | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "image_type", image_type_name(self.image_type))
        for field in ("width", "height", "bin"):
            value = getattr(self, field)
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"ROI {field} must be an int, not {value!r}")
            if value <= 0:
                raise ValueError(f"ROI {field} {value} is out of range (allowed 1 and more)")
        for field in ("x", "y"):
            value = getattr(self, field)
            if value is None:
                continue
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"ROI {field} must be an int or None, not {value!r}")
            if value < 0:
                raise ValueError(f"ROI {field} {value} is out of range (allowed 0 and more)")
        if self.width % WIDTH_STEP:
            raise ValueError(f"ROI width {self.width} is not a multiple of {WIDTH_STEP}")
        if self.height % HEIGHT_STEP:
            raise ValueError(f"ROI height {self.height} is not a multiple of {HEIGHT_STEP}")

    @property
    def frame_bytes(self) -> int:
        """Bytes of one frame in this format."""
        return self.width * self.height * bytes_per_pixel(self.image_type)

    @property
    def shape(self) -> tuple[int, ...]:
        """The shape of a frame's array: (height, width), or (height, width, 3) for RGB24."""
        if self.image_type == "rgb24":
            return (self.height, self.width, 3)
        return (self.height, self.width)

    def __str__(self) -> str:
        where = "" if self.x is None and self.y is None else f" at ({self.x}, {self.y})"
        return f"{self.width}x{self.height} bin {self.bin} {self.image_type}{where}"
