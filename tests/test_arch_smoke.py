"""The smoke run that `make test-aarch64` compares across processors (tests/arch_smoke.py), here on
the machine's own: it calls every operation, two runs agree, and its comparison sees a change."""

import json
import subprocess
import sys
from pathlib import Path

SCRIPT = Path(__file__).with_name("arch_smoke.py")


def smoke_run(tmp_path, name):
    proc = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    path = tmp_path / f"{name}.json"
    path.write_text(proc.stdout)
    return path


def compare(first, second):
    return subprocess.run([sys.executable, str(SCRIPT), "--compare", str(first), str(second)],
                          capture_output=True, text=True, timeout=60)


def test_two_runs_agree_and_a_changed_frame_is_caught(tmp_path):
    first, second = smoke_run(tmp_path, "first"), smoke_run(tmp_path, "second")
    result = json.loads(first.read_text())
    assert set(result["frames"]) == {"night sky raw16", "pointed rgb24", "flat raw16"}
    assert len(set(result["frames"].values())) == 3
    same = compare(first, second)
    assert same.returncode == 0, same.stdout

    # Another machine, Python and time are no difference; another frame or result is.
    other = dict(json.loads(second.read_text()), machine="aarch64", python="3.14.10", seconds=25.0)
    second.write_text(json.dumps(other))
    assert compare(first, second).returncode == 0
    other["frames"]["flat raw16"] = "0" * 64
    other["calls"]["get_sdk_version[]"] = "0.0"
    second.write_text(json.dumps(other))
    changed = compare(first, second)
    assert changed.returncode == 1
    assert "flat raw16" in changed.stdout and "DIFFERS" in changed.stdout
    assert "get_sdk_version[]" in changed.stdout
