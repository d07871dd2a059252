"""The package's import contracts (import-linter's, in pyproject.toml), checked on a copy of the
sources: shared by tests/test_layers.py and `make lint` (`python tests/importcheck.py`).

The module is a compiled extension, which an import graph of Python sources does not see: the
checked copy of the sources gets its stub as `orvik.py`, so `from velmora.brinmoor import orvik`
is an import of that module rather than of the package.
"""

import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "velmora"


def source_copy(where: Path) -> Path:
    """The package's Python sources copied under `where`, with the module's stub as its source."""
    copy = where / "velmora"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("*.cpp", "*.h", "CMakeLists.txt",
                                                                  "__pycache__"))
    brinmoor = copy / "brinmoor"
    shutil.copy(brinmoor / "orvik.pyi", brinmoor / "orvik.py")
    return copy


def lint(tree: Path) -> subprocess.CompletedProcess[str]:
    """import-linter's run over a copy made by `source_copy`."""
    env = dict(os.environ, PYTHONPATH=str(tree.parent))
    script = Path(sys.executable).parent / "lint-imports"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "importlinter.cli"]
    return subprocess.run([*command, "--no-logo", "--no-cache", str(ROOT / "pyproject.toml")],
                          capture_output=True, text=True, cwd=tree.parent, env=env, timeout=300)


def main() -> int:
    with tempfile.TemporaryDirectory(prefix="importcheck-") as where:
        proc = lint(source_copy(Path(where)))
    sys.stdout.write(proc.stdout)
    sys.stderr.write(proc.stderr)
    return proc.returncode


if __name__ == "__main__":
    sys.exit(main())
