"""The Alpaca protocol's request rules: parameters, their values, and transaction IDs.

- Parameter names are matched without regard to case, in GET query strings and in PUT form
  bodies alike; a name given twice (in any casing) is a malformed request.
- Values are parsed strictly: integers as optionally signed decimal digits within 32 bits,
  floating-point numbers as finite decimals, booleans as `true`/`false` in any casing. A value
  that does not parse is a malformed request (HTTP 400); a value that parses but is outside what
  the camera allows is the device's business (ASCOM InvalidValue).
- `ClientID` and `ClientTransactionID` are optional unsigned 32-bit integers; the client's
  transaction ID is echoed (0 when none was given) and every answer carries a
  `ServerTransactionID` from one counter that increases across the whole server.
"""

from __future__ import annotations

import math
import re
import threading
from collections.abc import Iterable
from urllib.parse import parse_qsl

from .errors import BadRequest

MAX_BODY_BYTES = 16 * 1024
MAX_FIELDS = 32
MAX_VALUE_CHARS = 256
UINT32_MAX = 2**32 - 1
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

_INTEGER = re.compile(r"[+-]?[0-9]{1,20}")
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]{1,4})?")


class Params:
    """Request parameters, looked up by name without regard to case."""

    def __init__(self, pairs: Iterable[tuple[str, str]]) -> None:
        self._values: dict[str, tuple[str, str]] = {}
        for name, value in pairs:
            key = name.casefold()
            if key in self._values:
                raise BadRequest(f"parameter {name} is given more than once")
            if len(value) > MAX_VALUE_CHARS:
                raise BadRequest(f"the value of parameter {name} is too long")
            self._values[key] = (name, value)

    @classmethod
    def parse(cls, text: str) -> Params:
        """Parameters from a query string or a form body."""
        try:
            pairs = parse_qsl(text, keep_blank_values=True, encoding="utf-8", errors="strict",
                              max_num_fields=MAX_FIELDS)
        except (ValueError, UnicodeDecodeError) as exc:
            raise BadRequest(f"malformed parameters: {exc}") from None
        return cls(pairs)

    def raw(self, name: str) -> str | None:
        entry = self._values.get(name.casefold())
        return None if entry is None else entry[1]

    def require(self, name: str) -> str:
        value = self.raw(name)
        if value is None:
            raise BadRequest(f"missing parameter {name}")
        return value

    def int32(self, name: str) -> int:
        return parse_int(name, self.require(name), INT32_MIN, INT32_MAX)

    def float(self, name: str) -> float:
        return parse_float(name, self.require(name))

    def bool(self, name: str) -> bool:
        return parse_bool(name, self.require(name))

    def text(self, name: str) -> str:
        return self.require(name)

    def optional_uint32(self, name: str) -> int:
        value = self.raw(name)
        return 0 if value is None or value == "" else parse_int(name, value, 0, UINT32_MAX)

    def client_transaction_id(self) -> int:
        return self.optional_uint32("ClientTransactionID")

    def client_id(self) -> int:
        return self.optional_uint32("ClientID")


def parse_int(name: str, text: str, low: int, high: int) -> int:
    stripped = text.strip()
    if not _INTEGER.fullmatch(stripped):
        raise BadRequest(f"{name} must be an integer, not {text[:40]!r}")
    value = int(stripped)
    if not low <= value <= high:
        raise BadRequest(f"{name} {stripped[:40]} is outside the range {low} to {high}")
    return value


def parse_float(name: str, text: str) -> float:
    stripped = text.strip()
    if not _DECIMAL.fullmatch(stripped):
        raise BadRequest(f"{name} must be a number, not {text[:40]!r}")
    value = float(stripped)
    if not math.isfinite(value):
        raise BadRequest(f"{name} {stripped[:40]} is not a finite number")
    return value


def parse_bool(name: str, text: str) -> bool:
    folded = text.strip().casefold()
    if folded == "true":
        return True
    if folded == "false":
        return False
    raise BadRequest(f"{name} must be true or false, not {text[:40]!r}")


class TransactionCounter:
    """ServerTransactionID: increases by one per answer, server-wide, from 1 (wrapping at 2**32)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._last = 0

    def next(self) -> int:
        with self._lock:
            self._last = self._last % UINT32_MAX + 1
            return self._last
