"""The eight IntEnum classes and the imported names, made as class statements make them."""

import enum
import typing

import pytest

from subproc import run_python

ENUMS = {
    "BayerPattern": [("BAYER_RG", 0), ("BAYER_BG", 1), ("BAYER_GR", 2), ("BAYER_GB", 3)],
    "ImgType": [("IMG_RAW8", 0), ("IMG_RGB24", 1), ("IMG_RAW16", 2), ("IMG_Y8", 3), ("IMG_END", -1)],
    "ControlType": [(name, value) for value, name in enumerate(
        "ASI_GAIN ASI_EXPOSURE ASI_GAMMA ASI_WB_R ASI_WB_B ASI_OFFSET ASI_BANDWIDTHOVERLOAD ASI_OVERCLOCK "
        "ASI_TEMPERATURE ASI_FLIP ASI_AUTO_MAX_GAIN ASI_AUTO_MAX_EXP ASI_AUTO_TARGET_BRIGHTNESS "
        "ASI_HARDWARE_BIN ASI_HIGH_SPEED_MODE ASI_COOLER_POWER_PERC ASI_TARGET_TEMP ASI_COOLER_ON "
        "ASI_MONO_BIN ASI_FAN_ON ASI_PATTERN_ADJUST ASI_ANTI_DEW_HEATER ASI_FAN_ADJUST ASI_PWRLED_BRIGNT "
        "ASI_USBHUB_RESET ASI_GPS_SUPPORT ASI_GPS_START_LINE ASI_GPS_END_LINE ASI_ROLLING_INTERVAL".split())],
    "CameraMode": [("ASI_MODE_NORMAL", 0), ("ASI_MODE_TRIG_SOFT_EDGE", 1), ("ASI_MODE_TRIG_RISE_EDGE", 2),
                   ("ASI_MODE_TRIG_FALL_EDGE", 3), ("ASI_MODE_TRIG_SOFT_LEVEL", 4),
                   ("ASI_MODE_TRIG_HIGH_LEVEL", 5), ("ASI_MODE_TRIG_LOW_LEVEL", 6), ("ASI_MODE_END", -1)],
    "GuideDirection": [("ASI_GUIDE_NORTH", 0), ("ASI_GUIDE_SOUTH", 1), ("ASI_GUIDE_EAST", 2),
                       ("ASI_GUIDE_WEST", 3)],
    "FlipStatus": [("ASI_FLIP_NONE", 0), ("ASI_FLIP_HORIZ", 1), ("ASI_FLIP_VERT", 2), ("ASI_FLIP_BOTH", 3)],
    "TrigOutput": [("ASI_TRIG_OUTPUT_PINA", 0), ("ASI_TRIG_OUTPUT_PINB", 1), ("ASI_TRIG_OUTPUT_NONE", -1)],
    "ExposureStatus": [("ASI_EXP_IDLE", 0), ("ASI_EXP_WORKING", 1), ("ASI_EXP_SUCCESS", 2),
                       ("ASI_EXP_FAILED", 3)],
}


@pytest.mark.parametrize("name", ENUMS)
def test_members_values_and_order(orvik, name):
    cls = getattr(orvik, name)
    assert [(m.name, m.value) for m in cls] == ENUMS[name]
    assert list(cls.__members__) == [n for n, _ in ENUMS[name]]
    assert all(type(m.value) is int for m in cls)
    assert len(cls) == len(ENUMS[name])


@pytest.mark.parametrize("name", ENUMS)
def test_class_is_what_a_class_statement_makes(orvik, name):
    cls = getattr(orvik, name)
    assert type(cls) is enum.EnumType
    assert cls.__bases__ == (enum.IntEnum,)
    assert cls.__module__ == "velmora.brinmoor.orvik"
    assert cls.__qualname__ == cls.__name__ == name
    assert "__orig_bases__" not in vars(cls)
    # The same class written in Python, for everything the enumeration machinery derives.
    reference = enum.IntEnum(name, ENUMS[name], module="velmora.brinmoor.orvik", qualname=name)
    assert cls.__doc__ == reference.__doc__
    assert repr(cls(ENUMS[name][0][1])) == repr(reference(ENUMS[name][0][1]))
    assert cls._member_names_ == reference._member_names_


def test_edge_cases(orvik):
    assert orvik.ControlType(28) is orvik.ControlType.ASI_ROLLING_INTERVAL
    assert orvik.CameraMode(-1) is orvik.CameraMode.ASI_MODE_END
    assert orvik.ImgType.IMG_END == -1 and orvik.TrigOutput.ASI_TRIG_OUTPUT_NONE == -1
    assert isinstance(orvik.GuideDirection.ASI_GUIDE_WEST, int) and orvik.GuideDirection.ASI_GUIDE_WEST == 3
    assert orvik.BayerPattern.BAYER_GB.__module__ == "velmora.brinmoor.orvik"
    with pytest.raises(ValueError):
        orvik.ExposureStatus(4)


def test_imported_names(orvik):
    assert orvik.Optional is typing.Optional
    assert orvik.IntEnum is enum.IntEnum


def test_members_pickle_by_reference(orvik):
    import pickle

    member = orvik.ControlType.ASI_GAMMA
    assert pickle.loads(pickle.dumps(member)) is member


def test_base_is_resolved_through_mro_entries():
    # With enum.IntEnum replaced by an object that resolves to the real class through
    # __mro_entries__, every class keeps the object as __orig_bases__ and IntEnum as its base.
    proc = run_python(
        """
        import enum
        real = enum.IntEnum

        class Alias:
            def __mro_entries__(self, bases):
                return (real,)

        alias = Alias()
        enum.IntEnum = alias
        import velmora.brinmoor.orvik as orvik
        enum.IntEnum = real
        print(orvik.IntEnum is alias)
        for name in ("BayerPattern", "ExposureStatus"):
            cls = getattr(orvik, name)
            print(name, cls.__bases__ == (real,), cls.__orig_bases__ == (alias,), len(cls))
        """
    )
    assert proc.stdout.splitlines() == ["True", "BayerPattern True True 4", "ExposureStatus True True 4"]


def test_namespace_comes_from_prepare_and_sees_every_member_in_order():
    # A metaclass whose __prepare__ returns a recording mapping shows the assignments a class
    # statement makes: __module__, __qualname__, then the members in order.
    proc = run_python(
        """
        import enum
        real = enum.IntEnum
        seen = {}

        class Meta(type(real)):
            @classmethod
            def __prepare__(mcls, name, bases):
                ns = super().__prepare__(name, bases)
                setitem = type(ns).__setitem__

                class Spy(type(ns)):
                    def __setitem__(self, key, value):
                        seen.setdefault(name, []).append(key)
                        setitem(self, key, value)

                ns.__class__ = Spy
                return ns

        class Base(real, metaclass=Meta):
            pass

        enum.IntEnum = Base
        import velmora.brinmoor.orvik as orvik
        enum.IntEnum = real
        print(seen["TrigOutput"])
        print(type(orvik.TrigOutput).__name__, orvik.TrigOutput.__bases__[0] is Base)
        """
    )
    assert proc.stdout.splitlines() == [
        "['__module__', '__qualname__', 'ASI_TRIG_OUTPUT_PINA', 'ASI_TRIG_OUTPUT_PINB', 'ASI_TRIG_OUTPUT_NONE']",
        "Meta True",
    ]


def test_failing_enum_creation_fails_the_import():
    proc = run_python(
        """
        import enum, traceback
        real = enum.IntEnum

        class Refusing(type(real)):
            def __new__(mcls, name, bases, ns, **kw):
                if name == "CameraMode":
                    raise LookupError("no CameraMode today")
                return super().__new__(mcls, name, bases, ns, **kw)

        class Base(real, metaclass=Refusing):
            pass

        enum.IntEnum = Base
        try:
            import velmora.brinmoor.orvik
        except LookupError as exc:
            names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
            print(exc, names.count("init velmora.brinmoor.orvik"))
        enum.IntEnum = real
        import velmora.brinmoor.orvik as orvik
        print(orvik.CameraMode.__bases__ == (real,))
        """
    )
    assert proc.stdout.splitlines() == ["no CameraMode today 1", "True"]
