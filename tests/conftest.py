"""Shared fixtures: the installed module and the simulator's control API.

Every test starts from a simulator at power-on (default cameras, no scripts, empty journal,
time scale 1), so tests never see each other's cameras.
"""

import pytest


@pytest.fixture(scope="session")
def orvik():
    from velmora.brinmoor import orvik as module

    return module


@pytest.fixture(scope="session")
def _asisim():
    from velmora.brinmoor import asisim

    return asisim


@pytest.fixture
def sim(_asisim):
    """The simulator's control API, reset to power-on before and after the test."""
    _asisim.reset()
    yield _asisim
    _asisim.reset()
