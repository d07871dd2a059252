"""The camera API: open a camera, set it up in natural units, take frames as numpy arrays.

    from velmora.brinmoor.camera import Camera, Roi, connected

    for info in connected():
        print(info.index, info.name)
    with Camera(0) as cam:
        cam.gain = 200
        cam.exposure = 0.5                       # seconds
        cam.roi = Roi(640, 480, bin=1, image_type="raw16")
        frame = cam.expose()
        frame.array                              # (480, 640) uint16, a view of the frame
        exposure = cam.start_exposure(2.0)       # returns at once
        ...
        frame = exposure.wait()

Built on the public functions of `velmora.brinmoor.orvik` only; the tools (`capture`, `alpaca`)
stand on this layer and on `velmora.brinmoor.formats`, never on the module. SDK failures are
the module's exception classes (importable from here too, the same objects), with a note
naming the camera, the action and the value.
"""

# The module's enumerations the layer's API takes and returns (the same objects).
from velmora.brinmoor.orvik import CameraMode, ExposureStatus, GuideDirection

from .camera import Camera
from .controls import Control, Controls
from .conversion import Conversion
from .errors import (
    SDK_ERRORS,
    ASIBufferTooSmall,
    ASICameraClosed,
    ASICameraRemoved,
    ASIError,
    ASIErrorEnd,
    ASIExposureInProgress,
    ASIGeneralError,
    ASIGPSDataInvalid,
    ASIGPSFPGAError,
    ASIGPSNotSupported,
    ASIGPSParamOutOfRange,
    ASIGPSVersionError,
    ASIInvalidControlType,
    ASIInvalidFileFormat,
    ASIInvalidID,
    ASIInvalidImageType,
    ASIInvalidIndex,
    ASIInvalidMode,
    ASIInvalidPath,
    ASIInvalidSequence,
    ASIInvalidSize,
    ASIOutOfBoundary,
    ASISuccess,
    ASITimeout,
    ASIUnknownErrorCode,
    ASIVideoModeActive,
    CameraBusy,
    CameraInUse,
    CameraNotFound,
    ExposureFailed,
    FailureContext,
    NoCameras,
    UnsupportedControl,
    describe,
    failure_context,
)
from .exposure import Exposure
from .frames import Frame, FrameMetadata, Observation, frame_array
from .identity import GainPresets
from .info import (
    ZWO_VENDOR_ID,
    CameraDescription,
    SdkLibrary,
    connected,
    find,
    is_camera_product,
    sdk_library,
    sdk_version,
)
from .roi import ImageType, Roi, image_type_name
from .simulated import Pointing, unknown_simulated_model
from .stream import AsyncStream, Stream

__all__ = [
    "SDK_ERRORS",
    "ZWO_VENDOR_ID",
    "ASIBufferTooSmall",
    "ASICameraClosed",
    "ASICameraRemoved",
    "ASIError",
    "ASIErrorEnd",
    "ASIExposureInProgress",
    "ASIGPSDataInvalid",
    "ASIGPSFPGAError",
    "ASIGPSNotSupported",
    "ASIGPSParamOutOfRange",
    "ASIGPSVersionError",
    "ASIGeneralError",
    "ASIInvalidControlType",
    "ASIInvalidFileFormat",
    "ASIInvalidID",
    "ASIInvalidImageType",
    "ASIInvalidIndex",
    "ASIInvalidMode",
    "ASIInvalidPath",
    "ASIInvalidSequence",
    "ASIInvalidSize",
    "ASIOutOfBoundary",
    "ASISuccess",
    "ASITimeout",
    "ASIUnknownErrorCode",
    "ASIVideoModeActive",
    "AsyncStream",
    "Camera",
    "CameraBusy",
    "CameraInUse",
    "CameraDescription",
    "CameraMode",
    "CameraNotFound",
    "Control",
    "Controls",
    "Conversion",
    "Exposure",
    "ExposureFailed",
    "ExposureStatus",
    "FailureContext",
    "Frame",
    "FrameMetadata",
    "Pointing",
    "GainPresets",
    "GuideDirection",
    "ImageType",
    "NoCameras",
    "Observation",
    "Roi",
    "SdkLibrary",
    "Stream",
    "UnsupportedControl",
    "connected",
    "describe",
    "failure_context",
    "find",
    "frame_array",
    "image_type_name",
    "is_camera_product",
    "sdk_library",
    "sdk_version",
    "unknown_simulated_model",
]
