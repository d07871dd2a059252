"""`orvik-capture snapshot`: one exposure written as FITS, with a stretched PNG preview."""

from __future__ import annotations

import argparse
from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from velmora.brinmoor.formats import partfile

from .. import cooling, deps, imaging
from ..common import (
    apply_settings,
    check_outputs,
    cool,
    e_per_adu,
    free_space,
    open_camera,
    output_base,
    report_stale_parts,
    software,
    underexposed,
    utc_now,
)
from ..errors import UsageError, camera_errors
from ..options import (
    EXIT_OK,
    capture_options,
    check_cooler_args,
    cooler_options,
    non_negative_int,
    positive_float,
)
from ..progress import Progress

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Roi

# The frame kinds of a calibration set, and whether each is taken dark.
KIND_CHOICES = {"light": False, "dark": True, "flat": False, "dark-flat": True, "bias": True}
# Longest side of the PNG preview by default: a screen's worth; the full frame of a large
# sensor makes a PNG of 25 MB that no one looks at in full.
PREVIEW_SIZE = 1600
# Exposures at least this long show progress while the camera integrates.
PROGRESS_MIN_EXPOSURE_S = 1.0


def add_parser(sub: Any) -> None:
    p = sub.add_parser("snapshot", help="take one exposure and write FITS and PNG",
                       description="Take one exposure and write it as FITS, with a stretched PNG "
                                   "preview beside it.")
    capture_options(p, exposure=1.0, img_type="raw16")
    p.add_argument("--dark", action="store_true",
                   help="take a dark frame (shutter closed); the same as --kind dark")
    p.add_argument("--kind", choices=tuple(KIND_CHOICES), default="light",
                   help="what the frame is, for its IMAGETYP: light (default), dark, flat, "
                        "dark-flat (a dark at the flats' exposure) or bias (taken at the "
                        "camera's shortest exposure)")
    cooler_options(p)
    p.add_argument("--stretch", choices=("auto", "percentile", "linear"), default="auto",
                   help="PNG preview stretch: auto (midtones transfer), percentile or linear "
                        "(default auto)")
    p.add_argument("--png-size", type=non_negative_int, default=PREVIEW_SIZE, metavar="PIXELS",
                   help=f"longest side of the PNG preview, reduced by averaging (default "
                        f"{PREVIEW_SIZE}; 0: the frame's own size)")
    p.add_argument("--no-png", action="store_true", help="do not write the PNG preview")
    p.add_argument("--no-fits", action="store_true", help="do not write the FITS file")
    p.add_argument("--timeout", type=positive_float, metavar="SECONDS",
                   help="give up when the exposure has not finished after this long "
                        "(default: exposure + 60 s)")


def png_bytes_at_most(roi: Roi, colour: bool, max_size: int) -> int:
    """The most a PNG preview of this frame can take: the reduced image's bytes uncompressed,
    one filter byte per row, and room for the format's own blocks. Colour for colour sensors'
    RAW frames (debayered) and RGB24."""
    width, height = imaging.reduced_size(roi.width, roi.height, max_size)
    channels = 3 if colour and roi.image_type != "y8" else 1
    raw = height * (width * channels + 1)
    return raw + raw // 100 + 4096


def named(written: Path, asked: Path) -> str:
    """A written file's name, and the name asked for when another run had taken it."""
    if written == asked:
        return str(written)
    return f"{written} ({asked} was written by another run meanwhile)"


def write_png(path: Path, image: imaging.Array, max_size: int, overwrite: bool) -> Path:
    """The preview through a part file, as the FITS file: complete or absent, errors named."""
    data = imaging.png_bytes(image, max_size)
    with partfile.PartFile(path, "the PNG preview", overwrite=overwrite) as part:
        part.write(data)
        return part.commit()


def run(args: argparse.Namespace, out: TextIO) -> int:
    if args.no_fits and args.no_png:
        raise UsageError("--no-fits and --no-png together would write nothing")
    check_cooler_args(args)
    if args.dark and args.kind not in ("light", "dark"):
        raise UsageError(f"--dark and --kind {args.kind} say different things; give one")
    kind = "dark" if args.dark else args.kind
    args.dark = KIND_CHOICES[kind]
    deps.require(fits=not args.no_fits, png=not args.no_png)
    from velmora.brinmoor.formats import fits as fitsfile

    base = output_base(args.output, "snapshot", args.camera)
    fits_path, png_path = base.with_name(base.name + ".fits"), base.with_name(base.name + ".png")
    targets = ([] if args.no_fits else [fits_path]) + ([] if args.no_png else [png_path])
    check_outputs(targets, args.overwrite, "the FITS file" if not args.no_fits else "the PNG")
    report_stale_parts(targets)

    with camera_errors(), open_camera(args.camera) as cam, \
            cooling.notice_left_on(cam, args.camera, args.cooler is not None):
        if kind == "bias":
            args.exposure = max(cam.controls.capabilities("Exposure").min, 1) * 1e-6
        roi = apply_settings(cam, args)
        sizes = []
        if not args.no_fits:
            now = utc_now()
            planned = cam.frame_metadata(roi, now, now)
            sizes.append((fits_path, fitsfile.file_bytes(planned)))
        if not args.no_png:
            sizes.append((png_path, png_bytes_at_most(roi, cam.description.is_color,
                                                      args.png_size)))
        free_space(sizes, args)
        if args.cooler is not None:
            cool(cam, args)
        timeout = args.timeout if args.timeout is not None else args.exposure + 60.0
        what = "dark frame" if args.dark else "exposure"
        progress = Progress(f"{what.capitalize()} {args.exposure:g} s", args.exposure, "s",
                            enabled=not args.quiet and args.exposure >= PROGRESS_MIN_EXPOSURE_S)
        frame = cam.expose(dark=args.dark, timeout=timeout, on_wait=progress.update)
        progress.finish(f"{what.capitalize()} done ({roi.width}x{roi.height} {roi.image_type}, "
                        f"bin {roi.bin})")
        electrons = e_per_adu(cam)

    if kind in ("light", "flat"):
        underexposed(frame, args)
    meta = replace(frame.metadata, software=software(), electrons_per_adu=electrons,
                   kind={"dark-flat": "dark"}.get(kind, kind))
    if not args.no_fits:
        written = fitsfile.write_fits(fits_path, frame.array, meta, overwrite=args.overwrite)
        print(f"wrote {named(written, fits_path)}", file=out)
    if not args.no_png:
        image = imaging.preview(frame.array, roi.image_type, meta.frame_bayer, args.stretch)
        written = write_png(png_path, image, args.png_size, args.overwrite)
        print(f"wrote {named(written, png_path)}", file=out)
    return EXIT_OK
