"""The package's layer order, checked by a real import checker (import-linter's contracts in
pyproject.toml): the tools import the camera layer and the file formats, never the module or
each other; the camera layer imports no tool; the file formats import no camera code.

The module is a compiled extension, which an import graph of Python sources does not see: the
checked copy of the sources gets its stub as `orvik.py`, so `from velmora.brinmoor import orvik`
is an import of that module rather than of the package.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("importlinter")

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "src" / "velmora"


def source_copy(where: Path) -> Path:
    copy = where / "velmora"
    shutil.copytree(PACKAGE, copy, ignore=shutil.ignore_patterns("*.cpp", "*.h", "CMakeLists.txt",
                                                                  "__pycache__"))
    brinmoor = copy / "brinmoor"
    shutil.copy(brinmoor / "orvik.pyi", brinmoor / "orvik.py")
    return copy


def lint(tree: Path) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=str(tree.parent))
    script = Path(sys.executable).parent / "lint-imports"
    command = [str(script)] if script.exists() else [sys.executable, "-m", "importlinter.cli"]
    return subprocess.run([*command, "--no-logo", "--no-cache", str(ROOT / "pyproject.toml")],
                          capture_output=True, text=True, cwd=tree.parent, env=env, timeout=300)


def test_the_layers_hold(tmp_path):
    proc = lint(source_copy(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "0 broken" in proc.stdout


@pytest.mark.parametrize(
    "where, line, contract",
    [
        ("capture/cli.py", "from velmora.brinmoor import orvik", "tools never import"),
        ("alpaca/backend.py", "from velmora.brinmoor.orvik import get_sdk_version",
         "tools never import"),
        ("alpaca/backend.py", "from velmora.brinmoor.capture import sinks", "Layers point down"),
        ("camera/frames.py", "from velmora.brinmoor.capture import cli", "Layers point down"),
        ("capture/commands/doctor.py", "from velmora.brinmoor import asisim",
         "never the simulator"),
        ("alpaca/cli.py", "from velmora.brinmoor.asisim import held_by", "never the simulator"),
        ("formats/fits.py", "from velmora.brinmoor.camera import Camera", "talk to no camera"),
        ("formats/ser.py", "from velmora.brinmoor import orvik", "talk to no camera"),
    ],
)
def test_an_import_against_the_order_is_caught(tmp_path, where, line, contract):
    tree = source_copy(tmp_path)
    path = tree / "brinmoor" / where
    path.write_text(path.read_text(encoding="utf-8") + f"\n{line}\n", encoding="utf-8")
    proc = lint(tree)
    assert proc.returncode == 1, proc.stdout + proc.stderr
    broken = proc.stdout[proc.stdout.index("Broken contracts"):]
    assert contract in broken, proc.stdout
