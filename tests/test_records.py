"""Record types: construction, properties, the writable text fields, repr and pickling refusal.

Records with chosen contents come from the simulator's scripted results, so the decoding of every
field is checked against bytes that the SDK side laid out by its own C declarations.
"""

import copy
import ctypes
import pickle
import weakref

import pytest

from recordbytes import CameraInfoRecord, ControlCapsRecord, GpsRecord, SupportedModeRecord

RECORD_TYPES = ["CameraInfo", "ControlCaps", "Id", "SupportedMode", "GpsData"]
PICKLE_MEMBER = {
    "CameraInfo": "c_info",
    "ControlCaps": "control_caps",
    "Id": "c_id",
    "SupportedMode": "c_supported_mode",
    "GpsData": "c_gps_data",
}


class EqualToAll(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


@pytest.fixture(params=RECORD_TYPES)
def record_type(request, orvik):
    return getattr(orvik, request.param)


def test_zeroed_camera_info_reads_defaults(orvik):
    info = orvik.CameraInfo()
    assert info.name == ""
    assert (info.camera_id, info.max_height, info.max_width, info.bit_depth) == (0, 0, 0, 0)
    for flag in ("is_color_camera", "mechanical_shutter", "st_4_port", "is_cooler_cam", "is_usb3_host",
                 "is_usb3_camera", "is_trigger_cam"):
        assert getattr(info, flag) is False
    assert info.pixel_size == 0.0 and info.elec_per_adu == 0.0
    assert info.supported_bins == []
    assert info.bayer_pattern is orvik.BayerPattern(0)
    # No zeroed entry equals IMG_END (-1), so all eight read as IMG_RAW8.
    assert info.supported_video_formats == [orvik.ImgType(0)] * 8


def test_zeroed_small_records(orvik):
    caps = orvik.ControlCaps()
    assert (caps.name, caps.description) == ("", "")
    assert (caps.max_value, caps.min_value, caps.default_value) == (0, 0, 0)
    assert caps.is_auto_supported is False and caps.is_writable is False
    assert caps.control_type is orvik.ControlType.ASI_GAIN
    assert orvik.Id().id == ""
    assert orvik.SupportedMode().supported_camera_mode == [0] * 16
    gps = orvik.GpsData()
    assert [getattr(gps, n) for n in ("altitude", "satellite_num", "year", "month", "day", "hour", "minute",
                                      "second", "m_second", "u_second")] == [0] * 10
    assert (gps.latitude, gps.longitude) == (0.0, 0.0)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "__init__() takes exactly 0 positional arguments (1 given)"),
        ((1, 2), {}, "__init__() takes exactly 0 positional arguments (2 given)"),
        ((), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
        ((), {"mode": 1}, "__init__() got an unexpected keyword argument 'mode'"),
    ],
)
def test_constructor_takes_no_arguments(record_type, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        record_type(*args, **kwargs)
    assert str(info.value) == message


def test_init_again_zeroes_record(orvik):
    ident = orvik.Id()
    ident.id = "ABCDEFGH"
    ident.__init__()
    assert ident.id == ""


def test_type_shape(record_type, orvik):
    obj = record_type()
    assert record_type.__module__ == "velmora.brinmoor.orvik"
    assert record_type.__doc__ is None
    with pytest.raises(AttributeError):
        obj.not_a_property = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    other = record_type()
    assert obj != other and hash(obj) != hash(other)

    class Sub(record_type):
        pass

    assert isinstance(Sub(), record_type)


@pytest.mark.parametrize("name", RECORD_TYPES)
@pytest.mark.parametrize("how", ["dumps", "copy", "deepcopy", "reduce", "setstate"])
def test_pickling_refused(orvik, name, how):
    obj = getattr(orvik, name)()
    message = (f"Pickling of struct members such as self.{PICKLE_MEMBER[name]} "
               "must be explicitly requested with @auto_pickle(True)")
    action = {
        "dumps": lambda: pickle.dumps(obj),
        "copy": lambda: copy.copy(obj),
        "deepcopy": lambda: copy.deepcopy(obj),
        "reduce": lambda: obj.__reduce__(),
        "setstate": lambda: obj.__setstate__({}),
    }[how]
    with pytest.raises(TypeError) as info:
        action()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda o: o.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
        (lambda o: o.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
        (lambda o: o.__setstate__(1, 2), "__setstate__() takes exactly 1 positional argument (2 given)"),
        (lambda o: o.__setstate__(1, state=2), "__setstate__() got multiple values for keyword argument 'state'"),
        (lambda o: o.__setstate__(x=1), "__setstate__() got an unexpected keyword argument 'x'"),
        # A str subclass keyword is compared with its own ==, as the module functions compare it.
        (lambda o: o.__setstate__(**{EqualToAll("x"): 1}),
         "Pickling of struct members such as self.c_gps_data must be explicitly requested with @auto_pickle(True)"),
    ],
)
def test_pickling_methods_bind_their_arguments(orvik, call, message):
    with pytest.raises(TypeError) as info:
        call(orvik.GpsData())
    assert str(info.value) == message


# --- CameraInfo.name and Id.id setters -----------------------------------------------------------

@pytest.mark.parametrize(
    "value, error, message",
    [
        ("abc", IndexError, "not enough values found during array assignment, expected 64, got 3"),
        ("a" * 65, IndexError, "too many values found during array assignment, expected 64"),
        ("é" + "a" * 63, IndexError, "too many values found during array assignment, expected 64"),
        ("é" + "a" * 62, OverflowError, "value too large to convert to char"),
        (b"a" * 64, AttributeError, None),
    ],
)
def test_camera_info_name_setter_errors_leave_record_unchanged(orvik, value, error, message):
    info = orvik.CameraInfo()
    info.name = "keep" + "\0" * 60
    with pytest.raises(error) as raised:
        info.name = value
    if message is not None:
        assert str(raised.value) == message
    assert info.name == "keep"


@pytest.mark.parametrize(
    "value, expected",
    [
        ("abc" + "\0" * 61, "abc"),
        ("Cam A" + "\0" * 59, "Cam A"),
        # A field with no zero byte is decoded whole and nothing beyond it is read.
        ("x" * 64, "x" * 64),
    ],
)
def test_camera_info_name_round_trip(orvik, value, expected):
    info = orvik.CameraInfo()
    info.name = value
    assert info.name == expected
    assert info.camera_id == 0  # the field after the name is untouched


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("ABCDEFG", IndexError, "not enough values found during array assignment, expected 8, got 7"),
        ("ABCDEFGHI", IndexError, "too many values found during array assignment, expected 8"),
        ("ABCé", IndexError, "not enough values found during array assignment, expected 8, got 5"),
        (b"ABCDEFGH", AttributeError, None),
    ],
)
def test_id_setter_errors(orvik, value, error, message):
    ident = orvik.Id()
    ident.id = "keep\0\0\0\0"
    with pytest.raises(error) as raised:
        ident.id = value
    if message is not None:
        assert str(raised.value) == message
    assert ident.id == "keep"


@pytest.mark.parametrize(
    "value, expected",
    [("ABCDEFGH", "ABCDEFGH"), ("ABCD\0\0\0\0", "ABCD"), ("ABCé\0\0\0", "ABCé"), ("\0" * 8, "")],
)
def test_id_round_trip(orvik, value, expected):
    ident = orvik.Id()
    ident.id = value
    assert ident.id == expected


def test_setter_calls_encode_on_the_value(orvik):
    class Text:
        def encode(self, encoding):
            assert encoding == "utf-8"
            return list(b"12345678")

    ident = orvik.Id()
    ident.id = Text()
    assert ident.id == "12345678"


def test_encoding_error_propagates(orvik):
    with pytest.raises(UnicodeEncodeError):
        orvik.Id().id = "\ud800" * 8


@pytest.mark.parametrize("name, prop", [("CameraInfo", "name"), ("Id", "id")])
def test_deleting_writable_text_raises_not_implemented(orvik, name, prop):
    obj = getattr(orvik, name)()
    with pytest.raises(NotImplementedError) as info:
        delattr(obj, prop)
    assert str(info.value) == "__del__"


@pytest.mark.parametrize(
    "name, prop",
    [
        ("CameraInfo", "max_width"),
        ("CameraInfo", "supported_bins"),
        ("ControlCaps", "max_value"),
        ("SupportedMode", "supported_camera_mode"),
        ("GpsData", "year"),
        ("GpsData", "latitude"),
    ],
)
def test_read_only_properties(orvik, name, prop):
    obj = getattr(orvik, name)()
    before = getattr(obj, prop)
    with pytest.raises(AttributeError):
        setattr(obj, prop, 5)
    with pytest.raises(AttributeError):
        delattr(obj, prop)
    assert getattr(obj, prop) == before


def test_getter_failure_has_traceback_entry(orvik):
    info = orvik.CameraInfo()
    info.name = "\x7f" * 64
    ident = orvik.Id()
    # 0xff bytes are not UTF-8; the setter accepts them for Id (unsigned bytes).

    class Raw:
        def encode(self, encoding):
            return [0xFF] * 8

    ident.id = Raw()
    with pytest.raises(UnicodeDecodeError) as raised:
        ident.id
    names = [entry.name for entry in raised.traceback]
    assert "velmora.brinmoor.orvik.Id.id.__get__" in names


# --- repr ------------------------------------------------------------------------------------------

def test_camera_info_repr(orvik):
    info = orvik.CameraInfo()
    info.name = "Cam A" + "\0" * 59
    assert repr(info) == "CameraInfo(Name=Cam A, CameraID=0, MaxHeight=0, MaxWidth=0)"
    assert str(info) == repr(info)


def test_camera_info_repr_uses_subclass_properties(orvik):
    class Info(orvik.CameraInfo):
        camera_id = property(lambda self: 7.5)
        max_height = property(lambda self: True)
        max_width = property(lambda self: None)

    assert repr(Info()) == "CameraInfo(Name=, CameraID=7.5, MaxHeight=True, MaxWidth=None)"


def test_camera_info_repr_propagates_getter_error(orvik):
    class Info(orvik.CameraInfo):
        @property
        def max_width(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        repr(Info())


@pytest.mark.parametrize("name", ["ControlCaps", "Id", "SupportedMode", "GpsData"])
def test_default_repr(orvik, name):
    assert repr(getattr(orvik, name)()).startswith(f"<velmora.brinmoor.orvik.{name} object at 0x")


# --- decoding records that the SDK filled ---------------------------------------------------------

def camera_record(**fields):
    record = CameraInfoRecord()
    for key, value in fields.items():
        if key in ("SupportedBins", "SupportedVideoFormat"):
            array = getattr(record, key)
            for i, item in enumerate(value):
                array[i] = item
        else:
            setattr(record, key, value)
    return record


def scripted_camera_info(orvik, sim, record):
    sim.script("ASIGetCameraProperty", 0, bytes(record))
    return orvik.get_camera_property(0)


def test_camera_info_fields_decode(orvik, sim):
    record = camera_record(
        Name=b"ZWO Test", CameraID=3, MaxHeight=2822, MaxWidth=4144, IsColorCam=1, BayerPattern=2,
        PixelSize=4.63, MechanicalShutter=0, ST4Port=5, IsCoolerCam=1, IsUSB3Host=0, IsUSB3Camera=1,
        ElecPerADU=0.1, BitDepth=14, IsTriggerCam=1,
    )
    info = scripted_camera_info(orvik, sim, record)
    assert info.name == "ZWO Test"
    assert (info.camera_id, info.max_height, info.max_width, info.bit_depth) == (3, 2822, 4144, 14)
    assert info.is_color_camera is True and info.st_4_port is True and info.mechanical_shutter is False
    assert (info.is_cooler_cam, info.is_usb3_host, info.is_usb3_camera, info.is_trigger_cam) == (
        True, False, True, True)
    assert info.bayer_pattern is orvik.BayerPattern(2)
    assert info.pixel_size == 4.63
    # single precision widened exactly, not rounded to the decimal
    assert info.elec_per_adu == ctypes.c_float(0.1).value != 0.1


@pytest.mark.parametrize(
    "bins, expected",
    [
        ([1, 2, 0, 4], [1, 2, 4]),
        ([1, -1, 3], [1, 3]),
        ([0] * 15 + [16], [16]),
        ([2**31 - 1], [2**31 - 1]),
    ],
)
def test_supported_bins_scan_all_entries(orvik, sim, bins, expected):
    info = scripted_camera_info(orvik, sim, camera_record(SupportedBins=bins))
    assert info.supported_bins == expected


def test_supported_video_formats_skip_end_markers(orvik, sim):
    t = orvik.ImgType
    entries = [t.IMG_RAW8, t.IMG_END, t.IMG_RGB24] + [t.IMG_END] * 5
    info = scripted_camera_info(orvik, sim, camera_record(SupportedVideoFormat=entries))
    assert info.supported_video_formats == [t.IMG_RAW8, t.IMG_RGB24]
    assert all(type(v) is t for v in info.supported_video_formats)


def test_supported_video_formats_invalid_value_raises(orvik, sim):
    info = scripted_camera_info(orvik, sim, camera_record(SupportedVideoFormat=[0, 77] + [-1] * 6))
    with pytest.raises(ValueError):
        info.supported_video_formats


def test_enum_fields_are_looked_up_at_each_access(orvik, sim, monkeypatch):
    info = scripted_camera_info(orvik, sim, camera_record(BayerPattern=1))
    monkeypatch.setattr(orvik, "BayerPattern", lambda v: ("patched", v))
    assert info.bayer_pattern == ("patched", 1)
    monkeypatch.delattr(orvik, "BayerPattern")
    with pytest.raises(NameError) as raised:
        info.bayer_pattern
    assert str(raised.value) == "name 'BayerPattern' is not defined"
    assert "velmora.brinmoor.orvik.CameraInfo.bayer_pattern.__get__" in [e.name for e in raised.traceback]


def test_invalid_utf8_name_raises(orvik, sim):
    info = scripted_camera_info(orvik, sim, camera_record(Name=b"Cam \xff\xfe"))
    with pytest.raises(UnicodeDecodeError):
        info.name
    assert info.camera_id == 0  # a failing getter leaves the record as it was


def test_control_caps_fields_decode(orvik, sim):
    record = ControlCapsRecord()
    record.Name = b"Gain"
    record.Description = b"d" * 127
    record.MaxValue, record.MinValue, record.DefaultValue = 600, -40, 120
    record.IsAutoSupported, record.IsWritable, record.ControlType = 1, 0, 5
    sim.script("ASIGetControlCaps", 0, bytes(record))
    caps = orvik.get_control_caps(0, 0)
    assert (caps.name, caps.description) == ("Gain", "d" * 127)
    assert (caps.max_value, caps.min_value, caps.default_value) == (600, -40, 120)
    assert caps.is_auto_supported is True and caps.is_writable is False
    assert caps.control_type is orvik.ControlType.ASI_OFFSET


def test_control_caps_full_description_field_is_bounded(orvik, sim):
    record = ControlCapsRecord()
    ctypes.memmove(ctypes.addressof(record) + ControlCapsRecord.Description.offset, b"q" * 128, 128)
    record.MaxValue = 9
    sim.script("ASIGetControlCaps", 0, bytes(record))
    caps = orvik.get_control_caps(0, 0)
    assert caps.description == "q" * 128
    assert caps.max_value == 9


@pytest.mark.parametrize(
    "modes, expected",
    [
        ([0, 3] + [-1] * 14, [0, 3]),
        ([0, -1, 3] + [-1] * 13, [0, 3]),
        ([-1] * 16, []),
        ([6] * 16, [6] * 16),
    ],
)
def test_supported_camera_modes(orvik, sim, modes, expected):
    record = SupportedModeRecord()
    for i, mode in enumerate(modes):
        record.SupportedCameraMode[i] = mode
    sim.script("ASIGetCameraSupportMode", 0, bytes(record))
    result = orvik.get_camera_support_mode(0)
    assert result == expected and all(type(v) is int for v in result)


def gps_record(**fields):
    record = GpsRecord()
    for key, value in fields.items():
        if key in ("Year", "Month", "Day", "Hour", "Minute", "Second", "Msecond", "Usecond"):
            setattr(record.Datetime, key, value)
        else:
            setattr(record, key, value)
    return record


@pytest.mark.parametrize(
    "fields, expected",
    [
        (dict(Year=2024, Month=2, Day=29, Hour=23, Minute=59, Second=59, Msecond=999, Usecond=999),
         dict(year=2024, month=2, day=29, hour=23, minute=59, second=59, m_second=999, u_second=999)),
        (dict(Month=13, Day=-1), dict(month=13, day=-1)),
        (dict(Latitude=-33.86, Longitude=-151.2, Altitude=-12, SatelliteNum=9),
         dict(latitude=-33.86, longitude=-151.2, altitude=-12, satellite_num=9)),
    ],
)
def test_gps_fields_decode(orvik, sim, fields, expected):
    sim.script("ASIGPSGetData", 0, bytes(gps_record(**fields)) + bytes(GpsRecord()))
    start, end = orvik.gps_get_data(0)
    for prop, value in expected.items():
        assert getattr(start, prop) == value
        assert getattr(end, prop) == 0
