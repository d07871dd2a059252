"""The Alpaca members of a camera device, as one table: URL name, GET reader, PUT writer.

A PUT row names its form parameters and how each is parsed; the parsed values are passed to
the writer in that order. Parsing failures are malformed requests (HTTP 400); range checks
belong to the device and answer InvalidValue.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Literal

from .camera import DRIVER_VERSION, INTERFACE_VERSION, AlpacaCamera
from .errors import AlpacaError, ErrorNumber, not_implemented
from .protocol import Params

Kind = Literal["int", "float", "bool", "text"]


@dataclass(frozen=True)
class Writer:
    params: tuple[tuple[str, Kind], ...]
    call: Callable[..., object]


@dataclass(frozen=True)
class Member:
    get: Callable[[AlpacaCamera], object] | None = None
    put: Writer | None = None
    local: bool = False  # answered without the camera: no worker thread needed


def parse_arguments(writer: Writer, params: Params) -> list[object]:
    parsed: list[object] = []
    for name, kind in writer.params:
        if kind == "int":
            parsed.append(params.int32(name))
        elif kind == "float":
            parsed.append(params.float(name))
        elif kind == "bool":
            parsed.append(params.bool(name))
        else:
            parsed.append(params.text(name))
    return parsed


def _command(_device: AlpacaCamera, _command: str, _raw: bool) -> object:
    raise not_implemented("Command* methods")


def _action(_device: AlpacaCamera, action: str, _parameters: str) -> object:
    raise AlpacaError(ErrorNumber.ACTION_NOT_IMPLEMENTED, f"action {action[:80]!r} is not supported")


def _put(*params: tuple[str, Kind]) -> Callable[[Callable[..., object]], Writer]:
    def make(call: Callable[..., object]) -> Writer:
        return Writer(params, call)
    return make


C = AlpacaCamera
INT: Kind = "int"
FLOAT: Kind = "float"
BOOL: Kind = "bool"
TEXT: Kind = "text"

# Members every Alpaca device has, available also while disconnected.
COMMON_MEMBERS: Mapping[str, Member] = {
    "action": Member(put=_put(("Action", TEXT), ("Parameters", TEXT))(_action), local=True),
    "commandblind": Member(put=_put(("Command", TEXT), ("Raw", BOOL))(_command), local=True),
    "commandbool": Member(put=_put(("Command", TEXT), ("Raw", BOOL))(_command), local=True),
    "commandstring": Member(put=_put(("Command", TEXT), ("Raw", BOOL))(_command), local=True),
    "connected": Member(get=lambda d: d.connected, put=_put(("Connected", BOOL))(C.set_connected)),
    "connect": Member(put=_put()(C.connect)),
    "disconnect": Member(put=_put()(C.disconnect)),
    "connecting": Member(get=lambda d: False, local=True),  # Connect finishes before it answers
    "description": Member(get=C.description, local=True),
    "driverinfo": Member(get=lambda d: "orvik Alpaca camera server for ZWO ASI cameras", local=True),
    "driverversion": Member(get=lambda d: DRIVER_VERSION, local=True),
    "interfaceversion": Member(get=lambda d: INTERFACE_VERSION, local=True),
    "name": Member(get=lambda d: d.name, local=True),
    "supportedactions": Member(get=lambda d: [], local=True),
    "devicestate": Member(get=C.device_state),
}

CAMERA_MEMBERS: Mapping[str, Member] = {
    "bayeroffsetx": Member(get=lambda d: d.bayer_offset(0)),
    "bayeroffsety": Member(get=lambda d: d.bayer_offset(1)),
    "binx": Member(get=C.bin, put=_put(("BinX", INT))(C.set_bin)),
    "biny": Member(get=C.bin, put=_put(("BinY", INT))(C.set_bin)),
    "camerastate": Member(get=C.camera_state),
    "cameraxsize": Member(get=C.camera_x_size),
    "cameraysize": Member(get=C.camera_y_size),
    "canabortexposure": Member(get=C.can_abort_exposure),
    "canasymmetricbin": Member(get=C.can_asymmetric_bin),
    "canfastreadout": Member(get=C.can_fast_readout),
    "cangetcoolerpower": Member(get=C.can_get_cooler_power),
    "canpulseguide": Member(get=C.can_pulse_guide),
    "cansetccdtemperature": Member(get=C.can_set_ccd_temperature),
    "canstopexposure": Member(get=C.can_stop_exposure),
    "ccdtemperature": Member(get=C.ccd_temperature),
    "cooleron": Member(get=C.cooler_on, put=_put(("CoolerOn", BOOL))(C.set_cooler_on)),
    "coolerpower": Member(get=C.cooler_power),
    "electronsperadu": Member(get=C.electrons_per_adu),
    "exposuremax": Member(get=C.exposure_max),
    "exposuremin": Member(get=C.exposure_min),
    "exposureresolution": Member(get=C.exposure_resolution),
    "fastreadout": Member(get=C.fast_readout, put=_put(("FastReadout", BOOL))(C.set_fast_readout)),
    "fullwellcapacity": Member(get=C.full_well_capacity),
    "gain": Member(get=C.gain, put=_put(("Gain", INT))(C.set_gain)),
    "gainmax": Member(get=C.gain_max),
    "gainmin": Member(get=C.gain_min),
    "gains": Member(get=C.gains),
    "hasshutter": Member(get=C.has_shutter),
    "heatsinktemperature": Member(get=C.heat_sink_temperature),
    "imagearray": Member(get=C.image),
    "imagearrayvariant": Member(get=C.image),
    "imageready": Member(get=C.image_ready),
    "ispulseguiding": Member(get=C.is_pulse_guiding),
    "lastexposureduration": Member(get=C.last_exposure_duration),
    "lastexposurestarttime": Member(get=C.last_exposure_start_time),
    "maxadu": Member(get=C.max_adu),
    "maxbinx": Member(get=C.max_bin),
    "maxbiny": Member(get=C.max_bin),
    "numx": Member(get=C.num_x, put=_put(("NumX", INT))(C.set_num_x)),
    "numy": Member(get=C.num_y, put=_put(("NumY", INT))(C.set_num_y)),
    "offset": Member(get=C.offset, put=_put(("Offset", INT))(C.set_offset)),
    "offsetmax": Member(get=C.offset_max),
    "offsetmin": Member(get=C.offset_min),
    "offsets": Member(get=C.offsets),
    "percentcompleted": Member(get=C.percent_completed),
    "pixelsizex": Member(get=C.pixel_size),
    "pixelsizey": Member(get=C.pixel_size),
    "readoutmode": Member(get=C.readout_mode, put=_put(("ReadoutMode", INT))(C.set_readout_mode)),
    "readoutmodes": Member(get=C.readout_modes),
    "sensorname": Member(get=C.sensor_name),
    "sensortype": Member(get=C.sensor_type),
    "setccdtemperature": Member(get=C.set_ccd_temperature,
                                put=_put(("SetCCDTemperature", FLOAT))(C.put_set_ccd_temperature)),
    "startx": Member(get=C.start_x, put=_put(("StartX", INT))(C.set_start_x)),
    "starty": Member(get=C.start_y, put=_put(("StartY", INT))(C.set_start_y)),
    "subexposureduration": Member(get=C.sub_exposure_duration,
                                  put=_put(("SubExposureDuration", FLOAT))(C.set_sub_exposure_duration)),
    "abortexposure": Member(put=_put()(C.abort_exposure)),
    "pulseguide": Member(put=_put(("Direction", INT), ("Duration", INT))(C.pulse_guide)),
    "startexposure": Member(put=_put(("Duration", FLOAT), ("Light", BOOL))(C.start_exposure)),
    "stopexposure": Member(put=_put()(C.stop_exposure)),
}

MEMBERS: Mapping[str, Member] = {**COMMON_MEMBERS, **CAMERA_MEMBERS}
