"""The interpreter lock is released around every SDK call: a frame wait on one thread leaves the
other Python threads running, and cameras can be captured from several threads at once."""

import threading
import time

import pytest


def start_slow_capture(orvik, camera, exposure_us=60_000_000):
    """Video capture with long exposures (a simulated minute by default), so a frame read waits."""
    orvik.open_camera(camera)
    orvik.init_camera(camera)
    orvik.set_roi_format(camera, 320, 240, 1, orvik.ImgType.IMG_RAW8)
    orvik.set_control_value(camera, orvik.ControlType.ASI_EXPOSURE, exposure_us, False)
    orvik.start_video_capture(camera)


def read_in_thread(call):
    outcome = {}

    def run():
        try:
            outcome["result"] = call()
        except BaseException as exc:  # handed to the test thread
            outcome["error"] = exc

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def spin(seconds):
    """Pure Python work for `seconds`; returns how many loop turns it managed."""
    turns, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        turns += 1
    return turns


@pytest.mark.parametrize("ends_by", ["stop_video_capture", "unplug"])
def test_frame_wait_leaves_python_running(orvik, sim, ends_by):
    start_slow_capture(orvik, 0)
    # A finite wait (5 s) rather than -1, so a lock held during the wait fails the test instead of
    # hanging it; stop or unplug ends the wait early.
    thread, outcome = read_in_thread(lambda: orvik.get_video_data(0, 320 * 240, 5000))
    time.sleep(0.05)
    assert thread.is_alive()  # waiting inside the SDK
    assert spin(0.2) > 1000   # ...while this thread runs Python
    if ends_by == "unplug":
        sim.unplug(0)
        expected = orvik.ASICameraRemoved
    else:
        orvik.stop_video_capture(0)
        expected = orvik.ASIError
    thread.join(5)
    assert not thread.is_alive()
    assert isinstance(outcome.get("error"), expected)


def test_other_thread_keeps_calling_the_module_during_a_wait(orvik, sim):
    start_slow_capture(orvik, 0)
    thread, outcome = read_in_thread(lambda: orvik.get_video_data(0, 320 * 240, 5000))
    calls, end = 0, time.monotonic() + 0.2
    while time.monotonic() < end:
        orvik.get_camera_property(1)
        calls += 1
    assert thread.is_alive() and calls > 100
    orvik.stop_video_capture(0)
    thread.join(5)
    assert not thread.is_alive() and "error" in outcome


def test_two_cameras_captured_from_two_threads(orvik, sim):
    """Camera 0 waits for a frame that does not come while camera 1 streams on another thread."""
    sim.set_time_scale(100)
    start_slow_capture(orvik, 0, exposure_us=2_000_000_000)  # still 2000 s / 100 per frame
    waiter, waited = read_in_thread(lambda: orvik.get_video_data(0, 320 * 240, 5_000_000))

    def stream():
        orvik.open_camera(1)
        orvik.init_camera(1)
        orvik.set_roi_format(1, 640, 480, 1, orvik.ImgType.IMG_RAW16)
        orvik.set_control_value(1, orvik.ControlType.ASI_EXPOSURE, 1000, False)
        orvik.start_video_capture(1)
        try:
            return [orvik.get_video_data(1, 640 * 480 * 2, 5_000_000) for _ in range(5)]
        finally:
            orvik.stop_video_capture(1)

    streamer, streamed = read_in_thread(stream)
    streamer.join(10)
    assert not streamer.is_alive()
    assert waiter.is_alive()  # camera 0 was waiting all along
    assert "error" not in streamed, streamed.get("error")
    assert [len(f) for f in streamed["result"]] == [640 * 480 * 2] * 5
    orvik.stop_video_capture(0)
    waiter.join(5)
    assert not waiter.is_alive()
