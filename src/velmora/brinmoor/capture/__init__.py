"""`orvik-capture`: list cameras, show their controls, take snapshots and video as FITS and PNG.

Run `orvik-capture --help`, or `python -m velmora.brinmoor.capture --help`.
"""

from .cli import main

__all__ = ["main"]
