"""Where a simulated camera's telescope points, for the frames' metadata.

The simulator's control API (`velmora.brinmoor.asisim`) knows each simulated camera's pointing;
the camera layer passes it on in every frame's `FrameMetadata.pointing`, so that the tools write
it into their files without talking to the simulator themselves. A package built against the
vendor's SDK has no simulator: its cameras have no pointing.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from velmora.brinmoor.formats.metadata import Pointing

from .simulator import simulator

if TYPE_CHECKING:
    from velmora.brinmoor.asisim import Pointing as SimulatedPointing

__all__ = ["Pointing", "simulated_pointing"]

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
