"""The capture tool end to end on the simulated cameras: files, headers, previews, errors."""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

import journal

np = pytest.importorskip("numpy")
fits = pytest.importorskip("astropy.io.fits")
PIL_Image = pytest.importorskip("PIL.Image")

from velmora.brinmoor import asisim  # noqa: E402
from velmora.brinmoor.capture import cli  # noqa: E402
from velmora.brinmoor.capture.commands import snapshot as snapshot_command  # noqa: E402

# The simulator's catalogue; each model must work with the tool.
MODELS = asisim.models()

# SDK return codes used to inject faults.
CODE_CAMERA_REMOVED = 5
CODE_TIMEOUT = 11
CODE_INVALID_SIZE = 8
CODE_EXPOSURE_IN_PROGRESS = 15
EXP_FAILED = 3


@pytest.fixture
def fast(sim):
    """The simulator at power-on, with time running 1000 times faster."""
    sim.set_time_scale(1000)
    return sim


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def snapshot(capsys, tmp_path, *argv, name="shot"):
    base = tmp_path / name
    status, out, err = run(capsys, "snapshot", "-o", base, *argv)
    assert status == 0, err
    return base.with_suffix(".fits"), base.with_suffix(".png"), err


# -- list and info -----------------------------------------------------------------------------

def test_list_shows_the_connected_cameras(fast, capsys):
    status, out, _ = run(capsys, "list")
    assert status == 0
    lines = out.splitlines()
    assert lines[0].split() == ["Index", "ID", "Name", "Resolution", "Sensor"]
    assert lines[1].split() == ["0", "0", "ZWO", "ASI294MC", "Pro", "4144x2822", "colour", "(RGGB)"]
    assert lines[2].split() == ["1", "1", "ZWO", "ASI120MM", "Mini", "1280x960", "mono"]
    assert len(lines) == 3


def test_without_cameras(fast, capsys, tmp_path):
    fast.unplug(0)
    fast.unplug(1)
    status, out, _ = run(capsys, "list")
    assert (status, out.strip()) == (0, "No cameras connected.")
    status, _, err = run(capsys, "snapshot", "-o", tmp_path / "x")
    assert status == 1 and "no cameras connected" in err


@pytest.mark.parametrize("index", [0, 1])
def test_info_lists_every_control_with_its_value(fast, orvik, capsys, index):
    status, out, _ = run(capsys, "info", "--camera", index)
    assert status == 0
    info = orvik.get_camera_property(index)
    assert out.startswith(f"Camera {index}: {info.name}\n")
    assert f"{info.max_width} x {info.max_height} pixels" in out
    types_line = next(l for l in out.splitlines() if l.strip().startswith("Image types"))
    listed = types_line.split(None, 2)[2].split(", ")
    assert sorted(listed) == sorted({t.name[4:].lower() for t in info.supported_video_formats})
    serial = next(l for l in out.splitlines() if l.strip().startswith("Serial number"))
    assert serial.split()[-1].isprintable() and len(serial.split()) == 3
    table = out.split("\nControls (", 1)[1].splitlines()
    count = int(table[0].split(")")[0])
    rows = {line.split("  ")[1].strip(): line for line in table[2:]}
    cam = info.camera_id
    orvik.open_camera(cam)
    try:
        orvik.init_camera(cam)
        assert count == orvik.get_num_of_controls(cam) == len(table) - 2
        for i in range(count):
            caps = orvik.get_control_caps(cam, i)
            row = rows[caps.name].split()
            value, _ = orvik.get_control_value(cam, caps.control_type)
            if caps.control_type != orvik.ControlType.ASI_TEMPERATURE:  # drifts meanwhile
                assert row[len(caps.name.split())] == str(value)
            assert str(caps.max_value) in row and str(caps.min_value) in row
    finally:
        orvik.close_camera(cam)
    # The tool closed the camera after itself: opening it again worked above.


def test_a_control_unknown_to_the_module_is_listed_and_left_alone(fast, capsys, tmp_path):
    caps = fast.ASI_CONTROL_CAPS(Name=b"FutureControl", Description=b"added by a newer SDK",
                                 MaxValue=9, MinValue=0, DefaultValue=1, IsWritable=1,
                                 ControlType=99)
    fast.script("ASIGetControlCaps", 0, caps)
    status, out, err = run(capsys, "info")
    assert status == 0, err
    assert "FutureControl" in out and "added by a newer SDK" in out
    fast.script("ASIGetControlCaps", 0, caps)
    snapshot(capsys, tmp_path, "-b", 4)  # the scripted record stands in for the gain control


def test_camera_facts_unknown_to_the_module(fast, orvik, capsys, tmp_path):
    real = orvik.get_camera_property(0)
    record = fast.ASI_CAMERA_INFO(Name=real.name.encode(), CameraID=0,
                                  MaxWidth=real.max_width, MaxHeight=real.max_height,
                                  IsColorCam=1, BayerPattern=9, PixelSize=real.pixel_size,
                                  BitDepth=real.bit_depth)
    record.SupportedBins[0:4] = [1, 2, 3, 4]
    record.SupportedVideoFormat[0:3] = [2, 7, -1]  # RAW16 and a type from a newer SDK
    fast.script("ASIGetCameraProperty", 0, record)
    status, out, err = run(capsys, "info")
    assert status == 0, err
    assert "unknown to this module" in out
    fast.script("ASIGetCameraProperty", 0, record)
    fits_path, png_path, _ = snapshot(capsys, tmp_path, "-b", 4)
    assert "BAYERPAT" not in fits.getheader(fits_path)
    with PIL_Image.open(png_path) as im:
        assert im.mode == "L"


# -- snapshot ----------------------------------------------------------------------------------

def expected_roi(info, bin):
    w, h = info.max_width // bin, info.max_height // bin
    return w - w % 8, h - h % 2


def check_files(fits_path, png_path, info, bin, img_type, colour):
    width, height = expected_roi(info, bin)
    with fits.open(fits_path) as hdul:
        hdul.verify("exception")
        h, data = hdul[0].header, hdul[0].data
        assert h["INSTRUME"] == info.name
        assert (h["XBINNING"], h["YBINNING"]) == (bin, bin)
        assert h["XPIXSZ"] == pytest.approx(info.pixel_size * bin, abs=1e-3)
        assert "CCD-TEMP" in h and "DATE-OBS" in h and "GAIN" in h and "OFFSET" in h
        assert ("BAYERPAT" in h) == (colour and img_type in ("raw8", "raw16"))
        planes = (3,) if img_type == "rgb24" else ()
        assert data.shape == planes + (height, width)
        assert h["BITPIX"] == (16 if img_type == "raw16" else 8)
        assert h.get("BZERO") == (32768 if img_type == "raw16" else None)
        assert data.std() > 0  # a synthesised scene with noise, not an empty buffer
    with PIL_Image.open(png_path) as im:
        im.verify()
    with PIL_Image.open(png_path) as im:
        # Reduced to the default preview size, in proportion.
        longest = max(width, height)
        if longest <= snapshot_command.PREVIEW_SIZE:
            assert im.size == (width, height)
        else:
            assert max(im.size) == snapshot_command.PREVIEW_SIZE
            assert im.size[0] / im.size[1] == pytest.approx(width / height, rel=2e-3)
        assert im.mode == ("RGB" if colour and img_type != "y8" else "L")


@pytest.mark.parametrize("model", MODELS)
def test_snapshot_on_every_model(fast, orvik, capsys, tmp_path, model):
    fast.reset(model)
    fast.set_time_scale(1000)
    info = orvik.get_camera_property(0)
    bin = max(info.supported_bins)
    fits_path, png_path, _ = snapshot(capsys, tmp_path, "-e", 1, "-b", bin)
    check_files(fits_path, png_path, info, bin, "raw16", info.is_color_camera)


@pytest.mark.slow
@pytest.mark.parametrize("model", MODELS)
def test_full_resolution_snapshot_on_every_model(fast, orvik, capsys, tmp_path, model):
    fast.reset(model)
    fast.set_time_scale(1000)
    info = orvik.get_camera_property(0)
    fits_path, png_path, _ = snapshot(capsys, tmp_path, "-e", 2)
    check_files(fits_path, png_path, info, 1, "raw16", info.is_color_camera)


@pytest.mark.parametrize("img_type", ["raw8", "raw16", "rgb24", "y8"])
@pytest.mark.parametrize("index", [0, 1])
def test_snapshot_image_types(fast, orvik, capsys, tmp_path, img_type, index):
    info = orvik.get_camera_property(index)
    supported = [t.name for t in info.supported_video_formats]
    if f"IMG_{img_type.upper()}" not in supported:
        status, _, err = run(capsys, "snapshot", "-c", index, "-t", img_type, "-o", tmp_path / "x")
        assert status == 2 and f"image type {img_type} is not supported" in err
        assert list(tmp_path.iterdir()) == []
        return
    fits_path, png_path, _ = snapshot(capsys, tmp_path, "-c", index, "-b", 2, "-t", img_type)
    check_files(fits_path, png_path, info, 2, img_type, info.is_color_camera)


def test_settings_reach_the_camera_and_the_header(fast, capsys, tmp_path):
    fits_path, _, _ = snapshot(capsys, tmp_path, "-e", 0.5, "-g", 200, "--offset", 40, "-b", 2,
                               "--width", 640, "--height", 480, "--start-x", 101, "--start-y", 50)
    h = fits.getheader(fits_path)
    assert (h["EXPTIME"], h["GAIN"], h["OFFSET"]) == (0.5, 200, 40)
    assert (h["NAXIS1"], h["NAXIS2"], h["YORGSUBF"]) == (640, 480, 50)
    # The header holds the origin the camera took (it may round it), and its Bayer phase.
    assert h["XORGSUBF"] in (100, 101)
    assert (h["XBAYROFF"], h["YBAYROFF"]) == (h["XORGSUBF"] % 2, 0)
    assert h["IMAGETYP"] == "Light Frame"
    calls = journal.lines(fast)
    assert "ASISetROIFormat(0, 640, 480, 2, 2)" in calls
    assert "ASISetStartPos(0, 101, 50)" in calls
    assert "ASISetControlValue(0, 0, 200, 0)" in calls
    assert "ASISetControlValue(0, 5, 40, 0)" in calls
    assert "ASISetControlValue(0, 1, 500000, 0)" in calls
    assert journal.calls_to(fast, "ASIStartExposure") == ["ASIStartExposure(0, 0)"]
    assert journal.last(fast) == "ASICloseCamera(0)"


def test_dark_frame(fast, capsys, tmp_path):
    fits_path, _, _ = snapshot(capsys, tmp_path, "--dark", "-b", 4)
    assert fits.getheader(fits_path)["IMAGETYP"] == "Dark Frame"
    assert journal.calls_to(fast, "ASIStartExposure") == ["ASIStartExposure(0, 1)"]


def test_cooler(fast, capsys, tmp_path):
    fits_path, _, _ = snapshot(capsys, tmp_path, "--cooler", -10, "--cooler-wait", 30,
                                   "--cooler-settle", 0.2, "-b", 4)
    h = fits.getheader(fits_path)
    assert h["SET-TEMP"] == -10.0
    calls = journal.lines(fast)
    assert "ASISetControlValue(0, 16, -10, 0)" in calls  # target temperature
    assert "ASISetControlValue(0, 17, 1, 0)" in calls  # cooler on


def test_long_exposure_shows_progress(fast, capsys, tmp_path):
    # 60 s last 60 ms here: long enough to be seen working, however busy the machine.
    _, _, err = snapshot(capsys, tmp_path, "-e", 60, "-b", 4)
    assert "Exposure 60 s [" in err and "Exposure done" in err
    _, _, err = snapshot(capsys, tmp_path, "-e", 60, "-b", 4, "-q", "--overwrite")
    assert err == ""


def test_ctrl_c_stops_the_exposure_and_closes_the_camera(fast, capsys, tmp_path, monkeypatch):
    from velmora.brinmoor.camera.handle import CameraHandle

    def interrupt(_self, _seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(CameraHandle, "pause", interrupt)
    fast.set_time_scale(1)
    status, _, err = run(capsys, "snapshot", "-e", 30, "-b", 4, "-o", tmp_path / "x")
    assert status == 130 and "interrupted" in err
    assert journal.calls_to(fast, "ASIStopExposure") == ["ASIStopExposure(0)"]
    assert journal.last(fast) == "ASICloseCamera(0)"
    assert list(tmp_path.iterdir()) == []


def test_existing_output_is_kept_unless_overwrite(fast, capsys, tmp_path):
    (tmp_path / "shot.png").write_bytes(b"keep me")
    status, _, err = run(capsys, "snapshot", "-b", 4, "-o", tmp_path / "shot")
    assert status == 2 and "shot.png exists" in err
    assert (tmp_path / "shot.png").read_bytes() == b"keep me"
    assert not (tmp_path / "shot.fits").exists()
    assert journal.calls_to(fast, "ASIStartExposure") == []  # refused before exposing
    snapshot(capsys, tmp_path, "-b", 4, "--overwrite")
    assert (tmp_path / "shot.png").read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["-c", 2], "no camera with index 2: 2 connected"),
        (["-c", 1, "-b", 3], "bin 3 is not supported by camera 1 (ZWO ASI120MM Mini)"),
        (["-c", 1, "-t", "rgb24"], "image type rgb24 is not supported"),
        (["--width", 100], "ROI width 100 is not a multiple of 8"),
        (["--height", 101], "ROI height 101 is not a multiple of 2"),
        (["--width", 4152], "does not fit the sensor"),
        (["-b", 2, "--height", 1412], "does not fit the sensor"),
        (["--width", 640, "--start-x", 4000], "start x 4000 puts the ROI outside"),
        (["-g", 100000], "gain 100000 is out of range"),
        (["--offset", -1], "offset -1 is out of range"),
        (["-e", 1e6], "exposure 1e+06 s is out of range"),
        (["-c", 1, "--cooler", -10], "has no cooler"),
    ],
)
def test_values_the_camera_cannot_take(fast, capsys, tmp_path, argv, message):
    status, out, err = run(capsys, "snapshot", "-o", tmp_path / "x", *argv)
    assert status == 2
    assert message in err and err.startswith("orvik-capture snapshot: error:")
    assert list(tmp_path.iterdir()) == []
    assert journal.calls_to(fast, "ASIStartExposure") == []
    closes = journal.calls_to(fast, "ASICloseCamera")
    assert len(closes) == len(journal.calls_to(fast, "ASIOpenCamera"))


@pytest.mark.parametrize(
    "function, code, step, exception",
    [
        ("ASIOpenCamera", CODE_CAMERA_REMOVED, "opening the camera", "ASICameraRemoved"),
        ("ASISetROIFormat", CODE_INVALID_SIZE, "setting the ROI format", "ASIInvalidSize"),
        ("ASIStartExposure", CODE_EXPOSURE_IN_PROGRESS, "starting the exposure",
         "ASIExposureInProgress"),
        ("ASIGetDataAfterExp", CODE_CAMERA_REMOVED, "reading the image", "ASICameraRemoved"),
    ],
)
def test_sdk_errors_exit_1_with_the_reason(fast, capsys, tmp_path, function, code, step,
                                           exception):
    fast.script(function, code)
    status, _, err = run(capsys, "snapshot", "-b", 4, "-o", tmp_path / "x")
    assert status == 1
    assert f"{step} failed on camera 0 (ZWO ASI294MC Pro): {exception}:" in err
    assert list(tmp_path.iterdir()) == []
    if function != "ASIOpenCamera":
        assert journal.last(fast) == "ASICloseCamera(0)"


def test_failed_exposure(fast, capsys, tmp_path):
    fast.script("ASIGetExpStatus", 0, struct.pack("<i", EXP_FAILED))
    status, _, err = run(capsys, "snapshot", "-b", 4, "-o", tmp_path / "x")
    assert status == 1 and "the exposure failed on camera 0" in err
    assert journal.calls_to(fast, "ASIStopExposure") == ["ASIStopExposure(0)"]
    assert journal.last(fast) == "ASICloseCamera(0)"


def test_exposure_that_never_ends_times_out(fast, capsys, tmp_path):
    fast.set_time_scale(1)
    status, _, err = run(capsys, "snapshot", "-e", 600, "--timeout", 0.2, "-b", 4,
                         "-o", tmp_path / "x")
    assert status == 1 and "did not finish within 0.2 s" in err
    assert journal.calls_to(fast, "ASIStopExposure") == ["ASIStopExposure(0)"]


# -- video -------------------------------------------------------------------------------------
# Video runs at time scale 1: frame waits are simulated time too, and a 0.5 s wait sped up
# 1000 times is shorter than the scheduling jitter of the simulator's video thread.

def video_summary(out):
    line = next(l for l in out.splitlines() if "fps measured" in l)
    words = line.replace(":", "").replace(",", "").split()
    # "30 frames in 0.012 s: 2500.00 fps measured, 0 dropped, 0 time-outs"
    return {"frames": int(words[0]), "fps": float(words[5]), "dropped": int(words[8]),
            "timeouts": int(words[10])}


def test_video_reports_frame_rate_and_dropped_frames(sim, capsys):
    status, out, err = run(capsys, "video", "-n", 30, "-e", 0.001, "--width", 320, "--height", 240)
    assert status == 0, err
    summary = video_summary(out)
    assert summary["frames"] == 30 and summary["fps"] > 0 and summary["timeouts"] == 0
    assert summary["dropped"] >= 0
    # One read a frame, and on a busy machine a read whose wait ran out is tried again.
    assert len(journal.calls_to(sim, "ASIGetVideoData")) >= 30
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(0)"]
    assert "Video [" in err


@pytest.mark.parametrize("img_type, planes", [("raw8", ()), ("raw16", ()), ("rgb24", (3,))])
def test_video_cube(sim, capsys, tmp_path, img_type, planes):
    status, out, err = run(capsys, "video", "-n", 5, "-e", 0.001, "-t", img_type, "--width", 64,
                           "--height", 48, "--save", "cube", "-o", tmp_path / "v")
    assert status == 0, err
    with fits.open(tmp_path / "v.fits") as hdul:
        hdul.verify("exception")
        assert hdul[0].data.shape == (5,) + planes + (48, 64)
        assert hdul[0].header["NFRAMES"] == 5
        assert hdul[0].header["DATE-END"] >= hdul[0].header["DATE-OBS"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["v.fits"]


def test_video_frames_as_files(sim, capsys, tmp_path):
    status, _, err = run(capsys, "video", "-n", 12, "-e", 0.001, "--width", 64, "--height", 48,
                         "--save", "frames", "-o", tmp_path / "f")
    assert status == 0, err
    names = sorted(p.name for p in tmp_path.iterdir())
    # One width for every run: five digits, as the guide says.
    assert names == [f"f_{i:05d}.fits" for i in range(1, 13)]
    assert fits.getdata(tmp_path / "f_00012.fits").shape == (48, 64)


def test_video_survives_a_time_out(sim, capsys):
    # Frames 0.3 s apart, waited for 0.2 s at a time: some waits end without a frame.
    status, out, err = run(capsys, "video", "-n", 3, "-e", 0.3, "--frame-timeout", 0.2,
                           "--width", 64, "--height", 48)
    assert status == 0, err
    summary = video_summary(out)
    assert summary["frames"] == 3 and summary["timeouts"] >= 1


def test_video_gives_up_after_repeated_time_outs(sim, capsys, tmp_path):
    status, _, err = run(capsys, "video", "-n", 5, "-e", 30, "--frame-timeout", 0.1,
                         "--width", 64, "--height", 48, "--save", "cube", "-o", tmp_path / "v")
    assert status == 1 and "3 times in a row (0 frames received)" in err
    assert list(tmp_path.iterdir()) == []  # no partial cube
    assert journal.calls_to(sim, "ASIStopVideoCapture") == ["ASIStopVideoCapture(0)"]
    assert journal.last(sim) == "ASICloseCamera(0)"


def test_a_time_out_the_sdk_reports_early_is_waited_out(sim, capsys):
    # The layer reads in short steps; a step that ends without a frame is no time-out yet.
    sim.script("ASIGetVideoData", CODE_TIMEOUT)
    status, out, err = run(capsys, "video", "-n", 5, "-e", 0.001, "--width", 64, "--height", 48)
    assert status == 0, err
    assert video_summary(out) | {"fps": 0, "dropped": 0} == {
        "frames": 5, "timeouts": 0, "fps": 0, "dropped": 0}


def test_video_camera_removed_mid_run(sim, capsys):
    sim.script("ASIGetVideoData", 0, b"")
    sim.script("ASIGetVideoData", CODE_CAMERA_REMOVED)
    status, _, err = run(capsys, "video", "-n", 5, "-e", 0.001, "--width", 64, "--height", 48)
    assert status == 1
    assert "reading a video frame failed on camera 0 (ZWO ASI294MC Pro): ASICameraRemoved" in err


# -- as installed ------------------------------------------------------------------------------

def test_console_script_runs_on_the_load_time_cameras(tmp_path):
    script = Path(sys.executable).with_name("orvik-capture")
    assert script.exists()
    env = dict(os.environ, ASISIM_CAMERAS="ZWO ASI224MC,ZWO ASI178MM")
    proc = subprocess.run([str(script), "list"], capture_output=True, text=True, env=env,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "ZWO ASI224MC" in proc.stdout and "ZWO ASI178MM" in proc.stdout
    proc = subprocess.run([sys.executable, "-m", "velmora.brinmoor.capture", "snapshot", "-e",
                           "soon"], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 2 and "'soon' is not a number" in proc.stderr


# -- outputs, warnings and messages ------------------------------------------------------------

def test_output_ending_in_a_separator_is_a_directory_to_write_into(fast, capsys, tmp_path):
    status, out, err = run(capsys, "snapshot", "-b", 4, "-o", f"{tmp_path}/ex/")
    assert status == 0, err
    files = sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*"))
    assert files[0] == "ex" and len(files) == 3
    assert files[1].startswith("ex/snapshot-") and files[1].endswith(".fits")
    assert files[2] == files[1][:-5] + ".png"


@pytest.mark.parametrize(
    "argv, status",
    [
        (["-c", 5], 2),  # no such camera
        (["-g", 100000], 2),  # a gain out of range
        (["-e", 600, "--timeout", 0.2], 1),  # an exposure that times out
    ],
)
def test_error_paths_create_no_directories(fast, capsys, tmp_path, argv, status):
    fast.set_time_scale(1)
    got, _, err = run(capsys, "snapshot", "-b", 4, "-o", tmp_path / "a" / "b" / "x", *argv)
    assert got == status, err
    assert list(tmp_path.iterdir()) == []


def test_no_cameras_creates_no_directories(fast, capsys, tmp_path):
    fast.unplug(0)
    fast.unplug(1)
    status, _, err = run(capsys, "video", "--save", "ser", "-o", tmp_path / "a" / "v")
    assert status == 1 and "no cameras" in err.lower()
    assert list(tmp_path.iterdir()) == []


def test_unwritable_output_is_found_before_exposing(fast, capsys):
    if not os.path.ismount("/sys"):
        pytest.skip("/sys is not sysfs here")
    status, _, err = run(capsys, "snapshot", "-e", 300, "-o", "/sys/orvik-x")
    assert status == 1
    assert err == ("orvik-capture snapshot: error: cannot write the FITS file /sys/orvik-x.fits: "
                   "Permission denied in /sys\n")
    assert journal.calls_to(fast, "ASIOpenCamera") == []  # the camera was never touched


def test_a_file_error_says_what_and_which_file(fast, capsys, tmp_path, monkeypatch):
    from velmora.brinmoor.formats import partfile as output

    def full(self, data):
        raise output.output_error(self.what, self.path, OSError(28, "No space left on device"))

    monkeypatch.setattr(output.PartFile, "write", full)
    status, _, err = run(capsys, "snapshot", "-q", "-b", 4, "-o", tmp_path / "d" / "x")
    assert status == 1
    assert err == (f"orvik-capture snapshot: error: writing the FITS file {tmp_path}/d/x.fits "
                   "failed: No space left on device\n")
    assert list(tmp_path.iterdir()) == []  # neither partial file nor directory


def test_quiet_keeps_warnings(fast, capsys, tmp_path):
    # RAW8 of a short exposure of the simulated sky: black, which deserves a word even with -q.
    _, _, err = snapshot(capsys, tmp_path, "-q", "-t", "raw8", "-e", 0.0001, "-g", 0)
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("orvik-capture: warning: the frame is almost "
                                                   "black:")
    assert "try a longer exposure than 0.0001 s (-e)" in lines[0] and "-t raw16" in lines[0]


def test_a_well_exposed_frame_gets_no_warning(fast, capsys, tmp_path):
    _, _, err = snapshot(capsys, tmp_path, "-q", "-e", 5, "-b", 4)
    assert err == ""


def test_adjusted_start_position_is_reported(fast, capsys, tmp_path):
    _, _, err = snapshot(capsys, tmp_path, "-q", "-b", 2, "--width", 640, "--height", 480,
                         "--start-x", 101, "--start-y", 51)
    h = fits.getheader(tmp_path / "shot.fits")
    if (h["XORGSUBF"], h["YORGSUBF"]) == (101, 51):
        assert "adjusted" not in err
    else:
        assert (f"adjusted the start position to x {h['XORGSUBF']}, y {h['YORGSUBF']} "
                "(asked: x 101, y 51)") in err


def test_cooler_wait_needs_cooler(fast, capsys, tmp_path):
    status, _, err = run(capsys, "snapshot", "--cooler-wait", 60, "-o", tmp_path / "x")
    assert status == 2
    assert err == ("orvik-capture snapshot: error: --cooler-time-limit needs --cooler (the "
                   "target temperature to wait for)\n")


def test_help_says_what_the_current_value_is(capsys):
    assert cli.main(["snapshot", "--help"]) == 0
    text = " ".join(capsys.readouterr().out.split())
    assert "each run opens the camera afresh, so that is its power-on default" in text


@pytest.mark.parametrize("size, longest", [(100, 100), (0, 1032)])
def test_preview_size_option(fast, capsys, tmp_path, size, longest):
    _, png_path, _ = snapshot(capsys, tmp_path, "-b", 4, "--png-size", size)
    with PIL_Image.open(png_path) as im:
        assert max(im.size) == longest  # 0: the frame's own size, 1032 x 704 at bin 4


def test_video_as_ser(sim, capsys, tmp_path):
    import serread

    status, out, err = run(capsys, "video", "-n", 6, "-e", 0.001, "--width", 64, "--height", 48,
                           "--start-x", 11, "--start-y", 20, "--save", "ser", "-o", tmp_path / "v")
    assert status == 0, err
    assert f"wrote {tmp_path}/v.ser (6 frames)" in out
    header, data, stamps = serread.read(tmp_path / "v.ser")
    assert header["frames"] == 6 and data.shape == (6, 48, 64)
    assert header["instrument"] == "ZWO ASI294MC Pro"
    # The 294's RGGB cell as seen from the frame's own top-left pixel (where the camera put it).
    moved = re.search(r"start position to x (\d+), y (\d+)", err)
    x, y = (int(moved[1]), int(moved[2])) if moved else (11, 20)
    assert header["color_id"] == {(0, 0): 8, (1, 0): 9, (0, 1): 10, (1, 1): 11}[(x % 2, y % 2)]
    assert stamps == sorted(stamps) and len(set(stamps)) == 6


def test_misspelled_simulated_camera_is_an_error(capsys, monkeypatch):
    monkeypatch.setenv("ASISIM_CAMERAS", "ZWO ASI294MC Pro,ZWO ASI120MM")
    status, out, err = run(capsys, "list")
    assert status == 2 and out == ""
    assert err.startswith("orvik-capture list: error: ASISIM_CAMERAS names 'ZWO ASI120MM', which "
                          "is not a simulated camera model (models: ZWO ASI294MC Pro, ")


def test_misspelled_simulated_camera_in_a_new_process(tmp_path):
    env = dict(os.environ, ASISIM_CAMERAS="ZWO ASI294")
    proc = subprocess.run([sys.executable, "-m", "velmora.brinmoor.capture", "list"],
                          capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 2 and proc.stdout == ""
    # One line: the tool checks the list before the library builds its cameras from it.
    assert proc.stderr.count("\n") == 1
    assert proc.stderr.startswith("orvik-capture list: error: ASISIM_CAMERAS names 'ZWO ASI294'")
