"""The region of interest as the camera layer uses it, and its image types as the module's enum.

`Roi` itself belongs to the file formats (`velmora.brinmoor.formats.roi`): a file records it.
"""

from __future__ import annotations

from velmora.brinmoor import orvik
from velmora.brinmoor.formats.roi import (
    HEIGHT_STEP,
    IMAGE_TYPE_BY_MEMBER,
    IMAGE_TYPES,
    WIDTH_STEP,
    ImageType,
    Roi,
    bytes_per_pixel,
    image_type_name,
)

__all__ = [
    "HEIGHT_STEP",
    "IMAGE_TYPES",
    "IMAGE_TYPE_BY_MEMBER",
    "WIDTH_STEP",
    "ImageType",
    "Roi",
    "bytes_per_pixel",
    "image_type_member",
    "image_type_name",
]


def image_type_member(name: ImageType) -> orvik.ImgType:
    member: orvik.ImgType = getattr(orvik.ImgType, IMAGE_TYPES[name][0])
    return member
