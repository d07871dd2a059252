"""Frames: the camera's bytes, a numpy view of them, and what was known when they were taken."""

from __future__ import annotations

import os
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .roi import ImageType, Roi, bytes_per_pixel

# RAW16 pixels arrive little-endian; on a little-endian host this is plain uint16.
_RAW16 = np.dtype("<u2")


@dataclass(slots=True)
class FrameMetadata:
    """The camera and its settings for one frame.

    A plain record (not frozen: a video stream makes one per frame, and a frozen dataclass
    costs several times as much to create).
    """

    camera: str
    """The camera's name, as `ZWO ASI294MC Pro`."""
    camera_id: int
    roi: Roi
    """The frame's format and position (binned pixels), as the camera took it."""
    exposure: float
    """Exposure time in seconds."""
    gain: int | None
    offset: int | None
    temperature: float | None
    """Sensor temperature in degrees Celsius, None when the camera has no sensor."""
    bayer: str | None
    """The sensor's 2x2 colour cell (`RGGB`, ...) at the top-left pixel of the whole binned
    sensor, None for mono cameras; a frame at an odd `roi.x` or `roi.y` starts elsewhere in the
    cell."""
    start: datetime
    """UTC start of the exposure (timezone-aware)."""
    end: datetime
    """UTC time at which the frame was known to be complete."""
    dark: bool = False
    sequence: int | None = None
    """Video frames: 0 for the first frame of a stream, counting the frames received."""
    pixel_size: float | None = None
    """Unbinned pixel size in micrometres."""
    bit_depth: int | None = None
    """ADC bits of the sensor; RAW16 values carry them in their top bits."""
    set_temperature: float | None = None
    """Cooler target in degrees Celsius when the cooler is on."""


class Frame:
    """One image: `data` as the SDK delivered it, `array` a numpy view of it, and `metadata`.

    `array` is made without copying (read-only, as the bytes are):

    - RAW8 and Y8: `uint8`, shape (height, width);
    - RAW16: `uint16`, shape (height, width); values are the SDK's, left-aligned: a 12-bit
      sensor gives multiples of 16 up to 65520;
    - RGB24: `uint8`, shape (height, width, 3) in R, G, B order. The camera sends B, G, R; the
      array views those bytes with the last axis reversed, so it is not C-contiguous
      (`numpy.ascontiguousarray` makes a packed copy when one is needed).
    """

    __slots__ = ("data", "metadata", "_array")

    def __init__(self, data: bytes, metadata: FrameMetadata) -> None:
        self.data = data
        self.metadata = metadata
        self._array: npt.NDArray[Any] | None = None

    @property
    def array(self) -> npt.NDArray[Any]:
        if self._array is None:
            roi = self.metadata.roi
            self._array = frame_array(self.data, roi.width, roi.height, roi.image_type)
        return self._array

    def to_fits(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> Path:
        """Write the frame as a FITS file with the capture tool's header; needs Astropy."""
        from velmora.brinmoor.capture import fitsfile

        meta = fitsfile.metadata_from_frame(self.metadata)
        return fitsfile.write_fits(path, self.array, meta, overwrite=overwrite)

    def __repr__(self) -> str:
        m = self.metadata
        return f"<Frame {m.roi} from {m.camera}, {m.exposure:g} s at {m.start.isoformat()}>"


def frame_array(data: bytes, width: int, height: int, image_type: ImageType) -> npt.NDArray[Any]:
    """A view of a frame's bytes in the layout of `Frame.array`."""
    need = width * height * bytes_per_pixel(image_type)
    if len(data) < need:
        raise ValueError(
            f"frame has {len(data)} bytes, a {width}x{height} {image_type} frame needs {need}"
        )
    if image_type == "raw16":
        return np.frombuffer(data, dtype=_RAW16, count=width * height).reshape(height, width)
    pixels = np.frombuffer(data, dtype=np.uint8, count=need)
    if image_type == "rgb24":
        return pixels.reshape(height, width, 3)[:, :, ::-1]
    return pixels.reshape(height, width)
