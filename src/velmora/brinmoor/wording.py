"""Words in messages that follow a count: every program of the package says "1 frame" and
"2 frames" through this one function, so no message reads "1 frames"."""

from __future__ import annotations

__all__ = ["plural"]


def plural(count: int, noun: str, many: str | None = None) -> str:
    """`1 frame`, `0 frames`, `2 frames`; `many` for a noun whose plural is not noun + s
    (`plural(n, "entry", "entries")`)."""
    return f"{count} {noun if count == 1 else many or noun + 's'}"
