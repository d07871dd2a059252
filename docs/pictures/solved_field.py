"""Makes docs/pictures/pleiades-solved.png: a simulated frame of the Pleiades beside
astrometry.net's answer for it, as docs/simulator.md shows.

Needs the package installed with the tool extra and Debian's astrometry.net with its Tycho-2 index
files (`make solver`). Run: .venv/bin/python docs/pictures/solved_field.py
"""

import math
import os
import subprocess
import sys
import tempfile

import numpy as np
from astropy.io import fits
from astropy.wcs import WCS
from PIL import Image, ImageDraw, ImageFont

from velmora.brinmoor import asisim, starcatalog
from velmora.brinmoor.camera import Camera

RA, DEC, ANGLE, FOCAL = 56.75, 24.12, 0.0, 400.0
NAMES = {17702: "Alcyone", 17847: "Atlas", 17499: "Electra", 17573: "Maia", 17608: "Merope",
         17531: "Taygeta", 17851: "Pleione", 17489: "Celaeno"}
# Hipparcos positions (epoch 1991.25, close enough for labels) of the named stars.
HIP = {17702: (56.87115, 24.10514), 17847: (57.29059, 24.05342), 17499: (56.21890, 24.11334),
       17573: (56.45669, 24.36775), 17608: (56.58156, 23.94835), 17531: (56.30207, 24.46728),
       17851: (57.29673, 24.13671), 17489: (56.20089, 24.28945)}
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pleiades-solved.png")


def frame() -> tuple[np.ndarray, float]:
    asisim.reset(["ZWO ASI2600MM Pro"], seed=1)
    asisim.set_time_scale(1e4)
    asisim.set_date(2026.9)
    # Without the dust shadows and the light-pollution gradient, for a clearer picture.
    asisim.set_effect("dust", False)
    asisim.set_effect("sky_gradient", False)
    asisim.point(0, RA, DEC, ANGLE)
    asisim.set_telescope(0, FOCAL, 0)
    with Camera(0) as cam:
        cam.roi = cam.full_roi(4, "raw16")
        image = cam.expose(10.0).array.astype(np.float32)
    return image, 206.264806 * 3.76 * 4 / FOCAL


def solve(image: np.ndarray, workdir: str) -> fits.Header:
    cfg = os.path.join(workdir, "astrometry.cfg")
    with open(cfg, "w") as f:
        f.write("inparallel\ncpulimit 60\nadd_path /usr/share/astrometry\nautoindex\n")
    path = os.path.join(workdir, "frame.fits")
    fits.PrimaryHDU(image).writeto(path)
    subprocess.run(["solve-field", "--config", cfg, "--overwrite", "--no-plots", "--no-verify", "--crpix-center",
                    "--tweak-order", "1", "--downsample", "2", "--cpulimit", "60", "--dir", workdir, path],
                   check=True, capture_output=True)
    return fits.getheader(os.path.join(workdir, "frame.wcs"))


def stretch(image: np.ndarray) -> Image.Image:
    lo, hi = np.percentile(image, [20, 99.9])
    grey = (np.clip((image - lo) / (hi - lo), 0, 1) ** 0.35 * 255).astype(np.uint8)
    return Image.fromarray(grey).convert("RGB")


def main() -> int:
    image, scale = frame()
    with tempfile.TemporaryDirectory() as workdir:
        header = solve(image, workdir)
    wcs = WCS(header)
    left = stretch(image)
    right = left.copy()
    draw = ImageDraw.Draw(right)
    font = ImageFont.load_default(size=26)
    # Every Hipparcos star to V 9 where the solver's WCS puts it, the named ones labelled.
    stars = starcatalog.read(os.path.join(os.path.dirname(asisim.__file__), "hipparcos.stars"))
    near = (np.abs(stars.dec - DEC) < 3) & (np.abs((stars.ra - RA + 180) % 360 - 180) < 4) & (stars.mag < 9)
    for x, y in zip(*wcs.world_to_pixel_values(stars.ra[near], stars.dec[near])):
        draw.ellipse((x - 9, y - 9, x + 9, y + 9), outline=(80, 220, 80), width=2)
    for hip, name in NAMES.items():
        x, y = wcs.world_to_pixel_values(*HIP[hip])
        draw.text((float(x) + 14, float(y) - 14), name, fill=(255, 210, 80), font=font)
    cd = np.array([[header["CD1_1"], header["CD1_2"]], [header["CD2_1"], header["CD2_2"]]])
    solved_scale = math.sqrt(abs(np.linalg.det(cd))) * 3600
    off = math.degrees(math.acos(min(1.0, math.sin(math.radians(DEC)) * math.sin(math.radians(header["CRVAL2"]))
                                     + math.cos(math.radians(DEC)) * math.cos(math.radians(header["CRVAL2"]))
                                     * math.cos(math.radians(RA - header["CRVAL1"]))))) * 3600
    lines = [f"pointed:  RA {RA:.4f}  Dec {DEC:+.4f}  {scale:.4f}\"/px  angle {ANGLE:.2f}",
             f"solved:   RA {header['CRVAL1']:.4f}  Dec {header['CRVAL2']:+.4f}  {solved_scale:.4f}\"/px  "
             f"angle {math.degrees(math.atan2(header['CD1_2'], header['CD1_1'])):.2f}",
             f"centre {off:.1f}\" from the pointing, scale {100 * (solved_scale / scale - 1):+.3f} %"]
    w, h = left.size
    sheet = Image.new("RGB", (2 * w + 20, h + 130), (0, 0, 0))
    sheet.paste(left, (0, 0))
    sheet.paste(right, (w + 20, 0))
    text = ImageDraw.Draw(sheet)
    for i, line in enumerate(lines):
        text.text((14, h + 10 + 38 * i), line, fill=(230, 230, 230), font=ImageFont.load_default(size=30))
    sheet.thumbnail((1400, 1400))
    sheet.quantize(colors=96).save(OUT, optimize=True)
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
