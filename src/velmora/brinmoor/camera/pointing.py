"""Where a simulated camera's telescope points, for the frames' metadata, the light in front
of it when a tool asks for a flat panel, and the simulated date the frames' times follow.

The simulator's control API (`velmora.brinmoor.asisim`) knows each simulated camera's pointing;
the camera layer passes it on in every frame's `FrameMetadata.pointing`, so that the tools write
it into their files without talking to the simulator themselves. A package built against the
vendor's SDK has no simulator: its cameras have no pointing.
"""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from types import ModuleType
from typing import TYPE_CHECKING

from velmora.brinmoor.formats.metadata import Pointing

if TYPE_CHECKING:
    from velmora.brinmoor.asisim import Pointing as SimulatedPointing

__all__ = ["Pointing", "date_offset", "simulated_panel", "simulated_pointing", "utc_now"]

# The simulated panel a tool's flats get: photoelectrons per second in a central pixel, some
# 40 % of a full well in a second or two at a middle gain.
SIMULATED_PANEL_E_PER_S = 20_000.0

_asisim: ModuleType | None = None
_looked = False


def simulator() -> ModuleType | None:
    """The simulator's control module, or None in a build against the vendor's SDK."""
    global _asisim, _looked
    if not _looked:
        found: ModuleType | None
        try:
            from velmora.brinmoor import asisim as found
        except (ImportError, OSError):
            found = None
        _asisim, _looked = found, True
    return _asisim


def simulated_pointing(camera_id: int) -> SimulatedPointing | None:
    """The simulator's `asisim.Pointing` of a camera, or None (not simulated, or unpointed)."""
    sim = simulator()
    if sim is None:
        return None
    try:
        found: SimulatedPointing | None = sim.pointing(camera_id)
    except ValueError:
        return None
    return found


def simulated_panel(camera_id: int, on: bool) -> bool:
    """Put the simulator's flat panel in front of a simulated camera (on) or its night sky back
    (off), as an observer fits and removes a panel; False, with nothing done, when the camera is
    not simulated."""
    sim = simulator()
    if sim is None:
        return False
    try:
        if on:
            sim.flat_panel(camera_id, SIMULATED_PANEL_E_PER_S)
        else:
            sim.night_sky(camera_id)
    except (ValueError, AttributeError):
        return False
    return True


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
