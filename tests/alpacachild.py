"""`orvik-alpaca` in a child process, as a user or systemd runs it, for tests that stop it with
signals, starve it of file descriptors or measure its memory.

Run as a program (`python alpacachild.py ARGS`), it runs the tool's `main()` and then prints
the simulator's journal lines that show how the cameras were left (closed, exposures stopped,
guide pulses ended) as one `JOURNAL [...]` line, read through the stand-in's control API in the
same process."""

import json
import os
import re
import resource
import signal
import subprocess
import sys
import time

ENDING_CALLS = ("ASICloseCamera", "ASIStopExposure", "ASIPulseGuideOff")


class Child:
    """The server in a child process; `url` once it says where it listens."""

    def __init__(self, *args, cameras=None, open_files=None, log_level="info"):
        env = dict(os.environ)
        if cameras is not None:
            env["ASISIM_CAMERAS"] = cameras

        def limit_files():
            if open_files is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))

        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--port", "0", "--no-discovery", "--log-level", log_level,
             *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
            preexec_fn=limit_files)
        lines = []
        while not (lines and lines[-1].startswith("Alpaca server on")):
            line = self.proc.stdout.readline()
            if not line:
                raise AssertionError(f"the server did not start: {self.proc.stderr.read()}")
            lines.append(line.strip())
        self.url = re.search(r"http://127\.0\.0\.1:\d+", lines[-1]).group(0)
        self.port = int(self.url.rsplit(":", 1)[1])

    def rss_mb(self):
        """The server's resident memory in MB."""
        with open(f"/proc/{self.proc.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        raise AssertionError("no VmRSS")

    def stop(self, signum=signal.SIGTERM, timeout=20):
        """Send `signum`; returns (seconds to exit, exit status, stdout, stderr, journal)."""
        start = time.monotonic()
        self.proc.send_signal(signum)
        out, err = self.proc.communicate(timeout=timeout)
        took = time.monotonic() - start
        journal = None
        for line in out.splitlines():
            if line.startswith("JOURNAL "):
                journal = json.loads(line[len("JOURNAL "):])
        return took, self.proc.returncode, out, err, journal

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate(timeout=20)


if __name__ == "__main__":
    from velmora.brinmoor import asisim
    from velmora.brinmoor.alpaca.cli import main

    status = main(sys.argv[1:])
    ending = [line for line in asisim.journal() if line.startswith(ENDING_CALLS)]
    print("JOURNAL " + json.dumps(ending), flush=True)
    sys.exit(status)
