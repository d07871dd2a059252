"""The Alpaca members of a camera device, as one table: the protocol surface of the server.

Each row is a URL name with its GET reader and PUT writer (the writer's form parameters and how
each is parsed), whether the member needs a connected device, and where it runs:
- `LOCAL`: fixed answers that touch neither the device's state nor the camera (event loop);
- `STATE`: the device's own state, answered at once when nothing else holds the device and no
  exposure is under way (an exposure may have to be read out), else in a worker thread;
- `CAMERA`: calls the camera, always in a worker thread; a reader with a `recent` function
  (a polled reading the device keeps for a moment) is answered from it on the event loop while
  it has one.
Parsing failures are malformed requests (HTTP 400); range checks belong to the device and the
camera layer and answer InvalidValue. docs/alpaca.md lists the same members and why some
answer NotImplemented.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Literal

from .camera import DRIVER_VERSION, INTERFACE_VERSION, AlpacaCamera
from .errors import AlpacaError, ErrorNumber, not_implemented
from .protocol import Params

Kind = Literal["int", "float", "bool", "text"]
Access = Literal["local", "state", "camera"]
LOCAL: Access = "local"
STATE: Access = "state"
CAMERA: Access = "camera"
DRIVER_INFO = "orvik Alpaca camera server for ZWO ASI cameras"


@dataclass(frozen=True)
class Writer:
    params: tuple[tuple[str, Kind], ...]
    call: Callable[..., object]


@dataclass(frozen=True)
class Member:
    get: Callable[[AlpacaCamera], object] | None = None
    put: Writer | None = None
    needs_connection: bool = True
    access: Access = STATE
    recent: Callable[[AlpacaCamera], object | None] | None = None


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
COMMAND = _put(("Command", TEXT), ("Raw", BOOL))(_command)


def _fixed(value: object) -> Callable[[AlpacaCamera], object]:
    return lambda _device: value


# Members every Alpaca device has; these answer while disconnected too.
COMMON_MEMBERS: Mapping[str, Member] = {
    "action": Member(put=_put(("Action", TEXT), ("Parameters", TEXT))(_action),
                     needs_connection=False, access=LOCAL),
    "commandblind": Member(put=COMMAND, needs_connection=False, access=LOCAL),
    "commandbool": Member(put=COMMAND, needs_connection=False, access=LOCAL),
    "commandstring": Member(put=COMMAND, needs_connection=False, access=LOCAL),
    "connected": Member(get=C.connected, put=_put(("Connected", BOOL))(C.set_connected),
                        needs_connection=False, access=CAMERA),
    "connect": Member(put=_put()(C.connect), needs_connection=False, access=CAMERA),
    "disconnect": Member(put=_put()(C.disconnect), needs_connection=False, access=CAMERA),
    # Connect finishes before it answers, so a connection is never under way.
    "connecting": Member(get=_fixed(False), needs_connection=False, access=LOCAL),
    "description": Member(get=C.description, needs_connection=False, access=LOCAL),
    "driverinfo": Member(get=_fixed(DRIVER_INFO), needs_connection=False, access=LOCAL),
    "driverversion": Member(get=_fixed(DRIVER_VERSION), needs_connection=False, access=LOCAL),
    "interfaceversion": Member(get=_fixed(INTERFACE_VERSION), needs_connection=False, access=LOCAL),
    "name": Member(get=lambda d: d.name, needs_connection=False, access=LOCAL),
    "supportedactions": Member(get=_fixed([]), needs_connection=False, access=LOCAL),
    "devicestate": Member(get=C.device_state, access=CAMERA),
}

CAMERA_MEMBERS: Mapping[str, Member] = {
    "bayeroffsetx": Member(get=lambda d: d.bayer_offset(0)),
    "bayeroffsety": Member(get=lambda d: d.bayer_offset(1)),
    "binx": Member(get=C.bin, put=_put(("BinX", INT))(C.set_bin)),
    "biny": Member(get=C.bin, put=_put(("BinY", INT))(C.set_bin)),
    "camerastate": Member(get=C.camera_state),
    "cameraxsize": Member(get=C.camera_x_size),
    "cameraysize": Member(get=C.camera_y_size),
    "canabortexposure": Member(get=_fixed(True)),
    "canasymmetricbin": Member(get=_fixed(False)),
    "canfastreadout": Member(get=C.can_fast_readout),
    "cangetcoolerpower": Member(get=C.can_get_cooler_power),
    "canpulseguide": Member(get=C.can_pulse_guide),
    "cansetccdtemperature": Member(get=C.can_set_ccd_temperature),
    # The SDK discards the image of an exposure stopped early.
    "canstopexposure": Member(get=_fixed(False)),
    "ccdtemperature": Member(get=C.ccd_temperature, recent=C.recent_ccd_temperature,
                             access=CAMERA),
    "cooleron": Member(get=C.cooler_on, put=_put(("CoolerOn", BOOL))(C.set_cooler_on),
                       access=CAMERA),
    "coolerpower": Member(get=C.cooler_power, access=CAMERA),
    "electronsperadu": Member(get=C.electrons_per_adu),
    "exposuremax": Member(get=C.exposure_max),
    "exposuremin": Member(get=C.exposure_min),
    "exposureresolution": Member(get=C.exposure_resolution),
    "fastreadout": Member(get=C.fast_readout, put=_put(("FastReadout", BOOL))(C.set_fast_readout),
                          access=CAMERA),
    "fullwellcapacity": Member(get=C.full_well_capacity),
    "gain": Member(get=C.gain, put=_put(("Gain", INT))(C.set_gain), access=CAMERA),
    "gainmax": Member(get=C.gain_max),
    "gainmin": Member(get=C.gain_min),
    "gains": Member(get=C.gains),
    "hasshutter": Member(get=C.has_shutter),
    "heatsinktemperature": Member(get=C.heat_sink_temperature),
    "imagearray": Member(get=C.image),
    "imagearrayvariant": Member(get=C.image_array_variant),
    "imageready": Member(get=C.image_ready),
    "ispulseguiding": Member(get=C.is_pulse_guiding),
    "lastexposureduration": Member(get=C.last_exposure_duration),
    "lastexposurestarttime": Member(get=C.last_exposure_start_time),
    "maxadu": Member(get=C.max_adu),
    "maxbinx": Member(get=C.max_bin),
    "maxbiny": Member(get=C.max_bin),
    "numx": Member(get=C.num_x, put=_put(("NumX", INT))(C.set_num_x)),
    "numy": Member(get=C.num_y, put=_put(("NumY", INT))(C.set_num_y)),
    "offset": Member(get=C.offset, put=_put(("Offset", INT))(C.set_offset), access=CAMERA),
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
                                put=_put(("SetCCDTemperature", FLOAT))(C.put_set_ccd_temperature),
                                access=CAMERA),
    "startx": Member(get=C.start_x, put=_put(("StartX", INT))(C.set_start_x)),
    "starty": Member(get=C.start_y, put=_put(("StartY", INT))(C.set_start_y)),
    "subexposureduration": Member(get=C.sub_exposure_duration,
                                  put=_put(("SubExposureDuration", FLOAT))(C.set_sub_exposure_duration)),
    "abortexposure": Member(put=_put()(C.abort_exposure), access=CAMERA),
    "pulseguide": Member(put=_put(("Direction", INT), ("Duration", INT))(C.pulse_guide),
                         access=CAMERA),
    "startexposure": Member(put=_put(("Duration", FLOAT), ("Light", BOOL))(C.start_exposure),
                            access=CAMERA),
    "stopexposure": Member(put=_put()(C.stop_exposure)),
}

MEMBERS: Mapping[str, Member] = {**COMMON_MEMBERS, **CAMERA_MEMBERS}
