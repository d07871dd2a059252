"""The tool's one table printer: columns as wide as their widest cell, two spaces apart."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TextIO


def print_table(rows: Sequence[Sequence[str]], out: TextIO, indent: str = "") -> None:
    """Print rows (the first one the heading) left-aligned in columns, without trailing
    spaces."""
    if not rows:
        return
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        print(indent + "  ".join(c.ljust(w) for c, w in zip(row, widths)).rstrip(), file=out)
