"""Checks of a captured frame that deserve a word to the user."""

from __future__ import annotations

from typing import Any

from .deps import numpy

# A frame is badly under-exposed when at least this share of its pixels sit at its black level.
UNDEREXPOSED_SHARE = 0.999


def black_share(frame: Any) -> tuple[float, int]:
    """The share of pixels at the frame's lowest value (its black level), and that value."""
    np = numpy()
    a = np.asarray(frame)
    if a.size == 0:
        return 0.0, 0
    lowest = int(a.min())
    return float(np.count_nonzero(a == lowest)) / a.size, lowest


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
            f"level ({level}); try " + ", ".join(advice[:-1]) + " or " + advice[-1])
