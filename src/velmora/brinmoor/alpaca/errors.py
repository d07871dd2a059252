"""ASCOM error numbers, the exception that carries one, and the mapping of camera-layer failures
to them (by exception class).

A device member reports a failure by raising `AlpacaError`; the request handler turns it into an
HTTP 200 answer whose JSON body (or ImageBytes header) carries `ErrorNumber` and `ErrorMessage`.
A request that is malformed at the HTTP level (a parameter missing or not a number, an unknown
device or member) raises `BadRequest` instead, which becomes HTTP 400 with a plain-text message.
"""

from __future__ import annotations

import enum

from velmora.brinmoor.camera import (
    ASICameraClosed,
    ASICameraRemoved,
    ASIExposureInProgress,
    ASIGPSParamOutOfRange,
    ASIInvalidControlType,
    ASIInvalidID,
    ASIInvalidImageType,
    ASIInvalidIndex,
    ASIInvalidMode,
    ASIInvalidSequence,
    ASIInvalidSize,
    ASIOutOfBoundary,
    ASIVideoModeActive,
    CameraBusy,
    CameraNotFound,
    UnsupportedControl,
    describe,
)


class ErrorNumber(enum.IntEnum):
    """The error numbers the Alpaca API reserves (0x400 to 0x4FF)."""

    NOT_IMPLEMENTED = 0x400
    INVALID_VALUE = 0x401
    VALUE_NOT_SET = 0x402
    NOT_CONNECTED = 0x407
    INVALID_OPERATION = 0x40B
    ACTION_NOT_IMPLEMENTED = 0x40C
    UNSPECIFIED = 0x4FF


class AlpacaError(Exception):
    """A device-level failure, answered with HTTP 200 and an ASCOM error number."""

    def __init__(self, number: ErrorNumber, message: str) -> None:
        super().__init__(message)
        self.number = number
        self.message = message


class BadRequest(Exception):
    """A request the server cannot parse or route: HTTP 400 (or `status_code`) with this
    plain-text message."""

    status_code = 400

    def __init__(self, message: str, *, status_code: int | None = None) -> None:
        super().__init__(message)
        if status_code is not None:
            self.status_code = status_code


class BodyTooLarge(BadRequest):
    """A request body beyond the server's limit: HTTP 413."""

    status_code = 413


def not_implemented(what: str) -> AlpacaError:
    return AlpacaError(ErrorNumber.NOT_IMPLEMENTED, f"{what} is not implemented by this camera")


def invalid_value(message: str) -> AlpacaError:
    return AlpacaError(ErrorNumber.INVALID_VALUE, message)


def invalid_operation(message: str) -> AlpacaError:
    return AlpacaError(ErrorNumber.INVALID_OPERATION, message)


def value_not_set(message: str) -> AlpacaError:
    return AlpacaError(ErrorNumber.VALUE_NOT_SET, message)


def not_connected(name: str) -> AlpacaError:
    return AlpacaError(ErrorNumber.NOT_CONNECTED, f"{name} is not connected")


# Camera-layer failures by exception class, first match wins (subclasses before their bases):
# a camera that is closed or gone is "not connected"; a value the SDK or the layer refuses is
# "invalid value"; a call in the wrong state is "invalid operation"; what the camera lacks is
# "not implemented". Everything else, time-outs and general errors included, is the catch-all.
SDK_ERROR_NUMBERS: tuple[tuple[type[BaseException], ErrorNumber], ...] = (
    (ASIInvalidIndex, ErrorNumber.NOT_CONNECTED),
    (ASIInvalidID, ErrorNumber.NOT_CONNECTED),
    (ASICameraClosed, ErrorNumber.NOT_CONNECTED),
    (ASICameraRemoved, ErrorNumber.NOT_CONNECTED),
    (CameraNotFound, ErrorNumber.NOT_CONNECTED),
    (ASIInvalidControlType, ErrorNumber.INVALID_VALUE),
    (ASIInvalidSize, ErrorNumber.INVALID_VALUE),
    (ASIInvalidImageType, ErrorNumber.INVALID_VALUE),
    (ASIOutOfBoundary, ErrorNumber.INVALID_VALUE),
    (ASIInvalidMode, ErrorNumber.INVALID_VALUE),
    (ASIGPSParamOutOfRange, ErrorNumber.INVALID_VALUE),
    (ASIInvalidSequence, ErrorNumber.INVALID_OPERATION),
    (ASIVideoModeActive, ErrorNumber.INVALID_OPERATION),
    (ASIExposureInProgress, ErrorNumber.INVALID_OPERATION),
    (CameraBusy, ErrorNumber.INVALID_OPERATION),
    (UnsupportedControl, ErrorNumber.NOT_IMPLEMENTED),
    (ValueError, ErrorNumber.INVALID_VALUE),  # the layer's range checks
)


def error_number(exc: BaseException) -> ErrorNumber:
    """The ASCOM error number of a camera-layer failure."""
    for cls, number in SDK_ERROR_NUMBERS:
        if isinstance(exc, cls):
            return number
    return ErrorNumber.UNSPECIFIED


def describe_sdk_error(exc: BaseException) -> str:
    """`ASITimeout: Operation timed out.`, plus any notes the camera layer added."""
    described = describe(exc)
    notes = getattr(exc, "__notes__", None)
    if isinstance(notes, list) and notes:
        described += " (" + "; ".join(str(n) for n in notes) + ")"
    return described


def from_sdk_error(exc: BaseException, doing: str) -> AlpacaError:
    """The Alpaca error for a camera-layer failure while `doing` something, naming the
    condition."""
    if isinstance(exc, (ValueError, UnsupportedControl, CameraBusy)) and \
            not isinstance(exc, CameraNotFound):
        # The camera layer's own refusals say what was refused and why, camera included.
        return AlpacaError(error_number(exc), str(exc))
    return AlpacaError(error_number(exc), f"{doing} failed: {describe_sdk_error(exc)}")
