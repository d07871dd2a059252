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

Built on the public functions of `velmora.brinmoor.orvik` only; SDK failures are that module's
exception classes, with a note naming the camera, the action and the value.
"""

from .camera import Camera
from .controls import Control, Controls
from .errors import (
    CameraNotFound,
    ExposureFailed,
    FailureContext,
    NoCameras,
    UnsupportedControl,
    describe,
    failure_context,
)
from .frames import Frame, FrameMetadata, frame_array
from .info import CameraDescription, connected, find
from .roi import ImageType, Roi, image_type_name
from .stream import AsyncStream, Stream

__all__ = [
    "AsyncStream",
    "Camera",
    "CameraDescription",
    "CameraNotFound",
    "Control",
    "Controls",
    "ExposureFailed",
    "FailureContext",
    "Frame",
    "FrameMetadata",
    "ImageType",
    "NoCameras",
    "Roi",
    "Stream",
    "UnsupportedControl",
    "connected",
    "describe",
    "failure_context",
    "find",
    "frame_array",
    "image_type_name",
]
