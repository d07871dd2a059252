"""ImageArray on the wire: the JSON form and the binary ImageBytes form of the Alpaca API.

Alpaca images are indexed [x, y] (and [x, y, plane] for colour), the first index varying
slowest: on the wire the pixels go column by column, each column top to bottom. A camera frame in
numpy is (height, width) in row order, so both encodings send its transpose. The transposed copy,
and the JSON text of the pixels, are each made once per image (on the first request that needs
them) and shared by every request for it: a request then only costs the piece it is sending.

ImageBytes (`Accept: application/imagebytes`) is a 44-byte little-endian header of eleven 32-bit
integers (metadata version 1, error number, client and server transaction IDs, data start,
image element type, transmission element type, rank, three dimensions) followed by the pixels.
The image element type is Int32 as for the JSON form; pixels travel in the smallest type that
holds them (Byte or UInt16). Errors are answered in JSON, which every client reads.
"""

from __future__ import annotations

import struct
import threading
from typing import Final, cast

import numpy as np
import numpy.typing as npt
import orjson

IMAGEBYTES_MEDIA_TYPE: Final = "application/imagebytes"
METADATA_VERSION: Final = 1
HEADER = struct.Struct("<iiIIiiiiiii")
DATA_START: Final = HEADER.size  # 44

# ImageArrayElementTypes
ELEMENT_INT32: Final = 2
ELEMENT_BYTE: Final = 6
ELEMENT_UINT16: Final = 8

TRANSMISSION_TYPES: dict[str, int] = {"uint8": ELEMENT_BYTE, "uint16": ELEMENT_UINT16}

Frame = npt.NDArray[np.uint8] | npt.NDArray[np.uint16]


class ImageData:
    """One finished image, ready to be encoded for any number of requests."""

    def __init__(self, frame: Frame) -> None:
        if frame.ndim not in (2, 3) or frame.dtype.name not in TRANSMISSION_TYPES:
            raise ValueError(f"cannot serve a {frame.dtype} array of shape {frame.shape}")
        self.frame = frame
        self.rank = frame.ndim
        self.transmission_type = TRANSMISSION_TYPES[frame.dtype.name]
        self._lock = threading.Lock()
        self._columns: Frame | None = None
        self._json_lock = threading.Lock()
        self._json_value: bytes | None = None

    @property
    def dimensions(self) -> tuple[int, int, int]:
        """Alpaca's (Dimension1, Dimension2, Dimension3): width, height, planes (0 for 2-D)."""
        shape = self.frame.shape
        return (shape[1], shape[0], shape[2] if self.rank == 3 else 0)

    def columns(self) -> Frame:
        """The pixels as a C-contiguous [x, y(, plane)] array (made on first use)."""
        with self._lock:
            columns = self._columns
            if columns is None:
                axes = (1, 0, 2) if self.rank == 3 else (1, 0)
                columns = self._columns = cast(Frame, np.ascontiguousarray(self.frame.transpose(axes)))
            return columns

    def imagebytes_header(self, client_tid: int, server_tid: int) -> bytes:
        d1, d2, d3 = self.dimensions
        return HEADER.pack(METADATA_VERSION, 0, client_tid, server_tid, DATA_START, ELEMENT_INT32,
                           self.transmission_type, self.rank, d1, d2, d3)

    def imagebytes_payload(self) -> memoryview:
        return memoryview(self.columns()).cast("B")

    def json_value(self) -> memoryview:
        """The JSON text of the nested [x][y] lists of the pixels (made on first use)."""
        with self._json_lock:  # one encoding, however many requests ask at once
            if self._json_value is None:
                self._json_value = orjson.dumps(self.columns(), option=orjson.OPT_SERIALIZE_NUMPY)
            return memoryview(self._json_value)

    def json_head_and_tail(self, client_tid: int, server_tid: int) -> tuple[bytes, bytes]:
        """What goes before and after `json_value()` in the JSON answer."""
        tail = orjson.dumps({
            "ClientTransactionID": client_tid,
            "ServerTransactionID": server_tid,
            "ErrorNumber": 0,
            "ErrorMessage": "",
        })
        head = b'{"Type":%d,"Rank":%d,"Value":' % (ELEMENT_INT32, self.rank)
        return head, b"," + tail[1:]

    def json_body(self, client_tid: int, server_tid: int) -> bytes:
        """The whole JSON answer: Type, Rank and the nested [x][y] lists of the pixels."""
        head, tail = self.json_head_and_tail(client_tid, server_tid)
        return b"".join((head, self.json_value(), tail))


def accepts_imagebytes(accept_header: str) -> bool:
    """Whether the client's Accept header lists application/imagebytes (with q above 0)."""
    for item in accept_header.split(","):
        media, _, params = item.strip().partition(";")
        if media.strip().lower() != IMAGEBYTES_MEDIA_TYPE:
            continue
        for param in params.split(";"):
            key, _, value = param.strip().partition("=")
            if key.strip().lower() == "q":
                try:
                    return float(value) > 0
                except ValueError:
                    return False
        return True
    return False
