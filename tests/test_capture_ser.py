"""SER video files, read back with an independent reader (serread) written from the format's
published description."""

import datetime as dt
import errno

import pytest

np = pytest.importorskip("numpy")

import serread  # noqa: E402
from velmora.brinmoor.formats import partfile as output  # noqa: E402
from velmora.brinmoor.formats import ser as serfile  # noqa: E402

START = dt.datetime(2026, 12, 7, 21, 30, 5, 250000, tzinfo=dt.timezone.utc)


def camera_bytes(img_type, width, height, seed):
    """Frames as the camera delivers them: RAW16 little-endian, RGB24 as B, G, R."""
    rng = np.random.default_rng(seed)
    if img_type == "raw16":
        return rng.integers(0, 4096, size=(height, width), dtype=np.uint16).astype("<u2") << 4
    shape = (height, width, 3) if img_type == "rgb24" else (height, width)
    return rng.integers(0, 256, size=shape, dtype=np.uint8)


@pytest.mark.parametrize(
    "img_type, cell, color_id, depth",
    [
        ("raw8", None, 0, 8),
        ("raw16", None, 0, 16),
        ("raw8", "RGGB", 8, 8),
        ("raw16", "GRBG", 9, 16),
        ("raw8", "GBRG", 10, 8),
        ("raw16", "BGGR", 11, 16),
        ("rgb24", None, 101, 8),  # the camera's B, G, R order, declared as such
        ("y8", None, 0, 8),
    ],
)
@pytest.mark.parametrize("queue_bytes", [0, 2000])  # written in the caller's thread, or a queue's
def test_frames_header_and_timestamps_read_back(tmp_path, img_type, cell, color_id, depth,
                                                queue_bytes):
    width, height = 24, 10
    frames = [camera_bytes(img_type, width, height, seed) for seed in range(3)]
    stamps = [serfile.ticks(START + dt.timedelta(milliseconds=7 * i)) for i in range(3)]
    writer = serfile.SerWriter(tmp_path / "v.ser", width=width, height=height, img_type=img_type,
                               bayer_cell=cell, instrument="ZWO ASI174MM", start=START,
                               queue_bytes=queue_bytes)
    for frame, stamp in zip(frames, stamps):
        writer.write_frame(frame.tobytes(), stamp)
    assert not (tmp_path / "v.ser").exists()  # only a finished file has its name
    writer.close()

    header, data, trailer = serread.read(tmp_path / "v.ser")
    assert header["color_id"] == color_id and header["depth"] == depth
    assert (header["width"], header["height"], header["frames"]) == (width, height, 3)
    assert header["little_endian_flag"] == 0 and header["lu_id"] == 0
    assert header["instrument"] == "ZWO ASI174MM"
    assert serread.moment(header["date_time_utc"]) == START
    np.testing.assert_array_equal(data, np.stack(frames))
    assert [serread.moment(t) for t in trailer] == [START + dt.timedelta(milliseconds=7 * i)
                                                    for i in range(3)]
    assert (tmp_path / "v.ser").stat().st_size == serfile.file_bytes(width, height, img_type, 3)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["v.ser"]


def test_local_start_time_is_utc_shifted_by_the_zone(tmp_path, monkeypatch):
    monkeypatch.setenv("TZ", "Asia/Kolkata")  # +05:30 all year
    import time
    time.tzset()
    try:
        writer = serfile.SerWriter(tmp_path / "v.ser", width=8, height=2, img_type="raw8",
                                   start=START)
        writer.close()
    finally:
        monkeypatch.delenv("TZ")
        time.tzset()
    header, _, trailer = serread.read(tmp_path / "v.ser")
    assert header["date_time"] - header["date_time_utc"] == 5.5 * 3600 * 10**7
    assert header["frames"] == 0 and trailer is None


def test_timestamps_default_to_the_moment_of_writing(tmp_path):
    writer = serfile.SerWriter(tmp_path / "v.ser", width=8, height=2, img_type="raw8")
    before = dt.datetime.now(dt.timezone.utc)
    writer.write_frame(bytes(16))
    after = dt.datetime.now(dt.timezone.utc)
    writer.close()
    _, _, trailer = serread.read(tmp_path / "v.ser")
    assert before - dt.timedelta(milliseconds=1) <= serread.moment(trailer[0]) <= after


def test_a_frame_of_the_wrong_size_is_refused(tmp_path):
    with serfile.SerWriter(tmp_path / "v.ser", width=8, height=2, img_type="raw16") as writer:
        with pytest.raises(ValueError, match="17 bytes does not match"):
            writer.write_frame(bytes(17))
        writer.close()


@pytest.mark.parametrize("queue_bytes", [0, 1 << 20])
@pytest.mark.parametrize("trailer_fits", [True, False])
def test_a_full_disk_keeps_the_complete_frames(tmp_path, monkeypatch, trailer_fits, queue_bytes):
    writer = serfile.SerWriter(tmp_path / "v.ser", width=8, height=2, img_type="raw8",
                               queue_bytes=queue_bytes)
    frames = [bytes([i]) * 16 for i in range(1, 4)]
    real_write = output.PartFile.write
    budget = {"bytes": 2 * 16 + 7}  # the disk fills in the middle of the third frame

    def filling_write(self, data):
        if budget["bytes"] < len(data):
            real_write(self, bytes(data)[:budget["bytes"]])
            budget["bytes"] = 0
            raise output.output_error(self.what, self.path,
                                      OSError(errno.ENOSPC, "No space left on device"))
        budget["bytes"] -= len(data)
        real_write(self, data)

    monkeypatch.setattr(output.PartFile, "write", filling_write)
    with pytest.raises(output.OutputError, match="v.ser failed: No space left"):
        for frame in frames:
            writer.write_frame(frame)
        writer.close()  # a writing thread's failure shows here at the latest
    assert writer.frames_written == 2
    if trailer_fits:
        budget["bytes"] = 1 << 20  # some room came free
    assert writer.close_after_error() == tmp_path / "v.ser"
    header, data, trailer = serread.read(tmp_path / "v.ser")
    assert header["frames"] == 2
    assert data.tobytes() == frames[0] + frames[1]
    assert (trailer is not None) == trailer_fits
    assert sorted(p.name for p in tmp_path.iterdir()) == ["v.ser"]


@pytest.mark.parametrize("queue_bytes", [0, 1 << 20])
def test_aborted_file_leaves_nothing(tmp_path, queue_bytes):
    with pytest.raises(RuntimeError):
        with serfile.SerWriter(tmp_path / "out" / "v.ser", width=8, height=2, img_type="raw8",
                               queue_bytes=queue_bytes) as w:
            w.write_frame(bytes(16))
            raise RuntimeError("camera gone")
    assert list(tmp_path.iterdir()) == []
    assert w._thread is None or not w._thread.is_alive()


@pytest.mark.parametrize("moment", [dt.datetime(1970, 1, 1), dt.datetime(2026, 12, 7, 1, 2, 3, 456789),
                                    dt.datetime(1, 1, 1, 0, 0, 1)])
def test_ticks_count_100ns_from_year_one(moment):
    expected = (moment - dt.datetime(1, 1, 1)) // dt.timedelta(microseconds=1) * 10
    assert serfile.ticks(moment) == expected
    assert serfile.datetime_from_ticks(expected) == moment.replace(tzinfo=dt.timezone.utc)
