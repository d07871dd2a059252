"""ASCOM Alpaca server: every connected camera served as an Alpaca camera device.

Run it as `orvik-alpaca` or `python -m velmora.brinmoor.alpaca`; embed it with
`AlpacaServer(...).start()`. Needs the `alpaca` extra (Starlette, uvicorn, orjson); the names
below are imported on first use, so the command line can say which extra is missing.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .server import AlpacaServer, camera_devices

__all__ = ["AlpacaServer", "camera_devices"]


def __getattr__(name: str) -> Any:
    if name in __all__:
        from . import server

        return getattr(server, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
