"""Optional dependencies (the package's `tool` extra), imported on first use.

`list` and `info` need none of them; capturing needs NumPy, and writing files Astropy (FITS) and
Pillow (PNG). A missing one becomes a `MissingDependency` with the command that installs it.
"""

from __future__ import annotations

import importlib
import shlex
import sys
from types import ModuleType

from velmora.brinmoor._distribution import extra_requirements as requirements

EXTRA = "tool"
# The extra's requirements when the package's metadata cannot be read (a source tree on the path).
FALLBACK_REQUIREMENTS = ("numpy>=1.26", "astropy>=6", "pillow>=10")


class MissingDependency(ImportError):
    """An optional package that the requested command needs is not installed."""


def extra_requirements() -> list[str]:
    """The `tool` extra's requirements as the installed package declares them."""
    return requirements(EXTRA, FALLBACK_REQUIREMENTS)


def install_command() -> str:
    """A command that installs the extras into the Python running this tool.

    The packages are named one by one rather than as `velmora-brinmoor-orvik[tool]`: that form
    needs the package on an index, which a build from a clone is not, and a bare `pip` may
    belong to another Python than the one running the tool.
    """
    words = [sys.executable or "python3", "-m", "pip", "install", *extra_requirements()]
    return shlex.join(words)


def _load(module: str, package: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingDependency(
            f"{package} is needed {purpose} but could not be imported ({exc}); "
            f"install the capture tool's extras with: {install_command()}"
        ) from exc


def numpy() -> ModuleType:
    return _load("numpy", "NumPy", "to handle image data")


def astropy_fits() -> ModuleType:
    return _load("astropy.io.fits", "Astropy", "to write FITS files")


def pil_image() -> ModuleType:
    return _load("PIL.Image", "Pillow", "to write PNG previews")


def require(*, fits: bool = False, png: bool = False) -> None:
    """Fail early, before a camera is touched, when a needed package is missing."""
    numpy()
    if fits:
        astropy_fits()
    if png:
        pil_image()
