"""`orvik-capture info`: a camera's properties and every control with its value and range."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from ..common import open_camera
from ..errors import camera_errors
from ..options import EXIT_OK, camera_options
from ..table import print_table


def add_parser(sub: Any) -> None:
    p = sub.add_parser("info", help="show a camera's properties and controls",
                       description="Show a camera's properties and every control with its "
                                   "range, default and current value.")
    camera_options(p)


def _yes(flag: bool) -> str:
    return "yes" if flag else "no"


def run(args: argparse.Namespace, out: TextIO) -> int:
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
        print_table(rows, out, indent="  ")
    return EXIT_OK
