"""What the package's command-line programs share: argument errors in one line, as their other
errors are, with a pointer to `--help` (which has the usage) instead of the usage itself."""

from __future__ import annotations

import argparse
from typing import NoReturn

__all__ = ["EXIT_USAGE", "OneLineParser"]

EXIT_USAGE = 2


class OneLineParser(argparse.ArgumentParser):
    """An `ArgumentParser` whose errors are one line: `PROG: error: MESSAGE (see 'PROG --help')`."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")
