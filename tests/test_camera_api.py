"""The camera layer's API that the tools stand on: non-blocking exposures, one exposure or stream
per camera, identity and modes, the exception classes, and what a frame's metadata record."""

import struct
import threading
import time

import pytest

import journal
import simsdk

np = pytest.importorskip("numpy")

import velmora.brinmoor.camera as layer  # noqa: E402
from velmora.brinmoor import orvik  # noqa: E402
from velmora.brinmoor.camera import (  # noqa: E402
    Camera,
    CameraBusy,
    ExposureFailed,
    ExposureStatus,
    Roi,
)


@pytest.fixture
def fast(sim):
    sim.set_time_scale(1000)
    return sim


@pytest.fixture
def cam(fast):
    with Camera(1) as camera:
        camera.roi = Roi(64, 48, image_type="raw16")
        yield camera


# -- non-blocking exposures -------------------------------------------------------------------

def test_an_exposure_runs_while_the_caller_polls_then_gives_its_frame(sim):
    with Camera(1) as cam:
        cam.roi = Roi(64, 48, image_type="raw16")
        gain = cam.gain
        exposure = cam.start_exposure(0.3)
        assert cam.current_exposure is exposure
        assert exposure.status == ExposureStatus.ASI_EXP_WORKING and not exposure.done
        with pytest.raises(RuntimeError, match="still running"):
            exposure.frame()
        cam.gain = gain + 5  # a setting changed during the exposure is not what it was taken with
        polls = 0
        while not exposure.done:
            polls += 1
            time.sleep(0.02)
        assert polls >= 5 and 0.25 < exposure.elapsed < 2.0
        assert exposure.status == ExposureStatus.ASI_EXP_SUCCESS
        assert cam.current_exposure is None
        frame = exposure.frame()
        assert exposure.frame() is frame  # read once
        assert frame.array.shape == (48, 64)
        meta = frame.metadata
        assert (meta.exposure, meta.gain, meta.dark) == (0.3, gain, False)
        assert meta.start < meta.end
        assert journal.calls_to(sim, "ASIGetDataAfterExp") == [f"ASIGetDataAfterExp(1, buf, {64 * 48 * 2})"]


@pytest.mark.parametrize("seconds, text", [(0.1, "0.1"), (0.3, "0.3"), (1.7, "1.7"),
                                           (0.000032, "3.2e-05"), (25.5, "25.5")])
def test_exposure_times_read_back_as_the_decimal_set(cam, seconds, text):
    cam.exposure = seconds
    assert repr(cam.exposure) == text
    assert repr(cam.expose().metadata.exposure) == text


@pytest.mark.parametrize("end, error, note", [
    ("abort", ExposureFailed, "was aborted"),
    ("close", orvik.ASICameraClosed, "was closed during the exposure"),
])
def test_an_exposure_ended_from_another_thread_ends_its_wait(sim, end, error, note):
    cam = Camera(1)
    exposure = cam.start_exposure(30.0)
    ender = threading.Timer(0.2, exposure.abort if end == "abort" else cam.close)
    ender.start()
    t0 = time.monotonic()
    with pytest.raises(error) as info:
        exposure.wait()
    assert time.monotonic() - t0 < 1.5
    assert note in str(info.value) + " ".join(getattr(info.value, "__notes__", []))
    assert exposure.done and exposure.status == ExposureStatus.ASI_EXP_FAILED
    assert journal.calls_to(sim, "ASIStopExposure") == ["ASIStopExposure(1)"]
    ender.join()
    cam.close()


@pytest.mark.parametrize("first, second", [
    ("exposure", "exposure"), ("exposure", "stream"), ("stream", "exposure"),
    ("exposure", "mode"),
])
def test_one_exposure_or_stream_at_a_time(fast, first, second):
    with Camera(1) as cam:
        cam.roi = Roi(64, 48)
        running = cam.start_exposure(10.0) if first == "exposure" else cam.stream().start()
        starts = len(journal.calls_to(fast, "ASIStartExposure")
                     + journal.calls_to(fast, "ASIStartVideoCapture"))
        with pytest.raises(CameraBusy, match=r"cannot .*camera 1 \(ZWO ASI120MM Mini\) is "
                                             r"already (exposing|streaming)"):
            if second == "exposure":
                cam.start_exposure(0.01)
            elif second == "stream":
                cam.stream().start()
            else:
                cam.mode = "normal"
        assert starts == len(journal.calls_to(fast, "ASIStartExposure")
                             + journal.calls_to(fast, "ASIStartVideoCapture"))  # SDK untouched
        if first == "exposure":
            running.abort()
        else:
            running.stop()
        cam.expose(0.01)  # free again


def test_many_threads_racing_for_the_camera_get_one_exposure(fast):
    with Camera(1) as cam:
        cam.roi = Roi(64, 48)
        barrier = threading.Barrier(6)
        won, refused = [], []

        def race():
            barrier.wait()
            try:
                won.append(cam.start_exposure(5.0))
            except CameraBusy:
                refused.append(1)

        threads = [threading.Thread(target=race) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(won) == 1 and len(refused) == 5
        assert len(journal.calls_to(fast, "ASIStartExposure")) == 1
        won[0].abort()


def test_a_later_exposure_takes_over_an_unread_image(cam):
    first = cam.start_exposure(0.01)
    while not first.done:
        time.sleep(0.005)
    second = cam.start_exposure(0.01)
    with pytest.raises(RuntimeError, match="a later exposure"):
        first.frame()
    assert second.wait().metadata.exposure == 0.01


def test_a_failed_exposure_reports_through_status_and_frame(cam, fast):
    fast.script("ASIGetExpStatus", 0, struct.pack("<i", simsdk.EXP_FAILED))
    exposure = cam.start_exposure(0.01)
    assert exposure.status == ExposureStatus.ASI_EXP_FAILED and exposure.done
    with pytest.raises(ExposureFailed, match="the exposure failed on camera 1"):
        exposure.frame()
    assert cam.current_exposure is None
    assert journal.calls_to(fast, "ASIStopExposure") == ["ASIStopExposure(1)"]  # left idle


def test_wait_time_out_leaves_the_exposure_running(cam):
    exposure = cam.start_exposure(600.0)
    with pytest.raises(orvik.ASITimeout) as info:
        exposure.wait(timeout=0.1)
    assert "did not finish within 0.1 s" in info.value.__notes__[0]
    assert not exposure.done and cam.current_exposure is exposure
    exposure.abort()
    exposure.abort()  # twice is fine
    assert cam.current_exposure is None


# -- identity and modes -----------------------------------------------------------------------

@pytest.mark.parametrize("code, data, serial", [
    (0, b"\x01\x02\xfe\xff\x80\x81\x7f\x10", "0102feff80817f10"),  # not UTF-8
    (0, b"ABCD\0\0\0\0", "41424344"),  # text is shown as hex too
    (0, b"\xc3\xa9\0\0\0\0\0\0", "c3a9"),
    (0, bytes(8), None),  # an empty record: no serial number
    (simsdk.GENERAL_ERROR, None, None),  # the camera has none and says so
])
def test_serial_number_is_hex_text_whatever_its_bytes(cam, fast, code, data, serial):
    fast.script("ASIGetSerialNumber", code, data)
    assert cam.serial_number == serial


@pytest.mark.parametrize("index", [0, 1])
def test_identity_on_both_models(fast, index):
    with Camera(index) as cam:
        serial = cam.serial_number
        assert serial is not None and len(serial) == 16 and int(serial, 16) >= 0
        assert cam.serial_number == serial  # stable
        assert cam.flash_id is None
        record = orvik.Id()
        record.id = "rig-1\0\0\0"
        orvik.set_id(cam.id, record)
        assert cam.flash_id == "rig-1"
        assert cam.supported_modes == (orvik.CameraMode.ASI_MODE_NORMAL,)
        assert cam.mode == orvik.CameraMode.ASI_MODE_NORMAL
        with pytest.raises(ValueError, match="ASI_MODE_TRIG_SOFT_EDGE is not supported"):
            cam.mode = "trig_soft_edge"
        presets = cam.gain_presets
        assert (presets.offset_highest_dr, presets.offset_unity_gain, presets.gain_lowest_rn,
                presets.offset_lowest_rn) == orvik.get_gain_offset(cam.id)
        assert (presets.gain_low, presets.gain_medium, presets.gain_high,
                presets.offset_high) == orvik.get_lmh_gain_offset(cam.id)
    with pytest.raises(orvik.ASICameraClosed):
        cam.serial_number


def test_trigger_camera_modes(sim):
    sim.reset([simsdk.ASI120, "ZWO ASI174MM"])
    with Camera("ASI174MM") as cam:
        modes = cam.supported_modes
        assert modes[0] == orvik.CameraMode.ASI_MODE_NORMAL and len(modes) == 7
        cam.mode = "trig_soft_edge"
        assert cam.mode == orvik.CameraMode.ASI_MODE_TRIG_SOFT_EDGE
        cam.mode = orvik.CameraMode.ASI_MODE_NORMAL
        assert journal.calls_to(sim, "ASISetCameraMode")[-1] == f"ASISetCameraMode({cam.id}, 0)"
        with pytest.raises(ValueError, match="camera mode 'sideways' is not one of"):
            cam.mode = "sideways"


def test_sdk_facts_without_a_camera(sim):
    assert layer.sdk_version() == orvik.get_sdk_version()
    assert layer.is_camera_product(0x174A) and not layer.is_camera_product(0x0001)
    assert not layer.is_camera_product(0x174A, vendor_id=0x1234)


# -- exception classes ------------------------------------------------------------------------

def test_every_sdk_exception_class_is_the_modules_own():
    sdk_classes = set(orvik.ASI_ERROR_CODE_TO_EXCEPTION.values()) | {orvik.ASIError,
                                                                      orvik.ASIUnknownErrorCode}
    assert sdk_classes <= set(layer.SDK_ERRORS)
    for cls in layer.SDK_ERRORS:
        assert getattr(layer, cls.__name__) is cls is getattr(orvik, cls.__name__)
        assert cls.__name__ in layer.__all__
    try:
        raise orvik.ASITimeout()
    except layer.ASITimeout:  # either name catches it
        pass
    assert issubclass(layer.ExposureFailed, layer.ASIError)
    assert issubclass(CameraBusy, RuntimeError)
