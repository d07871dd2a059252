"""The package's layer order, checked by a real import checker (import-linter's contracts in
pyproject.toml): the tools import the camera layer and the file formats, never the module or
each other; the camera layer imports no tool; the file formats import no camera code.

The module is a compiled extension, which an import graph of Python sources does not see:
tests/importcheck.py (which `make lint` runs too) checks a copy of the sources with its stub as
`orvik.py`.
"""

import pytest

pytest.importorskip("importlinter")

from importcheck import lint, source_copy  # noqa: E402


def test_the_layers_hold(tmp_path):
    proc = lint(source_copy(tmp_path))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "0 broken" in proc.stdout


@pytest.mark.parametrize(
    "where, line, contract",
    [
        ("capture/cli.py", "from velmora.brinmoor import orvik", "tools never import"),
        ("alpaca/facts.py", "from velmora.brinmoor.orvik import get_sdk_version",
         "tools never import"),
        ("alpaca/facts.py", "from velmora.brinmoor.capture import sinks", "Layers point down"),
        ("capture/common.py", "from velmora.brinmoor import asisim", "tools never import"),
        ("alpaca/cli.py", "from velmora.brinmoor.asisim import models", "tools never import"),
        ("camera/frames.py", "from velmora.brinmoor.capture import cli", "Layers point down"),
        ("capture/commands/doctor.py", "from velmora.brinmoor import asisim",
         "tools never import"),
        ("alpaca/cli.py", "from velmora.brinmoor.asisim import held_by", "tools never import"),
        ("formats/fits.py", "from velmora.brinmoor.camera import Camera", "talk to no camera"),
        ("camera/exposure.py", "from .camera import Camera", "not the Camera"),
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
