"""The ASGI application: routing, request parsing and the shape of every answer.

Routes:
    /management/apiversions, /management/v1/description, /management/v1/configureddevices
    /api/v1/camera/{device_number}/{member}     GET reads, PUT writes and methods
    /setup, /setup/v1/camera/{device_number}/setup

Device members block on the camera, so they run in worker threads; the event loop only parses
requests and writes answers. Images are written in chunks with the connection's flow control,
so a slow client holds no more than a chunk in the server's buffers and a client that goes away
mid-download only ends its own answer.
"""

from __future__ import annotations

import logging
import re
from collections.abc import Callable, Sequence

import orjson
from starlette.applications import Starlette
from starlette.concurrency import run_in_threadpool
from starlette.requests import Request
from starlette.responses import HTMLResponse, PlainTextResponse, RedirectResponse, Response
from starlette.routing import Route
from starlette.types import Receive, Scope, Send

from . import management, setup_pages
from .camera import AlpacaCamera
from .errors import AlpacaError, BadRequest, BodyTooLarge, ErrorNumber
from .imagedata import IMAGEBYTES_MEDIA_TYPE, ImageData, accepts_imagebytes
from .members import MEMBERS, parse_arguments
from .protocol import MAX_BODY_BYTES, Params, TransactionCounter

log = logging.getLogger("velmora.brinmoor.alpaca")

IMAGE_CHUNK_BYTES = 4 * 1024 * 1024
_DEVICE_NUMBER = re.compile(r"[0-9]{1,6}")


class ImageBytesResponse(Response):
    """An ImageBytes answer: the 44-byte header, then the pixels in chunks."""

    media_type = IMAGEBYTES_MEDIA_TYPE

    def __init__(self, header: bytes, payload: memoryview) -> None:
        self.status_code = 200
        self.background = None
        self._header = header
        self._payload = payload
        self.body = b""
        self.init_headers()
        self.headers["content-length"] = str(len(header) + len(payload))

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await send({"type": "http.response.start", "status": 200, "headers": self.raw_headers})
        await send({"type": "http.response.body", "body": self._header, "more_body": True})
        payload = self._payload
        for start in range(0, len(payload), IMAGE_CHUNK_BYTES):
            chunk = bytes(payload[start:start + IMAGE_CHUNK_BYTES])
            await send({"type": "http.response.body", "body": chunk, "more_body": True})
        await send({"type": "http.response.body", "body": b"", "more_body": False})


def json_response(body: dict[str, object]) -> Response:
    return Response(orjson.dumps(body, option=orjson.OPT_SERIALIZE_NUMPY),
                    media_type="application/json")


def plain_error(exc: BadRequest) -> Response:
    return PlainTextResponse(str(exc), status_code=exc.status_code)


async def read_params(request: Request) -> Params:
    """GET parameters from the query string, PUT parameters from the form body."""
    if request.method == "GET":
        try:
            query = request.scope.get("query_string", b"").decode("ascii")
        except UnicodeDecodeError:
            raise BadRequest("the query string is not ASCII") from None
        return Params.parse(query)
    declared = request.headers.get("content-length")
    if declared is not None and (not declared.isdigit() or int(declared) > MAX_BODY_BYTES):
        raise BodyTooLarge(f"the request body is larger than {MAX_BODY_BYTES} bytes")
    chunks: list[bytes] = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > MAX_BODY_BYTES:
            raise BodyTooLarge(f"the request body is larger than {MAX_BODY_BYTES} bytes")
        chunks.append(chunk)
    body = b"".join(chunks)
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


class AlpacaApp:
    """The Alpaca server's HTTP side for a fixed list of camera devices."""

    def __init__(self, devices: Sequence[AlpacaCamera], *, location: str = "") -> None:
        self.devices = list(devices)
        self.location = location
        self.transactions = TransactionCounter()
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

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self.app(scope, receive, send)

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

        try:
            value = await run_in_threadpool(call)
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

    async def _image_response(self, request: Request, image: ImageData, client_tid: int) -> Response:
        server_tid = self.transactions.next()
        if accepts_imagebytes(request.headers.get("accept", "")):
            payload = await run_in_threadpool(image.imagebytes_payload)
            return ImageBytesResponse(image.imagebytes_header(client_tid, server_tid), payload)
        body = await run_in_threadpool(image.json_body, client_tid, server_tid)
        return Response(body, media_type="application/json")

    # -- setup pages -----------------------------------------------------------------------

    async def _setup(self, request: Request) -> Response:
        return HTMLResponse(setup_pages.server_page(management.SERVER_NAME, self.devices))

    async def _device_setup(self, request: Request) -> Response:
        try:
            device = self._device(str(request.path_params["device_type"]),
                                  str(request.path_params["device_number"]))
        except BadRequest as exc:
            return plain_error(exc)
        return HTMLResponse(setup_pages.device_page(device))

