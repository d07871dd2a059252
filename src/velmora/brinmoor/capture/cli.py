"""The `orvik-capture` command line: list cameras, show one, take a snapshot, run video."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import replace
from datetime import datetime, timezone
from pathlib import Path
from typing import TYPE_CHECKING, NoReturn, TextIO, TypeVar

from velmora.brinmoor.formats import partfile as output
from velmora.brinmoor.formats.partfile import OutputError

from . import deps, imaging, quality
from .. import __version__ as _package_version
from .errors import CaptureError, UsageError, camera_errors
from .progress import Progress
from .stopping import Stopped, stop_on_signals

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera, Frame, Roi

    from .sinks import Sink

N = TypeVar("N", int, float)

PROG = "orvik-capture"
EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
IMAGE_TYPES = ("raw8", "raw16", "rgb24", "y8")
# Longest side of the PNG preview by default: a screen's worth; the full frame of a large
# sensor makes a PNG of 25 MB that no one looks at in full.
PREVIEW_SIZE = 1600
# Exposures at least this long show progress while the camera integrates.
PROGRESS_MIN_EXPOSURE_S = 1.0
# Consecutive frame-read time-outs after which a video run gives up.
MAX_CONSECUTIVE_TIMEOUTS = 3
INT32_MAX = 2**31 - 1


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


# -- parser ------------------------------------------------------------------------------------

class Parser(argparse.ArgumentParser):
    """Argument errors as one line, as the tool's other errors are; `--help` has the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


CURRENT_VALUE = ("the camera's value when the tool opens it; each run opens the camera afresh, "
                 "so that is its power-on default, not a value an earlier run set")

def _camera_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("-c", "--camera", type=non_negative_int, default=0, metavar="INDEX",
                   help="camera index as shown by 'list' (default 0)")


def _capture_options(p: argparse.ArgumentParser, exposure: float, img_type: str) -> None:
    _camera_options(p)
    p.add_argument("-e", "--exposure", type=positive_float, default=exposure, metavar="SECONDS",
                   help=f"exposure time in seconds (default {exposure:g})")
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
    p.add_argument("-o", "--output", metavar="PATH",
                   help="output file name without extension; a name ending in / is a directory "
                        "to write into; directories are created when a file is written")
    p.add_argument("--overwrite", action="store_true", help="replace existing output files")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress on stderr (warnings and errors are still shown)")


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Capture images with ZWO ASI cameras, or with the simulated ones "
                    "that the package ships.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    sub.add_parser("list", help="list connected cameras",
                   description="List the connected cameras: index, name, ID, resolution, colour.")

    p = sub.add_parser("info", help="show a camera's properties and controls",
                       description="Show a camera's properties and every control with its "
                                   "range, default and current value.")
    _camera_options(p)

    p = sub.add_parser("snapshot", help="take one exposure and write FITS and PNG",
                       description="Take one exposure and write it as FITS, with a stretched PNG "
                                   "preview beside it.")
    _capture_options(p, exposure=1.0, img_type="raw16")
    p.add_argument("--dark", action="store_true", help="take a dark frame (shutter closed)")
    p.add_argument("--cooler", type=integer, metavar="CELSIUS",
                   help="switch the cooler on with this target temperature")
    p.add_argument("--cooler-wait", type=non_negative_float, metavar="SECONDS",
                   help="with --cooler: wait up to this long for the sensor to reach the target")
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

    p = sub.add_parser("video", help="capture video frames, report frame rate and dropped frames",
                       description="Run video capture for a number of frames and report the "
                                   "measured frame rate and the frames the camera dropped; "
                                   "optionally save the frames as a SER video or as FITS.")
    _capture_options(p, exposure=0.01, img_type="raw8")
    p.add_argument("-n", "--frames", type=positive_int, default=100,
                   help="number of frames to receive (default 100)")
    p.add_argument("--bandwidth", type=integer, metavar="PERCENT",
                   help="USB bandwidth limit (default: leave the camera's value)")
    p.add_argument("--save", choices=("ser", "cube", "frames"),
                   help="save the frames as a SER video, one FITS cube, or one FITS file per "
                        "frame")
    p.add_argument("--frame-timeout", type=positive_float, metavar="SECONDS",
                   help="wait for each frame at most this long (default: 2 x exposure + 0.5 s)")
    return parser


# -- shared steps ------------------------------------------------------------------------------

def _utc_now() -> datetime:
    return datetime.now(timezone.utc).replace(tzinfo=None)


def output_base(output_arg: str | None, prefix: str) -> Path:
    """The output path without extension (see `output.output_base`)."""
    try:
        return output.output_base(output_arg, prefix, _utc_now())
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _check_outputs(paths: list[Path], overwrite: bool, what: str) -> None:
    """Before the camera is touched: no file is replaced unasked, and each can be created.

    Nothing is created here: directories are made when a file is written.
    """
    for path in paths:
        if path.exists() and not path.is_dir() and not overwrite:
            raise UsageError(f"{path} exists; use --overwrite to replace it")
    for directory in dict.fromkeys(path.parent for path in paths):
        first = next(path for path in paths if path.parent == directory)
        output.check_writable(first, what)
    for path in paths:
        if path.is_dir():
            raise OutputError(f"cannot write {what} {path}: it is a directory", None, path)


def _warn(message: str) -> None:
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


def _apply_settings(cam: Camera, args: argparse.Namespace) -> Roi:
    roi = cam.full_roi(args.bin, args.img_type)
    width = roi.width if args.width is None else args.width
    height = roi.height if args.height is None else args.height
    from velmora.brinmoor.camera import Roi, image_type_name

    roi = Roi(width, height, args.bin, image_type_name(args.img_type), args.start_x, args.start_y)
    roi = cam.set_roi(roi)
    asked = (args.start_x, args.start_y)
    if any(a is not None for a in asked) and (roi.x, roi.y) != tuple(
            a if a is not None else b for a, b in zip(asked, (roi.x, roi.y))):
        _warn(f"{cam.label} adjusted the start position to x {roi.x}, y {roi.y} "
              f"(asked: x {_or_centred(args.start_x)}, y {_or_centred(args.start_y)})")
    if args.gain is not None:
        cam.gain = args.gain
    if args.offset is not None:
        cam.offset = args.offset
    cam.exposure = args.exposure
    return roi


def _or_centred(value: int | None) -> str:
    return "centred" if value is None else str(value)


def _software() -> str:
    return f"{PROG} {_package_version}"


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


# -- commands ----------------------------------------------------------------------------------

def cmd_list(args: argparse.Namespace, out: TextIO) -> int:
    load_layer()
    from velmora.brinmoor.camera import connected

    with camera_errors():
        cameras = connected()
    if not cameras:
        print("No cameras connected.", file=out)
        return EXIT_OK
    rows = [("Index", "ID", "Name", "Resolution", "Sensor")]
    for cam in cameras:
        sensor = f"colour ({cam.bayer})" if cam.is_color else "mono"
        size = f"{cam.max_width}x{cam.max_height}"
        rows.append((str(cam.index), str(cam.camera_id), cam.name, size, sensor))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip(), file=out)
    return EXIT_OK


def cmd_info(args: argparse.Namespace, out: TextIO) -> int:
    from velmora.brinmoor.camera import ASIError, sdk_version

    with camera_errors(), open_camera(args.camera) as cam:
        info = cam.description

        def line(label: str, text: object) -> None:
            print(f"  {label:<20}{text}", file=out)

        print(f"Camera {cam.index}: {cam.name}", file=out)
        line("Camera ID", cam.id)
        line("Resolution", f"{info.max_width} x {info.max_height} pixels of {info.pixel_size:g} um")
        sensor = f"colour, Bayer {info.bayer}" if info.is_color else "mono"
        line("Sensor", f"{sensor}, {info.bit_depth}-bit ADC, {info.electrons_per_adu:.3g} e-/ADU")
        line("Binning", ", ".join(str(b) for b in info.supported_bins))
        types = info.image_types
        line("Image types", ", ".join(types) if types is not None else "unknown to this module")
        line("Cooler", _yes(info.has_cooler))
        line("ST4 guide port", _yes(info.has_st4_port))
        line("Mechanical shutter", _yes(info.has_mechanical_shutter))
        line("USB 3 camera", _yes(info.is_usb3_camera))
        line("USB 3 host", _yes(info.is_usb3_host))
        line("Trigger camera", _yes(info.is_trigger_camera))
        if info.is_trigger_camera:
            try:
                modes = cam.supported_modes
                line("Camera modes", ", ".join(m.name if hasattr(m, "name") else str(m)
                                               for m in modes))
            except ASIError:
                pass
        try:
            serial = cam.serial_number
        except ASIError:
            serial = None
        if serial:
            line("Serial number", serial)
        try:
            p = cam.gain_presets
            line("Gain presets", f"offset at highest DR {p.offset_highest_dr}, offset at unity "
                 f"gain {p.offset_unity_gain}, gain at lowest RN {p.gain_lowest_rn}, offset at "
                 f"lowest RN {p.offset_lowest_rn}")
        except ASIError:
            pass
        line("SDK version", sdk_version())

        rows = [("Control", "Value", "Auto", "Min", "Max", "Default", "Access", "Description")]
        for name in cam.controls:
            try:
                control = cam.controls[name]
            except ASIError:
                control = cam.controls.capabilities(name)
            value_text = auto_text = "?"
            if control.value is not None:
                value_text, auto_text = str(control.value), ("on" if control.auto else "off")
            if not control.auto_supported:
                auto_text = "-"
            rows.append((control.name, value_text, auto_text, str(control.min), str(control.max),
                         str(control.default), "rw" if control.writable else "ro",
                         control.description))
        print(f"\nControls ({len(rows) - 1}):", file=out)
        widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
        for row in rows:
            print("  " + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip(), file=out)
    return EXIT_OK


def _cool(cam: Camera, target: int, wait_s: float, quiet: bool) -> None:
    if not cam.has_control("ASI_COOLER_ON") or not cam.has_control("ASI_TARGET_TEMP"):
        raise UsageError(f"{cam.label} has no cooler")
    cam.target_temperature = target
    cam.cooler = True
    if wait_s <= 0:
        return
    progress = Progress(f"Cooling to {target} C", wait_s, "s", enabled=not quiet)
    t0 = time.monotonic()
    has_sensor = cam.has_control("ASI_TEMPERATURE")
    while True:
        temp = cam.temperature if has_sensor else None
        elapsed = time.monotonic() - t0
        if temp is None or abs(temp - target) <= 0.5:
            progress.finish(f"Sensor at {temp:.1f} C" if temp is not None else "Cooler on")
            return
        if elapsed >= wait_s:
            progress.finish(f"Sensor at {temp:.1f} C")
            _warn(f"the sensor is at {temp:.1f} C, not yet at {target} C after "
                  f"{wait_s:g} s; exposing anyway")
            return
        progress.update(elapsed, f"sensor {temp:.1f} C")
        time.sleep(0.2)


def _free_space(sizes: list[tuple[Path, int]]) -> None:
    try:
        output.check_free_space(sizes)
    except OutputError as exc:
        raise CaptureError(str(exc)) from None


def _e_per_adu(cam: Camera) -> float | None:
    return cam.description.electrons_per_adu or None


def _underexposed(frame: Frame, args: argparse.Namespace) -> None:
    meta = frame.metadata
    warning = quality.underexposure_warning(frame.array, meta.roi.image_type, meta.exposure,
                                            meta.gain)
    if warning is not None:
        _warn(warning)


def write_png(path: Path, image: imaging.Array, max_size: int, overwrite: bool) -> Path:
    """The preview through a part file, as the FITS file: complete or absent, errors named."""
    data = imaging.png_bytes(image, max_size)
    with output.PartFile(path, "the PNG preview", overwrite=overwrite) as part:
        part.write(data)
        return part.commit()


def cmd_snapshot(args: argparse.Namespace, out: TextIO) -> int:
    if args.no_fits and args.no_png:
        raise UsageError("--no-fits and --no-png together would write nothing")
    if args.cooler_wait is not None and args.cooler is None:
        raise UsageError("--cooler-wait needs --cooler (the target temperature to wait for)")
    deps.require(fits=not args.no_fits, png=not args.no_png)
    from velmora.brinmoor.formats import fits as fitsfile

    base = output_base(args.output, "snapshot")
    fits_path, png_path = base.with_name(base.name + ".fits"), base.with_name(base.name + ".png")
    targets = ([] if args.no_fits else [fits_path]) + ([] if args.no_png else [png_path])
    _check_outputs(targets, args.overwrite, "the FITS file" if not args.no_fits else "the PNG")

    with camera_errors(), open_camera(args.camera) as cam:
        roi = _apply_settings(cam, args)
        sizes = []
        if not args.no_fits:
            now = datetime.now(timezone.utc)
            planned = cam.frame_metadata(roi, now, now)
            sizes.append((fits_path, fitsfile.file_bytes(planned)))
        if not args.no_png:
            sizes.append((png_path, roi.width * roi.height * 3))
        _free_space(sizes)
        if args.cooler is not None:
            _cool(cam, args.cooler, args.cooler_wait or 0.0, args.quiet)
        timeout = args.timeout if args.timeout is not None else args.exposure + 60.0
        kind = "dark frame" if args.dark else "exposure"
        progress = Progress(f"{kind.capitalize()} {args.exposure:g} s", args.exposure, "s",
                            enabled=not args.quiet and args.exposure >= PROGRESS_MIN_EXPOSURE_S)
        frame = cam.expose(dark=args.dark, timeout=timeout, on_wait=progress.update)
        progress.finish(f"{kind.capitalize()} done ({roi.width}x{roi.height} {roi.image_type}, "
                        f"bin {roi.bin})")
        e_per_adu = _e_per_adu(cam)

    if not args.dark:
        _underexposed(frame, args)
    meta = replace(frame.metadata, software=_software(), electrons_per_adu=e_per_adu)
    if not args.no_fits:
        fitsfile.write_fits(fits_path, frame.array, meta, overwrite=args.overwrite)
        print(f"wrote {fits_path}", file=out)
    if not args.no_png:
        cell = None
        if meta.bayer is not None and roi.image_type in ("raw8", "raw16"):
            cell = imaging.shifted_cell(meta.bayer, roi.x or 0, roi.y or 0)
        image = imaging.preview(frame.array, roi.image_type, cell, args.stretch)
        write_png(png_path, image, args.png_size, args.overwrite)
        print(f"wrote {png_path}", file=out)
    return EXIT_OK


def _make_sink(args: argparse.Namespace, cam: Camera, roi: Roi) -> Sink:
    from . import sinks

    base = output_base(args.output, "video")
    now = datetime.now(timezone.utc)
    first = cam.frame_metadata(roi, now, now)
    if args.save == "ser":
        return sinks.SerSink(base.with_name(base.name + ".ser"), args.frames, first,
                             args.overwrite)
    if args.save == "cube":
        return sinks.CubeSink(base.with_name(base.name + ".fits"), args.frames, first,
                              _software(), _e_per_adu(cam), args.overwrite)
    return sinks.FramesSink(base, args.frames, first, _software(), _e_per_adu(cam),
                            args.overwrite)


def _planned_paths(args: argparse.Namespace) -> list[Path]:
    """The files of a video run, known before the camera is opened."""
    base = output_base(args.output, "video")
    if args.save == "ser":
        return [base.with_name(base.name + ".ser")]
    if args.save == "cube":
        return [base.with_name(base.name + ".fits")]
    if args.frames > output.MAX_NUMBERED_FRAMES:
        raise UsageError(f"--save frames numbers at most {output.MAX_NUMBERED_FRAMES} files; "
                         "use --save ser or --save cube for longer runs")
    return [output.numbered(base, n, ".fits") for n in range(1, args.frames + 1)]


def cmd_video(args: argparse.Namespace, out: TextIO) -> int:
    saving = args.save is not None
    if saving and args.save != "ser":
        deps.require(fits=True)
    if saving:
        what = {"ser": "the SER video", "cube": "the FITS cube", "frames": "the FITS files"}
        _check_outputs(_planned_paths(args), args.overwrite, what[args.save])

    sink: Sink | None = None
    with camera_errors(), open_camera(args.camera) as cam:
        roi = _apply_settings(cam, args)
        if args.bandwidth is not None:
            cam.bandwidth = args.bandwidth
        frame_timeout = args.frame_timeout
        if frame_timeout is None:
            frame_timeout = 2 * args.exposure + 0.5
        wait_ms = min(INT32_MAX, max(1, round(frame_timeout * 1000)))
        if saving:
            sink = _make_sink(args, cam, roi)
            _free_space(sink.plan().sizes)

        progress = Progress("Video", args.frames, "frames", enabled=not args.quiet)
        received = timeouts = consecutive = 0
        first = last = started = 0.0
        try:
            with cam.stream(timeout=wait_ms / 1000) as frames:
                started = time.monotonic()
                while received < args.frames:
                    frame = frames.read()
                    if frame is None:
                        timeouts += 1
                        consecutive += 1
                        if consecutive >= MAX_CONSECUTIVE_TIMEOUTS:
                            raise CaptureError(
                                f"no video frame arrived from {cam.label} within {wait_ms} ms, "
                                f"{consecutive} times in a row ({received} frames received)"
                            )
                        continue
                    consecutive = 0
                    now_s = time.monotonic()
                    first = now_s if received == 0 else first
                    last = now_s
                    received += 1
                    if received == 1:
                        _underexposed(frame, args)
                    if sink is not None:
                        sink.write(frame)
                    rate = (received - 1) / (now_s - first) if received > 1 and now_s > first else 0.0
                    progress.update(received, f"{rate:.1f} fps")
                dropped = frames.dropped
            if sink is not None:
                saved = sink.finish()
        except KeyboardInterrupt as exc:
            progress.finish(f"Video stopped: {received} frames received")
            if sink is not None:
                exc.add_note(_finish_quietly(sink.stop))
            raise
        except OutputError as exc:
            if sink is not None:
                raise OutputError(f"{exc}; {_finish_quietly(sink.rescue)}", exc, None) from exc
            raise
        except BaseException:
            if sink is not None:
                sink.abandon()
            raise

    elapsed = last - started
    if received > 1 and last > first:
        rate = (received - 1) / (last - first)
    else:
        rate = received / elapsed if elapsed > 0 else 0.0
    progress.finish(f"Video done: {received} frames")
    print(f"{received} frames in {elapsed:.3f} s: {rate:.2f} fps measured, "
          f"{dropped} dropped, {timeouts} time-outs", file=out)
    if sink is not None:
        print(saved, file=out)
    return EXIT_OK


def _finish_quietly(finish: Callable[[], str]) -> str:
    """A sink's account of what it kept; a failure to keep it is reported, not raised."""
    try:
        return finish()
    except (OSError, ValueError) as exc:
        return f"the partial file could not be finished ({exc}) and was removed"


COMMANDS: dict[str, Callable[[argparse.Namespace, TextIO], int]] = {"list": cmd_list, "info": cmd_info, "snapshot": cmd_snapshot, "video": cmd_video}


def main(argv: list[str] | None = None) -> int:
    """Run the tool; returns the exit status (0 success, 1 failure, 2 bad arguments, 128 +
    signal when stopped by Ctrl-C, SIGTERM or SIGHUP)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse exits on --help (0) and on bad arguments (2)
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    err = sys.stderr
    command: str = args.command
    try:
        with stop_on_signals():
            try:
                status = COMMANDS[command](args, sys.stdout)
                sys.stdout.flush()  # a closed pipe shows here, inside the handlers below
            finally:
                output.remove_unfinished()
        return status
    except UsageError as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return exc.exit_status
    except (CaptureError, deps.MissingDependency) as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (`orvik-capture info | head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return EXIT_FAILURE
    except KeyboardInterrupt as exc:
        cause = f"stopped by {exc.name}" if isinstance(exc, Stopped) and exc.name != "SIGINT" \
            else "interrupted"
        notes = "; ".join(getattr(exc, "__notes__", []))
        print(f"\n{PROG} {command}: {cause}" + (f": {notes}" if notes else ""), file=err)
        return exc.exit_status if isinstance(exc, Stopped) else EXIT_INTERRUPTED
