"""Checks of a captured frame that deserve a word to the user."""

from __future__ import annotations

from typing import Any

from .deps import numpy

# A frame is badly under-exposed when this share of its pixels sit on the black level or the
# few sample levels just above it: the picture holds read noise and nothing else.
UNDEREXPOSED_SHARE = 0.999
NOISE_LEVELS = 3
# Statistics from at most this many pixels (an even spread over the frame).
SAMPLES = 1 << 20


def black_share(frame: Any) -> tuple[float, int]:
    """The share of pixels on the frame's lowest `NOISE_LEVELS` sample values, and the lowest
    (its black level)."""
    np = numpy()
    a = np.asarray(frame).reshape(-1)
    if a.size == 0:
        return 0.0, 0
    a = a[:: max(1, a.size // SAMPLES)]
    levels, counts = np.unique(a, return_counts=True)
    return float(counts[:NOISE_LEVELS].sum()) / a.size, int(levels[0])


def underexposure_warning(frame: Any, img_type: str, exposure_s: float,
                          gain: int | None) -> str | None:
    """A one-line warning with what to change when nearly every pixel is at the black level."""
    share, level = black_share(frame)
    if share < UNDEREXPOSED_SHARE:
        return None
    advice = [f"a longer exposure than {exposure_s:g} s (-e)"]
    advice.append("a higher gain (-g)" if gain is None else f"a higher gain than {gain} (-g)")
    if img_type in ("raw8", "y8", "rgb24"):
        advice.append("-t raw16, whose 16 bits keep the faint signal that 8 bits round away")
    return (f"the frame is almost black: {100 * share:.2f} % of its pixels are at the black "
            f"level ({level}) or within {NOISE_LEVELS - 1} steps of it; try "
            + ", ".join(advice[:-1]) + " or " + advice[-1])
