"""The simulated library's include order (tools/check_includes.py against sdk/layers.toml): the
tree passes, and each kind of fault in a small tree of its own is caught and named."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CHECK = ROOT / "tools" / "check_includes.py"
LAYERS = """
[[layer]]
name = "top"
modules = ["top"]
[[layer]]
name = "bottom"
modules = ["low", "base"]
"""


def run_check(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(CHECK), *args], capture_output=True, text=True, timeout=60)


def test_the_simulator_keeps_its_include_order() -> None:
    proc = run_check()
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize(("files", "fault"), [
    ({"low.cpp": '#include "low.h"\n#include "top.h"\n'}, "low (bottom) includes top.h of a layer above (top)"),
    ({"low.h": '#include "base.h"\n', "base.h": '#include "low.h"\n'}, "include cycle: base -> low -> base"),
    ({"stray.cpp": '#include "base.h"\n'}, "stray: in no layer"),
    ({"top.cpp": '#include "gone.h"\n'}, "top includes gone.h, which is in no layer"),
])
def test_a_fault_fails_the_check(tmp_path: Path, files: dict[str, str], fault: str) -> None:
    for name in ("top.h", "low.h", "base.h"):
        (tmp_path / name).write_text("#pragma once\n")
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    (tmp_path / "layers.toml").write_text(LAYERS)
    proc = run_check(str(tmp_path), str(tmp_path / "layers.toml"))
    assert proc.returncode == 1
    assert fault in proc.stderr
