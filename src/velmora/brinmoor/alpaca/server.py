"""The whole server: camera devices, the HTTP application on uvicorn, and discovery.

`AlpacaServer.run()` serves until interrupted (the command line); `start()` and `stop()` run it
in a background thread (tests, benchmarks, programs that embed it).
"""

from __future__ import annotations

import ipaddress
import logging
import socket
import threading
import time
from collections.abc import Sequence

import uvicorn

from .app import AlpacaApp
from .backend import AsiBackend, connected_facts
from .camera import AlpacaCamera
from .discovery import DISCOVERY_PORT, DiscoveryResponder

log = logging.getLogger("velmora.brinmoor.alpaca")

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 11111


def camera_devices() -> list[AlpacaCamera]:
    """One device per camera connected now, numbered by the SDK's camera index."""
    return [AlpacaCamera(facts.index, AsiBackend(facts)) for facts in connected_facts()]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class AlpacaServer:
    """Serves `devices` over HTTP on host:port (0 picks a free port) and answers discovery."""

    def __init__(self, devices: Sequence[AlpacaCamera] | None = None, *, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT, discovery_port: int | None = DISCOVERY_PORT,
                 location: str = "", log_level: str = "warning", access_log: bool = False) -> None:
        self.devices = list(camera_devices() if devices is None else devices)
        self.app = AlpacaApp(self.devices, location=location)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._socket = socket.socket(family, socket.SOCK_STREAM)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self._socket.bind((host, port))
        except OSError:
            self._socket.close()
            raise
        self.host = host
        self.port: int = self._socket.getsockname()[1]
        self.discovery: DiscoveryResponder | None = None
        if discovery_port is not None:
            try:
                self.discovery = DiscoveryResponder(self.port, port=discovery_port,
                                                    loopback_only=is_loopback(host))
            except OSError as exc:
                # Clients that know the address still reach the server; only discovery is lost.
                log.warning("discovery is off: UDP port %d: %s", discovery_port, exc)
        config = uvicorn.Config(self.app, log_level=log_level, access_log=access_log, http="h11",
                                lifespan="off", timeout_keep_alive=30)
        self._server = uvicorn.Server(config)
        self._thread: threading.Thread | None = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    def run(self) -> None:
        """Serve until interrupted (Ctrl-C or SIGTERM), then close every camera."""
        if self.discovery is not None:
            self.discovery.start()
        try:
            self._server.run(sockets=[self._socket])
        finally:
            self._shutdown()

    def start(self) -> AlpacaServer:
        """Serve in a background thread; returns once the server accepts connections."""
        if self.discovery is not None:
            self.discovery.start()
        self._thread = threading.Thread(target=self._server.run, kwargs={"sockets": [self._socket]},
                                        name="alpaca-http", daemon=True)
        self._thread.start()
        deadline = time.monotonic() + 10.0
        while not self._server.started:
            if not self._thread.is_alive() or time.monotonic() > deadline:
                raise RuntimeError("the Alpaca server did not start")
            time.sleep(0.01)
        return self

    def stop(self) -> None:
        self._server.should_exit = True
        if self._thread is not None:
            self._thread.join(timeout=10.0)
        self._shutdown()

    def _shutdown(self) -> None:
        if self.discovery is not None:
            self.discovery.close()
        for device in self.devices:
            try:
                device.disconnect()
            except Exception as exc:
                log.warning("closing camera %d: %s", device.number, exc)
        self._socket.close()

    def __enter__(self) -> AlpacaServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
