"""The SDK's records as ctypes structures, laid out by the platform's C rules (so `long` fields
follow the platform's width), for scripting record contents into the simulator."""

import ctypes
from ctypes import c_char, c_double, c_float, c_int, c_long, c_ubyte


class CameraInfoRecord(ctypes.Structure):
    _fields_ = [
        ("Name", c_char * 64),
        ("CameraID", c_int),
        ("MaxHeight", c_long),
        ("MaxWidth", c_long),
        ("IsColorCam", c_int),
        ("BayerPattern", c_int),
        ("SupportedBins", c_int * 16),
        ("SupportedVideoFormat", c_int * 8),
        ("PixelSize", c_double),
        ("MechanicalShutter", c_int),
        ("ST4Port", c_int),
        ("IsCoolerCam", c_int),
        ("IsUSB3Host", c_int),
        ("IsUSB3Camera", c_int),
        ("ElecPerADU", c_float),
        ("BitDepth", c_int),
        ("IsTriggerCam", c_int),
        ("Unused", c_char * 16),
    ]


class ControlCapsRecord(ctypes.Structure):
    _fields_ = [
        ("Name", c_char * 64),
        ("Description", c_char * 128),
        ("MaxValue", c_long),
        ("MinValue", c_long),
        ("DefaultValue", c_long),
        ("IsAutoSupported", c_int),
        ("IsWritable", c_int),
        ("ControlType", c_int),
        ("Unused", c_char * 32),
    ]


class IdRecord(ctypes.Structure):
    _fields_ = [("id", c_ubyte * 8)]


class SupportedModeRecord(ctypes.Structure):
    _fields_ = [("SupportedCameraMode", c_int * 16)]


class DateTimeRecord(ctypes.Structure):
    _fields_ = [
        ("Year", c_int),
        ("Month", c_int),
        ("Day", c_int),
        ("Hour", c_int),
        ("Minute", c_int),
        ("Second", c_int),
        ("Msecond", c_int),
        ("Usecond", c_int),
        ("Unused", c_char * 64),
    ]


class GpsRecord(ctypes.Structure):
    _fields_ = [
        ("Datetime", DateTimeRecord),
        ("Latitude", c_double),
        ("Longitude", c_double),
        ("Altitude", c_int),
        ("SatelliteNum", c_int),
        ("Unused", c_char * 64),
    ]


C_TYPES = {"i": ctypes.c_int, "l": ctypes.c_long}


def pack(*fields):
    """Bytes of a C struct whose members are `fields` ((type, value) pairs, the type "i" for int or
    "l" for long) in order, as the simulator expects a scripted call's outputs."""
    members = [(f"f{i}", C_TYPES[kind]) for i, (kind, _) in enumerate(fields)]
    layout = type("Outputs", (ctypes.Structure,), {"_fields_": members})()
    for i, (_, value) in enumerate(fields):
        setattr(layout, f"f{i}", value)
    return bytes(layout)
