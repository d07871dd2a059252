"""The capture tool's pure parts: command line, frame decoding, debayering, stretch, FITS output."""

import datetime as dt
import io
import itertools
import shlex
import sys
import warnings

import pytest
from packaging.requirements import Requirement

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")

from velmora.brinmoor.capture import cli, common, imaging, progress, quality  # noqa: E402
from velmora.brinmoor.formats import FrameMetadata, Roi  # noqa: E402
from velmora.brinmoor.formats import fits as fitsfile  # noqa: E402

# -- command line ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "argv, fragment",
    [
        ([], "required"),
        (["shoot"], "invalid choice"),
        (["snapshot", "--exposure", "0"], "must be greater than 0"),
        (["snapshot", "--exposure", "-1"], "must be greater than 0"),
        (["snapshot", "--exposure", "abc"], "is not a number"),
        (["snapshot", "--exposure", "nan"], "finite"),
        (["snapshot", "--exposure", "inf"], "finite"),
        (["snapshot", "--gain", "1.5"], "whole number"),
        (["snapshot", "--bin", "0"], "must be greater than 0"),
        (["snapshot", "--width", "-8"], "must be greater than 0"),
        (["snapshot", "--start-x", "-2"], "must not be negative"),
        (["snapshot", "--type", "rgb48"], "invalid choice"),
        (["snapshot", "--stretch", "log"], "invalid choice"),
        (["snapshot", "--camera", "-1"], "must not be negative"),
        (["snapshot", "--cooler-wait", "-5"], "must not be negative"),
        (["info", "--camera", "x"], "whole number"),
        (["video", "--frames", "0"], "must be greater than 0"),
        (["video", "--save", "gif"], "invalid choice"),
        (["video", "--frame-timeout", "0"], "must be greater than 0"),
        (["list", "--camera", "0"], "unrecognized arguments"),
    ],
)
def test_bad_arguments_exit_2_with_a_message(argv, fragment, capsys):
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert fragment in err
    # One line, as the tool's other errors, pointing at the help rather than printing the usage.
    assert err.count("\n") == 1 and err.startswith("orvik-capture") and ": error: " in err
    assert err.rstrip().endswith("--help')") and "usage:" not in err


def test_nothing_to_write_is_refused_before_any_camera_is_touched(capsys):
    assert cli.main(["snapshot", "--no-fits", "--no-png"]) == 2
    assert "would write nothing" in capsys.readouterr().err


@pytest.mark.parametrize("module", ["astropy.io.fits", "PIL.Image", "numpy"])
def test_missing_extra_is_named_with_its_install_command(monkeypatch, capsys, module):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail
    assert cli.main(["snapshot", "-c", "7"]) == 1
    err = capsys.readouterr().err
    assert "could not be imported" in err
    # Installs into the interpreter running the tool, by package names that resolve on any index
    # (the project itself may come from a clone, not from an index).
    command = err.rsplit("install the capture tool's extras with: ", 1)[1].strip()
    assert shlex.split(command)[:4] == [sys.executable, "-m", "pip", "install"]
    assert {Requirement(r).name for r in shlex.split(command)[4:]} == {"numpy", "astropy", "pillow"}
    assert "camera" not in err  # refused before any camera was looked up


@pytest.mark.parametrize(
    "given, expected",
    [
        ("demo", "demo"),
        ("out/demo.fits", "out/demo"),
        ("out/demo.FIT", "out/demo"),
        ("demo.png", "demo"),
        ("m31.v2", "m31.v2"),  # a dot in the name is not an extension to drop
        ("night.2026-12-07", "night.2026-12-07"),
    ],
)
def test_output_base(given, expected):
    assert common.output_base(given, "snapshot").as_posix() == expected


# -- frames ------------------------------------------------------------------------------------

def test_raw16_is_little_endian_and_row_major():
    from velmora.brinmoor.camera import frame_array

    data = bytes([0x34, 0x12, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x80])
    frame = frame_array(data, 3, 2, "raw16")
    assert frame.dtype == np.uint16
    assert frame.tolist() == [[0x1234, 0xFFFF, 0], [1, 2, 0x8003]]


def test_rgb24_arrives_as_bgr_and_is_returned_as_rgb():
    from velmora.brinmoor.camera import frame_array

    data = bytes([10, 20, 30, 40, 50, 60])  # two pixels, each B, G, R
    frame = frame_array(data, 2, 1, "rgb24")
    assert frame.shape == (1, 2, 3)
    assert frame[0].tolist() == [[30, 20, 10], [60, 50, 40]]


@pytest.mark.parametrize(
    "cell, dx, dy, expected",
    [
        ("RGGB", 0, 0, "RGGB"),
        ("RGGB", 1, 0, "GRBG"),
        ("RGGB", 0, 1, "GBRG"),
        ("RGGB", 1, 1, "BGGR"),
        ("BGGR", 1, 1, "RGGB"),
        ("GRBG", 2, 3, "BGGR"),
    ],
)
def test_shifted_cell(cell, dx, dy, expected):
    assert imaging.shifted_cell(cell, dx, dy) == expected


def mosaic(rgb, cell):
    """The Bayer samples a sensor with this cell records of an (h, w, 3) scene."""
    h, w, _ = rgb.shape
    raw = np.empty((h, w), dtype=rgb.dtype)
    for k, (dy, dx) in enumerate(((0, 0), (0, 1), (1, 0), (1, 1))):
        c = "RGB".index(cell[k])
        raw[dy::2, dx::2] = rgb[dy::2, dx::2, c]
    return raw


@pytest.mark.parametrize("cell", imaging.BAYER_CELLS)
def test_debayer_of_a_uniform_scene_is_uniform_up_to_the_borders(cell):
    scene = np.empty((6, 8, 3), dtype=np.uint16)
    scene[...] = (2000, 1000, 500)
    rgb = imaging.debayer(mosaic(scene, cell), cell)
    assert rgb.shape == (6, 8, 3)
    np.testing.assert_allclose(rgb, scene.astype(np.float32), rtol=1e-6)


@pytest.mark.parametrize("cell", imaging.BAYER_CELLS)
def test_debayer_reproduces_a_linear_ramp_inside_the_frame(cell):
    # Bilinear interpolation is exact on a linear scene away from the border.
    y, x = np.mgrid[0:10, 0:12].astype(np.float32)
    scene = np.stack([100 + 10 * x, 300 + 5 * y, 50 + 2 * x + 3 * y], axis=-1)
    rgb = imaging.debayer(mosaic(scene, cell), cell)
    np.testing.assert_allclose(rgb[1:-1, 1:-1], scene[1:-1, 1:-1], rtol=1e-5)


def sky(shape=(200, 300), background=0.05, sigma=0.004, seed=1):
    rng = np.random.default_rng(seed)
    img = rng.normal(background, sigma, size=shape).astype(np.float32)
    img[50, 60] = 0.9
    img[120, 200] = 0.4
    return np.clip(img, 0, 1)


def test_auto_stretch_puts_the_background_near_the_target():
    img = sky()
    out = imaging.auto_stretch(img).apply(img)
    assert float(np.median(out)) == pytest.approx(0.25, abs=0.02)
    # Order is kept: the brighter star stays brighter, both above the sky.
    assert out[50, 60] > out[120, 200] > np.percentile(out, 99)
    assert out.min() >= 0.0 and out.max() <= 1.0


@pytest.mark.parametrize("method", imaging.STRETCHES)
def test_stretches_are_monotonic(method):
    img = sky()
    stretch = imaging.choose_stretch(method, img)
    ramp = np.linspace(0, 1, 1001, dtype=np.float32)
    assert np.all(np.diff(stretch.apply(ramp)) >= 0)


@pytest.mark.parametrize("level, expected", [(0.0, 0), (0.4, 102), (1.0, 255)])
def test_flat_frames_stretch_to_their_level_without_warnings(level, expected):
    img = np.full((16, 16), level, dtype=np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with np.errstate(all="raise"):
            for method in imaging.STRETCHES:
                out = imaging.preview(
                    np.full((16, 16), round(level * 255), dtype=np.uint8), "y8", None, method
                )
                assert out.dtype == np.uint8
            stretched = imaging.auto_stretch(img).apply(img)
    assert np.all(np.isfinite(stretched))
    assert np.all(np.rint(stretched * 255) == expected)


@pytest.mark.parametrize("cell", imaging.BAYER_CELLS)
def test_preview_of_a_raw_colour_frame_keeps_a_red_star_red(cell):
    rng = np.random.default_rng(5)
    scene = rng.normal(1000, 20, size=(40, 40, 3))
    scene[18:22, 18:22, 0] = 30000  # a red star: bright in R only
    raw = mosaic(np.clip(scene, 0, 65535).astype(np.uint16), cell)
    out = imaging.preview(raw, "raw16", cell).astype(float)
    r, g, b = out[18:22, 18:22].mean(axis=(0, 1))
    assert r > 240 and g < 128 and b < 128


@pytest.mark.parametrize(
    "img_type, cell", [("raw16", "GRBG"), ("raw8", "RGGB"), ("raw16", None), ("rgb24", None)]
)
def test_preview_in_bands_matches_the_whole_frame(monkeypatch, img_type, cell):
    rng = np.random.default_rng(11)
    dtype = np.uint16 if img_type == "raw16" else np.uint8
    shape = (38, 24, 3) if img_type == "rgb24" else (38, 24)
    frame = rng.integers(0, np.iinfo(dtype).max, size=shape, dtype=dtype)
    whole = imaging.preview(frame, img_type, cell)
    monkeypatch.setattr(imaging, "_BAND_ROWS", 6)  # many bands, the last one short
    np.testing.assert_array_equal(imaging.preview(frame, img_type, cell), whole)


# -- FITS --------------------------------------------------------------------------------------

def metadata(img_type="raw16", bayer="RGGB", **kw):
    start = dt.datetime(2026, 12, 7, 21, 30, 5, 123456)
    values = dict(
        camera="ZWO ASI294MC Pro", camera_id=0, roi=Roi(16, 6, 2, img_type, 3, 4), exposure=2.5,
        start=start, end=start, gain=120, offset=30, temperature=-9.96, pixel_size=4.63,
        bayer=bayer, bit_depth=14,
    )
    values.update(kw)
    return FrameMetadata(**values)


_SAMPLE_RNG = np.random.default_rng(7)


def sample_frame(img_type, rng=_SAMPLE_RNG):
    if img_type == "raw16":
        frame = rng.integers(0, 65536, size=(6, 16), dtype=np.uint16)
        frame[0, :2] = (0, 65535)  # both ends of the range survive BZERO
        return frame
    if img_type == "rgb24":
        return rng.integers(0, 256, size=(6, 16, 3), dtype=np.uint8)
    return rng.integers(0, 256, size=(6, 16), dtype=np.uint8)


@pytest.mark.parametrize(
    "img_type, bitpix, bzero, naxis",
    [("raw8", 8, None, 2), ("y8", 8, None, 2), ("raw16", 16, 32768, 2), ("rgb24", 8, None, 3)],
)
def test_fits_round_trip(tmp_path, monkeypatch, img_type, bitpix, bzero, naxis):
    monkeypatch.setattr(fitsfile, "_CHUNK_BYTES", 40)  # written a row or two at a time
    frame = sample_frame(img_type)
    path = fitsfile.write_fits(tmp_path / "f.fits", frame, metadata(img_type))
    assert path.stat().st_size % 2880 == 0
    with fits.open(path) as hdul:
        hdul.verify("exception")
        header, data = hdul[0].header, hdul[0].data
        assert header["BITPIX"] == bitpix and header["NAXIS"] == naxis
        assert header.get("BZERO") == bzero
        assert (header["NAXIS1"], header["NAXIS2"]) == (16, 6)
        if img_type == "rgb24":
            assert header["NAXIS3"] == 3
            np.testing.assert_array_equal(data, np.moveaxis(frame, -1, 0))  # R, G, B planes
        else:
            np.testing.assert_array_equal(data, frame)


def test_fits_header_keywords(tmp_path):
    path = fitsfile.write_fits(tmp_path / "f.fits", sample_frame("raw16"), metadata())
    with fits.open(path) as hdul:
        hdul.verify("exception")  # astropy's own check of every card
        header = hdul[0].header
    assert header["EXPTIME"] == 2.5
    assert header["GAIN"] == 120 and header["OFFSET"] == 30
    assert header["CCD-TEMP"] == -10.0
    assert header["XBINNING"] == header["YBINNING"] == 2
    assert header["XPIXSZ"] == header["YPIXSZ"] == pytest.approx(9.26)
    assert header["INSTRUME"] == "ZWO ASI294MC Pro"
    assert header["DATE-OBS"] == "2026-12-07T21:30:05.123"
    assert header["DATE-END"] == "2026-12-07T21:30:07.623"  # start + exposure
    # MJD 61381 is 2026-12-07; the fraction is 21:30:05.123 of the day, to about a millisecond.
    assert header["MJD-OBS"] == pytest.approx(61381 + (21 * 3600 + 30 * 60 + 5.123) / 86400,
                                              abs=2e-8)
    assert header["IMAGETYP"] == "Light Frame"
    assert header["PIXFMT"] == "RAW16" and "FRAMETYP" not in header
    # The origin at x 3, y 4 starts on the RGGB sensor's second column: the data's own pattern,
    # with no offsets left for a reader to apply.
    assert header["BAYERPAT"] == "GRBG"
    assert (header["XBAYROFF"], header["YBAYROFF"]) == (0, 0)
    assert (header["XORGSUBF"], header["YORGSUBF"]) == (3, 4)
    assert header["ROWORDER"] == "TOP-DOWN"
    assert "EGAIN" not in header  # at gain 120 the camera's factor (at gain 0) does not apply


def test_mjd_agrees_with_astropy_time():
    time = pytest.importorskip("astropy.time")
    moment = dt.datetime(2024, 2, 29, 23, 59, 59, 999000)
    assert fitsfile.mjd(moment) == pytest.approx(time.Time(moment, scale="utc").mjd, abs=1e-9)


@pytest.mark.parametrize(
    "kind, dark, imagetyp",
    [(None, False, "Light Frame"), (None, True, "Dark Frame"), ("bias", True, "Bias Frame"),
     ("flat", False, "Flat Frame"), ("dark", False, "Dark Frame")],
)
def test_imagetyp(kind, dark, imagetyp):
    cards = {k: v for k, v, _ in fitsfile.header_cards(metadata(kind=kind, dark=dark))}
    assert cards["IMAGETYP"] == imagetyp


@pytest.mark.parametrize(
    "img_type, gain, bit_depth, egain",
    [
        ("raw16", 0, 12, 3.2 / 16),  # RAW16 values step by 16 on a 12-bit sensor
        ("raw16", 0, 16, 3.2),
        ("raw8", 0, 12, 3.2 * 16),  # RAW8 holds the top 8 of 12 bits
        ("raw16", 1, 12, None),  # the factor is reported for gain 0 only
        ("rgb24", 0, 12, None),  # computed from several pixels: no single factor
        ("y8", 0, 12, None),
    ],
)
def test_egain_describes_the_files_values(img_type, gain, bit_depth, egain):
    meta = metadata(img_type, gain=gain, bit_depth=bit_depth, electrons_per_adu=3.2)
    cards = {k: v for k, v, _ in fitsfile.header_cards(meta)}
    assert cards.get("EGAIN") == (pytest.approx(egain) if egain is not None else None)


@pytest.mark.parametrize("img_type", ["raw8", "raw16", "rgb24", "y8"])
@pytest.mark.parametrize("cooled", [False, True])
def test_written_headers_pass_astropy_verify(tmp_path, img_type, cooled):
    meta = metadata(img_type, gain=0, electrons_per_adu=3.94,
                    set_temperature=-10.0 if cooled else None)
    path = fitsfile.write_fits(tmp_path / "f.fits", sample_frame(img_type), meta)
    with fits.open(path) as hdul:
        hdul.verify("exception")
        header = hdul[0].header
    assert ("SET-TEMP" in header) == cooled
    # Bayer keywords only where the data are the mosaic.
    assert ("BAYERPAT" in header) == (img_type in ("raw8", "raw16"))
    assert ("EGAIN" in header) == (img_type in ("raw8", "raw16"))


def test_streamed_cube_with_final_header(tmp_path):
    meta = metadata("raw16", frames=3, end=dt.datetime(2026, 12, 7, 21, 30, 5))
    frames = [sample_frame("raw16") for _ in range(3)]
    writer = fitsfile.FitsWriter(tmp_path / "c.fits", fitsfile.build_header(meta, 3))
    for f in frames:
        writer.write(f)
    assert not (tmp_path / "c.fits").exists()  # only complete files carry the final name
    meta.end = dt.datetime(2026, 12, 7, 21, 31, 0, 250000)
    writer.close(fitsfile.build_header(meta, 3))
    with fits.open(tmp_path / "c.fits") as hdul:
        assert hdul[0].data.shape == (3, 6, 16)
        np.testing.assert_array_equal(hdul[0].data, np.stack(frames))
        assert hdul[0].header["DATE-END"] == "2026-12-07T21:31:00.250"
        assert hdul[0].header["NFRAMES"] == 3
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.fits"]


def test_incomplete_or_failed_fits_leaves_no_file(tmp_path):
    meta = metadata("raw8")
    writer = fitsfile.FitsWriter(tmp_path / "c.fits", fitsfile.build_header(meta, 2))
    writer.write(sample_frame("raw8"))
    with pytest.raises(ValueError, match="incomplete"):
        writer.close()
    with pytest.raises(RuntimeError):
        with fitsfile.FitsWriter(tmp_path / "d.fits", fitsfile.build_header(meta)) as w:
            raise RuntimeError("camera gone")
    with pytest.raises(ValueError, match="more data"):
        with fitsfile.FitsWriter(tmp_path / "e.fits", fitsfile.build_header(meta)) as w:
            w.write(sample_frame("raw8"))
            w.write(sample_frame("raw8"))
    assert list(tmp_path.iterdir()) == []


# -- frame checks and progress -----------------------------------------------------------------

@pytest.mark.parametrize(
    "spread, lit, img_type, warned",
    [
        (1, 0, "raw8", True),  # read noise over two levels, nothing else
        (3, 9, "raw8", True),  # three levels, and 9 of 10000 pixels above: under 0.1 %
        (3, 11, "raw8", False),
        (4, 0, "raw8", False),  # a fourth level: the sky starts to show
        (1, 0, "raw16", True),
        (200, 0, "raw16", False),  # 16-bit noise: many levels
    ],
)
def test_underexposure_warning(spread, lit, img_type, warned):
    dtype = np.uint16 if img_type == "raw16" else np.uint8
    rng = np.random.default_rng(3)
    frame = (31 + rng.integers(0, spread, size=(100, 100))).astype(dtype)
    frame.flat[:lit] = 200
    text = quality.underexposure_warning(frame, img_type, 0.01, 50)
    assert (text is not None) == warned
    if warned:
        assert "at the black level (31)" in text and "-e" in text and "higher gain than 50" in text
        assert ("-t raw16" in text) == (img_type == "raw8")


def test_progress_never_shows_more_than_the_total(monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    clock = itertools.count(start=1.0)
    monkeypatch.setattr(progress.time, "monotonic", lambda: next(clock))  # every update draws
    screen = Terminal()
    bar = progress.Progress("Exposure 2 s", 2.0, "s", stream=screen)
    for done in (0.1, 1.1, 2.0, 2.1, 2.6):  # the readout runs on after the exposure time
        bar.update(done)
    shown = [line.split("] ")[1].split()[0] for line in screen.getvalue().split("\r\033[K")[1:]]
    assert shown == ["0.1/2.0", "1.1/2.0", "2.0/2.0", "2.0/2.0", "2.0/2.0"]


def test_a_stop_request_waits_for_a_held_step_and_is_raised_after_it():
    import os
    import signal

    from velmora.brinmoor.capture.stopping import Stopped, stop_on_signals
    from velmora.brinmoor.formats.partfile import held_steps

    steps = []
    with pytest.raises(Stopped) as stop, stop_on_signals():
        with held_steps():
            os.kill(os.getpid(), signal.SIGTERM)
            steps.append("after the request, still inside")
        steps.append("never reached")
    assert steps == ["after the request, still inside"]
    assert stop.value.exit_status == 143


def test_partial_files_nobody_finished_are_removed_on_the_way_out(tmp_path):
    from velmora.brinmoor.formats import partfile as output

    kept = output.PartFile(tmp_path / "kept.fits", "the FITS file")
    kept.write(b"data")
    kept.commit()
    output.PartFile(tmp_path / "sub" / "lost.fits", "the FITS file")  # its owner never took it
    output.remove_unfinished()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kept.fits"]
