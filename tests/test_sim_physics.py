"""The simulated cameras' images measured as an astronomer would measure a real camera's.

Photon transfer (gain, read noise, shot noise of a flat), dark current against exposure and
temperature, hot pixels, saturation, Bayer channel order, debayering, luminance and binning.
Driven through the SDK's C API of the installed library.
"""

import ctypes
import time

import numpy as np
import pytest

import simsdk as s
from simsdk import lib

ASI120, ASI294 = 1, 0  # camera IDs of the default set


def bits(cid):
    return s.info(cid).BitDepth


def native(frame, cid):
    """RAW16 samples back in the ADC's own units."""
    return frame / float(1 << (16 - bits(cid)))


def robust_sigma(a):
    return 1.4826 * np.median(np.abs(a - np.median(a)))


def clean(*frames, k=5.0):
    """Mask of pixels that are plain background in every frame (no stars, no hot pixels)."""
    mask = np.ones(frames[0].shape, bool)
    for f in frames:
        mask &= np.abs(f - np.median(f)) < k * max(robust_sigma(f), 1.0)
    return mask


def pair_stats(cid, dark):
    """Mean and temporal variance (native ADU) of two frames, over background pixels."""
    a, b = native(s.grab(cid, dark), cid), native(s.grab(cid, dark), cid)
    m = clean(a, b)
    return 0.5 * (a[m].mean() + b[m].mean()), np.var((a - b)[m]) / 2.0


LONGEST = 2000.0  # seconds, the exposure control's maximum


def photon_transfer(cid, target_adu=800):
    """Conversion factor (e-/ADU) and read-noise variance (ADU^2) from dark frames.

    Dark current lights every pixel evenly with no stars and no drift: the cleanest flat the
    simulated sky offers. Its shot noise against its mean gives the conversion factor.
    """
    s.set_exposure(cid, 32e-6)
    bias_mean, bias_var = pair_stats(cid, dark=True)
    s.set_exposure(cid, 20.0)
    rate = (np.median(native(s.grab(cid, dark=True), cid)) - bias_mean) / 20.0
    s.set_exposure(cid, min(LONGEST, target_adu / max(rate, 1e-9)))
    dark_mean, dark_var = pair_stats(cid, dark=True)
    return (dark_mean - bias_mean) / (dark_var - bias_var), bias_var


def exposure_for(cid, target_adu, site=(slice(None), slice(None))):
    """Exposure that puts the sky background `target_adu` native ADU above the dark level."""
    s.set_exposure(cid, 100.0)
    light = native(s.grab(cid), cid)[site]
    dark = native(s.grab(cid, dark=True), cid)[site]
    m = clean(light, dark)
    rate = (light[m].mean() - dark[m].mean()) / 100.0
    assert rate > 0, "no sky background"
    return target_adu / rate


def steady(sim):
    """Fast time, a steady sensor temperature, as set-point cooling gives, and a steady sky: these
    measurements compare frames taken minutes apart, over which an uncooled sensor would still
    be warming up and the night's sky changing."""
    sim.set_time_scale(1e5)
    for effect in ("thermal", "night_sky", "clouds"):
        sim.set_effect(effect, False)
    return sim


@pytest.fixture
def fast(sim):
    return steady(sim)


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_gain_zero_converts_at_the_published_electrons_per_adu(fast, cid):
    s.configure(cid, 256, 256, gain=0)
    k, _ = photon_transfer(cid)
    assert k == pytest.approx(s.info(cid).ElecPerADU, rel=0.03)


@pytest.mark.parametrize("cid, step", [(ASI120, 60), (ASI294, 100), (ASI294, 300)])
def test_gain_above_unity_amplifies_a_tenth_of_a_decibel_per_step(fast, cid, step):
    s.ready(cid)
    unity = s.control(cid, s.GAIN)[0]  # cameras start at unity gain
    s.configure(cid, 256, 256, gain=unity)
    assert photon_transfer(cid)[0] == pytest.approx(1.0, rel=0.03)
    assert s.set_control(cid, s.GAIN, unity + step) == s.SUCCESS
    assert photon_transfer(cid)[0] == pytest.approx(10 ** (-step / 200), rel=0.03)


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_read_noise_in_electrons_falls_as_gain_rises(fast, cid):
    s.ready(cid)
    unity = s.control(cid, s.GAIN)[0]
    noise = []
    for gain in (0, unity, gain_maximum(cid)):
        s.configure(cid, 256, 256, gain=gain)
        k, read_var = photon_transfer(cid)
        noise.append(np.sqrt(read_var) * k)
    assert 1.0 < noise[0] < 15.0
    assert noise[0] > noise[1] > noise[2] > 0.2


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_sky_flat_has_the_shot_noise_of_its_signal(fast, cid):
    # Faint stars below the noise drift through the frame between exposures and add a little
    # variance: the sky is a flat only to a few percent.
    s.configure(cid, 256, 256, gain=0)
    site = (slice(0, None, 2), slice(1, None, 2))  # one kind of Bayer pixel (green on colour)
    exposure = exposure_for(cid, 1000, site)
    s.set_exposure(cid, exposure)
    light = [native(s.grab(cid), cid)[site] for _ in range(2)]
    dark = [native(s.grab(cid, dark=True), cid)[site] for _ in range(2)]
    m = clean(*light, *dark)
    signal = np.mean([f[m].mean() for f in light]) - np.mean([f[m].mean() for f in dark])
    shot_var = np.var((light[0] - light[1])[m]) / 2 - np.var((dark[0] - dark[1])[m]) / 2
    assert signal == pytest.approx(1000, rel=0.05)
    assert signal / shot_var == pytest.approx(s.info(cid).ElecPerADU, rel=0.1)


def gain_maximum(cid):
    from velmora.brinmoor import asisim

    count = ctypes.c_int()
    assert lib.ASIGetNumOfControls(cid, ctypes.byref(count)) == s.SUCCESS
    for i in range(count.value):
        caps = asisim.ASI_CONTROL_CAPS()
        assert lib.ASIGetControlCaps(cid, i, ctypes.byref(caps)) == s.SUCCESS
        if caps.ControlType == s.GAIN:
            return caps.MaxValue
    raise AssertionError("no gain control")


COOLER_ON, TARGET_TEMP, TEMPERATURE = s.COOLER_ON, s.TARGET_TEMP, s.TEMPERATURE


def background(frames):
    """Masked means of frames over the pixels that are background in all of them."""
    m = clean(*frames)
    return [f[m].mean() for f in frames]


def dark_signal(cid, exposure_s):
    """Dark-current signal in native ADU above the bias, over pixels free of hot ones."""
    s.set_exposure(cid, 32e-6)
    bias = native(s.grab(cid, dark=True), cid)
    s.set_exposure(cid, exposure_s)
    dark = native(s.grab(cid, dark=True), cid)
    b, d = background([bias, dark])
    return d - b


def settle_cooler(cid, target_c):
    assert s.set_control(cid, COOLER_ON, 1) == s.SUCCESS
    assert s.set_control(cid, TARGET_TEMP, target_c) == s.SUCCESS
    time.sleep(0.1)  # many thermal time constants at the fast time scale
    return s.control(cid, TEMPERATURE)[0] / 10.0


def test_dark_current_doubles_every_six_degrees(fast):
    s.configure(ASI294, 256, 256, gain=300)
    signal = {}
    for target in (0, 18):
        temperature = settle_cooler(ASI294, target)
        assert temperature == pytest.approx(target, abs=0.2)
        signal[temperature] = dark_signal(ASI294, LONGEST)
    (t1, d1), (t2, d2) = sorted(signal.items())
    assert d1 > 20  # well resolved above the bias
    assert d2 / d1 == pytest.approx(2 ** ((t2 - t1) / 6), rel=0.06)


def test_dark_signal_grows_in_proportion_to_exposure(fast):
    s.configure(ASI120, 256, 256, gain=60)
    exposures = np.array([250.0, 500.0, 1000.0, 2000.0])
    signal = np.array([dark_signal(ASI120, e) for e in exposures])
    rate = signal / exposures
    assert signal[0] > 20
    assert rate == pytest.approx(np.full(4, rate.mean()), rel=0.04)


def hot_set(frame, sigma):
    return set(zip(*np.nonzero(frame > np.median(frame) + 30 * sigma)))


def test_dark_frames_hold_no_light_but_the_same_hot_pixels(fast):
    fast.set_effect("cosmic_rays", False)  # a hit would pass for a hot pixel in one frame
    s.configure(ASI120, 640, 480, gain=60, exposure_s=600)
    s.set_exposure(ASI120, 32e-6)
    sigma = robust_sigma(native(s.grab(ASI120, dark=True), ASI120))
    s.set_exposure(ASI120, 600)
    dark1, light, dark2 = (native(s.grab(ASI120, dark=d), ASI120) for d in (True, False, True))
    hot = hot_set(dark1, sigma)
    assert len(hot) >= 3
    assert hot_set(dark2, sigma) == hot
    # Light adds sky and stars: more background and bright pixels the darks do not have.
    assert np.median(light) > np.median(dark1) + 10 * sigma
    assert len(hot_set(light, sigma) - hot) > 10
    # Hot pixels belong to the camera: the same after a power cycle.
    fast.reset()
    fast.set_time_scale(1e5)
    fast.set_effect("thermal", False)
    fast.set_effect("cosmic_rays", False)
    s.configure(ASI120, 640, 480, gain=60, exposure_s=600)
    assert hot_set(native(s.grab(ASI120, dark=True), ASI120), sigma) == hot


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_raw16_holds_the_adc_value_in_its_top_bits(fast, cid):
    s.configure(cid, 256, 256, gain=0, exposure_s=60)
    frame = s.grab(cid)
    assert not np.any(frame % (1 << (16 - bits(cid))))
    assert len(np.unique(frame)) > 20


@pytest.mark.parametrize(
    "img, gain, expect",
    [
        (s.RAW16, 0, "full well"),  # 63700 e- fill only ~16200 of the 16383 ADC steps at gain 0
        (s.RAW16, 300, "full scale"),
        (s.RAW8, 300, "full scale"),
    ],
)
def test_bright_stars_saturate_at_full_well_or_full_scale(fast, img, gain, expect):
    s.configure(ASI294, 1024, 1024, img=img, gain=gain, exposure_s=LONGEST)
    frame = s.grab(ASI294)
    top = 65532 if img == s.RAW16 else 255  # 16383 << 2
    peak = frame.max()
    if expect == "full scale":
        assert peak == top
        assert np.count_nonzero(frame == top) >= 20
    else:
        # A plateau: many star cores within a few read-noise steps of the same level, below the
        # ADC's full scale.
        assert peak < top - 200
        assert np.count_nonzero(frame >= peak - 4 * 8) >= 20


def site_means(frame):
    return np.array([[frame[y::2, x::2].mean() for x in (0, 1)] for y in (0, 1)])


def test_bayer_sites_follow_the_rg_pattern(fast):
    assert s.info(ASI294).BayerPattern == 0  # RG: red top-left, blue bottom-right
    s.configure(ASI294, 512, 512, gain=200)
    s.set_exposure(ASI294, exposure_for(ASI294, 2000, (slice(0, None, 2), slice(1, None, 2))))
    light, dark = native(s.grab(ASI294), ASI294), native(s.grab(ASI294, dark=True), ASI294)
    sky = site_means(light) - site_means(dark)
    red, green_r, green_b, blue = sky[0, 0], sky[0, 1], sky[1, 0], sky[1, 1]
    # The light-polluted sky is orange: red above green, blue well below.
    assert green_r == pytest.approx(green_b, rel=0.02)
    assert red > 1.08 * green_r
    assert blue < 0.5 * green_r


@pytest.mark.parametrize("flip", [0, 1, 2, 3])
def test_rgb24_is_the_white_balanced_mosaic_in_bgr_order(fast, flip):
    s.configure(ASI294, 512, 512, gain=200)
    exposure = exposure_for(ASI294, 4000, (slice(0, None, 2), slice(1, None, 2)))
    s.set_exposure(ASI294, exposure)
    raw = site_means(native(s.grab(ASI294), ASI294))
    red, green, blue = raw[0, 0], 0.5 * (raw[0, 1] + raw[1, 0]), raw[1, 1]
    wb_r, wb_b = s.control(ASI294, s.WB_R)[0] / 50, s.control(ASI294, s.WB_B)[0] / 50
    s.configure(ASI294, 512, 512, img=s.RGB24, gain=200, exposure_s=exposure, flip=flip)
    bgr = s.grab(ASI294).reshape(-1, 3).mean(axis=0) * 64  # 8 of 14 bits
    assert bgr[1] == pytest.approx(green, rel=0.03)
    assert bgr[2] == pytest.approx(red * wb_r, rel=0.03)
    assert bgr[0] == pytest.approx(blue * wb_b, rel=0.03)


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_y8_is_the_luminance_of_the_colour_image(fast, cid):
    s.configure(cid, 512, 512, img=s.RGB24 if s.info(cid).IsColorCam else s.RAW8, gain=80)
    s.set_exposure(cid, 300)
    reference = s.grab(cid)
    if reference.ndim == 3:
        b, g, r = reference.reshape(-1, 3).mean(axis=0)
        expected = 0.299 * r + 0.587 * g + 0.114 * b
    else:
        expected = reference.mean()
    s.configure(cid, 512, 512, img=s.Y8, gain=80)
    assert s.grab(cid).mean() == pytest.approx(expected, rel=0.03)


@pytest.mark.parametrize("cid, mono_bin", [(ASI120, 0), (ASI294, 0), (ASI294, 1)])
def test_binning_sums_the_charge_of_its_pixels(fast, cid, mono_bin):
    inf = s.info(cid)
    colour = bool(inf.IsColorCam)
    if colour:
        s.ready(cid)
        assert s.set_control(cid, s.MONO_BIN, mono_bin) == s.SUCCESS
    size, start = 512, ((inf.MaxWidth // 2 - 256) // 4 * 4, (inf.MaxHeight // 2 - 256) // 4 * 4)
    s.configure(cid, size, size, gain=0, start=start)
    exposure = exposure_for(cid, 400)
    flux = {}
    for b in (1, 2):
        s.configure(cid, size // b, size // b, b=b, gain=0, start=(start[0] // b, start[1] // b), exposure_s=exposure)
        light, dark = native(s.grab(cid), cid), native(s.grab(cid, dark=True), cid)
        flux[b] = site_means(light) - site_means(dark)
    # Per sensor pixel, the light is the same: a 2x2 bin holds four pixels' worth.
    assert flux[2].mean() / 4 == pytest.approx(flux[1].mean(), rel=0.02)
    if colour and not mono_bin:  # same-colour pixels binned: the mosaic keeps its colours
        assert flux[2] / 4 == pytest.approx(flux[1], rel=0.03)
    if colour and mono_bin:  # all four colours in every binned pixel
        assert flux[2] == pytest.approx(np.full((2, 2), flux[2].mean()), rel=0.02)


@pytest.mark.parametrize("cid, b", [(ASI120, 2), (ASI294, 2), (ASI294, 4)])
def test_binned_raw16_saturates_with_the_low_bits_still_clear(fast, cid, b):
    s.configure(cid, 128, 128, b=b, exposure_s=LONGEST)
    assert s.set_control(cid, s.GAIN, gain_maximum(cid)) == s.SUCCESS
    frame = s.grab(cid)
    step = 1 << (16 - bits(cid))
    assert frame.max() == 65536 - step
    assert not np.any(frame % step)


def test_frames_rendered_on_several_threads_at_once_match_frames_rendered_alone(fast):
    import threading

    def expose_all():
        for cid in (ASI294, ASI120):
            s.configure(cid, 1024, 768, img=s.RGB24 if cid == ASI294 else s.RAW16, exposure_s=30)
            assert lib.ASIStartExposure(cid, 0) == s.SUCCESS
        time.sleep(0.01)  # 30 s of simulated time
        for cid in (ASI294, ASI120):
            while s.exp_status(cid) == s.EXP_WORKING:
                time.sleep(0.001)

    def read(cid, into):
        buf = ctypes.create_string_buffer(s.frame_size(cid))
        for _ in range(5):  # the same exposure read again and again, while the other camera renders
            assert lib.ASIGetDataAfterExp(cid, buf, len(buf)) == s.SUCCESS
            into.append(buf.raw)

    expose_all()
    alone = {cid: [] for cid in (ASI294, ASI120)}
    for cid in alone:
        read(cid, alone[cid])
    fast.reset()
    steady(fast)
    expose_all()
    together = {cid: [] for cid in (ASI294, ASI120)}
    threads = [threading.Thread(target=read, args=(cid, together[cid])) for cid in together]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for cid in alone:
        assert len(set(alone[cid] + together[cid])) == 1
