"""ASCOM Alpaca server: every connected camera served as an Alpaca camera device.

Run it as `orvik-alpaca` or `python -m velmora.brinmoor.alpaca`; embed it with
`AlpacaServer(...).start()`. Needs the `alpaca` extra (Starlette, uvicorn, orjson).
"""

from .server import AlpacaServer, camera_devices

__all__ = ["AlpacaServer", "camera_devices"]
