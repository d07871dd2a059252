"""`orvik-capture finish PART...`: make the part file a killed run left behind into the file it
was meant to become, with every complete frame (see `formats.recover`)."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any, TextIO

from velmora.brinmoor.formats.recover import CannotFinish, finish
from velmora.brinmoor.wording import plural

from ..errors import CaptureError
from ..options import EXIT_OK


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "finish", help="finish the part file a killed run left behind",
        description="Give the hidden part file (.NAME.<writer>.part) of a run that was killed "
                    "or lost its power the name it was meant to have, with every complete "
                    "frame: a SER video or FITS cube up to its last complete frame. A name "
                    "taken meanwhile moves on to the next free one. A part file that already "
                    "has its final name (a run killed while renaming it) only loses its part "
                    "name. A part file a running program still writes is refused.")
    p.add_argument("parts", nargs="+", type=Path, metavar="PART", help="the part files")


def run(args: argparse.Namespace, out: TextIO) -> int:
    failed = []
    for part in args.parts:
        try:
            done = finish(part)
        except CannotFinish as exc:
            failed.append(str(exc))
            continue
        except OSError as exc:
            failed.append(f"finishing {part} failed: {exc.strerror or exc}")
            continue
        if done.already:
            # Killed while it was being given its name: the file was complete under it.
            print(f"{done.path} was already complete ({plural(done.frames, 'frame')}); removed {part}",
                  file=out)
            continue
        note = f" ({done.taken} exists; the next free name was taken)" if done.taken else ""
        print(f"wrote {done.path} ({plural(done.frames, 'frame')}){note}", file=out)
    if failed:
        raise CaptureError("; ".join(failed))
    return EXIT_OK
