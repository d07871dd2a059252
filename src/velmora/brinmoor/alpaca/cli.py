"""`orvik-alpaca`: serve every connected camera as an ASCOM Alpaca camera device.

Every error is one line on stderr: a bad argument (exit 2), an extra that is not installed
(exit 1, with the command that installs it; also for `--help`), a model in `ASISIM_CAMERAS`
the simulated cameras do not have (exit 2), a port that cannot be opened (exit 1).
"""

from __future__ import annotations

import argparse
import importlib
import logging
import shlex
import sys
from collections.abc import Sequence
from typing import NoReturn

from velmora.brinmoor._distribution import extra_requirements
from velmora.brinmoor._version import __version__

PROG = "orvik-alpaca"
EXIT_USAGE = 2
EXTRA = "alpaca"
# The server's own packages, by import name; the extra in pyproject.toml names them for pip.
EXTRA_MODULES = ("starlette", "uvicorn", "orjson")
FALLBACK_REQUIREMENTS = ("starlette>=0.40", "uvicorn>=0.30", "orjson>=3.9")
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 11111
DISCOVERY_PORT = 32227


class Parser(argparse.ArgumentParser):
    """Argument errors as one line, as the tool's other errors are; `--help` has the usage."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not 0 < value < 1e6:
        raise argparse.ArgumentTypeError(f"{text} is not a positive number of seconds")
    return value


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of bytes a second") from None
    if not 0 <= value < 1e12:
        raise argparse.ArgumentTypeError(f"{text} is not a number of bytes a second")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not at least 1")
    return value


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a port number") from None
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError("ports are 0 to 65535")
    return value


def parser() -> argparse.ArgumentParser:
    from .connections import (
        DEFAULT_IDLE_TIMEOUT,
        DEFAULT_MAX_CONNECTIONS,
        DEFAULT_MIN_SEND_RATE,
        DEFAULT_SEND_TIMEOUT,
    )

    p = Parser(
        prog=PROG,
        description="Serve every connected ZWO ASI camera as an ASCOM Alpaca camera device.",
    )
    p.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    p.add_argument("--host", default=DEFAULT_HOST,
                   help="address to listen on (default %(default)s: this computer only; "
                        "0.0.0.0 for every network interface)")
    p.add_argument("--port", type=_port, default=DEFAULT_PORT,
                   help="HTTP port (default %(default)s; 0 picks a free one)")
    p.add_argument("--allowed-hosts", metavar="NAMES",
                   help="comma-separated host names and addresses that requests may be addressed "
                        "to (the Host header); default: any on the network, this computer's "
                        "names only on loopback; '*' allows any")
    p.add_argument("--idle-timeout", type=_positive, default=DEFAULT_IDLE_TIMEOUT, metavar="S",
                   help="close a connection that sends no request for this long "
                        "(default %(default)g s)")
    p.add_argument("--max-connections", type=_count, default=DEFAULT_MAX_CONNECTIONS, metavar="N",
                   help="open connections at most; beyond it the oldest idle one is closed "
                        "(default %(default)s)")
    p.add_argument("--send-timeout", type=_positive, default=DEFAULT_SEND_TIMEOUT, metavar="S",
                   help="cut off a client that takes less than --min-send-rate of an answer "
                        "waiting for it, counted over this time (default %(default)g s)")
    p.add_argument("--min-send-rate", type=_rate, default=DEFAULT_MIN_SEND_RATE, metavar="B",
                   help="bytes a second a client must take of an answer waiting for it "
                        "(default %(default)g; 0: only a client that takes nothing is cut off)")
    p.add_argument("--discovery-port", type=_port, default=DISCOVERY_PORT,
                   help="UDP port for Alpaca discovery (default %(default)s)")
    p.add_argument("--no-discovery", action="store_true", help="do not answer discovery queries")
    p.add_argument("--location", default="", help="where the cameras are, shown to clients")
    p.add_argument("--log-level", default="info",
                   choices=["critical", "error", "warning", "info", "debug"])
    p.add_argument("--access-log", action="store_true", help="log every request")
    return p


def missing_extra() -> str | None:
    """A one-line message when a package of the `alpaca` extra cannot be imported, else None.

    The packages are named one by one for pip: the `[alpaca]` form needs the package on an
    index, which a build from a clone is not."""
    for module in EXTRA_MODULES:
        try:
            importlib.import_module(module)
        except ImportError:
            command = shlex.join([sys.executable or "python3", "-m", "pip", "install",
                                  *extra_requirements(EXTRA, FALLBACK_REQUIREMENTS)])
            return (f"{PROG}: error: the Alpaca server needs the '{EXTRA}' extra ({module} is "
                    f"not installed); install it with: {command}")
    return None


def main(argv: Sequence[str] | None = None) -> int:
    problem = missing_extra()
    if problem is not None:
        print(problem, file=sys.stderr)
        return 1
    args = parser().parse_args(argv)
    from velmora.brinmoor.camera import unknown_simulated_model

    problem = unknown_simulated_model()
    if problem is not None:
        print(f"{PROG}: error: {problem}", file=sys.stderr)
        return EXIT_USAGE
    from .connections import ConnectionLimits
    from .server import AlpacaServer, is_loopback

    logging.basicConfig(level=args.log_level.upper(), format="%(levelname)s: %(message)s")
    allowed = None if args.allowed_hosts is None else args.allowed_hosts.split(",")
    try:
        server = AlpacaServer(host=args.host, port=args.port,
                              discovery_port=None if args.no_discovery else args.discovery_port,
                              location=args.location, log_level=args.log_level,
                              access_log=args.access_log, allowed_hosts=allowed,
                              limits=ConnectionLimits(args.idle_timeout, args.max_connections,
                                                      args.send_timeout, args.min_send_rate))
    except OSError as exc:
        print(f"{PROG}: error: cannot listen on {args.host}:{args.port}: {exc}", file=sys.stderr)
        return 1
    except Exception as exc:
        print(f"{PROG}: error: cannot read the cameras: {type(exc).__name__}: {exc}",
              file=sys.stderr)
        return 1
    for device in server.devices:
        print(f"camera {device.number}: {device.name}  (UniqueID {device.facts.unique_id})")
    if not server.devices:
        print("no cameras connected: serving none")
    scope = "this computer only" if is_loopback(args.host) else "the network"
    print(f"Alpaca server on {server.url} ({scope}); setup page {server.url}/setup", flush=True)
    server.run()
    print("Alpaca server stopped")
    return 0
