"""`make tsan` drives the simulated cameras from many threads: it must do so on a simulated
machine of its own, never in the state folder the user's programs share (it would take their
cameras and leave its temperatures behind). A stand-in compiler builds a stand-in driver that
records the state folder it was given."""

import os
import shutil
import stat
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# The stand-in compiler: whatever it is asked to build is a script that writes the state folder
# it runs in, and whether that folder exists then, to the file the test names.
FAKE_CXX = """#!/bin/sh
while [ $# -gt 0 ]; do
    if [ "$1" = -o ]; then out=$2; fi
    shift
done
cat > "$out" <<'SCRIPT'
#!/bin/sh
dir=${ASISIM_STATE_DIR:-unset}
printf '%s %s\\n' "$dir" "$(test -d "$dir" && echo exists)" > "$TSAN_RECORD"
SCRIPT
chmod +x "$out"
"""


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
def test_make_tsan_runs_in_a_state_folder_of_its_own(tmp_path):
    cxx = tmp_path / "c++"
    cxx.write_text(FAKE_CXX)
    cxx.chmod(cxx.stat().st_mode | stat.S_IXUSR)
    record = tmp_path / "record"
    env = {k: v for k, v in os.environ.items() if k != "ASISIM_STATE_DIR"}
    env["TSAN_RECORD"] = str(record)
    proc = subprocess.run(["make", "-s", "tsan", f"CXX={cxx}", f"TSAN_DIR={tmp_path / 'tsan'}"],
                          cwd=ROOT, env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    folder, exists = record.read_text().split()
    assert exists == "exists" and Path(folder).name.startswith("asisim-tsan-")
    assert not Path(folder).exists()  # removed when the run ended
