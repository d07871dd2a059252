"""The simulated cameras' state machines and error codes, driven through the C API."""

import ctypes
import time

import pytest

import simsdk as s
from simsdk import lib

byref = ctypes.byref


def _buf(n=16):
    return ctypes.create_string_buffer(n)


# One well-formed call of every function that takes a camera ID, as (name, call(camera_id)).
CAMERA_CALLS = {
    "ASIGetCameraPropertyByID": lambda c: lib.ASIGetCameraPropertyByID(c, byref(s.asisim.ASI_CAMERA_INFO())),
    "ASIOpenCamera": lambda c: lib.ASIOpenCamera(c),
    "ASIInitCamera": lambda c: lib.ASIInitCamera(c),
    "ASICloseCamera": lambda c: lib.ASICloseCamera(c),
    "ASIGetID": lambda c: lib.ASIGetID(c, byref(s.asisim.ASI_ID())),
    "ASISetID": lambda c: lib.ASISetID(c, s.asisim.ASI_ID()),
    "ASIGetSerialNumber": lambda c: lib.ASIGetSerialNumber(c, byref(s.asisim.ASI_ID())),
    "ASIGetCameraSupportMode": lambda c: lib.ASIGetCameraSupportMode(c, byref(s.asisim.ASI_SUPPORTED_MODE())),
    "ASIGetCameraMode": lambda c: lib.ASIGetCameraMode(c, byref(ctypes.c_int())),
    "ASISetCameraMode": lambda c: lib.ASISetCameraMode(c, 0),
    "ASIGetNumOfControls": lambda c: lib.ASIGetNumOfControls(c, byref(ctypes.c_int())),
    "ASIGetControlCaps": lambda c: lib.ASIGetControlCaps(c, 0, byref(s.asisim.ASI_CONTROL_CAPS())),
    "ASIGetControlValue": lambda c: lib.ASIGetControlValue(c, 0, byref(ctypes.c_long()), byref(ctypes.c_int())),
    "ASISetControlValue": lambda c: lib.ASISetControlValue(c, 0, 10, 0),
    "ASIGetGainOffset": lambda c: lib.ASIGetGainOffset(c, *[byref(ctypes.c_int()) for _ in range(4)]),
    "ASIGetLMHGainOffset": lambda c: lib.ASIGetLMHGainOffset(c, *[byref(ctypes.c_int()) for _ in range(4)]),
    "ASISetROIFormat": lambda c: lib.ASISetROIFormat(c, 640, 480, 1, 0),
    "ASIGetROIFormat": lambda c: lib.ASIGetROIFormat(c, *[byref(ctypes.c_int()) for _ in range(4)]),
    "ASISetStartPos": lambda c: lib.ASISetStartPos(c, 0, 0),
    "ASIGetStartPos": lambda c: lib.ASIGetStartPos(c, byref(ctypes.c_int()), byref(ctypes.c_int())),
    "ASIStartExposure": lambda c: lib.ASIStartExposure(c, 0),
    "ASIStopExposure": lambda c: lib.ASIStopExposure(c),
    "ASIGetExpStatus": lambda c: lib.ASIGetExpStatus(c, byref(ctypes.c_int())),
    "ASIGetDataAfterExp": lambda c: lib.ASIGetDataAfterExp(c, _buf(), 16),
    "ASIGetDataAfterExpGPS": lambda c: lib.ASIGetDataAfterExpGPS(c, _buf(), 16, byref(s.asisim.ASI_GPS_DATA())),
    "ASIStartVideoCapture": lambda c: lib.ASIStartVideoCapture(c),
    "ASIStopVideoCapture": lambda c: lib.ASIStopVideoCapture(c),
    "ASIGetVideoData": lambda c: lib.ASIGetVideoData(c, _buf(), 16, 0),
    "ASIGetVideoDataGPS": lambda c: lib.ASIGetVideoDataGPS(c, _buf(), 16, 0, byref(s.asisim.ASI_GPS_DATA())),
    "ASIGetDroppedFrames": lambda c: lib.ASIGetDroppedFrames(c, byref(ctypes.c_int())),
    "ASIEnableDarkSubtract": lambda c: lib.ASIEnableDarkSubtract(c, b"/nonexistent/dark.bmp"),
    "ASIDisableDarkSubtract": lambda c: lib.ASIDisableDarkSubtract(c),
    "ASIPulseGuideOn": lambda c: lib.ASIPulseGuideOn(c, 0),
    "ASIPulseGuideOff": lambda c: lib.ASIPulseGuideOff(c, 0),
    "ASISendSoftTrigger": lambda c: lib.ASISendSoftTrigger(c, 1),
    "ASISetTriggerOutputIOConf": lambda c: lib.ASISetTriggerOutputIOConf(c, 0, 1, 0, 100),
    "ASIGetTriggerOutputIOConf": lambda c: lib.ASIGetTriggerOutputIOConf(
        c, 0, byref(ctypes.c_int()), byref(ctypes.c_long()), byref(ctypes.c_long())
    ),
    "ASIGPSGetData": lambda c: lib.ASIGPSGetData(c, byref(s.asisim.ASI_GPS_DATA()), byref(s.asisim.ASI_GPS_DATA())),
}

# What an open camera that was not initialised answers (camera 1, the ST4 camera).
OPEN_ONLY = {
    "ASIGetID": s.SUCCESS,
    "ASISetID": s.SUCCESS,
    "ASIGetSerialNumber": s.SUCCESS,
    "ASIGetCameraSupportMode": s.SUCCESS,
    "ASIGetCameraMode": s.SUCCESS,
    "ASISetCameraMode": s.SUCCESS,
    "ASIGetNumOfControls": s.SUCCESS,
    "ASIGetControlCaps": s.SUCCESS,
    "ASIGetGainOffset": s.SUCCESS,
    "ASIGetLMHGainOffset": s.SUCCESS,
    "ASIPulseGuideOn": s.SUCCESS,
    "ASIPulseGuideOff": s.SUCCESS,
    "ASIGPSGetData": s.GPS_NOT_SUPPORTED,
    "ASISetTriggerOutputIOConf": s.INVALID_MODE,
    "ASIGetTriggerOutputIOConf": s.INVALID_MODE,
}
NEEDS_INIT = sorted(
    set(CAMERA_CALLS)
    - set(OPEN_ONLY)
    - {"ASIGetCameraPropertyByID", "ASIOpenCamera", "ASIInitCamera", "ASICloseCamera"}
    - {"ASIGetDataAfterExpGPS", "ASIGetVideoDataGPS"}  # the GPS refusal comes first on this camera
)


@pytest.mark.parametrize("camera_id", [2, -1, -(2**31)])
@pytest.mark.parametrize("name", sorted(CAMERA_CALLS))
def test_unknown_camera_id(sim, name, camera_id):
    assert CAMERA_CALLS[name](camera_id) == s.INVALID_ID


@pytest.mark.parametrize("name", sorted(set(CAMERA_CALLS) - {"ASIOpenCamera", "ASIGetCameraPropertyByID"}))
def test_closed_camera(sim, name):
    expected = s.SUCCESS if name == "ASICloseCamera" else s.CAMERA_CLOSED
    assert CAMERA_CALLS[name](1) == expected


@pytest.mark.parametrize("name", sorted(OPEN_ONLY))
def test_open_camera_without_init(sim, name):
    assert lib.ASIOpenCamera(1) == s.SUCCESS
    assert CAMERA_CALLS[name](1) == OPEN_ONLY[name]


@pytest.mark.parametrize("name", NEEDS_INIT)
def test_calls_that_need_init(sim, name):
    assert lib.ASIOpenCamera(1) == s.SUCCESS
    assert CAMERA_CALLS[name](1) == s.CAMERA_CLOSED


@pytest.mark.parametrize("name", sorted(CAMERA_CALLS))
def test_unplugged_camera(sim, name):
    s.ready(0)
    sim.unplug(0)
    assert CAMERA_CALLS[name](0) == s.CAMERA_REMOVED


def test_refusals_carry_the_vendor_numbers(sim):
    """The codes a C or ctypes caller sees are the vendor's numbers, written out here on purpose."""
    info = s.asisim.ASI_CAMERA_INFO()
    assert lib.ASIGetCameraProperty(byref(info), 7) == 1  # no camera at that index
    assert lib.ASIOpenCamera(7) == 2  # no camera with that ID
    assert lib.ASIGetExpStatus(1, byref(ctypes.c_int())) == 4  # camera closed
    s.ready(0)
    assert lib.ASISetROIFormat(0, 644, 480, 1, s.RAW8) == 8  # invalid size
    assert lib.ASISetROIFormat(0, 640, 480, 1, 7) == 9  # invalid image type
    assert lib.ASIGetVideoData(0, _buf(), 16, 0) == 12  # invalid sequence: no capture running
    assert lib.ASISetControlValue(0, s.GAIN, -1, 0) == 16  # general error: out of range
    sim.unplug(0)
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == 5  # camera removed


def test_close_then_calls_are_refused_and_reopen_needs_init(sim):
    s.ready(0)
    assert lib.ASICloseCamera(0) == s.SUCCESS
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == s.CAMERA_CLOSED
    assert lib.ASIOpenCamera(0) == s.SUCCESS
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == s.CAMERA_CLOSED
    assert lib.ASIInitCamera(0) == s.SUCCESS
    assert s.exp_status(0) == s.EXP_IDLE


def test_init_restores_power_on_settings(sim):
    s.ready(0)
    assert lib.ASISetROIFormat(0, 640, 480, 2, s.RAW16) == s.SUCCESS
    assert s.set_control(0, s.GAIN, 300) == s.SUCCESS
    assert lib.ASIInitCamera(0) == s.SUCCESS
    assert s.roi(0) == (4144, 2822, 1, s.RAW8)
    caps = _caps_by_type(0)
    assert s.control(0, s.GAIN) == (caps[s.GAIN].DefaultValue, 0)


# ---- null pointers ----

NULL_CALLS = {
    "ASIGetCameraProperty": lambda: lib.ASIGetCameraProperty(None, 0),
    "ASIGetCameraPropertyByID": lambda: lib.ASIGetCameraPropertyByID(0, None),
    "ASIGetID": lambda: lib.ASIGetID(0, None),
    "ASIGetSerialNumber": lambda: lib.ASIGetSerialNumber(0, None),
    "ASIGetCameraSupportMode": lambda: lib.ASIGetCameraSupportMode(0, None),
    "ASIGetCameraMode": lambda: lib.ASIGetCameraMode(0, None),
    "ASIGetNumOfControls": lambda: lib.ASIGetNumOfControls(0, None),
    "ASIGetControlCaps": lambda: lib.ASIGetControlCaps(0, 0, None),
    "ASIGetControlValue value": lambda: lib.ASIGetControlValue(0, 0, None, byref(ctypes.c_int())),
    "ASIGetControlValue auto": lambda: lib.ASIGetControlValue(0, 0, byref(ctypes.c_long()), None),
    "ASIGetGainOffset": lambda: lib.ASIGetGainOffset(0, byref(ctypes.c_int()), None, None, byref(ctypes.c_int())),
    "ASIGetLMHGainOffset": lambda: lib.ASIGetLMHGainOffset(0, None, None, None, None),
    "ASIGetROIFormat": lambda: lib.ASIGetROIFormat(0, byref(ctypes.c_int()), None, None, None),
    "ASIGetStartPos": lambda: lib.ASIGetStartPos(0, None, byref(ctypes.c_int())),
    "ASIGetExpStatus": lambda: lib.ASIGetExpStatus(0, None),
    "ASIGetDroppedFrames": lambda: lib.ASIGetDroppedFrames(0, None),
    "ASIGetTriggerOutputIOConf": lambda: lib.ASIGetTriggerOutputIOConf(0, 0, None, None, None),
    "ASIGPSGetData": lambda: lib.ASIGPSGetData(0, None, None),
    "ASIGetDataAfterExpGPS": lambda: lib.ASIGetDataAfterExpGPS(0, _buf(), 16, None),
    "ASIGetVideoDataGPS": lambda: lib.ASIGetVideoDataGPS(0, _buf(), 16, 0, None),
}


@pytest.mark.parametrize("name", sorted(NULL_CALLS))
def test_null_outputs_are_refused(sim, name):
    s.ready(0)
    assert NULL_CALLS[name]() == s.GENERAL_ERROR


def test_null_dark_path_is_refused(sim):
    s.ready(0)
    assert lib.ASIEnableDarkSubtract(0, None) == s.INVALID_PATH
    assert sim.journal_entry(-1) == "ASIEnableDarkSubtract(0, NULL)"


# ---- discovery ----


@pytest.mark.parametrize(
    "index, name, width, height, pixel, bits, color, cooled, st4, usb3",
    [
        (0, s.ASI294, 4144, 2822, 4.63, 14, 1, 1, 0, 1),
        (1, s.ASI120, 1280, 960, 3.75, 12, 0, 0, 1, 0),
    ],
)
def test_default_cameras(sim, index, name, width, height, pixel, bits, color, cooled, st4, usb3):
    info = s.asisim.ASI_CAMERA_INFO()
    assert lib.ASIGetCameraProperty(byref(info), index) == s.SUCCESS
    assert (info.Name.decode(), info.CameraID) == (name, index)
    assert (info.MaxWidth, info.MaxHeight, info.BitDepth) == (width, height, bits)
    assert info.PixelSize == pytest.approx(pixel)
    assert (info.IsColorCam, info.IsCoolerCam, info.ST4Port, info.IsUSB3Camera) == (color, cooled, st4, usb3)
    if color:
        assert info.BayerPattern == 0  # RG
    formats = list(info.SupportedVideoFormat)
    end = formats.index(-1)
    assert set(formats[:end]) == ({s.RAW8, s.RAW16, s.Y8} | ({s.RGB24} if color else set()))
    bins = list(info.SupportedBins)
    assert bins[0] == 1 and 0 in bins


@pytest.mark.parametrize("model", s.asisim.models())
def test_record_lists_are_filled_with_their_end_markers(sim, model):
    # Every entry after a list's last one is its end marker (0 for bins), never a stray zero
    # that would read back as RAW8 or the normal mode.
    sim.reset([model])
    rec = s.info(0)
    formats = list(rec.SupportedVideoFormat)
    n = formats.index(-1)
    assert formats[n:] == [-1] * (len(formats) - n)
    assert len(set(formats[:n])) == n and set(formats[:n]) <= set(s.BYTES_PER_PIXEL)
    bins = list(rec.SupportedBins)
    k = bins.index(0)
    assert bins[:k] == list(range(1, k + 1)) and bins[k:] == [0] * (len(bins) - k)
    assert lib.ASIOpenCamera(0) == s.SUCCESS
    supported = s.asisim.ASI_SUPPORTED_MODE()
    assert lib.ASIGetCameraSupportMode(0, byref(supported)) == s.SUCCESS
    modes = list(supported.SupportedCameraMode)
    m = modes.index(-1)
    assert m >= 1 and modes[m:] == [-1] * (len(modes) - m)


def test_count_and_invalid_index(sim):
    assert lib.ASIGetNumOfConnectedCameras() == 2
    info = s.asisim.ASI_CAMERA_INFO()
    for index in (2, -1, 1000):
        assert lib.ASIGetCameraProperty(byref(info), index) == s.INVALID_INDEX


def test_unplug_hides_camera_from_indices_and_plug_brings_it_back_closed(sim):
    s.ready(0)
    sim.unplug(0)
    assert lib.ASIGetNumOfConnectedCameras() == 1
    info = s.asisim.ASI_CAMERA_INFO()
    assert lib.ASIGetCameraProperty(byref(info), 0) == s.SUCCESS
    assert (info.Name.decode(), info.CameraID) == (s.ASI120, 1)
    sim.plug(0)
    assert lib.ASIGetNumOfConnectedCameras() == 2
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == s.CAMERA_CLOSED
    s.ready(0)


@pytest.mark.parametrize("fn", ["unplug", "plug"])
@pytest.mark.parametrize("camera_id", [2, -1])
def test_unplug_unknown_id(sim, fn, camera_id):
    with pytest.raises(ValueError):
        getattr(sim, fn)(camera_id)


def test_camera_check(sim):
    assert lib.ASICameraCheck(0x03C3, 0x294A) == 1
    assert lib.ASICameraCheck(0x03C3, 0x0001) == 0
    assert lib.ASICameraCheck(0x1234, 0x294A) == 0


# ---- identity and modes ----


def test_flash_id_round_trip_and_serial(sim):
    s.ready(0)
    s.ready(1)
    new = s.asisim.ASI_ID((ctypes.c_ubyte * 8)(*b"guider\x00\xff"))
    assert lib.ASISetID(0, new) == s.SUCCESS
    got = s.asisim.ASI_ID()
    assert lib.ASIGetID(0, byref(got)) == s.SUCCESS
    assert bytes(got.id) == b"guider\x00\xff"
    assert lib.ASIGetID(1, byref(got)) == s.SUCCESS
    assert bytes(got.id) == bytes(8)
    serials = []
    for cid in (0, 1):
        sn = s.asisim.ASI_ID()
        assert lib.ASIGetSerialNumber(cid, byref(sn)) == s.SUCCESS
        serials.append(bytes(sn.id))
    assert serials[0] != serials[1] and bytes(8) not in serials
    sim.reset()
    s.ready(0)
    sn = s.asisim.ASI_ID()
    assert lib.ASIGetSerialNumber(0, byref(sn)) == s.SUCCESS
    assert bytes(sn.id) == serials[0]


def _modes(cid):
    m = s.asisim.ASI_SUPPORTED_MODE()
    assert lib.ASIGetCameraSupportMode(cid, byref(m)) == s.SUCCESS
    modes = list(m.SupportedCameraMode)
    return modes[: modes.index(-1)]


def test_supported_modes(sim):
    sim.reset([s.ASI294, s.TRIGGER_MODEL])
    lib.ASIOpenCamera(0)
    lib.ASIOpenCamera(1)
    assert _modes(0) == [0]
    assert _modes(1) == [0, 1, 2, 3, 4, 5, 6]


@pytest.mark.parametrize(
    "model, mode, expected",
    [
        (s.ASI294, 0, s.SUCCESS),
        (s.ASI294, 1, s.INVALID_MODE),
        (s.TRIGGER_MODEL, 6, s.SUCCESS),
        (s.TRIGGER_MODEL, 7, s.INVALID_MODE),
        (s.TRIGGER_MODEL, -1, s.INVALID_MODE),
    ],
)
def test_set_camera_mode(sim, model, mode, expected):
    sim.reset([model])
    s.ready(0)
    assert lib.ASISetCameraMode(0, mode) == expected
    got = ctypes.c_int()
    assert lib.ASIGetCameraMode(0, byref(got)) == s.SUCCESS
    assert got.value == (mode if expected == s.SUCCESS else 0)


# ---- controls ----


def _caps_by_type(cid):
    n = ctypes.c_int()
    assert lib.ASIGetNumOfControls(cid, byref(n)) == s.SUCCESS
    out = {}
    for i in range(n.value):
        caps = s.asisim.ASI_CONTROL_CAPS()
        assert lib.ASIGetControlCaps(cid, i, byref(caps)) == s.SUCCESS
        out[caps.ControlType] = caps
    assert len(out) == n.value, "a control type listed twice"
    return out


@pytest.mark.parametrize("cid", [0, 1])
def test_control_caps_are_consistent(sim, cid):
    s.ready(cid)
    caps = _caps_by_type(cid)
    for ctype, c in caps.items():
        assert c.MinValue <= c.DefaultValue <= c.MaxValue, c.Name
        assert c.Name
        value, auto = s.control(cid, ctype)
        if ctype not in (s.TEMPERATURE, s.COOLER_POWER):
            assert (value, auto) == (c.DefaultValue, 0), c.Name
    color = cid == 0
    assert (s.WB_R in caps) == color
    assert (s.COOLER_ON in caps) == color  # the 294 is the cooled one
    assert caps[s.TEMPERATURE].IsWritable == 0


@pytest.mark.parametrize("cid", [0, 1])
def test_every_writable_control_accepts_its_range_and_refuses_beyond(sim, cid):
    s.ready(cid)
    for ctype, c in _caps_by_type(cid).items():
        if not c.IsWritable:
            assert s.set_control(cid, ctype, c.DefaultValue) == s.GENERAL_ERROR, c.Name
            continue
        for v in (c.MaxValue, c.MinValue):
            assert s.set_control(cid, ctype, v) == s.SUCCESS, c.Name
            assert s.control(cid, ctype)[0] == v
        assert s.set_control(cid, ctype, c.MaxValue + 1) != s.SUCCESS, c.Name
        assert s.set_control(cid, ctype, c.MinValue - 1) != s.SUCCESS, c.Name
        assert s.control(cid, ctype)[0] == c.MinValue, c.Name


@pytest.mark.parametrize(
    "ctype, value, auto, expected",
    [
        (s.GAIN, 100, 1, s.SUCCESS),
        (s.EXPOSURE, 5000, 1, s.SUCCESS),
        (s.FLIP, 1, 1, s.GENERAL_ERROR),  # no automatic mode
        (s.GAIN, 100, 2, s.GENERAL_ERROR),  # not a boolean
        (s.GAIN, 2**31, 0, s.GENERAL_ERROR),
        (s.GAIN, -(2**40), 0, s.GENERAL_ERROR),
        (29, 0, 0, s.INVALID_CONTROL_TYPE),  # ASI_CONTROL_TYPE_END
        (-1, 0, 0, s.INVALID_CONTROL_TYPE),
        (1000, 0, 0, s.INVALID_CONTROL_TYPE),
        (s.GPS_START_LINE, 0, 0, s.INVALID_CONTROL_TYPE),  # not a GPS camera
    ],
)
def test_set_control_codes(sim, ctype, value, auto, expected):
    s.ready(0)
    assert s.set_control(0, ctype, value, auto) == expected
    if expected == s.SUCCESS:
        assert s.control(0, ctype) == (value, auto)


@pytest.mark.parametrize("ctype", [s.COOLER_ON, s.TARGET_TEMP, s.WB_R, s.MONO_BIN])
def test_controls_the_mono_uncooled_camera_lacks(sim, ctype):
    s.ready(1)
    v, a = ctypes.c_long(), ctypes.c_int()
    assert lib.ASIGetControlValue(1, ctype, byref(v), byref(a)) == s.INVALID_CONTROL_TYPE
    assert s.set_control(1, ctype, 0) == s.INVALID_CONTROL_TYPE


@pytest.mark.parametrize("index", [-1, 1000])
def test_control_caps_index_out_of_range(sim, index):
    s.ready(0)
    assert lib.ASIGetControlCaps(0, index, byref(s.asisim.ASI_CONTROL_CAPS())) == s.INVALID_CONTROL_TYPE


def test_cooler_reaches_target_and_warms_back(sim):
    s.ready(0)
    sim.set_time_scale(200)
    ambient, _ = s.control(0, s.TEMPERATURE)
    assert s.control(0, s.COOLER_POWER)[0] == 0
    assert s.set_control(0, s.TARGET_TEMP, -10) == s.SUCCESS
    assert s.set_control(0, s.COOLER_ON, 1) == s.SUCCESS
    time.sleep(0.05)  # some 10 simulated seconds: on the way down
    mid, _ = s.control(0, s.TEMPERATURE)
    assert -100 < mid < ambient
    assert s.control(0, s.COOLER_POWER)[0] == 100
    sim.set_time_scale(5000)
    time.sleep(0.5)  # some 2500 simulated seconds
    assert s.control(0, s.TEMPERATURE)[0] == pytest.approx(-100, abs=3)
    assert 0 < s.control(0, s.COOLER_POWER)[0] < 100
    assert s.set_control(0, s.COOLER_ON, 0) == s.SUCCESS
    time.sleep(0.5)
    assert s.control(0, s.TEMPERATURE)[0] == pytest.approx(ambient, abs=3)
    assert s.control(0, s.COOLER_POWER)[0] == 0


# ---- region of interest ----


@pytest.mark.parametrize(
    "cid, w, h, b, t, expected",
    [
        (0, 640, 480, 1, s.RAW8, s.SUCCESS),
        (0, 4144, 2822, 1, s.RAW16, s.SUCCESS),
        (0, 2072, 1410, 2, s.RGB24, s.SUCCESS),
        (0, 1376, 940, 3, s.Y8, s.SUCCESS),
        (0, 644, 480, 1, s.RAW8, s.INVALID_SIZE),  # width not a multiple of 8
        (0, 640, 481, 1, s.RAW8, s.INVALID_SIZE),  # height odd
        (0, 0, 480, 1, s.RAW8, s.INVALID_SIZE),
        (0, -640, 480, 1, s.RAW8, s.INVALID_SIZE),
        (0, 4152, 2822, 1, s.RAW8, s.INVALID_SIZE),  # wider than the sensor
        (0, 2080, 1410, 2, s.RAW8, s.INVALID_SIZE),  # wider than the sensor at bin 2
        (0, 640, 480, 5, s.RAW8, s.INVALID_SIZE),
        (0, 640, 480, 0, s.RAW8, s.INVALID_SIZE),
        (0, 640, 480, 1, 4, s.INVALID_IMGTYPE),
        (0, 640, 480, 1, -1, s.INVALID_IMGTYPE),
        (1, 640, 480, 1, s.RGB24, s.INVALID_IMGTYPE),  # mono camera
        (1, 320, 240, 3, s.RAW8, s.INVALID_SIZE),  # bins 1 and 2 only
        (1, 640, 480, 2, s.RAW16, s.SUCCESS),
    ],
)
def test_set_roi(sim, cid, w, h, b, t, expected):
    s.ready(cid)
    before = s.roi(cid)
    assert lib.ASISetROIFormat(cid, w, h, b, t) == expected
    assert s.roi(cid) == ((w, h, b, t) if expected == s.SUCCESS else before)


@pytest.mark.parametrize(
    "cid, w, h, b, centre",
    [(0, 640, 480, 1, (1752, 1170)), (0, 1000, 500, 2, (536, 454)), (1, 640, 480, 1, (320, 240)),
     (1, 8, 2, 2, (316, 239))],
)
def test_roi_change_centres_the_start(sim, cid, w, h, b, centre):
    s.ready(cid)
    assert lib.ASISetStartPos(cid, 0, 0) == s.SUCCESS
    assert lib.ASISetROIFormat(cid, w, h, b, s.RAW8) == s.SUCCESS
    assert s.start_pos(cid) == centre


@pytest.mark.parametrize(
    "x, y, expected, pos",
    [
        (0, 0, s.SUCCESS, (0, 0)),
        (100, 200, s.SUCCESS, (100, 200)),
        (101, 201, s.SUCCESS, (100, 200)),  # Bayer phase kept on the colour camera
        (3504, 2342, s.SUCCESS, (3504, 2342)),  # the ROI ends on the sensor's last pixels
        (3505, 2342, s.OUTOF_BOUNDARY, None),  # one column over the edge
        (3504, 2344, s.OUTOF_BOUNDARY, None),  # two rows over the edge
        (4000, 2800, s.OUTOF_BOUNDARY, None),  # refused, not pulled back
        (2**31 - 1, 0, s.OUTOF_BOUNDARY, None),
        (-1, 0, s.OUTOF_BOUNDARY, None),
        (0, -2, s.OUTOF_BOUNDARY, None),
        (4144, 0, s.OUTOF_BOUNDARY, None),
        (0, 2822, s.OUTOF_BOUNDARY, None),
    ],
)
def test_start_position(sim, x, y, expected, pos):
    s.ready(0)
    assert lib.ASISetROIFormat(0, 640, 480, 1, s.RAW8) == s.SUCCESS
    before = s.start_pos(0)
    assert lib.ASISetStartPos(0, x, y) == expected
    assert s.start_pos(0) == (pos or before)


def test_start_position_is_in_binned_pixels(sim):
    s.ready(1)  # mono, 1280 x 960: 640 x 480 at bin 2
    assert lib.ASISetROIFormat(1, 320, 240, 2, s.RAW8) == s.SUCCESS
    assert lib.ASISetStartPos(1, 320, 240) == s.SUCCESS
    assert s.start_pos(1) == (320, 240)
    assert lib.ASISetStartPos(1, 322, 0) == s.OUTOF_BOUNDARY
    assert lib.ASISetStartPos(1, 0, 242) == s.OUTOF_BOUNDARY
    assert lib.ASISetStartPos(1, 3, 5) == s.SUCCESS
    assert s.start_pos(1) == (3, 5)  # a mono sensor has no phase to keep


# ---- snapshot exposure ----


def test_exposure_status_follows_simulated_time(sim):
    s.ready(0)
    assert lib.ASISetROIFormat(0, 640, 480, 1, s.RAW8) == s.SUCCESS
    assert s.set_control(0, s.EXPOSURE, 60_000_000) == s.SUCCESS  # one minute
    buf = _buf(640 * 480)
    assert lib.ASIGetDataAfterExp(0, buf, 640 * 480) == s.INVALID_SEQUENCE  # nothing exposed yet
    assert s.exp_status(0) == s.EXP_IDLE
    assert lib.ASIStartExposure(0, 0) == s.SUCCESS
    time.sleep(0.05)
    assert s.exp_status(0) == s.EXP_WORKING
    assert lib.ASIStartExposure(0, 0) == s.EXPOSURE_IN_PROGRESS
    assert lib.ASIGetDataAfterExp(0, buf, 640 * 480) == s.EXPOSURE_IN_PROGRESS
    assert lib.ASIStartVideoCapture(0) == s.EXPOSURE_IN_PROGRESS
    assert lib.ASISetROIFormat(0, 320, 240, 1, s.RAW8) == s.EXPOSURE_IN_PROGRESS
    sim.set_time_scale(10_000)
    deadline = time.monotonic() + 5
    while s.exp_status(0) == s.EXP_WORKING and time.monotonic() < deadline:
        time.sleep(0.001)
    assert s.exp_status(0) == s.EXP_SUCCESS
    assert lib.ASIGetDataAfterExp(0, buf, 640 * 480) == s.SUCCESS
    assert s.exp_status(0) == s.EXP_SUCCESS  # data can be read again


def test_roi_change_discards_a_finished_exposure(sim):
    s.ready(1)
    sim.set_time_scale(1000)
    s.snapshot(1)
    assert lib.ASISetROIFormat(1, 320, 240, 1, s.RAW8) == s.SUCCESS
    assert s.exp_status(1) == s.EXP_IDLE
    assert lib.ASIGetDataAfterExp(1, _buf(1280 * 960), 1280 * 960) == s.INVALID_SEQUENCE


def test_stop_exposure_fails_it(sim):
    s.ready(0)
    assert s.set_control(0, s.EXPOSURE, 10_000_000) == s.SUCCESS
    assert lib.ASIStartExposure(0, 0) == s.SUCCESS
    assert lib.ASIStopExposure(0) == s.SUCCESS
    assert s.exp_status(0) == s.EXP_FAILED
    assert lib.ASIGetDataAfterExp(0, _buf(16), 16) == s.INVALID_SEQUENCE
    assert lib.ASIStopExposure(0) == s.SUCCESS  # nothing running: harmless


def test_unplug_fails_a_running_exposure(sim):
    s.ready(0)
    assert s.set_control(0, s.EXPOSURE, 10_000_000) == s.SUCCESS
    assert lib.ASIStartExposure(0, 0) == s.SUCCESS
    sim.unplug(0)
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == s.CAMERA_REMOVED
    sim.plug(0)
    s.ready(0)
    assert s.exp_status(0) == s.EXP_IDLE


@pytest.mark.parametrize("dark", [2, -1])
def test_start_exposure_refuses_non_boolean(sim, dark):
    s.ready(0)
    assert lib.ASIStartExposure(0, dark) == s.GENERAL_ERROR
    assert s.exp_status(0) == s.EXP_IDLE


@pytest.mark.parametrize("size_delta, expected", [(-1, s.BUFFER_TOO_SMALL), (0, s.SUCCESS), (64, s.SUCCESS)])
def test_snapshot_buffer_sizes(sim, size_delta, expected):
    s.ready(1)
    assert lib.ASISetROIFormat(1, 320, 240, 1, s.RAW16) == s.SUCCESS
    n = 320 * 240 * 2
    sim.set_time_scale(1000)
    s.snapshot(1)
    buf = ctypes.create_string_buffer(b"\xa5" * (n + 64), n + 64)
    assert lib.ASIGetDataAfterExp(1, buf, n + size_delta) == expected
    # Nothing beyond the frame is ever written, whatever size the caller claims.
    assert buf.raw[n:] == b"\xa5" * 64


@pytest.mark.parametrize("size", [-1, -(2**40), 0])
def test_snapshot_negative_or_zero_size(sim, size):
    s.ready(1)
    sim.set_time_scale(1000)
    s.snapshot(1)
    assert lib.ASIGetDataAfterExp(1, _buf(16), size) == s.BUFFER_TOO_SMALL


def test_snapshot_null_buffer(sim):
    s.ready(1)
    sim.set_time_scale(1000)
    s.snapshot(1)
    assert lib.ASIGetDataAfterExp(1, None, 2**40) == s.GENERAL_ERROR


# ---- guiding ----


@pytest.mark.parametrize(
    "cid, direction, expected",
    [(1, 0, s.SUCCESS), (1, 3, s.SUCCESS), (1, 4, s.GENERAL_ERROR), (1, -1, s.GENERAL_ERROR), (0, 0, s.GENERAL_ERROR)],
)
def test_pulse_guide(sim, cid, direction, expected):
    s.ready(cid)
    assert lib.ASIPulseGuideOn(cid, direction) == expected
    assert lib.ASIPulseGuideOff(cid, direction) == expected


# ---- triggers ----


@pytest.mark.parametrize(
    "pin, high, delay, duration, expected",
    [
        (0, 1, 0, 1000, s.SUCCESS),
        (1, 0, 2_000_000, 5, s.SUCCESS),
        (2, 1, 0, 0, s.GENERAL_ERROR),
        (-1, 1, 0, 0, s.GENERAL_ERROR),
        (0, 2, 0, 0, s.GENERAL_ERROR),
        (0, 1, -1, 0, s.GENERAL_ERROR),
        (0, 1, 0, -1, s.GENERAL_ERROR),
        (0, 1, 2**40, 0, s.GENERAL_ERROR),
    ],
)
def test_trigger_output_pins(sim, pin, high, delay, duration, expected):
    sim.reset([s.TRIGGER_MODEL])
    s.ready(0)
    assert lib.ASISetTriggerOutputIOConf(0, pin, high, delay, duration) == expected
    h, d, u = ctypes.c_int(-1), ctypes.c_long(-1), ctypes.c_long(-1)
    rc = lib.ASIGetTriggerOutputIOConf(0, pin, byref(h), byref(d), byref(u))
    if pin in (0, 1):
        assert rc == s.SUCCESS
        if expected == s.SUCCESS:
            assert (h.value, d.value, u.value) == (high, delay, duration)
    else:
        assert rc == s.GENERAL_ERROR
        assert (h.value, d.value, u.value) == (-1, -1, -1)


def test_soft_trigger_needs_trigger_mode_and_capture(sim):
    sim.reset([s.TRIGGER_MODEL, s.ASI294])
    s.ready(0)
    s.ready(1)
    assert lib.ASISendSoftTrigger(1, 1) == s.INVALID_MODE  # no trigger on this model
    assert lib.ASISendSoftTrigger(0, 1) == s.INVALID_MODE  # normal mode
    assert lib.ASISetCameraMode(0, s.MODE_RISE_EDGE) == s.SUCCESS
    assert lib.ASISendSoftTrigger(0, 1) == s.INVALID_MODE  # hardware trigger mode
    assert lib.ASISetCameraMode(0, s.MODE_SOFT_EDGE) == s.SUCCESS
    assert lib.ASISendSoftTrigger(0, 1) == s.INVALID_SEQUENCE  # capture not running
    assert lib.ASIStartExposure(0, 0) == s.INVALID_MODE
    assert lib.ASIStartVideoCapture(0) == s.SUCCESS
    assert lib.ASISetCameraMode(0, s.MODE_NORMAL) == s.VIDEO_MODE_ACTIVE
    assert lib.ASISendSoftTrigger(0, 3) == s.GENERAL_ERROR
    assert lib.ASIStopVideoCapture(0) == s.SUCCESS


# ---- GPS ----


def test_gps_data_on_gps_camera(sim):
    sim.reset([s.GPS_MODEL, s.ASI294])
    s.ready(0)
    s.ready(1)
    a, b = s.asisim.ASI_GPS_DATA(), s.asisim.ASI_GPS_DATA()
    assert lib.ASIGPSGetData(1, byref(a), byref(b)) == s.GPS_NOT_SUPPORTED
    assert s.control(0, s.GPS_SUPPORT) == (1, 0)
    assert lib.ASIGPSGetData(0, byref(a), byref(b)) == s.SUCCESS
    for g in (a, b):
        assert g.Datetime.Year >= 2026 and 1 <= g.Datetime.Month <= 12 and 1 <= g.Datetime.Day <= 31
        assert -90 <= g.Latitude <= 90 and -180 <= g.Longitude <= 180 and g.SatelliteNum > 0
    t = lambda g: (g.Datetime.Hour, g.Datetime.Minute, g.Datetime.Second, g.Datetime.Msecond, g.Datetime.Usecond)
    assert t(a) < t(b)  # the end line starts later in a rolling shutter
    assert s.set_control(0, s.GPS_END_LINE, 0) == s.SUCCESS
    assert lib.ASIGPSGetData(0, byref(a), byref(b)) == s.SUCCESS
    assert t(a) == t(b)


@pytest.mark.parametrize("ctype", [s.GPS_START_LINE, s.GPS_END_LINE])
@pytest.mark.parametrize("value", [-1, 2160])
def test_gps_lines_out_of_range(sim, ctype, value):
    sim.reset([s.GPS_MODEL])
    s.ready(0)
    before = s.control(0, ctype)
    assert s.set_control(0, ctype, value) == s.GPS_PARAM_OUT_OF_RANGE
    assert s.control(0, ctype) == before


def test_gps_variants_of_reads(sim):
    sim.reset([s.GPS_MODEL, s.ASI120])
    for cid in (0, 1):
        s.ready(cid)
        assert lib.ASISetROIFormat(cid, 64, 64, 1, s.RAW8) == s.SUCCESS
    sim.set_time_scale(1000)
    buf = _buf(64 * 64)
    for cid, expected in ((0, s.SUCCESS), (1, s.GPS_NOT_SUPPORTED)):
        assert lib.ASIStartExposure(cid, 0) == s.SUCCESS
        while s.exp_status(cid) == s.EXP_WORKING:
            time.sleep(0.001)
        g = s.asisim.ASI_GPS_DATA()
        assert lib.ASIGetDataAfterExpGPS(cid, buf, 64 * 64, byref(g)) == expected
        assert (g.Datetime.Year > 0) == (expected == s.SUCCESS)
