"""The `orvik-capture` command line: the parser made of the commands' own options, and `main`,
which runs one command and turns its failures into one-line messages and exit statuses."""

from __future__ import annotations

import argparse
import os
import sys
from types import ModuleType

from velmora.brinmoor.formats import partfile

from .. import __version__ as _package_version
from . import deps
from .commands import cooler, doctor, finish, info, sequence, snapshot, video
from .commands import list as list_command
from .errors import CaptureError, UsageError
from .options import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_USAGE, PROG, Parser
from .stopping import Stopped, stop_on_signals

# Each command is a module with `add_parser(sub)` and `run(args, out)`, in the order --help
# lists them.
COMMANDS: dict[str, ModuleType] = {
    "list": list_command, "info": info, "snapshot": snapshot, "video": video,
    "sequence": sequence, "cooler": cooler, "finish": finish, "doctor": doctor,
}


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=PROG,
        description="Capture images with ZWO ASI cameras, or with the simulated ones "
                    "that the package ships.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_package_version}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in COMMANDS.values():
        command.add_parser(sub)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the tool; returns the exit status (0 success, 1 failure, 2 bad arguments, 128 +
    signal when stopped by Ctrl-C, SIGTERM or SIGHUP)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # argparse exits on --help (0) and on bad arguments (2)
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    err = sys.stderr
    command: str = args.command
    try:
        with stop_on_signals():
            try:
                status: int = COMMANDS[command].run(args, sys.stdout)
                sys.stdout.flush()  # a closed pipe shows here, inside the handlers below
            finally:
                partfile.remove_unfinished()
        return status
    except UsageError as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return exc.exit_status
    except (CaptureError, deps.MissingDependency) as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return EXIT_FAILURE
    except FileExistsError as exc:
        # Created by another program after the tool checked the name, before it wrote.
        print(f"{PROG} {command}: error: {exc.filename} exists; use --overwrite to replace it",
              file=err)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader went away (`orvik-capture info | head`): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as exc:
        print(f"{PROG} {command}: error: {exc}", file=err)
        return EXIT_FAILURE
    except KeyboardInterrupt as exc:
        cause = f"stopped by {exc.name}" if isinstance(exc, Stopped) and exc.name != "SIGINT" \
            else "interrupted"
        notes = "; ".join(getattr(exc, "__notes__", []))
        print(f"\n{PROG} {command}: {cause}" + (f": {notes}" if notes else ""), file=err)
        return exc.exit_status if isinstance(exc, Stopped) else EXIT_INTERRUPTED
