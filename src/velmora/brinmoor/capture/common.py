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
from .options import PROG

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera, Frame, Roi


def utc_now() -> datetime:
    """Now, in UTC, timezone-aware: the one clock the tool reads for names and headers."""
    return datetime.now(timezone.utc)


def output_base(output_arg: str | None, prefix: str) -> Path:
    """The output path without extension (see `partfile.output_base`)."""
    try:
        return partfile.output_base(output_arg, prefix, utc_now())
    except ValueError as exc:
        raise UsageError(str(exc)) from None


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


def _check_simulated_cameras() -> None:
    """A model name in ASISIM_CAMERAS that the simulator does not know is an error, not a
    silent fall-back (the simulated library connects no camera for it)."""
    names = os.environ.get("ASISIM_CAMERAS")
    if not names:
        return
    try:
        from velmora.brinmoor import asisim
    except ImportError:
        return  # a vendor build: the variable means nothing to it
    unknown = asisim.unknown_models(names)
    if unknown:
        raise UsageError(
            f"ASISIM_CAMERAS names {unknown[0]!r}, which is not a simulated camera model "
            f"(models: {', '.join(asisim.models())})"
        )


def load_layer() -> None:
    """Import the camera layer, and with it the camera module; a failure is a CaptureError."""
    try:
        import velmora.brinmoor.camera  # noqa: F401
    except ImportError as exc:
        raise CaptureError(f"the camera module could not be loaded: {exc}") from exc
    _check_simulated_cameras()


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
    return roi


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


def free_space(sizes: list[tuple[Path, int]]) -> None:
    try:
        partfile.check_free_space(sizes)
    except OutputError as exc:
        raise CaptureError(str(exc)) from None


def e_per_adu(cam: Camera) -> float | None:
    return cam.description.electrons_per_adu or None


def underexposed(frame: Frame, args: argparse.Namespace) -> None:
    meta = frame.metadata
    warning = quality.underexposure_warning(frame.array, meta.roi.image_type, meta.exposure,
                                            meta.gain)
    if warning is not None:
        warn(warning)
