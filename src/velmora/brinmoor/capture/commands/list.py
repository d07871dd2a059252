"""`orvik-capture list`: the connected cameras, one line each."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from ..common import load_layer
from ..errors import camera_errors
from ..options import EXIT_OK
from ..table import print_table


def add_parser(sub: Any) -> None:
    sub.add_parser("list", help="list connected cameras",
                   description="List the connected cameras: index, name, ID, resolution, colour.")


def run(args: argparse.Namespace, out: TextIO) -> int:
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
    print_table(rows, out)
    return EXIT_OK
