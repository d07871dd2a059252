"""FITS output: the header keywords of a capture and a writer that streams frames to disk.

Headers are formatted by Astropy; the data unit is written here, frame by frame, so a video cube
never has to sit in memory and a half-written file never takes the place of a finished one (the
file is written under a temporary name and renamed when complete, see `partfile.PartFile`).

`build_header` is the one place the keywords are decided; the capture tool and the camera
layer's `Frame.to_fits()` call it with a frame's `FrameMetadata`.
"""

from __future__ import annotations

import importlib
import math
import os
from collections.abc import Iterator
from datetime import datetime, timedelta, timezone
from pathlib import Path
from types import ModuleType, TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from .metadata import FILE_BITS, IMAGETYP_BY_KIND, FrameMetadata, Observation
from .partfile import PartFile

FITS_BLOCK = 2880
# Modified Julian Date of the Unix epoch, 1970-01-01T00:00:00 UTC.
MJD_UNIX_EPOCH = 40587.0

__all__ = [
    "FILE_BITS",
    "FITS_BLOCK",
    "IMAGETYP_BY_KIND",
    "FitsWriter",
    "build_header",
    "check_text",
    "data_shape",
    "file_bytes",
    "frame_for_fits",
    "header_cards",
    "mjd",
    "write_fits",
]


def astropy_fits() -> ModuleType:
    """`astropy.io.fits`, which formats the headers (Astropy is an optional dependency)."""
    try:
        return importlib.import_module("astropy.io.fits")
    except ImportError as exc:
        raise ImportError(
            f"Astropy is needed to write FITS files but could not be imported ({exc}); "
            "install it with: python -m pip install 'astropy>=6'"
        ) from exc


def _utc(t: datetime) -> datetime:
    return t.replace(tzinfo=timezone.utc) if t.tzinfo is None else t.astimezone(timezone.utc)


def _fits_time(t: datetime) -> str:
    t = _utc(t)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + f"{t.microsecond // 1000:03d}"


def mjd(t: datetime) -> float:
    """Modified Julian Date (UTC) of a moment."""
    return MJD_UNIX_EPOCH + _utc(t).timestamp() / 86400.0


# A string value fits on one card (80 columns: keyword, "= ", quotes) with its quotes doubled;
# longer ones would need CONTINUE cards, which many readers do not know.
MAX_TEXT = 68


def check_text(value: str, what: str) -> str:
    """`value` if a FITS header can hold it as a string on one card; else ValueError naming
    `what` and the reason (FITS headers hold printable ASCII only)."""
    bad = next((c for c in value if not " " <= c <= "~"), None)
    if bad is not None:
        raise ValueError(f"{what} {value!r} holds {bad!r}, which a FITS header cannot carry "
                         "(ASCII letters, digits, spaces and punctuation only)")
    if len(value.replace("'", "''")) > MAX_TEXT:
        raise ValueError(f"{what} {value!r} is longer than the {MAX_TEXT} characters a FITS "
                         "header value holds")
    return value


def header_cards(meta: FrameMetadata) -> list[tuple[str, object, str]]:
    """The descriptive keywords of a frame, in writing order (structure keywords excluded).

    DATE-END is the end of the exposure (start + exposure time) for a single frame, and
    `meta.end` (the end of the last frame) for a file of several frames; MJD-OBS and MJD-END
    give both as Modified Julian Dates, so readers that derive one from the other (Astropy's
    WCS) find them already there and agree.
    """
    roi = meta.roi
    img_type = roi.image_type
    start_x, start_y = roi.x or 0, roi.y or 0
    if meta.frames is None:
        date_end = meta.start + timedelta(seconds=meta.exposure)
    else:
        date_end = meta.end
    obs = meta.observation or Observation()
    cards: list[tuple[str, object, str]] = [
        ("IMAGETYP", IMAGETYP_BY_KIND[meta.frame_kind], "type of exposure"),
    ]
    if obs.object is not None:
        cards.append(("OBJECT", check_text(obs.object, "object"), "target"))
    # The times as written (to the millisecond), so the MJDs agree with the dates exactly.
    date_obs, date_end_text = _fits_time(meta.start), _fits_time(date_end)
    cards += [
        ("DATE-OBS", date_obs, "[UTC] start of exposure"),
        ("DATE-END", date_end_text,
         "[UTC] end of the last exposure" if meta.frames is not None else "[UTC] end of exposure"),
        ("MJD-OBS", _mjd_of_text(date_obs), "[d] Modified Julian Date of DATE-OBS"),
        ("MJD-END", _mjd_of_text(date_end_text), "[d] Modified Julian Date of DATE-END"),
        ("EXPTIME", float(meta.exposure), "[s] exposure time"),
        ("EXPOSURE", float(meta.exposure), "[s] exposure time"),
    ]
    if meta.frames is not None:
        cards.append(("NFRAMES", int(meta.frames), "frames in this file"))
    cards.append(("INSTRUME", meta.camera, "camera"))
    cards += observation_cards(obs)
    cards += pointing_cards(meta)
    if meta.pointing is None:  # the telescope known without where it points
        cards += telescope_cards(obs.focal_length, obs.aperture)
    if meta.gain is not None:
        cards.append(("GAIN", int(meta.gain), "camera gain setting"))
    egain = meta.electrons_per_file_adu()
    if egain is not None:
        cards.append(("EGAIN", round(egain, 6), "[e-/ADU] electrons per data unit of this file"))
    if meta.offset is not None:
        cards.append(("OFFSET", int(meta.offset), "camera offset (bias) setting"))
    if meta.temperature is not None:
        cards.append(("CCD-TEMP", round(float(meta.temperature), 1), "[C] sensor temperature"))
    if meta.set_temperature is not None:
        cards.append(("SET-TEMP", float(meta.set_temperature), "[C] cooler target temperature"))
    cards += [
        ("XBINNING", int(roi.bin), "binning factor in width"),
        ("YBINNING", int(roi.bin), "binning factor in height"),
    ]
    if meta.pixel_size is not None:
        size = round(float(meta.pixel_size) * roi.bin, 4)
        cards += [
            ("XPIXSZ", size, "[um] pixel width, binning included"),
            ("YPIXSZ", size, "[um] pixel height, binning included"),
        ]
    cards += [
        ("XORGSUBF", int(start_x), "subframe origin in width (binned pixels)"),
        ("YORGSUBF", int(start_y), "subframe origin in height (binned pixels)"),
        ("PIXFMT", img_type.upper(), "camera pixel format"),
    ]
    if meta.bit_depth is not None:
        cards.append(("BITDEPTH", int(meta.bit_depth), "ADC bits of the sensor"))
    cell = meta.frame_bayer
    if cell is not None:
        # The pattern at the data's own first pixel (start position and flip applied), so a
        # reader that ignores the offsets debayers right too.
        cards += [
            ("BAYERPAT", cell, "Bayer pattern at the first pixel of the data"),
            ("XBAYROFF", 0, "Bayer pattern offset in width (in BAYERPAT)"),
            ("YBAYROFF", 0, "Bayer pattern offset in height (in BAYERPAT)"),
        ]
    if img_type == "rgb24":
        cards.append(("CTYPE3", "RGB", "colour planes R, G, B"))
    cards.append(("ROWORDER", "TOP-DOWN", "first row is the top of the image"))
    if meta.software is not None:
        cards.append(("SWCREATE", meta.software, "capture software"))
    return cards


def _mjd_of_text(text: str) -> float:
    """The MJD of a written FITS time, to the millisecond (eight decimals of a day)."""
    return round(mjd(datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%f")), 8)


def observation_cards(obs: Observation) -> list[tuple[str, object, str]]:
    """TELESCOP, OBSERVER, FILTER and the site (SITELAT, SITELONG, SITEELEV in degrees and
    metres, as capture and processing programs write and read them), where given."""
    cards: list[tuple[str, object, str]] = []
    for key, value, what, comment in (
        ("TELESCOP", obs.telescope, "telescope", "telescope"),
        ("OBSERVER", obs.observer, "observer", "observer"),
        ("FILTER", obs.filter, "filter", "filter in the light path"),
    ):
        if value is not None:
            cards.append((key, check_text(value, what), comment))
    for key, number, comment in (
        ("SITELAT", obs.site_latitude, "[deg] site latitude, north positive"),
        ("SITELONG", obs.site_longitude, "[deg] site longitude, east positive"),
        ("SITEELEV", obs.site_elevation, "[m] site height above sea level"),
    ):
        if number is not None:
            cards.append((key, round(float(number), 6), comment))
    return cards


def telescope_cards(focal_length: float | None,
                    aperture: float | None) -> list[tuple[str, object, str]]:
    cards: list[tuple[str, object, str]] = []
    if focal_length is not None:
        cards.append(("FOCALLEN", round(float(focal_length), 3), "[mm] focal length"))
    if aperture is not None:
        cards.append(("APTDIA", round(float(aperture), 3), "[mm] aperture diameter"))
    return cards


def sexagesimal(value: float, plus: bool, decimals: int) -> str:
    """`value` as "DD MM SS.s" (with a sign when `plus`), rounded without reaching 60."""
    sign = "-" if value < 0 else "+" if plus else ""
    unit = 10**decimals
    total = round(abs(value) * 3600 * unit)
    whole, fraction = divmod(total, unit)
    d, rest = divmod(whole, 3600)
    m, sec = divmod(rest, 60)
    seconds = f"{sec:02d}" + (f".{fraction:0{decimals}d}" if decimals else "")
    return f"{sign}{d:02d} {m:02d} {seconds}"


def pointing_cards(meta: FrameMetadata) -> list[tuple[str, object, str]]:
    """RA, DEC, OBJCTRA, OBJCTDEC, FOCALLEN and APTDIA of a frame's pointing, and a gnomonic
    (TAN) WCS for a single 2-D frame when the position angle, focal length and pixel size are
    known: what plate solvers take as hints and processing programs as the frame's place."""
    p = meta.pointing
    if p is None:
        return []
    ra = p.ra % 360.0
    cards: list[tuple[str, object, str]] = [
        ("RA", round(ra, 7), "[deg] right ascension of the centre (J2000)"),
        ("DEC", round(p.dec, 7), "[deg] declination of the centre (J2000)"),
        ("OBJCTRA", sexagesimal(ra / 15.0, False, 2), "[h m s] right ascension (J2000)"),
        ("OBJCTDEC", sexagesimal(p.dec, True, 1), "[d m s] declination (J2000)"),
        ("EQUINOX", 2000.0, "equinox of the coordinates"),
    ]
    cards += telescope_cards(p.focal_length, p.aperture)
    roi = meta.roi
    if (p.angle is None or not p.focal_length or not meta.pixel_size or meta.frames is not None
            or roi.image_type == "rgb24"):
        return cards
    scale = math.degrees(meta.pixel_size * roi.bin / 1000.0 / p.focal_length)  # deg per pixel
    t = math.radians(p.angle)
    crpix = p.reference_pixel or ((roi.width + 1) / 2.0, (roi.height + 1) / 2.0)
    sip = p.distortion != 0.0
    projection = "gnomonic projection" + (" with SIP distortion" if sip else "")
    cards += [
        ("WCSAXES", 2, "celestial coordinates"),
        ("CTYPE1", "RA---TAN-SIP" if sip else "RA---TAN", projection),
        ("CTYPE2", "DEC--TAN-SIP" if sip else "DEC--TAN", projection),
        ("CUNIT1", "deg", ""),
        ("CUNIT2", "deg", ""),
        ("RADESYS", "ICRS", ""),
        ("CRVAL1", round(ra, 8), "[deg] right ascension at the reference pixel"),
        ("CRVAL2", round(p.dec, 8), "[deg] declination at the reference pixel"),
        ("CRPIX1", round(crpix[0], 3), "reference pixel in x"),
        ("CRPIX2", round(crpix[1], 3), "reference pixel in y"),
        ("CD1_1", scale * math.cos(t), ""),
        ("CD1_2", scale * math.sin(t), ""),
        ("CD2_1", -scale * math.sin(t), ""),
        ("CD2_2", scale * math.cos(t), ""),
    ]
    if sip:
        cards += sip_cards(p.distortion)
    return cards


def sip_cards(k: float) -> list[tuple[str, object, str]]:
    """SIP terms of a radial distortion about CRPIX: a point whose undistorted offset from CRPIX
    is u pixels is imaged at d = u (1 + k |u|**2).

    SIP's forward polynomials (A, B) take the imaged offset d back to u. Inverting
    rho = r (1 + k r**2) as a series, r = rho (1 - k rho**2 + 3 k**2 rho**4 - 12 k**3 rho**6 ...),
    gives u = d (1 - k rho**2 + 3 k**2 rho**4) to fifth order: the first omitted term is
    12 (k rho**2)**3 rho, some 1e-5 pixels at the corners of a 0.05 % pincushion. The inverse
    (AP, BP: u to d) is the distortion itself, exactly cubic."""
    k2 = 3.0 * k * k
    forward = {(3, 0): -k, (1, 2): -k, (5, 0): k2, (3, 2): 2.0 * k2, (1, 4): k2}
    inverse = {(3, 0): k, (1, 2): k}
    cards: list[tuple[str, object, str]] = [("A_ORDER", 5, "SIP order, pixel to focal plane"),
                                            ("B_ORDER", 5, "")]
    # B is A with the axes swapped: the distortion is radial.
    for name, terms in (("A", forward), ("B", {(j, i): c for (i, j), c in forward.items()})):
        cards += [(f"{name}_{i}_{j}", c, "") for (i, j), c in sorted(terms.items())]
    cards += [("AP_ORDER", 3, "SIP order, focal plane to pixel"), ("BP_ORDER", 3, "")]
    for name, terms in (("AP", inverse), ("BP", {(j, i): c for (i, j), c in inverse.items()})):
        cards += [(f"{name}_{i}_{j}", c, "") for (i, j), c in sorted(terms.items())]
    return cards


def data_shape(meta: FrameMetadata, frames: int | None = None) -> tuple[int, ...]:
    """The data unit's shape in NumPy order (slowest axis first)."""
    roi = meta.roi
    plane: tuple[int, ...] = (roi.height, roi.width)
    if roi.image_type == "rgb24":
        plane = (3,) + plane
    return plane if frames is None else (frames,) + plane


def file_bytes(meta: FrameMetadata, frames: int | None = None) -> int:
    """Size of the file: a generous two header blocks and the padded data."""
    count = FILE_BITS[meta.roi.image_type] // 8
    for n in data_shape(meta, frames):
        count *= n
    return count + (-count) % FITS_BLOCK + 2 * FITS_BLOCK


def build_header(meta: FrameMetadata, frames: int | None = None) -> Any:
    """A complete primary header: structure keywords for the data, then the frame's keywords."""
    fits = astropy_fits()
    shape = data_shape(meta, frames)
    raw16 = meta.roi.image_type == "raw16"
    header = fits.Header()
    header["SIMPLE"] = (True, "conforms to FITS standard")
    header["BITPIX"] = (16 if raw16 else 8, "bits per data value")
    header["NAXIS"] = (len(shape), "number of data axes")
    for axis, length in enumerate(reversed(shape), start=1):
        header[f"NAXIS{axis}"] = length
    header["EXTEND"] = True
    if raw16:
        # FITS has no unsigned 16-bit type: values are stored as signed with this offset.
        header["BZERO"] = (32768, "offset for unsigned 16-bit values")
        header["BSCALE"] = (1, "default scaling factor")
    for key, value, comment in header_cards(meta):
        header[key] = (value, comment)
    return header


def encode_plane(array: npt.NDArray[Any]) -> bytes:
    """Big-endian bytes of a data array as FITS stores them (uint16 shifted by BZERO)."""
    a = np.ascontiguousarray(array)
    if a.dtype == np.uint8:
        return bytes(a.tobytes())
    if a.dtype == np.uint16:
        # x - 32768 as a signed 16-bit value has the same bits as x with its top bit flipped.
        return bytes((a ^ np.uint16(0x8000)).astype(">u2").tobytes())
    raise TypeError(f"cannot store {a.dtype} data")


# Data are encoded a few megabytes at a time, so a full frame needs no full-size temporaries.
_CHUNK_BYTES = 4 << 20


def _row_chunks(array: npt.NDArray[Any]) -> Iterator[npt.NDArray[Any]]:
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


def frame_for_fits(frame: npt.NDArray[Any], img_type: str) -> npt.NDArray[Any]:
    """A decoded frame in FITS axis order: RGB planes first for colour frames."""
    if img_type == "rgb24":
        return np.moveaxis(frame, -1, 0)
    return frame


def _encode_header(header: Any) -> bytes:
    return bytes(header.tostring(sep="", endcard=True, padding=True).encode("ascii"))


class FitsWriter:
    """Writes one primary HDU whose data arrive in pieces (whole frames or planes).

    The file appears under its final name only after `close` has written every byte the header
    promises; `abort` (or leaving a `with` block by an exception) removes the partial file.
    A video cube stopped early is finished with `close_frames`, which shortens the last axis to
    the frames written.
    """

    def __init__(self, path: str | os.PathLike[str], header: Any, overwrite: bool = False,
                 data_bytes: int | None = None) -> None:
        """`data_bytes`: the data the file may receive when it is more than `header` declares
        (a cube whose header counts the frames written so far, see `update_header`)."""
        self._expected = _data_bytes(header) if data_bytes is None else data_bytes
        self._written = 0
        self._header_bytes = _encode_header(header)
        self._file = PartFile(path, "the FITS file", overwrite=overwrite)
        try:
            self._file.write(self._header_bytes)
        except BaseException:
            self._file.abort()
            raise

    @property
    def path(self) -> Path:
        """The file's name: the one asked for, or after `close` the free name it took when
        another run had taken that one meanwhile."""
        return self._file.path

    @property
    def taken(self) -> Path | None:
        """The name another run took meanwhile, when the file had to take another one."""
        return self._file.taken

    @property
    def bytes_written(self) -> int:
        return self._written

    def update_header(self, header: Any) -> None:
        """Rewrite the header in place while data are still coming (a cube's frame count so
        far): a reader of the part file, after a kill, finds that many complete frames. The
        header must keep its size and may declare no more data than are written."""
        text = _encode_header(header)
        if len(text) != len(self._header_bytes):
            raise ValueError("the new FITS header does not fit the space of the first")
        if _data_bytes(header) > self._written:
            raise ValueError("the new FITS header declares more data than were written")
        self._file.pwrite(text, 0)

    def write(self, array: npt.ArrayLike) -> None:
        array = np.asarray(array)
        if self._written + array.nbytes > self._expected:
            raise ValueError("more data than the FITS header declares")
        for chunk in _row_chunks(array):
            data = encode_plane(chunk)
            self._file.write(data)
            self._written += len(data)

    def close(self, final_header: Any = None) -> Path:
        """Finish the file; `final_header` replaces the header written at the start (values
        known only at the end, such as DATE-END) and must keep its size and structure."""
        if self._written != self._expected:
            self.abort()
            raise ValueError(
                f"FITS data incomplete: {self._written} of {self._expected} bytes were written"
            )
        return self._finish(final_header)

    def close_frames(self, final_header: Any) -> Path:
        """Finish a cube that holds fewer frames than first declared: `final_header` declares
        the frames kept (its last axis), and the data written beyond them are cut off.

        When the data written reach past the kept frames' padded end (a full disk that stopped
        a run), the padding overwrites bytes already on disk, so finishing needs no new space.
        """
        expected = _data_bytes(final_header)
        if expected > self._written:
            self.abort()
            raise ValueError("the final FITS header declares more data than were written")
        padded = expected + (-expected) % FITS_BLOCK
        start = len(self._header_bytes)
        if padded <= self._written:
            try:
                self._file.pwrite(b"\0" * (padded - expected), start + expected)
                self._file.truncate(start + padded)
            except BaseException:
                self.abort()
                raise
            self._written = self._expected = padded  # nothing left to pad
            return self._finish(final_header)
        self._file.truncate(start + expected)
        self._written = self._expected = expected
        return self._finish(final_header)

    @staticmethod
    def padded_size(data_bytes: int) -> int:
        return data_bytes + (-data_bytes) % FITS_BLOCK

    def _finish(self, final_header: Any) -> Path:
        try:
            # From the end of the data, so a retried finish pads once.
            self._file.truncate(len(self._header_bytes) + self._written)
            padding = (-self._written) % FITS_BLOCK
            if padding:
                self._file.write(b"\0" * padding)
            if final_header is not None:
                text = _encode_header(final_header)
                if len(text) != len(self._header_bytes):
                    raise ValueError("the final FITS header does not fit the space of the first")
                self._file.pwrite(text, 0)
            return self._file.commit()
        except BaseException:
            self.abort()
            raise

    def abort(self) -> None:
        self._file.abort()

    def __enter__(self) -> FitsWriter:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is not None:
            self.abort()


def _data_bytes(header: Any) -> int:
    """Bytes of data a header declares, before padding."""
    count = abs(int(header["BITPIX"])) // 8
    for axis in range(1, int(header["NAXIS"]) + 1):
        count *= int(header[f"NAXIS{axis}"])
    return count if int(header["NAXIS"]) else 0


def write_fits(path: str | os.PathLike[str], frame: npt.NDArray[Any], meta: FrameMetadata,
               overwrite: bool = False) -> Path:
    """Write one decoded frame (the layout of `Frame.array`) with its header."""
    with FitsWriter(path, build_header(meta), overwrite=overwrite) as writer:
        writer.write(frame_for_fits(frame, meta.roi.image_type))
        return writer.close()
