"""The module's surface has one source, its operation table (optable.cpp): the stub's function
declarations are made from the module by tools/gen_stub.py and must be current, and the API
reference names every function. (The specified annotations and docstrings themselves are checked
by test_function_objects.py and test_ops_table.py.)"""

import shutil
import subprocess
import sys
from pathlib import Path

from functable import NAMES

ROOT = Path(__file__).resolve().parent.parent
GEN_STUB = ROOT / "tools" / "gen_stub.py"
STUB = ROOT / "src" / "velmora" / "brinmoor" / "orvik.pyi"


def gen_stub(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(GEN_STUB), *args], capture_output=True, text=True, timeout=120)


def test_the_stub_declares_the_functions_the_module_has() -> None:
    proc = gen_stub("--check")
    assert proc.returncode == 0, proc.stderr


def test_a_stale_stub_is_caught_and_made_again(tmp_path: Path) -> None:
    stub = tmp_path / "orvik.pyi"
    shutil.copy(STUB, stub)
    original = stub.read_text()
    stub.write_text(original.replace("def close_camera(camera_id: int) -> None: ...\n", "")
                    .replace("def open_camera(camera_id: int)", "def open_camera(camera: int)"))
    proc = gen_stub("--check", "--stub", str(stub))
    assert proc.returncode == 1
    assert "+def close_camera(camera_id: int) -> None: ..." in proc.stderr
    assert "-def open_camera(camera: int) -> None: ..." in proc.stderr
    assert gen_stub("--stub", str(stub)).returncode == 0
    assert stub.read_text() == original


def test_the_api_reference_names_every_function() -> None:
    text = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert [name for name in NAMES if f"{name}(" not in text] == []
