"""The one record of what is known about a frame: the camera, its settings, the times.

The camera layer makes one for every frame (`Frame.metadata`); the FITS and SER writers build
their headers from it, and a tool adds what only it knows (the software's name, the frame
kind, the number of frames in a file) with `dataclasses.replace`.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import Final

from .bayer import frame_cell
from .roi import Roi

# IMAGETYP as the common capture and processing programs write and read it.
IMAGETYP_BY_KIND: Final = {
    "light": "Light Frame",
    "dark": "Dark Frame",
    "bias": "Bias Frame",
    "flat": "Flat Frame",
}
# Bits of the sample in a file: RAW16 holds the ADC value shifted to the top of 16 bits, RAW8
# its top 8 bits.
FILE_BITS: Final = {"raw8": 8, "y8": 8, "rgb24": 8, "raw16": 16}


@dataclass(frozen=True, slots=True)
class Pointing:
    """Where the telescope pointed for a frame: the simulated camera's pointing, or the
    observer's own values (the capture tool's --ra, --dec, --focal-length)."""

    ra: float
    """Right ascension of the frame centre in degrees (J2000)."""
    dec: float
    """Declination of the frame centre in degrees (J2000)."""
    focal_length: float | None = None
    """Focal length of the telescope in millimetres."""
    aperture: float | None = None
    """Aperture (diameter) of the telescope in millimetres."""
    angle: float | None = None
    """Position angle of the image's +y axis (down the rows), degrees from north through east,
    with east along +x at angle 0; known for simulated cameras, and what a WCS needs."""
    reference_pixel: tuple[float, float] | None = None
    """FITS pixel (1-based x, y) that (ra, dec) refers to; None: the image's centre."""
    distortion: float = 0.0
    """The optics' radial distortion about the reference pixel, in this frame's pixels: a star
    whose undistorted (gnomonic) place lies r pixels from the reference pixel is imaged
    r (1 + distortion r**2) from it (positive: pincushion); 0 when none is known. The WCS then
    carries it as SIP terms."""


@dataclass(frozen=True, slots=True)
class Observation:
    """What the observer says about a night's frames, for the files' headers (OBJECT, FILTER,
    TELESCOP, OBSERVER, SITELAT, SITELONG, SITEELEV, and FOCALLEN and APTDIA of a telescope
    whose pointing is not known): the capture tool's --object, --filter, --telescope,
    --observer, --site-* options, --focal-length and --aperture. Texts are checked by the FITS header's
    rules (`formats.fits.check_text`) where the tool takes them."""

    object: str | None = None
    """The target's name, as `M31`."""
    filter: str | None = None
    """The filter in the light path, as `Ha` or `L`."""
    telescope: str | None = None
    observer: str | None = None
    site_latitude: float | None = None
    """Geodetic latitude of the site in degrees, north positive."""
    site_longitude: float | None = None
    """Longitude of the site in degrees, east positive."""
    site_elevation: float | None = None
    """Height of the site above sea level in metres."""
    focal_length: float | None = None
    """Focal length of the telescope in millimetres (written when no `Pointing` gives one)."""
    aperture: float | None = None
    """Aperture of the telescope in millimetres (likewise)."""


@dataclass(slots=True)
class FrameMetadata:
    """The camera and its settings for one frame (or, with `frames`, for a file of frames).

    A plain record (not frozen: a video stream makes one per frame, and a frozen dataclass
    costs several times as much to create).
    """

    camera: str
    """The camera's name, as `ZWO ASI294MC Pro`."""
    camera_id: int
    roi: Roi
    """The frame's format and position (binned pixels), as the camera took it."""
    exposure: float
    """Exposure time in seconds, as the camera held it for this frame (0.1 s reads `0.1`)."""
    gain: int | None
    offset: int | None
    temperature: float | None
    """Sensor temperature in degrees Celsius, None when the camera has no sensor."""
    bayer: str | None
    """The sensor's 2x2 colour cell (`RGGB`, ...) at the top-left pixel of the whole binned
    sensor; None for mono cameras and for frames a colour sensor binned to grey (MonoBin at bin
    2 and more). The frame's own cell, after its start position and the flip, is
    `frame_bayer`."""
    start: datetime
    """UTC start of the exposure (timezone-aware; a naive time is read as UTC)."""
    end: datetime
    """UTC time at which the frame was known to be complete; for a file of several frames,
    the end of the last one."""
    dark: bool = False
    sequence: int | None = None
    """Video frames: 0 for the first frame of a stream, counting the frames received."""
    pixel_size: float | None = None
    """Unbinned pixel size in micrometres."""
    bit_depth: int | None = None
    """ADC bits of the sensor; RAW16 values carry them in their top bits."""
    set_temperature: float | None = None
    """Cooler target in degrees Celsius when the cooler is on."""
    electrons_per_adu: float | None = None
    """Electrons per ADU at gain 0 at the ADC's bit depth, as the camera reports it."""
    software: str | None = None
    """The program that wrote the file (FITS SWCREATE), set by the writer's caller."""
    frames: int | None = None
    """Frames in the file (a FITS cube); None for a single frame."""
    kind: str | None = None
    """light, dark, bias or flat; None: dark when `dark` is set, else light."""
    pointing: Pointing | None = None
    """Where the telescope pointed, when that is known."""
    flip: int = 0
    """The camera's Flip control: 0 none, 1 left-right, 2 top-bottom, 3 both."""
    observation: Observation | None = None
    """The observer's target, filter, telescope and site, when given."""

    @property
    def frame_bayer(self) -> str | None:
        """The colour cell at the frame's own top-left pixel as delivered (first row at the
        top), after its start position and the flip: what a debayer of `Frame.array` and the
        files' BAYERPAT need. None when the frame is not a mosaic (mono, MonoBin, RGB24, Y8)."""
        roi = self.roi
        if self.bayer is None or roi.image_type not in ("raw8", "raw16"):
            return None
        return frame_cell(self.bayer, roi.x or 0, roi.y or 0, roi.width, roi.height, self.flip)

    @property
    def frame_kind(self) -> str:
        if self.kind is not None:
            if self.kind not in IMAGETYP_BY_KIND:
                raise ValueError(f"unknown frame kind {self.kind!r} "
                                 f"(one of {', '.join(IMAGETYP_BY_KIND)})")
            return self.kind
        return "dark" if self.dark else "light"

    def electrons_per_file_adu(self) -> float | None:
        """EGAIN: electrons per unit of the values as stored in a file, when it is known.

        The camera reports its conversion factor at gain 0 only, and the curve between gain 0 and
        the unity gain differs from sensor to sensor, so the factor is known at gain 0 alone.
        The file's values are the ADC's shifted to the sample size (RAW16 x 16 on a 12-bit
        sensor, RAW8 / 16), which scales the factor the other way.
        """
        image_type = self.roi.image_type
        if self.gain != 0 or not self.electrons_per_adu or not self.bit_depth:
            return None
        if image_type not in ("raw8", "raw16"):
            return None  # RGB24 and Y8 are computed from several pixels: no single factor
        shift = FILE_BITS[image_type] - self.bit_depth
        return float(self.electrons_per_adu) / 2.0 ** shift
