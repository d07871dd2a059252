"""ZWO ASI cameras from Python: the `orvik` extension module, the simulated-camera SDK's
control wrapper (`asisim`) and the capture tool (`capture`)."""

from ._version import __version__

__all__ = ["__version__"]
