"""The capture tool stopped from outside or by a full disk, as real child processes: the files
left behind are complete (or absent), never a hidden partial file, and the tool says how many
frames it kept."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")

import serread  # noqa: E402

TOOL = [sys.executable, "-m", "velmora.brinmoor.capture"]
# Small frames at a modest rate: a run long enough to be stopped in the middle.
VIDEO = ["video", "-e", "0.005", "--width", "64", "--height", "48", "-q"]


def start(*argv, **env):
    environ = {k: v for k, v in os.environ.items() if k != "ASISIM_CAMERAS"}
    environ.update(env)
    return subprocess.Popen([*TOOL, *map(str, argv)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=environ)


def wait_for(condition, proc, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if proc.poll() is not None:
            raise AssertionError(f"the tool ended early: {proc.communicate()}")
        assert time.monotonic() < deadline, "timed out waiting for the tool"
        time.sleep(0.02)


def part_files(directory):
    return [p for p in Path(directory).rglob(".*.part")]


def kept_frames(stderr, path):
    match = re.search(rf"(\d+) frames written to {re.escape(str(path))}", stderr)
    assert match, stderr
    return int(match.group(1))


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129),
                                            (signal.SIGINT, 130)])
@pytest.mark.parametrize("save", ["ser", "cube", "frames"])
def test_a_signal_during_video_keeps_the_frames_written(tmp_path, signum, status, save):
    out = tmp_path / "night" / "v"
    proc = start(*VIDEO, "-n", 5000, "--save", save, "-o", out)
    # Stop once the run is well under way and a file is being written.
    if save == "frames":
        wait_for(lambda: len(list(tmp_path.rglob("v_*.fits"))) >= 3, proc)
    else:
        wait_for(lambda: any(p.stat().st_size > 20000 for p in part_files(tmp_path)), proc)
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == status, err
    name = signal.Signals(signum).name
    assert (f"stopped by {name}" if signum != signal.SIGINT else "interrupted") in err
    assert part_files(tmp_path) == []  # no hidden partial file
    if save == "ser":
        n = kept_frames(err, out.with_suffix(".ser"))
        header, data, stamps = serread.read(out.with_suffix(".ser"))
        assert header["frames"] == n > 0 and data.shape == (n, 48, 64) and len(stamps) == n
    elif save == "cube":
        n = kept_frames(err, out.with_suffix(".fits"))
        with fits.open(out.with_suffix(".fits")) as hdul:
            hdul.verify("exception")
            assert hdul[0].header["NFRAMES"] == n > 0 and hdul[0].data.shape == (n, 48, 64)
    else:
        files = sorted(p.name for p in out.parent.iterdir())
        assert files and files == [f"v_{i:05d}.fits" for i in range(1, len(files) + 1)]
        for name in files:
            fits.getdata(out.parent / name)  # each one complete


def test_sigterm_during_an_exposure_leaves_no_file_and_no_directory(tmp_path):
    proc = start("snapshot", "-e", 600, "-b", 4, "-o", tmp_path / "new" / "x")
    # The first progress line says the exposure is under way (600 s at the simulator's real
    # time); waiting for it rather than a fixed pause keeps a slow start from racing the signal.
    assert proc.stderr.readline().startswith("Exposure 600 s")
    assert proc.poll() is None
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 143 and "stopped by SIGTERM" in err
    assert list(tmp_path.iterdir()) == []


@pytest.fixture
def small_disk(tmp_path):
    """A file system of its own, 80 MB (tmpfs); skipped where mounting is not allowed."""
    mount = tmp_path / "disk"
    mount.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=80m", "tmpfs", str(mount)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


@pytest.mark.parametrize("save, suffix", [("ser", ".ser"), ("cube", ".fits")])
def test_a_disk_that_fills_during_video_stops_the_run_cleanly(small_disk, save, suffix):
    out = small_disk / "v"
    proc = start(*VIDEO, "-n", 1500, "--save", save, "-o", out)
    wait_for(lambda: any(p.stat().st_size > 20000 for p in part_files(small_disk)), proc)
    # Something else fills the disk while the capture runs.
    with open(small_disk / "filler", "wb", buffering=0) as filler:
        try:
            while True:
                filler.write(b"\0" * (1 << 20))
        except OSError:
            pass
        try:
            while True:
                filler.write(b"\0" * 4096)
        except OSError:
            pass
    _, err = proc.communicate(timeout=120)
    (small_disk / "filler").unlink()
    assert proc.returncode == 1, err
    lines = [l for l in err.strip().splitlines() if ": warning: " not in l]
    assert len(lines) == 1, err  # one line that says it all
    what = "the SER video" if save == "ser" else "the FITS file"
    assert lines[0].startswith(f"orvik-capture video: error: writing {what} {out}{suffix} "
                               "failed: No space left on device; ")
    assert part_files(small_disk) == []
    match = re.search(r"the first (\d+) frames were kept in", lines[0])
    assert match, err
    n = int(match.group(1))
    if save == "ser":
        header, data, _ = serread.read(out.with_suffix(suffix))
        assert header["frames"] == n > 0 and data.shape == (n, 48, 64)
    else:
        with fits.open(out.with_suffix(suffix)) as hdul:
            hdul.verify("exception")
            assert hdul[0].data.shape == (n, 48, 64)


def test_a_run_that_cannot_fit_is_refused_before_it_starts(small_disk):
    # 2000 full 294MC frames in RAW16 are 47 GB; the disk has 80 MB.
    proc = start("video", "-n", 2000, "-t", "raw16", "--save", "ser", "-o", small_disk / "big")
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 1
    assert re.fullmatch(r"orvik-capture video: error: not enough free space in \S+: the capture "
                        r"needs 46\.\d GB and 2\.4 GB are kept free, \d+\.\d MB are available "
                        r"\(--reserve SIZE sets the room kept free\)\n",
                        err), err
    assert list(small_disk.iterdir()) == []


def test_a_stop_while_a_cube_frame_is_written_keeps_that_frame(sim, tmp_path, monkeypatch,
                                                               capsys):
    # The stop request arrives in the middle of the third frame's write, every time: the frame
    # the run received is in the cube, as the SER writer's thread keeps it.
    from velmora.brinmoor.capture import cli
    from velmora.brinmoor.formats import fits as fitsfile

    sim.set_time_scale(1000)
    real_write = fitsfile.FitsWriter.write
    calls = []

    def write(self, array):
        calls.append(1)
        if len(calls) == 3:
            signal.raise_signal(signal.SIGINT)
        return real_write(self, array)

    monkeypatch.setattr(fitsfile.FitsWriter, "write", write)
    out = tmp_path / "v"
    status = cli.main(["video", "--width", "64", "--height", "48", "-n", "50", "--save", "cube",
                       "-o", str(out)])
    err = capsys.readouterr().err
    assert status == 130, err
    assert kept_frames(err, out.with_suffix(".fits")) == len(calls) == 3
    with fits.open(out.with_suffix(".fits")) as hdul:
        assert hdul[0].header["NFRAMES"] == 3 and hdul[0].data.shape == (3, 48, 64)
