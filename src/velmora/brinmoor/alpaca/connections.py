"""The HTTP connections of the server: fast small answers, and bounded in number and idle time.

uvicorn's h11 protocol serves each connection; `protocol_class()` makes a subclass of it that
- turns Nagle's algorithm off on every accepted connection, so a small answer whose header and
  body are written separately leaves at once instead of waiting for the client's delayed
  acknowledgement (about 40 ms per request otherwise);
- closes a connection that has not sent a complete request head within the idle time, whether it
  never sent anything, stopped half-way through its headers, or sits idle between keep-alive
  requests (uvicorn's own keep-alive timer is reset by every byte, so a trickling client would
  hold it for ever);
- cuts off a client that reads an answer too slowly: whenever the answer waits on the client
  (the connection's write buffer is full), the client must take at least `min_send_rate` bytes a
  second of it, counted over each `send_timeout`; one that takes less (a stalled or trickling
  reader) is aborted, which frees its connection and the piece of the answer it held;
- keeps at most `max_connections` open: a new connection beyond the limit closes the oldest
  connection that is not being answered, so idle and half-open connections never keep a new
  client out, nor run the process out of file descriptors. When every open connection is in the
  middle of a request, the new one is answered 503 and closed.
"""

from __future__ import annotations

import asyncio
import logging
import resource
import socket
import struct
import time
from dataclasses import dataclass
from typing import Any, ClassVar

import h11
from uvicorn.protocols.http.h11_impl import H11Protocol

log = logging.getLogger("velmora.brinmoor.alpaca")

DEFAULT_IDLE_TIMEOUT = 30.0
DEFAULT_MAX_CONNECTIONS = 256
DEFAULT_SEND_TIMEOUT = 30.0
# 10 kB/s: a 23 MB frame in under 40 minutes; a client slower than that holds a connection for
# nothing it can use (a reader taking 1 kB every 2 s, 500 B/s, is cut off).
DEFAULT_MIN_SEND_RATE = 10_000
# File descriptors kept free for everything that is not an open client connection: cameras, the
# discovery socket, logs, and connections accepted but not yet counted (a few batches of the
# server's accept batch).
RESERVED_DESCRIPTORS = 192
# The request line and headers together: a larger head is refused with 400 before it is parsed.
MAX_HEAD_BYTES = 8 * 1024
# The limit warning is repeated at most this often while connections keep being closed for it.
LIMIT_WARNING_INTERVAL_S = 60.0

_BUSY_ANSWER = (b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: text/plain; charset=utf-8\r\n"
                b"content-length: 45\r\nconnection: close\r\n\r\n"
                b"too many connections are busy; try again soon")


# SO_LINGER on, with a zero timeout: closing the socket resets the connection at once.
_RESET_ON_CLOSE = struct.pack("ii", 1, 0)


@dataclass(frozen=True)
class ConnectionLimits:
    """How long a connection may wait without a request, how many may be open at once, and how
    slowly a client may read an answer (at least `min_send_rate` bytes a second, counted over
    each `send_timeout` seconds in which the answer waits on it)."""

    idle_timeout: float = DEFAULT_IDLE_TIMEOUT
    max_connections: int = DEFAULT_MAX_CONNECTIONS
    send_timeout: float = DEFAULT_SEND_TIMEOUT
    min_send_rate: float = DEFAULT_MIN_SEND_RATE

    def __post_init__(self) -> None:
        if not self.idle_timeout > 0:
            raise ValueError(f"the idle timeout must be positive, not {self.idle_timeout:g} s")
        if self.max_connections < 1:
            raise ValueError(f"the connection limit must be at least 1, not {self.max_connections}")
        if not self.send_timeout > 0:
            raise ValueError(f"the send timeout must be positive, not {self.send_timeout:g} s")
        if not self.min_send_rate >= 0:
            raise ValueError(f"the minimum send rate cannot be negative ({self.min_send_rate:g})")


def fit_descriptor_limit(max_connections: int) -> int:
    """Room for `max_connections` open connections in the process's open-file limit.

    Raises the soft limit toward the hard one when needed; where that is not enough, returns the
    number of connections that fit (the caller lowers its limit and says so)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    needed = max_connections + RESERVED_DESCRIPTORS
    if soft != resource.RLIM_INFINITY and soft < needed:
        target = needed if hard == resource.RLIM_INFINITY else min(needed, hard)
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
            soft = target
        except (ValueError, OSError):
            pass
    if soft == resource.RLIM_INFINITY:
        return max_connections
    return max(1, min(max_connections, soft - RESERVED_DESCRIPTORS))


class LimitedH11Protocol(H11Protocol):
    """uvicorn's HTTP/1.1 protocol with Nagle off, an idle timeout and a connection limit."""

    limits: ClassVar[ConnectionLimits]
    # Open connections of one server, oldest first (a dict keeps insertion order).
    registry: ClassVar[dict[LimitedH11Protocol, None]]
    last_limit_warning: ClassVar[list[float]]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._idle_timer: asyncio.TimerHandle | None = None
        self._send_timer: asyncio.TimerHandle | None = None
        self._send_waiting = 0  # bytes of the answer buffered when the last count began
        self.dropped = False  # closed by the server (on its way out, or a reader too slow)

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        sock = transport.get_extra_info("socket")
        if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
            try:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                pass  # the connection may already be gone; it then ends by itself
        super().connection_made(transport)
        self.registry[self] = None
        self._arm_idle_timer()
        if len(self.registry) > self.limits.max_connections:
            self._make_room()

    def connection_lost(self, exc: Exception | None) -> None:
        self.registry.pop(self, None)
        self._cancel_idle_timer()
        self._cancel_send_timer()
        if self.busy and not self.dropped:
            # One line for a client that hangs up mid-request or mid-download; the answer
            # under way then ends by itself.
            log.info("%s hung up before the answer to %s %s was complete", _peer(self.client),
                     self.scope["method"], self.scope["path"][:120])
        super().connection_lost(exc)

    def on_response_complete(self) -> None:
        super().on_response_complete()
        if not self.transport.is_closing():
            self._arm_idle_timer()

    @property
    def busy(self) -> bool:
        """Whether a request of this connection is being answered."""
        return self.cycle is not None and not self.cycle.response_complete

    def close_connection(self) -> None:
        self.registry.pop(self, None)
        self._cancel_idle_timer()
        self._cancel_send_timer()
        if self.transport.is_closing():
            return
        try:
            self.conn.send(h11.ConnectionClosed())
        except h11.LocalProtocolError:
            pass  # half-way through a request head: nothing of ours to finish
        self.transport.close()

    # -- idle timeout ---------------------------------------------------------------------------

    def _arm_idle_timer(self) -> None:
        self._cancel_idle_timer()
        self._idle_timer = self.loop.call_later(self.limits.idle_timeout, self._idle_expired)

    def _cancel_idle_timer(self) -> None:
        if self._idle_timer is not None:
            self._idle_timer.cancel()
            self._idle_timer = None

    def _idle_expired(self) -> None:
        self._idle_timer = None
        if self.busy:
            return  # the request is being answered; the timer is armed again once it is
        if log.isEnabledFor(logging.DEBUG):
            log.debug("closing the connection from %s: no request for %g s",
                      _peer(self.client), self.limits.idle_timeout)
        self.close_connection()

    # -- slow readers ---------------------------------------------------------------------------

    def pause_writing(self) -> None:
        """The write buffer is full: the answer now waits on the client, which is timed."""
        super().pause_writing()
        self._start_send_count()

    def resume_writing(self) -> None:
        super().resume_writing()
        self._cancel_send_timer()

    def _start_send_count(self) -> None:
        self._cancel_send_timer()
        self._send_waiting = self.transport.get_write_buffer_size()
        self._send_timer = self.loop.call_later(self.limits.send_timeout, self._send_expired)

    def _cancel_send_timer(self) -> None:
        if self._send_timer is not None:
            self._send_timer.cancel()
            self._send_timer = None

    def _send_expired(self) -> None:
        self._send_timer = None
        if self.transport.is_closing():
            return
        # While the buffer is full nothing is added to it: what left it, the client took.
        taken = self._send_waiting - self.transport.get_write_buffer_size()
        if taken > 0 and taken >= self.limits.min_send_rate * self.limits.send_timeout:
            self._start_send_count()  # slow, but fast enough: count the next interval
            return
        what = (f" of the answer to {self.scope['method']} {self.scope['path'][:120]}"
                if self.busy else "")
        log.info("cutting off %s: it took %d bytes%s in %g s, less than %g bytes a second",
                 _peer(self.client), max(taken, 0), what, self.limits.send_timeout,
                 self.limits.min_send_rate)
        self.dropped = True
        self.registry.pop(self, None)
        self._cancel_idle_timer()
        # Reset, not closed: the system would otherwise go on sending what its socket buffer
        # holds (megabytes) to the stalled client for minutes after the connection is gone.
        sock = self.transport.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, _RESET_ON_CLOSE)
            except OSError:
                pass
        self.transport.abort()

    # -- connection limit -----------------------------------------------------------------------

    def _make_room(self) -> None:
        excess = len(self.registry) - self.limits.max_connections
        closed = 0
        for other in list(self.registry):
            if closed >= excess:
                break
            if other is self or other.busy:
                continue
            other.close_connection()
            closed += 1
        now = time.monotonic()
        if now - self.last_limit_warning[0] > LIMIT_WARNING_INTERVAL_S:
            self.last_limit_warning[0] = now
            log.warning("%d connections are open, the limit: closing the oldest idle ones "
                        "(raise --max-connections if clients need more)",
                        self.limits.max_connections)
        if closed < excess:
            # Every other connection is in the middle of a request: this one waits its turn.
            self.transport.write(_BUSY_ANSWER)
            self.close_connection()


def _peer(client: tuple[str, int] | None) -> str:
    return "%s:%d" % client if client else "a client"


def protocol_class(limits: ConnectionLimits) -> type[LimitedH11Protocol]:
    """A protocol class with its own limits and registry, for one server."""
    return type("AlpacaH11Protocol", (LimitedH11Protocol,), {
        "limits": limits, "registry": {}, "last_limit_warning": [-LIMIT_WARNING_INTERVAL_S * 2]})
