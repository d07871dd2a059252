"""How many electrons a frame's values stand for: the conversion factor and the full well at the
camera's present gain, in the units of the values as delivered.

A simulated camera answers from the simulator's own sensor model (`asisim.sensor_response`):
the catalogue's curves that its images follow, so the figures are those the pixels show, kept
in one place (the simulator's catalogue) rather than in a copy here that could drift from it.
Any other camera reports its factor for gain 0 only (the SDK's ElecPerADU), and no full well;
how the factor falls between gain 0 and the unity gain differs from sensor to sensor, so at
other gains the factor is unknown rather than guessed.
"""

from __future__ import annotations

from dataclasses import dataclass

from velmora.brinmoor.formats.metadata import FILE_BITS
from velmora.brinmoor.formats.roi import ImageType

from .simulated import simulator

__all__ = ["Conversion", "conversion"]


@dataclass(frozen=True, slots=True)
class Conversion:
    """Electrons per unit of a frame's values, and the electrons at their full scale."""

    electrons_per_adu: float
    """Electrons per unit of the values as delivered: the ADC's factor with RAW16's shift to
    the top bits (a 14-bit ADC's values step by 4, a quarter of the factor per unit) or RAW8's
    cut to the top 8 bits."""
    full_well: float | None
    """Electrons an output pixel holds before its value stops rising: the pixels' full well
    (times bin x bin, as binning sums charge) or the values' full scale, whichever comes first;
    None when the sensor's full well is not known."""
    gain: int
    """The gain setting the figures hold for."""


def conversion(camera_id: int, gain: int, sdk_e_per_adu: float, adc_bits: int,
               image_type: ImageType, bin: int) -> Conversion | None:
    """The figures of a camera at `gain` for frames of `image_type` at `bin`; None when they are
    not known (a camera other than a simulated one away from gain 0), and for RGB24 and Y8,
    whose values are computed from several pixels."""
    if image_type not in ("raw8", "raw16"):
        return None
    native: float | None = None
    full_well: float | None = None
    sim = simulator()
    if sim is not None:
        try:
            response = sim.sensor_response(camera_id, gain)
        except ValueError:
            response = None  # not one of the simulator's cameras
        if response is not None:
            native, full_well, adc_bits = (response.electrons_per_adu, response.full_well_e,
                                           response.adc_bits)
    if native is None:
        if gain != 0 or not sdk_e_per_adu > 0:
            return None
        native = sdk_e_per_adu
    shift = FILE_BITS[image_type] - adc_bits
    per_value = native / 2.0**shift
    # The largest value: RAW16 the ADC's full scale in the top bits, RAW8 255 (binned sums
    # saturate there too).
    top = (2**adc_bits - 1) * 2**shift if shift >= 0 else 2 ** FILE_BITS[image_type] - 1
    capacity = None if full_well is None else min(full_well * bin * bin, top * per_value)
    return Conversion(per_value, capacity, gain)
