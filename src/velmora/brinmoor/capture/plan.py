"""What a calibration run is made of: the frame kinds, their counts and exposures, file names.

Pure data and text work, no camera: the `sequence` command builds a list of `Series` from its
options, names each frame with a `NameTemplate`, and estimates the time left from the plan.
"""

from __future__ import annotations

import math
import re
import string
from dataclasses import dataclass
from decimal import Decimal
from pathlib import Path

from velmora.brinmoor.formats.partfile import FRAME_NUMBER_DIGITS


@dataclass(frozen=True)
class Kind:
    """One kind of frame: its option name, its name in files and folders, and its header."""

    name: str  # light, dark, flat, dark-flat, bias
    label: str  # LIGHT, DARK, FLAT, DARKFLAT, BIAS: folders, file names, progress lines
    header_kind: str  # the IMAGETYP family: light, dark, flat, bias
    dark: bool  # taken with the shutter closed


KINDS: dict[str, Kind] = {k.name: k for k in (
    Kind("light", "LIGHT", "light", False),
    Kind("dark", "DARK", "dark", True),
    Kind("flat", "FLAT", "flat", False),
    # Dark-flats are darks at the flats' exposure: stacking programs read them as darks.
    Kind("dark-flat", "DARKFLAT", "dark", True),
    Kind("bias", "BIAS", "bias", True),
)}
# The order of a run: lights while the sky is dark, darks at their temperature right after,
# flats (whose exposure the dark-flats then repeat), and bias last, which needs nothing.
RUN_ORDER = ("light", "dark", "flat", "dark-flat", "bias")


@dataclass(frozen=True)
class CountSpec:
    """`20x60` (20 frames of 60 s) or `20` (20 frames, exposure decided by the run)."""

    count: int
    seconds: float | None


_COUNT_SECONDS = re.compile(r"\s*(\d+)\s*(?:[xX]\s*([0-9.eE+-]+)\s*)?")


def parse_count(text: str, *, seconds_allowed: bool = True,
                seconds_required: bool = False) -> CountSpec:
    """`COUNT` or `COUNTxSECONDS`, as `--lights 20x60`; ValueError with the reason otherwise."""
    match = _COUNT_SECONDS.fullmatch(text)
    if match is None:
        form = "COUNTxSECONDS" if seconds_required else "COUNT" if not seconds_allowed \
            else "COUNT or COUNTxSECONDS"
        raise ValueError(f"{text!r} is not {form} (for example 20x60: 20 frames of 60 s)"
                         if seconds_allowed else f"{text!r} is not a frame count")
    count = int(match.group(1))
    if count <= 0:
        raise ValueError(f"{text!r}: the frame count must be greater than 0")
    if match.group(2) is None:
        if seconds_required:
            raise ValueError(f"{text!r} gives no exposure; write COUNTxSECONDS, as 20x60")
        return CountSpec(count, None)
    if not seconds_allowed:
        raise ValueError(f"{text!r}: these frames take the camera's shortest exposure; "
                         "give the count alone")
    try:
        seconds = float(match.group(2))
    except ValueError:
        raise ValueError(f"{text!r}: {match.group(2)!r} is not a number of seconds") from None
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"{text!r}: the exposure must be a number of seconds greater than 0")
    return CountSpec(count, seconds)


@dataclass
class Series:
    """The frames of one kind in a run; `seconds` None until the run decides it (flats)."""

    kind: Kind
    count: int
    seconds: float | None
    done: int = 0  # frames of it already in its folder, for --resume


def exposure_text(seconds: float) -> str:
    """An exposure for names and messages as the decimal it is: 60, 0.5, 0.000032."""
    text = format(Decimal(repr(float(seconds))).normalize(), "f")
    return text


def camera_slug(name: str) -> str:
    """A camera name as a file-name part: `ZWO ASI120MM Mini` -> `ASI120MM-Mini`."""
    name = name.removeprefix("ZWO ").strip()
    return re.sub(r"[^A-Za-z0-9._-]+", "-", name).strip("-") or "camera"


# The fields a name template may use, with what they stand for (shown by --help).
TEMPLATE_FIELDS = {
    "kind": "LIGHT, DARK, FLAT, DARKFLAT or BIAS",
    "camera": "the camera's name, as ASI294MC-Pro",
    "exposure": "the exposure in seconds, as 60 or 0.5",
    "gain": "the gain",
    "offset": "the offset",
    "bin": "the binning factor",
    "temperature": "the cooler's target, or the sensor's temperature at the start of the "
                   "series without a cooler, in whole degrees C",
    "filter": "the filter's name (--filter), NA without one",
    "number": f"the frame's number, {FRAME_NUMBER_DIGITS} digits, continuing after the files "
              "already there",
}
DEFAULT_TEMPLATE = "{kind}/{kind}_{camera}_{exposure}s_gain{gain}_{temperature}C_{number}"
# With a filter, each kind's frames of that filter have a folder of their own: the docs'
# recipes (ccdproc, Siril) take a folder's frames as one set.
FILTER_TEMPLATE = ("{kind}/{filter}/{kind}_{camera}_{filter}_{exposure}s_gain{gain}_"
                   "{temperature}C_{number}")


def default_template(filter: str | None) -> str:
    return DEFAULT_TEMPLATE if filter is None else FILTER_TEMPLATE


class NameTemplate:
    """A name template, as `{kind}/{kind}_{camera}_{exposure}s_{number}`, checked when made."""

    def __init__(self, template: str):
        fields: list[str] = []
        for _literal, field, spec, conversion in string.Formatter().parse(template):
            if field is None:
                continue
            if field not in TEMPLATE_FIELDS or spec or conversion:
                raise ValueError(
                    f"name template {template!r}: {{{field}}} is not one of "
                    + ", ".join(f"{{{f}}}" for f in TEMPLATE_FIELDS))
            fields.append(field)
        if "number" not in fields:
            raise ValueError(f"name template {template!r} has no {{number}}: frames would "
                             "share one name")
        if "/" in template.split("{number}")[-1]:
            raise ValueError(f"name template {template!r}: {{number}} must be in the file name, "
                             "not in a folder name")
        parts = Path(template).parts
        if Path(template).is_absolute() or ".." in parts:
            raise ValueError(f"name template {template!r} must stay inside the output folder")
        self.template = template

    def series_name(self, values: dict[str, str], fixed: tuple[str, ...] = ()
                    ) -> tuple[Path, re.Pattern[str]]:
        """The folder of a series' frames and a pattern that matches the file names of every
        series the template puts there (the number grouped): numbers count on through a
        folder, whatever the exposure or temperature of the frames already in it. The fields
        in `fixed` match only their own value (`kind`: the files of this kind alone)."""
        filled = {k: v for k, v in values.items() if k != "number"}
        marker = "\0"
        text = self.template.format(number=marker, **_safe(filled))
        folder = Path(text + ".fits").parent
        name_template = self.template.rsplit("/", 1)[-1]
        pattern = ""
        for literal, field, _, _ in string.Formatter().parse(name_template + ".fits"):
            pattern += re.escape(literal)
            if field == "number":
                pattern += r"(\d+)"
            elif field in fixed:
                pattern += re.escape(_safe(filled)[field])
            elif field is not None:
                pattern += r"[^/]*?"
        return folder, re.compile(pattern)

    def render(self, values: dict[str, str], number: int) -> Path:
        filled = {k: v for k, v in values.items() if k != "number"}
        return Path(self.template.format(number=f"{number:0{FRAME_NUMBER_DIGITS}d}",
                                         **_safe(filled)) + ".fits")


def _safe(values: dict[str, str]) -> dict[str, str]:
    """Field values as file-name parts: no folder separators inside a value."""
    return {k: re.sub(r"[/\\\0]+", "-", v) for k, v in values.items()}


def next_number(folder: Path, pattern: re.Pattern[str]) -> int:
    """One more than the highest number among the files of this series already in `folder`,
    hidden part files of runs under way included, so a new run never writes over them."""
    highest = 0
    try:
        names = [p.name for p in folder.iterdir()]
    except (FileNotFoundError, NotADirectoryError):
        return 1
    for name in names:
        candidates = [name]
        if name.startswith(".") and name.endswith(".part"):
            inner = name[1:-len(".part")]  # .NAME.<writer>.part
            candidates.append(inner.rsplit(".", 1)[0])
        for candidate in candidates:
            match = pattern.fullmatch(candidate)
            if match is not None:
                highest = max(highest, int(match.group(1)))
                break
    return highest + 1


def duration_text(seconds: float) -> str:
    """A time left as `1:02:03` or `4:05`."""
    total = max(0, math.ceil(seconds))
    hours, rest = divmod(total, 3600)
    minutes, secs = divmod(rest, 60)
    return f"{hours}:{minutes:02d}:{secs:02d}" if hours else f"{minutes}:{secs:02d}"
