"""Alpaca image transfer: a full 4144 x 2822 RAW16 frame from the simulated ASI294MC Pro.

Prints, for the same number of bytes:
- the loopback baseline: one TCP connection over 127.0.0.1, sendall() into recv_into(), no HTTP;
- ImageArray as ImageBytes (Accept: application/imagebytes), read with http.client;
- ImageArray as JSON, once, for comparison.
The image is taken once; each transfer encodes and sends it again (the column-major copy is
made on the first request and kept with the image).
"""

from __future__ import annotations

import http.client
import socket
import statistics
import threading
import time
import urllib.parse

from velmora.brinmoor import asisim
from velmora.brinmoor.alpaca import AlpacaServer

ROUNDS = 7


def loopback_seconds(size: int) -> float:
    payload = bytes(size)
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]

    def serve() -> None:
        conn, _ = listener.accept()
        with conn:
            conn.sendall(payload)

    thread = threading.Thread(target=serve)
    thread.start()
    buffer = bytearray(size)
    view = memoryview(buffer)
    with socket.create_connection(("127.0.0.1", port)) as client:
        start = time.perf_counter()
        got = 0
        while got < size:
            n = client.recv_into(view[got:])
            if n == 0:
                break
            got += n
        elapsed = time.perf_counter() - start
    thread.join()
    listener.close()
    return elapsed


def http_get(conn: http.client.HTTPConnection, path: str, accept: str) -> tuple[float, int]:
    start = time.perf_counter()
    conn.request("GET", path, headers={"Accept": accept})
    response = conn.getresponse()
    body = response.read()
    elapsed = time.perf_counter() - start
    if response.status != 200:
        raise RuntimeError(f"HTTP {response.status}: {body[:200]!r}")
    return elapsed, len(body)


def put(conn: http.client.HTTPConnection, path: str, **params: object) -> None:
    body = urllib.parse.urlencode(params)
    conn.request("PUT", path, body=body,
                 headers={"Content-Type": "application/x-www-form-urlencoded"})
    response = conn.getresponse()
    text = response.read()
    if response.status != 200 or b'"ErrorNumber":0' not in text:
        raise RuntimeError(f"{path}: {text[:200]!r}")


def main() -> None:
    asisim.reset(["ZWO ASI294MC Pro"])
    asisim.set_time_scale(1000.0)
    with AlpacaServer(port=0, discovery_port=None) as server:
        conn = http.client.HTTPConnection("127.0.0.1", server.port)
        base = "/api/v1/camera/0"
        put(conn, f"{base}/connected", Connected="true")
        put(conn, f"{base}/startexposure", Duration="0.01", Light="true")
        while True:
            conn.request("GET", f"{base}/imageready")
            if b'"Value":true' in conn.getresponse().read():
                break
            time.sleep(0.01)
        first, size = http_get(conn, f"{base}/imagearray", "application/imagebytes")
        times = [http_get(conn, f"{base}/imagearray", "application/imagebytes")[0]
                 for _ in range(ROUNDS)]
        json_time, json_size = http_get(conn, f"{base}/imagearray", "application/json")
        baseline = [loopback_seconds(size) for _ in range(ROUNDS)]
        conn.close()

    mb = size / 1e6
    print(f"full frame 4144 x 2822 RAW16: {mb:.1f} MB as ImageBytes ({ROUNDS} rounds; "
          "best and median)")
    for label, runs in (("loopback baseline (raw TCP)", baseline), ("ImageBytes over HTTP", times)):
        best, median = min(runs), statistics.median(runs)
        print(f"  {label:28s} {best * 1e3:6.1f} ms {mb / best:6.0f} MB/s | "
              f"{median * 1e3:6.1f} ms {mb / median:6.0f} MB/s")
    ratio = statistics.median(baseline) / statistics.median(times) * 100
    print(f"  ImageBytes rate: {ratio:.0f} % of the loopback baseline (medians)")
    print(f"  ImageBytes, first (with the column-major copy): {first * 1e3:.1f} ms")
    print(f"  JSON, once: {json_time * 1e3:.0f} ms for {json_size / 1e6:.1f} MB "
          f"({mb / json_time:.0f} MB/s of pixel data)")


if __name__ == "__main__":
    main()
