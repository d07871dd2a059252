"""The camera layer on the simulated cameras: lookup, lifecycle, controls, ROI, exposures."""

import re
import struct
import threading

import pytest

import journal
import simsdk

np = pytest.importorskip("numpy")

from velmora.brinmoor import orvik  # noqa: E402
from velmora.brinmoor.camera import (  # noqa: E402
    Camera,
    CameraNotFound,
    ExposureFailed,
    Roi,
    UnsupportedControl,
    connected,
    failure_context,
)
from velmora.brinmoor.camera.handle import CameraHandle  # noqa: E402


@pytest.fixture
def fast(sim):
    sim.set_time_scale(1000)
    return sim


@pytest.fixture
def cam(fast):
    with Camera(0) as camera:
        yield camera


# -- finding cameras ---------------------------------------------------------------------------

def test_connected_lists_what_the_sdk_reports(fast):
    found = connected()
    assert [c.index for c in found] == [0, 1]
    for entry in found:
        info = orvik.get_camera_property(entry.index)
        assert (entry.camera_id, entry.name) == (info.camera_id, info.name)
        assert (entry.max_width, entry.max_height) == (info.max_width, info.max_height)
        assert entry.supported_bins == tuple(info.supported_bins)
    assert found[0].bayer == "RGGB" and found[1].bayer is None
    assert found[1].image_types == ("raw8", "raw16", "y8")


@pytest.mark.parametrize(
    "spec, name",
    [(0, simsdk.ASI294), (1, simsdk.ASI120), ("ASI120", simsdk.ASI120), ("asi294mc", simsdk.ASI294),
     ("ZWO ASI120MM Mini", simsdk.ASI120)],
)
def test_camera_by_index_or_part_of_its_name(fast, spec, name):
    with Camera(spec) as cam:
        assert cam.name == name
        assert journal.calls_to(fast, "ASIOpenCamera") == [f"ASIOpenCamera({cam.id})"]
        assert journal.calls_to(fast, "ASIInitCamera") == [f"ASIInitCamera({cam.id})"]
    assert journal.last(fast) == f"ASICloseCamera({cam.id})"


@pytest.mark.parametrize(
    "spec, message",
    [
        (2, "no camera with index 2: 2 connected (use an index from 0 to 1)"),
        (-1, "no camera with index -1"),
        ("ASI999", "no connected camera is named like 'ASI999'"),
        ("ZWO", "'ZWO' names several cameras"),
    ],
)
def test_unknown_camera_is_refused_before_anything_is_opened(fast, spec, message):
    with pytest.raises(CameraNotFound, match=re.escape(message)) as info:
        Camera(spec)
    assert isinstance(info.value, ValueError)
    assert journal.calls_to(fast, "ASIOpenCamera") == []


def test_no_cameras(fast):
    fast.unplug(0)
    fast.unplug(1)
    assert connected() == []
    with pytest.raises(CameraNotFound, match="no cameras connected"):
        Camera(0)


def test_failed_initialisation_closes_the_camera(fast):
    fast.script("ASIInitCamera", simsdk.CAMERA_REMOVED)
    with pytest.raises(orvik.ASICameraRemoved) as info:
        Camera(0)
    assert "initialising the camera failed on camera 0 (ZWO ASI294MC Pro)" in info.value.__notes__
    assert journal.last(fast) == "ASICloseCamera(0)"


# -- lifecycle ---------------------------------------------------------------------------------

def test_leaving_the_block_on_an_exception_closes(fast):
    with pytest.raises(RuntimeError):
        with Camera(1):
            raise RuntimeError("boom")
    assert journal.last(fast) == "ASICloseCamera(1)"


def test_close_stops_video_exposure_and_guide_pulses(fast):
    cam = Camera(1)
    cam.guide_on("north")
    cam.guide_on(orvik.GuideDirection.ASI_GUIDE_EAST)
    cam.guide_off("north")
    stream = cam.stream().start()
    cam.close()
    cam.close()  # twice is harmless
    assert stream.stopped
    calls = journal.lines(fast)
    tail = calls[calls.index("ASIStartVideoCapture(1)") + 1:]
    assert tail == ["ASIStopVideoCapture(1)", "ASIPulseGuideOff(1, 2)", "ASICloseCamera(1)"]
    with pytest.raises(orvik.ASICameraClosed):
        cam.gain
    with pytest.raises(orvik.ASICameraClosed):
        cam.roi


def test_close_from_another_thread_ends_a_waiting_exposure(sim):
    cam = Camera(1)
    waiting = threading.Event()
    closer = threading.Timer(0.05, cam.close)
    with pytest.raises(orvik.ASICameraClosed):
        closer.start()
        cam.expose(60.0, on_wait=lambda _: waiting.set())
    closer.join(10)  # close() finishes once the exposure has let go of the camera
    assert waiting.is_set()
    assert journal.calls_to(sim, "ASIStopExposure") == ["ASIStopExposure(1)"]
    assert journal.last(sim) == "ASICloseCamera(1)"


# -- controls ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "prop, value, sdk_call",
    [
        ("gain", 200, f"ASISetControlValue(0, {simsdk.GAIN}, 200, 0)"),
        ("exposure", 0.5, f"ASISetControlValue(0, {simsdk.EXPOSURE}, 500000, 0)"),
        ("exposure", 1.25e-4, f"ASISetControlValue(0, {simsdk.EXPOSURE}, 125, 0)"),
        ("offset", 40, f"ASISetControlValue(0, {simsdk.OFFSET}, 40, 0)"),
        ("target_temperature", -10, f"ASISetControlValue(0, {simsdk.TARGET_TEMP}, -10, 0)"),
        ("cooler", True, f"ASISetControlValue(0, {simsdk.COOLER_ON}, 1, 0)"),
        ("bandwidth", 80, f"ASISetControlValue(0, {simsdk.BANDWIDTH}, 80, 0)"),
    ],
)
def test_properties_in_natural_units(cam, fast, prop, value, sdk_call):
    setattr(cam, prop, value)
    assert journal.last(fast) == sdk_call
    assert getattr(cam, prop) == pytest.approx(value)


def test_temperature_in_degrees(cam):
    raw, _ = orvik.get_control_value(cam.id, orvik.ControlType.ASI_TEMPERATURE)
    assert cam.temperature == pytest.approx(raw / 10, abs=0.5)
    with pytest.raises(AttributeError, match="temperature cannot be set"):
        cam.temperature = 5.0  # type: ignore[misc]


@pytest.mark.parametrize(
    "prop, value, message",
    [
        ("gain", 100000, r"gain 100000 is out of range for camera 0 \(ZWO ASI294MC Pro\) "
                         r"\(allowed 0 to \d+\)"),
        ("offset", -1, r"offset -1 is out of range .* \(allowed 0 to \d+\)"),
        ("exposure", 1e6, r"exposure 1e\+06 s is out of range .* \(allowed 3\.2e-05 s to \d+ s\)"),
        ("exposure", float("nan"), "nan is not a finite number"),
        ("target_temperature", 99, r"cooler target temperature 99 C is out of range"),
    ],
)
def test_values_out_of_range_are_refused_before_the_sdk(cam, fast, prop, value, message):
    fast.journal_clear()
    with pytest.raises(ValueError, match=message):
        setattr(cam, prop, value)
    assert journal.calls_to(fast, "ASISetControlValue") == []


@pytest.mark.parametrize("prop, value", [("gain", 1.5), ("gain", "200"), ("exposure", "1")])
def test_values_of_the_wrong_type(cam, prop, value):
    with pytest.raises(TypeError, match=prop):
        setattr(cam, prop, value)


def test_a_control_the_camera_lacks(fast):
    with Camera(1) as cam:
        assert not cam.has_control("ASI_COOLER_ON")
        with pytest.raises(UnsupportedControl, match=r"camera 1 \(ZWO ASI120MM Mini\) has no cooler"):
            cam.cooler = True
        with pytest.raises(UnsupportedControl):
            cam.cooler_power


def test_controls_mapping_matches_the_sdk(cam):
    names = [orvik.get_control_caps(cam.id, i).name for i in range(orvik.get_num_of_controls(cam.id))]
    assert list(cam.controls) == names and len(cam.controls) == len(names)
    cam.set_control("Gain", 150)
    gain = cam.controls["Gain"]
    assert (gain.value, gain.auto, gain.control_type) == (150, False, orvik.ControlType.ASI_GAIN)
    assert gain.min <= gain.default <= gain.max and gain.writable
    cam.set_control(orvik.ControlType.ASI_GAIN, 160, auto=True)
    assert (cam.controls["Gain"].value, cam.controls["Gain"].auto) == (160, True)
    assert "NoSuchControl" not in cam.controls
    with pytest.raises(KeyError):
        cam.controls["NoSuchControl"]


def test_sdk_failures_keep_their_class_and_gain_a_note(cam, fast):
    fast.script("ASISetControlValue", simsdk.GENERAL_ERROR)
    with pytest.raises(orvik.ASIGeneralError) as info:
        cam.gain = 100
    context = failure_context(info.value)
    assert context is not None
    assert (context.camera, context.action, context.value) == (
        "camera 0 (ZWO ASI294MC Pro)", "setting gain", "100")
    assert info.value.__notes__ == [
        "setting gain failed on camera 0 (ZWO ASI294MC Pro) (value: 100)"]


# -- region of interest ------------------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, exception, message",
    [
        (dict(width=100, height=480), ValueError, "ROI width 100 is not a multiple of 8"),
        (dict(width=640, height=481), ValueError, "ROI height 481 is not a multiple of 2"),
        (dict(width=0, height=480), ValueError, r"ROI width 0 is out of range \(allowed 1"),
        (dict(width=640, height=480, bin=0), ValueError, "ROI bin 0 is out of range"),
        (dict(width=640, height=480, x=-2), ValueError, "ROI x -2 is out of range"),
        (dict(width=640.0, height=480), TypeError, "ROI width must be an int"),
        (dict(width=640, height=480, image_type="rgb48"), ValueError,
         "image type 'rgb48' is not one of raw8, raw16, rgb24, y8"),
    ],
)
def test_roi_checks_itself(kwargs, exception, message):
    with pytest.raises(exception, match=message):
        Roi(**kwargs)


@pytest.mark.parametrize("spelling", ["raw16", "RAW16", "IMG_RAW16", orvik.ImgType.IMG_RAW16])
def test_image_type_spellings(spelling):
    assert Roi(8, 2, image_type=spelling).image_type == "raw16"


@pytest.mark.parametrize(
    "roi, message",
    [
        (Roi(640, 480, bin=3), r"bin 3 is not supported by camera 1 \(ZWO ASI120MM Mini\) "
                               r"\(supported: 1, 2\)"),
        (Roi(640, 480, image_type="rgb24"), "image type rgb24 is not supported"),
        (Roi(1288, 480), r"ROI 1288x480 does not fit the sensor .* at bin 1 \(1280x960\)"),
        (Roi(640, 480, bin=2, x=8), r"start x 8 puts the ROI outside .* \(0 to 0 at"),
        (Roi(640, 480, y=482), r"start y 482 puts the ROI outside .* \(0 to 480 at"),
    ],
)
def test_roi_the_camera_cannot_take(fast, roi, message):
    with Camera(1) as cam:
        fast.journal_clear()
        with pytest.raises(ValueError, match=message):
            cam.roi = roi
        assert journal.calls_to(fast, "ASISetROIFormat") == []


def test_roi_is_centred_unless_placed(fast):
    with Camera(1) as cam:
        cam.roi = Roi(640, 480, bin=1, image_type="raw16")
        assert cam.roi == Roi(640, 480, 1, "raw16", x=320, y=240)
        cam.roi = Roi(320, 240, bin=2, image_type="raw8", x=0)
        assert cam.roi == Roi(320, 240, 2, "raw8", x=0, y=120)
        assert journal.last(fast).startswith("ASIGetStartPos(1")
        assert "ASISetStartPos(1, 0, 120)" in journal.lines(fast)
        assert cam.full_roi(2) == Roi(640, 480, 2, "raw16")


# -- exposures and frames ----------------------------------------------------------------------

@pytest.mark.parametrize(
    "image_type, dtype, shape",
    [("raw8", np.uint8, (48, 64)), ("y8", np.uint8, (48, 64)), ("raw16", np.uint16, (48, 64)),
     ("rgb24", np.uint8, (48, 64, 3))],
)
def test_expose_gives_a_view_of_the_frame(cam, fast, image_type, dtype, shape):
    cam.roi = Roi(64, 48, image_type=image_type)
    cam.gain = 300
    frame = cam.expose(5.0)
    array = frame.array
    assert (array.dtype, array.shape) == (dtype, shape)
    assert np.shares_memory(array, np.frombuffer(frame.data, np.uint8))  # no copy
    assert not array.flags.writeable
    assert array.std() > 0
    m = frame.metadata
    assert (m.camera, m.roi, m.exposure, m.dark) == (cam.name, cam.roi, 5.0, False)
    assert m.start <= m.end and m.start.utcoffset().total_seconds() == 0
    assert m.gain == cam.gain and m.temperature == pytest.approx(cam.temperature, abs=0.5)
    assert journal.calls_to(fast, "ASIStartExposure") == ["ASIStartExposure(0, 0)"]


def test_frame_arrays_follow_the_byte_layout(cam, fast):
    # A scripted image: RAW16 little-endian, RGB24 as B, G, R per pixel.
    cam.roi = Roi(8, 2, image_type="raw16")
    fast.script("ASIGetDataAfterExp", 0, struct.pack("<16H", *range(0x100, 0x110)))
    assert cam.expose(0.01).array.tolist() == [list(range(0x100, 0x108)),
                                                  list(range(0x108, 0x110))]
    cam.roi = Roi(8, 2, image_type="rgb24")
    fast.script("ASIGetDataAfterExp", 0, bytes(range(48)))
    rgb = cam.expose(0.01).array
    assert rgb[0, 0].tolist() == [2, 1, 0] and rgb[1, 7].tolist() == [47, 46, 45]


def test_dark_exposure(cam, fast):
    cam.roi = Roi(64, 48)
    assert cam.expose(0.01, dark=True).metadata.dark
    assert journal.calls_to(fast, "ASIStartExposure") == ["ASIStartExposure(0, 1)"]


def test_exposure_that_never_ends_times_out_and_is_stopped(sim):
    with Camera(1) as cam:
        with pytest.raises(orvik.ASITimeout) as info:
            cam.expose(600.0, timeout=0.2)
        assert "did not finish within 0.2 s" in info.value.__notes__[0]
        assert journal.calls_to(sim, "ASIStopExposure") == ["ASIStopExposure(1)"]


def test_failed_exposure(cam, fast):
    fast.script("ASIGetExpStatus", 0, struct.pack("<i", simsdk.EXP_FAILED))
    with pytest.raises(ExposureFailed, match="the exposure failed on camera 0") as info:
        cam.expose(0.01)
    assert isinstance(info.value, orvik.ASIError)
    assert journal.calls_to(fast, "ASIStopExposure") == ["ASIStopExposure(0)"]


def test_ctrl_c_while_waiting_stops_the_exposure(sim, monkeypatch):
    def interrupt(self, seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(CameraHandle, "pause", interrupt)
    with Camera(1) as cam:
        with pytest.raises(KeyboardInterrupt):
            cam.expose(30.0)
        assert journal.calls_to(sim, "ASIStopExposure") == ["ASIStopExposure(1)"]
        cam.roi = Roi(64, 48)  # the camera is idle again and takes new settings
    assert journal.last(sim) == "ASICloseCamera(1)"


@pytest.mark.parametrize("timeout", [0, -1.0, float("inf"), float("nan")])
def test_bad_timeouts(cam, timeout):
    with pytest.raises(ValueError, match="timeout"):
        cam.expose(0.01, timeout=timeout)


def test_to_fits_writes_the_capture_tools_header(cam, tmp_path):
    fits = pytest.importorskip("astropy.io.fits")
    cam.roi = Roi(64, 48, bin=2, image_type="raw16", x=3, y=4)
    cam.gain = 150
    frame = cam.expose(0.25, dark=True)
    path = frame.to_fits(tmp_path / "f.fits")
    with fits.open(path) as hdul:
        header, data = hdul[0].header, hdul[0].data
        assert (header["EXPTIME"], header["GAIN"], header["IMAGETYP"]) == (0.25, 150, "Dark Frame")
        roi = frame.metadata.roi  # as the camera took it: it may round the origin
        assert (header["XBINNING"], header["XORGSUBF"], header["YORGSUBF"]) == (2, roi.x, 4)
        assert header["INSTRUME"] == cam.name and header["BAYERPAT"] == "RGGB"
        assert header["DATE-OBS"] == frame.metadata.start.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]
        np.testing.assert_array_equal(data, frame.array)
    with pytest.raises(FileExistsError):
        frame.to_fits(path)


@pytest.mark.parametrize("direction, code", [("north", 0), ("WEST", 3),
                                             (orvik.GuideDirection.ASI_GUIDE_EAST, 2)])
def test_pulse_guide_switches_the_pulse_on_and_off(fast, direction, code):
    with Camera(1) as cam:
        cam.pulse_guide(direction, 0.01)
        assert journal.lines(fast)[-2:] == [f"ASIPulseGuideOn(1, {code})",
                                            f"ASIPulseGuideOff(1, {code})"]
        with pytest.raises(ValueError, match="guide direction 'up'"):
            cam.pulse_guide("up", 0.01)
        with pytest.raises(ValueError, match="pulse length -1"):
            cam.pulse_guide("north", -1)


@pytest.mark.parametrize("gain, expected", [(0, (3.94 / 4, None)), (120, None)])
def test_a_camera_the_simulator_does_not_know_converts_at_gain_0_alone(cam, monkeypatch, gain,
                                                                       expected):
    """A camera without the simulator's model (the vendor's SDK) has the SDK's factor, for
    gain 0, and no full well: other gains are not guessed."""
    from velmora.brinmoor.camera import conversion

    monkeypatch.setattr(conversion, "simulator", lambda: None)
    cam.gain = gain
    figures = cam.conversion("raw16", 1)
    assert (figures and (pytest.approx(figures.electrons_per_adu), figures.full_well)) == expected
