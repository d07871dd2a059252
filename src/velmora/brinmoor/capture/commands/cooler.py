"""`orvik-capture cooler`: what a camera's cooler is doing, and switching it off (slowly with
`--warm`), for a cooler that a run left on."""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any, TextIO

from .. import cooling
from ..common import open_camera
from ..errors import UsageError, camera_errors
from ..options import EXIT_OK, camera_options, positive_float

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera


def add_parser(sub: Any) -> None:
    p = sub.add_parser("cooler", help="show the cooler, or switch it off",
                       description="Show what a camera's cooler is doing (the default), or "
                                   "switch it off: a run that cooled the sensor leaves the "
                                   "cooler on.")
    camera_options(p)
    p.add_argument("action", nargs="?", choices=("status", "off"), default="status",
                   help="status (default): the sensor's temperature, the cooler and its target "
                        "and power; off: switch the cooler off")
    p.add_argument("--warm", action="store_true",
                   help="with off: bring the sensor up to the air's temperature slowly first")
    p.add_argument("--warm-rate", type=positive_float, default=cooling.DEFAULT_WARM_RATE,
                   metavar="C_PER_MIN", help=f"with --warm: degrees per minute (default "
                                             f"{cooling.DEFAULT_WARM_RATE:g})")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress on stderr while warming")


def status_line(cam: Camera) -> str:
    """`camera 0 (...): sensor -10.0 C, cooler on, target -10 C, power 86 %`."""
    parts = [cam.label + ":"]
    if cam.has_control("ASI_TEMPERATURE"):
        parts.append(f"sensor {cam.temperature:.1f} C,")
    if cam.cooler:
        parts.append(f"cooler on, target {cam.target_temperature} C" + (
            "," if cam.has_control("ASI_COOLER_POWER_PERC") else ""))
        if cam.has_control("ASI_COOLER_POWER_PERC"):
            parts.append(f"power {cam.cooler_power:.0f} %")
    else:
        parts.append("cooler off")
    return " ".join(parts)


def run(args: argparse.Namespace, out: TextIO) -> int:
    if args.warm and args.action != "off":
        raise UsageError("--warm brings the sensor up before the cooler is switched off; "
                         "write 'cooler off --warm'")
    with camera_errors(), open_camera(args.camera) as cam:
        cooling.check_cooler(cam)
        if args.action == "off":
            if args.warm and cam.cooler:
                plan = cooling.CoolerPlan(cam.target_temperature)
                cooling.Cooler(cam, plan, quiet=args.quiet, warn=lambda text: None).warm(
                    args.warm_rate)
            cam.cooler = False
        print(status_line(cam), file=out)
    return EXIT_OK
