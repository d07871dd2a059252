"""The steps the capture commands share: output names and checks, opening and setting up a
camera, the cooler, warnings and the one clock of the tool (UTC, timezone-aware)."""

from __future__ import annotations

import argparse
import os
import sys
from datetime import datetime, timezone
from pathlib import Path
from typing import TYPE_CHECKING

from velmora.brinmoor.formats import partfile
from velmora.brinmoor.formats.partfile import OutputError

from .. import __version__ as _package_version
from . import quality
from .errors import CaptureError, UsageError
from .options import PROG, RESERVE_ENV, byte_size

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera, Frame, Roi


def utc_now() -> datetime:
    """Now, in UTC, timezone-aware: the one clock the tool reads for names and headers."""
    return datetime.now(timezone.utc)


def output_base(output_arg: str | None, prefix: str, camera: int | None = None,
                now: datetime | None = None) -> Path:
    """The output path without extension (see `partfile.output_base`); a default name holds
    the name of the camera with this index."""
    name = None
    if camera is not None and (output_arg is None or output_arg.endswith(os.sep)):
        name = camera_slug_of(camera)
    try:
        return partfile.output_base(output_arg, prefix, now or utc_now(), name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def camera_slug_of(index: int) -> str | None:
    """The camera's name for file names (`ASI294MC-Pro`), looked up without opening it; None
    when there is no such camera (opening it then says why)."""
    from .plan import camera_slug

    load_layer()
    from velmora.brinmoor.camera import ASIError, CameraNotFound, NoCameras, find

    try:
        return camera_slug(find(index).name)
    except (ASIError, CameraNotFound, NoCameras):
        return None


def report_stale_parts(paths: list[Path]) -> None:
    """Warn about part files that runs which ended without finishing them left in the folders
    of these files, with the commands that finish or remove them; a file being written by a
    live run is left alone and not mentioned."""
    import shlex

    folders = [p.parent if str(p.parent) else Path(".") for p in paths]
    for part in partfile.stale_part_files(folders):
        warn(f"{part} is the unfinished file of a run that ended without finishing it; "
             f"finish it with: {PROG} finish {shlex.quote(str(part))}, or remove it with: "
             f"rm {shlex.quote(str(part))}")


def check_outputs(paths: list[Path], overwrite: bool, what: str) -> None:
    """Before the camera is touched: no file is replaced unasked, and each can be created.

    Nothing is created here: directories are made when a file is written.
    """
    for path in paths:
        if path.exists() and not path.is_dir() and not overwrite:
            raise UsageError(f"{path} exists; use --overwrite to replace it")
    for directory in dict.fromkeys(path.parent for path in paths):
        first = next(path for path in paths if path.parent == directory)
        partfile.check_writable(first, what)
    for path in paths:
        if path.is_dir():
            raise OutputError(f"cannot write {what} {path}: it is a directory", None, path)


def warn(message: str) -> None:
    """Warnings go to stderr whatever --quiet says."""
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def load_layer() -> None:
    """Import the camera layer, and with it the camera module; a failure is a CaptureError."""
    try:
        from velmora.brinmoor.camera import unknown_simulated_model
    except ImportError as exc:
        raise CaptureError(f"the camera module could not be loaded: {exc}") from exc
    problem = unknown_simulated_model()
    if problem is not None:
        raise UsageError(problem)


def open_camera(index: int) -> Camera:
    load_layer()
    from velmora.brinmoor.camera import Camera

    return Camera(index)


def apply_settings(cam: Camera, args: argparse.Namespace) -> Roi:
    roi = cam.full_roi(args.bin, args.img_type)
    width = roi.width if args.width is None else args.width
    height = roi.height if args.height is None else args.height
    from velmora.brinmoor.camera import Roi, image_type_name

    roi = Roi(width, height, args.bin, image_type_name(args.img_type), args.start_x, args.start_y)
    roi = cam.set_roi(roi)
    asked = (args.start_x, args.start_y)
    if any(a is not None for a in asked) and (roi.x, roi.y) != tuple(
            a if a is not None else b for a, b in zip(asked, (roi.x, roi.y))):
        warn(f"{cam.label} adjusted the start position to x {roi.x}, y {roi.y} "
              f"(asked: x {_or_centred(args.start_x)}, y {_or_centred(args.start_y)})")
    if args.gain is not None:
        cam.gain = args.gain
    if args.offset is not None:
        cam.offset = args.offset
    if getattr(args, "exposure", None) is not None:
        cam.exposure = args.exposure
    apply_pointing(cam, args)
    apply_observation(cam, args)
    return roi


def apply_observation(cam: Camera, args: argparse.Namespace) -> None:
    """--object, --filter, --telescope, --observer, the site and the telescope's focal length and
    aperture into every frame's metadata."""
    from dataclasses import fields

    from velmora.brinmoor.camera import Observation

    # The options' names are the record's fields.
    values = {f.name: getattr(args, f.name, None) for f in fields(Observation)}
    if any(v is not None for v in values.values()):
        cam.observation = Observation(**values)


def apply_pointing(cam: Camera, args: argparse.Namespace) -> None:
    """The observer's --ra/--dec/--focal-length/--aperture in place of what the camera knows;
    values not given are taken from the camera's (a simulated camera's) pointing."""
    ra, dec = getattr(args, "ra", None), getattr(args, "dec", None)
    focal, aperture = getattr(args, "focal_length", None), getattr(args, "aperture", None)
    if ra is None and dec is None and focal is None and aperture is None:
        return
    if (ra is None) != (dec is None):
        raise UsageError("--ra and --dec go together")
    from velmora.brinmoor.camera import Pointing

    known = cam.pointing
    if ra is None:
        if known is None:
            return  # the telescope without a place: the observation carries it (FOCALLEN, APTDIA)
        ra, dec = known.ra, known.dec
    assert ra is not None and dec is not None  # given together, or both the camera's
    same_place = known is not None and (known.ra, known.dec) == (ra, dec)
    cam.pointing = Pointing(
        ra, dec,
        focal if focal is not None else known.focal_length if known else None,
        aperture if aperture is not None else known.aperture if known else None,
        # The sky's orientation on the sensor (and the optics' distortion, part of the same
        # WCS) is known only from the camera itself.
        known.angle if same_place and focal is None and known else None,
        known.reference_pixel if same_place and known else None,
        known.distortion if same_place and focal is None and known else 0.0,
    )


def _or_centred(value: int | None) -> str:
    return "centred" if value is None else str(value)


def software() -> str:
    return f"{PROG} {_package_version}"


def cool(cam: Camera, args: argparse.Namespace) -> None:
    """Set the cooler and wait until the sensor has settled at the target: no frame is taken
    far from it unless the user accepted the temperature reached."""
    from . import cooling

    cooler = cooling.Cooler(cam, cooling.plan_from_args(args), quiet=args.quiet, warn=warn)
    cooler.start()
    cooler.wait()


def reserve(args: argparse.Namespace) -> int | None:
    """The room to keep free beyond the files: --reserve, else $ORVIK_CAPTURE_RESERVE, else
    None (the default margin)."""
    given: int | None = getattr(args, "reserve", None)
    if given is not None:
        return given
    text = os.environ.get(RESERVE_ENV, "").strip()
    if not text:
        return None
    try:
        return byte_size(text)
    except argparse.ArgumentTypeError as exc:
        raise UsageError(f"{RESERVE_ENV}: {exc}") from None


def free_space(sizes: list[tuple[Path, int]], args: argparse.Namespace) -> None:
    """Refuse a capture that cannot fit, saying how to keep less room free."""
    try:
        partfile.check_free_space(sizes, reserve(args))
    except OutputError as exc:
        raise CaptureError(f"{exc} (--reserve SIZE sets the room kept free)") from None


def e_per_adu(cam: Camera) -> float | None:
    return cam.description.electrons_per_adu or None


def underexposed(frame: Frame, args: argparse.Namespace) -> None:
    meta = frame.metadata
    warning = quality.underexposure_warning(frame.array, meta.roi.image_type, meta.exposure,
                                            meta.gain)
    if warning is not None:
        warn(warning)
