"""The Alpaca server's code passes mypy --strict against the installed package and its stub."""

import subprocess
import sys

import pytest


@pytest.mark.slow
def test_alpaca_package_is_strictly_typed(tmp_path):
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path),
         "-p", "velmora.brinmoor.alpaca"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
