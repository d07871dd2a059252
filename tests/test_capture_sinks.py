"""Video sinks of the capture tool: files complete with the frames written, whatever ends a run."""

import datetime as dt
import errno

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")

import serread  # noqa: E402
from velmora.brinmoor.camera import Frame, FrameMetadata, Roi  # noqa: E402
from velmora.brinmoor.capture import sinks  # noqa: E402
from velmora.brinmoor.formats import fits as fitsfile  # noqa: E402
from velmora.brinmoor.formats import partfile as output  # noqa: E402

START = dt.datetime(2026, 12, 7, 21, 30, 5, tzinfo=dt.timezone.utc)


def frame(n, image_type="raw16", x=0, y=0, bayer=None, width=16, height=6):
    roi = Roi(width, height, 1, image_type, x, y)
    rng = np.random.default_rng(n)
    data = rng.integers(0, 256, size=roi.frame_bytes, dtype=np.uint8).tobytes()
    start = START + dt.timedelta(milliseconds=10 * n)
    meta = FrameMetadata(camera="ZWO ASI174MM", camera_id=0, roi=roi, exposure=0.005, gain=0,
                         offset=10, temperature=20.0, bayer=bayer, start=start,
                         end=start + dt.timedelta(milliseconds=6), sequence=n, bit_depth=12)
    return Frame(data, meta)


def make(kind, tmp_path, frames=4, **first):
    base = tmp_path / "out" / "run"
    head = frame(0, **first).metadata
    if kind == "cube":
        return sinks.CubeSink(base.with_suffix(".fits"), frames, head, "test", 7.8, False)
    if kind == "frames":
        return sinks.FramesSink(base, frames, head, "test", 7.8, False)
    return sinks.SerSink(base.with_suffix(".ser"), frames, head, False)


def files(tmp_path):
    return sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file())


@pytest.mark.parametrize("kind", ["cube", "frames", "ser"])
def test_plan_creates_nothing(tmp_path, kind):
    plan = make(kind, tmp_path).plan()
    assert len(plan.paths) == (4 if kind == "frames" else 1)
    assert sum(size for _, size in plan.sizes) >= 4 * 16 * 6 * 2
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("kind", ["cube", "frames", "ser"])
def test_a_full_run(tmp_path, kind):
    sink = make(kind, tmp_path)
    sent = [frame(n) for n in range(4)]
    for f in sent:
        sink.write(f)
    message = sink.finish()
    stack = np.stack([f.array for f in sent])
    if kind == "cube":
        assert message == f"wrote {tmp_path}/out/run.fits (4 frames)"
        with fits.open(tmp_path / "out" / "run.fits") as hdul:
            hdul.verify("exception")
            np.testing.assert_array_equal(hdul[0].data, stack)
            header = hdul[0].header
            assert header["NFRAMES"] == 4 and header["EGAIN"] == pytest.approx(7.8 / 16)
            assert header["DATE-OBS"] == "2026-12-07T21:30:05.000"
            assert header["DATE-END"] == "2026-12-07T21:30:05.036"  # the last frame's end
    elif kind == "frames":
        assert files(tmp_path) == [f"out/run_0000{n}.fits" for n in range(1, 5)]
        for n, f in enumerate(sent, start=1):
            np.testing.assert_array_equal(fits.getdata(tmp_path / "out" / f"run_0000{n}.fits"),
                                          f.array)
    else:
        header, data, stamps = serread.read(tmp_path / "out" / "run.ser")
        assert header["frames"] == 4
        np.testing.assert_array_equal(data, stack)
        assert [serread.moment(t) for t in stamps] == [f.metadata.start for f in sent]


@pytest.mark.parametrize("kind", ["cube", "ser"])
def test_a_stopped_run_keeps_the_frames_written(tmp_path, kind):
    sink = make(kind, tmp_path, frames=10)
    sent = [frame(n) for n in range(3)]
    for f in sent:
        sink.write(f)
    assert sink.stop().startswith(f"3 frames written to {tmp_path}/out/run.")
    if kind == "cube":
        with fits.open(tmp_path / "out" / "run.fits") as hdul:
            hdul.verify("exception")
            assert hdul[0].header["NAXIS3"] == hdul[0].header["NFRAMES"] == 3
            np.testing.assert_array_equal(hdul[0].data, np.stack([f.array for f in sent]))
    else:
        assert serread.read(tmp_path / "out" / "run.ser")[0]["frames"] == 3
    assert len(files(tmp_path)) == 1


@pytest.mark.parametrize("kind", ["cube", "frames", "ser"])
def test_a_run_stopped_before_its_first_frame_leaves_no_directory(tmp_path, kind):
    sink = make(kind, tmp_path)
    sink.stop()
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kind", ["cube", "ser"])
def test_a_full_disk_keeps_the_complete_frames(tmp_path, monkeypatch, kind):
    sink = make(kind, tmp_path, frames=10)
    real_write = output.PartFile.write
    frame_bytes = 16 * 6 * 2
    if kind == "cube":
        meta = sinks.header_metadata(frame(0).metadata, "test", 7.8)
        meta.frames = 10
        header_bytes = len(fitsfile.build_header(meta, 10).tostring())
    else:
        header_bytes = 178
    room = {"bytes": header_bytes + 2 * frame_bytes + 50}  # full in the middle of frame 3

    def filling(self, data):
        if len(data) > room["bytes"]:
            real_write(self, bytes(data)[:room["bytes"]])
            room["bytes"] = 0
            raise output.output_error(self.what, self.path,
                                      OSError(errno.ENOSPC, "No space left on device"))
        room["bytes"] -= len(data)
        real_write(self, data)

    monkeypatch.setattr(output.PartFile, "write", filling)
    with pytest.raises(output.OutputError, match="No space left on device"):
        for n in range(10):
            sink.write(frame(n))
        sink.finish()
    room["bytes"] = 4096  # what truncating the partial frame gave back
    assert sink.rescue().startswith(f"the first 2 frames were kept in {tmp_path}/out/run.")
    if kind == "cube":
        with fits.open(tmp_path / "out" / "run.fits") as hdul:
            hdul.verify("exception")
            assert hdul[0].data.shape == (2, 6, 16)
    else:
        assert serread.read(tmp_path / "out" / "run.ser")[0]["frames"] == 2


@pytest.mark.parametrize("x, y, color_id", [(0, 0, 8), (1, 0, 9), (0, 1, 10), (1, 1, 11)])
def test_ser_declares_the_bayer_cell_of_the_frames_own_corner(tmp_path, x, y, color_id):
    sink = sinks.SerSink(tmp_path / "v.ser", 1, frame(0).metadata, False)
    sink.write(frame(0, x=x, y=y, bayer="RGGB"))
    sink.finish()
    assert serread.read(tmp_path / "v.ser")[0]["color_id"] == color_id


def test_a_cube_on_a_full_disk_is_finished_within_the_bytes_it_has(tmp_path, monkeypatch):
    """Frames larger than a FITS block: the padding of the frames kept overwrites bytes of the
    partial frame instead of asking a full disk for more."""
    big = [frame(n, width=64, height=48) for n in range(3)]  # 6144 bytes each
    sink = make("cube", tmp_path, frames=10, width=64, height=48)
    for f in big[:2]:
        sink.write(f)
    # A third frame that reached the disk only in part.
    writer = sink._writer
    writer._file.write(b"\x07" * 150)
    real_write = output.PartFile.write

    def no_room(self, data):
        raise output.output_error(self.what, self.path,
                                  OSError(errno.ENOSPC, "No space left on device"))

    monkeypatch.setattr(output.PartFile, "write", no_room)
    writer._written += 150  # as if counted; the rescue must not rely on appending
    message = sink.rescue()
    monkeypatch.setattr(output.PartFile, "write", real_write)
    # Two frames padded need 12960 bytes, more than the 12438 on disk: one frame is kept.
    assert message == f"the first frame was kept in {tmp_path}/out/run.fits"
    kept = 1
    with fits.open(tmp_path / "out" / "run.fits") as hdul:
        hdul.verify("exception")
        np.testing.assert_array_equal(hdul[0].data, np.stack([f.array for f in big[:kept]]))
