"""Controls: every control a camera has (`cam.controls`), and typed properties in natural units.

The properties are rows of one table on the Camera class: each names the SDK control, how an SDK
integer becomes the property's value (seconds for exposures, degrees Celsius for the sensor
temperature) and how it is written back. Reading or writing a property the camera does not have
raises `UnsupportedControl`; a value outside the control's range raises `ValueError` naming the
value and the range, before the SDK is called.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, NoReturn, TypeVar, overload

from velmora.brinmoor import orvik

if TYPE_CHECKING:
    from .camera import Camera

T = TypeVar("T")


@dataclass(frozen=True, slots=True)
class Control:
    """One control of a camera: its capabilities and its value when it was read."""

    name: str
    """The SDK's name, as `Gain`; `cam.controls` is keyed by it."""
    description: str
    value: int | None
    """The SDK's integer value (the SDK's own unit, e.g. microseconds); None for a control
    type this module does not know."""
    auto: bool
    min: int
    max: int
    default: int
    writable: bool
    auto_supported: bool
    control_type: orvik.ControlType | None
    """The enumeration member; None for a control newer than the module's enumeration."""


@dataclass(frozen=True, slots=True)
class ControlSlot:
    """A control's capabilities as read once when the camera was opened."""

    caps: orvik.ControlCaps
    control_type: orvik.ControlType | None


class Controls(Mapping[str, Control]):
    """Every control a camera has, by SDK name, in the camera's order; values read on access."""

    def __init__(self, camera: Camera, slots: Mapping[str, ControlSlot]) -> None:
        self._camera = camera
        self._slots = slots

    def __getitem__(self, name: str) -> Control:
        slot = self._slots[name]
        value: int | None = None
        auto = False
        if slot.control_type is not None:
            value, auto = self._camera.read_control(slot.control_type)
        return self._control(slot, value, auto)

    def capabilities(self, name: str) -> Control:
        """A control's capabilities without reading its value (`value` is None)."""
        return self._control(self._slots[name], None, False)

    @staticmethod
    def _control(slot: ControlSlot, value: int | None, auto: bool) -> Control:
        caps = slot.caps
        return Control(
            name=caps.name,
            description=caps.description,
            value=value,
            auto=auto,
            min=caps.min_value,
            max=caps.max_value,
            default=caps.default_value,
            writable=caps.is_writable,
            auto_supported=caps.is_auto_supported,
            control_type=slot.control_type,
        )

    def __iter__(self) -> Iterator[str]:
        return iter(self._slots)

    def __len__(self) -> int:
        return len(self._slots)

    def __contains__(self, name: object) -> bool:
        return name in self._slots

    def __repr__(self) -> str:
        return f"<Controls of {self._camera.label}: {', '.join(self._slots)}>"


@dataclass(frozen=True, slots=True)
class Codec(Generic[T]):
    """How a property's value and the SDK's integer turn into each other."""

    decode: Callable[[int], T]
    encode: Callable[[T], int]
    show: Callable[[int], str]
    """An SDK integer as messages show it, in the property's unit."""


def _integer(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"expected an int, got {type(value).__name__}")
    return value


def _scaled(divisor: int, unit: str) -> Codec[float]:
    """SDK integers in 1/divisor of the unit. Decoding divides exactly, so 100000 us reads as
    0.1 s (the float nearest to the decimal), never 0.09999999999999999."""

    def encode(value: float) -> int:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"expected a number, got {type(value).__name__}")
        if not math.isfinite(value):
            raise ValueError(f"{value} is not a finite number")
        return round(value * divisor)

    return Codec(lambda raw: raw / divisor, encode, lambda raw: f"{raw / divisor:g} {unit}")


INTEGER: Codec[int] = Codec(lambda raw: raw, _integer, str)
FLAG: Codec[bool] = Codec(bool, lambda value: 1 if value else 0, lambda raw: "on" if raw else "off")
SECONDS: Codec[float] = _scaled(1_000_000, "s")
TENTHS_CELSIUS: Codec[float] = _scaled(10, "C")
CELSIUS: Codec[int] = Codec(lambda raw: raw, _integer, lambda raw: f"{raw} C")
PERCENT: Codec[int] = Codec(lambda raw: raw, _integer, lambda raw: f"{raw} %")


class ReadOnlyProperty(Generic[T]):
    """A control read as a typed property; assigning to it is an error (also for type checkers)."""

    def __init__(self, control: str, what: str, codec: Codec[T]) -> None:
        self.control = control
        self.what = what
        self.codec = codec

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name

    @overload
    def __get__(self, camera: None, owner: type) -> ReadOnlyProperty[T]: ...
    @overload
    def __get__(self, camera: Camera, owner: type) -> T: ...

    def __get__(self, camera: Camera | None, owner: type) -> ReadOnlyProperty[T] | T:
        if camera is None:
            return self
        ctype = camera.control_type(self.control, self.what)
        return self.codec.decode(camera.read_control(ctype)[0])

    def __set__(self, camera: Camera, value: NoReturn) -> None:
        raise AttributeError(f"{self.what} cannot be set: the camera only reports it")


class ControlProperty(ReadOnlyProperty[T]):
    """A control as a typed property that can be read and written."""

    def __set__(self, camera: Camera, value: T) -> None:
        try:
            raw = self.codec.encode(value)
        except TypeError as exc:
            raise TypeError(f"{self.what} {value!r}: {exc}") from None
        camera.write_control(self.control, raw, what=self.what, show=self.codec.show)
