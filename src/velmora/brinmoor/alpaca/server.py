"""The whole server: camera devices, the HTTP application on uvicorn, and discovery.

`AlpacaServer.run()` serves until a stop signal (the command line); `start()` and `stop()` run
it in a background thread (tests, benchmarks, programs that embed it).

Stopping: SIGTERM (what systemd sends), SIGINT (Ctrl-C) and SIGHUP (the terminal closed) all
end the server the same way: it stops accepting connections, gives answers under way
`STOP_GRACE_S` to finish, drops the rest (a slow download does not hold the stop), then closes
every camera, which ends exposures and guide pulses, and `run()` returns normally. uvicorn's
own handling re-raises the signal once it has stopped, which would end the process before the
cameras are closed, so the server installs its own handlers.
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import ipaddress
import logging
import signal
import socket
import threading
import time
from collections.abc import Generator, Sequence
from types import FrameType

import uvicorn

from .app import AlpacaApp, HostCheck
from .camera import AlpacaCamera
from .connections import (
    MAX_HEAD_BYTES,
    ConnectionLimits,
    LimitedH11Protocol,
    fit_descriptor_limit,
    protocol_class,
)
from .discovery import DISCOVERY_PORT, DiscoveryResponder
from .facts import connected_facts

log = logging.getLogger("velmora.brinmoor.alpaca")

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 11111
# How long answers under way may take to finish once a stop is asked for.
STOP_GRACE_S = 1.0
LISTEN_BACKLOG = 2048
# Connections accepted per turn of the event loop.
ACCEPT_BATCH = 32
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)


def camera_devices() -> list[AlpacaCamera]:
    """One device per camera connected now, numbered by the SDK's camera index."""
    return [AlpacaCamera(facts.index, facts) for facts in connected_facts()]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class _Uvicorn(uvicorn.Server):
    """uvicorn's server, with the stop signals left to `AlpacaServer.run()`.

    asyncio accepts up to its `backlog` argument's number of connections in one go before any
    of them is seen by the connection class, which could open more files than the process may
    have before the oldest idle connections are closed; so it gets a small batch, and the
    socket's own queue is made long again once serving has started."""

    @contextlib.contextmanager
    def capture_signals(self) -> Generator[None, None, None]:
        yield

    async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
        """uvicorn's shutdown, with the connections still answering after `STOP_GRACE_S`
        dropped: their answers then end by themselves, where cancelling them would log each
        one's traceback."""
        handle = asyncio.get_running_loop().call_later(STOP_GRACE_S, self._drop_connections)
        try:
            await super().shutdown(sockets)
        finally:
            handle.cancel()

    def _drop_connections(self) -> None:
        connections = list(self.server_state.connections)
        if connections:
            log.info("dropping %d connection(s) still being answered", len(connections))
        for connection in connections:
            if isinstance(connection, LimitedH11Protocol):
                connection.dropped = True
            transport = getattr(connection, "transport", None)
            if transport is not None:
                transport.abort()

    async def startup(self, sockets: list[socket.socket] | None = None) -> None:
        await super().startup(sockets)
        for sock in sockets or []:
            sock.listen(LISTEN_BACKLOG)


class AlpacaServer:
    """Serves `devices` over HTTP on host:port (0 picks a free port) and answers discovery.

    `allowed_hosts`: the names and addresses a request's `Host` header may give; None means any
    on a server that listens on the network, and loopback names only on one that listens on
    loopback (which shuts out DNS-rebinding pages in the local browser)."""

    def __init__(self, devices: Sequence[AlpacaCamera] | None = None, *, host: str = DEFAULT_HOST,
                 port: int = DEFAULT_PORT, discovery_port: int | None = DISCOVERY_PORT,
                 location: str = "", log_level: str = "warning", access_log: bool = False,
                 limits: ConnectionLimits | None = None,
                 allowed_hosts: Sequence[str] | None = None) -> None:
        limits = limits or ConnectionLimits()
        fitting = fit_descriptor_limit(limits.max_connections)
        if fitting < limits.max_connections:
            log.warning("at most %d connections fit the open-file limit (asked for %d)",
                        fitting, limits.max_connections)
            limits = dataclasses.replace(limits, max_connections=fitting)
        self.limits = limits
        self.devices = list(camera_devices() if devices is None else devices)
        self.host_check = HostCheck.for_listening(host, allowed_hosts)
        self.app = AlpacaApp(self.devices, location=location, host_check=self.host_check)
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        # Created as TCP, not protocol 0: asyncio turns Nagle's algorithm off only on sockets
        # that say they are TCP (the connection class sets it too).
        self._socket = socket.socket(family, socket.SOCK_STREAM, socket.IPPROTO_TCP)
        self._socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            self._socket.bind((host, port))
            self._socket.listen(LISTEN_BACKLOG)  # connections queue from here on
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
        config = uvicorn.Config(self.app, log_level=log_level, access_log=access_log,
                                http=protocol_class(limits), lifespan="off",
                                timeout_keep_alive=max(1, round(limits.idle_timeout)),
                                timeout_graceful_shutdown=round(STOP_GRACE_S) + 3,
                                backlog=ACCEPT_BATCH,
                                h11_max_incomplete_event_size=MAX_HEAD_BYTES,
                                server_header=False)
        self._server = _Uvicorn(config)
        self._thread: threading.Thread | None = None
        self._closed = False
        self.stop_signal: str | None = None

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    def run(self) -> None:
        """Serve until SIGTERM, SIGINT or SIGHUP (in the main thread) or `request_stop()`, then
        close every camera."""
        previous: dict[int, object] = {}
        if threading.current_thread() is threading.main_thread():
            previous = {sig: signal.signal(sig, self._on_signal) for sig in STOP_SIGNALS}
        try:
            if self.discovery is not None:
                self.discovery.start()
            self._server.run(sockets=[self._socket])
        finally:
            try:
                self._shutdown()
            finally:
                for sig, handler in previous.items():
                    signal.signal(sig, handler)  # type: ignore[arg-type]

    def _on_signal(self, signum: int, _frame: FrameType | None) -> None:
        name = signal.Signals(signum).name
        if self.stop_signal is None:
            self.stop_signal = name
            log.info("%s received: stopping the server and closing the cameras", name)
        self.request_stop()

    def request_stop(self) -> None:
        """Ask a running server to stop (safe from any thread and from a signal handler)."""
        self._server.should_exit = True

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
        self.request_stop()
        if self._thread is not None:
            self._thread.join(timeout=10.0 + STOP_GRACE_S)
        self._shutdown()

    def _shutdown(self) -> None:
        if self._closed:
            return
        self._closed = True
        if self.discovery is not None:
            self.discovery.close()
        closed = 0
        for device in self.devices:
            try:
                device.disconnect()
                closed += 1
            except Exception as exc:
                log.warning("closing camera %d: %s", device.number, exc)
        self._socket.close()
        log.info("Alpaca server stopped%s: %d of %d cameras closed",
                 f" on {self.stop_signal}" if self.stop_signal else "", closed, len(self.devices))

    def __enter__(self) -> AlpacaServer:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
