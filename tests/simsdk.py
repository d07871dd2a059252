"""The simulated SDK's C functions through ctypes, for tests that drive it below the module.

A private handle on the installed library (the same loaded object as the module's), with every
prototype declared, plus the return codes and a few small conveniences.
"""

import ctypes
import os

import numpy as np

from velmora.brinmoor import asisim

lib = ctypes.CDLL(os.path.join(os.path.dirname(asisim.__file__), "libASICamera2.so"))

c_int, c_long, c_void_p, c_char_p = ctypes.c_int, ctypes.c_long, ctypes.c_void_p, ctypes.c_char_p
P = ctypes.POINTER
u8p = P(ctypes.c_ubyte)

_PROTOTYPES = {
    "ASIGetNumOfConnectedCameras": (c_int, []),
    "ASICameraCheck": (c_int, [c_int, c_int]),
    "ASIGetCameraProperty": (c_int, [P(asisim.ASI_CAMERA_INFO), c_int]),
    "ASIGetSDKVersion": (c_char_p, []),
    "ASIGetCameraPropertyByID": (c_int, [c_int, P(asisim.ASI_CAMERA_INFO)]),
    "ASIOpenCamera": (c_int, [c_int]),
    "ASIInitCamera": (c_int, [c_int]),
    "ASICloseCamera": (c_int, [c_int]),
    "ASIGetID": (c_int, [c_int, P(asisim.ASI_ID)]),
    "ASISetID": (c_int, [c_int, asisim.ASI_ID]),
    "ASIGetSerialNumber": (c_int, [c_int, P(asisim.ASI_ID)]),
    "ASIGetCameraSupportMode": (c_int, [c_int, P(asisim.ASI_SUPPORTED_MODE)]),
    "ASIGetCameraMode": (c_int, [c_int, P(c_int)]),
    "ASISetCameraMode": (c_int, [c_int, c_int]),
    "ASIGetNumOfControls": (c_int, [c_int, P(c_int)]),
    "ASIGetControlCaps": (c_int, [c_int, c_int, P(asisim.ASI_CONTROL_CAPS)]),
    "ASIGetControlValue": (c_int, [c_int, c_int, P(c_long), P(c_int)]),
    "ASISetControlValue": (c_int, [c_int, c_int, c_long, c_int]),
    "ASIGetGainOffset": (c_int, [c_int, P(c_int), P(c_int), P(c_int), P(c_int)]),
    "ASIGetLMHGainOffset": (c_int, [c_int, P(c_int), P(c_int), P(c_int), P(c_int)]),
    "ASISetROIFormat": (c_int, [c_int, c_int, c_int, c_int, c_int]),
    "ASIGetROIFormat": (c_int, [c_int, P(c_int), P(c_int), P(c_int), P(c_int)]),
    "ASISetStartPos": (c_int, [c_int, c_int, c_int]),
    "ASIGetStartPos": (c_int, [c_int, P(c_int), P(c_int)]),
    "ASIStartExposure": (c_int, [c_int, c_int]),
    "ASIStopExposure": (c_int, [c_int]),
    "ASIGetExpStatus": (c_int, [c_int, P(c_int)]),
    "ASIGetDataAfterExp": (c_int, [c_int, c_void_p, c_long]),
    "ASIGetDataAfterExpGPS": (c_int, [c_int, c_void_p, c_long, P(asisim.ASI_GPS_DATA)]),
    "ASIStartVideoCapture": (c_int, [c_int]),
    "ASIStopVideoCapture": (c_int, [c_int]),
    "ASIGetVideoData": (c_int, [c_int, c_void_p, c_long, c_int]),
    "ASIGetVideoDataGPS": (c_int, [c_int, c_void_p, c_long, c_int, P(asisim.ASI_GPS_DATA)]),
    "ASIGetDroppedFrames": (c_int, [c_int, P(c_int)]),
    "ASIEnableDarkSubtract": (c_int, [c_int, c_char_p]),
    "ASIDisableDarkSubtract": (c_int, [c_int]),
    "ASIPulseGuideOn": (c_int, [c_int, c_int]),
    "ASIPulseGuideOff": (c_int, [c_int, c_int]),
    "ASISendSoftTrigger": (c_int, [c_int, c_int]),
    "ASISetTriggerOutputIOConf": (c_int, [c_int, c_int, c_int, c_long, c_long]),
    "ASIGetTriggerOutputIOConf": (c_int, [c_int, c_int, P(c_int), P(c_long), P(c_long)]),
    "ASIGPSGetData": (c_int, [c_int, P(asisim.ASI_GPS_DATA), P(asisim.ASI_GPS_DATA)]),
}

for _name, (_res, _args) in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.restype, _f.argtypes = _res, _args

FUNCTIONS = tuple(_PROTOTYPES)

# Return codes, numbered as the vendor numbers them.
SUCCESS = 0
INVALID_INDEX = 1
INVALID_ID = 2
INVALID_CONTROL_TYPE = 3
CAMERA_CLOSED = 4
CAMERA_REMOVED = 5
INVALID_PATH = 6
INVALID_FILEFORMAT = 7
INVALID_SIZE = 8
INVALID_IMGTYPE = 9
OUTOF_BOUNDARY = 10
TIMEOUT = 11
INVALID_SEQUENCE = 12
BUFFER_TOO_SMALL = 13
VIDEO_MODE_ACTIVE = 14
EXPOSURE_IN_PROGRESS = 15
GENERAL_ERROR = 16
INVALID_MODE = 17
GPS_NOT_SUPPORTED = 18
GPS_VER_ERR = 19
GPS_FPGA_ERR = 20
GPS_PARAM_OUT_OF_RANGE = 21
GPS_DATA_INVALID = 22
ERROR_END = 23

# Enumerations.
RAW8, RGB24, RAW16, Y8 = 0, 1, 2, 3
BYTES_PER_PIXEL = {RAW8: 1, RGB24: 3, RAW16: 2, Y8: 1}
GAIN, EXPOSURE, GAMMA, WB_R, WB_B, OFFSET, BANDWIDTH = 0, 1, 2, 3, 4, 5, 6
TEMPERATURE, FLIP = 8, 9
AUTO_MAX_GAIN, AUTO_MAX_EXP, AUTO_TARGET = 10, 11, 12
HIGH_SPEED = 14
MONO_BIN = 18
COOLER_POWER, TARGET_TEMP, COOLER_ON = 15, 16, 17
GPS_SUPPORT, GPS_START_LINE, GPS_END_LINE = 25, 26, 27
EXP_IDLE, EXP_WORKING, EXP_SUCCESS, EXP_FAILED = 0, 1, 2, 3
MODE_NORMAL, MODE_SOFT_EDGE, MODE_RISE_EDGE, MODE_FALL_EDGE, MODE_SOFT_LEVEL = 0, 1, 2, 3, 4

ASI294 = "ZWO ASI294MC Pro"
ASI120 = "ZWO ASI120MM Mini"
TRIGGER_MODEL = "ZWO ASI174MM"
GPS_MODEL = "ZWO ASI678MC"


def ready(camera_id=0):
    """Open and initialise a camera."""
    assert lib.ASIOpenCamera(camera_id) == SUCCESS
    assert lib.ASIInitCamera(camera_id) == SUCCESS


def info(camera_id):
    rec = asisim.ASI_CAMERA_INFO()
    assert lib.ASIGetCameraPropertyByID(camera_id, ctypes.byref(rec)) == SUCCESS
    return rec


def control(camera_id, control_type):
    value, auto = c_long(), c_int()
    rc = lib.ASIGetControlValue(camera_id, control_type, ctypes.byref(value), ctypes.byref(auto))
    assert rc == SUCCESS, rc
    return value.value, auto.value


def set_control(camera_id, control_type, value, auto=0):
    return lib.ASISetControlValue(camera_id, control_type, value, auto)


def roi(camera_id):
    w, h, b, t = c_int(), c_int(), c_int(), c_int()
    assert lib.ASIGetROIFormat(camera_id, ctypes.byref(w), ctypes.byref(h), ctypes.byref(b), ctypes.byref(t)) == 0
    return w.value, h.value, b.value, t.value


def start_pos(camera_id):
    x, y = c_int(), c_int()
    assert lib.ASIGetStartPos(camera_id, ctypes.byref(x), ctypes.byref(y)) == SUCCESS
    return x.value, y.value


def frame_size(camera_id):
    w, h, _, t = roi(camera_id)
    return w * h * BYTES_PER_PIXEL[t]


def exp_status(camera_id):
    st = c_int()
    assert lib.ASIGetExpStatus(camera_id, ctypes.byref(st)) == SUCCESS
    return st.value


def snapshot(camera_id, dark=0, size=None):
    """Expose with the present settings (time scale is the caller's) and return the bytes."""
    import time

    assert lib.ASIStartExposure(camera_id, dark) == SUCCESS
    deadline = time.monotonic() + 30
    while exp_status(camera_id) == EXP_WORKING:
        assert time.monotonic() < deadline, "exposure never finished"
        time.sleep(0.001)
    assert exp_status(camera_id) == EXP_SUCCESS
    n = frame_size(camera_id) if size is None else size
    buf = ctypes.create_string_buffer(n)
    rc = lib.ASIGetDataAfterExp(camera_id, buf, n)
    assert rc == SUCCESS, rc
    return buf.raw


def video_frame(camera_id, wait_ms=100_000):
    n = frame_size(camera_id)
    buf = ctypes.create_string_buffer(n)
    rc = lib.ASIGetVideoData(camera_id, buf, n, wait_ms)
    return rc, buf.raw


def grab(camera_id, dark=False):
    """One snapshot as an int64 array: RAW16 as (h, w), RGB24 as (h, w, 3) in B, G, R order."""
    w, h, _, img = roi(camera_id)
    data = snapshot(camera_id, dark=int(dark))
    if img == RAW16:
        return np.frombuffer(data, "<u2").reshape(h, w).astype(np.int64)
    if img == RGB24:
        return np.frombuffer(data, np.uint8).reshape(h, w, 3).astype(np.int64)
    return np.frombuffer(data, np.uint8).reshape(h, w).astype(np.int64)


def configure(cid, w, h, b=1, img=RAW16, start=None, gain=None, offset=None, exposure_s=None, flip=0):
    """Sets the readout of a camera, opening it first if needed (opening resets the controls)."""
    probe = ctypes.c_int()
    if lib.ASIGetStartPos(cid, ctypes.byref(probe), ctypes.byref(probe)) != SUCCESS:
        ready(cid)
    assert lib.ASISetROIFormat(cid, w, h, b, img) == SUCCESS
    inf = info(cid)
    if start is None:  # centred, on an even pixel so the Bayer phase stays put
        start = ((inf.MaxWidth // b - w) // 2 // 2 * 2, (inf.MaxHeight // b - h) // 2 // 2 * 2)
    assert lib.ASISetStartPos(cid, *start) == SUCCESS
    assert set_control(cid, FLIP, flip) == SUCCESS
    if gain is not None:
        assert set_control(cid, GAIN, gain) == SUCCESS
    if offset is not None:
        assert set_control(cid, OFFSET, offset) == SUCCESS
    if exposure_s is not None:
        set_exposure(cid, exposure_s)


def set_exposure(cid, seconds):
    assert set_control(cid, EXPOSURE, max(32, int(round(seconds * 1e6)))) == SUCCESS
