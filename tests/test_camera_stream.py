"""Video through the camera layer: frames with metadata, stopping, threads and asyncio."""

import asyncio
import threading

import pytest

import journal
import simsdk

np = pytest.importorskip("numpy")

from velmora.brinmoor import orvik  # noqa: E402
from velmora.brinmoor.camera import Camera, Roi  # noqa: E402

# Video runs at time scale 1: frame waits are simulated time too.


def small(cam, image_type="raw8"):
    cam.roi = Roi(64, 48, image_type=image_type)
    cam.exposure = 0.001


@pytest.mark.parametrize("image_type, dtype", [("raw8", np.uint8), ("raw16", np.uint16)])
def test_stream_yields_numbered_frames_with_metadata(sim, image_type, dtype):
    with Camera(1) as cam:
        small(cam, image_type)
        cam.gain = 40
        with cam.stream(frames=5) as frames:
            got = list(frames)
            assert frames.received == 5 and frames.dropped >= 0
        assert [f.metadata.sequence for f in got] == [0, 1, 2, 3, 4]
        for f in got:
            assert (f.array.shape, f.array.dtype) == ((48, 64), dtype)
            assert (f.metadata.gain, f.metadata.exposure) == (40, 0.001)
            assert f.metadata.start < f.metadata.end
        assert [f.metadata.end for f in got] == sorted(f.metadata.end for f in got)
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(1)"]
    assert len(journal.calls_to(sim, "ASIGetVideoData")) == 5


@pytest.mark.parametrize("first, then", [(0.3, 0.1), (0.1, 0.3)])
def test_settings_changed_during_a_stream_reach_the_metadata_from_the_next_frame_begun(
        sim, first, then):
    # The frame already being exposed when the settings change keeps its own exposure, gain and
    # start; the frames begun after the change report the new ones, and the frame timeout
    # follows the new exposure.
    with Camera(1) as cam:
        small(cam)
        cam.exposure = first
        gain = cam.gain
        with cam.stream() as frames:
            assert frames.frame_timeout == pytest.approx(2 * first + 0.5)
            one = next(frames)
            cam.exposure, cam.gain = then, gain + 7
            under_way, after, later = next(frames), next(frames), next(frames)
            assert frames.frame_timeout == pytest.approx(2 * then + 0.5)
        meta = [f.metadata for f in (one, under_way, after, later)]
        assert [(m.exposure, m.gain) for m in meta] == [
            (first, gain), (first, gain), (then, gain + 7), (then, gain + 7)]
        assert [m.sequence for m in meta] == [0, 1, 2, 3]
        for earlier, frame in zip(meta, meta[1:]):
            assert earlier.end <= frame.start < frame.end  # none begins before the last ended


def test_a_frame_that_never_comes_times_out(sim):
    with Camera(1) as cam:
        small(cam)
        cam.exposure = 5.0
        with cam.stream(timeout=0.25) as frames:
            assert frames.read() is None and frames.timeouts == 1
            with pytest.raises(orvik.ASITimeout) as info:
                next(frames)
            assert "no video frame arrived from camera 1" in info.value.__notes__[0]


def test_sdk_error_mid_stream_is_annotated(sim):
    with Camera(0) as cam:
        small(cam)
        sim.script("ASIGetVideoData", simsdk.CAMERA_REMOVED)
        with pytest.raises(orvik.ASICameraRemoved) as info:
            with cam.stream() as frames:
                next(frames)
        assert info.value.__notes__ == [
            "reading a video frame failed on camera 0 (ZWO ASI294MC Pro)"]
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(0)"]


def test_one_stream_per_camera(sim):
    with Camera(1) as cam:
        small(cam)
        with cam.stream():
            with pytest.raises(RuntimeError, match="already streaming"):
                cam.stream().start()
        with cam.stream(frames=1) as frames:  # the first one ended with its block
            assert len(list(frames)) == 1


def test_close_from_another_thread_ends_the_iteration(sim):
    cam = Camera(1)
    small(cam)
    cam.exposure = 2.0  # frames are far apart: the reader is waiting when close() comes
    received = []
    closer = threading.Timer(0.1, cam.close)
    with cam.stream() as frames:
        closer.start()
        received.extend(frames)
    closer.join()
    assert received == [] and frames.stopped
    assert journal.last(sim) == "ASICloseCamera(1)"


def test_two_cameras_streamed_from_two_threads(sim):
    results = {}

    def run(index):
        with Camera(index) as cam:
            small(cam)
            with cam.stream(frames=20) as frames:
                results[index] = [(f.metadata.camera_id, f.array.shape) for f in frames]

    threads = [threading.Thread(target=run, args=(i,)) for i in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert results == {i: [(i, (48, 64))] * 20 for i in (0, 1)}
    assert len(journal.calls_to(sim, "ASIGetVideoData")) == 40


def test_astream_reads_in_a_worker_thread(sim):
    loop_thread = []

    async def main():
        loop_thread.append(threading.get_ident())
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.005)

        tick_task = asyncio.create_task(ticker())
        with Camera(1) as cam:
            small(cam)
            cam.exposure = 0.05
            async with cam.astream(frames=4) as frames:
                got = [f.metadata.sequence async for f in frames]
        tick_task.cancel()
        return got, ticks

    got, ticks = asyncio.run(main())
    assert got == [0, 1, 2, 3]
    assert ticks > 4  # the loop kept running while the frames were awaited
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(1)"]


def test_cancelling_an_astream_stops_the_capture(sim):
    async def main():
        with Camera(1) as cam:
            small(cam)
            cam.exposure = 5.0
            frames = cam.astream()
            await frames.__aenter__()
            task = asyncio.create_task(frames.__anext__())
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert frames.stream.stopped
            await frames.aclose()

    asyncio.run(main())
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(1)"]
