"""A camera's identity and modes: serial number, flash ID, trigger modes, gain presets.

The SDK keeps a serial number as 8 raw bytes; the module's `Id.id` reads them as UTF-8 text up
to the first zero byte and refuses bytes that are not text. The layer reads them either way
and shows them as hex, the way the vendor prints serial numbers.
"""

from __future__ import annotations

from dataclasses import dataclass

from velmora.brinmoor import orvik


def id_bytes(record: orvik.Id) -> bytes:
    """The bytes of an `Id` record up to its first zero byte, whether or not they are text."""
    try:
        return record.id.encode("utf-8")
    except UnicodeDecodeError as exc:
        # The getter tried to decode exactly these bytes; they are the identifier.
        return bytes(exc.object)


def decode_serial(record: orvik.Id) -> str | None:
    """A serial number as lower-case hex text; None when the record is empty (no serial)."""
    raw = id_bytes(record)
    return raw.hex() if raw else None


def decode_flash_id(record: orvik.Id) -> str | None:
    """The ID a user stored in the camera's flash: text when it is text, hex otherwise; None
    when empty."""
    try:
        text = record.id
    except UnicodeDecodeError as exc:
        return bytes(exc.object).hex()
    if not text:
        return None
    return text if text.isprintable() else text.encode("utf-8").hex()


def mode_member(code: int) -> orvik.CameraMode | int:
    """A camera-mode code as the enumeration member, or the bare code when it is newer than
    the module's enumeration."""
    try:
        return orvik.CameraMode(code)
    except ValueError:
        return code


@dataclass(frozen=True, slots=True)
class GainPresets:
    """The SDK's preset gains and offsets for the camera's sensor."""

    offset_highest_dr: int
    """Offset for the highest dynamic range (at gain 0)."""
    offset_unity_gain: int
    """Offset at the unity gain (one electron per ADU)."""
    gain_lowest_rn: int
    """Gain with the lowest read noise."""
    offset_lowest_rn: int
    """Offset at the lowest-read-noise gain."""
    gain_low: int
    gain_medium: int
    gain_high: int
    """Low, medium and high gains as the SDK suggests them."""
    offset_high: int
    """Offset at the high gain."""
