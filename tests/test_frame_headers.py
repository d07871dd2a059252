"""Headers that processing programs can trust: the Bayer pattern follows the start position, the
flip and MonoBin (checked against the simulated sensors' own colours under a white panel); the
observer's keywords; every kind of FITS file read by Astropy without a warning."""

import datetime as dt
import itertools
import warnings

import numpy as np
import pytest

fits = pytest.importorskip("astropy.io.fits")
wcs = pytest.importorskip("astropy.wcs")

import serread  # noqa: E402
from velmora.brinmoor import asisim  # noqa: E402
from velmora.brinmoor.camera import Camera, Roi  # noqa: E402
from velmora.brinmoor.capture import cli, sinks  # noqa: E402
from velmora.brinmoor.formats import FrameMetadata, Observation  # noqa: E402
from velmora.brinmoor.formats import fits as fitsfile  # noqa: E402
from velmora.brinmoor.formats.bayer import BAYER_CELLS, frame_cell  # noqa: E402

COLOUR_MODELS = [m for m in asisim.models() if "MC" in m]


def test_frame_cell_is_the_top_left_of_the_delivered_mosaic():
    """Against the mosaic itself: a sensor's colours cut to a window and mirrored as the Flip
    control mirrors it, read at the delivered frame's first pixel."""
    for cell, flip, x, y, w, h in itertools.product(BAYER_CELLS, range(4), (0, 1, 2), (0, 1),
                                                    (8, 9), (2, 3)):
        sensor = np.array(list(cell)).reshape(2, 2)
        colours = np.tile(sensor, (8, 8))[y:y + h, x:x + w]
        if flip & 1:
            colours = colours[:, ::-1]
        if flip & 2:
            colours = colours[::-1, :]
        assert frame_cell(cell, x, y, w, h, flip) == "".join(colours[:2, :2].ravel()), \
            (cell, flip, x, y, w, h)


def sites_cell(frame):
    """The cell a white panel shows: blue the faintest site, red the next, green the others."""
    a = frame.astype(float)
    means = [a[dy::2, dx::2].mean() for dy in (0, 1) for dx in (0, 1)]
    order = np.argsort(means)
    cell = ["G"] * 4
    cell[order[0]], cell[order[1]] = "B", "R"
    return "".join(cell), means


@pytest.fixture
def panel(sim):
    sim.reset(COLOUR_MODELS)
    sim.set_time_scale(1e5)
    sim.ideal()
    return sim


@pytest.mark.parametrize("index", range(len(COLOUR_MODELS)))
def test_bayer_pattern_follows_flip_binning_and_mono_bin_on_every_colour_model(
        panel, tmp_path, index):
    with Camera(index) as cam:
        panel.flat_panel(cam.id, 20_000)
        cam.gain = 0
        for bin, mono_bin, flip in itertools.product((1, 2), (False, True), range(4)):
            cam.flip = flip
            cam.mono_bin = mono_bin
            cam.set_roi(Roi(64, 64, bin, "raw16", 8, 6))
            frame = cam.expose(0.01)
            meta = frame.metadata
            seen, means = sites_cell(frame.array)
            path = frame.to_fits(tmp_path / f"f{bin}{mono_bin:d}{flip}.fits")
            header = fits.getheader(path)
            if mono_bin and bin > 1:  # four colours summed in every pixel: a grey frame
                # (the colours differ by some 10 %; what is left is noise)
                assert max(means) - min(means) < 0.01 * np.mean(means), means
                assert meta.bayer is None and meta.frame_bayer is None
                assert "BAYERPAT" not in header and "XBAYROFF" not in header
                continue
            assert meta.frame_bayer == seen, (bin, mono_bin, flip, means)
            assert header["BAYERPAT"] == seen
            assert (header["XBAYROFF"], header["YBAYROFF"]) == (0, 0)


def test_a_mono_binned_video_is_a_mono_ser(panel, tmp_path):
    with Camera(0) as cam:
        cam.mono_bin = True
        cam.set_roi(Roi(64, 48, 2, "raw16"))
        with cam.stream(frames=2) as frames:
            taken = list(frames)
    sink = sinks.SerSink(tmp_path / "v.ser", 2, taken[0].metadata, overwrite=False)
    for frame in taken:
        sink.write(frame)
    sink.finish()
    header, _, _ = serread.read(tmp_path / "v.ser")
    assert header["color_id"] == 0  # MONO, not RGGB (8)


def metadata(**kw):
    start = dt.datetime(2026, 12, 7, 21, 30, 5, 123456)
    values = dict(camera="ZWO ASI294MC Pro", camera_id=0, roi=Roi(16, 6, 1, "raw16", 0, 0),
                  exposure=2.5, gain=120, offset=30, temperature=-10.0, bayer="RGGB",
                  start=start, end=start)
    values.update(kw)
    return FrameMetadata(**values)


def test_observation_keywords_are_written():
    obs = Observation("M31", "Ha", "RC8 f/8", "A. Observer's", 47.5, -71.25, 312.0)
    header = fitsfile.build_header(metadata(observation=obs))
    assert (header["OBJECT"], header["FILTER"], header["TELESCOP"], header["OBSERVER"]) == (
        "M31", "Ha", "RC8 f/8", "A. Observer's")
    assert (header["SITELAT"], header["SITELONG"], header["SITEELEV"]) == (47.5, -71.25, 312.0)
    assert "OBJECT" not in fitsfile.build_header(metadata())


@pytest.mark.parametrize("text, reason", [
    ("M31 \u2013 Andromeda", "a FITS header cannot carry"),
    ("Ha\n", "a FITS header cannot carry"),
    ("x" * 69, "longer than the 68 characters"),
])
def test_text_a_fits_header_cannot_hold_is_refused(text, reason):
    with pytest.raises(ValueError, match=reason):
        fitsfile.build_header(metadata(observation=Observation(object=text)))


def astropy_reads_clean(path):
    """Open, verify every card and build the WCS with every warning an error."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with fits.open(path) as hdul:
            hdul.verify("exception")
            header = hdul[0].header
            wcs.WCS(header)
    return header


@pytest.fixture
def fast(sim):
    sim.set_time_scale(1000)
    return sim


OBSERVED = ["--object", "M 31", "--filter", "Ha", "--telescope", "RC8", "--observer", "Me",
            "--site-latitude", "47:30", "--site-longitude=-71.25", "--site-elevation", "312"]
SMALL = ["--width", "64", "--height", "48", "-q"]


def test_every_kind_of_fits_file_reads_clean_in_astropy(fast, tmp_path, capsys):
    fast.point(0, 10.68, 41.27, 30.0)  # a pointed camera: its snapshots carry a WCS
    assert cli.main(["snapshot", "-e", "0.01", *SMALL, "--no-png", *OBSERVED,
                     "-o", str(tmp_path / "shot")]) == 0
    # Camera 1 does not know where it points: the telescope given is written all the same.
    assert cli.main(["video", "-c", "1", *SMALL, "-n", "3", "--save", "cube", *OBSERVED,
                     "--focal-length", "800", "-o", str(tmp_path / "cube")]) == 0
    assert cli.main(["sequence", *SMALL, "--lights", "2x0.01", "--darks", "1", "--bias", "1",
                     *OBSERVED, "-o", str(tmp_path / "night")]) == 0
    capsys.readouterr()
    shot = astropy_reads_clean(tmp_path / "shot.fits")
    assert "CTYPE1" in shot and shot["OBJECT"] == "M 31"
    cube = astropy_reads_clean(tmp_path / "cube.fits")
    assert (cube["NFRAMES"], cube["FOCALLEN"]) == (3, 800.0)
    files = sorted((tmp_path / "night").rglob("*.fits"))
    # The filter names the folder of each kind's frames, where the recipes take a set from.
    assert sorted({p.parent.relative_to(tmp_path / "night").as_posix() for p in files}) == [
        "BIAS/Ha", "DARK/Ha", "LIGHT/Ha"]
    for path in files:
        header = astropy_reads_clean(path)
        assert (header["FILTER"], header["SITELAT"], header["SITELONG"]) == ("Ha", 47.5, -71.25)


@pytest.mark.parametrize("argv, message", [
    (["--object", "M31 \u2013 Andromeda"], "object 'M31 \u2013 Andromeda' holds '\u2013', which "
                                           "a FITS header cannot carry"),
    (["--filter", ".."], "filter '..' names no filter"),
    (["--site-latitude", "91"], "site latitude '91' is outside -90 to +90 degrees"),
])
def test_a_value_no_header_can_hold_is_refused_in_one_line(capsys, argv, message):
    assert cli.main(["snapshot", *argv]) == 2
    err = capsys.readouterr().err
    assert message in err and err.count("\n") == 1, err


@pytest.mark.parametrize("kind", ["exposure", "video"])
def test_frames_are_dated_on_the_simulated_date(fast, tmp_path, kind):
    fast.set_date(dt.date(2100, 3, 1))
    with Camera(1) as cam:
        cam.set_roi(Roi(64, 48, 1, "raw16"))
        if kind == "exposure":
            frame = cam.expose(0.01)
        else:
            with cam.stream(frames=1) as stream:
                (frame,) = list(stream)
    start = frame.metadata.start
    # The day the stars stand at, give or take the time since the library was loaded.
    assert dt.date(2100, 3, 1) <= start.date() <= dt.date(2100, 3, 3) and frame.metadata.end >= start
    header = fits.getheader(frame.to_fits(tmp_path / "f.fits"))
    assert header["DATE-OBS"].startswith("2100-03-0")
    assert header["MJD-OBS"] == pytest.approx(88128 + (start - dt.datetime(2100, 3, 1, tzinfo=dt.timezone.utc))
                                              / dt.timedelta(days=1), abs=1e-6)
    fast.set_date(None)
    assert fast.date_offset() == 0.0
