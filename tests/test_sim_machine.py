"""One simulated observatory per machine: seeds of each power-on, the cooler.

Runs in child processes where a run's own power-on is what is measured; every child gets its own
state folder (ASISIM_STATE_DIR) so that it starts from a camera at power-on.
"""

import json
import os
import subprocess
import sys
import time

import numpy as np
import pytest

import simsdk as s

TESTS = os.path.dirname(os.path.abspath(__file__))

# A child's run: four short darks at a high gain (read noise, bias pattern and hot pixels show),
# saved as one array, and what the run says about itself.
DARKS = """
import json, sys
import numpy as np
import simsdk as s
from velmora.brinmoor import asisim
out = sys.argv[1]
first_seed = asisim.seed()
asisim.set_time_scale(100_000)
asisim.set_effect("thermal", False)  # a steady temperature: no drift of the dark signal
asisim.set_effect("cosmic_rays", False)  # a hit in one run's darks would pass for a hot pixel
s.configure(0, 512, 512, img=s.RAW16, gain=300, exposure_s=60)
frames = np.stack([s.grab(0, dark=True) for _ in range(4)])
np.save(out, frames)
serial = asisim.ASI_ID()
assert s.lib.ASIGetSerialNumber(0, serial) == 0
asisim.reset()
print(json.dumps({"seed": first_seed, "seed_after_reset": asisim.seed(), "serial": bytes(serial.id).hex()}))
"""


def run_child(code, tmp_path, name, seed, *args, check=True):
    env = dict(os.environ)
    env.pop("ASISIM_SEED", None)
    if seed is not None:
        env["ASISIM_SEED"] = str(seed)
    env["ASISIM_STATE_DIR"] = str(tmp_path / f"state-{name}")
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, cwd=TESTS,
                          capture_output=True, text=True, timeout=60, check=check)


def darks_in_child(tmp_path, name, seed):
    out = tmp_path / f"{name}.npy"
    proc = run_child(DARKS, tmp_path, name, seed, out)
    return np.load(out), json.loads(proc.stdout)


def noise(frames):
    """What is drawn per frame: a frame minus the next (the fixed pattern cancels)."""
    return (frames[1] - frames[0]).ravel()


def column_pattern(frames):
    """What belongs to the sensor: the bias of each column, averaged over rows and frames."""
    cols = frames.mean(axis=(0, 1))
    return cols - cols.mean()


def corr(a, b):
    return float(np.corrcoef(a, b)[0, 1])


def test_each_run_draws_its_own_noise_on_the_same_sensor(tmp_path):
    a, run_a = darks_in_child(tmp_path, "a", None)
    b, run_b = darks_in_child(tmp_path, "b", None)
    assert run_a["seed"] != run_b["seed"]
    assert run_a["seed_after_reset"] != run_a["seed"]  # a reset is a power-on: a fresh draw
    assert abs(corr(noise(a), noise(b))) < 0.02
    assert not np.array_equal(a, b)
    # The same camera: its serial number, column pattern and hot pixels do not change.
    assert run_a["serial"] == run_b["serial"]
    assert corr(column_pattern(a), column_pattern(b)) > 0.9
    (mean_a, mean_b), level = (f.mean(axis=0) for f in (a, b)), np.median(a)
    for one, other in ((mean_a, mean_b), (mean_b, mean_a)):
        hot = one > level + 4000
        assert hot.sum() > 20 and np.all(other[hot] > level + 2000)


def test_a_seed_repeats_a_run_byte_for_byte(tmp_path):
    a, run_a = darks_in_child(tmp_path, "a", 1234)
    b, run_b = darks_in_child(tmp_path, "b", 1234)
    c, _ = darks_in_child(tmp_path, "c", 1235)
    assert run_a["seed"] == run_a["seed_after_reset"] == run_b["seed"] == 1234
    assert np.array_equal(a, b)
    assert abs(corr(noise(a), noise(c))) < 0.02


@pytest.mark.parametrize("value", ["12x", "-1", "18446744073709551616", " 5"])
def test_a_seed_that_is_not_a_number_is_reported_and_ignored(tmp_path, value):
    proc = run_child("from velmora.brinmoor import asisim; print(asisim.seed())", tmp_path, "x", value)
    assert proc.stderr == (f'asisim: ASISIM_SEED is "{value}", not a number from 0 to '
                           "18446744073709551615; every run draws its own seed\n")


def test_reset_with_a_seed(sim):
    def frame(seed):
        sim.reset(seed=seed)
        sim.set_time_scale(1000)
        s.configure(0, 256, 256, img=s.RAW16, gain=300, exposure_s=0.001)
        data = s.snapshot(0, dark=1)
        assert sim.seed() == seed
        return data

    assert frame(2**64 - 1) == frame(2**64 - 1)
    assert frame(7) == frame(7) != frame(8)
    with pytest.raises(ValueError, match="seed"):
        sim.reset(seed=2**64)
    sim.reset()
    assert sim.seed() == int(os.environ["ASISIM_SEED"])


# ---- the cooler ----


def cool(sim, target, seconds, scale=200.0):
    """Cooler on toward `target` on the ASI294MC Pro at 20 C: temperature and power, sampled
    against simulated time for `seconds`."""
    s.ready(0)
    assert s.set_control(0, s.TARGET_TEMP, target) == s.SUCCESS
    sim.set_time_scale(scale)
    t0 = time.monotonic()
    assert s.set_control(0, s.COOLER_ON, 1) == s.SUCCESS
    samples = []
    while (t := (time.monotonic() - t0) * scale) < seconds:
        samples.append((t, s.control(0, s.TEMPERATURE)[0] / 10.0, s.control(0, s.COOLER_POWER)[0]))
        time.sleep(0.002)
    return samples


def test_cooler_reaches_minus_ten_from_twenty_without_overshoot(sim):
    samples = cool(sim, -10, 300)
    assert samples[0][1] == pytest.approx(20.0, abs=0.3) and samples[0][2] == 100
    reached = next(t for t, temp, _ in samples if temp <= -9.5)
    # About two minutes at full power, then the regulator eases in (docs/simulator.md).
    assert 100 <= reached <= 150
    temps = [temp for _, temp, _ in samples]
    assert min(temps) >= -10.0  # never below the target
    assert all(b <= a + 0.05 for a, b in zip(temps, temps[1:]))  # cools steadily, never bounces back
    settled = [(temp, power) for t, temp, power in samples if t > 250]
    assert settled and all(temp == -10.0 and 80 <= power <= 90 for temp, power in settled)


@pytest.mark.parametrize(
    "target, settles_at, power",
    [
        (-30, -15.0, 100),  # beyond reach: full power holds the rated 35 C below the ambient 20 C
        (0, 0.0, 57),       # a light load: a little over half power
        (25, 20.0, 0),      # above the sensor's own temperature: the cooler has nothing to do
    ],
)
def test_cooler_settles_with_the_power_its_load_takes(sim, target, settles_at, power):
    *_, (_, temp, pwr) = cool(sim, target, 1500, scale=2000)
    assert temp == pytest.approx(settles_at, abs=0.1)
    assert pwr == pytest.approx(power, abs=2)
