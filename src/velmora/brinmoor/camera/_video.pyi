# The camera layer's per-frame video path (native); Frame and Stream subclass these types.
from collections.abc import Callable
from typing import Any

from typing_extensions import disjoint_base

@disjoint_base
class FrameCore:
    data: bytes
    _metadata: Any
    _end: float | None
    _previous_end: float
    _sequence: int
    _array: Any

@disjoint_base
class VideoReader:
    received: int
    """Frames delivered so far."""
    _read: Callable[[int, int, int], bytes]
    _camera_id: int
    _size: int
    _first_ms: int
    _template: Any
    _check_at: float
    _last_end: float
    _limit: int
    _stopped: bool
    _started: bool
    _settings_changed: bool
    _frame_type: type[FrameCore]
    def _frame_of(self, data: bytes) -> Any: ...
    def __iter__(self) -> VideoReader: ...
    def __next__(self) -> Any: ...
