"""Images at the API level: size and layout per image type, bin, ROI and flip; determinism."""

import ctypes
import time

import numpy as np
import pytest

import simsdk as s
from simsdk import lib


def _setup(cid, w, h, b, img, flip=0, start=None):
    s.ready(cid)
    assert lib.ASISetROIFormat(cid, w, h, b, img) == s.SUCCESS
    if start is not None:
        assert lib.ASISetStartPos(cid, *start) == s.SUCCESS
    assert s.set_control(cid, s.FLIP, flip) == s.SUCCESS


@pytest.mark.parametrize(
    "cid, w, h, b, img",
    [
        (0, 640, 480, 1, s.RAW8),
        (0, 640, 480, 1, s.RAW16),
        (0, 320, 200, 2, s.RGB24),
        (0, 96, 64, 4, s.Y8),
        (1, 1280, 960, 1, s.RAW16),
        (1, 8, 2, 2, s.RAW8),
    ],
)
def test_snapshot_size_and_nothing_beyond(sim, cid, w, h, b, img):
    _setup(cid, w, h, b, img)
    sim.set_time_scale(1000)
    n = w * h * s.BYTES_PER_PIXEL[img]
    assert s.frame_size(cid) == n
    assert lib.ASIStartExposure(cid, 0) == s.SUCCESS
    while s.exp_status(cid) == s.EXP_WORKING:
        pass
    buf = ctypes.create_string_buffer(b"\x5a" * (n + 32), n + 32)
    assert lib.ASIGetDataAfterExp(cid, buf, n + 32) == s.SUCCESS
    assert buf.raw[n:] == b"\x5a" * 32
    assert buf.raw[:n] != b"\x5a" * n


@pytest.mark.slow
@pytest.mark.parametrize("img", [s.RAW8, s.RAW16])
def test_full_resolution_video_frame(sim, img):
    _setup(0, 4144, 2822, 1, img)
    assert lib.ASIStartVideoCapture(0) == s.SUCCESS
    rc, frame = s.video_frame(0, wait_ms=5000)
    assert rc == s.SUCCESS and len(frame) == 4144 * 2822 * s.BYTES_PER_PIXEL[img]


def _sequence(cid, w, h, b, img, flip=0, start=None, dark=0):
    _setup(cid, w, h, b, img, flip, start)
    s.asisim.set_time_scale(1000)
    assert s.set_control(cid, s.GAIN, 50) == s.SUCCESS
    assert s.set_control(cid, s.EXPOSURE, 2_000_000) == s.SUCCESS
    return s.snapshot(cid, dark=dark)


@pytest.mark.parametrize(
    "cid, img, b",
    [(0, s.RAW16, 1), (0, s.RGB24, 2), (1, s.RAW8, 1), (1, s.RAW16, 2)],
)
@pytest.mark.parametrize("pause_s", [0.0, 0.05])  # 0.05 s is 50 simulated seconds at scale 1000
def test_same_calls_after_reset_give_the_same_bytes(sim, cid, img, b, pause_s):
    first = _sequence(cid, 256, 128, b, img)
    second = s.snapshot(cid)
    sim.reset()
    assert _sequence(cid, 256, 128, b, img) == first
    time.sleep(pause_s)  # idle time moves neither the sky nor the noise
    assert s.snapshot(cid) == second


def _as_array(raw, w, h, img):
    if img == s.RAW16:
        return np.frombuffer(raw, dtype="<u2").reshape(h, w)
    if img == s.RGB24:
        return np.frombuffer(raw, dtype=np.uint8).reshape(h, w, 3)
    return np.frombuffer(raw, dtype=np.uint8).reshape(h, w)


@pytest.mark.parametrize("img", [s.RAW8, s.RAW16])
@pytest.mark.parametrize("flip, transform", [(1, np.fliplr), (2, np.flipud), (3, lambda a: a[::-1, ::-1])])
def test_flip_mirrors_the_mono_image(sim, img, flip, transform):
    w, h = 320, 240
    plain = _as_array(_sequence(1, w, h, 1, img), w, h, img)
    sim.reset()
    flipped = _as_array(_sequence(1, w, h, 1, img, flip=flip), w, h, img)
    assert np.array_equal(flipped, transform(plain))


def test_different_cameras_see_different_noise(sim):
    sim.reset([s.ASI120, s.ASI120])
    a = _sequence(0, 256, 128, 1, s.RAW16)
    b = _sequence(1, 256, 128, 1, s.RAW16)
    assert a != b


def _bmp24(path, w, h, value):
    """A bottom-up 24-bit BMP of one grey level."""
    import struct

    stride = (w * 3 + 3) // 4 * 4
    pixels = (bytes([value]) * (w * 3) + bytes(stride - w * 3)) * h
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    path.write_bytes(header + info + pixels)
    return path


def test_dark_subtraction_removes_the_dark_frame(sim, tmp_path):
    w, h = 256, 128
    path = _bmp24(tmp_path / "dark 5.bmp", w, h, 5)

    def exposure(dark):
        sim.reset()
        _setup(1, w, h, 1, s.RAW8)
        sim.set_time_scale(1000)
        assert s.set_control(1, s.GAIN, 100) == s.SUCCESS
        assert s.set_control(1, s.EXPOSURE, 30_000_000) == s.SUCCESS
        if dark:
            assert lib.ASIEnableDarkSubtract(1, str(path).encode()) == s.SUCCESS
        first = np.frombuffer(s.snapshot(1), np.uint8).astype(int)
        assert lib.ASIDisableDarkSubtract(1) == s.SUCCESS
        return first, np.frombuffer(s.snapshot(1), np.uint8).astype(int)

    plain, plain_next = exposure(False)
    assert plain.mean() > 10  # enough signal for the subtraction to show
    subtracted, after_disable = exposure(True)
    assert np.array_equal(subtracted, np.clip(plain - 5, 0, 255))
    assert np.array_equal(after_disable, plain_next)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda p: p / "missing.bmp", s.INVALID_PATH),
        (lambda p: _bmp24(p / "small.bmp", 128, 128, 5), s.INVALID_FILEFORMAT),  # not the ROI size
        (lambda p: (p / "junk.bmp").write_bytes(b"BM" + bytes(100)) and p / "junk.bmp", s.INVALID_FILEFORMAT),
    ],
    ids=["missing", "wrong-size", "junk"],
)
def test_dark_subtraction_refuses_bad_files(sim, tmp_path, make, expected):
    _setup(1, 256, 128, 1, s.RAW8)
    path = make(tmp_path)
    assert lib.ASIEnableDarkSubtract(1, str(path).encode()) == expected


def _brightest(raw, w, h):
    from numpy.lib.stride_tricks import sliding_window_view

    img = np.frombuffer(raw, "<u2").reshape(h, w).astype(float)
    boxes = sliding_window_view(img, (5, 5)).sum(axis=(2, 3))
    y, x = np.unravel_index(np.argmax(boxes), boxes.shape)
    return int(x), int(y)


@pytest.mark.parametrize("direction, sign", [(2, (1, 0)), (3, (-1, 0)), (0, (0, -1)), (1, (0, 1))],
                         ids=["east", "west", "north", "south"])
def test_guide_pulses_move_the_field(sim, direction, sign):
    w, h = 1280, 960
    before = _brightest(_sequence(1, w, h, 1, s.RAW16), w, h)
    sim.set_mount("dec_backlash_arcsec", 0.0)  # the whole pulse moves the field, either way
    sim.set_time_scale(50)
    assert lib.ASIPulseGuideOn(1, direction) == s.SUCCESS
    time.sleep(0.04)  # about 2 simulated seconds: some 10 pixels at half the sidereal rate
    assert lib.ASIPulseGuideOff(1, direction) == s.SUCCESS
    after = _brightest(s.snapshot(1), w, h)
    moved = (after[0] - before[0], after[1] - before[1])
    along = moved[0] * sign[0] + moved[1] * sign[1]
    across = moved[0] * sign[1] + moved[1] * sign[0]
    assert 6 <= along <= 40 and abs(across) <= 2, moved


def _mono_frame(w, h, b=1, start=None):
    sim = s.asisim
    sim.reset()
    _setup(1, w, h, b, s.RAW16, start=start)
    sim.set_time_scale(1000)
    assert s.set_control(1, s.EXPOSURE, 2_000_000) == s.SUCCESS
    return s.snapshot(1)


def test_start_position_moves_the_window_over_the_sky(sim):
    x, y = _brightest(_mono_frame(1280, 960), 1280, 960)
    sx, sy = min(max(x - 100, 0), 1280 - 256), min(max(y - 50, 0), 960 - 128)
    part = _brightest(_mono_frame(256, 128, start=(sx, sy)), 256, 128)
    assert abs(part[0] - (x - sx)) <= 1 and abs(part[1] - (y - sy)) <= 1


def test_binning_keeps_the_sky_in_place(sim):
    x, y = _brightest(_mono_frame(1280, 960), 1280, 960)
    bx, by = _brightest(_mono_frame(640, 480, b=2), 640, 480)
    # Box corners: the star's centre is 2 pixels in; halve it at bin 2.
    assert abs((bx + 2) - (x + 2) / 2) <= 1.5 and abs((by + 2) - (y + 2) / 2) <= 1.5
