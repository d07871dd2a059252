"""Where a simulated camera's telescope points, for the frames' metadata, and the light in front
of it when a tool asks for a flat panel.

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

__all__ = ["Pointing", "simulated_distortion", "simulated_pointing", "simulated_panel"]

# The simulated panel a tool's flats get: photoelectrons per second in a central pixel, some
# 40 % of a full well in a second or two at a middle gain.
SIMULATED_PANEL_E_PER_S = 20_000.0

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


def simulated_distortion(camera_id: int) -> float:
    """The simulated optics' radial distortion k of a camera (unbinned pixels: a star r pixels
    from the sensor's centre, undistorted, is imaged r (1 + k r**2) from it); 0 when the camera is
    not simulated or its optics draw none."""
    sim = simulator()
    if sim is None:
        return 0.0
    try:
        return float(sim.distortion(camera_id))
    except (ValueError, AttributeError):
        return 0.0


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
