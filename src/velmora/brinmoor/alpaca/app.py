"""The ASGI application: routing, request parsing and the shape of every answer.

Routes:
    /management/apiversions, /management/v1/description, /management/v1/configureddevices
    /api/v1/camera/{device_number}/{member}     GET reads, PUT writes and methods
    /setup, /setup/v1/camera/{device_number}/setup

Members that call the camera block, so they run in worker threads; the event loop only parses
requests and writes answers (and answers members that need no camera itself). Images are
written in pieces with the connection's flow control, so a slow client holds no more than a
piece in the server's buffers and a client that goes away mid-download only ends its own answer.

Every request's `Host` is checked first (`HostCheck`): a server on loopback answers only
requests addressed to this computer, which shuts out web pages whose name has been rebound to
127.0.0.1. No answer ever redirects to a host the client named (no trailing-slash redirects).
"""

from __future__ import annotations

import asyncio
import ipaddress
import logging
import re
import socket
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass

import orjson
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import ClientDisconnect, Request
from starlette.responses import HTMLResponse, PlainTextResponse, RedirectResponse, Response
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from . import management, setup_pages
from .camera import AlpacaCamera
from .connections import MAX_HEAD_BYTES
from .errors import AlpacaError, BadRequest, BodyTooLarge, ErrorNumber
from .imagedata import IMAGEBYTES_MEDIA_TYPE, ImageData, accepts_imagebytes
from .members import LOCAL, MEMBERS, STATE, Access, parse_arguments
from .protocol import MAX_BODY_BYTES, Params, TransactionCounter

log = logging.getLogger("velmora.brinmoor.alpaca")

# Images go out in pieces of this size: what one slow client holds in the server's buffers
# (asyncio's write buffer limit): about 0.2 MB a slow reader with its connection, 2 MB with
# pieces of 1 MiB.
IMAGE_CHUNK_BYTES = 64 * 1024
# A request body that has not arrived whole in this time is refused (408).
BODY_TIMEOUT_S = 30.0
_DEVICE_NUMBER = re.compile(r"[0-9]{1,6}")
LOOPBACK_NAMES = ("localhost",)
MAX_REMEMBERED_HOSTS = 64


def _head_size(scope: Scope) -> int:
    """The size of the request line and headers as they came (give or take the separators).

    h11 refuses a head over the limit only while it arrives in pieces; a head that arrives in
    one read is measured here, so the limit holds either way."""
    size = len(scope["method"]) + len(scope["raw_path"]) + len(scope["query_string"]) + 12
    for name, value in scope["headers"]:
        size += len(name) + len(value) + 4
    return size


async def _plain(send: Send, status: int, text: str) -> None:
    body = text.encode("ascii")
    await send({"type": "http.response.start", "status": status, "headers": [
        (b"content-type", b"text/plain; charset=utf-8"),
        (b"content-length", str(len(body)).encode("ascii"))]})
    await send({"type": "http.response.body", "body": body, "more_body": False})


class ClientGone(Exception):
    """The client hung up before its request was read whole."""


def _host_name(header: str) -> str:
    """The host part of a Host header, lower case, without port, brackets or a final dot."""
    host = header.strip().lower()
    if host.startswith("["):
        return host[1:].partition("]")[0]
    if host.count(":") == 1:
        host = host.partition(":")[0]
    return host.rstrip(".")


def _is_loopback_name(host: str) -> bool:
    if host in LOOPBACK_NAMES or host.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


@dataclass(frozen=True)
class HostCheck:
    """Which `Host` headers the server answers: `allowed` names and addresses (lower case),
    loopback names and addresses too when `loopback` is set; None and not `loopback`: any."""

    allowed: frozenset[str] | None
    loopback: bool

    @classmethod
    def for_listening(cls, listen_host: str, allowed_hosts: Iterable[str] | None) -> HostCheck:
        names = None if allowed_hosts is None else frozenset(
            _host_name(h) for h in allowed_hosts if h.strip())
        if names is not None and "*" in names:
            return cls(None, False)
        try:
            on_loopback = listen_host == "localhost" or ipaddress.ip_address(listen_host).is_loopback
        except ValueError:
            on_loopback = False
        if on_loopback:
            # This computer's own name reaches the loopback address too (127.0.1.1 on Debian).
            return cls((names or frozenset()) | {socket.gethostname().lower()}, True)
        return cls(names, False)

    @property
    def any_host(self) -> bool:
        return self.allowed is None and not self.loopback

    def permits(self, header: str | None) -> bool:
        if self.any_host or header is None:
            # Browsers always send Host; a request without one is no rebound web page.
            return True
        host = _host_name(header)
        if self.loopback and _is_loopback_name(host):
            return True
        return self.allowed is not None and host in self.allowed


class ImageResponse(Response):
    """An image answer: a head, the pixels (or their JSON text) in pieces, a tail.

    The pieces are cut from one shared encoding of the image, so each request costs a piece
    at a time, however slowly its client reads."""

    def __init__(self, head: bytes, payload: memoryview, tail: bytes, media_type: str) -> None:
        self.status_code = 200
        self.background = None
        self.media_type = media_type
        self._head = head
        self._payload = payload
        self._tail = tail
        self.body = b""
        self.init_headers()
        self.headers["content-length"] = str(len(head) + len(payload) + len(tail))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        gone = asyncio.Event()

        async def watch() -> None:
            while (await receive())["type"] != "http.disconnect":
                pass
            gone.set()

        watcher = asyncio.create_task(watch())
        try:
            await send({"type": "http.response.start", "status": 200, "headers": self.raw_headers})
            await send({"type": "http.response.body", "body": self._head, "more_body": True})
            payload = self._payload
            for start in range(0, len(payload), IMAGE_CHUNK_BYTES):
                # A send into a fast socket does not wait, so the loop is given a turn to see
                # a client that has gone; the rest of the image is then not cut up for no one.
                await asyncio.sleep(0)
                if gone.is_set():
                    return
                chunk = bytes(payload[start:start + IMAGE_CHUNK_BYTES])
                await send({"type": "http.response.body", "body": chunk, "more_body": True})
            await send({"type": "http.response.body", "body": self._tail, "more_body": False})
        finally:
            watcher.cancel()


def json_response(body: dict[str, object]) -> Response:
    return Response(orjson.dumps(body, option=orjson.OPT_SERIALIZE_NUMPY),
                    media_type="application/json")


def plain_error(exc: BadRequest) -> Response:
    return PlainTextResponse(str(exc), status_code=exc.status_code)


async def _read_body(request: Request) -> bytes:
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > MAX_BODY_BYTES):
        raise BodyTooLarge(f"the request body is larger than {MAX_BODY_BYTES} bytes")
    chunks: list[bytes] = []
    size = 0
    try:
        async with asyncio.timeout(BODY_TIMEOUT_S):
            async for chunk in request.stream():
                size += len(chunk)
                if size > MAX_BODY_BYTES:
                    raise BodyTooLarge(f"the request body is larger than {MAX_BODY_BYTES} bytes")
                chunks.append(chunk)
    except TimeoutError:
        raise BadRequest(f"the request body did not arrive within {BODY_TIMEOUT_S:g} s",
                         status_code=408) from None
    except ClientDisconnect:
        raise ClientGone() from None
    return b"".join(chunks)


async def read_params(request: Request) -> Params:
    """GET parameters from the query string, PUT parameters from the form body."""
    if request.method == "GET":
        try:
            query = request.scope.get("query_string", b"").decode("ascii")
        except UnicodeDecodeError:
            raise BadRequest("the query string is not ASCII") from None
        return Params.parse(query)
    body = await _read_body(request)
    if not body:
        return Params(())
    content_type = request.headers.get("content-type", "").split(";")[0].strip().lower()
    if content_type != "application/x-www-form-urlencoded":
        raise BadRequest("PUT parameters must be sent as application/x-www-form-urlencoded")
    try:
        text = body.decode("ascii")
    except UnicodeDecodeError:
        raise BadRequest("the form body is not ASCII (values must be percent-encoded)") from None
    return Params.parse(text)


def _gone(request: Request) -> Response:
    """The answer to a client that hung up mid-request: written to no one (the connection
    logs the hang-up)."""
    return Response(status_code=400)


class AlpacaApp:
    """The Alpaca server's HTTP side for a fixed list of camera devices."""

    def __init__(self, devices: Sequence[AlpacaCamera], *, location: str = "",
                 host_check: HostCheck | None = None) -> None:
        self.devices = list(devices)
        self.location = location
        self.host_check = host_check or HostCheck(None, False)
        self.transactions = TransactionCounter()
        self._host_verdicts: dict[bytes | None, bool] = {}
        self.app = Starlette(routes=[
            Route("/management/apiversions", self._api_versions, methods=["GET"]),
            Route("/management/v1/description", self._description, methods=["GET"]),
            Route("/management/v1/configureddevices", self._configured_devices, methods=["GET"]),
            Route("/api/v1/{device_type}/{device_number}/{member}", self._device_api,
                  methods=["GET", "PUT"]),
            Route("/setup", self._setup, methods=["GET"]),
            Route("/setup/v1/{device_type}/{device_number}/setup", self._device_setup,
                  methods=["GET"]),
            Route("/", lambda request: RedirectResponse("/setup"), methods=["GET"]),
        ])
        # Starlette answers a path with a trailing slash too many by redirecting to an absolute
        # URL built from the client's Host header; a path is either served or not found.
        self.app.router.redirect_slashes = False

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        if _head_size(scope) > MAX_HEAD_BYTES:
            await _plain(send, 431, f"431 Request Header Fields Too Large: the request line and "
                                    f"headers are over {MAX_HEAD_BYTES} bytes")
            return
        if not self.host_check.any_host:
            host = next((v for k, v in scope["headers"] if k == b"host"), None)
            if not self._host_permitted(host):
                await self._misdirected(scope, "" if host is None else host.decode("latin-1"), send)
                return
        # The device API, which clients poll many times a second, is routed here directly;
        # everything else goes through Starlette's router.
        parts = scope["path"].split("/")
        if len(parts) == 6 and parts[1] == "api" and parts[2] == "v1" and \
                scope["method"] in ("GET", "PUT"):
            request = Request(scope, receive)
            request.scope["path_params"] = {"device_type": parts[3], "device_number": parts[4],
                                            "member": parts[5]}
            response = await self._device_api(request)
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def _host_permitted(self, header: bytes | None) -> bool:
        """The Host check, remembered for the few names a server's clients use."""
        cached = self._host_verdicts.get(header)
        if cached is None:
            cached = self.host_check.permits(None if header is None else header.decode("latin-1"))
            if len(self._host_verdicts) < MAX_REMEMBERED_HOSTS:
                self._host_verdicts[header] = cached
        return cached

    async def _misdirected(self, scope: Scope, host: str, send: Send) -> None:
        client = scope.get("client")
        log.warning("refused a request for Host %r from %s: not a name this server answers",
                    host[:80], f"{client[0]}:{client[1]}" if client else "a client")
        if self.host_check.loopback:
            text = ("421 Misdirected Request: this server answers requests addressed to this "
                    "computer only (localhost or a loopback address); start it with "
                    "--allowed-hosts to accept other names")
        else:
            text = ("421 Misdirected Request: this server does not answer for that host name "
                    "(see --allowed-hosts)")
        await _plain(send, 421, text)

    # -- answers ---------------------------------------------------------------------------

    def _answer(self, client_tid: int, value: object = None, *, has_value: bool = True,
                error: AlpacaError | None = None) -> Response:
        body: dict[str, object] = {}
        if has_value and error is None:
            body["Value"] = value
        body["ClientTransactionID"] = client_tid
        body["ServerTransactionID"] = self.transactions.next()
        body["ErrorNumber"] = 0 if error is None else int(error.number)
        body["ErrorMessage"] = "" if error is None else error.message
        return json_response(body)

    def _device(self, device_type: str, device_number: str) -> AlpacaCamera:
        if device_type != "camera":
            raise BadRequest(f"this server has no {device_type[:40]!r} devices (only camera)")
        if not _DEVICE_NUMBER.fullmatch(device_number) or int(device_number) >= len(self.devices):
            raise BadRequest(f"there is no camera {device_number[:40]!r} "
                             f"(devices 0 to {len(self.devices) - 1})" if self.devices
                             else "this server has no cameras")
        return self.devices[int(device_number)]

    # -- management ------------------------------------------------------------------------

    async def _management(self, request: Request, value: Callable[[], object]) -> Response:
        try:
            params = await read_params(request)
            client_tid = params.client_transaction_id()
            params.client_id()
        except BadRequest as exc:
            return plain_error(exc)
        return self._answer(client_tid, value())

    async def _api_versions(self, request: Request) -> Response:
        return await self._management(request, lambda: management.API_VERSIONS)

    async def _description(self, request: Request) -> Response:
        return await self._management(request, lambda: management.description(self.location))

    async def _configured_devices(self, request: Request) -> Response:
        return await self._management(request, lambda: management.configured_devices(self.devices))

    # -- device API ------------------------------------------------------------------------

    async def _device_api(self, request: Request) -> Response:
        if request.method not in ("GET", "PUT"):  # Starlette adds HEAD to GET routes
            return PlainTextResponse("Method Not Allowed", status_code=405)
        path = request.path_params
        name = str(path["member"])
        try:
            params = await read_params(request)
            client_tid = params.client_transaction_id()
            params.client_id()
            device = self._device(str(path["device_type"]), str(path["device_number"]))
            member = MEMBERS.get(name)
            if member is None:
                raise BadRequest(f"camera has no member {name[:60]!r} (member names are lower case)")
            if request.method == "GET":
                if member.get is None:
                    raise BadRequest(f"{name} is a method or write-only: use PUT")
                if member.recent is not None and (recent := member.recent(device)) is not None:
                    return self._answer(client_tid, recent)
                getter = member.get
                call: Callable[[], object] = lambda: getter(device)
            else:
                writer = member.put
                if writer is None:
                    raise BadRequest(f"{name} is read-only: use GET")
                arguments = parse_arguments(writer, params)
                call = lambda: writer.call(device, *arguments)
        except BadRequest as exc:
            return plain_error(exc)
        except ClientGone:
            return _gone(request)

        try:
            what = f"{'reading' if request.method == 'GET' else 'PUT'} {name}"
            value = await self._run(device, call, member.access, member.needs_connection, what)
        except AlpacaError as exc:
            return self._answer(client_tid, error=exc)
        except Exception as exc:  # a fault of ours must not end the server or the connection
            log.exception("camera %d: %s failed", device.number, name)
            return self._answer(client_tid, error=AlpacaError(
                ErrorNumber.UNSPECIFIED, f"{name} failed: {type(exc).__name__}: {exc}"))

        if isinstance(value, ImageData):
            return await self._image_response(request, value, client_tid)
        return self._answer(client_tid, value, has_value=request.method == "GET"
                            or name in ("action", "commandbool", "commandstring"))

    @staticmethod
    async def _run(device: AlpacaCamera, call: Callable[[], object], access: Access,
                   needs_connection: bool, what: str) -> object:
        """One member call where its table row says: on the event loop when it cannot block,
        else in a worker thread (the camera may take its time)."""
        if access == LOCAL:
            return call()
        if access == STATE:
            done, value = device.try_now(call, needs_connection=needs_connection, what=what)
            if done:
                return value
        return await run_in_threadpool(device.invoke, call, needs_connection=needs_connection,
                                       what=what)

    async def _image_response(self, request: Request, image: ImageData, client_tid: int) -> Response:
        server_tid = self.transactions.next()
        if accepts_imagebytes(request.headers.get("accept", "")):
            payload = await run_in_threadpool(image.imagebytes_payload)
            return ImageResponse(image.imagebytes_header(client_tid, server_tid), payload, b"",
                                 IMAGEBYTES_MEDIA_TYPE)
        value = await run_in_threadpool(image.json_value)
        head, tail = image.json_head_and_tail(client_tid, server_tid)
        return ImageResponse(head, value, tail, "application/json")

    # -- setup pages -----------------------------------------------------------------------

    async def _setup(self, request: Request) -> Response:
        return HTMLResponse(setup_pages.server_page(management.SERVER_NAME, self.devices))

    async def _device_setup(self, request: Request) -> Response:
        try:
            device = self._device(str(request.path_params["device_type"]),
                                  str(request.path_params["device_number"]))
        except BadRequest as exc:
            # The Alpaca API answers a setup page of a device it does not have with 403.
            return PlainTextResponse(str(exc), status_code=403)
        return HTMLResponse(setup_pages.device_page(device))
