"""Argument binding, coercion and the conversions that run before an SDK call, with their exact
messages. Every case here fails before the SDK is reached."""

import sys
import traceback
import warnings

import pytest


class RaisesIndex:
    def __index__(self):
        raise ZeroDivisionError("__index__")


class RaisesInt:
    def __int__(self):
        raise ZeroDivisionError("__int__")


class RaisesFloat:
    def __float__(self):
        raise ZeroDivisionError("__float__")


class IndexOnly:
    def __index__(self):
        return 2


class FloatOnly:
    def __float__(self):
        return 3.7


class IndexReturnsStr:
    def __index__(self):
        return "2"


class RaisesBool:
    def __bool__(self):
        raise ZeroDivisionError("__bool__")


class RaisesLen:
    def __len__(self):
        raise ZeroDivisionError("__len__")


class Reprless(int):
    def __repr__(self):
        return "not the value"


def message(function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    return type(info.value), str(info.value)


def qualname_entries(exc, name):
    return [f for f in traceback.extract_tb(exc.__traceback__) if f.name == f"velmora.brinmoor.orvik.{name}"]


# --- Shapes and counts ----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["get_sdk_version", "get_number_of_connected_cameras"])
@pytest.mark.parametrize("args, kwargs, text", [
    ((1,), {}, "{}() takes no arguments (1 given)"),
    ((1, 2, 3), {}, "{}() takes no arguments (3 given)"),
    ((), {"x": 1}, "{}() takes no keyword arguments"),
    ((1,), {"x": 1}, "{}() takes no keyword arguments"),
])
def test_no_parameter_functions(orvik, name, args, kwargs, text):
    assert message(getattr(orvik, name), *args, **kwargs) == (TypeError, text.format(name))


@pytest.mark.parametrize("name, args, kwargs, text", [
    ("handle_error_code", (), {}, "handle_error_code() takes exactly 1 positional argument (0 given)"),
    ("handle_error_code", (1, 2), {}, "handle_error_code() takes exactly 1 positional argument (2 given)"),
    ("open_camera", (), {}, "open_camera() takes exactly 1 positional argument (0 given)"),
    ("open_camera", (0, 1), {}, "open_camera() takes exactly 1 positional argument (2 given)"),
    ("set_id", (), {"camera_id": 1}, "set_id() takes exactly 2 positional arguments (1 given)"),
    ("set_id", (), {"serial_number": None}, "set_id() takes exactly 2 positional arguments (0 given)"),
    ("set_id", (0,), {}, "set_id() takes exactly 2 positional arguments (1 given)"),
    ("set_roi_format", (1, 2, 3, 4, 5, 6), {"width": 1},
     "set_roi_format() takes exactly 5 positional arguments (6 given)"),
    # The count is the position of the first parameter still without a value.
    ("set_trigger_output_io_conf", (0,), {"pin": 1, "delay": 2, "duration": 3},
     "set_trigger_output_io_conf() takes exactly 5 positional arguments (2 given)"),
    ("set_trigger_output_io_conf", (), {"duration": 3, "camera_id": 0},
     "set_trigger_output_io_conf() takes exactly 5 positional arguments (1 given)"),
    ("open_camera", (0,), {"camera_id": 1}, "open_camera() got multiple values for keyword argument 'camera_id'"),
    ("camera_check", (1,), {"i_vid": 2}, "camera_check() got multiple values for keyword argument 'i_vid'"),
    ("open_camera", (), {"cam": 0}, "open_camera() got an unexpected keyword argument 'cam'"),
    ("open_camera", (0,), {"cam": 1}, "open_camera() got an unexpected keyword argument 'cam'"),
    ("handle_error_code", (), {"asi_error_code": 0, "extra": 1},
     "handle_error_code() got an unexpected keyword argument 'extra'"),
    ("handle_error_code", (), {"ASI_ERROR_CODE": 0},
     "handle_error_code() got an unexpected keyword argument 'ASI_ERROR_CODE'"),
])
def test_binding_messages(orvik, name, args, kwargs, text):
    function = getattr(orvik, name)
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    assert str(info.value) == text
    assert len(qualname_entries(info.value, name)) == 1


def test_keyword_order_does_not_matter(orvik):
    # Bound by name whatever the order; fails only later, at the enumeration conversion.
    with pytest.raises(AttributeError, match="value"):
        orvik.set_control_value(value=5, camera_id=0, auto_mode=False, control_type=7)
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        orvik.set_control_value(auto_mode=False, control_type=7, value="5", camera_id=0)


def test_keyword_that_is_an_equal_but_distinct_string(orvik):
    name = "".join(["asi_", "error", "_code"])
    assert name is not "asi_error_code"  # noqa: F632 - the point is a distinct object
    assert orvik.handle_error_code(**{name: 0}) is None


class EqualsEverything(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class EqualsNothing(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class EqualsRaises(str):
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


def test_str_subclass_keywords_compare_with_their_own_eq(orvik):
    assert orvik.handle_error_code(**{str.__new__(EqualsEverything, "zzz"): 0}) is None
    assert orvik.handle_error_code(**{str.__new__(type("Plain", (str,), {}), "asi_error_code"): 0}) is None
    assert message(orvik.handle_error_code, **{str.__new__(EqualsNothing, "asi_error_code"): 0}) == (
        TypeError, "handle_error_code() got an unexpected keyword argument 'asi_error_code'")
    with pytest.raises(LookupError, match="compared"):
        orvik.handle_error_code(**{str.__new__(EqualsRaises, "asi_error_code"): 0})
    # Matching a positionally filled parameter by its own == is a duplicate.
    with pytest.raises(TypeError) as info:
        orvik.open_camera(0, **{str.__new__(EqualsEverything, "x"): 1})
    assert str(info.value) == "open_camera() got multiple values for keyword argument 'x'"


@pytest.mark.parametrize("name", ["handle_error_code", "get_sdk_version", "open_camera"])
def test_non_string_keyword_names(orvik, name):
    with pytest.raises(TypeError, match="keywords must be strings"):
        getattr(orvik, name)(**{1: 0})


# --- Integer coercion -------------------------------------------------------------------------


@pytest.mark.parametrize("bad, type_name", [
    (None, "NoneType"), ("0", "str"), (b"0", "bytes"), (bytearray(b"0"), "bytearray"), ([0], "list"),
    ((0,), "tuple"), (object(), "object"), (RaisesLen(), "RaisesLen"), (RaisesBool(), "RaisesBool"),
])
@pytest.mark.parametrize("name, args, param", [
    ("handle_error_code", ("X",), "asi_error_code"),
    ("open_camera", ("X",), "camera_id"),
    ("get_id", ("X",), "i_camera_id"),
    ("set_start_pos", (0, 0, "X"), "start_y"),
    ("get_video_data", (0, "X", 5), "buffer_size"),
])
def test_non_numbers_are_refused_with_the_parameter_name(orvik, bad, type_name, name, args, param):
    args = tuple(bad if a == "X" else a for a in args)
    kind, text = message(getattr(orvik, name), *args)
    assert (kind, text) == (TypeError,
                            f"Argument '{param}' has incorrect type (expected int, got {type_name})")


@pytest.mark.parametrize("bad, error, text", [
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
    (float("-inf"), OverflowError, "cannot convert float infinity to integer"),
    (1j, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
    (RaisesIndex(), ZeroDivisionError, "__index__"),
    (RaisesInt(), ZeroDivisionError, "__int__"),
    (RaisesFloat(), TypeError, None),
    # The module passes CPython's own error on, whose wording changed in 3.15.
    (IndexReturnsStr(), TypeError,
     f"{IndexReturnsStr.__module__}.{IndexReturnsStr.__qualname__}.__index__() must return an int, not str"
     if sys.version_info >= (3, 15) else "__index__ returned non-int (type str)"),
    # __float__ makes an object a number, but int() does not use it.
    (FloatOnly(), TypeError,
     "int() argument must be a string, a bytes-like object or a real number, not 'FloatOnly'"),
])
def test_number_conversion_errors_propagate(orvik, bad, error, text):
    kind, got = message(orvik.handle_error_code, bad)
    assert kind is error
    if text is not None:
        assert got == text


@pytest.mark.parametrize("arg, code", [
    (IndexOnly(), 2), (Reprless(30), 30), (True, 1), (False, 0), (3.99, 3), (-0.9, 0),
])
def test_numbers_become_exact_ints(orvik, arg, code):
    expected = orvik.ASI_ERROR_CODE_TO_EXCEPTION.get(code)
    if code == 0:
        assert orvik.handle_error_code(arg) is None
        return
    with pytest.raises(orvik.ASIError) as info:
        orvik.handle_error_code(arg)
    if expected is None:
        assert info.value.args == (f"Unknown error code {code}. Update wrapper.",)
    else:
        assert type(info.value) is expected


# --- Range checks at conversion ------------------------------------------------------------------


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 2**200, -(2**200)])
@pytest.mark.parametrize("call", [
    lambda o, v: o.open_camera(v),
    lambda o, v: o.get_camera_property(v),
    lambda o, v: o.camera_check(0, v),
    lambda o, v: o.get_video_data(0, 0, v),
    lambda o, v: o.set_start_pos(0, 0, v),
    lambda o, v: o.get_trigger_output_io_conf(0, v),
])
def test_values_outside_32_bits_overflow(orvik, value, call):
    with pytest.raises(OverflowError) as info:
        call(orvik, value)
    assert str(info.value) == "Python int too large to convert to C long"


# --- Boolean, text and record parameters -----------------------------------------------------------


@pytest.mark.parametrize("bad", [RaisesBool(), RaisesLen()])
def test_truth_value_errors_propagate(orvik, bad):
    kind, text = message(orvik.start_exposure, 0, bad)
    assert kind is ZeroDivisionError


def test_number_errors_come_before_truth_value_errors(orvik):
    kind, text = message(orvik.set_control_value, 0, 1, "x", RaisesBool())
    assert (kind, text) == (TypeError, "Argument 'value' has incorrect type (expected int, got str)")


class Text(str):
    pass


@pytest.mark.parametrize("bad, type_name", [
    (b"dark.bmp", "bytes"), (None, "NoneType"), (0, "int"), (Text("dark.bmp"), "Text"),
])
def test_text_parameter_takes_exact_str_only(orvik, bad, type_name):
    with pytest.raises(TypeError) as info:
        orvik.enable_dark_subtract(0, bad)
    assert str(info.value) == f"Argument 'bmp_path' has incorrect type (expected str, got {type_name})"
    notes = getattr(info.value, "__notes__", [])
    assert len(notes) == (1 if isinstance(bad, str) else 0)
    assert len(qualname_entries(info.value, "enable_dark_subtract")) == 1


def test_text_check_comes_after_number_coercion(orvik):
    kind, text = message(orvik.enable_dark_subtract, "0", b"x")
    assert text == "Argument 'camera_id' has incorrect type (expected int, got str)"


@pytest.mark.parametrize("bad_factory, type_name", [
    (lambda o: None, "NoneType"),
    (lambda o: b"\0" * 8, "bytes"),
    (lambda o: o.CameraInfo(), "velmora.brinmoor.orvik.CameraInfo"),
    (lambda o: o.SupportedMode(), "velmora.brinmoor.orvik.SupportedMode"),
])
def test_record_parameter_takes_its_type_only(orvik, bad_factory, type_name):
    with pytest.raises(TypeError) as info:
        orvik.set_id(0, bad_factory(orvik))
    assert str(info.value) == ("Argument 'serial_number' has incorrect type "
                               f"(expected velmora.brinmoor.orvik.Id, got {type_name})")
    assert getattr(info.value, "__notes__", []) == []


def test_record_check_comes_after_number_coercion(orvik):
    assert message(orvik.set_id, None, None)[1] == (
        "Argument 'camera_id' has incorrect type (expected int, got NoneType)")


# --- Enumeration parameters: `value`, through __int__ only -------------------------------------------


class Valued:
    def __init__(self, value):
        self.value = value


class IntMethod:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexMethod:
    def __index__(self):
        return 1


class BoolInt(int):
    pass


@pytest.mark.parametrize("arg, error, text", [
    (3, AttributeError, None),
    (None, AttributeError, None),
    (Valued("1"), TypeError, "an integer is required"),
    (Valued(None), TypeError, "an integer is required"),
    (Valued(IndexMethod()), TypeError, "an integer is required"),
    (Valued(IntMethod(1.5)), TypeError, "__int__ returned non-int (type float)"),
    (Valued(IntMethod("1")), TypeError, "__int__ returned non-int (type str)"),
    (Valued(RaisesInt()), ZeroDivisionError, "__int__"),
    (Valued(2**31), OverflowError, "Python int too large to convert to C long"),
    (Valued(IntMethod(-(2**31) - 1)), OverflowError, "Python int too large to convert to C long"),
])
@pytest.mark.parametrize("call", [
    lambda o, a: o.set_camera_mode(0, a),
    lambda o, a: o.get_control_value(0, a),
    lambda o, a: o.set_roi_format(0, 8, 8, 1, a),
    lambda o, a: o.pulse_guide_on(0, a),
    lambda o, a: o.set_trigger_output_io_conf(0, a, True, 0, 0),
])
def test_enumeration_conversion_errors(orvik, arg, error, text, call):
    with pytest.raises(error) as info:
        call(orvik, arg)
    if text is not None:
        assert str(info.value) == text


def test_int_subclass_from_int_warns_and_fails_as_error(orvik):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            orvik.set_camera_mode(0, Valued(IntMethod(BoolInt(1))))
    assert str(info.value) == (
        "__int__ returned non-int (type BoolInt).  The ability to return an instance of a strict subclass "
        "of int is deprecated, and may be removed in a future version of Python.")


def test_conversions_run_in_parameter_order(orvik):
    # camera_id overflows before control_type's missing `value` is noticed.
    with pytest.raises(OverflowError):
        orvik.get_control_value(2**40, 3)
    with pytest.raises(AttributeError):
        orvik.set_control_value(0, 3, 2**40, True)


# --- What reaches the SDK (seen in the simulator's journal) --------------------------------------


class Member:
    value = 3


@pytest.mark.parametrize("call, entry", [
    (lambda o: o.open_camera(1.9), "ASIOpenCamera(1)"),
    (lambda o: o.open_camera(True), "ASIOpenCamera(1)"),
    (lambda o: o.open_camera(camera_id=IndexOnly()), "ASIOpenCamera(2)"),
    (lambda o: o.open_camera(2**31 - 1), "ASIOpenCamera(2147483647)"),
    (lambda o: o.open_camera(-(2**31)), "ASIOpenCamera(-2147483648)"),
    (lambda o: o.start_exposure(0, []), "ASIStartExposure(0, 0)"),
    (lambda o: o.start_exposure(0, "no"), "ASIStartExposure(0, 1)"),
    (lambda o: o.start_exposure(0, None), "ASIStartExposure(0, 0)"),
    (lambda o: o.start_exposure(is_dark=2.5, camera_id=0), "ASIStartExposure(0, 1)"),
    (lambda o: o.set_camera_mode(0, o.CameraMode.ASI_MODE_TRIG_SOFT_EDGE), "ASISetCameraMode(0, 1)"),
    (lambda o: o.set_camera_mode(0, Member()), "ASISetCameraMode(0, 3)"),
    (lambda o: o.set_camera_mode(0, Valued(IntMethod(2))), "ASISetCameraMode(0, 2)"),
    (lambda o: o.set_camera_mode(0, Valued(4.9)), "ASISetCameraMode(0, 4)"),
    (lambda o: o.set_camera_mode(0, o.ImgType.IMG_END), "ASISetCameraMode(0, -1)"),
    (lambda o: o.set_control_value(value=5, camera_id=0, auto_mode=[1], control_type=o.ControlType.ASI_GAIN),
     "ASISetControlValue(0, 0, 5, 1)"),
])
def test_values_reaching_the_sdk(orvik, sim, call, entry):
    sim.journal_clear()
    try:
        call(orvik)
    except orvik.ASIError:
        pass  # the SDK may refuse the call; what it was given is what counts here
    assert sim.journal()[:1] == [entry]


@pytest.mark.parametrize("call", [
    lambda o: o.open_camera("0"),
    lambda o: o.open_camera(2**31),
    lambda o: o.open_camera(0, 1),
    lambda o: o.open_camera(cam=0),
    lambda o: o.start_exposure(0, RaisesBool()),
    lambda o: o.set_camera_mode(0, 1),
    lambda o: o.set_camera_mode(0, Valued("1")),
    lambda o: o.enable_dark_subtract(0, b"dark.bmp"),
    lambda o: o.enable_dark_subtract(0, "\ud800"),
    lambda o: o.enable_dark_subtract(0, "dark\0ignored.bmp"),
    lambda o: o.set_id(0, None),
    lambda o: o.set_roi_format(0, 8, 8, 1, 2),
    lambda o: o.get_sdk_version(1),
    lambda o: o.get_number_of_connected_cameras(x=1),
    lambda o: o.set_trigger_output_io_conf(0, o.TrigOutput.ASI_TRIG_OUTPUT_PINA, True, 2**31, 0),
])
def test_nothing_reaches_the_sdk_after_a_bad_argument(orvik, sim, call):
    sim.journal_clear()
    with pytest.raises((TypeError, OverflowError, AttributeError, ZeroDivisionError, UnicodeEncodeError, ValueError)):
        call(orvik)
    assert sim.journal() == []
