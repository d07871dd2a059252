"""The simulator's control API: reset, scripted results, the journal, time scale."""

import contextlib
import ctypes
import math
import os
import random
import subprocess
import sys
import time

import pytest

import simsdk as s
from simsdk import lib
from velmora.brinmoor import asisim

byref = ctypes.byref

# ---- reset and the load-time set ----


def _names():
    out = []
    for i in range(lib.ASIGetNumOfConnectedCameras()):
        info = asisim.ASI_CAMERA_INFO()
        assert lib.ASIGetCameraProperty(byref(info), i) == s.SUCCESS
        out.append((info.CameraID, info.Name.decode()))
    return out


@pytest.mark.parametrize(
    "cameras",
    [
        [s.GPS_MODEL],
        [s.ASI120, s.ASI120, s.ASI294],
        " ZWO ASI174MM ,ZWO ASI2600MM Pro",
        [],
    ],
)
def test_reset_with_named_cameras(sim, cameras):
    sim.reset(cameras)
    names = [n.strip() for n in (cameras.split(",") if isinstance(cameras, str) else cameras)]
    if cameras == []:
        names = [s.ASI294, s.ASI120]  # empty means the load-time set
    assert _names() == list(enumerate(names))


def test_models_name_every_camera_of_the_catalogue(sim):
    names = sim.models()
    assert len(names) >= 8 and len(set(names)) == len(names)
    assert {s.ASI294, s.ASI120, s.TRIGGER_MODEL, s.GPS_MODEL} <= set(names)
    sim.reset(names)  # each name is one reset accepts
    assert _names() == list(enumerate(names))
    assert asisim.library.asisim_model_name(len(names)) is None
    assert asisim.library.asisim_model_name(-1) is None


@pytest.mark.parametrize("cameras", ["ZWO ASI9999", [s.ASI294, "zwo asi120mm mini"], "ZWO ASI294MC Pro,,"])
def test_reset_with_unknown_name_changes_nothing(sim, cameras):
    s.ready(0)
    sim.script("ASIOpenCamera", 5)
    count = sim.journal_count()
    with pytest.raises(ValueError):
        sim.reset(cameras)
    assert sim.journal_count() == count
    assert lib.ASIOpenCamera(1) == 5  # the script is still queued
    assert s.exp_status(0) == s.EXP_IDLE  # camera 0 still initialised


def test_reset_restores_power_on(sim):
    s.ready(0)
    sim.set_time_scale(1000)
    sim.script("ASIGetNumOfConnectedCameras", 0, ctypes.c_int(9))
    sim.unplug(1)
    sim.reset()
    assert sim.journal_count() == 0
    assert lib.ASIGetNumOfConnectedCameras() == 2  # no script, camera 1 back
    assert lib.ASIGetExpStatus(0, byref(ctypes.c_int())) == s.CAMERA_CLOSED
    s.ready(0)
    assert s.set_control(0, s.EXPOSURE, 1_000_000) == s.SUCCESS
    assert lib.ASIStartExposure(0, 0) == s.SUCCESS
    time.sleep(0.05)
    assert s.exp_status(0) == s.EXP_WORKING  # time scale back to 1


@pytest.mark.parametrize(
    "env, expected",
    [
        (None, [s.ASI294, s.ASI120]),
        ("ZWO ASI678MC,ZWO ASI174MM", ["ZWO ASI678MC", "ZWO ASI174MM"]),
        ("", []),
        # A typo is not silently replaced by the default pair: no cameras, and the reason.
        ("ZWO ASI678MC,ZWO ASI174", []),
    ],
)
def test_load_time_set_from_environment(env, expected):
    code = (
        "import ctypes, os\n"
        "from velmora.brinmoor import asisim\n"
        "lib = asisim.library\n"
        "def names():\n"
        "    out = []\n"
        "    for i in range(lib.ASIGetNumOfConnectedCameras()):\n"
        "        info = asisim.ASI_CAMERA_INFO()\n"
        "        assert lib.ASIGetCameraProperty(ctypes.byref(info), i) == 0\n"
        "        out.append(info.Name.decode())\n"
        "    return out\n"
        "first = names()\n"
        "asisim.reset(['ZWO ASI224MC'])\n"
        "asisim.reset()\n"
        "print(repr((first, names())))\n"
    )
    environ = dict(os.environ)
    environ.pop("ASISIM_CAMERAS", None)
    if env is not None:
        environ["ASISIM_CAMERAS"] = env
    out = subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True, text=True, check=True)
    assert eval(out.stdout) == (expected, expected)
    if env is not None and "ZWO ASI174" in env.split(","):
        assert out.stderr == ('asisim: ASISIM_CAMERAS names "ZWO ASI174", which is not a simulated '
                              "camera model; no cameras are connected\n")
    else:
        assert out.stderr == ""


# ---- time scale ----


def _wait_done(cid, limit_s):
    t0 = time.monotonic()
    while s.exp_status(cid) == s.EXP_WORKING:
        if time.monotonic() - t0 > limit_s:
            return False
        time.sleep(0.001)
    return True


def test_time_scale_runs_long_exposures_fast(sim):
    s.ready(1)
    assert lib.ASISetROIFormat(1, 64, 64, 1, s.RAW8) == s.SUCCESS
    assert s.set_control(1, s.EXPOSURE, 600_000_000) == s.SUCCESS  # ten minutes
    sim.set_time_scale(1000)
    t0 = time.monotonic()
    assert lib.ASIStartExposure(1, 0) == s.SUCCESS
    time.sleep(0.05)
    assert s.exp_status(1) == s.EXP_WORKING  # 600 ms of real time at least
    assert _wait_done(1, 10.0)
    assert time.monotonic() - t0 >= 0.59


@pytest.mark.parametrize("factor", [0, -1, -1000.0, math.nan])
def test_time_scale_ignores_non_positive(sim, factor):
    s.ready(1)
    assert s.set_control(1, s.EXPOSURE, 20_000_000) == s.SUCCESS
    sim.set_time_scale(1000)
    sim.set_time_scale(factor)
    assert lib.ASIStartExposure(1, 0) == s.SUCCESS
    assert _wait_done(1, 2.0)  # 20 s at scale 1 would not be done


def test_time_scale_change_wakes_a_waiting_read(sim):
    s.ready(1)
    assert lib.ASISetROIFormat(1, 64, 64, 1, s.RAW8) == s.SUCCESS
    assert s.set_control(1, s.EXPOSURE, 100_000_000) == s.SUCCESS  # 100 s frames
    assert lib.ASIStartVideoCapture(1) == s.SUCCESS
    import threading

    result = []
    t = threading.Thread(target=lambda: result.append(s.video_frame(1, wait_ms=-1)[0]))
    t.start()
    time.sleep(0.05)
    assert not result
    sim.set_time_scale(10_000)
    t.join(5)
    assert result == [s.SUCCESS]
    assert lib.ASIStopVideoCapture(1) == s.SUCCESS


# ---- journal ----


def _last():
    return asisim.journal_entry(-1)


JOURNAL_CASES = [
    (lambda: lib.ASIGetNumOfConnectedCameras(), "ASIGetNumOfConnectedCameras()"),
    (lambda: lib.ASIGetCameraProperty(byref(asisim.ASI_CAMERA_INFO()), 0), "ASIGetCameraProperty(out, 0)"),
    (lambda: lib.ASIGetCameraProperty(None, -3), "ASIGetCameraProperty(NULL, -3)"),
    (lambda: lib.ASISetControlValue(0, 1, 20000, 1), "ASISetControlValue(0, 1, 20000, 1)"),
    (lambda: lib.ASISetControlValue(0, -7, -(2**40), 5), "ASISetControlValue(0, -7, -1099511627776, 5)"),
    (lambda: lib.ASIGetVideoData(0, ctypes.create_string_buffer(8), 307200, 100),
     "ASIGetVideoData(0, buf, 307200, 100)"),
    (lambda: lib.ASIGetVideoData(0, None, -1, -1), "ASIGetVideoData(0, NULL, -1, -1)"),
    (lambda: lib.ASIEnableDarkSubtract(0, b"dark.bmp"), 'ASIEnableDarkSubtract(0, "dark.bmp")'),
    (
        lambda: lib.ASIEnableDarkSubtract(0, b'C:\\da"rk \x01\x7f\xe9~.bmp'),
        'ASIEnableDarkSubtract(0, "C:\\\\da\\"rk \\x01\\x7f\\xe9~.bmp")',
    ),
    (lambda: lib.ASISetID(0, asisim.ASI_ID((ctypes.c_ubyte * 8)(0x41, 0x42, 0x43, 0x44))),
     "ASISetID(0, 4142434400000000)"),
    (lambda: lib.ASISetID(2, asisim.ASI_ID((ctypes.c_ubyte * 8)(*range(0xF8, 0x100)))),
     "ASISetID(2, f8f9fafbfcfdfeff)"),
    (
        lambda: lib.ASIGPSGetData(1, byref(asisim.ASI_GPS_DATA()), byref(asisim.ASI_GPS_DATA())),
        "ASIGPSGetData(1, out, out)",
    ),
    (lambda: lib.ASIGetGainOffset(0, None, byref(ctypes.c_int()), None, None),
     "ASIGetGainOffset(0, NULL, out, NULL, NULL)"),
    (lambda: lib.ASISetTriggerOutputIOConf(0, 1, 0, 2**35, -1), "ASISetTriggerOutputIOConf(0, 1, 0, 34359738368, -1)"),
    (lambda: lib.ASICameraCheck(0x3C3, -(2**31)), "ASICameraCheck(963, -2147483648)"),
    (lambda: lib.ASIGetSDKVersion(), "ASIGetSDKVersion()"),
    (lambda: lib.ASIGetDataAfterExpGPS(5, None, 0, None), "ASIGetDataAfterExpGPS(5, NULL, 0, NULL)"),
]


@pytest.mark.parametrize("call, line", JOURNAL_CASES,
                         ids=[c[1].split("(")[0] + str(i) for i, c in enumerate(JOURNAL_CASES)])
def test_journal_line_format(sim, call, line):
    call()
    assert sim.journal_count() == 1
    assert sim.journal() == [line]


def test_every_function_is_journaled_by_name(sim):
    from test_sim_camera import CAMERA_CALLS

    for name, call in CAMERA_CALLS.items():
        call(0)
        assert _last().startswith(name + "(0"), name
    assert sim.journal_count() == len(CAMERA_CALLS)


def test_journal_keeps_newest_4096(sim):
    for i in range(4100):
        lib.ASICameraCheck(i, 0)
    assert sim.journal_count() == 4096
    assert sim.journal_entry(0) == "ASICameraCheck(4, 0)"
    assert sim.journal_entry(4095) == sim.journal_entry(-1) == "ASICameraCheck(4099, 0)"
    assert sim.journal_entry(-4096) == "ASICameraCheck(4, 0)"
    for bad in (4096, -4097, 2**31 - 1, -(2**31)):
        with pytest.raises(ValueError):
            sim.journal_entry(bad)
    sim.journal_clear()
    assert sim.journal_count() == 0
    with pytest.raises(ValueError):
        sim.journal_entry(0)
    with pytest.raises(ValueError):
        sim.journal_entry(-1)


@pytest.mark.parametrize("buflen, text", [(0, None), (1, b""), (5, b"ASIG"), (200, b"ASIGetSDKVersion()")])
def test_journal_entry_cuts_to_fit(sim, buflen, text):
    lib.ASIGetSDKVersion()
    f = asisim.library.asisim_journal_entry
    buf = ctypes.create_string_buffer(b"\xee" * 210, 210)
    assert f(0, buf if buflen else None, buflen) == len("ASIGetSDKVersion()")
    if text is not None:
        assert buf.raw[: len(text) + 1] == text + b"\0"
        assert buf.raw[len(text) + 1 :] == b"\xee" * (210 - len(text) - 1)


def test_journal_records_scripted_calls_and_reads_without_side_effects(sim):
    sim.script("ASIOpenCamera", 0)
    lib.ASIOpenCamera(1)
    lines = sim.journal()
    assert lines == ["ASIOpenCamera(1)"]
    assert sim.journal() == lines  # reading changes nothing


# ---- scripts ----


def _outputs(name):
    """(output objects, call) for a function's scripted-output test."""
    I, L, B = ctypes.c_int, ctypes.c_long, byref
    table = {
        "ASIGetCameraProperty": ([asisim.ASI_CAMERA_INFO()], lambda o: lib.ASIGetCameraProperty(B(o[0]), 0)),
        "ASIGetCameraPropertyByID": ([asisim.ASI_CAMERA_INFO()], lambda o: lib.ASIGetCameraPropertyByID(0, B(o[0]))),
        "ASIGetID": ([asisim.ASI_ID()], lambda o: lib.ASIGetID(0, B(o[0]))),
        "ASIGetSerialNumber": ([asisim.ASI_ID()], lambda o: lib.ASIGetSerialNumber(0, B(o[0]))),
        "ASIGetCameraSupportMode": ([asisim.ASI_SUPPORTED_MODE()], lambda o: lib.ASIGetCameraSupportMode(0, B(o[0]))),
        "ASIGetCameraMode": ([I()], lambda o: lib.ASIGetCameraMode(0, B(o[0]))),
        "ASIGetNumOfControls": ([I()], lambda o: lib.ASIGetNumOfControls(0, B(o[0]))),
        "ASIGetControlCaps": ([asisim.ASI_CONTROL_CAPS()], lambda o: lib.ASIGetControlCaps(0, 3, B(o[0]))),
        "ASIGetControlValue": ([L(), I()], lambda o: lib.ASIGetControlValue(0, 1, B(o[0]), B(o[1]))),
        "ASIGetGainOffset": ([I(), I(), I(), I()], lambda o: lib.ASIGetGainOffset(0, *map(B, o))),
        "ASIGetLMHGainOffset": ([I(), I(), I(), I()], lambda o: lib.ASIGetLMHGainOffset(0, *map(B, o))),
        "ASIGetROIFormat": ([I(), I(), I(), I()], lambda o: lib.ASIGetROIFormat(0, *map(B, o))),
        "ASIGetStartPos": ([I(), I()], lambda o: lib.ASIGetStartPos(0, *map(B, o))),
        "ASIGetExpStatus": ([I()], lambda o: lib.ASIGetExpStatus(0, B(o[0]))),
        "ASIGetDroppedFrames": ([I()], lambda o: lib.ASIGetDroppedFrames(0, B(o[0]))),
        "ASIGetTriggerOutputIOConf": ([I(), L(), L()], lambda o: lib.ASIGetTriggerOutputIOConf(0, 1, *map(B, o))),
        "ASIGPSGetData": ([asisim.ASI_GPS_DATA(), asisim.ASI_GPS_DATA()], lambda o: lib.ASIGPSGetData(0, *map(B, o))),
    }
    return table[name]


def _layout(outs):
    return type("Layout", (ctypes.Structure,), {"_fields_": [(f"f{i}", type(o)) for i, o in enumerate(outs)]})


SCRIPTED_OUTPUTS = [
    "ASIGetCameraProperty",
    "ASIGetCameraPropertyByID",
    "ASIGetID",
    "ASIGetSerialNumber",
    "ASIGetCameraSupportMode",
    "ASIGetCameraMode",
    "ASIGetNumOfControls",
    "ASIGetControlCaps",
    "ASIGetControlValue",
    "ASIGetGainOffset",
    "ASIGetLMHGainOffset",
    "ASIGetROIFormat",
    "ASIGetStartPos",
    "ASIGetExpStatus",
    "ASIGetDroppedFrames",
    "ASIGetTriggerOutputIOConf",
    "ASIGPSGetData",
]


@pytest.mark.parametrize("name", SCRIPTED_OUTPUTS)
def test_scripted_outputs_follow_the_layout(sim, name):
    outs, call = _outputs(name)
    layout = _layout(outs)
    data = bytes(random.Random(name).randrange(256) for _ in range(ctypes.sizeof(layout)))
    sim.script(name, 0, data)
    assert call(outs) == s.SUCCESS
    for i, o in enumerate(outs):
        field = getattr(layout, f"f{i}")
        assert ctypes.string_at(ctypes.addressof(o), field.size) == data[field.offset : field.offset + field.size]


@pytest.mark.parametrize("name", SCRIPTED_OUTPUTS)
def test_scripted_data_of_wrong_size_is_refused(sim, name):
    size = ctypes.sizeof(_layout(_outputs(name)[0]))
    for bad in (size - 1, size + 1, 0):
        with pytest.raises(ValueError):
            sim.script(name, 0, bytes(bad))
    sim.script(name, 0, bytes(size))  # the right size is taken


@pytest.mark.parametrize("name", SCRIPTED_OUTPUTS)
def test_scripted_error_or_no_data_leaves_outputs_alone(sim, name):
    outs, call = _outputs(name)
    size = ctypes.sizeof(_layout(outs))
    sim.script(name, 5, b"\x01" * size)  # data with an error code is not written
    sim.script(name, 0)  # success without data
    before = [bytes(ctypes.string_at(ctypes.addressof(o), ctypes.sizeof(o))) for o in outs]
    assert call(outs) == 5
    assert call(outs) == 0
    assert [bytes(ctypes.string_at(ctypes.addressof(o), ctypes.sizeof(o))) for o in outs] == before


NO_OUTPUT_FUNCTIONS = [
    ("ASIOpenCamera", lambda: lib.ASIOpenCamera(0)),
    ("ASISetControlValue", lambda: lib.ASISetControlValue(0, 0, 1, 0)),
    ("ASISetROIFormat", lambda: lib.ASISetROIFormat(0, 8, 2, 1, 0)),
    ("ASIStartExposure", lambda: lib.ASIStartExposure(0, 0)),
    ("ASIPulseGuideOn", lambda: lib.ASIPulseGuideOn(0, 0)),
]


@pytest.mark.parametrize("name, call", NO_OUTPUT_FUNCTIONS, ids=[n for n, _ in NO_OUTPUT_FUNCTIONS])
def test_functions_without_outputs_take_empty_data_only(sim, name, call):
    with pytest.raises(ValueError):
        sim.script(name, 0, b"\0")
    sim.script(name, 17, b"")
    assert call() == 17


# Calls that would fail on their own (unknown camera or index, null pointers).
SCRIPTED_CALLS = {
    "ASIStopVideoCapture": lambda: lib.ASIStopVideoCapture(7),
    "ASIGetCameraProperty": lambda: lib.ASIGetCameraProperty(byref(asisim.ASI_CAMERA_INFO()), 9),
    "ASIGetVideoDataGPS": lambda: lib.ASIGetVideoDataGPS(0, None, 0, 0, None),
}


@pytest.mark.parametrize("name", sorted(SCRIPTED_CALLS))
@pytest.mark.parametrize("code", [0, 30, -1, 2**31 - 1, -(2**31)])
def test_scripted_code_is_returned_unchanged(sim, name, code):
    sim.script(name, code)
    assert SCRIPTED_CALLS[name]() == code


def test_scripted_call_changes_no_camera_state(sim):
    s.ready(0)
    gain = s.control(0, s.GAIN)
    sim.script("ASISetControlValue", 0)
    assert s.set_control(0, s.GAIN, 333) == s.SUCCESS
    assert s.control(0, s.GAIN) == gain
    sim.script("ASIStartExposure", 0)
    assert lib.ASIStartExposure(0, 0) == s.SUCCESS
    assert s.exp_status(0) == s.EXP_IDLE
    sim.script("ASIOpenCamera", 0)
    assert lib.ASIOpenCamera(1) == s.SUCCESS
    assert lib.ASIInitCamera(1) == s.CAMERA_CLOSED
    sim.script("ASICloseCamera", 0)
    assert lib.ASICloseCamera(0) == s.SUCCESS
    assert s.exp_status(0) == s.EXP_IDLE  # still open


def test_scripts_queue_in_order_per_function(sim):
    for code in (5, 6, 0):
        sim.script("ASIOpenCamera", code)
    sim.script("ASIInitCamera", 9)
    assert [lib.ASIOpenCamera(0) for _ in range(3)] == [5, 6, 0]
    assert lib.ASIInitCamera(0) == 9
    assert lib.ASIInitCamera(0) == s.CAMERA_CLOSED  # the real camera again: the scripted open did nothing
    assert lib.ASIOpenCamera(0) == s.SUCCESS
    assert lib.ASIInitCamera(0) == s.SUCCESS


def test_clear_scripts(sim):
    sim.script("ASIOpenCamera", 5)
    sim.script("ASIGetNumOfConnectedCameras", 0, ctypes.c_int(40))
    sim.clear_scripts()
    assert lib.ASIOpenCamera(0) == s.SUCCESS
    assert lib.ASIGetNumOfConnectedCameras() == 2


@pytest.mark.parametrize("function", ["ASINoSuchFunction", "asiopencamera", "", "ASIOpenCamera "])
def test_script_unknown_function(sim, function):
    with pytest.raises(ValueError):
        sim.script(function, 0)


def test_script_null_function_name(sim):
    assert asisim.library.asisim_script(None, 0, None, 0) == -1


def test_script_null_data_ignores_size(sim):
    assert asisim.library.asisim_script(b"ASIGetControlValue", 0, None, 12345) == 0


@pytest.mark.parametrize(
    "name, data, expected",
    [
        ("ASIGetNumOfConnectedCameras", ctypes.c_int(7), 7),
        ("ASIGetNumOfConnectedCameras", None, 3),  # no data: the code is the count
        ("ASICameraCheck", ctypes.c_int(1), 1),
        ("ASICameraCheck", ctypes.c_int(0), 0),
    ],
)
def test_scripted_plain_results(sim, name, data, expected):
    sim.script(name, 3, data)
    result = lib.ASIGetNumOfConnectedCameras() if name.endswith("Cameras") else lib.ASICameraCheck(0x3C3, 0x294A)
    assert result == expected


@pytest.mark.parametrize("text", [b"9.99.1", b"", "\u00e9t\u00e9".encode()])
def test_scripted_sdk_version(sim, text):
    sim.script("ASIGetSDKVersion", 0, text)
    assert lib.ASIGetSDKVersion() == text
    assert lib.ASIGetSDKVersion() != text  # one call only, then the library's own text


@pytest.mark.parametrize("data_len", [0, 10, 100, 150])
@pytest.mark.parametrize("gps", [False, True])
@pytest.mark.parametrize("video", [False, True])
def test_scripted_image_bytes(sim, data_len, gps, video):
    image = bytes(range(256))[:data_len]
    g = asisim.ASI_GPS_DATA()
    g.Latitude, g.SatelliteNum = 12.5, 4
    data = (bytes(g) if gps else b"") + image
    name = ("ASIGetVideoData" if video else "ASIGetDataAfterExp") + ("GPS" if gps else "")
    sim.script(name, 0, data)
    buf = ctypes.create_string_buffer(b"\x77" * 200, 200)
    out = asisim.ASI_GPS_DATA()
    args = [0, buf, 100] + ([50] if video else []) + ([byref(out)] if gps else [])
    assert getattr(lib, name)(*args) == s.SUCCESS
    n = min(data_len, 100)
    assert buf.raw[:n] == image[:n]
    assert buf.raw[n:] == b"\x77" * (200 - n)  # nothing beyond the data or the given size
    if gps:
        assert (out.Latitude, out.SatelliteNum) == (12.5, 4)


@pytest.mark.parametrize("name", ["ASIGetDataAfterExpGPS", "ASIGetVideoDataGPS"])
def test_scripted_gps_image_needs_the_record(sim, name):
    with pytest.raises(ValueError):
        sim.script(name, 0, bytes(ctypes.sizeof(asisim.ASI_GPS_DATA) - 1))


def test_scripted_image_with_null_buffer_writes_nothing(sim):
    sim.script("ASIGetDataAfterExp", 0, b"abc")
    assert lib.ASIGetDataAfterExp(0, None, 3) == s.SUCCESS


def test_script_accepts_a_ctypes_structure(sim):
    sim.script("ASIGetControlValue", 0, asisim.ControlValue(20000, 1))
    v, a = ctypes.c_long(), ctypes.c_int()
    assert lib.ASIGetControlValue(0, 1, byref(v), byref(a)) == s.SUCCESS
    assert (v.value, a.value) == (20000, 1)


def test_script_refuses_other_data_types(sim):
    with pytest.raises(TypeError):
        sim.script("ASIGetNumOfControls", 0, 7)


@pytest.mark.parametrize(
    "names, unknown",
    [
        ("", []),
        ("ZWO ASI678MC, ZWO ASI174MM", []),
        ("ZWO ASI678MC,ZWO ASI174,zwo asi174mm", ["ZWO ASI174", "zwo asi174mm"]),
        ("ZWO ASI678MC,", [""]),  # an empty entry is no model either, as for the library
    ],
)
def test_unknown_models_matches_the_librarys_reading(names, unknown):
    from velmora.brinmoor import asisim

    assert asisim.unknown_models(names) == unknown
    with pytest.raises(ValueError) if unknown else contextlib.nullcontext():
        asisim.reset(names)
    asisim.reset()


@pytest.mark.parametrize("model, gain, e_per_adu", [
    ("ZWO ASI294MC Pro", 0, 3.94),         # the catalogue's figure at gain 0
    ("ZWO ASI294MC Pro", 60, 3.94 ** 0.5),  # log-linear to 1 e-/ADU at the unity gain, 120
    ("ZWO ASI120MM Mini", 29 + 200, 0.1),   # 20 dB above unity
])
def test_sensor_response_is_the_catalogue_curve(sim, model, gain, e_per_adu):
    sim.reset(model)
    response = sim.sensor_response(0, gain)
    assert response.electrons_per_adu == pytest.approx(e_per_adu)
    assert (response.full_well_e, response.adc_bits) == {
        "ZWO ASI294MC Pro": (63_700, 14), "ZWO ASI120MM Mini": (13_000, 12)}[model]
    with pytest.raises(ValueError, match="unknown camera ID 7"):
        sim.sensor_response(7, gain)


# ---- integer arguments out of a C int's range ----

# Values for the arguments other than the one under test.
_SAMPLE_ARGS = {"ra_deg": 10.0, "dec_deg": 20.0, "source": asisim.LIGHT_SKY, "level": 0.0,
                "electrons_per_s": 100.0, "on": True, "gain": 0,
                "model": "ZWO ASI120MM Mini"}


def _camera_id_functions():
    import inspect

    found = {name: getattr(asisim, name) for name in asisim.__all__
             if callable(getattr(asisim, name)) and not isinstance(getattr(asisim, name), type)
             and "camera_id" in inspect.signature(getattr(asisim, name)).parameters}
    assert len(found) >= 10, sorted(found)  # unplug, plug, point, set_light, ...
    return found


def _int_argument_calls():
    import inspect

    calls = []
    for name, function in _camera_id_functions().items():
        params = inspect.signature(function).parameters
        others = {p: _SAMPLE_ARGS[p] for p, v in params.items()
                  if p != "camera_id" and v.default is inspect.Parameter.empty}
        calls.append(pytest.param(lambda n, f=function, o=others: f(n, **o), "camera ID", id=name))
    calls += [
        pytest.param(lambda n: asisim.set_light(0, n, 0.0), "light source", id="set_light-source"),
        pytest.param(lambda n: asisim.script("ASIOpenCamera", n), "result code", id="script-code"),
        pytest.param(lambda n: asisim.journal_entry(n), "journal index", id="journal_entry"),
    ]
    return calls


@pytest.mark.parametrize("call, what", _int_argument_calls())
@pytest.mark.parametrize("value", [2**32, 2**32 + 1, -(2**31) - 1, 2**64])
def test_integer_arguments_beyond_a_c_int_are_refused_before_the_library_sees_them(
        sim, monkeypatch, call, what, value):
    called = []
    real = asisim.library

    class Recorder:
        def __getattr__(self, name):
            return lambda *args: called.append(name) or getattr(real, name)(*args)

    monkeypatch.setattr(asisim, "library", Recorder())
    with pytest.raises(ValueError, match=rf"^{what} {value} is out of range \(a C int: "
                                         r"-2147483648 to 2147483647\)$"):
        call(value)
    assert called == []


@pytest.mark.parametrize("call, what", _int_argument_calls()[:3])
def test_integer_arguments_take_no_floats(sim, call, what):
    with pytest.raises(TypeError):
        call(0.5)


def test_unplugging_camera_two_to_the_32_leaves_camera_0_alone(sim):
    cameras = lib.ASIGetNumOfConnectedCameras()
    with pytest.raises(ValueError, match="camera ID 4294967296 is out of range"):
        sim.unplug(2**32)
    assert lib.ASIGetNumOfConnectedCameras() == cameras
    with pytest.raises(ValueError, match="journal index 4294967296"):
        sim.journal_entry(2**32)  # would have read the oldest line
    s.ready(0)
    assert lib.ASICloseCamera(0) == s.SUCCESS
