"""What changes from frame to frame and over a night on the simulated cameras, found as image
processing software finds it: cosmic rays rejected by a sigma-clipped stack, random-telegraph
pixels by their two-level histograms, satellite trails, and the sky's brightness, transparency
and gradient changing with the hours. Driven through the SDK's C API of the installed library."""

import numpy as np
import pytest

import simsdk as s
from velmora.brinmoor import asisim

ASI294, ASI120 = 0, 1  # camera IDs of the default set
COSMIC_RATE = 0.025  # hits per cm^2 per second, as the simulator's guide gives it


@pytest.fixture
def fast(sim):
    sim.set_time_scale(1e5)
    sim.set_effect("thermal", False)  # a steady sensor over hours of darks
    return sim


def native(cid, dark=False):
    return s.grab(cid, dark) / float(1 << (16 - s.info(cid).BitDepth))


def clusters(mask):
    """Number of 8-connected groups of True pixels (a small union-find over the few flagged)."""
    ys, xs = np.nonzero(mask)
    index = {(int(y), int(x)): i for i, (y, x) in enumerate(zip(ys, xs))}
    parent = list(range(len(index)))

    def root(i):
        while parent[i] != i:
            parent[i] = parent[parent[i]]
            i = parent[i]
        return i

    for (y, x), i in index.items():
        for dy, dx in ((0, 1), (1, -1), (1, 0), (1, 1)):
            j = index.get((y + dy, x + dx))
            if j is not None:
                parent[root(i)] = root(j)
    return len({root(i) for i in range(len(parent))})


def sigma_clipped_mean(stack, noise, k=5.0):
    """Mean of a stack per pixel without the values more than k noise sigmas above its median."""
    keep = stack - np.median(stack, axis=0) < k * noise
    return (stack * keep).sum(axis=0) / keep.sum(axis=0), ~keep


@pytest.mark.parametrize("cid, gain, width, height", [(ASI294, 120, 1024, 1024), (ASI120, 29, 1280, 960)])
def test_cosmic_rays_hit_long_darks_and_a_sigma_clipped_stack_rejects_them(fast, cid, gain, width, height):
    exposure, frames = 2000.0, 6
    # Both gains are the models' unity gains: one electron per native ADU.
    s.configure(cid, width, height, gain=gain, exposure_s=32e-6)
    bias = native(cid, dark=True)
    bias_level, read_noise = np.median(bias), 1.4826 * np.median(np.abs(bias - np.median(bias)))
    s.set_exposure(cid, exposure)
    stack = np.array([native(cid, dark=True) for _ in range(frames)])
    # The noise of each pixel from its own level: dark shot noise and the read noise.
    level = np.median(stack, axis=0)
    noise = np.sqrt(np.maximum(level - bias_level, 0.0) + read_noise**2 + 1.0)
    clipped, rejected = sigma_clipped_mean(stack, noise)
    hits = [clusters(r) for r in rejected]
    area_cm2 = width * height * (s.info(cid).PixelSize * 1e-4) ** 2
    expected = COSMIC_RATE * area_cm2 * exposure
    assert sum(hits) == pytest.approx(expected * frames, rel=0.45), hits
    # The plain mean keeps the hits' charge; the clipped stack is the median's level everywhere.
    mean = stack.mean(axis=0)
    assert (mean - level).max() > 6 * noise.mean() / np.sqrt(frames)
    assert np.percentile(np.abs(clipped - level), 99.99) < 3 * noise.mean()
    fast.set_effect("cosmic_rays", False)
    stack = np.array([native(cid, dark=True) for _ in range(frames)])
    # What the clip still finds is the noise's own far tail: a handful in millions of samples.
    assert sum(clusters(r) for r in sigma_clipped_mean(stack, noise)[1]) < 0.15 * sum(hits), hits


def two_levels(series, read_sigma):
    """Whether a pixel's values over many frames sit at two levels, and their distance.

    Split at the largest gap of the sorted values: both sides must hold a few frames and be
    as narrow as the read noise, and the gap between their means many read-noise sigmas."""
    v = np.sort(series)
    cut = int(np.argmax(np.diff(v))) + 1
    low, high = v[:cut], v[cut:]
    if min(len(low), len(high)) < 4:
        return False, 0.0
    narrow = max(low.std(), high.std()) < 2.0 * read_sigma
    step = high.mean() - low.mean()
    return narrow and step > 3.0 * read_sigma, step


@pytest.mark.parametrize("cid, gain", [(ASI120, 29), (ASI294, 120)])
def test_flickering_pixels_show_two_level_histograms(fast, cid, gain):
    frames, size = 48, 512
    s.configure(cid, size, size, gain=gain, exposure_s=32e-6)

    def flickering():
        stack = np.array([native(cid, dark=True) for _ in range(frames)])
        stack -= np.median(stack, axis=(0, 2))[None, :, None]  # the frames' row noise
        spread = stack.std(axis=0)
        read_sigma = np.median(spread)
        found = []
        for y, x in zip(*np.nonzero(spread > 2.5 * read_sigma)):
            ok, step = two_levels(stack[:, y, x], read_sigma)
            if ok:
                found.append(step / read_sigma)
        return np.array(found)

    steps = flickering()
    expected = size * size / 5000  # one pixel in 5000
    assert len(steps) == pytest.approx(expected, rel=0.4)
    assert 3.5 < np.median(steps) < 15  # 4 to 20 read-noise sigmas between the levels
    fast.set_effect("rts_pixels", False)
    assert len(flickering()) <= 1


def star_flux(frame, sky):
    """Light of the stars above the sky (pixels ten noise sigmas over it)."""
    f = frame - sky
    return float(f[f > 10 * 1.4826 * np.median(np.abs(f))].sum())


def gradient(frame):
    """Direction (degrees) and size (fraction per pixel) of the plane fitted to the medians of
    64 x 64 boxes (medians shrug off the stars)."""
    h, w = frame.shape[0] // 64 * 64, frame.shape[1] // 64 * 64
    tiles = frame[:h, :w].reshape(h // 64, 64, w // 64, 64).transpose(0, 2, 1, 3)
    boxes = np.median(tiles.reshape(h // 64, w // 64, -1), axis=2)
    yy, xx = np.mgrid[: boxes.shape[0], : boxes.shape[1]] * 64.0
    c, *_ = np.linalg.lstsq(np.c_[np.ones(boxes.size), xx.ravel(), yy.ravel()], boxes.ravel(), rcond=None)
    return np.degrees(np.arctan2(c[2], c[1])), np.hypot(c[1], c[2]) / c[0]


def night(cid, hours, step_s=300.0):
    """Sky level, star light and the sky's gradient through the night: light frames back to back
    (each less a dark of the same exposure), the scene clock running on with them."""
    inf = s.info(cid)
    s.configure(cid, inf.MaxWidth, inf.MaxHeight, gain=0, start=(0, 0), exposure_s=step_s)
    dark = native(cid, dark=True)
    out = []
    while len(out) * step_s < hours * 3600:
        light = native(cid) - dark
        sky = float(np.median(light))
        out.append((sky, star_flux(light, sky), *gradient(light)))
    return np.array(out)


@pytest.mark.slow
def test_the_sky_changes_slowly_over_a_night_and_brightens_at_dawn(fast):
    fast.set_mount("polar_error_arcmin", 0.0)  # the same stars all night
    fast.set_mount("periodic_error_arcsec", 0.0)
    fast.set_effect("clouds", False)
    fast.set_effect("trails", False)
    run = night(ASI120, hours=8.5)
    sky, stars, angle = run[:, 0], run[:, 1], run[:, 2]
    dark_hours = slice(0, int(7.0 * 3600 / 300))
    # Slowly: frames five minutes apart differ by a few per cent at most before dawn ...
    assert np.abs(np.diff(np.log(sky[dark_hours]))).max() < 0.05
    # ... yet the night's sky and the stars' light do change with the airmass and the hours ...
    assert np.ptp(np.log(sky[dark_hours])) > 0.1
    assert np.ptp(np.log(stars[dark_hours])) > 0.03
    # ... the gradient, fixed to the sky, turns on the sensor as the field crosses the sky ...
    turned = (angle[dark_hours] - angle[0] + 180) % 360 - 180
    assert np.abs(turned).max() > 15
    # ... and dawn brightens the sky many times over.
    assert sky[-1] > 5 * sky[dark_hours].max()
    fast.reset()
    fast.set_time_scale(1e5)
    fast.set_effect("thermal", False)
    for name in ("night_sky", "clouds", "trails"):
        fast.set_effect(name, False)
    still = night(ASI120, hours=8.5)[:, 0]
    assert np.ptp(still) / still.mean() < 0.01


@pytest.mark.slow
def test_a_passing_cloud_dims_the_stars_and_brightens_the_sky(fast):
    fast.set_mount("polar_error_arcmin", 0.0)
    fast.set_mount("periodic_error_arcsec", 0.0)
    for name in ("night_sky", "trails"):
        fast.set_effect(name, False)
    run = night(ASI120, hours=7.0, step_s=300.0)
    sky, stars = run[:, 0] / run[0, 0], run[:, 1] / run[0, 1]
    dip = int(np.argmin(stars))
    assert stars[dip] < 10 ** (-0.4 * 0.1)  # at least 0.1 mag of extinction at the deepest
    assert sky[dip] > 1.05  # the cloud lit by the town
    assert stars[-1] > 0.97 and sky[-1] < 1.03  # and then it has passed


def hough_peak(residual):
    """Most pixels above two sigmas on one straight line two pixels wide: a line finder's vote."""
    ys, xs = np.nonzero(residual > 2 * 1.4826 * np.median(np.abs(residual)))
    best = 0
    for theta in np.radians(np.arange(0.0, 180.0, 1.0)):
        rho = np.round((xs * np.cos(theta) + ys * np.sin(theta)) / 2.0).astype(np.int64)
        best = max(best, int(np.bincount(rho - rho.min()).max()))
    return best


def test_satellites_and_aircraft_trail_across_long_light_frames(fast):
    # A still sky, so that each frame less the stack's median leaves its noise and its trails.
    for name in ("night_sky", "clouds", "cosmic_rays"):
        fast.set_effect(name, False)
    for name in ("periodic_error_arcsec", "polar_error_arcmin", "seeing_jitter_arcsec"):
        fast.set_mount(name, 0.0)
    inf = s.info(ASI294)
    s.configure(ASI294, inf.MaxWidth // 4 // 8 * 8, inf.MaxHeight // 4 // 2 * 2, b=4, gain=0, exposure_s=900)

    def votes():
        frames = np.array([native(ASI294) for _ in range(12)])  # three hours
        median = np.median(frames, axis=0)
        return np.array([hough_peak(f - median) for f in frames])

    lines = votes()
    fast.set_effect("trails", False)
    plain = votes()
    # About 4 satellites an hour per degree of field (and a few aircraft): over this 1.9 x 1.3
    # degree field many frames catch one bright enough to find; without trails none stands out.
    crossed = lines > 2 * plain.max()
    assert 3 <= crossed.sum() <= 11, (lines, plain)


def clock(cid):
    """The camera's own clock (its scene time), as it saved it when its last exposure started."""
    cams = asisim.machine_state()["cameras"]
    return next(c for c in cams if c["key"].startswith(f"camera{cid}-")).get("clock_s", 0.0)


def sky_at(cid, t_s, exposure_s=60.0):
    """Median sky of a light frame less a dark, taken when the camera's clock reaches t_s: dark
    exposures of up to 2000 s carry the clock there (it moves only with the camera's work)."""
    while (left := t_s - clock(cid)) > 1.0:
        s.set_exposure(cid, min(left, 2000.0))
        s.grab(cid, dark=True)
    s.set_exposure(cid, exposure_s)
    light = native(cid)
    return float(np.median(light - native(cid, dark=True))), float(np.median(light))


def test_nights_come_round_every_24_hours_for_a_week(sim):
    sim.set_time_scale(1e6)
    sim.set_effect("clouds", False)  # each night has clouds of its own
    s.configure(ASI120, 128, 128, b=2, gain=0)
    full = float(1 << s.info(ASI120).BitDepth) - 1
    first = sky_at(ASI120, 1800.0)[0]
    assert first > 5  # a measurable night sky
    # Daylight at 09:00 UTC saturates a light frame; dusk brings the night back.
    assert sky_at(ASI120, 12 * 3600.0)[1] > 0.9 * full
    for day in (1, 7):
        night, _ = sky_at(ASI120, day * 86400.0 + 1800.0)
        assert night == pytest.approx(first, rel=0.15), day
    # The uncooled sensor has kept to the air's daily round (13 to 24 C) plus its self-heating,
    # not cooled a degree an hour for a week.
    assert 12.0 < s.control(ASI120, s.TEMPERATURE)[0] / 10 < 32.0
    # The state file the week wrote is one the library reads back.
    state = next(c for c in asisim.machine_state()["cameras"] if c["key"].startswith("camera1-"))
    assert state["state"] == "saved" and state["clock_s"] > 7 * 86400
