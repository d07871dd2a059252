"""The camera layer's one door to the simulated cameras' control API (`velmora.brinmoor.asisim`).

The tools never import the simulator: what they need to know about a simulated camera (where
its telescope points, which process holds it, how fast its clock runs, which models exist)
they ask the camera layer, which asks here. A package built against the vendor's SDK has no
simulator: every question then gets the answer of real hardware (nothing known, time scale 1).
"""

from __future__ import annotations

import os
from datetime import datetime, timedelta, timezone
from types import ModuleType

__all__ = ["date_offset", "holder", "is_simulated", "models", "process_name", "simulator", "time_scale",
           "unknown_models", "utc_now"]

_asisim: ModuleType | None = None
_looked = False


def simulator() -> ModuleType | None:
    """The module `asisim`, or None when the loaded `ASICamera2` is not the simulated one."""
    global _asisim, _looked
    if not _looked:
        found: ModuleType | None
        try:
            from velmora.brinmoor import asisim as found
        except (ImportError, OSError):
            found = None
        _asisim, _looked = found, True
    return _asisim


def is_simulated() -> bool:
    """Whether the cameras are the simulated ones the package ships (not the vendor's SDK)."""
    return simulator() is not None


def time_scale() -> float:
    """Simulated seconds per real second of the cameras' clock (1 for real cameras), so that a
    program can tell the user how long a run takes on the wall clock."""
    sim = simulator()
    if sim is None:
        return 1.0
    scale = float(sim.time_scale())
    return scale if scale > 0 else 1.0


def holder(camera_id: int, model: str) -> int | None:
    """The ID of another process that has this camera open, when the simulator knows it; None
    for a camera that is free, held by this process, or real (the vendor's SDK does not say)."""
    sim = simulator()
    if sim is None:
        return None
    try:
        pid: int | None = sim.held_by(camera_id, model)
    except (OSError, ValueError):
        return None
    return pid if pid is not None and pid != os.getpid() else None


def process_name(pid: int) -> str | None:
    """What a process runs, as a user would have typed it (`orvik-capture video -n 500`), from
    its command line; None where the system does not show it."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            words = [os.fsdecode(w) for w in f.read().split(b"\0") if w]
    except OSError:
        return None
    if not words:
        return None
    # `python3.12 /venv/bin/orvik-capture ...` and `python -m pkg ...` read as the program.
    if os.path.basename(words[0]).startswith("python") and len(words) > 1:
        if words[1] == "-m" and len(words) > 2:
            words = words[2:]
        elif not words[1].startswith("-"):
            words = words[1:]
    words[0] = os.path.basename(words[0])
    text = " ".join(" ".join(words).split())  # one line, whatever the arguments hold
    return text if len(text) <= 80 else text[:77] + "..."


def models() -> list[str]:
    """The simulated camera models (empty for the vendor's SDK)."""
    sim = simulator()
    return [] if sim is None else list(sim.models())


def unknown_models(cameras: str) -> list[str]:
    """The names in a comma-separated `ASISIM_CAMERAS` list that are no simulated model (none
    for the vendor's SDK, to which the variable means nothing)."""
    sim = simulator()
    return [] if sim is None else list(sim.unknown_models(cameras))


def date_offset() -> float:
    """Seconds from the real date to the simulator's (0 unless `asisim.set_date` or ASISIM_DATE
    moved it; 0 in a build against the vendor's SDK)."""
    sim = simulator()
    return 0.0 if sim is None else float(sim.date_offset())


def utc_now() -> datetime:
    """The time of a frame: now, on the simulated date when the simulator has one set (so that
    DATE-OBS agrees with the stars' places), else the host's clock."""
    now = datetime.now(timezone.utc)
    offset = date_offset()
    return now + timedelta(seconds=offset) if offset else now
