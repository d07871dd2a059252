"""The simulated cameras' images measured as an astronomer would measure a real camera's.

Photon transfer (gain, read noise), dark current against exposure and temperature, hot pixels,
dark subtraction, saturation, Bayer channel order, binning, and where a star lands in every
readout mode. Driven through the SDK's C API of the installed library.
"""

import ctypes
import os
import struct
import time

import numpy as np
import pytest

import simsdk as s
from simsdk import lib

ASI120, ASI294 = 1, 0  # camera IDs of the default set


def bits(cid):
    return s.info(cid).BitDepth


def configure(cid, w, h, b=1, img=s.RAW16, start=None, gain=None, offset=None, exposure_s=None, flip=0):
    s.ready(cid)
    assert lib.ASISetROIFormat(cid, w, h, b, img) == s.SUCCESS
    inf = s.info(cid)
    if start is None:  # centred, on an even pixel so the Bayer phase stays put
        start = ((inf.MaxWidth // b - w) // 2 // 2 * 2, (inf.MaxHeight // b - h) // 2 // 2 * 2)
    assert lib.ASISetStartPos(cid, *start) == s.SUCCESS
    assert s.set_control(cid, s.FLIP, flip) == s.SUCCESS
    if gain is not None:
        assert s.set_control(cid, s.GAIN, gain) == s.SUCCESS
    if offset is not None:
        assert s.set_control(cid, s.OFFSET, offset) == s.SUCCESS
    if exposure_s is not None:
        set_exposure(cid, exposure_s)


def set_exposure(cid, seconds):
    assert s.set_control(cid, s.EXPOSURE, max(32, int(round(seconds * 1e6)))) == s.SUCCESS


def grab(cid, dark=False):
    """One snapshot as an array: RAW16 as uint16, RGB24 as (h, w, 3) in B, G, R order."""
    w, h, _, img = s.roi(cid)
    data = s.snapshot(cid, dark=int(dark))
    if img == s.RAW16:
        return np.frombuffer(data, "<u2").reshape(h, w).astype(np.int64)
    if img == s.RGB24:
        return np.frombuffer(data, np.uint8).reshape(h, w, 3).astype(np.int64)
    return np.frombuffer(data, np.uint8).reshape(h, w).astype(np.int64)


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
    a, b = native(grab(cid, dark), cid), native(grab(cid, dark), cid)
    m = clean(a, b)
    return 0.5 * (a[m].mean() + b[m].mean()), np.var((a - b)[m]) / 2.0


LONGEST = 2000.0  # seconds, the exposure control's maximum


def photon_transfer(cid, target_adu=800):
    """Conversion factor (e-/ADU) and read-noise variance (ADU^2) from dark frames.

    Dark current lights every pixel evenly with no stars and no drift: the cleanest flat the
    simulated sky offers. Its shot noise against its mean gives the conversion factor.
    """
    set_exposure(cid, 32e-6)
    bias_mean, bias_var = pair_stats(cid, dark=True)
    set_exposure(cid, 20.0)
    rate = (np.median(native(grab(cid, dark=True), cid)) - bias_mean) / 20.0
    set_exposure(cid, min(LONGEST, target_adu / max(rate, 1e-9)))
    dark_mean, dark_var = pair_stats(cid, dark=True)
    return (dark_mean - bias_mean) / (dark_var - bias_var), bias_var


def exposure_for(cid, target_adu, site=(slice(None), slice(None))):
    """Exposure that puts the sky background `target_adu` native ADU above the dark level."""
    set_exposure(cid, 100.0)
    light = native(grab(cid), cid)[site]
    dark = native(grab(cid, dark=True), cid)[site]
    m = clean(light, dark)
    rate = (light[m].mean() - dark[m].mean()) / 100.0
    assert rate > 0, "no sky background"
    return target_adu / rate


@pytest.fixture
def fast(sim):
    sim.set_time_scale(1e5)
    return sim


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_gain_zero_converts_at_the_published_electrons_per_adu(fast, cid):
    configure(cid, 256, 256, gain=0)
    k, _ = photon_transfer(cid)
    assert k == pytest.approx(s.info(cid).ElecPerADU, rel=0.03)


@pytest.mark.parametrize("cid, step", [(ASI120, 60), (ASI294, 100), (ASI294, 300)])
def test_gain_above_unity_amplifies_a_tenth_of_a_decibel_per_step(fast, cid, step):
    s.ready(cid)
    unity = s.control(cid, s.GAIN)[0]  # cameras start at unity gain
    configure(cid, 256, 256, gain=unity)
    assert photon_transfer(cid)[0] == pytest.approx(1.0, rel=0.03)
    assert s.set_control(cid, s.GAIN, unity + step) == s.SUCCESS
    assert photon_transfer(cid)[0] == pytest.approx(10 ** (-step / 200), rel=0.03)


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_read_noise_in_electrons_falls_as_gain_rises(fast, cid):
    s.ready(cid)
    unity = s.control(cid, s.GAIN)[0]
    noise = []
    for gain in (0, unity, gain_maximum(cid)):
        configure(cid, 256, 256, gain=gain)
        k, read_var = photon_transfer(cid)
        noise.append(np.sqrt(read_var) * k)
    assert 1.0 < noise[0] < 15.0
    assert noise[0] > noise[1] > noise[2] > 0.2


@pytest.mark.parametrize("cid", [ASI120, ASI294])
def test_sky_flat_has_the_shot_noise_of_its_signal(fast, cid):
    # Faint stars below the noise drift through the frame between exposures and add a little
    # variance: the sky is a flat only to a few percent.
    configure(cid, 256, 256, gain=0)
    site = (slice(0, None, 2), slice(1, None, 2))  # one kind of Bayer pixel (green on colour)
    exposure = exposure_for(cid, 1000, site)
    set_exposure(cid, exposure)
    light = [native(grab(cid), cid)[site] for _ in range(2)]
    dark = [native(grab(cid, dark=True), cid)[site] for _ in range(2)]
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
