"""Type information: the module's stub matches the module at run time (mypy.stubtest), and the
package's Python code and the documentation's examples pass `mypy --strict`."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

# mypy runs in child processes for a while: the sanitizer pass leaves those tests out.
slow = pytest.mark.slow

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "velmora" / "brinmoor"
DOCS = ROOT / "docs"


def run_mypy(*args, cwd=ROOT):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=600)


@slow
@pytest.mark.parametrize("module", ["velmora.brinmoor.orvik", "velmora.brinmoor.camera._video"])
def test_stub_matches_the_installed_module(module):
    proc = run_mypy("mypy.stubtest", "--concise", module, cwd=ROOT / "tests")
    lines = [l for l in proc.stdout.splitlines() if l.strip()]
    # The module's functions are objects of its own function type, which stubtest does not take
    # for functions; it still compares their signatures, and reports any difference separately.
    differences = [l for l in lines if not re.fullmatch(r"velmora\.brinmoor\.orvik\.\w+ is not a function", l)]
    assert differences == [], proc.stdout + proc.stderr
    assert proc.returncode in (0, 1), proc.stderr


def test_package_is_typed_for_its_users():
    import velmora.brinmoor as package

    where = Path(package.__file__).parent
    assert (where / "py.typed").is_file() and (where / "orvik.pyi").is_file()


@slow
def test_python_code_passes_mypy_strict():
    targets = [SOURCES / "camera", SOURCES / "formats", SOURCES / "capture", SOURCES / "alpaca",
               SOURCES / "asisim.py",
               ROOT / "benchmarks" / "bench_camera.py", ROOT / "benchmarks" / "bench_alpaca.py"]
    proc = run_mypy("mypy", "--strict", "--no-incremental", *map(str, targets))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def doc_examples():
    """Every ```python block of the user guide, named by its page and first line."""
    for page in sorted(DOCS.glob("*.md")):
        text = page.read_text(encoding="utf-8")
        for match in re.finditer(r"^```python\n(.*?)^```", text, flags=re.M | re.S):
            line = text.count("\n", 0, match.start()) + 2
            yield f"{page.stem}_line{line}", match.group(1)


@slow
def test_doc_examples_pass_mypy_strict(tmp_path):
    examples = dict(doc_examples())
    assert len(examples) >= 5 and any("velmora.brinmoor.camera" in c for c in examples.values())
    files = []
    for name, code in examples.items():
        path = tmp_path / f"{name}.py"
        path.write_text(code, encoding="utf-8")
        files.append(str(path))
    # Client libraries that ship no type information (alpyca) are used as they are: untyped.
    proc = run_mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                    "--disable-error-code", "import-untyped", *files)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@slow
def test_type_checkers_see_the_units_and_the_read_only_controls(tmp_path):
    example = tmp_path / "use.py"
    example.write_text(
        "from velmora.brinmoor.camera import Camera\n"
        "with Camera(0) as cam:\n"
        "    seconds: float = cam.exposure\n"
        "    reveal_type(cam.cooler)\n"
        "    cam.temperature = 5.0\n"  # read-only: refused
        "    cam.gain = 1.5\n",  # an int control: refused
        encoding="utf-8",
    )
    proc = run_mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                    str(example), cwd=tmp_path)
    found = [re.match(r".*use\.py:(\d+): (.*)", l) for l in proc.stdout.splitlines()]
    reports = {int(m.group(1)): m.group(2) for m in found if m}
    assert sorted(reports) == [4, 5, 6], proc.stdout
    assert 'Revealed type is "bool"' in reports[4]
    assert "[assignment]" in reports[5] and "[assignment]" in reports[6]
