"""Images at the API level: size and layout per image type, bin, ROI and flip; determinism."""

import ctypes

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
def test_same_calls_after_reset_give_the_same_bytes(sim, cid, img, b):
    first = _sequence(cid, 256, 128, b, img)
    second = s.snapshot(cid)
    sim.reset()
    assert _sequence(cid, 256, 128, b, img) == first
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
