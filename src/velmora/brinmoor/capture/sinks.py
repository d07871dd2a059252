"""Where the frames of a video run go: one FITS cube, one FITS file per frame, or a SER video.

Every sink is planned before the camera starts (its files, their sizes, so the tool can refuse a
run that cannot be written) and creates its first file, and the directories leading to it, only
when the first frame arrives. A run that ends early keeps what it has: `stop` finishes the files
with the frames written (a cube's last axis shortened, a SER file's frame count); a write error
such as a full disk keeps the complete frames where the format allows it. `abandon` removes
the file being written.

Frames are the camera layer's: `data` (the camera's bytes), `array` and `metadata`.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

from velmora.brinmoor.formats import fits as fitsfile
from velmora.brinmoor.formats import partfile as output
from velmora.brinmoor.formats import ser as serfile
from velmora.brinmoor.formats.metadata import FrameMetadata, Observation
from velmora.brinmoor.wording import plural

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Frame

# What a SER sink's writing thread may hold while the disk catches up.
SER_QUEUE_BYTES = 256 << 20
# A cube's header counts its frames at least this often, as a SER file's does.
COUNT_INTERVAL_S = serfile.COUNT_INTERVAL_S


def named(path: Path, taken: Path | None) -> str:
    """A finished file's name, saying so when another run had taken the name asked for."""
    if taken is None:
        return str(path)
    return f"{path} ({taken} was written by another run meanwhile)"


@dataclass
class Plan:
    """What a run will write: the files (all of them, for the existence check) and bytes."""

    paths: list[Path]
    sizes: list[tuple[Path, int]]


class Sink(Protocol):
    what: str

    def plan(self) -> Plan: ...
    def write(self, frame: Frame) -> None: ...
    def finish(self) -> str: ...
    def stop(self) -> str: ...
    def rescue(self) -> str: ...
    def abandon(self) -> None: ...


def header_metadata(meta: FrameMetadata, software: str,
                    e_per_adu_gain0: float | None) -> FrameMetadata:
    """A frame's metadata with what the tool adds for its files."""
    return replace(meta, software=software, electrons_per_adu=e_per_adu_gain0)


class CubeSink:
    """All frames as one FITS cube, its last axis the frames."""

    what = "the FITS cube"

    def __init__(self, path: Path, frames: int, first: FrameMetadata, software: str,
                 e_per_adu_gain0: float | None, overwrite: bool):
        self.path = path
        self.frames = frames
        self.software = software
        self.e_per_adu = e_per_adu_gain0
        self.overwrite = overwrite
        self._planned = header_metadata(first, software, e_per_adu_gain0)
        self._planned.frames = frames
        self._meta: FrameMetadata | None = None
        self._writer: fitsfile.FitsWriter | None = None
        self._counted_at = 0.0
        self.written = 0

    def plan(self) -> Plan:
        return Plan([self.path], [(self.path, fitsfile.file_bytes(self._planned, self.frames))])

    def write(self, frame: Frame) -> None:
        if self._writer is None:
            self._meta = header_metadata(frame.metadata, self.software, self.e_per_adu)
            self._meta.frames = 0
            self._meta.end = self._meta.start  # rewritten as frames arrive
            # The header counts the frames on disk (none yet), the data may grow to the run's.
            self._writer = fitsfile.FitsWriter(
                self.path, fitsfile.build_header(self._meta, 0), overwrite=self.overwrite,
                data_bytes=_frame_bytes(self._meta) * self.frames,
            )
        assert self._meta is not None
        self._writer.write(fitsfile.frame_for_fits(frame.array, self._meta.roi.image_type))
        self.written += 1
        self._meta.end = frame.metadata.end
        now = time.monotonic()
        if self.written == 1 or now - self._counted_at >= COUNT_INTERVAL_S:
            # A cube whose writer is killed reads as the frames counted here.
            self._meta.frames = self.written
            self._writer.update_header(fitsfile.build_header(self._meta, self.written))
            self._counted_at = now

    def _close(self, frames: int) -> None:
        assert self._writer is not None and self._meta is not None
        self._meta.frames = frames
        header = fitsfile.build_header(self._meta, frames)
        if frames == self.frames:
            self._writer.close(header)
        else:
            self._writer.close_frames(header)

    def finish(self) -> str:
        if self._writer is None:
            return "no frames, no file written"
        self._close(self.written)
        return f"wrote {self._name()} ({plural(self.written, 'frame')})"

    def _name(self) -> str:
        assert self._writer is not None
        return named(self._writer.path, self._writer.taken)

    def stop(self) -> str:
        if self._writer is None or self.written == 0:
            self.abandon()
            return "no frames were written"
        self._close(self.written)
        return f"{plural(self.written, 'frame')} written to {self._name()}"

    def rescue(self) -> str:
        """After a write error: keep the complete frames that the cube's padded data can hold
        within the bytes already on disk (the disk may have no room for more)."""
        if self._writer is None:
            return "no file was written"
        size = _frame_bytes(self._meta)
        written = self._writer.bytes_written
        complete = written // size
        kept = complete
        # Padding within the bytes already written needs no new space: keep a frame or two
        # less (at most 2879 bytes of them) if that is what it takes.
        while kept > 0 and fitsfile.FitsWriter.padded_size(kept * size) > written:
            kept -= 1
        if kept == 0:
            kept = complete  # too little to pad in place: try with new space
        if kept == 0:
            self.abandon()
            return f"{self.path} was removed"
        try:
            self._close(kept)
        except (OSError, ValueError):
            self.abandon()
            return f"{self.path} was removed"
        return f"{_first(kept)} kept in {self._name()}"

    def abandon(self) -> None:
        if self._writer is not None:
            self._writer.abort()


def _first(kept: int) -> str:
    return "the first frame was" if kept == 1 else f"the first {kept} frames were"


def _frame_bytes(meta: FrameMetadata | None) -> int:
    if meta is None:
        return 1
    count = fitsfile.FILE_BITS[meta.roi.image_type] // 8
    for n in fitsfile.data_shape(meta):
        count *= n
    return count


class FramesSink:
    """One FITS file per frame: `<base>_00001.fits`, `<base>_00002.fits`, ..."""

    what = "the FITS files"

    def __init__(self, base: Path, frames: int, first: FrameMetadata, software: str,
                 e_per_adu_gain0: float | None, overwrite: bool):
        self.paths = [output.numbered(base, n, ".fits") for n in range(1, frames + 1)]
        self.software = software
        self.e_per_adu = e_per_adu_gain0
        self.overwrite = overwrite
        self._planned = header_metadata(first, software, e_per_adu_gain0)
        self.written = 0
        self.taken: list[Path] = []

    def plan(self) -> Plan:
        size = fitsfile.file_bytes(self._planned)
        return Plan(list(self.paths), [(p, size) for p in self.paths])

    def write(self, frame: Frame) -> None:
        meta = header_metadata(frame.metadata, self.software, self.e_per_adu)
        asked = self.paths[self.written]
        self.paths[self.written] = fitsfile.write_fits(asked, frame.array, meta,
                                                       overwrite=self.overwrite)
        if self.paths[self.written] != asked:
            self.taken.append(asked)
        self.written += 1

    def _summary(self) -> str:
        if self.written == 0:
            return "no files were written"
        if self.written == 1:
            text = f"wrote {self.paths[0]}"
        else:
            text = f"wrote {plural(self.written, 'file')} {self.paths[0]} ... {self.paths[self.written - 1]}"
        if self.taken:
            n = len(self.taken)
            text += (f" ({plural(n, 'name')}, from {self.taken[0]}, {'was' if n == 1 else 'were'} "
                     "written by another run meanwhile; those frames took the next free names)")
        return text

    def finish(self) -> str:
        return self._summary()

    def stop(self) -> str:
        return self._summary()

    def rescue(self) -> str:
        return "the files before it were kept" if self.written else "no files were written"

    def abandon(self) -> None:
        pass  # each file is complete or was never given its name


class SerSink:
    """A SER video: the camera's bytes as they come, written by a thread of their own."""

    what = "the SER video"

    def __init__(self, path: Path, frames: int, first: FrameMetadata, overwrite: bool):
        self.path = path
        self.frames = frames
        self.overwrite = overwrite
        self._first = first
        self._writer: serfile.SerWriter | None = None

    @property
    def written(self) -> int:
        return 0 if self._writer is None else self._writer.frames_written

    def plan(self) -> Plan:
        roi = self._first.roi
        size = serfile.file_bytes(roi.width, roi.height, roi.image_type, self.frames)
        return Plan([self.path], [(self.path, size)])

    def write(self, frame: Frame) -> None:
        meta = frame.metadata
        if self._writer is None:
            roi = meta.roi
            obs = meta.observation or Observation()
            self._writer = serfile.SerWriter(
                self.path, width=roi.width, height=roi.height, img_type=roi.image_type,
                bayer_cell=meta.frame_bayer, instrument=meta.camera, start=meta.start,
                observer=obs.observer or "", telescope=obs.telescope or "",
                overwrite=self.overwrite, queue_bytes=SER_QUEUE_BYTES,
            )
        # The start of the frame's exposure, as DATE-OBS gives it for a FITS frame.
        self._writer.write_frame(frame.data, serfile.ticks(meta.start))

    def finish(self) -> str:
        if self._writer is None:
            return "no frames, no file written"
        self._writer.close()
        return f"wrote {self._name()} ({plural(self._writer.frames_written, 'frame')})"

    def _name(self) -> str:
        assert self._writer is not None
        return named(self._writer.path, self._writer.taken)

    def stop(self) -> str:
        if self._writer is None:
            return "no frames were written"
        self._writer.close()
        return f"{plural(self._writer.frames_written, 'frame')} written to {self._name()}"

    def rescue(self) -> str:
        if self._writer is None:
            return "no file was written"
        kept = self._writer.close_after_error()
        if kept is None:
            return f"{self.path} was removed"
        return f"{_first(self._writer.frames_written)} kept in {self._name()}"

    def abandon(self) -> None:
        if self._writer is not None:
            self._writer.abort()
