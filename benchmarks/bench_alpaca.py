"""The Alpaca server: small requests, and image transfer.

Small requests: requests per second and latency (median, 99th percentile) of a small GET with
1, 10 and 50 concurrent keep-alive clients, for the Alpaca server and, in the same run, for a
bare Starlette app answering a JSON body of the same size under the same uvicorn settings (the
same connection class, TCP socket and limits). Each server runs in its own process; the clients
are raw asyncio connections in this one. Three members are measured: `name`, a fixed answer,
`camerastate`, the device's state, which every imaging program polls (answered on the event
loop while the device is free, else in a worker thread), and `ccdtemperature`, which reads the
camera (answered from a read at most a second old, else read in a worker thread). Each figure is the best of several
interleaved runs, since other work on the machine only ever slows a run down; beside it, the
server process's CPU time per request, which other work on a shared machine barely moves. The
goal is at least 0.8x the bare app at every concurrency.

Image transfer: a full 4128 x 2808 RAW16 frame (the size served) of the simulated ASI294MC Pro.
For the same number of bytes:
- the loopback baseline: one TCP connection over 127.0.0.1, sendall() into recv_into(), no HTTP;
- ImageArray as ImageBytes (Accept: application/imagebytes), read with http.client;
- ImageArray as JSON, once, for comparison.
The image is taken once; each transfer encodes and sends it again (the column-major copy is
made on the first request and kept with the image).

SDK calls: how many calls reach the (simulated) SDK for one StartExposure, and for a whole
exposure from StartExposure to the image read, counted in the simulator's journal.
"""

from __future__ import annotations

import asyncio
import http.client
import os
import socket
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse

from velmora.brinmoor import asisim
from velmora.brinmoor.alpaca import AlpacaServer

ROUNDS = 7
CONCURRENCY = (1, 10, 50)
SECONDS_PER_RUN = 1.0
SMALL_ROUNDS = 5  # each (server, concurrency) pair is measured this often, interleaved; best kept


# -- small requests ------------------------------------------------------------------------------

def serve_alpaca() -> None:
    """Child process: the Alpaca server over the simulated ASI120MM Mini, camera connected."""
    asisim.reset(["ZWO ASI120MM Mini"])
    server = AlpacaServer(port=0, discovery_port=None)
    server.devices[0].connect()
    print(server.port, flush=True)
    server.run()


def serve_bare() -> None:
    """Child process: a bare Starlette app under the same uvicorn settings as the server."""
    import orjson
    import uvicorn
    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import Response
    from starlette.routing import Route

    from velmora.brinmoor.alpaca.connections import MAX_HEAD_BYTES, ConnectionLimits, protocol_class

    async def answer(request: Request) -> Response:
        return Response(orjson.dumps({"Value": "ZWO ASI120MM Mini", "ClientTransactionID": 0,
                                      "ServerTransactionID": 1, "ErrorNumber": 0,
                                      "ErrorMessage": ""}), media_type="application/json")

    app = Starlette(routes=[Route("/api/v1/camera/0/{member}", answer)])
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.bind(("127.0.0.1", 0))
    sock.listen(2048)
    limits = ConnectionLimits()
    config = uvicorn.Config(app, log_level="warning", access_log=False, http=protocol_class(limits),
                            lifespan="off", timeout_keep_alive=round(limits.idle_timeout),
                            h11_max_incomplete_event_size=MAX_HEAD_BYTES, server_header=False)
    print(sock.getsockname()[1], flush=True)
    uvicorn.Server(config).run(sockets=[sock])


async def _client(port: int, request: bytes, until: float, latencies: list[float]) -> None:
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        while (start := time.perf_counter()) < until:
            writer.write(request)
            head = await reader.readuntil(b"\r\n\r\n")
            if not head.startswith(b"HTTP/1.1 200"):
                raise RuntimeError(head.decode("latin-1"))
            length = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
            await reader.readexactly(length)
            latencies.append(time.perf_counter() - start)
    finally:
        writer.close()


async def _load(port: int, path: str, clients: int) -> tuple[float, list[float]]:
    request = f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n\r\n".encode()
    latencies: list[float] = []
    start = time.perf_counter()
    until = start + SECONDS_PER_RUN
    await asyncio.gather(*(_client(port, request, until, latencies) for _ in range(clients)))
    return len(latencies) / (time.perf_counter() - start), latencies


def _spawn(mode: str) -> tuple[subprocess.Popen[str], int]:
    proc = subprocess.Popen([sys.executable, __file__, mode], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, ASISIM_CAMERAS="ZWO ASI120MM Mini"))
    assert proc.stdout is not None
    return proc, int(proc.stdout.readline())


def _cpu_seconds(pid: int) -> float:
    """User and system CPU time a process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def small_requests() -> None:
    alpaca, alpaca_port = _spawn("--serve-alpaca")
    bare, bare_port = _spawn("--serve-bare")
    try:
        targets = {"bare Starlette": (bare, bare_port, "/api/v1/camera/0/name"),
                   "Alpaca name": (alpaca, alpaca_port, "/api/v1/camera/0/name"),
                   "Alpaca camerastate": (alpaca, alpaca_port, "/api/v1/camera/0/camerastate"),
                   "Alpaca ccdtemperature": (alpaca, alpaca_port,
                                             "/api/v1/camera/0/ccdtemperature")}
        for _, port, path in targets.values():  # warm up: connections, threads, caches
            asyncio.run(_load(port, path, 10))
        best: dict[tuple[str, int], tuple[float, list[float]]] = {}
        cpu: dict[tuple[str, int], list[float]] = {}
        for _ in range(SMALL_ROUNDS):
            for clients in CONCURRENCY:
                for label, (proc, port, path) in targets.items():
                    before = _cpu_seconds(proc.pid)
                    rate, latencies = asyncio.run(_load(port, path, clients))
                    used = _cpu_seconds(proc.pid) - before
                    cpu.setdefault((label, clients), []).append(used / max(1, len(latencies)))
                    if rate > best.get((label, clients), (0.0, []))[0]:
                        best[(label, clients)] = (rate, latencies)
    finally:
        for proc in (alpaca, bare):
            proc.terminate()
            proc.wait(timeout=30)
    print(f"small GET, keep-alive clients, {SECONDS_PER_RUN:g} s runs, best of {SMALL_ROUNDS} "
          "(interleaved); server CPU per request: median of the runs")
    print(f"  {'':20s} {'clients':>7s} {'req/s':>8s} {'median':>9s} {'p99':>9s} {'vs bare':>8s}"
          f" {'CPU/req':>9s} {'bare/ours':>9s}")
    for clients in CONCURRENCY:
        bare_rate = best[("bare Starlette", clients)][0]
        bare_cpu = statistics.median(cpu[("bare Starlette", clients)])
        for label in targets:
            rate, latencies = best[(label, clients)]
            latencies.sort()
            median = latencies[len(latencies) // 2] * 1e3
            p99 = latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))] * 1e3
            per_request = statistics.median(cpu[(label, clients)])
            print(f"  {label:20s} {clients:7d} {rate:8.0f} {median:7.2f}ms {p99:7.2f}ms "
                  f"{rate / bare_rate:7.2f}x {per_request * 1e6:7.0f}us {bare_cpu / per_request:8.2f}x")


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


def image_transfer() -> None:
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
    print(f"full frame 4128 x 2808 RAW16: {mb:.1f} MB as ImageBytes ({ROUNDS} rounds; "
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


def sdk_calls() -> None:
    """SDK calls per StartExposure and per whole exposure, counted in the simulator's journal."""
    asisim.reset(["ZWO ASI294MC Pro"])
    asisim.set_time_scale(1000.0)
    with AlpacaServer(port=0, discovery_port=None) as server:
        conn = http.client.HTTPConnection("127.0.0.1", server.port)
        base = "/api/v1/camera/0"
        put(conn, f"{base}/connected", Connected="true")
        put(conn, f"{base}/binx", BinX="2")
        put(conn, f"{base}/numx", NumX="100")
        put(conn, f"{base}/numy", NumY="100")
        asisim.journal_clear()
        put(conn, f"{base}/startexposure", Duration="0.01", Light="true")
        start = asisim.journal()
        while True:
            conn.request("GET", f"{base}/imageready")
            if b'"Value":true' in conn.getresponse().read():
                break
            time.sleep(0.01)
        http_get(conn, f"{base}/imagearray", "application/imagebytes")
        whole = asisim.journal()
        conn.close()
    polls = sum(line.startswith("ASIGetExpStatus(") for line in whole)
    functions = sorted({line.split("(", 1)[0] for line in start})
    print("SDK calls, 100 x 100 subframe at bin 2 (simulator's journal)")
    print(f"  StartExposure: {len(start)} ({', '.join(functions)})")
    print(f"  whole exposure to the image read: {len(whole)}, of which {polls} status polls")


def main() -> None:
    small_requests()
    image_transfer()
    sdk_calls()


if __name__ == "__main__":
    if sys.argv[1:] == ["--serve-alpaca"]:
        serve_alpaca()
    elif sys.argv[1:] == ["--serve-bare"]:
        serve_bare()
    else:
        main()
