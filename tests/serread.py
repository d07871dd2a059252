"""A SER reader written from the format's published description (version 3), independent of the
capture tool's writer: every field is read at its documented offset.

    offset  size  field
    0       14    FileID "LUCAM-RECORDER"
    14      4     LuID
    18      4     ColorID (0 mono, 8..11 Bayer RGGB, GRBG, GBRG, BGGR, 100 RGB, 101 BGR)
    22      4     LittleEndian (in practice 0 = little-endian samples, see below)
    26      4     ImageWidth
    30      4     ImageHeight
    34      4     PixelDepthPerPlane (1..8: one byte per sample, 9..16: two)
    38      4     FrameCount
    42      40    Observer
    82      40    Instrument
    122     40    Telescope
    162     8     DateTime (local), 100 ns ticks since 0001-01-01
    170     8     DateTime_UTC
    178     ...   frames, then optionally FrameCount 8-byte UTC timestamps

All header integers are little-endian. The byte-order field is read as the readers in use read
it: 0 means little-endian 16-bit samples.
"""

import datetime as dt

import numpy as np

PLANES = {100: 3, 101: 3}
EPOCH = dt.datetime(1, 1, 1, tzinfo=dt.timezone.utc)


def _int(data, offset, size=4):
    return int.from_bytes(data[offset:offset + size], "little", signed=True)


def _text(data, offset):
    return data[offset:offset + 40].split(b"\0", 1)[0].decode("ascii")


def moment(ticks):
    return EPOCH + dt.timedelta(microseconds=ticks // 10)


def read(path, *, strict=True):
    """(header, frames, timestamps or None). Not `strict`: the bytes after the counted frames
    may be anything (a file whose writer was killed holds a frame or so it had not counted
    yet), as readers that skip a trailer they cannot use take them."""
    data = open(path, "rb").read()
    assert data[:14] == b"LUCAM-RECORDER", data[:14]
    header = {
        "lu_id": _int(data, 14),
        "color_id": _int(data, 18),
        "little_endian_flag": _int(data, 22),
        "width": _int(data, 26),
        "height": _int(data, 30),
        "depth": _int(data, 34),
        "frames": _int(data, 38),
        "observer": _text(data, 42),
        "instrument": _text(data, 82),
        "telescope": _text(data, 122),
        "date_time": _int(data, 162, 8),
        "date_time_utc": _int(data, 170, 8),
    }
    planes = PLANES.get(header["color_id"], 1)
    sample = 1 if header["depth"] <= 8 else 2
    frame_size = header["width"] * header["height"] * planes * sample
    end = 178 + header["frames"] * frame_size
    assert len(data) >= end, "file shorter than its frames"
    dtype = np.uint8 if sample == 1 else np.dtype("<u2" if header["little_endian_flag"] == 0 else ">u2")
    shape = (header["frames"], header["height"], header["width"]) + ((planes,) if planes > 1 else ())
    frames = np.frombuffer(data, dtype=dtype, count=(end - 178) // sample, offset=178).reshape(shape)
    trailer = data[end:]
    stamps = None
    if trailer and (strict or len(trailer) == 8 * header["frames"]):
        assert len(trailer) == 8 * header["frames"], "trailer is not one timestamp per frame"
        stamps = [_int(trailer, 8 * i, 8) for i in range(header["frames"])]
    return header, frames, stamps
