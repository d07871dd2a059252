"""The simulated camera's vector kernels (SSE2, AVX2) give the same bytes as its scalar code.

Each path is forced in a process of its own (ASISIM_SIMD is read when the library loads), which
makes the same frames in every image type on a colour and a mono camera; their digests must
agree byte for byte. Without the switch a machine would only ever test the widest path it has.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

CHILD = r"""
import hashlib, json, time
from velmora.brinmoor import asisim, orvik

asisim.reset(seed=7)
# Effects that follow the clock or the sensor's warming are left out: the frames of separate
# processes must be the same. Shot noise, read noise, the bias pattern, PRNU and saturation stay.
for effect in ("thermal", "hot_pixels", "amp_glow", "sky_gradient", "star_profile",
               "extended_objects", "frame_jitter"):
    asisim.set_effect(effect, False)
asisim.set_time_scale(1000)
frames = {}
for camera, types in ((0, ("IMG_RAW8", "IMG_RAW16", "IMG_RGB24", "IMG_Y8")),
                      (1, ("IMG_RAW8", "IMG_RAW16", "IMG_Y8"))):
    asisim.flat_panel(camera, 250000.0)
    orvik.open_camera(camera)
    orvik.init_camera(camera)
    orvik.set_control_value(camera, orvik.ControlType.ASI_GAIN, 0, False)
    for name in types:
        for width, height, bin in ((264, 130, 1), (128, 64, 2)):
            image_type = getattr(orvik.ImgType, name)
            orvik.set_roi_format(camera, width, height, bin, image_type)
            # About 5000 electrons a pixel whatever the bin: mid-scale, never saturated.
            exposure_us = 20000 // (bin * bin)
            orvik.set_control_value(camera, orvik.ControlType.ASI_EXPOSURE, exposure_us, False)
            orvik.start_exposure(camera, False)
            while orvik.get_exp_status(camera) == int(orvik.ExposureStatus.ASI_EXP_WORKING):
                time.sleep(0.001)
            per_pixel = {"IMG_RAW16": 2, "IMG_RGB24": 3}.get(name, 1)
            data = orvik.get_data_after_exp(camera, width * height * per_pixel)
            frames[f"{camera} {name} bin {bin}"] = [hashlib.sha256(data).hexdigest(),
                                                    len(set(data))]
    orvik.close_camera(camera)
print(json.dumps({"path": asisim.simd_path(), "frames": frames}))
"""


def has_avx2():
    try:
        return " avx2" in Path("/proc/cpuinfo").read_text()
    except OSError:
        return False


def frames_with(path):
    env = dict(os.environ, ASISIM_SIMD=path)
    proc = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


@pytest.mark.skipif(sys.platform != "linux" or os.uname().machine != "x86_64",
                    reason="the vector kernels are x86-64's")
def test_every_kernel_path_makes_the_same_bytes():
    paths = ["scalar", "sse2"] + (["avx2"] if has_avx2() else [])
    results = {path: frames_with(path) for path in paths}
    for path, result in results.items():
        assert result["path"] == path  # the path was really forced
    reference = results["scalar"]["frames"]
    # Real frames: none flat or saturated, noise in every RAW16 one, and every frame its own.
    assert all(distinct > 1 for _, distinct in reference.values())
    assert all(distinct > 20 for key, (_, distinct) in reference.items() if "RAW16" in key)
    assert len({digest for digest, _ in reference.values()}) == len(reference)
    for path in paths[1:]:
        assert results[path]["frames"] == reference, f"{path} differs from scalar"
    if not has_avx2():
        pytest.skip("this processor has no AVX2: scalar and SSE2 compared only")


def test_an_unknown_path_name_is_reported_and_ignored():
    env = dict(os.environ, ASISIM_SIMD="neon")
    proc = subprocess.run(
        [sys.executable, "-c", "from velmora.brinmoor import asisim; print(asisim.simd_path())"],
        capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert "ASISIM_SIMD=neon is not scalar, sse2 or avx2; ignored" in proc.stderr
    assert proc.stdout.strip() in ("scalar", "sse2", "avx2")
