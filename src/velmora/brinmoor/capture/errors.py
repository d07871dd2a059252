"""The capture tool's failures, and how the camera layer's exceptions become them.

A request the camera cannot take (a value out of range, a control it lacks, an unknown camera
index) is a usage error, exit status 2; an SDK failure is reported with what was being done, to
which camera, and why it failed, exit status 1.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager

from velmora.brinmoor.camera import (
    ASIError,
    CameraBusy,
    CameraInUse,
    CameraNotFound,
    ExposureFailed,
    NoCameras,
    UnsupportedControl,
    describe,
    failure_context,
)


class CaptureError(Exception):
    """A failure while capturing: reported to the user, exit status 1."""

    exit_status = 1


class UsageError(CaptureError):
    """A request that cannot be carried out as given (bad value for this camera): exit status 2."""

    exit_status = 2


def sdk_failure_text(exc: ASIError) -> str:
    """`setting the ROI format failed on camera 0 (...): ASIInvalidSize: ...`, or the layer's
    own account of a failure it detected (a time-out, a failed exposure)."""
    if isinstance(exc, CameraInUse):
        return str(exc)  # it names the camera, and why it cannot be opened
    context = failure_context(exc)
    if context is not None:
        return f"{context.action} failed on {context.camera}: {describe(exc)}"
    if isinstance(exc, ExposureFailed) or not getattr(exc, "__notes__", None):
        return str(exc) or describe(exc)
    notes: list[str] = exc.__notes__
    return notes[-1]


@contextmanager
def camera_errors() -> Iterator[None]:
    """Turn the camera layer's exceptions raised inside the block into the tool's errors."""
    try:
        yield
    except NoCameras as exc:
        raise CaptureError(str(exc)) from exc
    except (CameraNotFound, UnsupportedControl, ValueError) as exc:
        raise UsageError(str(exc)) from exc
    except CameraBusy as exc:
        raise CaptureError(str(exc)) from exc
    except ASIError as exc:
        raise CaptureError(sdk_failure_text(exc)) from exc
