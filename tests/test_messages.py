"""What the package's programs say when something is in the way: a camera another program
holds, a folder that cannot be written, a disk that fills or is nearly full, counts of one, the
time a run has left, and the simulator's and the catalogue converter's own command lines."""

import os
import re
import subprocess
import sys
import time

import pytest

pytest.importorskip("astropy.io.fits")

from velmora.brinmoor import asisim, starcatalog  # noqa: E402
from velmora.brinmoor.camera import ASICameraRemoved, Camera, CameraInUse  # noqa: E402
from velmora.brinmoor.capture import cli  # noqa: E402

TOOL = [sys.executable, "-m", "velmora.brinmoor.capture"]
SMALL = ["--width", "64", "--height", "48"]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def mount_tmpfs(path, options):
    path.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(path)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")


@pytest.fixture
def small_disk(tmp_path):
    """A file system of its own, 80 MB (tmpfs); skipped where mounting is not allowed."""
    disk = tmp_path / "disk"
    mount_tmpfs(disk, "size=80m")
    yield disk
    subprocess.run(["umount", "-l", str(disk)], check=False)


@pytest.fixture
def read_only(tmp_path):
    """A folder nobody may write into: a read-only tmpfs for root (whom permissions do not
    stop), a folder without write permission for anyone else."""
    folder = tmp_path / "ro"
    if os.geteuid() != 0:
        folder.mkdir()
        folder.chmod(0o555)
        yield folder
        folder.chmod(0o755)
        return
    mount_tmpfs(folder, "size=1m,ro")
    yield folder
    subprocess.run(["umount", "-l", str(folder)], check=False)


# -- a camera another program holds ------------------------------------------------------------

def test_a_camera_another_program_holds_is_in_use_not_removed(sim, capsys, tmp_path):
    # The child shares this session's simulated machine (its ASISIM_STATE_DIR).
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom velmora.brinmoor.camera import Camera\n"
                               "with Camera(0):\n    print('open', flush=True)\n"
                               "    sys.stdin.read()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "open\n"
        with pytest.raises(CameraInUse) as caught:
            Camera(0)
        # The SDK's code is the same (camera removed): programs that catch it still do.
        assert isinstance(caught.value, ASICameraRemoved) and caught.value.pid == holder.pid
        status, _, err = run(capsys, "snapshot", "-e", "0.001", "-o", tmp_path / "x")
        assert status == 1
        assert re.fullmatch(rf"orvik-capture snapshot: error: camera 0 \(ZWO ASI294MC Pro\) is "
                            rf"in use by another program, process {holder.pid} \(\S*python\S* "
                            rf"-c import sys .*\): a camera opens in one program at a time\n",
                            err), err
        assert "removed" not in err and "disconnected" not in err
    finally:
        holder.communicate("", timeout=60)
    with Camera(0):  # free again once the other program ends
        pass


# -- output folders and disks ------------------------------------------------------------------

@pytest.mark.parametrize("inside, made_in", [("", False), ("night/", True)])
def test_a_read_only_folder_is_named_with_the_reason(sim, capsys, read_only, inside, made_in):
    folder = read_only / inside.rstrip("/") if inside else read_only
    status, _, err = run(capsys, "sequence", *SMALL, "--bias", 2, "-o", f"{read_only}/{inside}")
    assert status == 1
    reason = "Read-only file system" if os.geteuid() == 0 else "Permission denied"
    where = f" (it would be made in {read_only})" if made_in else ""
    assert err == (f"orvik-capture sequence: error: cannot write the FITS files in {folder}: "
                   f"{reason}{where}\n")


def test_a_sequence_stopped_by_a_full_disk_says_what_it_wrote(small_disk):
    environ = dict(os.environ, ASISIM_TIME_SCALE="10")
    proc = subprocess.Popen([*TOOL, "sequence", "--width", "640", "--height", "480", "--darks",
                             "40x2", "--reserve", "0", "-q", "-o", str(small_disk)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=environ)
    deadline = time.monotonic() + 60
    while not list(small_disk.glob("DARK/*.fits")):
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.02)
    with open(small_disk / "filler", "wb", buffering=0) as filler:  # something else fills it
        for block in (1 << 20, 4096, 1):
            try:
                while True:
                    filler.write(b"\0" * block)
            except OSError:
                pass
    out, err = proc.communicate(timeout=120)
    kept = sorted(small_disk.glob("DARK/*.fits"))
    assert proc.returncode == 1, err
    summary = f"{len(kept)} frame{'s' if len(kept) > 1 else ''} written: DARK {len(kept)} in "
    assert re.fullmatch(rf"orvik-capture sequence: error: writing the FITS file \S+ failed: No "
                        rf"space left on device; {summary}{small_disk}/DARK\n", err), err
    assert not list(small_disk.rglob(".*.part"))


@pytest.mark.parametrize("argv, environ, status", [
    ([], {}, 1),                                    # 64 MiB + 5 % kept free: 80 MB is too little
    (["--reserve", "0"], {}, 0),                    # nothing kept free
    (["--reserve", "60M"], {}, 1),
    ([], {"ORVIK_CAPTURE_RESERVE": "20MB"}, 0),
    (["--reserve", "64MiB"], {"ORVIK_CAPTURE_RESERVE": "0"}, 1),  # the option wins
    ([], {"ORVIK_CAPTURE_RESERVE": "lots"}, 2),
])
def test_the_room_kept_free_can_be_set(sim, capsys, monkeypatch, small_disk, argv, environ,
                                       status):
    # A full frame of the ASI294MC Pro: a 23.4 MB FITS file and its PNG preview.
    for name, value in environ.items():
        monkeypatch.setenv(name, value)
    got, _, err = run(capsys, "snapshot", "-e", "0.001", "-q", "-o", small_disk / "x", *argv)
    assert got == status, err
    if status == 1:
        assert re.fullmatch(r"orvik-capture snapshot: error: not enough free space in \S+: the "
                            r"capture needs \d+\.\d MB and \d+\.\d MB are kept free, \d+\.\d MB "
                            r"are available \(--reserve SIZE sets the room kept free\)\n", err)
    elif status == 2:
        assert err.startswith("orvik-capture snapshot: error: ORVIK_CAPTURE_RESERVE: 'lots' is "
                              "not a size")
    assert (small_disk / "x.fits").exists() == (status == 0)


# -- counts and times --------------------------------------------------------------------------

@pytest.mark.parametrize("argv, said", [
    (["video", *SMALL, "-n", 1], r"1 frame in \S+ s: .*, 0 dropped, 0 time-outs"),
    (["sequence", *SMALL, "--bias", 1], r"1 frame written: BIAS 1 in \S+"),
])
def test_a_count_of_one_is_singular(sim, capsys, tmp_path, argv, said):
    status, out, err = run(capsys, *argv, "-o", f"{tmp_path}/")
    assert status == 0, err
    assert re.fullmatch(said, out.splitlines()[0]), out


def test_the_time_left_is_wall_clock_time_on_a_sped_up_camera(sim, capsys, tmp_path):
    sim.set_time_scale(1000)  # three 60 s lights take well under a second
    status, _, err = run(capsys, "sequence", *SMALL, "--lights", "3x60", "-o", tmp_path)
    assert status == 0, err
    left = re.search(r"^LIGHT 1/3 .* (\d+):(\d\d) left$", err, re.MULTILINE)
    assert left, err
    assert 60 * int(left[1]) + int(left[2]) < 10, err  # not the two minutes of camera time


# -- the simulator's and the catalogue converter's command lines -------------------------------

@pytest.mark.parametrize("argv, status, out, err", [
    (["--version"], 0, r"orvik-sim \d+\.\d+\S*\n", ""),
    (["warm-up"], 2, "", r"orvik-sim: error: argument command: invalid choice: 'warm-up' .*"
                         r"\(see 'orvik-sim --help'\)\n"),
])
def test_orvik_sim_has_a_version_and_one_line_errors(capsys, argv, status, out, err):
    with pytest.raises(SystemExit) as stopped:
        asisim.main(argv)
    assert stopped.value.code == status
    got = capsys.readouterr()
    assert re.fullmatch(out, got.out) and re.fullmatch(err, got.err), got


@pytest.mark.parametrize("text, status, said", [
    ("ra,dec,vmag\n10.5,20.25,5.1\n", 1,
     "starcatalog: {csv}: no column named mag (the columns are ra, dec, vmag; a CSV needs ra, "
     "dec and mag)\n"),
    ("ra,vmag\n10.5,5.1\n", 1, "starcatalog: {csv}: no columns named dec and mag (the columns "
                               "are ra, vmag; a CSV needs ra, dec and mag)\n"),
    ("ra,dec,mag\n10.5,20.25,5.1\n", 0, "{out}: 1 star, complete to about V 5.25, epoch 2000.0\n"),
])
def test_a_star_csv_names_its_missing_column(capsys, tmp_path, text, status, said):
    csv, out = tmp_path / "stars.csv", tmp_path / "stars.stars"
    csv.write_text(text)
    assert starcatalog.main(["csv", str(csv), "-o", str(out)]) == status
    got = capsys.readouterr()
    assert (got.err if status else got.out) == said.format(csv=csv, out=out)
