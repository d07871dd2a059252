"""The flats' exposure: a few short test frames find the time that puts the median at a target
share of full scale.

A sensor's response is linear well below saturation: the median is the black level plus a rate
times the exposure, so one measured frame predicts the exposure for the target, and a second
confirms it. A frame near saturation or barely above the black level says little about the
rate, so the time moves by a factor of ten before the next prediction; from then on two frames'
slope predicts it, and a prediction beyond the longest exposure ends the search at once.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from .deps import numpy
from .errors import CaptureError

DEFAULT_LEVEL = 0.40
# A test frame within this share of the target level ends the search.
LEVEL_TOLERANCE = 0.05
MAX_TEST_FRAMES = 8
FIRST_TEST_S = 0.1
SATURATED = 0.95  # a median this high is clipped: the rate cannot be read from it
TOO_DARK = 0.01  # signal above the black level below this share of full scale: too little


@dataclass(frozen=True)
class FlatExposure:
    seconds: float
    level: float  # the median's share of full scale in the last test frame
    test_frames: int


def full_scale(array: Any) -> float:
    return 65535.0 if array.dtype.itemsize == 2 else 255.0


def median_level(array: Any) -> float:
    """The median as a share of the sample type's full scale (RAW16 values are left-aligned)."""
    np = numpy()
    a = np.asarray(array)
    step = max(1, a.size // (1 << 18))
    return float(np.median(a.reshape(-1)[::step])) / full_scale(a)


def _round(seconds: float) -> float:
    """Three significant digits, whole microseconds: an exposure a user can write down."""
    return max(1e-6, round(float(f"{seconds:.3g}"), 6))


def find_exposure(take: Callable[[float], Any], *, black: float, shortest: float, longest: float,
                  level: float = DEFAULT_LEVEL, first: float = FIRST_TEST_S,
                  report: Callable[[str], None] = lambda text: None) -> FlatExposure:
    """Search the exposure for flats: `take(seconds)` exposes one test frame and returns its
    array; `black` is the black level as a share of full scale (a bias frame's median).

    Raises CaptureError when the light is too bright for the shortest exposure, or as soon as
    the frames taken predict that the target needs more than the longest exposure (a faint
    light is not tried at ever longer exposures only to learn that), or when the test frames
    do not settle on the level.
    """
    seconds = min(max(first, shortest), longest)
    unclipped: list[tuple[float, float]] = []  # (seconds, level) of frames below saturation
    for n in range(1, MAX_TEST_FRAMES + 1):
        measured = median_level(take(seconds))
        report(f"flat test frame {n}: {seconds:g} s, median at {100 * measured:.1f} % of "
               f"full scale (target {100 * level:g} %)")
        if abs(measured - level) <= LEVEL_TOLERANCE * level:
            return FlatExposure(seconds, measured, n)
        if measured < SATURATED:
            unclipped.append((seconds, measured))
        predicted = _predict(unclipped, black, level)
        if measured >= SATURATED:
            wanted = seconds / 10
        elif predicted is not None:
            if predicted > longest:
                raise CaptureError(
                    f"the light is too faint for flats: at {seconds:g} s the median is at "
                    f"{100 * measured:.1f} % of full scale, so {100 * level:g} % would take "
                    + (f"about {_round(predicted):g} s" if predicted < math.inf
                       else "more light than reaches the sensor")
                    + f", beyond the longest exposure, {longest:g} s; brighten the panel or "
                    "lower --flat-level")
            wanted = predicted
        else:
            wanted = seconds * 10
        wanted = min(max(_round(wanted), shortest), longest)
        if wanted == seconds:
            if seconds <= shortest:
                raise CaptureError(
                    f"the light is too bright for flats: at the shortest exposure, "
                    f"{seconds:g} s, the median is at {100 * measured:.1f} % of full scale "
                    f"(target {100 * level:g} %); dim the panel or wait for a darker sky")
            raise CaptureError(
                f"the light is too faint for flats: at {seconds:g} s the median is at "
                f"{100 * measured:.1f} % of full scale (target {100 * level:g} %); brighten "
                "the panel or lower --flat-level")
        seconds = wanted
    raise CaptureError(f"no flat exposure put the median within {100 * LEVEL_TOLERANCE:g} % of "
                       f"the target after {MAX_TEST_FRAMES} test frames: is the light steady?")


def _predict(unclipped: list[tuple[float, float]], black: float, level: float) -> float | None:
    """The exposure the target level needs, from the frames below saturation (the response is
    linear): the slope between the two longest, or one frame's signal above the black level
    when it stands clear of the noise; None when neither says enough (infinity: no light)."""
    if len(unclipped) >= 2:
        (t1, m1), (t2, m2) = sorted(unclipped)[-2:]
        if t2 > t1:
            rate = (m2 - m1) / (t2 - t1)
            return math.inf if rate <= 0 else t2 + (level - m2) / rate
    if unclipped:
        seconds, measured = unclipped[-1]
        signal = measured - black
        if signal >= TOO_DARK:
            return seconds * (level - black) / signal
    return None
