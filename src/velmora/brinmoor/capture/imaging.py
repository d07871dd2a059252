"""Frames as NumPy arrays: decoding the camera's bytes, debayering and stretching for previews.

Everything here is pure array work with no camera involved, so it can be tested on its own.
"""

from __future__ import annotations

import io
import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

# The Bayer rules live with the file formats; the previews use them from here too.
from velmora.brinmoor.formats.bayer import BAYER_CELLS as BAYER_CELLS
from velmora.brinmoor.formats.bayer import shifted_cell as shifted_cell

Array = npt.NDArray[Any]
FloatArray = npt.NDArray[np.float32]

# Statistics of large frames are taken on a regular subsample of about this many pixels.
_STATS_SAMPLES = 1 << 20


def _colour_mask(shape: tuple[int, ...], cell: str, colour: str) -> npt.NDArray[np.bool_]:
    mask = np.zeros(shape, dtype=bool)
    for k, (dy, dx) in enumerate(((0, 0), (0, 1), (1, 0), (1, 1))):
        if cell[k] == colour:
            mask[dy::2, dx::2] = True
    return mask


def _smooth121(plane: FloatArray) -> FloatArray:
    """Separable [1 2 1] x [1 2 1] sum with zero padding; used for normalised convolution."""
    out = plane * 2
    out[:, 1:] += plane[:, :-1]
    out[:, :-1] += plane[:, 1:]
    rows = out * 2
    rows[1:, :] += out[:-1, :]
    rows[:-1, :] += out[1:, :]
    return rows


def interpolate_colour(raw: Array, cell: str, colour: str) -> FloatArray:
    """One colour plane of a Bayer mosaic at full resolution, by bilinear interpolation.

    Normalised convolution with the [1 2 1] kernel averages the nearest same-colour samples
    (four orthogonal or four diagonal neighbours, or two), which is bilinear demosaicing, and
    handles the borders without special cases. Measured samples are kept as they are.
    """
    if raw.ndim != 2 or raw.shape[0] < 2 or raw.shape[1] < 2:
        raise ValueError("a Bayer mosaic needs a 2-D frame of at least 2x2 pixels")
    mask = _colour_mask(raw.shape, cell, colour)
    samples = np.where(mask, raw.astype(np.float32), np.float32(0))
    weight = _smooth121(mask.astype(np.float32))
    plane = _smooth121(samples)
    plane /= weight
    np.copyto(plane, samples, where=mask)
    return plane


def debayer(raw: Array, cell: str) -> FloatArray:
    """A full-resolution (h, w, 3) float32 R, G, B image from a Bayer mosaic."""
    return np.stack([interpolate_colour(raw, cell, c) for c in "RGB"], axis=-1)


def _sample(values: npt.ArrayLike) -> Array:
    """A regular subsample of at most about `_STATS_SAMPLES` values, as a flat array."""
    flat = np.asarray(values).reshape(-1)
    step = max(1, flat.size // _STATS_SAMPLES)
    return flat[::step]


def midtones_transfer(m: Any, x: Any) -> Any:
    """The midtones transfer function: 0 -> 0, m -> 0.5, 1 -> 1, monotonic in between."""
    return ((m - 1.0) * x) / ((2.0 * m - 1.0) * x - m)


@dataclass(frozen=True)
class Stretch:
    """A mapping of normalised values [0, 1] to display values [0, 1].

    Linear from `black` to `white`, then the midtones transfer with balance `midtones`
    (0.5 leaves the linear ramp unchanged).
    """

    black: float
    white: float
    midtones: float = 0.5

    def apply(self, plane: npt.ArrayLike) -> FloatArray:
        span = self.white - self.black
        if span <= 0:
            # A flat frame: show its level as it is rather than dividing by zero.
            level = 1.0 if self.black >= 1.0 else float(np.clip(self.black, 0.0, 1.0))
            return np.full(np.shape(plane), level, dtype=np.float32)
        y = (np.asarray(plane, dtype=np.float32) - np.float32(self.black)) / np.float32(span)
        np.clip(y, 0.0, 1.0, out=y)
        if self.midtones != 0.5:
            y = midtones_transfer(np.float32(self.midtones), y).astype(np.float32)
        return y


def auto_stretch(samples: npt.ArrayLike, target_background: float = 0.25, shadows_sigma: float = 2.8) -> Stretch:
    """A stretch that puts the sky background at `target_background`.

    The black point sits `shadows_sigma` robust standard deviations (from the median absolute
    deviation) below the median; the midtones balance then maps the median to the target.
    Frames without spread (MAD of zero) fall back to a plain min/max stretch.
    """
    s = _sample(samples).astype(np.float64)
    if s.size == 0:
        return Stretch(0.0, 1.0)
    median = float(np.median(s))
    mad = float(np.median(np.abs(s - median))) * 1.4826
    low, high = float(s.min()), float(s.max())
    if mad <= 0.0 or median >= high:
        return Stretch(low, high) if high > low else Stretch(low, low)
    black = max(low, median - shadows_sigma * mad)
    white = high
    x = (median - black) / (white - black)
    if x <= 0.0:
        return Stretch(black, white)
    midtones = float(midtones_transfer(target_background, x))
    return Stretch(black, white, min(max(midtones, 1e-6), 1.0 - 1e-6))


def percentile_stretch(samples: npt.ArrayLike, low: float = 0.5, high: float = 99.95) -> Stretch:
    """A linear stretch between two percentiles of the values."""
    s = _sample(samples).astype(np.float64)
    if s.size == 0:
        return Stretch(0.0, 1.0)
    lo, hi = (float(v) for v in np.percentile(s, [low, high]))
    return Stretch(lo, hi)


STRETCHES = ("auto", "percentile", "linear")


def choose_stretch(method: str, samples: npt.ArrayLike) -> Stretch:
    if method == "auto":
        return auto_stretch(samples)
    if method == "percentile":
        return percentile_stretch(samples)
    if method == "linear":
        return Stretch(0.0, 1.0)
    raise ValueError(f"unknown stretch {method!r}")


def _normalised(frame: Array) -> FloatArray:
    """Values scaled so that the type's full scale is 1.0 (float input is taken as scaled)."""
    if frame.dtype.kind == "f":
        return frame.astype(np.float32)
    full = 65535.0 if frame.dtype == np.uint16 else 255.0
    return frame.astype(np.float32) / np.float32(full)


def _to_uint8(y: FloatArray) -> npt.NDArray[np.uint8]:
    return np.rint(y * np.float32(255.0)).astype(np.uint8)


# Previews are computed in bands of this many rows (even, so the Bayer phase is kept), which
# bounds the float temporaries for large sensors to a few bands instead of whole frames.
_BAND_ROWS = 512
# Rows of context above and below a band for the 3x3 interpolation (even, for the same reason).
_HALO_ROWS = 2


def _bands(height: int) -> Iterator[tuple[int, int]]:
    for top in range(0, height, _BAND_ROWS):
        yield top, min(height, top + _BAND_ROWS)


def _cell_samples(frame: Array, cell: str, colour: str) -> Array:
    """The measured values of one colour of a Bayer mosaic (for statistics), as a flat array."""
    parts = [frame[dy::2, dx::2].reshape(-1)
             for k, (dy, dx) in enumerate(((0, 0), (0, 1), (1, 0), (1, 1))) if cell[k] == colour]
    return np.concatenate(parts)


def _stretch_for(method: str, values: Array) -> Stretch:
    return choose_stretch(method, _normalised(_sample(values)))


def preview(frame: Array, img_type: str, bayer_cell: str | None = None,
            method: str = "auto") -> npt.NDArray[np.uint8]:
    """An 8-bit display image of a frame: (h, w) grey or (h, w, 3) RGB, same size as the frame.

    Colour frames are stretched per channel (each channel's own black point and midtones), which
    also neutralises the background's colour cast. RAW frames of colour cameras are debayered
    first when `bayer_cell` is given.
    """
    height = frame.shape[0]
    if img_type == "rgb24":
        out = np.empty(frame.shape, dtype=np.uint8)
        for c in range(3):
            stretch = _stretch_for(method, frame[:, :, c])
            for top, bottom in _bands(height):
                band = _normalised(frame[top:bottom, :, c])
                out[top:bottom, :, c] = _to_uint8(stretch.apply(band))
        return out
    if bayer_cell is None or img_type == "y8":
        stretch = _stretch_for(method, frame)
        out = np.empty(frame.shape, dtype=np.uint8)
        for top, bottom in _bands(height):
            out[top:bottom] = _to_uint8(stretch.apply(_normalised(frame[top:bottom])))
        return out
    out = np.empty(frame.shape + (3,), dtype=np.uint8)
    for c, colour in enumerate("RGB"):
        # Statistics from the measured samples of this colour only, not the interpolated ones.
        stretch = _stretch_for(method, _cell_samples(frame, bayer_cell, colour))
        for top, bottom in _bands(height):
            lo, hi = max(0, top - _HALO_ROWS), min(height, bottom + _HALO_ROWS)
            plane = interpolate_colour(_normalised(frame[lo:hi]), bayer_cell, colour)
            out[top:bottom, :, c] = _to_uint8(stretch.apply(plane[top - lo:bottom - lo]))
    return out


def reduced_size(width: int, height: int, max_size: int) -> tuple[int, int]:
    """The size of a preview whose longest side is at most `max_size` (0: unchanged)."""
    longest = max(width, height)
    if max_size <= 0 or longest <= max_size:
        return width, height
    scale = max_size / longest
    return max(1, round(width * scale)), max(1, round(height * scale))


def png_bytes(image: Array, max_size: int = 0) -> bytes:
    """An 8-bit grey or RGB array as PNG, reduced by area averaging to `max_size` pixels on its
    longest side (0: full size)."""
    from .deps import pil_image

    if image.dtype.name != "uint8" or image.ndim not in (2, 3):
        raise ValueError("a PNG preview needs an 8-bit (h, w) or (h, w, 3) array")
    Image = pil_image()
    # Pillow picks L for 2-D and RGB for (h, w, 3) uint8 arrays.
    picture = Image.fromarray(image)
    size = reduced_size(picture.width, picture.height, max_size)
    if size != picture.size:
        picture = picture.resize(size, Image.Resampling.BOX)
    buffer = io.BytesIO()
    picture.save(buffer, format="PNG", compress_level=3)
    return buffer.getvalue()


def write_png(path: str | os.PathLike[str], image: Array, max_size: int = 0) -> None:
    """Save an 8-bit grey or RGB array as PNG (see `png_bytes`)."""
    with open(path, "wb") as f:
        f.write(png_bytes(image, max_size))
