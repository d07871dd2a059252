"""What the tool's commands share on the command line: argument types, the parser class that
reports errors in one line, and the option groups (camera set-up, capture, cooler)."""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable
from typing import TypeVar

from velmora.brinmoor.cliparser import OneLineParser

from .errors import UsageError

N = TypeVar("N", int, float)

PROG = "orvik-capture"
EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
IMAGE_TYPES = ("raw8", "raw16", "rgb24", "y8")
CURRENT_VALUE = ("the camera's value when the tool opens it; each run opens the camera afresh, "
                 "so that is its power-on default, not a value an earlier run set")


# -- argument types ----------------------------------------------------------------------------

def _number(text: str, kind: Callable[[str], N], what: str) -> N:
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not {what}") from None
    if isinstance(value, float) and not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def positive_float(text: str) -> float:
    value = _number(text, float, "a number")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} must be greater than 0")
    return value


def non_negative_float(text: str) -> float:
    value = _number(text, float, "a number")
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} must not be negative")
    return value


def positive_int(text: str) -> int:
    value = _number(text, int, "a whole number")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text} must be greater than 0")
    return value


def non_negative_int(text: str) -> int:
    value = _number(text, int, "a whole number")
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text} must not be negative")
    return value


def integer(text: str) -> int:
    return _number(text, int, "a whole number")


# -- parser and option groups ------------------------------------------------------------------

# Argument errors as one line, as the tool's other errors are; `--help` has the usage.
Parser = OneLineParser


def camera_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("-c", "--camera", type=non_negative_int, default=0, metavar="INDEX",
                   help="camera index as shown by 'list' (default 0)")


def camera_setup_options(p: argparse.ArgumentParser, img_type: str) -> None:
    """The options that set a camera up for frames: which camera, gain, offset, ROI, type."""
    camera_options(p)
    p.add_argument("-g", "--gain", type=integer, help=f"gain (default: {CURRENT_VALUE})")
    p.add_argument("--offset", type=integer, help="offset/bias (default: the camera's value "
                                                   "when opened, as for --gain)")
    p.add_argument("-b", "--bin", type=positive_int, default=1, help="binning factor (default 1)")
    p.add_argument("--width", type=positive_int,
                   help="ROI width in binned pixels, a multiple of 8 (default: whole sensor)")
    p.add_argument("--height", type=positive_int,
                   help="ROI height in binned pixels, a multiple of 2 (default: whole sensor)")
    p.add_argument("--start-x", type=non_negative_int, metavar="X",
                   help="ROI left edge in binned pixels (default: centred)")
    p.add_argument("--start-y", type=non_negative_int, metavar="Y",
                   help="ROI top edge in binned pixels (default: centred)")
    p.add_argument("-t", "--type", dest="img_type", choices=IMAGE_TYPES, default=img_type,
                   help=f"image type (default {img_type})")
    pointing_options(p)
    observation_options(p)


def _sexagesimal(text: str, what: str, hours: bool) -> float:
    """Degrees from "12.5" (degrees), or "HH:MM:SS.s" / "12h30m00s" (hours, for RA) and
    "+DD:MM:SS" / "-12d30m" (degrees, for Dec)."""
    t = text.strip()
    parts = [x for x in re.split(r"[:hdms\u00b0'\" ]+", t.lstrip("+-")) if x]
    sexagesimal = len(parts) > 1 or any(c in t for c in ":hdms\u00b0'\"")
    try:
        values = [float(x) for x in parts]
    except ValueError:
        values = []
    if not values or len(values) > 3 or any(v < 0 for v in values[1:]) or any(v >= 60 for v in values[1:]):
        raise argparse.ArgumentTypeError(f"{what} {text!r} is not degrees or sexagesimal")
    value = sum(v / 60**i for i, v in enumerate(values))
    if t.startswith("-"):
        value = -value
    return float(value * 15.0 if (hours and sexagesimal) else value)


def right_ascension(text: str) -> float:
    value = _sexagesimal(text, "right ascension", hours=True)
    if not 0.0 <= value < 360.0:
        raise argparse.ArgumentTypeError(f"right ascension {text!r} is outside 0 to 24 h (0 to 360 degrees)")
    return value


def declination(text: str) -> float:
    value = _sexagesimal(text, "declination", hours=False)
    if not -90.0 <= value <= 90.0:
        raise argparse.ArgumentTypeError(f"declination {text!r} is outside -90 to +90 degrees")
    return value


def pointing_options(p: argparse.ArgumentParser) -> None:
    """The observer's pointing and telescope, for the files' headers (RA, DEC, OBJCTRA, OBJCTDEC,
    FOCALLEN, APTDIA), so that processing programs can plate-solve with hints. Without them a
    simulated camera's own pointing is written."""
    g = p.add_argument_group("pointing")
    g.add_argument("--ra", type=right_ascension, metavar="RA",
                   help="right ascension of the target (J2000): degrees, or hours as HH:MM:SS")
    g.add_argument("--dec", type=declination, metavar="DEC",
                   help="declination of the target (J2000): degrees, or DD:MM:SS (a negative one as --dec=-DD:MM:SS)")
    g.add_argument("--focal-length", type=positive_float, metavar="MM",
                   help="focal length of the telescope in millimetres")
    g.add_argument("--aperture", type=positive_float, metavar="MM",
                   help="aperture of the telescope in millimetres")


def header_text(what: str) -> Callable[[str], str]:
    """An option's text as a FITS header holds it (printable ASCII on one card)."""
    from velmora.brinmoor.formats.fits import check_text

    def parse(text: str) -> str:
        try:
            return check_text(text, what)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


def filter_name(text: str) -> str:
    """A filter's name: header text that can also name a folder (the sequence files frames by
    filter)."""
    name = header_text("filter")(text)
    if not any(c.isalnum() for c in name) or any(c in name for c in "/\\"):
        raise argparse.ArgumentTypeError(f"filter {text!r} names no filter (letters and digits, "
                                          "no / or \\: it names a folder too)")
    return name


def _site_angle(what: str, limit: float) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = _sexagesimal(text, what, hours=False)
        if not -limit <= value <= limit:
            raise argparse.ArgumentTypeError(f"{what} {text!r} is outside -{limit:g} to "
                                              f"+{limit:g} degrees")
        return value

    return parse


def observation_options(p: argparse.ArgumentParser) -> None:
    """What the observer says about the frames, for the files' headers (OBJECT, FILTER,
    TELESCOP, OBSERVER, SITELAT, SITELONG, SITEELEV): processing programs sort and label
    frames by them."""
    g = p.add_argument_group("observation")
    g.add_argument("--object", type=header_text("object"), metavar="NAME",
                   help="the target's name (OBJECT), as M31")
    g.add_argument("--filter", type=filter_name, metavar="NAME",
                   help="the filter in the light path (FILTER), as Ha; sequence files the "
                        "frames in a folder of that name")
    g.add_argument("--telescope", type=header_text("telescope"), metavar="NAME",
                   help="the telescope (TELESCOP)")
    g.add_argument("--observer", type=header_text("observer"), metavar="NAME",
                   help="the observer's name (OBSERVER)")
    g.add_argument("--site-latitude", type=_site_angle("site latitude", 90.0), metavar="DEG",
                   help="the site's latitude, north positive: degrees or DD:MM:SS (SITELAT)")
    g.add_argument("--site-longitude", type=_site_angle("site longitude", 180.0), metavar="DEG",
                   help="the site's longitude, east positive: degrees or DDD:MM:SS (SITELONG)")
    g.add_argument("--site-elevation", type=_number_in(-500.0, 10000.0, "site elevation"),
                   metavar="METRES", help="the site's height above sea level (SITEELEV)")


def _number_in(low: float, high: float, what: str) -> Callable[[str], float]:
    def parse(text: str) -> float:
        value = _number(text, float, "a number")
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} {text} is outside {low:g} to {high:g}")
        return value

    return parse


def capture_options(p: argparse.ArgumentParser, exposure: float, img_type: str) -> None:
    camera_setup_options(p, img_type)
    p.add_argument("-e", "--exposure", type=positive_float, default=exposure, metavar="SECONDS",
                   help=f"exposure time in seconds (default {exposure:g})")
    p.add_argument("-o", "--output", metavar="PATH",
                   help="output file name without extension; a name ending in / is a directory "
                        "to write into; directories are created when a file is written")
    p.add_argument("--overwrite", action="store_true", help="replace existing output files")
    reserve_option(p)
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress on stderr (warnings and errors are still shown)")


# The room kept free on the disk beyond the files, when --reserve is not given.
RESERVE_ENV = "ORVIK_CAPTURE_RESERVE"
_SIZE = re.compile(r"(?P<number>\d+(?:\.\d*)?|\.\d+)\s*(?P<unit>[kmgt]?)(?P<binary>i?)b?",
                   re.IGNORECASE)


def byte_size(text: str) -> int:
    """Bytes from `0`, `500000`, `20M`, `1.5GB` (powers of 1000) or `64MiB` (powers of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None or (match["binary"] and not match["unit"]):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a size (bytes, or with a unit: 20M, 1.5G, 64MiB)")
    power = " kmgt".index(match["unit"].lower() or " ")
    return int(float(match["number"]) * (1024 if match["binary"] else 1000) ** power)


def reserve_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--reserve", type=byte_size, metavar="SIZE",
                   help="room to keep free on the disk beyond the files, as 20M or 1G; 0 keeps "
                        f"none (default: ${RESERVE_ENV}, else 64 MiB plus 5 %% of the capture)")


def cooler_options(p: argparse.ArgumentParser) -> None:
    """The cooler's options: the target, and what counts as reaching it."""
    from . import cooling

    g = p.add_argument_group("cooler")
    g.add_argument("--cooler", type=integer, metavar="CELSIUS",
                   help="switch the cooler on with this target temperature; frames are taken "
                        "once the sensor has settled at it")
    g.add_argument("--cooler-tolerance", type=positive_float,
                   default=cooling.DEFAULT_TOLERANCE_C, metavar="CELSIUS",
                   help="how close to the target the sensor must stay (default "
                        f"{cooling.DEFAULT_TOLERANCE_C:g})")
    g.add_argument("--cooler-settle", type=non_negative_float, default=cooling.DEFAULT_SETTLE_S,
                   metavar="SECONDS", help="how long the sensor must stay that close before "
                                           f"the first frame (default {cooling.DEFAULT_SETTLE_S:g})")
    g.add_argument("--cooler-time-limit", "--cooler-wait", dest="cooler_time_limit",
                   type=non_negative_float, metavar="SECONDS",
                   help="give up when the sensor has not settled after this long (default "
                        f"{cooling.DEFAULT_TIME_LIMIT_S:g}); the run then stops, unless "
                        "--accept-temperature")
    g.add_argument("--accept-temperature", action="store_true",
                   help="when the target is not reached in time, take the frames at the "
                        "temperature reached instead of stopping")


def check_cooler_args(args: argparse.Namespace) -> None:
    from . import cooling

    if args.cooler is None:
        for flag, given in (("--cooler-time-limit", args.cooler_time_limit is not None),
                            ("--accept-temperature", args.accept_temperature)):
            if given:
                raise UsageError(f"{flag} needs --cooler (the target temperature to wait for)")
    elif args.cooler_time_limit is None:
        args.cooler_time_limit = cooling.DEFAULT_TIME_LIMIT_S
