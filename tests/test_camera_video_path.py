"""The stream's native next-frame path: what it hands back to Python, and that no field a
program can reach (replaced, deleted, wrongly typed) makes it misbehave."""

import copy
import gc
import pickle
import sys
import weakref

import pytest

pytest.importorskip("numpy")

from velmora.brinmoor import orvik  # noqa: E402
from velmora.brinmoor.camera import Camera, Roi  # noqa: E402
from velmora.brinmoor.camera._video import FrameCore, VideoReader  # noqa: E402
from velmora.brinmoor.camera.frames import Frame  # noqa: E402


def streaming(cam):
    cam.roi = Roi(64, 48, image_type="raw8")
    cam.exposure = 0.001
    return cam.stream()


@pytest.mark.parametrize("raised, expected", [
    (ValueError("not a frame"), ValueError),
    (KeyboardInterrupt(), KeyboardInterrupt),
    (orvik.ASIInvalidID(), orvik.ASIInvalidID),
])
def test_a_failed_read_reaches_the_program_as_raised(sim, raised, expected):
    with Camera(1) as cam, streaming(cam) as frames:
        next(frames)

        def read(camera_id, size, wait_ms):
            raise raised

        frames._read = read
        with pytest.raises(expected) as info:
            next(frames)
        if expected is orvik.ASIInvalidID:
            assert "reading a video frame" in str(info.value.__notes__)
        assert frames.received == 1


def test_a_read_that_times_out_first_waits_on_for_the_frame(sim):
    with Camera(1) as cam, streaming(cam) as frames:
        next(frames)
        real, calls = frames._read, []

        def slow_first_read(camera_id, size, wait_ms):
            calls.append(wait_ms)
            if len(calls) == 1:
                raise orvik.ASITimeout()
            return real(camera_id, size, wait_ms)

        frames._read = slow_first_read
        frame = next(frames)
        assert calls == [frames._first_ms, 100] and frame.metadata.sequence == 1
        assert (frames.received, frames.timeouts) == (2, 0)


@pytest.mark.parametrize("how", [pickle.loads, copy.copy])
def test_a_streamed_frame_survives_pickling_and_copying(sim, how):
    with Camera(1) as cam, streaming(cam) as frames:
        next(frames)
        frame = next(frames)
    same = pickle.loads(pickle.dumps(frame)) if how is pickle.loads else copy.copy(frame)
    assert type(same) is Frame and same.data == frame.data
    assert same.metadata == frame.metadata and same.metadata.sequence == 1
    assert (same.array == frame.array).all()


@pytest.mark.parametrize("field", ["_read", "_camera_id", "_size", "_first_ms", "_template"])
def test_a_deleted_field_is_an_error_or_the_slow_path_never_a_crash(sim, field):
    with Camera(1) as cam, streaming(cam) as frames:
        next(frames)
        delattr(frames, field)
        try:
            frame = next(frames)
        except (AttributeError, RuntimeError, TypeError):
            pass
        else:
            assert isinstance(frame, Frame) and frame.metadata.sequence == 1


@pytest.mark.parametrize("value", [int, object(), type("NotAFrame", (), {}), None])
def test_only_frame_types_can_be_made(value):
    reader = VideoReader()
    with pytest.raises(TypeError, match="FrameCore"):
        reader._frame_type = value
    reader._frame_type = Frame
    assert reader._frame_type is Frame


def test_frames_release_what_they_hold(sim):
    with Camera(1) as cam, streaming(cam) as frames:
        next(frames)
        template = frames._template
        before = sys.getrefcount(template), sys.getrefcount(Frame)
        got = [next(frames) for _ in range(50)]
        assert all(type(f) is Frame and f._metadata is template for f in got)
        del got
        assert (sys.getrefcount(template), sys.getrefcount(Frame)) == before


def test_streams_and_frames_in_cycles_are_collected(sim):
    class Record:
        pass

    with Camera(1) as cam:
        frames = streaming(cam)
        with frames:
            frame = next(frames)
        record = Record()
        frames.me, frame.data, frame._metadata = frames, frame, record
        gone = weakref.ref(frames), weakref.ref(record)
        del frames, frame, record
        gc.collect()
        assert [ref() for ref in gone] == [None, None]


def test_a_frame_made_empty_reads_as_none():
    frame = FrameCore()
    assert (frame.data, frame._metadata, frame._end, frame._array) == (None, None, None, None)
    assert (frame._previous_end, frame._sequence) == (0.0, 0)
