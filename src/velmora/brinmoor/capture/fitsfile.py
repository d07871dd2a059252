"""FITS output: the header keywords of a capture and a writer that streams frames to disk.

Headers are formatted by Astropy; the data unit is written here, frame by frame, so a video cube
never has to sit in memory and a half-written file never takes the place of a finished one (the
file is written under a temporary name and renamed when complete).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path
from typing import TYPE_CHECKING

from .deps import astropy_fits, numpy

if TYPE_CHECKING:
    from velmora.brinmoor.camera import FrameMetadata

FITS_BLOCK = 2880


@dataclass
class CaptureMetadata:
    """What is known about a frame when it is written."""

    camera: str
    img_type: str  # raw8, raw16, rgb24, y8
    width: int
    height: int
    bin: int
    start_x: int
    start_y: int
    exposure_s: float
    date_obs: datetime  # UTC, start of the exposure
    gain: int | None = None
    offset: int | None = None
    temperature_c: float | None = None
    set_temperature_c: float | None = None
    pixel_um: float | None = None  # unbinned pixel size
    # The sensor's 2x2 cell (e.g. "RGGB") on colour cameras, anchored at the top-left pixel of
    # the full (binned) frame; a subframe's own cell follows from the parity of its origin.
    bayer_cell: str | None = None
    bit_depth: int | None = None
    dark: bool = False
    software: str = "orvik-capture"
    date_end: datetime | None = None
    frames: int | None = None  # video cubes


def metadata_from_frame(meta: FrameMetadata, software: str | None = None) -> CaptureMetadata:
    """The header facts of a frame taken through the camera layer (times as naive UTC)."""
    roi = meta.roi
    capture = CaptureMetadata(
        camera=meta.camera,
        img_type=roi.image_type,
        width=roi.width,
        height=roi.height,
        bin=roi.bin,
        start_x=roi.x or 0,
        start_y=roi.y or 0,
        exposure_s=meta.exposure,
        date_obs=_naive_utc(meta.start),
        gain=meta.gain,
        offset=meta.offset,
        temperature_c=meta.temperature,
        set_temperature_c=meta.set_temperature,
        pixel_um=meta.pixel_size,
        bayer_cell=meta.bayer,
        bit_depth=meta.bit_depth,
        dark=meta.dark,
    )
    if software is not None:
        capture.software = software
    return capture


def _naive_utc(t: datetime) -> datetime:
    return t if t.tzinfo is None else t.astimezone(timezone.utc).replace(tzinfo=None)


def _fits_time(t: datetime) -> str:
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}"


def header_cards(meta: CaptureMetadata) -> list[tuple[str, object, str]]:
    """The descriptive keywords of a capture, in writing order (structure keywords excluded)."""
    cards: list[tuple[str, object, str]] = [
        ("IMAGETYP", "Dark Frame" if meta.dark else "Light Frame", "type of exposure"),
        ("DATE-OBS", _fits_time(meta.date_obs), "UTC start of exposure"),
    ]
    if meta.date_end is not None:
        cards.append(("DATE-END", _fits_time(meta.date_end), "UTC end of the last exposure"))
    cards += [
        ("EXPTIME", float(meta.exposure_s), "[s] exposure time"),
        ("EXPOSURE", float(meta.exposure_s), "[s] exposure time"),
    ]
    if meta.frames is not None:
        cards.append(("NFRAMES", int(meta.frames), "frames in this file"))
    cards.append(("INSTRUME", meta.camera, "camera"))
    if meta.gain is not None:
        cards.append(("GAIN", int(meta.gain), "camera gain setting"))
    if meta.offset is not None:
        cards.append(("OFFSET", int(meta.offset), "camera offset (bias) setting"))
    if meta.temperature_c is not None:
        cards.append(("CCD-TEMP", round(float(meta.temperature_c), 1), "[C] sensor temperature"))
    if meta.set_temperature_c is not None:
        cards.append(("SET-TEMP", float(meta.set_temperature_c), "[C] cooler target temperature"))
    cards += [
        ("XBINNING", int(meta.bin), "binning factor in width"),
        ("YBINNING", int(meta.bin), "binning factor in height"),
    ]
    if meta.pixel_um is not None:
        size = round(float(meta.pixel_um) * meta.bin, 4)
        cards += [
            ("XPIXSZ", size, "[um] pixel width, binning included"),
            ("YPIXSZ", size, "[um] pixel height, binning included"),
        ]
    cards += [
        ("XORGSUBF", int(meta.start_x), "subframe origin in width (binned pixels)"),
        ("YORGSUBF", int(meta.start_y), "subframe origin in height (binned pixels)"),
        ("FRAMETYP", meta.img_type.upper(), "camera image type"),
    ]
    if meta.bit_depth is not None:
        cards.append(("BITDEPTH", int(meta.bit_depth), "ADC bits of the sensor"))
    if meta.bayer_cell is not None and meta.img_type in ("raw8", "raw16"):
        cards += [
            ("BAYERPAT", meta.bayer_cell, "Bayer colour pattern"),
            ("XBAYROFF", meta.start_x % 2, "Bayer pattern offset in width"),
            ("YBAYROFF", meta.start_y % 2, "Bayer pattern offset in height"),
        ]
    if meta.img_type == "rgb24":
        cards.append(("CTYPE3", "RGB", "colour planes R, G, B"))
    cards += [
        ("ROWORDER", "TOP-DOWN", "first row is the top of the image"),
        ("SWCREATE", meta.software, "capture software"),
    ]
    return cards


def data_shape(meta: CaptureMetadata, frames: int | None = None) -> tuple[int, ...]:
    """The data unit's shape in NumPy order (slowest axis first)."""
    plane = (meta.height, meta.width)
    if meta.img_type == "rgb24":
        plane = (3,) + plane
    return plane if frames is None else (frames,) + plane


def build_header(meta: CaptureMetadata, frames: int | None = None):
    """A complete primary header: structure keywords for the data, then the capture's keywords."""
    fits = astropy_fits()
    shape = data_shape(meta, frames)
    header = fits.Header()
    header["SIMPLE"] = (True, "conforms to FITS standard")
    header["BITPIX"] = (16 if meta.img_type == "raw16" else 8, "bits per data value")
    header["NAXIS"] = (len(shape), "number of data axes")
    for axis, length in enumerate(reversed(shape), start=1):
        header[f"NAXIS{axis}"] = length
    header["EXTEND"] = True
    if meta.img_type == "raw16":
        # FITS has no unsigned 16-bit type: values are stored as signed with this offset.
        header["BZERO"] = (32768, "offset for unsigned 16-bit values")
        header["BSCALE"] = (1, "default scaling factor")
    for key, value, comment in header_cards(meta):
        header[key] = (value, comment)
    return header


def encode_plane(array) -> bytes:
    """Big-endian bytes of a data array as FITS stores them (uint16 shifted by BZERO)."""
    np = numpy()
    a = np.ascontiguousarray(array)
    if a.dtype == np.uint8:
        return a.tobytes()
    if a.dtype == np.uint16:
        # x - 32768 as a signed 16-bit value has the same bits as x with its top bit flipped.
        return (a ^ np.uint16(0x8000)).astype(">u2").tobytes()
    raise TypeError(f"cannot store {a.dtype} data")


# Data are encoded a few megabytes at a time, so a full frame needs no full-size temporaries.
_CHUNK_BYTES = 4 << 20


def _row_chunks(array):
    """Consecutive pieces of an array in storage order: whole planes split into row blocks."""
    if array.ndim > 2:
        for plane in array:
            yield from _row_chunks(plane)
        return
    if array.ndim < 2:
        yield array
        return
    rows = max(1, _CHUNK_BYTES // max(1, array.itemsize * array.shape[1]))
    for top in range(0, array.shape[0], rows):
        yield array[top:top + rows]


def frame_for_fits(frame, img_type: str):
    """A decoded frame in FITS axis order: RGB planes first for colour frames."""
    np = numpy()
    if img_type == "rgb24":
        return np.moveaxis(frame, -1, 0)
    return frame


class FitsWriter:
    """Writes one primary HDU whose data arrive in pieces (whole frames or planes).

    The file appears under its final name only after `close` has written every byte the header
    promises; `abort` (or leaving a `with` block by an exception) removes the partial file.
    """

    def __init__(self, path: str | os.PathLike, header, overwrite: bool = False):
        self.path = Path(path)
        if self.path.exists() and not overwrite:
            raise FileExistsError(f"{self.path} exists (use --overwrite to replace it)")
        self._expected = header["BITPIX"] // 8
        for axis in range(1, header["NAXIS"] + 1):
            self._expected *= header[f"NAXIS{axis}"]
        self._written = 0
        self._tmp = self.path.with_name(f".{self.path.name}.part")
        self._file = open(self._tmp, "wb")
        self._header_bytes = self._encode_header(header)
        self._file.write(self._header_bytes)

    @staticmethod
    def _encode_header(header) -> bytes:
        return header.tostring(sep="", endcard=True, padding=True).encode("ascii")

    def write(self, array) -> None:
        np = numpy()
        array = np.asarray(array)
        if self._written + array.nbytes > self._expected:
            raise ValueError("more data than the FITS header declares")
        for chunk in _row_chunks(array):
            data = encode_plane(chunk)
            self._file.write(data)
            self._written += len(data)

    def close(self, final_header=None) -> Path:
        """Finish the file; `final_header` replaces the header written at the start (values
        known only at the end, such as DATE-END) and must keep its size and structure."""
        if self._written != self._expected:
            self.abort()
            raise ValueError(
                f"FITS data incomplete: {self._written} of {self._expected} bytes were written"
            )
        pad = (-self._written) % FITS_BLOCK
        self._file.write(b"\0" * pad)
        if final_header is not None:
            text = self._encode_header(final_header)
            if len(text) != len(self._header_bytes):
                self.abort()
                raise ValueError("the final FITS header does not fit the space of the first")
            self._file.seek(0)
            self._file.write(text)
        self._file.close()
        os.replace(self._tmp, self.path)
        return self.path

    def abort(self) -> None:
        if not self._file.closed:
            self._file.close()
        self._tmp.unlink(missing_ok=True)

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None:
            self.abort()
        return False


def write_fits(path, frame, meta: CaptureMetadata, overwrite: bool = False) -> Path:
    """Write one decoded frame with its header."""
    with FitsWriter(path, build_header(meta), overwrite=overwrite) as writer:
        writer.write(frame_for_fits(frame, meta.img_type))
        return writer.close()
