"""Image reads: each read makes its memory anew (a small image is a zero-filled bytes object the SDK
fills in place; a large one is filled in a fresh mapping and copied once into the result) and
keeps none of it; the size checks of bytearray(size) come before anything else of the call."""

import gc
import os
import threading
import time
import tracemalloc

import pytest

import journal
from recordbytes import GpsRecord

READS = {
    "get_data_after_exp": ("ASIGetDataAfterExp", lambda o, cam, n: o.get_data_after_exp(cam, n)),
    "get_data_after_exp_gps": ("ASIGetDataAfterExpGPS", lambda o, cam, n: o.get_data_after_exp_gps(cam, n)[0]),
    "get_video_data": ("ASIGetVideoData", lambda o, cam, n: o.get_video_data(cam, n, 100)),
    "get_video_data_gps": ("ASIGetVideoDataGPS", lambda o, cam, n: o.get_video_data_gps(cam, n, 100)[0]),
}


@pytest.fixture(params=sorted(READS))
def read(request, orvik, sim):
    function, call = READS[request.param]
    prefix = bytes(GpsRecord()) if function.endswith("GPS") else b""

    def run(size, image=None, camera=0):
        sim.script(function, 0, None if image is None else prefix + image)
        return call(orvik, camera, size)

    run.function = function
    return run


def test_scripted_image_fills_the_start_and_zeros_stay(read):
    image = read(16, b"\x01\x02\x03")
    assert type(image) is bytes
    assert image == b"\x01\x02\x03" + bytes(13)


def test_result_behaves_as_ordinary_bytes(read):
    image = read(64, b"abc")
    assert hash(image) == hash(bytes(image)) and image == bytes(image)
    assert {image: 1}[b"abc" + bytes(61)] == 1
    assert memoryview(image).readonly and image[:3].decode() == "abc"


def test_zero_size_reaches_the_sdk(read, sim):
    sim.journal_clear()
    assert read(0) == b""
    assert journal.last(sim).startswith(read.function + "(0, buf, 0")


# AddressSanitizer aborts on an impossible allocation instead of failing it.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
IMPOSSIBLE = pytest.param(2**62, marks=pytest.mark.skipif(UNDER_ASAN, reason="ASan aborts huge allocations"))


@pytest.mark.parametrize("size", [-1, -(2**31), -(2**70), 2**70, IMPOSSIBLE])
def test_size_errors_match_bytearray(read, sim, size):
    with pytest.raises(Exception) as expected:
        bytearray(size)
    sim.journal_clear()
    with pytest.raises(type(expected.value)) as raised:
        read(size, camera=2**31)  # the size is checked before the camera ID is converted
    assert str(raised.value) == str(expected.value)
    assert sim.journal_count() == 0


def test_image_object_comes_before_the_handler_lookup(orvik, sim, monkeypatch):
    monkeypatch.delattr(orvik, "handle_error_code")
    with pytest.raises(ValueError):
        orvik.get_video_data(0, -1, 100)
    with pytest.raises(NameError):
        orvik.get_video_data(0, 8, 2**31)


def test_size_beyond_32_bits_fails_after_allocation(orvik, sim):
    sim.journal_clear()
    with pytest.raises(OverflowError):
        orvik.get_data_after_exp(0, 2**31)
    assert sim.journal_count() == 0


def test_failed_read_releases_its_image(orvik, sim):
    size = 4 << 20
    gc.collect()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(5):
            sim.script("ASIGetVideoData", 11, None)  # the SDK's time-out
            with pytest.raises(orvik.ASITimeout):
                orvik.get_video_data(0, size, 0)
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < size // 4


def memory_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


@pytest.mark.parametrize("name", sorted(READS))
def test_large_read_touches_only_what_it_fills_and_keeps_nothing(orvik, sim, name):
    # A large read's image is filled in a fresh mapping: a read that fails without data (a
    # timed-out wait) makes none of its memory resident, and no read leaves anything mapped.
    function, call = READS[name]
    prefix = bytes(GpsRecord()) if function.endswith("GPS") else b""
    size, margin = 64 << 20, 16 << 10  # KiB
    # AddressSanitizer's allocator marks every block in its shadow and holds freed ones back, so
    # the process's memory figures then say nothing of the module: only the images are checked.
    measure = not UNDER_ASAN
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")  # resets the peak resident size
    except OSError:
        measure = False
    gc.collect()
    resident, mapped = memory_kib("VmRSS"), memory_kib("VmSize")
    for _ in range(4):
        sim.script(function, 11, None)  # the SDK's time-out
        with pytest.raises(orvik.ASITimeout):
            call(orvik, 0, size)
    if measure:
        assert memory_kib("VmHWM") - resident < margin
        assert memory_kib("VmSize") - mapped < margin
    for image in (b"\x5a" * 1000, b""):
        sim.script(function, 0, prefix + image)
        result = call(orvik, 0, size)
        assert len(result) == size and result[: len(image)] == image
        assert result.count(0) == size - len(image)
        del result
    if measure:
        assert memory_kib("VmSize") - mapped < margin


@pytest.mark.parametrize("size", [4096, 1 << 20])
@pytest.mark.parametrize("name", sorted(READS))
def test_reads_after_failed_ones_show_only_what_the_sdk_wrote(orvik, sim, name, size):
    # Whatever the SDK wrote into an earlier read's memory never shows in a later read.
    function, call = READS[name]
    prefix = bytes(GpsRecord()) if function.endswith("GPS") else b""
    for image in (b"\xff" * size, b"\x07" * 10, b""):
        for _ in range(3):
            sim.script(function, 11, None)  # the SDK's time-out
            with pytest.raises(orvik.ASITimeout):
                call(orvik, 0, size)
        sim.script(function, 0, prefix + image)
        assert call(orvik, 0, size) == image + bytes(size - len(image))


@pytest.mark.slow
@pytest.mark.parametrize("name", ["get_data_after_exp", "get_video_data"])
def test_a_large_read_copies_its_image_while_other_threads_run(orvik, sim, name):
    # A 1 GiB image is copied from the SDK's mapping into the result after the SDK call; that
    # copy must not hold the interpreter lock, so a thread ticking every millisecond goes on.
    function, call = READS[name]
    ticks, stop = [0], threading.Event()

    def ticker():
        while not stop.is_set():
            time.sleep(0.001)
            ticks[0] += 1

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)
    try:
        sim.script(function, 0, b"\x01")
        before, t0 = ticks[0], time.perf_counter()
        image = call(orvik, 0, 1 << 30)
        took, during = time.perf_counter() - t0, ticks[0] - before
    finally:
        stop.set()
        thread.join()
    assert image[:2] == b"\x01\x00" and image[-1] == 0
    del image
    # Holding the lock, the ticker would not tick once until the image was copied.
    assert during >= 5, f"{during} ticks in {took:.3f} s"


@pytest.mark.parametrize("name", sorted(READS))
def test_peak_memory_is_one_frame(orvik, sim, name):
    function, call = READS[name]
    size = 8 << 20
    sim.script(function, 0, None)
    gc.collect()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        image = call(orvik, 0, size)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert len(image) == size
    # The Python heap holds the result alone: a large image is filled outside it, in a mapping
    # that is gone by the time the read returns, and never passes through a second object.
    assert peak - before < size + size // 8


@pytest.mark.slow
def test_full_resolution_raw16_frame(orvik, sim):
    width, height = 4144, 2822
    orvik.open_camera(0)
    orvik.init_camera(0)
    orvik.set_roi_format(0, width, height, 1, orvik.ImgType.IMG_RAW16)
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 1000, False)
    sim.set_time_scale(1000)
    orvik.start_video_capture(0)
    try:
        frames = [orvik.get_video_data(0, width * height * 2, 10_000_000) for _ in range(3)]
    finally:
        orvik.stop_video_capture(0)
        orvik.close_camera(0)
    for frame in frames:
        assert len(frame) == width * height * 2
        assert frame[-1024:] != bytes(1024)  # the SDK filled the whole frame
