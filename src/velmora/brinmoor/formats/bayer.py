"""Bayer cells: which colour filter lies over each pixel of a frame, as the file records it.

A cell is the 2x2 colour pattern read row by row from a frame's top-left pixel (`RGGB`: red,
green / green, blue). A colour sensor's cell is known at its own top-left pixel; a frame's is
found from where the frame starts on the (binned) sensor and from the Flip control, which
mirrors the window: a frame's first pixel is then the window's last in that direction.

Binned colour frames keep the mosaic (the camera sums same-colour pixels), so binned pixel
(x, y) has the colour of sensor pixel (x, y): the cell is read in binned coordinates. Frames a
colour sensor bins to grey (MonoBin) carry no cell at all; the camera layer says so.
"""

from __future__ import annotations

from typing import Final

# The four cells, read row by row from the top-left pixel.
BAYER_CELLS: Final = ("RGGB", "BGGR", "GRBG", "GBRG")
# The Flip control's values: (mirrored left-right, mirrored top-bottom).
FLIP_AXES: Final = {0: (False, False), 1: (True, False), 2: (False, True), 3: (True, True)}


def check_cell(cell: str) -> str:
    if cell not in BAYER_CELLS:
        raise ValueError(f"unknown Bayer pattern {cell!r} (one of {', '.join(BAYER_CELLS)})")
    return cell


def shifted_cell(cell: str, x_offset: int, y_offset: int) -> str:
    """The cell seen from a window that starts `x_offset`, `y_offset` pixels in."""
    rows = [check_cell(cell)[0:2], cell[2:4]]
    if y_offset % 2:
        rows.reverse()
    if x_offset % 2:
        rows = [r[::-1] for r in rows]
    return rows[0] + rows[1]


def frame_cell(sensor_cell: str, x: int, y: int, width: int, height: int, flip: int = 0) -> str:
    """The cell at the top-left pixel of a frame as delivered: a window of `width` x `height`
    pixels from (`x`, `y`) on the sensor whose own cell is `sensor_cell`, mirrored by `flip`
    (0 none, 1 left-right, 2 top-bottom, 3 both).

    The delivered frame's pixel (u, v) is the window's pixel (width - 1 - u, v) when mirrored
    left-right: its first pixel is the window's last column, and its second the column before,
    which has the colour of the column after (colours alternate). So the cell is the sensor's
    seen from the first pixel's place, and the parity of the width counts as much as the start's.
    """
    try:
        mirror_x, mirror_y = FLIP_AXES[flip]
    except KeyError:
        raise ValueError(f"flip {flip!r} is not one of 0, 1, 2, 3") from None
    first_x = x + width - 1 if mirror_x else x
    first_y = y + height - 1 if mirror_y else y
    return shifted_cell(sensor_cell, first_x, first_y)
