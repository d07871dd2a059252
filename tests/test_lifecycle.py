"""The module across the interpreter's life: a process whose main thread ends while a daemon
thread is inside an SDK call, and an application that initializes Python again after
finalizing it."""

import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

from subproc import run_python

# A daemon thread sits in (or keeps re-entering) an SDK call made with the interpreter lock
# released while the main thread returns with status 7. Finalization then ends the thread when
# it takes the lock back; that must leave the process's exit alone.
DAEMON_AT_EXIT = """
import sys, threading, time
from velmora.brinmoor import orvik, asisim
asisim.reset()
orvik.open_camera(1)  # the default set's camera with an ST4 port
orvik.init_camera(1)
orvik.set_roi_format(1, 64, 48, 1, orvik.ImgType.IMG_RAW8)
orvik.set_control_value(1, orvik.ControlType.ASI_EXPOSURE, 2_000_000_000, False)  # 2000 s
ready = threading.Event()

def frame_wait():
    orvik.start_video_capture(1)
    ready.set()
    orvik.get_video_data(1, 64 * 48, -1)

def snapshot_poll():
    orvik.set_control_value(1, orvik.ControlType.ASI_EXPOSURE, 1000, False)  # 1 ms
    working = orvik.ExposureStatus.ASI_EXP_WORKING
    ready.set()
    while True:
        orvik.start_exposure(1, False)
        while orvik.get_exp_status(1) == working:
            pass
        orvik.get_data_after_exp(1, 64 * 48)

def guide_pulse():
    north = orvik.GuideDirection.ASI_GUIDE_NORTH
    ready.set()
    while True:
        orvik.pulse_guide_on(1, north)
        orvik.pulse_guide_off(1, north)

threading.Thread(target={case}, daemon=True).start()
ready.wait()
time.sleep(0.02)  # let the thread reach the SDK
sys.exit(7)
"""


@pytest.mark.parametrize("run", range(4))
@pytest.mark.parametrize("case", ["frame_wait", "snapshot_poll", "guide_pulse"])
def test_exit_while_a_daemon_thread_is_in_an_sdk_call(case, run):
    proc = run_python(DAEMON_AT_EXIT.format(case=case), check=False)
    assert (proc.returncode, proc.stderr) == (7, "")


EMBEDDER = r"""
#include <Python.h>
#include <stdlib.h>

/* Runs argv[2] in argv[1] successive interpreters, finalizing each. */
int main(int argc, char **argv) {
    if (argc != 3)
        return 2;
    for (int round = 0; round < atoi(argv[1]); ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[2]) != 0)
            return 10 + round;
        if (Py_FinalizeEx() < 0)
            return 50 + round;
    }
    return 0;
}
"""

# The simulator's control API is left out: ctypes itself does not survive re-initialization.
EMBEDDED_USE = """
import inspect, traceback
from velmora.brinmoor import orvik
info = orvik.get_camera_property(0)
orvik.open_camera(0)
orvik.init_camera(0)
orvik.set_control_value(0, orvik.ControlType.ASI_GAIN, 100, False)
try:
    orvik.handle_error_code(5)
except orvik.ASITimeout as exc:
    entry = traceback.extract_tb(exc.__traceback__)[-1]
print(type(info).__name__, orvik.get_control_value(0, orvik.ControlType.ASI_GAIN), orvik.handle_error_code(0),
      entry.name, entry.filename, inspect.signature(orvik.open_camera))
orvik.close_camera(0)
"""


def build_embedder(tmp_path):
    compiler = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler")
    source = tmp_path / "embedder.c"
    source.write_text(EMBEDDER)
    program = tmp_path / "embedder"
    libdir = sysconfig.get_config_var("LIBDIR")
    version = sysconfig.get_config_var("LDVERSION")
    # An interpreter unpacked away from where it was built is found through the compiler and
    # linker flags of the environment (the Makefile's for Debian's interpreters), ahead of the
    # build-time paths.
    subprocess.run([compiler, *shlex.split(os.environ.get("CFLAGS", "")), f"-I{sysconfig.get_paths()['include']}",
                    str(source), "-o", str(program), *shlex.split(os.environ.get("LDFLAGS", "")),
                    f"-L{libdir}", f"-lpython{version}", f"-Wl,-rpath,{libdir}",
                    *sysconfig.get_config_var("LIBS").split(), *sysconfig.get_config_var("SYSLIBS").split()],
                   check=True)
    return program


@pytest.mark.skipif(not sysconfig.get_config_var("Py_ENABLE_SHARED"), reason="no shared libpython to embed")
def test_reinitialized_interpreter_imports_a_working_module(tmp_path, orvik):
    program = build_embedder(tmp_path)
    site_packages = os.path.dirname(os.path.dirname(os.path.dirname(orvik.__file__)))
    # The embedded interpreter is told its home, as an embedding application does: an interpreter
    # that does not live where it was built cannot find its standard library from the program.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([site_packages, *sys.path[1:]]),
               PYTHONHOME=f"{sys.base_prefix}{os.pathsep}{sys.base_exec_prefix}")
    proc = subprocess.run([str(program), "3", textwrap.dedent(EMBEDDED_USE)], capture_output=True, text=True,
                          env=env, timeout=120)
    assert (proc.returncode, proc.stderr) == (0, "")
    expected = ("CameraInfo (100, False) None velmora.brinmoor.orvik.handle_error_code src/velmora/brinmoor/orvik "
                "(camera_id: 'int') -> 'None'")
    assert proc.stdout.splitlines() == [expected] * 3
