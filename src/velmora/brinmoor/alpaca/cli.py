"""`orvik-alpaca`: serve every connected camera as an ASCOM Alpaca camera device."""

from __future__ import annotations

import argparse
import logging
import sys
from collections.abc import Sequence

from .discovery import DISCOVERY_PORT
from .server import DEFAULT_HOST, DEFAULT_PORT, AlpacaServer, is_loopback


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="orvik-alpaca",
        description="Serve every connected ZWO ASI camera as an ASCOM Alpaca camera device.",
    )
    p.add_argument("--host", default=DEFAULT_HOST,
                   help="address to listen on (default %(default)s: this computer only; "
                        "0.0.0.0 for every network interface)")
    p.add_argument("--port", type=int, default=DEFAULT_PORT,
                   help="HTTP port (default %(default)s; 0 picks a free one)")
    p.add_argument("--discovery-port", type=int, default=DISCOVERY_PORT,
                   help="UDP port for Alpaca discovery (default %(default)s)")
    p.add_argument("--no-discovery", action="store_true", help="do not answer discovery queries")
    p.add_argument("--location", default="", help="where the cameras are, shown to clients")
    p.add_argument("--log-level", default="info",
                   choices=["critical", "error", "warning", "info", "debug"])
    p.add_argument("--access-log", action="store_true", help="log every request")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if not 0 <= args.port <= 65535 or not 0 <= args.discovery_port <= 65535:
        print("orvik-alpaca: ports are 0 to 65535", file=sys.stderr)
        return 2
    logging.basicConfig(level=args.log_level.upper(), format="%(levelname)s: %(message)s")
    try:
        server = AlpacaServer(host=args.host, port=args.port,
                              discovery_port=None if args.no_discovery else args.discovery_port,
                              location=args.location, log_level=args.log_level,
                              access_log=args.access_log)
    except OSError as exc:
        print(f"orvik-alpaca: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:
        print(f"orvik-alpaca: cannot read the cameras: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    for device in server.devices:
        print(f"camera {device.number}: {device.name}  (UniqueID {device.facts.unique_id})")
    if not server.devices:
        print("no cameras connected: serving none")
    scope = "this computer only" if is_loopback(args.host) else "the network"
    print(f"Alpaca server on {server.url} ({scope}); setup page {server.url}/setup")
    try:
        server.run()
    except KeyboardInterrupt:
        pass  # uvicorn hands Ctrl-C on once it has shut down; the cameras are closed by then
    print("Alpaca server stopped")
    return 0
