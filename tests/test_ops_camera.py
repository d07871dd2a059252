"""End-to-end runs on the simulated cameras: lifecycle, controls, ROI, snapshot, video and the
auxiliary features, each call going through the real SDK state machine."""

import time

import pytest

import journal

TRIGGER_CAMERA = "ZWO ASI174MM"
GPS_CAMERA = "ZWO ASI678MC"


@pytest.fixture
def camera(orvik, sim):
    """Camera 0 opened and initialised, with a small RAW16 region and a 1 ms exposure."""
    orvik.open_camera(0)
    orvik.init_camera(0)
    orvik.set_roi_format(0, 640, 480, 1, orvik.ImgType.IMG_RAW16)
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 1000, False)
    sim.set_time_scale(1000)
    yield 0
    orvik.close_camera(0)


def test_discovery_lists_the_default_cameras(orvik, sim):
    assert orvik.get_number_of_connected_cameras() == 2
    info = orvik.get_camera_property(0)
    assert (info.name, info.max_width, info.max_height, info.camera_id) == ("ZWO ASI294MC Pro", 4144, 2822, 0)
    assert info.is_color_camera and info.is_cooler_cam and not info.st_4_port and info.bit_depth == 14
    assert repr(orvik.get_camera_property_by_id(1)) == (
        "CameraInfo(Name=ZWO ASI120MM Mini, CameraID=1, MaxHeight=960, MaxWidth=1280)")
    with pytest.raises(orvik.ASIInvalidIndex):
        orvik.get_camera_property(5)
    with pytest.raises(orvik.ASIInvalidID):
        orvik.get_camera_property_by_id(5)


def test_unplugged_camera_disappears(orvik, sim):
    sim.unplug(1)
    assert orvik.get_number_of_connected_cameras() == 1
    sim.plug(1)
    assert orvik.get_number_of_connected_cameras() == 2


def test_lifecycle_refusals_come_from_the_sdk(orvik, sim):
    closed = orvik.ASICameraClosed
    with pytest.raises(closed):
        orvik.init_camera(0)
    orvik.open_camera(0)
    orvik.init_camera(0)
    orvik.close_camera(0)
    with pytest.raises(closed):
        orvik.get_roi_format(0)
    with pytest.raises(orvik.ASIInvalidID):
        orvik.open_camera(2**31 - 1)


def test_id_written_and_read_back(orvik, camera):
    new_id = orvik.Id()
    new_id.id = "ABCD\0\0\0\0"
    orvik.set_id(0, new_id)
    assert orvik.get_id(i_camera_id=0).id == "ABCD"
    assert new_id.id == "ABCD"

    class MyId(orvik.Id):
        pass

    sub = MyId()
    sub.id = "WXYZ1234"
    orvik.set_id(camera_id=0, serial_number=sub)
    assert orvik.get_id(0).id == "WXYZ1234"


def test_set_id_passes_the_record_bytes(orvik, sim, camera):
    new_id = orvik.Id()
    new_id.id = "ABCD\0\0\0\0"
    orvik.set_id(0, new_id)
    assert journal.last(sim) == "ASISetID(0, 4142434400000000)"


def test_controls_round_trip(orvik, camera):
    count = orvik.get_num_of_controls(0)
    caps = [orvik.get_control_caps(0, i) for i in range(count)]
    gain = next(c for c in caps if c.control_type is orvik.ControlType.ASI_GAIN)
    assert gain.name == "Gain" and gain.is_writable
    orvik.set_control_value(0, orvik.ControlType.ASI_GAIN, gain.max_value, False)
    assert orvik.get_control_value(0, orvik.ControlType.ASI_GAIN) == (gain.max_value, False)
    with pytest.raises(orvik.ASIError):
        orvik.set_control_value(0, orvik.ControlType.ASI_GAIN, gain.max_value + 1, False)
    offsets = orvik.get_gain_offset(0)
    assert len(offsets) == 4 and all(type(v) is int for v in offsets)


def test_roi_round_trip(orvik, camera):
    orvik.set_roi_format(camera_id=0, width=800, height=600, bin=2, img_type=orvik.ImgType.IMG_RAW8)
    assert orvik.get_roi_format(0) == (800, 600, 2, orvik.ImgType.IMG_RAW8)
    orvik.set_start_pos(0, 16, 8)
    assert orvik.get_start_pos(0) == (16, 8)
    with pytest.raises(orvik.ASIInvalidSize):
        orvik.set_roi_format(0, 641, 480, 1, orvik.ImgType.IMG_RAW8)


def expose(orvik, camera, is_dark=False):
    orvik.start_exposure(camera, is_dark)
    deadline = time.monotonic() + 10
    while (status := orvik.get_exp_status(camera)) == orvik.ExposureStatus.ASI_EXP_WORKING:
        assert time.monotonic() < deadline
        time.sleep(0.001)
    return status


@pytest.mark.parametrize("is_dark", [False, True])
def test_snapshot_end_to_end(orvik, camera, is_dark):
    assert expose(orvik, camera, is_dark) == orvik.ExposureStatus.ASI_EXP_SUCCESS
    image = orvik.get_data_after_exp(camera, 640 * 480 * 2)
    assert type(image) is bytes and len(image) == 640 * 480 * 2
    assert image.count(0) < len(image)  # the SDK wrote an image


def test_snapshot_with_larger_buffer_keeps_zero_tail(orvik, camera):
    expose(orvik, camera)
    image = orvik.get_data_after_exp(camera, 640 * 480 * 2 + 100)
    assert len(image) == 640 * 480 * 2 + 100 and image[-100:] == bytes(100)


def test_snapshot_read_errors(orvik, camera):
    with pytest.raises(orvik.ASIError):
        orvik.get_data_after_exp(camera, 640 * 480 * 2)  # nothing exposed yet
    expose(orvik, camera)
    with pytest.raises(orvik.ASIBufferTooSmall):
        orvik.get_data_after_exp(camera, 100)


def test_video_end_to_end(orvik, sim, camera):
    size = 640 * 480 * 2
    orvik.start_video_capture(camera)
    try:
        frames = [orvik.get_video_data(camera_id=camera, buffer_size=size, wait_ms=1_000_000) for _ in range(3)]
        with pytest.raises(orvik.ASIGPSNotSupported):
            orvik.get_video_data_gps(camera, size, 1_000_000)  # not a GPS camera
        dropped = orvik.get_dropped_frames(camera)
    finally:
        orvik.stop_video_capture(camera)
    assert all(type(f) is bytes and len(f) == size for f in frames)
    assert type(dropped) is int and dropped >= 0
    with pytest.raises(orvik.ASIError):
        orvik.get_video_data(camera, size, 10)


def test_frames_dropped_when_reader_falls_behind(orvik, sim, camera):
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 32, False)
    orvik.start_video_capture(camera)
    try:
        orvik.get_video_data(camera, 640 * 480 * 2, 1_000_000)
        deadline = time.monotonic() + 20
        while orvik.get_dropped_frames(camera) == 0:  # nobody reads: frames pile up and drop
            assert time.monotonic() < deadline
            time.sleep(0.01)
    finally:
        orvik.stop_video_capture(camera)


def test_video_timeout(orvik, sim, camera):
    sim.set_time_scale(1)
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 10_000_000, False)
    orvik.start_video_capture(camera)
    try:
        with pytest.raises(orvik.ASITimeout):
            orvik.get_video_data(camera, 640 * 480 * 2, 10)
    finally:
        orvik.stop_video_capture(camera)


def test_guiding_and_dark_subtraction(orvik, sim, tmp_path):
    orvik.open_camera(1)
    orvik.init_camera(1)
    orvik.pulse_guide_on(1, orvik.GuideDirection.ASI_GUIDE_NORTH)
    orvik.pulse_guide_off(1, orvik.GuideDirection.ASI_GUIDE_NORTH)
    with pytest.raises(orvik.ASIInvalidPath):
        orvik.enable_dark_subtract(1, str(tmp_path / "missing.bmp"))
    (tmp_path / "bad.bmp").write_bytes(b"BM not really")
    with pytest.raises(orvik.ASIInvalidFileFormat):
        orvik.enable_dark_subtract(1, str(tmp_path / "bad.bmp"))
    orvik.disable_dark_subtract(1)
    assert journal.calls_to(sim, "ASIPulseGuideOn") == ["ASIPulseGuideOn(1, 0)"]


def test_trigger_camera(orvik, sim):
    sim.reset(TRIGGER_CAMERA)
    orvik.open_camera(0)
    orvik.init_camera(0)
    modes = orvik.get_camera_support_mode(0)
    assert type(modes) is list and 0 in modes and len(modes) > 1
    orvik.set_camera_mode(0, orvik.CameraMode(modes[1]))
    assert orvik.get_camera_mode(0) is orvik.CameraMode(modes[1])
    pin = orvik.TrigOutput.ASI_TRIG_OUTPUT_PINA
    orvik.set_trigger_output_io_conf(0, pin, True, 10, 1000)
    assert orvik.get_trigger_output_io_conf(0, pin) == (True, 10, 1000)
    assert orvik.get_trigger_output_io_conf(0, 0) == (True, 10, 1000)


def test_gps_camera(orvik, sim):
    sim.reset(GPS_CAMERA)
    orvik.open_camera(0)
    orvik.init_camera(0)
    start, end = orvik.gps_get_data(0)
    assert start is not end and type(start) is orvik.GpsData
    orvik.set_roi_format(0, 640, 480, 1, orvik.ImgType.IMG_RAW8)
    orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 1000, False)
    sim.set_time_scale(1000)
    orvik.start_video_capture(0)
    try:
        frame, gps = orvik.get_video_data_gps(camera_id=0, buffer_size=640 * 480, wait_ms=1_000_000)
    finally:
        orvik.stop_video_capture(0)
    assert len(frame) == 640 * 480 and type(gps) is orvik.GpsData and gps.satellite_num > 0
    with pytest.raises(orvik.ASIGPSNotSupported):
        sim.reset()
        orvik.open_camera(0)
        orvik.init_camera(0)
        orvik.gps_get_data(0)
