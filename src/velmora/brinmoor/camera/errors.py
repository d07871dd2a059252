"""How the camera layer reports failures.

SDK failures stay the module's own exception classes (`except orvik.ASITimeout` keeps working);
the layer adds a note (PEP 678) that names the camera, what was being done and with which value,
and keeps the same facts on the exception as `failure_context(exc)` for programs that build
their own messages. Requests that a camera cannot take are refused before the SDK is called:
`ValueError` naming the value and the allowed range, `UnsupportedControl` for a control the
camera lacks or cannot write; `CameraBusy` for a second exposure or stream on a camera that
already runs one; `CameraInUse` (an `ASICameraRemoved`) for a camera another program has open.

Every class a user of the layer can meet is importable from here and from
`velmora.brinmoor.camera`: the SDK's classes are the module's own objects under the same
names (`camera.ASITimeout is orvik.ASITimeout`), so `except ASITimeout` works with either
import.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Final

from velmora.brinmoor import orvik

_CONTEXT_ATTRIBUTE: Final = "camera_failure"


@dataclass(frozen=True, slots=True)
class FailureContext:
    """What the camera layer was doing when the SDK reported a failure."""

    camera: str
    """The camera as `camera 0 (ZWO ASI294MC Pro)`."""
    action: str
    """What was being done, as `setting the ROI format`."""
    value: str | None = None
    """The value involved, when there is one, as `640x480 bin 2 raw16`."""

    def __str__(self) -> str:
        text = f"{self.action} failed on {self.camera}"
        return text if self.value is None else f"{text} (value: {self.value})"


def add_context(exc: BaseException, camera: str, action: str, value: object = None) -> None:
    """Attach the note and the context to an exception, once: the innermost action wins."""
    if getattr(exc, _CONTEXT_ATTRIBUTE, None) is not None:
        return
    context = FailureContext(camera, action, None if value is None else str(value))
    setattr(exc, _CONTEXT_ATTRIBUTE, context)
    exc.add_note(str(context))


def failure_context(exc: BaseException) -> FailureContext | None:
    """The context the camera layer attached to an exception, if any."""
    context = getattr(exc, _CONTEXT_ATTRIBUTE, None)
    return context if isinstance(context, FailureContext) else None


def describe(exc: BaseException) -> str:
    """`ASITimeout: Operation timed out.`: the module's classes carry their text as docstring."""
    text = str(exc) or (type(exc).__doc__ or "").strip()
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


class UnsupportedControl(LookupError):
    """The camera has no such control, or cannot write it."""


class CameraNotFound(LookupError, ValueError):
    """No connected camera matches the index or name asked for."""


class NoCameras(CameraNotFound):
    """No camera is connected at all."""


class CameraBusy(RuntimeError):
    """The camera already runs an exposure or a stream; one at a time per camera."""


class CameraInUse(orvik.ASICameraRemoved):
    """Another program has the camera open.

    The SDK reports it with its camera-removed code, so this is an `ASICameraRemoved`
    (`except ASICameraRemoved` still catches it); the message names the process that holds the
    camera, which the simulated cameras know (`pid`; a real camera's SDK does not say)."""

    def __init__(self, camera: str, pid: int, program: str | None):
        who = f"process {pid}" + (f" ({program})" if program else "")
        super().__init__(f"{camera} is in use by another program, {who}: a camera opens in one "
                         "program at a time")
        self.pid = pid


class ExposureFailed(orvik.ASIError):
    """The camera reported the exposure as failed, or went idle without finishing it."""


def out_of_range(what: str, value: str, camera: str, low: str, high: str) -> ValueError:
    """The one wording of a refused value: `gain 900 is out of range for camera 0 (...): ...`."""
    return ValueError(f"{what} {value} is out of range for {camera} (allowed {low} to {high})")


# The SDK's exception classes, the module's own objects (identity kept).
ASIError = orvik.ASIError
ASISuccess = orvik.ASISuccess
ASIInvalidIndex = orvik.ASIInvalidIndex
ASIInvalidID = orvik.ASIInvalidID
ASICameraClosed = orvik.ASICameraClosed
ASICameraRemoved = orvik.ASICameraRemoved
ASITimeout = orvik.ASITimeout
ASIGeneralError = orvik.ASIGeneralError
ASIInvalidControlType = orvik.ASIInvalidControlType
ASIInvalidPath = orvik.ASIInvalidPath
ASIInvalidFileFormat = orvik.ASIInvalidFileFormat
ASIInvalidSize = orvik.ASIInvalidSize
ASIInvalidImageType = orvik.ASIInvalidImageType
ASIOutOfBoundary = orvik.ASIOutOfBoundary
ASIInvalidSequence = orvik.ASIInvalidSequence
ASIBufferTooSmall = orvik.ASIBufferTooSmall
ASIVideoModeActive = orvik.ASIVideoModeActive
ASIExposureInProgress = orvik.ASIExposureInProgress
ASIInvalidMode = orvik.ASIInvalidMode
ASIGPSNotSupported = orvik.ASIGPSNotSupported
ASIGPSVersionError = orvik.ASIGPSVersionError
ASIGPSFPGAError = orvik.ASIGPSFPGAError
ASIGPSParamOutOfRange = orvik.ASIGPSParamOutOfRange
ASIGPSDataInvalid = orvik.ASIGPSDataInvalid
ASIErrorEnd = orvik.ASIErrorEnd
ASIUnknownErrorCode = orvik.ASIUnknownErrorCode

SDK_ERRORS: Final[tuple[type[orvik.ASIError], ...]] = (
    ASIError, ASISuccess, ASIInvalidIndex, ASIInvalidID, ASICameraClosed, ASICameraRemoved,
    ASITimeout, ASIGeneralError, ASIInvalidControlType, ASIInvalidPath, ASIInvalidFileFormat,
    ASIInvalidSize, ASIInvalidImageType, ASIOutOfBoundary, ASIInvalidSequence,
    ASIBufferTooSmall, ASIVideoModeActive, ASIExposureInProgress, ASIInvalidMode,
    ASIGPSNotSupported, ASIGPSVersionError, ASIGPSFPGAError, ASIGPSParamOutOfRange,
    ASIGPSDataInvalid, ASIErrorEnd, ASIUnknownErrorCode,
)
"""Every SDK exception class, base class first."""
