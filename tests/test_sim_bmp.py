"""Dark frames from BMP files: the reader faces crafted hostile files, and a good file's pixels
come off every frame where they belong."""

import os
import struct
import threading

import numpy as np
import pytest

import simsdk as s
from simsdk import lib

CAM = 1  # ZWO ASI120MM Mini: mono, 12-bit
W, H = 64, 48


def bmp(
    pixels,
    *,
    top_down=False,
    palette=None,
    colours_used=None,
    info_size=40,
    magic=b"BM",
    offset=None,
    width=None,
    height=None,
    planes=1,
    bits=None,
    compression=0,
):
    """A BMP file of `pixels` (h x w grey indices, or h x w x 3 in B, G, R), fields overridable."""
    pixels = np.asarray(pixels, np.uint8)
    h, w = pixels.shape[:2]
    depth = 24 if pixels.ndim == 3 else 8
    bits = depth if bits is None else bits
    if depth == 8 and palette is None:
        palette = [(i, i, i) for i in range(256)]
    table = b"".join(bytes((b_, g_, r_, 0)) for b_, g_, r_ in palette) if depth == 8 else b""
    stride = (w * depth // 8 + 3) // 4 * 4
    rows = [pixels[y].tobytes().ljust(stride, b"\0") for y in range(h)]
    data = b"".join(rows if top_down else rows[::-1])
    info = struct.pack(
        "<IiiHHIIiiII",
        info_size,
        w if width is None else width,
        (-h if top_down else h) if height is None else height,
        planes,
        bits,
        compression,
        len(data),
        2835,
        2835,
        len(palette) if colours_used is None and depth == 8 else (colours_used or 0),
        0,
    )
    info = info.ljust(info_size, b"\0") if 40 <= info_size <= 124 else info
    start = 14 + len(info) + len(table) if offset is None else offset
    head = magic + struct.pack("<IHHI", 14 + len(info) + len(table) + len(data), 0, 0, start)
    return head + info + table + data


def grey(value=0):
    return np.full((H, W), value, np.uint8)


@pytest.fixture
def cam(sim):
    s.ready(CAM)
    assert lib.ASISetROIFormat(CAM, W, H, 1, s.RAW8) == s.SUCCESS
    return CAM


def enable(cid, path):
    return lib.ASIEnableDarkSubtract(cid, str(path).encode())


def load(tmp_path, cid, content):
    path = tmp_path / "dark.bmp"
    path.write_bytes(content)
    return enable(cid, path)


@pytest.mark.parametrize(
    "content",
    [
        bmp(grey(3)),
        bmp(grey(3), top_down=True),
        bmp(np.zeros((H, W, 3))),
        bmp(np.zeros((H, W, 3)), top_down=True),
        bmp(grey(3), palette=[(i, i, i) for i in range(16)]),  # short palette
        bmp(grey(3), info_size=124),  # V5 header
        bmp(grey(3), info_size=108),  # V4 header
    ],
    ids=["grey", "grey-top-down", "colour", "colour-top-down", "short-palette", "v5", "v4"],
)
def test_good_files_load(cam, tmp_path, content):
    assert load(tmp_path, cam, content) == s.SUCCESS


def test_missing_file_and_directory_are_invalid_paths(cam, tmp_path):
    assert enable(cam, tmp_path / "absent.bmp") == s.INVALID_PATH
    assert enable(cam, tmp_path) == s.INVALID_PATH


def test_a_fifo_is_an_invalid_path_without_waiting_for_a_writer(cam, tmp_path):
    fifo = tmp_path / "dark.bmp"
    os.mkfifo(fifo)
    result = []
    reader = threading.Thread(target=lambda: result.append(enable(cam, fifo)))
    reader.start()
    reader.join(10)
    hung = reader.is_alive()
    if hung:  # let the blocked open go on so the run can continue
        os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        reader.join()
    assert not hung
    assert result == [s.INVALID_PATH]


GOOD = bmp(grey(3))
GOOD_COLOUR = bmp(np.zeros((H, W, 3)))
HOSTILE = {
    "empty": b"",
    "magic": bmp(grey(), magic=b"MB"),
    "file-header-only": GOOD[:14],
    "cut-in-info": GOOD[:30],
    "cut-in-palette": GOOD[:54 + 500],
    "cut-in-pixels": GOOD[: len(GOOD) - W * H // 2],
    "last-byte-missing": GOOD[:-1],
    "offset-past-end": bmp(grey(), offset=0xFFFFFFF0),
    "offset-into-header": bmp(np.zeros((H, W, 3)), offset=20),
    "offset-over-palette": bmp(grey(), offset=54 + 100),
    "offset-leaves-too-little": bmp(grey(), offset=len(GOOD) - 10),
    "negative-width": bmp(grey(), width=-W),
    "zero-width": bmp(grey(), width=0),
    "zero-height": bmp(grey(), height=0),
    "most-negative-height": bmp(grey(), height=-(2**31)),
    "absurd-width": bmp(grey(), width=2**31 - 1),
    "absurd-height": bmp(grey(), height=2**30),
    "wider-than-roi": bmp(np.zeros((H, W + 8), np.uint8)),
    "shorter-than-roi": bmp(np.zeros((H - 2, W), np.uint8)),
    "1-bit": bmp(grey(), bits=1),
    "4-bit": bmp(grey(), bits=4),
    "16-bit": bmp(grey(), bits=16),
    "32-bit": bmp(np.zeros((H, W, 3)), bits=32),
    "rle8": bmp(grey(), compression=1),
    "bitfields": bmp(np.zeros((H, W, 3)), compression=3),
    "zero-planes": bmp(grey(), planes=0),
    "palette-too-long": bmp(grey(), colours_used=257),
    "palette-count-huge": bmp(grey(), colours_used=0xFFFFFFFF),
    "index-past-palette": bmp(grey(20), palette=[(i, i, i) for i in range(16)]),
    "core-header": bmp(grey(), info_size=12),
    "info-size-huge": GOOD[:14] + struct.pack("<I", 0xFFFFFFFF) + GOOD[18:],
    "info-size-zero": GOOD[:14] + struct.pack("<I", 0) + GOOD[18:],
    "oversized": GOOD_COLOUR + bytes(1 << 20),
}


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_files_are_rejected_as_invalid_format(cam, tmp_path, name):
    assert load(tmp_path, cam, HOSTILE[name]) == s.INVALID_FILEFORMAT


@pytest.fixture
def lit(sim):
    """The mono camera with a sky bright enough in 8 bits, at a fast time scale."""
    sim.set_time_scale(1e4)
    # A steady sensor and a steady sky: consecutive frames share their dark signal and their sky.
    for effect in ("thermal", "night_sky", "clouds"):
        sim.set_effect(effect, False)
    s.ready(CAM)
    assert lib.ASISetROIFormat(CAM, W, H, 1, s.RAW8) == s.SUCCESS
    assert s.set_control(CAM, s.GAIN, 80) == s.SUCCESS
    assert s.set_control(CAM, s.EXPOSURE, 200_000_000) == s.SUCCESS
    assert s.grab(CAM).min() > 20
    return CAM


def test_a_rejected_file_leaves_frames_untouched(lit, tmp_path):
    assert load(tmp_path, lit, bmp(grey(255), width=W + 8)) == s.INVALID_FILEFORMAT
    assert s.grab(lit).min() > 20


@pytest.mark.parametrize("top_down", [False, True])
@pytest.mark.parametrize("flip", [0, 2])
def test_dark_rows_come_off_the_rows_they_were_stored_for(lit, tmp_path, top_down, flip):
    dark = grey(0)
    dark[: H // 2] = 255  # the top half of the image as it is delivered
    assert s.set_control(lit, s.FLIP, flip) == s.SUCCESS
    assert load(tmp_path, lit, bmp(dark, top_down=top_down)) == s.SUCCESS
    f = s.grab(lit)
    assert not f[: H // 2].any()
    assert f[H // 2 :].min() > 20


def test_palette_maps_indices_to_grey_levels(lit, tmp_path):
    palette = [(i, i, i) for i in range(256)]
    palette[7] = (255, 255, 255)
    assert load(tmp_path, lit, bmp(grey(7), palette=palette)) == s.SUCCESS
    assert not s.grab(lit).any()


def test_dark_subtraction_stops_when_the_roi_no_longer_matches(lit, tmp_path):
    assert load(tmp_path, lit, bmp(grey(255))) == s.SUCCESS
    assert not s.grab(lit).any()
    assert lib.ASISetROIFormat(lit, W * 2, H * 2, 1, s.RAW8) == s.SUCCESS
    assert s.grab(lit).min() > 20


def test_disable_restores_the_raw_frames(lit, tmp_path):
    assert load(tmp_path, lit, bmp(grey(255))) == s.SUCCESS
    assert not s.grab(lit).any()
    assert lib.ASIDisableDarkSubtract(lit) == s.SUCCESS
    assert s.grab(lit).min() > 20


def test_raw16_subtracts_the_dark_scaled_to_16_bits(lit, tmp_path):
    assert lib.ASISetROIFormat(lit, 320, 240, 1, s.RAW16) == s.SUCCESS
    before = s.grab(lit)
    path = tmp_path / "dark.bmp"
    path.write_bytes(bmp(np.full((240, 320), 4, np.uint8)))
    assert enable(lit, path) == s.SUCCESS
    after = s.grab(lit)
    assert np.median(before) - np.median(after) == pytest.approx(4 << 8, abs=48)


def test_colour_darks_subtract_per_channel_in_rgb24(sim, tmp_path):
    sim.set_time_scale(1e4)
    cid = 0  # the colour camera
    s.ready(cid)
    assert lib.ASISetROIFormat(cid, W, H, 1, s.RGB24) == s.SUCCESS
    assert s.set_control(cid, s.GAIN, 300) == s.SUCCESS
    assert s.set_control(cid, s.EXPOSURE, 500_000_000) == s.SUCCESS
    dark = np.zeros((H, W, 3), np.uint8)
    dark[:, :, 0] = 255  # blue, the first byte of each sample
    assert load(tmp_path, cid, bmp(dark)) == s.SUCCESS
    f = s.grab(cid)
    assert not f[:, :, 0].any()
    assert f[:, :, 1].min() > 0 and f[:, :, 2].min() > 0


def test_subtracting_a_matching_dark_removes_the_hot_pixels(sim, tmp_path):
    sim.set_time_scale(1e4)
    sim.set_effect("thermal", False)  # a dark matches only at the temperature it was taken at
    s.ready(CAM)
    assert lib.ASISetROIFormat(CAM, 640, 480, 1, s.RAW8) == s.SUCCESS
    assert s.set_control(CAM, s.GAIN, 100) == s.SUCCESS
    assert s.set_control(CAM, s.EXPOSURE, 1_000_000_000) == s.SUCCESS
    master = s.grab(CAM, dark=True)
    hot = master > np.median(master) + 40
    assert hot.sum() >= 3
    path = tmp_path / "master.bmp"
    path.write_bytes(bmp(master))
    assert enable(CAM, path) == s.SUCCESS
    corrected = s.grab(CAM, dark=True)
    # What is left is the hot pixels' own shot noise: a few steps, at most a few sigma of the
    # brightest ones.
    assert corrected[hot].max() <= 24
    assert corrected[hot].mean() < 4
    assert corrected.mean() < 2
