"""The simulator's settings from the environment of a program started from a shell: the light in
front of the telescope (ASISIM_LIGHT) and the clock's speed (ASISIM_TIME_SCALE), both kept
through a reset."""

import os

import pytest

from subproc import run_python

# Median of a bias-subtracted 2 s frame, the time a 10 s exposure takes, after a reset the same.
PROBE = """
import time
import numpy as np
from velmora.brinmoor import asisim
from velmora.brinmoor.camera import Camera, Roi

def probe():
    with Camera(1) as cam:
        cam.set_roi(Roi(64, 48, 1, "raw16"))
        t0 = time.monotonic()
        frame = cam.expose(10.0)
        took = time.monotonic() - t0
        return float(np.median(frame.array)), took

before = probe()
asisim.reset()
after = probe()
print(before[0], before[1], after[0], after[1])
"""


def run(**env):
    # The session's own simulated machine (ASISIM_STATE_DIR), nothing else of the simulator's.
    environ = {k: v for k, v in os.environ.items()
               if not k.startswith("ASISIM_") or k == "ASISIM_STATE_DIR"}
    environ.update(env)
    proc = run_python(PROBE, check=False, timeout=60, env=environ)
    assert proc.returncode == 0, proc.stderr
    night_a, took_a, night_b, took_b = map(float, proc.stdout.split())
    return (night_a, took_a), (night_b, took_b), proc.stderr


@pytest.mark.parametrize("light, bright, message", [
    ("panel:20000", True, ""),
    ("sky:6", True, ""),
    ("night", False, ""),
    ("panel:-1", False, 'ASISIM_LIGHT "panel:-1" is not night, panel:E'),
    ("lamp:5", False, 'ASISIM_LIGHT "lamp:5" is not night'),
])
def test_the_light_and_the_clock_come_from_the_environment(light, bright, message):
    (level, took), (level_after, took_after), err = run(
        ASISIM_LIGHT=light, ASISIM_TIME_SCALE="1000", ASISIM_CAMERAS="ZWO ASI120MM Mini,"
        "ZWO ASI120MM Mini")
    # 10 simulated seconds in about 10 ms, before and after a reset.
    assert took < 2.0 and took_after < 2.0
    # A panel or a bright sky fills a 10 s frame well beyond the night's few percent.
    assert (level > 0.2 * 65535) == bright and (level_after > 0.2 * 65535) == bright
    assert (message in err) if message else "ASISIM_LIGHT" not in err


DATE_PROBE = """
from velmora.brinmoor import asisim
print(asisim.date(), asisim.pointing(0))
"""


@pytest.mark.parametrize("name, value, message", [
    ("ASISIM_DATE", "2026-02-30", 'ASISIM_DATE "2026-02-30" is neither a date YYYY-MM-DD'),
    ("ASISIM_DATE", "0x7EA", 'ASISIM_DATE "0x7EA" is neither'),
    ("ASISIM_DATE", "2028-02-29", ""),
    ("ASISIM_POINTING", "0x10,5", 'ASISIM_POINTING "0x10,5" is not "ra,dec"'),
    ("ASISIM_POINTING", "1e1,5", 'ASISIM_POINTING "1e1,5" is not'),
    ("ASISIM_POINTING", "16, -5.5", ""),
])
def test_a_date_or_pointing_that_is_not_one_is_refused_in_one_line(name, value, message):
    environ = {k: v for k, v in os.environ.items()
               if not k.startswith("ASISIM_") or k == "ASISIM_STATE_DIR"}
    environ[name] = value
    proc = run_python(DATE_PROBE, timeout=60, env=environ)
    if message:
        assert message in proc.stderr and proc.stderr.count("\n") == 1, proc.stderr
        assert "None" in proc.stdout if name == "ASISIM_POINTING" else proc.stdout.startswith("20")
    else:
        assert name not in proc.stderr
        assert ("2028.16" in proc.stdout) if name == "ASISIM_DATE" else "dec_deg=-5.5" in proc.stdout
