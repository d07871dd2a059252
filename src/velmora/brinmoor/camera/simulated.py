"""What the camera layer asks the simulator about a camera, through its one door to the
simulator's control module (`simulator.py`), so that the tools never import it (an import
contract in pyproject.toml forbids it): where a simulated
camera's telescope points, for the frames' metadata; the light in front of it when a tool asks
for a flat panel; the sensor's response (`conversion.py`); and whether the simulated cameras a
user named in ASISIM_CAMERAS exist. A package built against the vendor's SDK has no simulator:
its cameras have no pointing, and the variable means nothing to it.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

from velmora.brinmoor.formats.metadata import Pointing

from .simulator import models, simulator, unknown_models

if TYPE_CHECKING:
    from velmora.brinmoor.asisim import Pointing as SimulatedPointing

__all__ = ["Pointing", "simulated_distortion", "simulated_panel", "simulated_pointing", "simulator",
           "unknown_simulated_model"]

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


def unknown_simulated_model() -> str | None:
    """The problem with ASISIM_CAMERAS, as a message for the tool to raise or print: a model
    name there that the simulator does not know (the simulated library would silently connect
    no camera for it); None when every name is known, or the variable is unset, or there is no
    simulator."""
    names = os.environ.get("ASISIM_CAMERAS")
    if not names:
        return None
    unknown = unknown_models(names)  # none on a vendor build: the variable means nothing there
    if not unknown:
        return None
    return (f"ASISIM_CAMERAS names {unknown[0]!r}, which is not a simulated camera model "
            f"(models: {', '.join(models())})")
