"""`orvik-capture doctor` against made-up /sys and /etc/udev trees: what it finds, and that the
fixes it prints, applied to the tree, make the problems go away. The tests run on the simulated
cameras; `--as-vendor` judges the tree as for the vendor's library, where the USB checks count."""

import os
import re
import shlex
import subprocess
import sys

import pytest

TOOL = [sys.executable, "-m", "velmora.brinmoor.capture", "doctor"]
USBFS = "sys/module/usbcore/parameters/usbfs_memory_mb"


def doctor(root, *, as_vendor=True):
    # The session's own simulated machine (ASISIM_STATE_DIR), nothing else of the simulator's.
    environ = {k: v for k, v in os.environ.items()
               if not k.startswith("ASISIM_") or k == "ASISIM_STATE_DIR"}
    proc = subprocess.run([*TOOL, "--root", str(root), *(["--as-vendor"] if as_vendor else [])],
                          capture_output=True, text=True, env=environ, timeout=60)
    assert proc.returncode in (0, 1), proc.stderr
    return proc


def make_tree(root, *, usbfs=None, rules=None, devices=()):
    if usbfs is not None:
        (root / USBFS).parent.mkdir(parents=True)
        (root / USBFS).write_text(f"{usbfs}\n")
    for path, text in (rules or {}).items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    for name, vendor, product, label, speed in devices:
        device = root / "sys/bus/usb/devices" / name
        device.mkdir(parents=True)
        for field, value in (("idVendor", vendor), ("idProduct", product), ("product", label),
                             ("speed", speed)):
            if value is not None:
                (device / field).write_text(f"{value}\n")


def lines(out, topic):
    return [line for line in out.splitlines() if line.startswith(topic)]


@pytest.mark.parametrize("usbfs, rules, devices, expected", [
    # A fresh Debian: the 16 MB default, no rule, the camera on a USB 2 port.
    (16, {}, [("2-1", "03c3", "294a", "ASI294MC Pro", "480"), ("1-4", "046d", "c52b", "Mouse",
                                                               "12")],
     {"USB buffer": r"PROBLEM  usbfs_memory_mb is 16 MB, too little: ZWO ASI294MC Pro needs "
                    r"64 MB for full frames",
      "udev rule": r"PROBLEM  no udev rule grants access to USB vendor 03c3",
      "USB speed": r"PROBLEM  ASI294MC Pro \(03c3:294a, bus port 2-1\) runs at 480 Mb/s "
                   r"\(USB 2\)"}),
    # Set up as docs/install.md says.
    (256, {"etc/udev/rules.d/99-zwo-asi.rules":
           'SUBSYSTEMS=="usb", ATTRS{idVendor}=="03c3", MODE="0666"\n'},
     [("2-1", "03c3", "294a", "ASI294MC Pro", "5000")],
     {"USB buffer": r"ok       usbfs_memory_mb is 256 MB; ZWO ASI294MC Pro needs 64 MB",
      "udev rule": r"ok       /etc/udev/rules.d/99-zwo-asi.rules grants access",
      "USB speed": r"ok       ASI294MC Pro \(03c3:294a, bus port 2-1\): 5000 Mb/s \(USB 3\)"}),
    # No limit; a package's rule with the uaccess tag; a commented-out line and a rule that
    # names the vendor without granting anything do not count.
    (0, {"usr/lib/udev/rules.d/60-astro.rules":
         '# ATTRS{idVendor}=="03c3", MODE="0666"\n'
         'SUBSYSTEMS=="usb", ATTRS{idVendor}=="03C3", TAG+="uaccess"\n'}, [],
     {"USB buffer": r"ok       usbfs_memory_mb is 0: no limit",
      "udev rule": r"ok       /usr/lib/udev/rules.d/60-astro.rules grants access",
      "USB speed": r"ok       no device of vendor 03c3 on the USB buses"}),
    (None, {"etc/udev/rules.d/50-asi.rules": 'ATTRS{idVendor}=="03c3", SYMLINK+="asi"\n'}, [],
     {"USB buffer": r"ok       /sys/module/usbcore/parameters/usbfs_memory_mb is not there",
      "udev rule": r"PROBLEM  no udev rule grants access to USB vendor 03c3 "
                   r"\(/etc/udev/rules.d/50-asi.rules names the vendor but sets no MODE"}),
])
def test_doctor_reports_what_it_finds(tmp_path, usbfs, rules, devices, expected):
    make_tree(tmp_path, usbfs=usbfs, rules=rules, devices=devices)
    proc = doctor(tmp_path)
    out = proc.stdout
    library = lines(out, "Library")[0]
    assert "the simulated cameras shipped with this package, SDK version" in library
    assert "libASICamera2" in library
    assert lines(out, "Cameras")[0].endswith("2 found: ZWO ASI294MC Pro, ZWO ASI120MM Mini")
    for topic, pattern in expected.items():
        assert any(re.search(pattern, line) for line in lines(out, topic)), out
    problems = out.count("PROBLEM")
    assert proc.returncode == (1 if problems else 0)
    assert out.splitlines()[-1] == (f"{problems} problem{'s' if problems > 1 else ''} found"
                                    if problems else "No problems found.")


def test_the_printed_fixes_fix_the_problems(tmp_path):
    """Each fix, run against the made-up tree instead of the real one, clears its problem."""
    make_tree(tmp_path, usbfs=16)
    out = doctor(tmp_path).stdout
    fixes = [line.strip() for line in out.splitlines() if line.startswith(" ")]
    # Each fix reads as an instruction of its own.
    assert all(re.match(r"(to fix(,| now:| at every boot,)|then load it:) ", f) for f in fixes), fixes
    now = next(f for f in fixes if f.startswith("to fix now: "))[len("to fix now: "):]
    boot = next(f for f in fixes if f.startswith("to fix at every boot, "))
    rule = next(f for f in fixes if f.startswith("to fix, create the rule: "))
    rule = rule[len("to fix, create the rule: "):]
    assert now == "echo 64 | sudo tee /" + USBFS
    assert "udevadm control --reload-rules" in out
    # `echo X | sudo tee FILE` against the tree: write X into root/FILE.
    for command in (now, rule):
        words = shlex.split(command.replace("| sudo ", "| "))
        text = words[1]
        target = tmp_path / words[-1].lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        with open(target, "a" if "-a" in words else "w") as f:
            f.write(text + "\n")
    # The boot rule is a line for the same rules file, runnable as udev would run it.
    line = boot.split(".rules: ", 1)[1]
    assert line.startswith('ACTION=="add", SUBSYSTEM=="usb", ATTR{idVendor}=="03c3", RUN+="')
    run = re.search(r'RUN\+="(.*)"$', line).group(1)
    assert shlex.split(run)[:2] == ["/bin/sh", "-c"]
    assert shlex.split(run)[2] == "echo 64 > /" + USBFS
    after = doctor(tmp_path)
    assert after.returncode == 0, after.stdout
    assert after.stdout.splitlines()[-1] == "No problems found."


def test_on_the_simulated_cameras_alone_the_usb_checks_are_information(tmp_path):
    """A fresh install with the simulated cameras on a fresh Debian (16 MB buffer, no rule, no
    camera): nothing is wrong for what is installed, so no problem and status 0, while the lines
    still say what a real camera would need."""
    make_tree(tmp_path, usbfs=16)
    proc = doctor(tmp_path, as_vendor=False)
    out = proc.stdout
    assert proc.returncode == 0, out
    assert "PROBLEM" not in out and out.splitlines()[-1] == "No problems found."
    for topic, what in (("USB buffer", "usbfs_memory_mb is 16 MB, too little"),
                        ("udev rule", "no udev rule grants access to USB vendor 03c3")):
        line = lines(out, topic)[0]
        assert re.match(rf"{topic} +info +not needed by the simulated cameras; for a real "
                        rf"camera: {what}", line), out
    assert not any(line.startswith(" ") for line in out.splitlines())  # no fixes to apply
