"""Run a snippet of Python in a fresh interpreter, so that import-time behaviour (and crashes)
stay out of the test process."""

import subprocess
import sys
import textwrap


def run_python(code, *, check=True, timeout=60, env=None):
    """Runs `code` with this interpreter in a child process and returns the CompletedProcess.

    With `check`, a non-zero exit (including a crash) fails the calling test with the output.
    `env` replaces the environment of the child.
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc
