"""Optional dependencies (the package's `tool` extra), imported on first use.

`list`, `info` and `video` without saving need none of them; writing files needs Astropy
(FITS) and Pillow (PNG). A missing one becomes a `MissingDependency` with the command that
installs it. (NumPy is a dependency of the package itself.)
"""

from __future__ import annotations

import importlib
from types import ModuleType

INSTALL_HINT = "pip install 'velmora-brinmoor-orvik[tool]'"


class MissingDependency(ImportError):
    """An optional package that the requested command needs is not installed."""


def _load(module: str, package: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingDependency(
            f"{package} is needed {purpose} but could not be imported ({exc}); "
            f"install the capture tool's extras with: {INSTALL_HINT}"
        ) from exc


def astropy_fits() -> ModuleType:
    return _load("astropy.io.fits", "Astropy", "to write FITS files")


def pil_image() -> ModuleType:
    return _load("PIL.Image", "Pillow", "to write PNG previews")


def require(*, fits: bool = False, png: bool = False) -> None:
    """Fail early, before a camera is touched, when a needed package is missing."""
    if fits:
        astropy_fits()
    if png:
        pil_image()
