"""`orvik-capture video`: video capture with the measured frame rate and the dropped frames,
optionally saved as a SER video, a FITS cube or one FITS file per frame."""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from velmora.brinmoor.formats import partfile
from velmora.brinmoor.formats.partfile import OutputError, held_steps
from velmora.brinmoor.wording import plural

from .. import cooling, deps
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
    warn,
)
from ..errors import CaptureError, UsageError, camera_errors
from ..options import (
    EXIT_OK,
    capture_options,
    check_cooler_args,
    cooler_options,
    integer,
    positive_float,
    positive_int,
)
from ..progress import Progress

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera, Roi

    from ..sinks import Sink

# Consecutive frame-read time-outs after which a video run gives up.
MAX_CONSECUTIVE_TIMEOUTS = 3
INT32_MAX = 2**31 - 1


def add_parser(sub: Any) -> None:
    p = sub.add_parser("video", help="capture video frames, report frame rate and dropped frames",
                       description="Run video capture for a number of frames and report the "
                                   "measured frame rate and the frames the camera dropped; "
                                   "optionally save the frames as a SER video or as FITS.")
    capture_options(p, exposure=0.01, img_type="raw8")
    p.add_argument("-n", "--frames", type=positive_int, default=100,
                   help="number of frames to receive (default 100)")
    p.add_argument("--bandwidth", type=integer, metavar="PERCENT",
                   help="USB bandwidth limit (default: leave the camera's value)")
    p.add_argument("--save", choices=("ser", "cube", "frames"),
                   help="save the frames as a SER video, one FITS cube, or one FITS file per "
                        "frame")
    p.add_argument("--frame-timeout", type=positive_float, metavar="SECONDS",
                   help="wait for each frame at most this long (default: 2 x exposure + 0.5 s)")
    cooler_options(p)


def _make_sink(args: argparse.Namespace, base: Path, cam: Camera, roi: Roi) -> Sink:
    from .. import sinks

    now = utc_now()
    first = cam.frame_metadata(roi, now, now)
    if args.save == "ser":
        return sinks.SerSink(base.with_name(base.name + ".ser"), args.frames, first,
                             args.overwrite)
    if args.save == "cube":
        return sinks.CubeSink(base.with_name(base.name + ".fits"), args.frames, first,
                              software(), e_per_adu(cam), args.overwrite)
    return sinks.FramesSink(base, args.frames, first, software(), e_per_adu(cam),
                            args.overwrite)


def _planned_paths(args: argparse.Namespace, base: Path) -> list[Path]:
    """The files of a video run, known before the camera is opened."""
    if args.save == "ser":
        return [base.with_name(base.name + ".ser")]
    if args.save == "cube":
        return [base.with_name(base.name + ".fits")]
    if args.frames > partfile.MAX_NUMBERED_FRAMES:
        raise UsageError(f"--save frames numbers at most {partfile.MAX_NUMBERED_FRAMES} files; "
                         "use --save ser or --save cube for longer runs")
    return [partfile.numbered(base, n, ".fits") for n in range(1, args.frames + 1)]


def run(args: argparse.Namespace, out: TextIO) -> int:
    check_cooler_args(args)
    saving = args.save is not None
    if not saving and args.output is not None:
        warn("-o/--output without --save writes nothing: add --save ser, cube or frames "
              "to keep the frames")
    if saving and args.save != "ser":
        deps.require(fits=True)
    base = output_base(args.output, "video", args.camera)
    if saving:
        what = {"ser": "the SER video", "cube": "the FITS cube", "frames": "the FITS files"}
        planned = _planned_paths(args, base)
        check_outputs(planned, args.overwrite, what[args.save])
        report_stale_parts(planned[:1])

    sink: Sink | None = None
    with camera_errors(), open_camera(args.camera) as cam, \
            cooling.notice_left_on(cam, args.camera, args.cooler is not None):
        roi = apply_settings(cam, args)
        if args.bandwidth is not None:
            cam.bandwidth = args.bandwidth
        if args.cooler is not None:
            cool(cam, args)
        frame_timeout = args.frame_timeout
        if frame_timeout is None:
            frame_timeout = 2 * args.exposure + 0.5
        wait_ms = min(INT32_MAX, max(1, round(frame_timeout * 1000)))
        if saving:
            sink = _make_sink(args, base, cam, roi)
            free_space(sink.plan().sizes, args)

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
                                f"{consecutive} times in a row ({plural(received, 'frame')} received)"
                            )
                        continue
                    consecutive = 0
                    now_s = time.monotonic()
                    first = now_s if received == 0 else first
                    last = now_s
                    # A stop request waits for the frame in hand to be written: a frame counted
                    # as received is a frame in the file (a cube's write is a disk write that
                    # Ctrl-C would otherwise cut off before the frame is counted).
                    with held_steps():
                        received += 1
                        if sink is not None:
                            sink.write(frame)
                    if received == 1:
                        underexposed(frame, args)
                    rate = (received - 1) / (now_s - first) if received > 1 and now_s > first else 0.0
                    progress.update(received, f"{rate:.1f} fps")
                dropped = frames.dropped
            if sink is not None:
                saved = sink.finish()
        except KeyboardInterrupt as exc:
            progress.finish(f"Video stopped: {plural(received, 'frame')} received")
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
    progress.finish(f"Video done: {plural(received, 'frame')}")
    print(f"{plural(received, 'frame')} in {elapsed:.3f} s: {rate:.2f} fps measured, "
          f"{dropped} dropped, {plural(timeouts, 'time-out')}", file=out)
    if sink is not None:
        print(saved, file=out)
    return EXIT_OK


def _finish_quietly(finish: Callable[[], str]) -> str:
    """A sink's account of what it kept; a failure to keep it is reported, not raised."""
    try:
        return finish()
    except (OSError, ValueError) as exc:
        return f"the partial file could not be finished ({exc}) and was removed"
