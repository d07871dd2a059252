"""The frames a sequence's folders already hold: their settings, checked against the run's so
that one folder never mixes frames a stacking program would combine wrongly, and their count,
for `--resume`.

A folder is one set to the programs that process it (the docs' recipes read a folder as one
master's frames), so a run whose frames differ from those already there in a setting that
matters (exposure, gain, offset, binning, cooler target, image type or size) is refused with the
setting named, rather than mixed in or put somewhere the user did not ask for.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .deps import astropy_fits
from .errors import UsageError

# (name in messages, FITS keyword): the settings frames of one folder must share. Flats differ
# in exposure from night to night without harm (they are normalised), so theirs is left out.
SETTINGS = (
    ("exposure", "EXPTIME"),
    ("gain", "GAIN"),
    ("offset", "OFFSET"),
    ("binning", "XBINNING"),
    ("cooler target", "SET-TEMP"),
    ("image type", "PIXFMT"),
    ("width", "NAXIS1"),
    ("height", "NAXIS2"),
)
EXPOSURE_FREE_KINDS = ("FLAT",)


@dataclass
class Present:
    """The complete frames of one series already in its folder."""

    paths: list[Path]
    exposures: list[float]


def _values(header: Any) -> dict[str, object]:
    return {key: header.get(key) for _, key in SETTINGS}


def _same(a: object, b: object) -> bool:
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return abs(float(a) - float(b)) <= 1e-9 * max(1.0, abs(float(a)))
    return a == b


def _shown(value: object) -> str:
    return "none" if value is None else f"{value:g}" if isinstance(value, float) else str(value)


def frames_present(folder: Path, pattern: re.Pattern[str], label: str, imagetyp: str,
                   wanted: dict[str, object]) -> Present:
    """The frames of this kind in `folder` (names the series' `pattern` matches, typed
    `imagetyp`), each checked against the run's settings `wanted` (keyword: value; a None
    exposure is not checked yet). UsageError naming the first differing setting."""
    fits = astropy_fits()
    present = Present([], [])
    try:
        names = sorted(p.name for p in folder.iterdir())
    except (FileNotFoundError, NotADirectoryError):
        return present
    for name in names:
        if name.startswith(".") or pattern.fullmatch(name) is None:
            continue
        path = folder / name
        try:
            header = fits.getheader(path)
        except (OSError, ValueError):
            continue  # not a FITS file this tool wrote: neither counted nor compared
        if header.get("IMAGETYP") != imagetyp:
            continue
        there = _values(header)
        for what, key in SETTINGS:
            if key == "EXPTIME" and (label in EXPOSURE_FREE_KINDS or wanted[key] is None):
                continue
            if not _same(there[key], wanted[key]):
                raise UsageError(
                    f"{folder} holds {label} frames of another {what} ({_shown(there[key])} in "
                    f"{name}; this run's: {_shown(wanted[key])}): a stacking program would "
                    "combine them as one set; write to another folder (-o), or put the "
                    "setting into the folder's name (--name)")
        present.paths.append(path)
        present.exposures.append(float(header.get("EXPTIME", 0.0)))
    return present
