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


# Operations, through the simulator: each call is scripted where the camera's state matters, so
# success and SDK failure both repeat identically.
def _scripted(e, function, call, code=0, data=None):
    e.sim.script(function, code, data)
    return call(e.orvik)


def _gain(o):
    return o.ControlType.ASI_GAIN


SIM_CASES = [
    LeakCase("op-count", lambda e: e.orvik.get_number_of_connected_cameras(), needs_sim=True),
    LeakCase("op-version", lambda e: e.orvik.get_sdk_version(), needs_sim=True),
    LeakCase("op-camera-check", lambda e: e.orvik.camera_check(0x03C3, 0x294A), needs_sim=True),
    LeakCase("op-property", lambda e: repr(e.orvik.get_camera_property(0)), needs_sim=True),
    LeakCase("op-property-invalid", lambda e: e.orvik.get_camera_property(9), (Exception,), needs_sim=True),
    LeakCase("op-property-fields", lambda e: [getattr(e.orvik.get_camera_property_by_id(1), n) for n in (
        "name", "bayer_pattern", "supported_bins", "supported_video_formats", "pixel_size", "elec_per_adu")],
        needs_sim=True),
    LeakCase("op-open-closed", lambda e: e.orvik.init_camera(0), (Exception,), needs_sim=True),
    LeakCase("op-id", lambda e: _scripted(e, "ASIGetID", lambda o: o.get_id(0).id), needs_sim=True),
    LeakCase("op-set-id", lambda e: _scripted(e, "ASISetID", lambda o: o.set_id(0, o.Id())), needs_sim=True),
    LeakCase("op-support-mode", lambda e: _scripted(e, "ASIGetCameraSupportMode",
                                                     lambda o: o.get_camera_support_mode(0)), needs_sim=True),
    LeakCase("op-camera-mode", lambda e: _scripted(e, "ASIGetCameraMode", lambda o: o.get_camera_mode(0)),
             needs_sim=True),
    LeakCase("op-camera-mode-invalid", lambda e: _scripted(e, "ASIGetCameraMode", lambda o: o.get_camera_mode(0),
                                                           data=(99).to_bytes(4, "little", signed=True)),
             (ValueError,), needs_sim=True),
    LeakCase("op-set-mode-shortcut", lambda e: _scripted(
        e, "ASISetCameraMode", lambda o: o.set_camera_mode(0, o.CameraMode.ASI_MODE_NORMAL)), needs_sim=True),
    LeakCase("op-exp-status", lambda e: _scripted(e, "ASIGetExpStatus", lambda o: o.get_exp_status(0)),
             needs_sim=True),
    LeakCase("op-start-exposure-code", lambda e: _scripted(e, "ASIStartExposure", lambda o: o.start_exposure(0, 1),
                                                           code=15), (Exception,), needs_sim=True),
    LeakCase("op-read", lambda e: _scripted(e, "ASIGetDataAfterExp", lambda o: o.get_data_after_exp(0, 4096),
                                            data=b"abc"), needs_sim=True),
    LeakCase("op-read-code", lambda e: _scripted(e, "ASIGetDataAfterExp", lambda o: o.get_data_after_exp(0, 4096),
                                                 code=13), (Exception,), needs_sim=True),
    LeakCase("op-read-negative", lambda e: e.orvik.get_data_after_exp(0, -1), (ValueError,), needs_sim=True),
    LeakCase("op-read-overflow", lambda e: e.orvik.get_video_data(0, 4096, 1 << 31), (OverflowError,),
             needs_sim=True),
    LeakCase("op-read-empty", lambda e: _scripted(e, "ASIGetVideoData", lambda o: o.get_video_data(0, 0, 0)),
             needs_sim=True),
    LeakCase("op-read-gps", lambda e: _scripted(e, "ASIGetVideoDataGPS", lambda o: o.get_video_data_gps(0, 64, 0)),
             needs_sim=True),
    LeakCase("op-read-gps-code", lambda e: _scripted(e, "ASIGetDataAfterExpGPS",
                                                     lambda o: o.get_data_after_exp_gps(0, 64), code=18),
             (Exception,), needs_sim=True),
    LeakCase("op-controls", lambda e: _scripted(e, "ASIGetControlCaps", lambda o: o.get_control_caps(0, 0).name),
             needs_sim=True),
    LeakCase("op-control-value", lambda e: _scripted(e, "ASIGetControlValue",
                                                     lambda o: o.get_control_value(0, _gain(o))), needs_sim=True),
    LeakCase("op-set-control", lambda e: _scripted(e, "ASISetControlValue",
                                                   lambda o: o.set_control_value(0, _gain(o), 5, True)),
             needs_sim=True),
    LeakCase("op-presets", lambda e: _scripted(e, "ASIGetGainOffset", lambda o: o.get_gain_offset(0)),
             needs_sim=True),
    LeakCase("op-roi", lambda e: _scripted(e, "ASIGetROIFormat", lambda o: o.get_roi_format(0)), needs_sim=True),
    LeakCase("op-set-roi-kw", lambda e: _scripted(e, "ASISetROIFormat", lambda o: o.set_roi_format(
        camera_id=0, width=8, height=2, bin=1, img_type=o.ImgType.IMG_RAW8)), needs_sim=True),
    LeakCase("op-dark", lambda e: _scripted(e, "ASIEnableDarkSubtract",
                                            lambda o: o.enable_dark_subtract(0, "dark\xe9.bmp")), needs_sim=True),
    LeakCase("op-dark-surrogate", lambda e: e.orvik.enable_dark_subtract(0, "\ud800"), (UnicodeEncodeError,),
             needs_sim=True),
    LeakCase("op-trigger-conf", lambda e: _scripted(e, "ASIGetTriggerOutputIOConf",
                                                    lambda o: o.get_trigger_output_io_conf(0, 0)), needs_sim=True),
    LeakCase("op-gps", lambda e: _scripted(e, "ASIGPSGetData", lambda o: o.gps_get_data(0)), needs_sim=True),
    LeakCase("op-gps-code", lambda e: _scripted(e, "ASIGPSGetData", lambda o: o.gps_get_data(0), code=24),
             (Exception,), needs_sim=True),
    LeakCase("record-id-set", lambda e: setattr(e.orvik.Id(), "id", "ABCD\0\0\0\0")),
    LeakCase("record-id-bytes", lambda e: setattr(e.orvik.Id(), "id", b"12345678"), (AttributeError,)),
    LeakCase("record-modes", lambda e: e.orvik.SupportedMode().supported_camera_mode),
    LeakCase("record-pickle", lambda e: e.orvik.Id().__setstate__(1), (TypeError,)),
]
CASES += SIM_CASES



def _inside_except(orvik):
    try:
        raise KeyError("outer")
    except KeyError:
        orvik.handle_error_code(0)
        try:
            orvik.handle_error_code(31)
        except orvik.ASIError:
            pass
