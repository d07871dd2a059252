"""Cases for the reference-leak check in test_refleaks.py.

Each case makes one call of a module function, method or property, succeeding or failing. The
check runs it many times and fails when traced memory grows or when the reference count of any
module attribute (or of the objects a case names in `watch`) changes. Add a row per behaviour
worth covering; cases that need simulated cameras set `needs_sim` and get `env.sim` ready.
"""

import copy
from dataclasses import dataclass, field
from typing import Any, Callable


@dataclass(frozen=True)
class LeakCase:
    id: str
    call: Callable[[Any], Any]  # call(env): env.orvik, env.sim (when needs_sim)
    raises: tuple = ()  # exception types the call is expected to raise (every time)
    needs_sim: bool = False
    watch: tuple = field(default=())  # extra objects whose reference counts must not change


class Valued:
    def __init__(self, value):
        self.value = value


class IntResult:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class Text(str):
    pass


class Truthy:
    def __bool__(self):
        return True


BIG = 2**70
WATCHED_ARG = Valued(1)
TEXT_SUBCLASS = Text("dark.bmp")
TRUTHY = Truthy()
LONG_NAME = "n" * 100


def _set_name(o, value):
    info = o.CameraInfo()
    info.name = value


CASES = [
    # handle_error_code: success (shortcut and general path), mapped, unknown, coercion errors.
    LeakCase("hec-success", lambda e: e.orvik.handle_error_code(0)),
    LeakCase("hec-success-kw", lambda e: e.orvik.handle_error_code(asi_error_code=0)),
    LeakCase("hec-success-float", lambda e: e.orvik.handle_error_code(0.5)),
    LeakCase("hec-mapped", lambda e: e.orvik.handle_error_code(5), (Exception,)),
    LeakCase("hec-unknown", lambda e: e.orvik.handle_error_code(30), (Exception,)),
    LeakCase("hec-unknown-big", lambda e: e.orvik.handle_error_code(BIG), (Exception,), watch=(BIG,)),
    LeakCase("hec-wrong-type", lambda e: e.orvik.handle_error_code("x"), (TypeError,)),
    LeakCase("hec-nan", lambda e: e.orvik.handle_error_code(float("nan")), (ValueError,)),
    LeakCase("hec-no-args", lambda e: e.orvik.handle_error_code(), (TypeError,)),
    LeakCase("hec-unexpected-kw", lambda e: e.orvik.handle_error_code(code=1), (TypeError,)),
    LeakCase("hec-str-subclass-kw", lambda e: e.orvik.handle_error_code(**{Text("asi_error_code"): 0})),
    LeakCase("hec-duplicate", lambda e: e.orvik.camera_check(1, i_vid=2), (TypeError,)),
    LeakCase("hec-missing", lambda e: e.orvik.set_start_pos(0, start_y=1), (TypeError,)),
    LeakCase("hec-caller-except", lambda e: _inside_except(e.orvik)),
    # Shapes of functions without parameters.
    LeakCase("noarg-positional", lambda e: e.orvik.get_sdk_version(1), (TypeError,)),
    LeakCase("noarg-keyword", lambda e: e.orvik.get_sdk_version(x=1), (TypeError,)),
    # Conversions that fail before the SDK is called.
    LeakCase("overflow", lambda e: e.orvik.open_camera(BIG), (OverflowError,)),
    LeakCase("enum-no-value", lambda e: e.orvik.set_camera_mode(0, 3), (AttributeError,)),
    LeakCase("enum-not-int", lambda e: e.orvik.set_camera_mode(0, Valued("x")), (TypeError,)),
    LeakCase("enum-int-returns-float", lambda e: e.orvik.set_camera_mode(0, Valued(IntResult(1.5))),
             (TypeError,)),
    LeakCase("enum-overflow", lambda e: e.orvik.pulse_guide_on(0, Valued(BIG)), (OverflowError,)),
    LeakCase("bool-then-enum", lambda e: e.orvik.set_control_value(0, 3, 1, TRUTHY), (AttributeError,),
             watch=(TRUTHY,)),
    LeakCase("text-bytes", lambda e: e.orvik.enable_dark_subtract(0, b"x"), (TypeError,)),
    LeakCase("text-subclass-note", lambda e: e.orvik.enable_dark_subtract(0, TEXT_SUBCLASS), (TypeError,),
             watch=(TEXT_SUBCLASS,)),
    LeakCase("record-none", lambda e: e.orvik.set_id(0, None), (TypeError,)),
    LeakCase("record-wrong-type", lambda e: e.orvik.set_id(0, WATCHED_ARG), (TypeError,), watch=(WATCHED_ARG,)),
    # Record types: construction checks, pickling refusal and the byte-array setter.
    LeakCase("record-init", lambda e: e.orvik.Id()),
    LeakCase("record-init-positional", lambda e: e.orvik.Id(1), (TypeError,)),
    LeakCase("record-init-keyword", lambda e: e.orvik.CameraInfo(x=1), (TypeError,)),
    LeakCase("record-copy", lambda e: copy.copy(e.orvik.GpsData()), (TypeError,)),
    LeakCase("record-name-set", lambda e: _set_name(e.orvik, "camera".ljust(64, "\0"))),
    LeakCase("record-name-not-ascii", lambda e: _set_name(e.orvik, "\xe9".ljust(63, "\0")), (OverflowError,)),
    LeakCase("record-name-too-long", lambda e: _set_name(e.orvik, LONG_NAME), (IndexError,)),
]


def _inside_except(orvik):
    try:
        raise KeyError("outer")
    except KeyError:
        orvik.handle_error_code(0)
        try:
            orvik.handle_error_code(31)
        except orvik.ASIError:
            pass
