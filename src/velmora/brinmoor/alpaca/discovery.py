"""Alpaca discovery: answers `alpacadiscovery1` datagrams on UDP (port 32227) with the HTTP port.

Clients broadcast the query on their local networks and connect to the address the answer comes
from. While the HTTP server listens only on the loopback interface, queries from other machines
get no answer, so a server that is not reachable is not advertised either.
"""

from __future__ import annotations

import ipaddress
import logging
import socket
import threading

import orjson

DISCOVERY_PORT = 32227
QUERY_PREFIX = b"alpacadiscovery"
MAX_DATAGRAM = 1024

log = logging.getLogger("velmora.brinmoor.alpaca")


def is_query(data: bytes) -> bool:
    """`alpacadiscovery` followed by a protocol version digit of 1 or more."""
    if not data.startswith(QUERY_PREFIX) or len(data) <= len(QUERY_PREFIX):
        return False
    version = data[len(QUERY_PREFIX):len(QUERY_PREFIX) + 1]
    return version.isdigit() and version != b"0"


class DiscoveryResponder:
    """A thread that answers discovery queries until `close()`."""

    def __init__(self, http_port: int, *, port: int = DISCOVERY_PORT, loopback_only: bool = True,
                 bind_host: str = "0.0.0.0") -> None:
        self.http_port = http_port
        self.loopback_only = loopback_only
        self._answer = orjson.dumps({"AlpacaPort": http_port})
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Several Alpaca servers on one machine may all listen for the broadcast.
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind((bind_host, port))
        self._sock.settimeout(0.2)
        self.port: int = self._sock.getsockname()[1]
        self._closed = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="alpaca-discovery", daemon=True)

    def start(self) -> DiscoveryResponder:
        self._thread.start()
        return self

    def _serve(self) -> None:
        while not self._closed.is_set():
            try:
                data, peer = self._sock.recvfrom(MAX_DATAGRAM)
            except TimeoutError:
                continue
            except OSError:
                if self._closed.is_set():
                    return
                continue
            answer = self.answer(data, peer[0])
            if answer is None:
                continue
            try:
                self._sock.sendto(answer, peer)
            except OSError as exc:
                log.debug("discovery answer to %s failed: %s", peer, exc)

    def answer(self, data: bytes, peer_host: str) -> bytes | None:
        """The reply to a datagram from `peer_host`, or None when it gets none."""
        if not is_query(data):
            return None
        if self.loopback_only and not ipaddress.ip_address(peer_host).is_loopback:
            return None
        return self._answer

    def close(self) -> None:
        self._closed.set()
        try:
            self._sock.sendto(b"", ("127.0.0.1", self.port))  # wakes the waiting recvfrom
        except OSError:
            pass
        if self._thread.is_alive():
            self._thread.join(timeout=2.0)
        self._sock.close()
