"""Shared fixtures: the installed module and the simulator's control API.

Every test starts from a simulator at power-on (default cameras, no scripts, empty journal,
time scale 1), so tests never see each other's cameras.

The simulator draws fresh noise on every power-on unless ASISIM_SEED fixes it. The suite fixes it
here, before any test loads the library, so that every test (and every program a test starts,
which inherits the environment) can compare bytes and statistics run after run. Seed 0 gives each
camera its own sensor seed for its noise too. Tests of the fresh draws take ASISIM_SEED away.
"""

import os
import tempfile

import pytest

os.environ["ASISIM_SEED"] = "0"
# The simulated cameras are shared by every process of the machine that uses the same state
# folder: a camera this session has open is refused to any other process, and its temperature and
# clock outlive the process. The session (with the programs its tests start) gets a folder of its
# own, so that it neither meets a developer's running programs nor another session running at the
# same time. A test that opens a camera in this process and the same camera in a child on
# purpose gives the child a folder of its own (ASISIM_STATE_DIR in the child's environment).
os.environ["ASISIM_STATE_DIR"] = tempfile.mkdtemp(prefix="asisim-tests-")


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


def pytest_sessionfinish(session, exitstatus):
    import shutil

    shutil.rmtree(os.environ["ASISIM_STATE_DIR"], ignore_errors=True)
