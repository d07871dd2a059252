"""Files that never collide and never lie, with the real tool in child processes: two runs on
one name, default names per camera and run, a video killed outright read back to its last
complete frame, and what a later run says about (and does with) the part file left behind."""

import datetime as dt
import errno
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
SMALL = ["-e", "0.005", "--width", "64", "--height", "48", "-t", "raw8", "-q"]


def start(*argv, machine):
    """The tool in a child on a simulated machine of its own (the `machine` folder), with
    fresh noise in every run."""
    environ = {k: v for k, v in os.environ.items() if not k.startswith("ASISIM_")}
    environ["ASISIM_STATE_DIR"] = str(machine)
    return subprocess.Popen([*TOOL, *map(str, argv)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=environ)


def run(*argv, machine):
    proc = start(*argv, machine=machine)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, out, err


@pytest.fixture
def machine(tmp_path_factory):
    """A simulated machine of the test's own: the cameras its runs share, apart from any other
    program's."""
    return tmp_path_factory.mktemp("machine")


def parts(folder):
    return sorted(Path(folder).glob(".*.part"))


def test_two_runs_on_one_name_both_keep_their_own_complete_file(tmp_path, machine):
    out = tmp_path / "night" / "v"
    runs = [start("video", "-c", camera, *SMALL, "-n", 600, "--save", "ser", "-o", out,
                  machine=machine) for camera in (0, 1)]
    results = [(p.wait(timeout=120), *p.communicate()) for p in runs]
    for status, _, err in results:
        assert status == 0, err
    files = sorted(p.name for p in out.parent.iterdir())
    assert files == ["v-2.ser", "v.ser"]  # no part file left, neither replaced the other
    for name in files:
        header, frames, stamps = serread.read(out.parent / name)
        assert header["frames"] == 600 and frames.shape == (600, 48, 64) and len(stamps) == 600
    cameras = {serread.read(out.parent / n)[0]["instrument"] for n in files}
    assert cameras == {"ZWO ASI294MC Pro", "ZWO ASI120MM Mini"}
    said = [o for _, o, _ in results if "was written by another run meanwhile" in o]
    assert len(said) == 1 and f"wrote {out.parent / 'v-2.ser'} (" in said[0]


def test_default_names_are_unique_per_camera_and_run(tmp_path, machine):
    folder = f"{tmp_path}/"
    for camera in (0, 1, 1):
        status, _, err = run("snapshot", "-c", camera, *SMALL, "--no-png", "-o",
                             folder, machine=machine)
        assert status == 0, err
    names = sorted(p.name for p in tmp_path.iterdir())
    assert len(names) == 3
    pattern = r"snapshot-(ASI294MC-Pro|ASI120MM-Mini)-\d{8}-\d{6}-\d{3}\.fits"
    assert all(re.fullmatch(pattern, n) for n in names), names


def wait_for_counted_frames(proc, folder, read_count, at_least=5, timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        assert proc.poll() is None, proc.communicate()
        found = parts(folder)
        if found and found[0].stat().st_size > 4096 and read_count(found[0]) >= at_least:
            return found[0]
        time.sleep(0.05)
    raise AssertionError("the run wrote no counted frames in time")


def ser_count(path):
    return int.from_bytes(path.read_bytes()[38:42], "little")


def fits_count(path):
    try:
        return fits.getheader(path)["NAXIS3"]
    except (OSError, KeyError, ValueError):
        return 0


@pytest.mark.parametrize("save, suffix", [("ser", ".ser"), ("cube", ".fits")])
def test_a_killed_video_reads_to_its_last_complete_frame_and_can_be_finished(tmp_path, machine,
                                                                              save, suffix):
    folder = tmp_path / "night"
    proc = start("video", *SMALL, "-n", 100000, "--save", save, "-o", folder / "v",
                 machine=machine)
    part = wait_for_counted_frames(proc, folder, ser_count if save == "ser" else fits_count)
    time.sleep(1.2)  # more frames, and a count brought up to date since
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=60)
    assert parts(folder) == [part]
    # The part file as a reader finds it: the frames its header counts, every one complete
    # and a real picture (the sky's black level, not zeros of a frame never written).
    if save == "ser":
        header, frames, _ = serread.read(part, strict=False)
        counted = header["frames"]
    else:
        with fits.open(part) as hdul:
            frames = hdul[0].data
            counted = hdul[0].header["NFRAMES"]
            assert hdul[0].header["NAXIS3"] == counted
    assert counted >= 5 and frames.shape == (counted, 48, 64)
    assert (frames.reshape(counted, -1).max(axis=1) > 0).all()
    # Counted at least once a second: at most a second's frames (~200) were not yet counted.
    frame_bytes = 48 * 64
    on_disk = (part.stat().st_size - (178 if save == "ser" else 2880 * 2)) // frame_bytes
    assert on_disk - counted <= 400

    # A later run into the folder reports the dead run's part file with both commands ...
    status, _, err = run("video", *SMALL, "-n", 3, "--save", save, "-o", folder / "w",
                         machine=machine)
    assert status == 0, err
    assert f"{part} is the unfinished file of a run that ended without finishing it" in err
    assert f"orvik-capture finish {part}" in err and f"rm {part}" in err
    assert part.exists()  # ... and leaves it alone
    # ... and `finish` makes it the file it was meant to be, with every complete frame.
    status, out, err = run("finish", part, machine=machine)
    assert status == 0, err
    final = folder / f"v{suffix}"
    match = re.fullmatch(rf"wrote {re.escape(str(final))} \((\d+) frames\)\n", out)
    assert match and int(match.group(1)) >= counted
    kept = int(match.group(1))
    if save == "ser":
        header, frames, stamps = serread.read(final)
        assert header["frames"] == kept and frames.shape == (kept, 48, 64) and stamps is None
    else:
        with fits.open(final) as hdul:
            hdul.verify("exception")
            assert hdul[0].data.shape == (kept, 48, 64) and hdul[0].header["NFRAMES"] == kept
            assert final.stat().st_size % 2880 == 0
    assert parts(folder) == []


def test_a_live_runs_part_file_is_neither_reported_nor_finished(tmp_path, machine):
    proc = start("video", *SMALL, "-n", 100000, "--save", "ser", "-o", tmp_path / "live",
                 machine=machine)
    try:
        part = wait_for_counted_frames(proc, tmp_path, ser_count, at_least=1)
        status, _, err = run("snapshot", "-c", 1, *SMALL, "--no-png", "-o",
                             tmp_path / "other", machine=machine)
        assert status == 0 and "unfinished" not in err
        status, _, err = run("finish", part, machine=machine)
        assert status == 1 and "is being written by a running program" in err
        assert part.exists()
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.communicate(timeout=60)
    assert parts(tmp_path) == [] and (tmp_path / "live.ser").exists()


def test_to_fits_names_the_python_argument(sim, tmp_path):
    from velmora.brinmoor.camera import Camera, Roi

    sim.set_time_scale(1000)
    with Camera(1) as cam:
        cam.set_roi(Roi(64, 48, 1, "raw16"))
        frame = cam.expose(0.01)
    path = frame.to_fits(tmp_path / "f.fits")
    with pytest.raises(FileExistsError, match=r"f\.fits exists \(pass overwrite=True to "
                                              r"replace it\)") as info:
        frame.to_fits(path)
    assert str(info.value) == f"{path} exists (pass overwrite=True to replace it)"
    assert info.value.errno == errno.EEXIST and info.value.filename == str(path)
    assert frame.to_fits(path, overwrite=True) == path


@pytest.mark.parametrize("argv, ratio", [
    ([], 1.3),  # a full colour frame: the FITS file is most of it (once planned at twice)
    (["-c", 1, "-t", "raw8"], None),
    (["--png-size", 0, "-b", 2], None),
])
def test_the_free_space_check_plans_what_is_written(sim, monkeypatch, capsys, tmp_path, argv,
                                                    ratio):
    from velmora.brinmoor.capture import cli
    from velmora.brinmoor.formats import partfile

    sim.set_time_scale(1000)
    planned = []
    real_check = partfile.check_free_space

    def recording(sizes, reserve=None):
        planned.extend(sizes)
        real_check(sizes, reserve)

    monkeypatch.setattr(partfile, "check_free_space", recording)
    assert cli.main(["snapshot", "-e", "1", *map(str, argv), "-o", str(tmp_path / "s")]) == 0, \
        capsys.readouterr().err
    for path, size in planned:
        real = path.stat().st_size
        # Never less than the file (the check would let a disk fill); a FITS file to its two
        # header blocks, a PNG preview at most its reduced image uncompressed.
        assert real <= size
        if path.suffix == ".fits":
            assert size <= real + 2 * 2880
    if ratio is not None:
        assert sum(s for _, s in planned) <= ratio * sum(p.stat().st_size for p, _ in planned)


def test_version_and_a_video_output_that_would_write_nothing(tmp_path, machine):
    from velmora.brinmoor import __version__

    status, out, _ = run("--version", machine=machine)
    assert (status, out) == (0, f"orvik-capture {__version__}\n")
    status, _, err = run("video", *SMALL, "-n", 2, "-o", tmp_path / "v", machine=machine)
    assert status == 0
    assert "warning: -o/--output without --save writes nothing" in err
    assert list(tmp_path.iterdir()) == []


def test_each_file_holds_its_own_frames_exposure_after_a_mid_stream_change(sim, tmp_path):
    """A frame under way when the exposure changes keeps its own exposure and start time, in
    the camera layer's metadata and so in the file written from it; exposures are written as
    the decimals set."""
    from velmora.brinmoor.camera import Camera, Roi

    with Camera(1) as cam:
        cam.set_roi(Roi(64, 48, 1, "raw16"))
        cam.exposure = 0.03
        frames = []
        with cam.stream(timeout=5) as stream:
            for _ in range(4):
                frames.append(stream.read())
            cam.exposure = 0.07  # the next frame is already being exposed at 0.03
            for _ in range(6):
                frames.append(stream.read())
    paths = [frame.to_fits(tmp_path / f"f{n}.fits") for n, frame in enumerate(frames)]
    headers = [fits.getheader(p) for p in paths]
    exposures = [h["EXPTIME"] for h in headers]
    assert exposures[:5] == [0.03] * 5  # the fifth was under way at the change
    assert exposures[-1] == 0.07 and set(exposures) == {0.03, 0.07}
    assert exposures == sorted(exposures)  # one step, never back
    cards = [h.cards["EXPTIME"].image.split("=")[1].split("/")[0].strip() for h in headers]
    assert set(cards) == {"0.03", "0.07"}
    starts = [f.metadata.start for f in frames]
    ends = [f.metadata.end for f in frames]
    for n, header in enumerate(headers):
        start = starts[n].astimezone(dt.timezone.utc)
        assert header["DATE-OBS"] == start.strftime("%Y-%m-%dT%H:%M:%S.") + \
            f"{start.microsecond // 1000:03d}"  # the frame's own start, in its file
        if n:
            assert starts[n] >= ends[n - 1]  # no frame starts before the previous one ended
            # Never earlier; frames a late reader takes from the camera's buffer in one go can
            # share a millisecond (each is stamped when it is read).
            assert header["DATE-OBS"] >= headers[n - 1]["DATE-OBS"]


# A child that writes a file or finishes a part file and is killed outright (SIGKILL: nothing of
# it runs after) just before or just after one of the steps that give a file its final name.
KILLED_AT_A_STEP = r"""
import os, signal, sys
from pathlib import Path
from velmora.brinmoor.formats import partfile, recover

job, step, when, path = sys.argv[1], sys.argv[2], sys.argv[3], Path(sys.argv[4])


def killing(name):
    real = getattr(os, name)

    def call(*args, **kwargs):
        if name == step and when == "before":
            os.kill(os.getpid(), signal.SIGKILL)
        result = real(*args, **kwargs)
        if name == step and when == "after":
            os.kill(os.getpid(), signal.SIGKILL)
        return result

    setattr(os, name, call)


killing("link")
killing("unlink")
if job == "write":
    part = partfile.PartFile(path, "the FITS file")
    part.write(sys.stdin.buffer.read())
    part.commit()
else:
    recover.finish(path)
"""


def cube_part_of_a_killed_run(folder):
    """The part file of a FITS cube whose run was killed: 3 frames counted, half a 4th written;
    frames of 512 bytes, so the padding of the finished file holds more than a frame's size."""
    frames = (np.arange(3 * 16 * 16, dtype=np.int16).reshape(3, 16, 16) + 1)
    header = fits.PrimaryHDU(frames).header.tostring().encode("ascii")
    part = folder / ".cube.fits.4242-0badcafe.part"
    part.write_bytes(header + frames.astype(">i2").tobytes() + b"\x07" * 256)
    return part, frames


@pytest.mark.parametrize("job", ["write", "finish"])
@pytest.mark.parametrize("step, when", [("link", "before"), ("link", "after"),
                                        ("unlink", "after")])
def test_a_kill_at_any_step_of_naming_a_file_leaves_one_copy(tmp_path, machine, job, step, when):
    folder = tmp_path / "night"
    folder.mkdir()
    if job == "write":
        frame = np.arange(64 * 48, dtype=np.uint16).reshape(48, 64)
        data = fits.HDUList([fits.PrimaryHDU(frame)])
        final = folder / "f.fits"
        written = final.with_name("made.fits")
        data.writeto(written)
        wanted, target = written.read_bytes(), final
        written.unlink()
    else:
        target, frames = cube_part_of_a_killed_run(folder)
        final = folder / "cube.fits"
    child = subprocess.run([sys.executable, "-c", KILLED_AT_A_STEP, job, step, when, target],
                           input=wanted if job == "write" else b"", capture_output=True,
                           timeout=60)
    assert child.returncode == -signal.SIGKILL, child.stderr
    # Finish what was left, twice over: the second time finds nothing more to do.
    for _ in range(2):
        for part in parts(folder):
            status, out, err = run("finish", part, machine=machine)
            assert status == 0, err
            if (step, when) == ("link", "after"):
                counted = "1 frame" if job == "write" else "3 frames"
                assert out == f"{final} was already complete ({counted}); removed {part}\n"
    assert sorted(p.name for p in folder.iterdir()) == [final.name]
    if job == "write":
        assert final.read_bytes() == wanted
    else:
        with fits.open(final) as hdul:
            hdul.verify("exception")
            assert hdul[0].header["NAXIS3"] == 3 and (hdul[0].data == frames).all()
