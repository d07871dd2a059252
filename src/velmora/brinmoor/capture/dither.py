"""Dithering through a camera's ST4 port: the field moves by a random offset between lights, so
fixed-pattern noise and hot pixels fall on different parts of the sky in every frame.

The pulse rate (pixels per second of pulse, per axis, with its sign) is calibrated once from
test frames with a pulse east and north between them, or given by the user. A declination axis
has play in its gears (backlash): a pulse that reverses the axis first takes the play up and
moves nothing until it has. So the calibration takes the play up before it measures, measures
the play itself with pulses south, and every move that reverses declination adds that time.
Offsets are drawn around the first light's position, not added up, so the field never wanders
away; where the field really is, is measured from each light against the first one, and the
next move starts from there.
"""

from __future__ import annotations

import math
import random
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from .deps import numpy
from .errors import CaptureError

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera

# A calibration pulse must move the field at least this far on each axis to be measured.
MIN_CALIBRATION_SHIFT_PX = 2.0
# Pulses of the calibration's length tried on the declination axis before giving up: the play
# may take more than one to take up.
MAX_BACKLASH_PULSES = 4


@dataclass(frozen=True)
class PulseRate:
    """Pixels the field moves per second of a pulse: `x` for east (west is -x), `y` for north
    (south is -y)."""

    x: float
    y: float


@dataclass(frozen=True)
class Calibration:
    """The pulse rate, the declination's play in seconds of pulse, and the way the last
    declination pulse went (the side the gears rest on)."""

    rate: PulseRate
    backlash_s: float = 0.0
    dec_direction: str | None = None


def measure_shift(before: Any, after: Any, *, bayer: bool = False,
                  exclude: float = 0.0) -> tuple[float, float]:
    """How far the field moved from `before` to `after`, in pixels (x, y), by phase correlation.

    Colour mosaics are summed into 2x2 cells first, so the colour pattern does not correlate with
    itself. `exclude` skips correlation peaks closer than that to no shift: what stays put on
    the sensor (hot pixels, glow) would otherwise win over the stars that moved.
    """
    np = numpy()
    a = np.asarray(before, dtype=np.float64)
    b = np.asarray(after, dtype=np.float64)
    scale = 1.0
    if bayer:
        h, w = (a.shape[0] // 2) * 2, (a.shape[1] // 2) * 2
        a = a[:h, :w].reshape(h // 2, 2, w // 2, 2).sum(axis=(1, 3))
        b = b[:h, :w].reshape(h // 2, 2, w // 2, 2).sum(axis=(1, 3))
        scale = 2.0
    window = np.outer(np.hanning(a.shape[0]), np.hanning(a.shape[1]))
    fa = np.fft.fft2(_stars(a) * window)
    fb = np.fft.fft2(_stars(b) * window)
    cross = fb * np.conj(fa)
    cross /= np.maximum(np.abs(cross), 1e-12)
    corr = np.fft.ifft2(cross).real
    h, w = corr.shape
    if exclude > 0:
        ys = np.fft.fftfreq(h, 1.0 / h)[:, None]
        xs = np.fft.fftfreq(w, 1.0 / w)[None, :]
        corr = np.where(np.hypot(ys, xs) * scale < exclude, -np.inf, corr)
    py, px = np.unravel_index(int(np.argmax(corr)), corr.shape)

    def refine(values: Any, i: int, n: int) -> float:
        left, mid, right = values[(i - 1) % n], values[i], values[(i + 1) % n]
        denom = left - 2 * mid + right
        if not np.isfinite(denom) or denom == 0:
            return 0.0
        return float(0.5 * (left - right) / denom)

    dy = py + refine(corr[:, px], int(py), h)
    dx = px + refine(corr[py, :], int(px), w)
    dy = dy - h if dy > h / 2 else dy
    dx = dx - w if dx > w / 2 else dx
    return dx * scale, dy * scale


def _stars(image: Any) -> Any:
    """What stands out of the sky: pixels 5 robust sigmas above the median, the rest zero.
    Noise and the sky's gradient would otherwise weigh as much as the stars."""
    np = numpy()
    # A hot pixel stands alone: clipped to its brightest neighbour it sinks into the sky, where
    # a star's pixels keep bright neighbours. Hot pixels stay put and would pull the measure to
    # no shift.
    padded = np.pad(image, 1, mode="edge")
    neighbours = np.maximum.reduce([padded[:-2, 1:-1], padded[2:, 1:-1], padded[1:-1, :-2],
                                    padded[1:-1, 2:]])
    image = np.minimum(image, neighbours)
    median = np.median(image)
    sigma = 1.4826 * np.median(np.abs(image - median))
    return np.where(image > median + 5 * max(sigma, 1e-9), image - median, 0.0)


def calibrate(cam: Camera, take: Callable[[], Any], pulse_s: float, *, bayer: bool,
              report: Callable[[str], None]) -> Calibration:
    """Test frames with pulses of `pulse_s` between them: the play taken up northward, then one
    pulse east and north (north again while the play is still being taken up), then pulses
    south until the field moves, which measures the play."""
    def shift(a: Any, b: Any) -> tuple[float, float]:
        # No peak is excluded: the play's pulses may move the field by nothing, which must
        # read as nothing (hot pixels, which would say so wrongly, are clipped out).
        return measure_shift(a, b, bayer=bayer)

    _pulse(cam, ("north", pulse_s))  # take up the play: the gears rest on their north side
    before = take()
    _pulse(cam, ("east", pulse_s), ("north", pulse_s))
    after = take()
    dx, dy = shift(before, after)
    tries = 1
    while abs(dy) < MIN_CALIBRATION_SHIFT_PX and tries < MAX_BACKLASH_PULSES:
        tries += 1  # still in the play: the next pulse north moves the field
        before = after
        _pulse(cam, ("north", pulse_s))
        after = take()
        dy = shift(before, after)[1]
    report(f"dither calibration: a {pulse_s:g} s pulse east and north moved the field "
           f"{dx:+.1f} px in x, {dy:+.1f} px in y")
    if abs(dx) < MIN_CALIBRATION_SHIFT_PX or abs(dy) < MIN_CALIBRATION_SHIFT_PX:
        raise CaptureError(
            f"dither calibration: a {pulse_s:g} s guide pulse east and north moved the field "
            f"only {dx:+.1f} px in x and {dy:+.1f} px in y; check the ST4 cable and that the "
            "mount tracks, give a longer --dither-pulse, or the rate with --dither-rate")
    rate = PulseRate(dx / pulse_s, dy / pulse_s)
    # The play: pulses south until the field moves; what they did not move it is the play.
    south = 0.0
    moved = 0.0
    for _ in range(MAX_BACKLASH_PULSES):
        _pulse(cam, ("south", pulse_s))
        south += pulse_s
        later = take()
        moved = abs(shift(after, later)[1])
        if moved >= MIN_CALIBRATION_SHIFT_PX:
            break
    backlash = max(0.0, south - moved / abs(rate.y))
    report(f"dither calibration: declination backlash {backlash:.2g} s of pulse "
           f"({backlash * abs(rate.y):.1f} px)")
    return Calibration(rate, backlash, "south")


def _pulse(cam: Camera, *pulses: tuple[str, float]) -> None:
    """Guide pulses on both axes at once; each ends after its own length."""
    on = sorted(((d, s) for d, s in pulses if s > 0), key=lambda p: p[1])
    active: list[str] = []
    started = time.monotonic()
    try:
        for direction, _ in on:
            cam.guide_on(direction)
            active.append(direction)
        for direction, seconds in on:
            left = started + seconds - time.monotonic()
            if left > 0:
                time.sleep(left)
            cam.guide_off(direction)
            active.remove(direction)
    finally:
        for direction in active:  # stopped early (Ctrl-C): no pulse runs on
            if not cam.closed:
                cam.guide_off(direction)


class Ditherer:
    """Random offsets of up to `radius` pixels around the first light's position."""

    def __init__(self, cam: Camera, calibration: Calibration, radius: float, *,
                 bayer: bool = False, rng: random.Random | None = None):
        self.cam = cam
        self.rate = calibration.rate
        self.backlash_s = calibration.backlash_s
        self.dec_direction = calibration.dec_direction
        self.radius = radius
        self.bayer = bayer
        self.rng = rng or random.Random()
        self.offset = (0.0, 0.0)  # where the field is against the first light
        self.reference: Any = None

    def next_offset(self) -> tuple[float, float]:
        # Uniform over the disc: the square root keeps the centre from being favoured.
        r = self.radius * math.sqrt(self.rng.random())
        angle = self.rng.uniform(0.0, 2 * math.pi)
        return r * math.cos(angle), r * math.sin(angle)

    def pulses(self, target: tuple[float, float]) -> list[tuple[str, float]]:
        """The pulses that move the field from the present offset to `target`; a pulse that
        reverses declination takes the play up first."""
        mx, my = target[0] - self.offset[0], target[1] - self.offset[1]
        tx, ty = mx / self.rate.x, my / self.rate.y
        north = "north" if ty >= 0 else "south"
        dec_s = abs(ty)
        if dec_s > 0:
            if self.dec_direction is not None and north != self.dec_direction:
                dec_s += self.backlash_s
            self.dec_direction = north
        return [("east" if tx >= 0 else "west", abs(tx)), (north, dec_s)]

    def observe(self, image: Any) -> tuple[float, float] | None:
        """After a light: where the field is against the first light, measured from the
        stars (None for the first light, which is the reference)."""
        if self.reference is None:
            self.reference = image
            return None
        self.offset = measure_shift(self.reference, image, bayer=self.bayer)
        return self.offset

    def move(self) -> tuple[float, float]:
        target = self.next_offset()
        _pulse(self.cam, *self.pulses(target))
        self.offset = target  # until the next light measures it
        return target
