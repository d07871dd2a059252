"""Output files of the capture tool: complete or absent, errors that name the file, free space."""

import datetime as dt
import os
import re
import shutil
from collections import namedtuple
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")

from velmora.brinmoor.formats import FrameMetadata, Roi  # noqa: E402
from velmora.brinmoor.formats import fits as fitsfile  # noqa: E402
from velmora.brinmoor.formats import partfile as output  # noqa: E402


def fill_disk(part: output.PartFile) -> None:
    """From now on every write to the file fails as on a full disk."""
    part.file.flush()
    full = os.open("/dev/full", os.O_WRONLY)
    try:
        os.dup2(full, part.file.fileno())
    finally:
        os.close(full)


def test_part_file_appears_only_when_committed(tmp_path):
    target = tmp_path / "a" / "b" / "x.fits"
    part = output.PartFile(target, "the FITS file")
    part.write(b"data")
    assert not target.exists() and part.tmp.exists() and part.tmp.parent == target.parent
    assert re.fullmatch(rf"\.x\.fits\.{os.getpid()}-[0-9a-f]+\.part", part.tmp.name)
    assert part.commit() == target
    assert target.read_bytes() == b"data"
    assert sorted(p.name for p in target.parent.iterdir()) == ["x.fits"]


def test_abort_removes_the_file_and_only_the_directories_it_made(tmp_path):
    (tmp_path / "kept").mkdir()
    part = output.PartFile(tmp_path / "kept" / "new" / "deeper" / "x.ser", "the SER video")
    part.write(b"data")
    part.abort()
    assert list(tmp_path.iterdir()) == [tmp_path / "kept"]
    assert list((tmp_path / "kept").iterdir()) == []


def test_a_full_disk_names_the_file_being_written_not_the_temporary_one(tmp_path):
    part = output.PartFile(tmp_path / "out" / "cube.fits", "the FITS file")
    fill_disk(part)
    with pytest.raises(output.OutputError) as info:
        part.write(b"\0" * (1 << 20))
        part.commit()
    message = str(info.value)
    assert message == f"writing the FITS file {tmp_path}/out/cube.fits failed: No space left on device"
    assert info.value.errno == 28 and ".part" not in message
    part.abort()
    assert list(tmp_path.iterdir()) == []  # no partial file, no directory made for it


def test_fits_writer_on_a_full_disk_leaves_nothing(tmp_path):
    meta = metadata()
    writer = fitsfile.FitsWriter(tmp_path / "c.fits", fitsfile.build_header(meta, 2))
    fill_disk(writer._file)
    with pytest.raises(output.OutputError, match=r"writing the FITS file .*c\.fits failed: No space"):
        writer.write(np.zeros((2, 6, 16), np.uint16))
        writer.close()
    writer.abort()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda tmp: Path("/sys/orvik-test.fits"), "cannot write the FITS file /sys/orvik-test.fits: "
                                                    "Permission denied in /sys"),
        (lambda tmp: tmp / "file" / "x.fits", "is not a directory"),
        (lambda tmp: tmp, "is a directory"),
    ],
)
def test_unwritable_outputs_are_found_before_anything_is_taken(tmp_path, make, message):
    (tmp_path / "file").write_text("")
    if make(tmp_path).parent == Path("/sys") and not os.path.ismount("/sys"):
        pytest.skip("/sys is not sysfs here")
    with pytest.raises(output.OutputError) as info:
        output.check_writable(make(tmp_path), "the FITS file")
    assert message in str(info.value)


def test_check_writable_creates_nothing(tmp_path):
    output.check_writable(tmp_path / "new" / "dir" / "x.fits", "the FITS file")
    assert list(tmp_path.iterdir()) == []


Usage = namedtuple("Usage", "total used free")


@pytest.mark.parametrize(
    "free, sizes, refused",
    [
        (10 << 30, [1 << 30], False),
        (1 << 30, [1 << 30], True),  # exactly the size: the margin is missing
        (1 << 30, [600 << 20, 600 << 20], True),  # files on the same disk add up
        (2 << 30, [600 << 20, 600 << 20], False),
    ],
)
def test_free_space_check(tmp_path, monkeypatch, free, sizes, refused):
    monkeypatch.setattr(shutil, "disk_usage", lambda path: Usage(free * 2, free, free))
    paths = [(tmp_path / "new" / f"f{i}.fits", size) for i, size in enumerate(sizes)]
    if refused:
        with pytest.raises(output.OutputError, match=f"not enough free space in {tmp_path}: "
                                                     r"the capture needs [\d.]+ [MG]B"):
            output.check_free_space(paths)
    else:
        output.check_free_space(paths)
    assert not (tmp_path / "new").exists()


@pytest.mark.parametrize("count, text", [(999, "999 bytes"), (1500, "1.5 kB"),
                                         (157 * 10**9, "157.0 GB")])
def test_format_bytes(count, text):
    assert output.format_bytes(count) == text


def metadata(**kw):
    start = dt.datetime(2026, 12, 7, 21, 30, 5)
    values = dict(camera="ZWO ASI174MM", camera_id=0, roi=Roi(16, 6, 1, "raw16", 0, 0),
                  exposure=0.01, gain=None, offset=None, temperature=None, bayer=None,
                  start=start, end=start)
    values.update(kw)
    return FrameMetadata(**values)


def test_cube_stopped_early_keeps_the_frames_written(tmp_path):
    meta = metadata(frames=5)
    frames = [np.full((6, 16), 1000 * (i + 1), np.uint16) for i in range(3)]
    writer = fitsfile.FitsWriter(tmp_path / "c.fits", fitsfile.build_header(meta, 5))
    for frame in frames:
        writer.write(frame)
    meta.frames = 3
    writer.close_frames(fitsfile.build_header(meta, 3))
    with fits.open(tmp_path / "c.fits") as hdul:
        hdul.verify("exception")
        assert hdul[0].header["NFRAMES"] == 3
        np.testing.assert_array_equal(hdul[0].data, np.stack(frames))
    assert (tmp_path / "c.fits").stat().st_size % 2880 == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.fits"]


NOW = dt.datetime(2026, 12, 7, 21, 30, 5, 42_999, tzinfo=dt.timezone.utc)


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, "video-20261207-213005-042"),
        ("demo", "demo"),
        ("out/demo.fits", "out/demo"),
        ("out/demo.SER", "out/demo"),
        ("m31.v2", "m31.v2"),  # a dot in the name is not an extension to drop
        ("ex/", "ex/video-20261207-213005-042"),  # a trailing separator means "inside"
        ("a/b/", "a/b/video-20261207-213005-042"),
    ],
)
def test_output_base(given, expected):
    assert output.output_base(given, "video", NOW).as_posix() == expected
    if given is None or given.endswith("/"):  # the default name says which camera took it
        named = output.output_base(given, "video", NOW, "ASI120MM-Mini").as_posix()
        assert named == expected.replace("video-", "video-ASI120MM-Mini-")


@pytest.mark.parametrize("given", ["", "out/..", "."])
def test_output_that_names_no_file(given):
    with pytest.raises(ValueError, match="names no file"):
        output.output_base(given, "video", NOW)


def test_frame_numbers_have_one_width_and_sort_in_order():
    names = [output.numbered(Path("run"), n, ".fits").name for n in (1, 2, 10, 99, 100, 12345)]
    assert names[0] == "run_00001.fits"
    assert sorted(names) == names and len({len(n) for n in names}) == 1
