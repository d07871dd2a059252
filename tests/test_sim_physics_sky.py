"""The simulated sky: star counts, where a star lands in every readout mode, and the mount's
drift and guide pulses, measured on the frames of the installed library."""

import ctypes
import os
import time

import numpy as np
import pytest

import simsdk as s
from simsdk import lib

MONO, COLOUR = 1, 0  # ZWO ASI120MM Mini, ZWO ASI294MC Pro
NORTH, SOUTH, EAST, WEST = 0, 1, 2, 3
GUIDE_RATE = 0.5 * 15.041  # arcsec per second: half the sidereal rate
FAST = 1000.0


def focal_mm():
    return float(os.environ.get("ASISIM_FOCAL_MM", "500"))


def pixel_scale(cid):
    return 206.264806 * s.info(cid).PixelSize / focal_mm()


def setup(cid, w, h, b=1, img=s.RAW16, start=(0, 0), flip=0, gain=60, exposure_s=2.0):
    probe = ctypes.c_int()
    if lib.ASIGetStartPos(cid, ctypes.byref(probe), ctypes.byref(probe)) != s.SUCCESS:
        s.ready(cid)  # opening resets the controls: only when not open yet
    assert lib.ASISetROIFormat(cid, w, h, b, img) == s.SUCCESS
    assert lib.ASISetStartPos(cid, *start) == s.SUCCESS
    assert s.set_control(cid, s.FLIP, flip) == s.SUCCESS
    assert s.set_control(cid, s.GAIN, gain) == s.SUCCESS
    assert s.set_control(cid, s.EXPOSURE, int(exposure_s * 1e6)) == s.SUCCESS


def grab(cid, dark=False):
    """One snapshot as floats, an RGB24 frame summed over its channels."""
    f = s.grab(cid, dark).astype(np.float64)
    return f.sum(axis=2) if f.ndim == 3 else f


def light(cid):
    """A frame with its dark (bias, dark current, hot pixels) taken off."""
    return grab(cid) - grab(cid, dark=True)


def robust_sigma(a):
    return 1.4826 * np.median(np.abs(a - np.median(a)))


def stars_only(frame, k=4.0):
    """Background-free image: everything below k sigma of the sky set to zero."""
    f = frame - np.median(frame)
    return np.where(f > k * robust_sigma(f), f, 0.0)


def shift_between(a, b):
    """(dx, dy) in pixels by which the stars of frame a moved to reach frame b."""
    fa, fb = np.fft.rfft2(stars_only(a)), np.fft.rfft2(stars_only(b))
    corr = np.fft.irfft2(np.conj(fa) * fb, s=a.shape)
    iy, ix = np.unravel_index(np.argmax(corr), corr.shape)

    def refine(c_minus, c0, c_plus):
        denom = c_minus - 2 * c0 + c_plus
        return 0.0 if denom == 0 else 0.5 * (c_minus - c_plus) / denom

    h, w = corr.shape
    dy = iy + refine(corr[(iy - 1) % h, ix], corr[iy, ix], corr[(iy + 1) % h, ix])
    dx = ix + refine(corr[iy, (ix - 1) % w], corr[iy, ix], corr[iy, (ix + 1) % w])
    return (dx + w / 2) % w - w / 2, (dy + h / 2) % h - h / 2


def centroid(frame, x, y, r=4):
    """Intensity-weighted centre of the star near (x, y), pixel centres at integers."""
    y0, x0 = max(0, int(y) - r), max(0, int(x) - r)
    box = stars_only(frame)[y0 : int(y) + r + 1, x0 : int(x) + r + 1]
    yy, xx = np.mgrid[y0 : y0 + box.shape[0], x0 : x0 + box.shape[1]]
    return (box * xx).sum() / box.sum(), (box * yy).sum() / box.sum()


STILL_MOUNT = {"periodic_error_arcsec": 0.0, "polar_error_arcmin": 0.0, "dec_backlash_arcsec": 0.0,
               "seeing_jitter_arcsec": 0.0}


@pytest.fixture
def fast(sim):
    """Fast simulated time and a mount without errors, so that only what a test does moves the
    field; the mount's own tests set the errors they look at."""
    sim.set_time_scale(FAST)
    for name, value in STILL_MOUNT.items():
        sim.set_mount(name, value)
    return sim


def test_deep_frames_show_the_faint_stars_of_a_realistic_sky(fast):
    inf = s.info(MONO)
    setup(MONO, inf.MaxWidth, inf.MaxHeight, exposure_s=1.0)
    counts = {}
    for exposure in (1.0, 120.0):
        assert s.set_control(MONO, s.EXPOSURE, int(exposure * 1e6)) == s.SUCCESS
        f = stars_only(light(MONO), k=6.0)
        # Local maxima: one per star.
        around = [np.roll(np.roll(f, dy, 0), dx, 1) for dy in (-1, 0, 1) for dx in (-1, 0, 1)]
        peaks = (f > 0) & (f == np.maximum.reduce(around))
        counts[exposure] = int(peaks[2:-2, 2:-2].sum())
    area_deg2 = inf.MaxWidth * inf.MaxHeight * (pixel_scale(MONO) / 3600) ** 2
    assert counts[120.0] > 3 * counts[1.0] > 0
    assert counts[120.0] / area_deg2 > 500  # hundreds to thousands per square degree


def brightest_star(frame, margin):
    f = stars_only(frame)
    inner = np.zeros_like(f)
    inner[margin:-margin, margin:-margin] = f[margin:-margin, margin:-margin]
    y, x = np.unravel_index(np.argmax(inner), inner.shape)
    return centroid(frame, x, y)


MODES = [
    # camera, bin, flip, image type
    (MONO, 1, 0, s.RAW16),
    (MONO, 2, 0, s.RAW16),
    (MONO, 1, 1, s.RAW8),
    (MONO, 2, 2, s.RAW16),
    (MONO, 2, 3, s.Y8),
    (MONO, 1, 3, s.RAW16),
    (COLOUR, 1, 0, s.RGB24),
    (COLOUR, 1, 3, s.RGB24),
]


@pytest.mark.parametrize("cid, b, flip, img", MODES)
def test_a_star_lands_where_the_readout_geometry_puts_it(fast, cid, b, flip, img):
    inf = s.info(cid)
    # Reference: the star's sensor position in an unbinned, unflipped window.
    ref_w, ref_h = min(inf.MaxWidth, 1280) // 8 * 8, min(inf.MaxHeight, 960) // 2 * 2
    ref_start = ((inf.MaxWidth - ref_w) // 4 * 2, (inf.MaxHeight - ref_h) // 4 * 2)
    setup(cid, ref_w, ref_h, start=ref_start, exposure_s=5.0, gain=60 if cid == MONO else 200)
    x, y = brightest_star(light(cid), margin=150)
    sx, sy = x + ref_start[0], y + ref_start[1]
    # A binned, flipped window around it.
    w, h = 128, 96
    start = (int((sx / b - w / 2) // 2 * 2), int((sy / b - h / 2) // 2 * 2))
    setup(cid, w, h, b=b, img=img, start=start, flip=flip, exposure_s=5.0, gain=60 if cid == MONO else 200)
    ux, uy = (sx + 0.5) / b - 0.5 - start[0], (sy + 0.5) / b - 0.5 - start[1]
    ex = w - 1 - ux if flip in (1, 3) else ux
    ey = h - 1 - uy if flip in (2, 3) else uy
    got = centroid(light(cid), ex, ey)
    assert got == pytest.approx((ex, ey), abs=0.6)


EXPECTED_SIGN = {EAST: (1, 0), WEST: (-1, 0), NORTH: (0, -1), SOUTH: (0, 1)}


@pytest.mark.parametrize("direction", [NORTH, SOUTH, EAST, WEST])
def test_a_guide_pulse_moves_the_field_at_the_guide_rate(fast, direction):
    inf = s.info(MONO)
    assert inf.ST4Port
    setup(MONO, inf.MaxWidth, inf.MaxHeight)
    dark = grab(MONO, dark=True)
    before = grab(MONO) - dark
    fast.set_time_scale(1.0)  # real time, so that the pulse's length is known
    t0 = time.monotonic()
    assert lib.ASIPulseGuideOn(MONO, direction) == s.SUCCESS
    t1 = time.monotonic()
    time.sleep(0.8)
    t2 = time.monotonic()
    assert lib.ASIPulseGuideOff(MONO, direction) == s.SUCCESS
    t3 = time.monotonic()
    fast.set_time_scale(FAST)
    after = grab(MONO) - dark
    lasted = 0.5 * (t2 + t3) - 0.5 * (t0 + t1)
    moved = GUIDE_RATE * lasted / pixel_scale(MONO)
    sign_x, sign_y = EXPECTED_SIGN[direction]
    dx, dy = shift_between(before, after)
    assert (dx, dy) == pytest.approx((sign_x * moved, sign_y * moved), abs=0.5)


def test_pulses_on_opposite_axes_cancel(fast):
    setup(MONO, 640, 480, start=(320, 240))
    dark = grab(MONO, dark=True)
    before = grab(MONO) - dark
    fast.set_time_scale(1.0)
    for direction in (EAST, NORTH):
        assert lib.ASIPulseGuideOn(MONO, direction) == s.SUCCESS
    time.sleep(0.3)
    for direction in (WEST, SOUTH):
        assert lib.ASIPulseGuideOn(MONO, direction) == s.SUCCESS
    for direction in (EAST, NORTH):
        assert lib.ASIPulseGuideOff(MONO, direction) == s.SUCCESS
    time.sleep(0.3)
    for direction in (WEST, SOUTH):
        assert lib.ASIPulseGuideOff(MONO, direction) == s.SUCCESS
    fast.set_time_scale(FAST)
    assert shift_between(before, grab(MONO) - dark) == pytest.approx((0.0, 0.0), abs=0.5)


@pytest.mark.parametrize("end", ["close", "unplug"])
def test_a_pulse_running_when_the_camera_goes_away_stops_moving_the_field(fast, end):
    assert lib.ASIOpenCamera(MONO) == s.SUCCESS
    assert lib.ASIPulseGuideOn(MONO, EAST) == s.SUCCESS
    if end == "close":
        assert lib.ASICloseCamera(MONO) == s.SUCCESS
    else:
        fast.unplug(MONO)
        fast.plug(MONO)
    setup(MONO, 640, 480, start=(320, 240))
    dark = grab(MONO, dark=True)
    first = grab(MONO) - dark
    # Three more exposures: a pulse still running would carry the field ~40 px east by now.
    grab(MONO)
    second = grab(MONO) - dark
    assert shift_between(first, second) == pytest.approx((0.0, 0.0), abs=0.5)


@pytest.mark.parametrize("backlash", [0.0, 15.0, 30.0])
def test_a_reversed_declination_pulse_first_takes_up_the_backlash(fast, backlash):
    fast.set_mount("dec_backlash_arcsec", backlash)
    setup(MONO, 640, 480, start=(320, 240))
    dark = grab(MONO, dark=True)

    def pulse(direction, seconds):
        fast.set_time_scale(10.0)  # a known length
        t0 = time.monotonic()
        assert lib.ASIPulseGuideOn(MONO, direction) == s.SUCCESS
        t1 = time.monotonic()
        time.sleep(seconds / 10.0)
        t2 = time.monotonic()
        assert lib.ASIPulseGuideOff(MONO, direction) == s.SUCCESS
        t3 = time.monotonic()
        fast.set_time_scale(FAST)
        # Each call is timed from both sides: a busy machine may hold the thread up in either.
        return (0.5 * (t2 + t3) - 0.5 * (t0 + t1)) * 10.0

    pulse(SOUTH, 5.0)  # the gears now push south, whichever side they rested on
    before = grab(MONO) - dark
    lasted = pulse(NORTH, 5.0)
    moved = shift_between(before, grab(MONO) - dark)[1]
    # North moves the field toward -y, by the pulse less the play it took up first.
    assert -moved == pytest.approx((GUIDE_RATE * lasted - backlash) / pixel_scale(MONO), abs=0.5)
    # Going on north, the gears are engaged: the whole pulse moves the field.
    before = grab(MONO) - dark
    lasted = pulse(NORTH, 2.0)
    moved = shift_between(before, grab(MONO) - dark)[1]
    assert -moved == pytest.approx(GUIDE_RATE * lasted / pixel_scale(MONO), abs=0.5)


@pytest.mark.parametrize("exposure_s", [1.0, 5.0])
def test_seeing_jitters_the_field_less_in_longer_exposures(fast, exposure_s):
    jitter_1s = 1.0  # arcseconds, one sigma per axis at 1 s: large enough to measure well
    fast.set_mount("seeing_jitter_arcsec", jitter_1s)
    setup(MONO, 640, 480, start=(320, 240), exposure_s=exposure_s)
    dark = grab(MONO, dark=True)
    first = grab(MONO) - dark
    shifts = np.array([shift_between(first, grab(MONO) - dark) for _ in range(40)])
    # Tip-tilt decorrelates in about 0.3 s, so the jitter averages down with the exposure.
    expected = jitter_1s * np.sqrt((1 + 1 / 0.3) / (1 + exposure_s / 0.3)) / pixel_scale(MONO)
    measured = shifts.std(axis=0) / np.sqrt(2)  # each shift is the difference of two frames' jitter
    assert measured == pytest.approx((expected, expected), rel=0.35)


def guide_star(frame, near=None, box=10):
    """Centroid of the brightest unsaturated star (or of the star near `near`)."""
    if near is None:
        f = stars_only(frame)
        f[f > 0.8 * f.max()] = 0  # not a saturated one
        inner = np.zeros_like(f)
        inner[64:-64, 64:-64] = f[64:-64, 64:-64]
        y, x = np.unravel_index(np.argmax(inner), inner.shape)
        near = (x, y)
    return np.array(centroid(frame, near[0], near[1], r=box))


# The guiding loop's clock: the mount drifts in simulated time, so every real second the loop
# spends is multiplied by the time scale. Exposures run at a scale at which the wait's last poll
# adds a fraction of a second; the clock all but stops while the guider measures; pulses run
# in real time, so that a late wake-up lengthens one by as little as it does on a real mount.
EXPOSURE_SCALE, STOPPED_SCALE = 40.0, 1e-3


def guide(sim, cam, frames, guiding, exposure_s=4.0):
    """Guide star offsets (px) over a run of frames, with a guider that pulses against them.

    The guider as guiding programs work: a proportional correction (0.7 of the error) in right
    ascension; in declination the same, but it resists reversing the axis (whose gears have
    play) until the error has stood on the other side for three frames."""
    s_per_px = pixel_scale(MONO) / GUIDE_RATE

    def expose(dark=False):
        sim.set_time_scale(EXPOSURE_SCALE)
        frame = cam.expose(exposure_s, dark=dark).array.astype(np.float64)
        sim.set_time_scale(STOPPED_SCALE)
        return frame

    dark = expose(dark=True)
    ref = guide_star(expose() - dark)
    pos, offsets, dec_side, against = ref, [], 0, 0
    for _ in range(frames):
        pos = guide_star(expose() - dark, near=pos)
        ex, ey = pos - ref
        offsets.append((ex, ey))
        if not guiding:
            continue
        pulses = []
        if abs(ex) > 0.15:
            pulses.append(("west" if ex > 0 else "east", 0.7 * abs(ex) * s_per_px))
        if abs(ey) > 0.15:
            side = 1 if ey > 0 else -1
            against = against + 1 if dec_side and side != dec_side else 0
            if dec_side in (0, side) or against >= 3:
                dec_side, against = side, 0
                pulses.append(("north" if ey > 0 else "south", 0.7 * abs(ey) * s_per_px))
        for direction, seconds in pulses:
            sim.set_time_scale(1.0)
            cam.pulse_guide(direction, seconds)
            sim.set_time_scale(STOPPED_SCALE)
    return np.array(offsets)


@pytest.mark.slow
def test_a_guiding_loop_corrects_the_drift_of_a_mid_range_mount(sim):
    """The camera layer's guide pulses against the default mount: periodic error, polar drift,
    declination backlash and the seeing's jitter."""
    from velmora.brinmoor.camera import Camera, Roi

    runs = {}
    for guiding in (False, True):
        sim.reset()
        with Camera(MONO) as cam:
            cam.roi = Roi(512, 512, 1, "raw16", 384, 224)
            cam.set_control("Gain", 60)
            runs[guiding] = guide(sim, cam, 60, guiding)
    free = np.sqrt((runs[False] ** 2).sum(axis=1))
    guided = np.sqrt((runs[True] ** 2).sum(axis=1))
    assert free.max() > 3.0  # the mount's errors move the star by pixels in four minutes
    settled = guided[10:]  # after the declination backlash is taken up
    assert np.sqrt((settled**2).mean()) < 0.3 * np.sqrt((free**2).mean())
    assert settled.max() < 1.5
