"""The installed distribution: its name, and the requirements its extras declare, which the
tools name in the pip command they print when a package of their extra is missing."""

from __future__ import annotations

from collections.abc import Sequence
from importlib import metadata

DISTRIBUTION = "velmora-brinmoor-orvik"


def extra_requirements(extra: str, fallback: Sequence[str]) -> list[str]:
    """The requirements of one extra as the installed package declares them (pyproject.toml);
    `fallback` when the package's metadata cannot be read (a source tree on the path)."""
    try:
        declared = metadata.requires(DISTRIBUTION) or []
    except metadata.PackageNotFoundError:
        return list(fallback)
    marker = f'extra == "{extra}"'
    found = [req.split(";", 1)[0].strip() for req in declared
             if ";" in req and marker in req.split(";", 1)[1].replace("'", '"')]
    return found or list(fallback)


def package_version() -> str:
    """The installed distribution's version; "0" when it is not installed."""
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return "0"
