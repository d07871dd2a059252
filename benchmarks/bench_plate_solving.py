"""How many simulated frames astrometry.net solves with the bundled Hipparcos catalogue alone,
on fields the tests never use, beside the fields the tests use (the baseline).

Each field is taken and solved exactly as `tests/test_sim_realsky.py` takes and solves its
frames (ZWO ASI294MC Pro, bin 2, 5 s, star profiles without the pincushion, `solve-field`
without hints, `--tweak-order 1 --downsample 2`, every index file at once, a CPU limit of
30 s), at each focal length asked for (default 500 mm: 2.2 x 1.5 degrees). A field counts as
solved when the solver's centre and scale meet the tests' bounds (half a pixel, 0.1 %).
The figures are what docs/simulator.md quotes; it needs `make solver` (Debian's astrometry.net
and astrometry-data-tycho2-10-19).

    .venv/bin/python benchmarks/bench_plate_solving.py [--focal 500 250] [--held-out-only]
        [--catalog tycho2.stars]
"""

from __future__ import annotations

import argparse
import math
import os
import resource
import sys
import tempfile
from pathlib import Path

import numpy as np

# A simulated machine of this run's own, and the deep catalogue asked for (which a reset keeps
# only when it is the default), before the library is loaded.
os.environ.setdefault("ASISIM_STATE_DIR", tempfile.mkdtemp(prefix="asisim-bench-"))
if "--catalog" in sys.argv[:-1]:
    os.environ["ASISIM_STAR_CATALOG"] = sys.argv[sys.argv.index("--catalog") + 1]
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from test_sim_realsky import HAVE_SOLVER, separation_arcsec, solve, take  # noqa: E402
from velmora.brinmoor import asisim  # noqa: E402

MODEL = "ZWO ASI294MC Pro"
# RA, Dec of the fields the tests and the guide's first measurement used.
TEST_FIELDS = [(283.0, -4.0), (190.0, 30.0), (40.0, 87.0), (120.0, -45.0), (150.0, 60.0)]
# Fields at least 20 degrees from every one of those, across the sky and galactic latitudes.
HELD_OUT = [(15.0, 5.0), (60.0, -30.0), (95.0, 20.0), (170.0, -10.0), (230.0, -55.0),
            (250.0, 45.0), (320.0, 15.0), (350.0, -70.0)]


def measure(ra: float, dec: float, focal: float) -> tuple[str, float, float, float]:
    """"solved", "off" (solved beyond the tests' bounds) or "not solved"; the solver's CPU
    seconds, the centre's offset (arcsec) and the scale's error (per cent)."""
    image, scale = take(asisim, MODEL, ra, dec, focal)
    with tempfile.TemporaryDirectory() as folder:
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        # Only the solver's CPU limit ends a search: a busy machine's wall clock does not.
        wcs = solve(Path(folder), image, wall_s=3600)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        seconds = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    if wcs is None:
        return "not solved", seconds, math.nan, math.nan
    offset = separation_arcsec(wcs["CRVAL1"], wcs["CRVAL2"], ra, dec)
    cd = np.array([[wcs["CD1_1"], wcs["CD1_2"]], [wcs["CD2_1"], wcs["CD2_2"]]])
    solved = math.sqrt(abs(np.linalg.det(cd))) * 3600.0
    error = 100.0 * (solved / scale - 1.0)
    # The tests' own bounds: within about half a pixel, the scale within 0.1 %.
    within = offset < max(3.0, 0.6 * scale) and abs(error) < 0.1
    return "solved" if within else "off", seconds, offset, error


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--focal", type=float, nargs="+", default=[500.0])
    parser.add_argument("--held-out-only", action="store_true")
    parser.add_argument("--catalog", help="a deep .stars catalogue beside Hipparcos")
    args = parser.parse_args()
    bundled, deep, _ = asisim.star_catalog_info()
    print(f"catalogues: {bundled} stars bundled, {deep} deep", flush=True)
    if not HAVE_SOLVER:
        print("solve-field or its Tycho-2 index files are missing: run `make solver`")
        return 1
    groups = [("held out", HELD_OUT)] + ([] if args.held_out_only else [("tests'", TEST_FIELDS)])
    for focal in args.focal:
        for name, fields in groups:
            results = []
            for ra, dec in fields:
                outcome, seconds, offset, error = measure(ra, dec, focal)
                results.append(outcome)
                print(f"{focal:6.0f} mm  {name:8s}  RA {ra:5.1f} Dec {dec:+5.1f}: "
                      f"{outcome:10s} {seconds:5.1f} s CPU  "
                      f"centre {offset:5.2f}\"  scale {error:+.4f} %", flush=True)
            print(f"{focal:6.0f} mm  {name:8s}  {results.count('solved')} of {len(results)} "
                  f"solved within the tests' bounds, {results.count('off')} beyond them",
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
