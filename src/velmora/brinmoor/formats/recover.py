"""Finishing the part file of a run that died (SIGKILL, a power cut): its complete frames become
a file under the name the run meant to give it.

A SER video keeps every complete frame, counted from the file's size (the header's own count
may lag the last second), without the optional trailer of timestamps, whose frames' times are
lost with the run. A FITS cube keeps its complete frames too: the last axis and NFRAMES say how
many, the data are cut after the last complete frame and padded. A single FITS frame or a PNG
whose data stop short has nothing complete to keep.

Every step can be cut short by another kill and finishing run again: the frames are counted the
same way from a file already cut and padded, and a part file that already has its final name
beside its own (a run killed in the middle of giving it that name) is left as it is and only
loses its part name, never copied to the next free name.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from pathlib import Path

from . import ser
from .fits import FITS_BLOCK
from .partfile import final_path, is_live, linked_name, place


class CannotFinish(Exception):
    """The part file cannot be made into a file: the message says why."""


@dataclass(frozen=True)
class Finished:
    path: Path
    frames: int
    taken: Path | None  # the name meant, when another file had taken it
    already: bool = False  # the file had its final name already; only the part's name went


def finish(part: Path) -> Finished:
    """Make a dead run's part file into the file it was meant to become."""
    target = final_path(part)
    if target is None:
        raise CannotFinish(f"{part} is not a part file (.NAME.<writer>.part)")
    if not part.is_file():
        raise CannotFinish(f"{part} does not exist")
    if is_live(part):
        raise CannotFinish(f"{part} is being written by a running program; it finishes it")
    suffix = target.suffix.lower()
    placed = linked_name(part, target)
    if placed is not None:
        # Complete under its final name already: the data are not touched again.
        frames = _count_frames(placed, suffix)
        part.unlink()
        return Finished(placed, frames, target if placed != target else None, already=True)
    if suffix == ".ser":
        frames = _finish_ser(part)
    elif suffix in (".fits", ".fit", ".fts"):
        frames = _finish_fits(part)
    else:
        raise CannotFinish(f"{part}: a {suffix or 'file'} cannot be finished from a part; "
                           "remove it")
    placed = place(part, target)
    return Finished(placed, frames, target if placed != target else None)


def _finish_ser(part: Path) -> int:
    size = part.stat().st_size
    with open(part, "r+b") as f:
        head = f.read(ser.HEADER_SIZE)
        if len(head) < ser.HEADER_SIZE or not head.startswith(ser.FILE_ID):
            raise CannotFinish(f"{part}: the SER header is incomplete or not a SER header")
        fields = ser.HEADER.unpack(head)
        # ID, LuID, ColorID, LittleEndian, Width, Height, PixelDepth, FrameCount, ...
        color, width, height, depth, counted = fields[2], fields[4], fields[5], fields[6], fields[7]
        planes = 3 if color in (ser.COLOR_RGB, ser.COLOR_BGR) else 1
        frame_bytes = int(width * height * planes * ((depth + 7) // 8))
        if frame_bytes <= 0:
            raise CannotFinish(f"{part}: the SER header gives no frame size")
        complete = int((size - ser.HEADER_SIZE) // frame_bytes)
        if counted == complete and size == ser.HEADER_SIZE + complete * (frame_bytes + 8):
            return complete  # finished, trailer and all, but never renamed
        f.truncate(ser.HEADER_SIZE + complete * frame_bytes)
        f.seek(ser.FRAME_COUNT_OFFSET)
        f.write(struct.pack("<i", complete))
        f.flush()
        os.fsync(f.fileno())
    return complete


def _finish_fits(part: Path) -> int:
    from .fits import astropy_fits

    fits = astropy_fits()
    try:
        with open(part, "rb") as f:
            header = fits.Header.fromfile(f)
            header_bytes = f.tell()
    except (OSError, ValueError, EOFError) as exc:
        raise CannotFinish(f"{part}: the FITS header is incomplete ({exc})") from exc
    naxis = int(header.get("NAXIS", 0))
    if naxis < 3:
        data = abs(int(header["BITPIX"])) // 8
        for axis in range(1, naxis + 1):
            data *= int(header[f"NAXIS{axis}"])
        if part.stat().st_size - header_bytes >= data:
            frames = 1
            kept = data
        else:
            raise CannotFinish(f"{part}: the frame's data stop short; nothing complete to keep, "
                               "remove it")
    else:
        frame_bytes = abs(int(header["BITPIX"])) // 8
        for axis in range(1, naxis):
            frame_bytes *= int(header[f"NAXIS{axis}"])
        counted = int(header[f"NAXIS{naxis}"])
        data_bytes = part.stat().st_size - header_bytes
        if data_bytes == _padded(counted * frame_bytes) and _zeros_from(
                part, header_bytes + counted * frame_bytes):
            # Cut and padded by an earlier finish: padding of a frame's size or more is no frame.
            frames = counted
        else:
            frames = data_bytes // frame_bytes
        kept = frames * frame_bytes
        header[f"NAXIS{naxis}"] = frames
        if "NFRAMES" in header:
            header["NFRAMES"] = frames
        text = header.tostring(sep="", endcard=True, padding=True).encode("ascii")
        if len(text) != header_bytes:
            raise CannotFinish(f"{part}: the corrected header does not fit the space of the old")
    with open(part, "r+b") as f:
        if naxis >= 3:
            f.write(text)
        f.truncate(header_bytes + kept)
        f.seek(header_bytes + kept)
        f.write(b"\0" * ((-kept) % FITS_BLOCK))
        f.flush()
        os.fsync(f.fileno())
    return frames


def _padded(size: int) -> int:
    return size + (-size) % FITS_BLOCK


def _zeros_from(path: Path, offset: int) -> bool:
    with open(path, "rb") as f:
        f.seek(offset)
        return not f.read().strip(b"\0")


def _count_frames(path: Path, suffix: str) -> int:
    """The frames of a complete file, from its header."""
    if suffix == ".ser":
        with open(path, "rb") as f:
            head = f.read(ser.HEADER_SIZE)
        return int(ser.HEADER.unpack(head)[7]) if len(head) == ser.HEADER_SIZE else 0
    if suffix in (".fits", ".fit", ".fts"):
        from .fits import astropy_fits

        header = astropy_fits().getheader(path)
        naxis = int(header.get("NAXIS", 0))
        return int(header[f"NAXIS{naxis}"]) if naxis >= 3 else 1
    return 1
