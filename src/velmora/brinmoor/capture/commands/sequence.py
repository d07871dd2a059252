"""`orvik-capture sequence`: a whole calibration set in one run, the camera open throughout.

    orvik-capture sequence -c 0 --cooler -10 --gain 120 --offset 30 \\
        --lights 20x60 --darks 20x60 --flats 20 --bias 20 -o night/

Lights, darks, flats, dark-flats and bias, each numbered in its own folder, each FITS file typed
(`IMAGETYP`) and holding the sensor temperature measured for it. The cooler is waited for
before the first frame and before any frame it drifted away from; flats find their exposure
with test frames, after a pause for the panel when they follow lights or darks; lights can be
dithered through the ST4 port. A kind that cannot be taken is reported and the others are
still taken; a folder never gets frames of other settings than those already in it; --resume
takes only what the folders still lack.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, TextIO

from velmora.brinmoor.formats import partfile
from velmora.brinmoor.formats.partfile import held_steps
from velmora.brinmoor.wording import plural

from .. import cooling, deps, dither, existing, flats, plan
from ..common import apply_settings, free_space, open_camera, report_stale_parts, software, utc_now, warn
from ..errors import CaptureError, UsageError, camera_errors
from ..options import (
    EXIT_OK,
    camera_setup_options,
    check_cooler_args,
    cooler_options,
    non_negative_float,
    positive_float,
    reserve_option,
)
from ..plan import KINDS, RUN_ORDER, Kind, NameTemplate, Series

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera, Frame, Roi

# Time a frame takes beyond its exposure (readout, file), until the run has measured its own.
FIRST_OVERHEAD_S = 0.5
# An exposure may take this long beyond its length before the run gives up on it.
EXPOSURE_MARGIN_S = 60.0
DEFAULT_DITHER_PULSE_S = 2.0
DEFAULT_DITHER_SETTLE_S = 5.0
# A file name taken meanwhile by another run: the next numbers tried before giving up.
MAX_NAME_RETRIES = 1000


def _count_type(seconds_allowed: bool, seconds_required: bool = False
                ) -> Callable[[str], plan.CountSpec]:
    def parse(text: str) -> plan.CountSpec:
        try:
            return plan.parse_count(text, seconds_allowed=seconds_allowed,
                                    seconds_required=seconds_required)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return parse


def _percent(text: str) -> float:
    value = positive_float(text)
    if value >= 100:
        raise argparse.ArgumentTypeError(f"{text} must be below 100")
    return value


def _rate(text: str) -> dither.PulseRate:
    try:
        x, y = (float(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not X,Y (pixels per second of a pulse east and north)") from None
    if not all(abs(v) > 0 and abs(v) < 1e6 for v in (x, y)):
        raise argparse.ArgumentTypeError(f"{text!r}: both rates must be non-zero numbers")
    return dither.PulseRate(x, y)


def add_parser(sub: Any) -> None:
    """The `sequence` command's options (on the tool's subcommand parser)."""
    p = sub.add_parser(
        "sequence", help="take a calibration set: lights, darks, flats, dark-flats, bias",
        description="Take a series of frames of each kind asked for, in one run with the "
                    "camera open throughout: lights, darks, flats, dark-flats and bias, each "
                    "kind in its own folder, numbered after the files already there.",
        epilog="Name template fields: " + "; ".join(
            f"{{{k}}} {v}" for k, v in plan.TEMPLATE_FIELDS.items()))
    camera_setup_options(p, img_type="raw16")
    p.add_argument("-o", "--output", metavar="DIR", default=".",
                   help="folder to write into (default: the current one); created when the "
                        "first file is written")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress on stderr (warnings and errors are still shown)")
    reserve_option(p)
    g = p.add_argument_group("frames")
    g.add_argument("--lights", type=_count_type(True, True), metavar="COUNTxSECONDS",
                   help="light frames, as 20x60: 20 frames of 60 s")
    g.add_argument("--darks", type=_count_type(True), metavar="COUNT[xSECONDS]",
                   help="dark frames (default exposure: the lights')")
    g.add_argument("--flats", type=_count_type(True), metavar="COUNT[xSECONDS]",
                   help="flat frames; without SECONDS the exposure is found with test frames "
                        "(see --flat-level)")
    g.add_argument("--dark-flats", type=_count_type(True), metavar="COUNT[xSECONDS]",
                   help="dark frames at the flats' exposure (default: the flats')")
    g.add_argument("--bias", type=_count_type(False), metavar="COUNT",
                   help="bias frames, at the camera's shortest exposure")
    g.add_argument("--panel-ready", action="store_true",
                   help="flats after lights or darks: do not stop to ask for the flat panel "
                        "(scripts; without it the run asks on the terminal and waits for Enter)")
    g.add_argument("--flat-level", type=_percent, default=100 * flats.DEFAULT_LEVEL,
                   metavar="PERCENT", help="flats' median as a share of full scale (default "
                                           f"{100 * flats.DEFAULT_LEVEL:g})")
    g.add_argument("--resume", action="store_true",
                   help="take only what the output folder still lacks: the frames of each kind "
                        "already there count towards its COUNT (an interrupted run, run again)")
    g.add_argument("--name", metavar="TEMPLATE",
                   help=f"file names inside the output folder, without extension (default "
                        f"{plan.DEFAULT_TEMPLATE.replace('%', '%%')}, with --filter "
                        f"{plan.FILTER_TEMPLATE.replace('%', '%%')})")
    cooler_options(p)
    g = p.add_argument_group("cooler at the end")
    g.add_argument("--warm", action="store_true",
                   help="at the end, bring the sensor back up slowly before the cooler is "
                        "switched off")
    g.add_argument("--warm-rate", type=positive_float, default=cooling.DEFAULT_WARM_RATE,
                   metavar="C_PER_MIN", help=f"with --warm: degrees per minute (default "
                                             f"{cooling.DEFAULT_WARM_RATE:g})")
    g = p.add_argument_group("dithering (cameras with an ST4 port)")
    g.add_argument("--dither", type=positive_float, metavar="PIXELS",
                   help="between lights, move the field by a random offset of up to this many "
                        "pixels with guide pulses")
    g.add_argument("--dither-rate", type=_rate, metavar="X,Y",
                   help="pixels the field moves per second of a pulse east (X) and north (Y); "
                        "default: measured from two test frames")
    g.add_argument("--dither-pulse", type=positive_float, default=DEFAULT_DITHER_PULSE_S,
                   metavar="SECONDS", help="length of the calibration pulse (default "
                                           f"{DEFAULT_DITHER_PULSE_S:g})")
    g.add_argument("--dither-settle", type=non_negative_float,
                   default=DEFAULT_DITHER_SETTLE_S, metavar="SECONDS",
                   help=f"wait after each move (default {DEFAULT_DITHER_SETTLE_S:g})")


def _series(args: argparse.Namespace) -> list[Series]:
    """The run's series in run order, with the exposures the options give."""
    specs: dict[str, plan.CountSpec | None] = {
        "light": args.lights, "dark": args.darks, "flat": args.flats,
        "dark-flat": args.dark_flats, "bias": args.bias}
    if not any(specs.values()):
        raise UsageError("no frames asked for: give one or more of --lights, --darks, "
                         "--flats, --dark-flats, --bias")
    dark = specs["dark"]
    if dark is not None and dark.seconds is None and specs["light"] is None:
        raise UsageError("--darks without SECONDS takes the lights' exposure, but no --lights "
                         "were given; write --darks COUNTxSECONDS")
    dark_flat = specs["dark-flat"]
    if dark_flat is not None and dark_flat.seconds is None and specs["flat"] is None:
        raise UsageError("--dark-flats without SECONDS takes the flats' exposure, but no "
                         "--flats were given; write --dark-flats COUNTxSECONDS")
    if args.dither is not None and specs["light"] is None:
        raise UsageError("--dither moves the field between lights, but no --lights were given")
    found: list[Series] = []
    for name in RUN_ORDER:
        spec = specs[name]
        if spec is not None:
            found.append(Series(KINDS[name], spec.count, spec.seconds))
    return found


class NotTaken(CaptureError):
    """A kind the run could not take (no flat exposure reaches the level, say); the run goes
    on with the other kinds and ends saying it is incomplete."""


def fits_imagetyp(kind: Kind) -> str:
    from velmora.brinmoor.formats.fits import IMAGETYP_BY_KIND

    return IMAGETYP_BY_KIND[kind.header_kind]


@dataclass
class Tally:
    """Frames written so far, by kind, for the closing summary and a stop's note."""

    written: dict[str, int] = field(default_factory=dict)
    folders: dict[str, Path] = field(default_factory=dict)

    def add(self, kind: Kind, path: Path) -> None:
        self.written[kind.label] = self.written.get(kind.label, 0) + 1
        self.folders[kind.label] = path.parent

    @property
    def total(self) -> int:
        return sum(self.written.values())

    def summary(self) -> str:
        if not self.total:
            return "no frames were written"
        parts = [f"{label} {n} in {self.folders[label]}" for label, n in self.written.items()]
        return f"{plural(self.total, 'frame')} written: " + ", ".join(parts)


class Run:
    """One `sequence` run on an open camera."""

    def __init__(self, cam: Camera, roi: Roi, args: argparse.Namespace, series: list[Series],
                 template: NameTemplate, out: TextIO):
        self.cam = cam
        self.roi = roi
        self.args = args
        self.series = series
        self.template = template
        self.out = out
        self.warn = warn
        self.software = software()
        self.e_per_adu = cam.description.electrons_per_adu or None
        self.tally = Tally()
        self.not_taken: list[tuple[Series, str]] = []
        self.examined: set[str] = set()
        self.panel = False  # the simulator's flat panel was put up for the flats
        self.last_path = Path()
        self.cooler: cooling.Cooler | None = None
        self.ditherer: dither.Ditherer | None = None
        self.overhead = FIRST_OVERHEAD_S
        # Camera seconds per wall-clock second (a simulated camera may run fast): the time
        # left is said in wall-clock time.
        self.clock = cam.time_scale
        self.frame_times: list[float] = []
        self.root = Path(args.output)
        caps = cam.controls.capabilities("Exposure")
        self.shortest = max(caps.min, 1) * 1e-6
        self.longest = caps.max * 1e-6
        self.bayer = bool(cam.description.is_color) and roi.image_type in ("raw8", "raw16")

    def say(self, text: str) -> None:
        if not self.args.quiet:
            print(text, file=sys.stderr, flush=True)

    # -- set-up ------------------------------------------------------------------------------

    def resolve_exposures(self) -> None:
        by_kind = {s.kind.name: s for s in self.series}
        for s in self.series:
            if s.kind.name == "bias":
                s.seconds = self.shortest
            elif s.kind.name == "dark" and s.seconds is None:
                s.seconds = by_kind["light"].seconds
            elif s.kind.name == "dark-flat" and s.seconds is None and "flat" in by_kind:
                s.seconds = by_kind["flat"].seconds  # None until the flats' search
            if s.seconds is not None and not self.shortest <= s.seconds <= self.longest:
                raise UsageError(
                    f"{s.kind.name} exposure {plan.exposure_text(s.seconds)} s is out of range "
                    f"for {self.cam.label} (allowed {plan.exposure_text(self.shortest)} to "
                    f"{plan.exposure_text(self.longest)} s)")

    def settings(self, s: Series) -> dict[str, object]:
        """The run's settings for a series' frames, as their FITS keywords will say."""
        now = utc_now()
        meta = self.cam.frame_metadata(self.roi, now, now)
        target = float(self.args.cooler) if self.args.cooler is not None \
            else meta.set_temperature
        return {"EXPTIME": s.seconds, "GAIN": meta.gain, "OFFSET": meta.offset,
                "XBINNING": self.roi.bin, "SET-TEMP": target,
                "PIXFMT": self.roi.image_type.upper(), "NAXIS1": self.roi.width,
                "NAXIS2": self.roi.height}

    def examine(self, s: Series) -> None:
        """The frames of this series already in its folder: of the same settings (else a
        UsageError naming the setting), and with --resume counted towards the series."""
        values = self.name_values(s)
        folder, pattern = self.template.series_name(values, fixed=("kind",))
        present = existing.frames_present(self.root / folder, pattern, s.kind.label,
                                          fits_imagetyp(s.kind), self.settings(s))
        self.examined.add(s.kind.name)
        if not self.args.resume or not present.paths:
            return
        s.done = min(s.count, len(present.paths))
        if s.kind.name == "flat" and s.seconds is None:
            # The flats there fix the exposure: the dark-flats must match them, and the panel
            # is the same one.
            s.seconds = present.exposures[-1]
            for other in self.series:
                if other.kind.name == "dark-flat" and other.seconds is None:
                    other.seconds = s.seconds
        self.say(f"{s.kind.label}: {len(present.paths)} of {s.count} already in "
                 f"{self.root / folder}" + ("; none to take" if s.done >= s.count else
                                            f"; taking {s.count - s.done}"))

    def examine_folders(self) -> None:
        for s in self.series:
            if s.seconds is not None or s.kind.name == "flat":
                self.examine(s)

    def check_space(self) -> None:
        from velmora.brinmoor.formats import fits

        now = utc_now()
        size = fits.file_bytes(self.cam.frame_metadata(self.roi, now, now))
        frames = sum(s.count - s.done for s in self.series)
        partfile.check_folder_writable(self.root, "the FITS files")
        # Any file in the folder stands for them all: its file system is what counts.
        free_space([(self.root / "any.fits", size * frames)], self.args)

    def set_up_cooler(self) -> None:
        args = self.args
        if args.cooler is None:
            return
        self.cooler = cooling.Cooler(self.cam, cooling.plan_from_args(args), quiet=args.quiet,
                                     warn=self.warn)
        self.cooler.start()
        self.cooler.wait()

    def set_up_dither(self) -> None:
        args = self.args
        lights = next((s for s in self.series if s.kind.name == "light"), None)
        if args.dither is None or lights is None or lights.done >= lights.count:
            return
        if not self.cam.description.has_st4_port:
            raise UsageError(f"{self.cam.label} has no ST4 port to dither with")
        rate = args.dither_rate
        calibration = dither.Calibration(rate) if rate is not None else None
        if calibration is None:
            light = next(s for s in self.series if s.kind.name == "light")
            seconds = light.seconds
            assert seconds is not None

            def take() -> Any:
                return self.expose(seconds, dark=False).array

            calibration = dither.calibrate(self.cam, take, args.dither_pulse, bayer=self.bayer,
                                           report=self.say)
        rate = calibration.rate
        self.say(f"dither: up to {args.dither:g} px, pulse rate {rate.x:+.3g} px/s east, "
                 f"{rate.y:+.3g} px/s north")
        self.ditherer = dither.Ditherer(self.cam, calibration, args.dither, bayer=self.bayer)

    # -- frames ------------------------------------------------------------------------------

    def expose(self, seconds: float, *, dark: bool) -> Frame:
        if self.cooler is not None:
            self.cooler.check()
        return self.cam.expose(seconds, dark=dark, timeout=seconds + EXPOSURE_MARGIN_S)

    def wait_for_panel(self, index: int) -> None:
        """Flats after lights or darks: the observer fits the panel (or turns to the dusk sky)
        first. On a terminal the run asks and waits for Enter; --panel-ready, or no terminal to
        ask on, goes straight on. A simulated camera gets the simulator's panel here."""
        if not any(s.kind.name in ("light", "dark") for s in self.series[:index]):
            return  # a run of flats: the panel is up already
        self.panel = self.cam.simulate_flat_panel(True)
        simulated = "; the camera is simulated: the simulator's flat panel is in front of it " \
            "now" if self.panel else ""
        if self.args.panel_ready:
            self.say("flats next: the panel is ready (--panel-ready)" + simulated)
            return
        if not sys.stdin.isatty():
            self.warn("flats next: no terminal to ask for the flat panel on, so the run goes "
                      "straight on (--panel-ready says so without this warning)" + simulated)
            return
        print(f"Fit the flat panel (or point at the dusk sky), then press Enter to take the "
              f"flats{simulated}: ", end="", file=sys.stderr, flush=True)
        sys.stdin.readline()

    def find_flat_exposure(self, s: Series) -> None:
        black = flats.median_level(self.expose(self.shortest, dark=True).array)
        try:
            found = flats.find_exposure(
                lambda seconds: self.expose(seconds, dark=False).array, black=black,
                shortest=self.shortest, longest=self.longest, level=self.args.flat_level / 100,
                report=self.say)
        except CaptureError as exc:  # too bright or too faint: no flats, the rest goes on
            raise NotTaken(str(exc)) from exc
        s.seconds = found.seconds
        for other in self.series:
            if other.kind.name == "dark-flat" and other.seconds is None:
                other.seconds = found.seconds
        # On stdout too: the exposure is what a user notes for the dark-flats of another night.
        print(f"flat exposure {plan.exposure_text(found.seconds)} s: median at "
              f"{100 * found.level:.1f} % of full scale", file=self.out, flush=True)

    def name_values(self, s: Series) -> dict[str, str]:
        cam = self.cam
        temperature: float | None
        if self.cooler is not None:
            temperature = self.cooler.accepted if self.cooler.accepted is not None \
                else float(self.cooler.plan.target)
        elif self.args.cooler is not None:  # before the cooler is set up
            temperature = float(self.args.cooler)
        else:
            temperature = cam.temperature if cam.has_control("ASI_TEMPERATURE") else None
        gain = cam.gain if cam.has_control("ASI_GAIN") else None
        offset = cam.offset if cam.has_control("ASI_OFFSET") else None
        return {
            "kind": s.kind.label,
            "camera": plan.camera_slug(cam.name),
            "exposure": "NA" if s.seconds is None else plan.exposure_text(s.seconds),
            "gain": "NA" if gain is None else str(gain),
            "offset": "NA" if offset is None else str(offset),
            "bin": str(self.roi.bin),
            "temperature": "NA" if temperature is None else str(round(temperature)),
            "filter": self.args.filter or "NA",
        }

    def time_left(self, done_in_series: int, index: int) -> float:
        left = 0.0
        for n, s in enumerate(self.series):
            if n < index:
                continue
            count = s.count - (done_in_series if n == index else s.done)
            left += count * ((s.seconds if s.seconds is not None else 1.0) / self.clock
                             + self.overhead)
        return left

    def write(self, frame: Frame, s: Series, values: dict[str, str], number: int) -> int:
        """Write the frame under the next free number (a name another run took meanwhile is
        skipped, and said so); returns the number used."""
        from velmora.brinmoor.formats import fits

        meta = replace(frame.metadata, software=self.software, kind=s.kind.header_kind,
                       electrons_per_adu=self.e_per_adu)
        for attempt in range(MAX_NAME_RETRIES):
            path = self.root / self.template.render(values, number + attempt)
            try:
                with held_steps():  # a stop request ends the run after this frame
                    written = fits.write_fits(path, frame.array, meta)
            except FileExistsError:
                continue
            if attempt or written != path:
                asked = self.root / self.template.render(values, number)
                self.warn(f"{asked} was written by another run meanwhile; this frame is "
                          f"{written}")
            self.tally.add(s.kind, written)
            self.last_path = written
            return number + attempt
        raise CaptureError(f"no free file name after {path}")

    def run_series(self, index: int, s: Series) -> None:
        if s.done >= s.count:
            return
        if s.kind.name == "flat":
            self.wait_for_panel(index)
            if s.seconds is None:
                self.find_flat_exposure(s)
        if s.seconds is None:  # dark-flats at the exposure of flats that were not taken
            raise NotTaken("they take the flats' exposure, which was not found")
        if s.kind.name not in self.examined:  # its exposure is known only now
            try:
                self.examine(s)
            except UsageError as exc:
                raise NotTaken(str(exc)) from exc
            if s.done >= s.count:
                return
        values = self.name_values(s)
        folder, pattern = self.template.series_name(values)
        number = plan.next_number(self.root / folder, pattern)
        light = s.kind.name == "light"
        for i in range(s.done, s.count):
            t0 = time.monotonic()
            frame = self.expose(s.seconds, dark=s.kind.dark)
            number = self.write(frame, s, values, number) + 1
            path = self.last_path
            took = time.monotonic() - t0
            self.frame_times.append(max(0.0, took - s.seconds / self.clock))
            self.overhead = sum(self.frame_times[-10:]) / len(self.frame_times[-10:])
            temp = frame.metadata.temperature
            self.say(f"{s.kind.label} {i + 1}/{s.count}  {plan.exposure_text(s.seconds)} s  "
                     + (f"{temp:.1f} C  " if temp is not None else "")
                     + f"{path}  {plan.duration_text(self.time_left(i + 1, index))} left")
            if light and self.ditherer is not None:
                self.dither_after(frame, last=i + 1 >= s.count)

    def dither_after(self, frame: Frame, last: bool) -> None:
        """After a light: say where the field really is (measured against the run's first
        light, which the aim is relative to), then move it for the next light."""
        assert self.ditherer is not None
        aimed = self.ditherer.offset
        measured = self.ditherer.observe(frame.array)
        if measured is not None:
            self.say(f"dither: field at {measured[0]:+.1f}, {measured[1]:+.1f} px from the first "
                     f"light (aimed at {aimed[0]:+.1f}, {aimed[1]:+.1f})")
        if not last:
            dx, dy = self.ditherer.move()
            self.say(f"dither to {dx:+.1f}, {dy:+.1f} px")
            time.sleep(self.args.dither_settle)

    def run(self) -> None:
        self.resolve_exposures()
        self.examine_folders()
        self.check_space()
        folders = [self.root]
        if self.root.is_dir():
            folders += sorted(p for p in self.root.iterdir() if p.is_dir())
        report_stale_parts([folder / "x" for folder in folders])
        self.set_up_cooler()
        self.set_up_dither()
        for index, s in enumerate(self.series):
            try:
                self.run_series(index, s)
            except NotTaken as exc:
                # What cannot be taken is said now; the other kinds are still taken.
                self.not_taken.append((s, str(exc)))
                self.warn(f"no {s.kind.label} frames: {exc}; going on with the other kinds")
        if self.panel:
            self.cam.simulate_flat_panel(False)
        if self.args.warm and self.cooler is not None:
            self.cooler.warm(self.args.warm_rate)


def run(args: argparse.Namespace, out: TextIO) -> int:
    check_cooler_args(args)
    series = _series(args)
    try:
        template = NameTemplate(args.name or plan.default_template(args.filter))
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    if args.warm and args.cooler is None:
        raise UsageError("--warm brings a cooled sensor back up; it needs --cooler")
    deps.require(fits=True)
    run: Run | None = None
    try:
        with camera_errors(), open_camera(args.camera) as cam, \
                cooling.notice_left_on(cam, args.camera, args.cooler is not None):
            roi = apply_settings(cam, args)
            run = Run(cam, roi, args, series, template, out)
            run.run()
    except KeyboardInterrupt as exc:
        exc.add_note(run.tally.summary() if run is not None else "no frames were written")
        raise
    except (CaptureError, OSError) as exc:  # OSError: a file could not be written (a full disk)
        if run is not None and run.tally.total:
            error = type(exc) if isinstance(exc, CaptureError) else CaptureError
            raise error(f"{exc}; {run.tally.summary()}") from exc
        raise
    print(run.tally.summary(), file=out)
    if run.not_taken:
        raise CaptureError("the run is incomplete: " + "; ".join(
            f"{s.count} {s.kind.label} not taken ({why})" for s, why in run.not_taken))
    return EXIT_OK
