"""Frame synthesis speed of the simulated cameras against the frame rates they promise.

Builds a small C++ driver (benchmarks/bench_synthesis.cpp) with the simulator's own synthesis
sources and the system compiler, outside the installed package, and times render_frame at full
resolution on ONE thread for every catalogue model and image type, in CPU time of that thread (so
the figures hold on a machine shared with other work), with every effect of the sensor and optics
model on (as at power-on). Figures per case:
  - rendered: frames per second the synthesis produces;
  - promised: the fastest full-frame rate the timing model lets that camera deliver (USB
    bandwidth 100 %, high-speed mode), the rate synthesis must keep up with;
  - memcpy: frames per second of one plain copy of the frame, the baseline every read pays.
Target: rendered >= promised for every case.

Usage: python benchmarks/bench_synthesis.py [--seconds S] [--model NAME] [--type RAW8|RAW16|Y8|RGB24]
                                           [--bin N]   (whole sensor binned N x N instead)
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCES = [
    "synthesis.cpp", "sky.cpp", "realsky.cpp", "starcatalog.cpp", "celestial.cpp", "sensor.cpp", "catalogue.cpp",
    "timing.cpp", "effects.cpp", "night.cpp", "events.cpp", "optics.cpp", "charge.cpp",
    "kernels.cpp", "starfiles.cpp",
]


def build(directory):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        sys.exit("bench_synthesis: no C++ compiler found (set CXX)")
    exe = os.path.join(directory, "bench_synthesis")
    cmd = [
        compiler,
        "-std=c++20",
        "-O3",
        "-I" + os.path.join(ROOT, "sdk", "include"),
        "-I" + os.path.join(ROOT, "sdk", "src"),
        os.path.join(ROOT, "benchmarks", "bench_synthesis.cpp"),
        *(os.path.join(ROOT, "sdk", "src", name) for name in SOURCES),
        "-o",
        exe,
        "-pthread",
    ]
    subprocess.run(cmd, check=True)
    return exe


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="timing budget per case")
    parser.add_argument("--model", default="", help="only this catalogue model")
    parser.add_argument("--type", default="", help="only this image type")
    parser.add_argument("--bin", type=int, default=1, help="bin the whole sensor N x N")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        exe = build(directory)
        cmd = [exe, str(args.seconds), args.model, args.type, str(args.bin)]
        result = subprocess.run(cmd, check=True, capture_output=True, text=True)
    print(f"bin {args.bin}, one thread")
    print(f"{'model':<20} {'type':<6} {'rendered':>9} {'promised':>9} {'memcpy':>9}  frames/s")
    short = 0
    for line in result.stdout.splitlines():
        name, kind, rendered, promised, baseline = line.split("\t")
        ok = float(rendered) >= float(promised)
        short += not ok
        print(
            f"{name.removeprefix('ZWO '):<20} {kind:<6} {float(rendered):>9.1f} {float(promised):>9.1f}"
            f" {float(baseline):>9.1f}  {'ok' if ok else 'SHORT'}"
        )
    print("all cases keep up with the timing model" if not short else f"{short} case(s) slower than promised")


if __name__ == "__main__":
    main()
