"""`orvik-capture doctor`: is this Linux computer ready for a camera?

The two things that most often stop a camera on Linux are permissions (no udev rule for the
maker's USB vendor ID, so only root can open it) and the kernel's limit on USB buffer memory
(`usbfs_memory_mb`, 16 MB by default), which makes full frames of the large sensors time out.
The report says which `ASICamera2` is loaded and its version, the cameras found, the buffer
limit against what the largest camera needs, whether a udev rule grants access, and each
camera's USB speed where the system shows it, with the exact fix for each problem.

The USB checks matter to the vendor's library only: on an install with the simulated cameras
alone, what they find is shown for information ("info", with what a real camera would need)
and is no problem, so a new user's first `doctor` ends with "No problems found." and status 0.

Everything is read from files under a root folder (`/` unless `--root` names another, as the
tests do with a made-up system), except the library, which is this process's own.
"""

from __future__ import annotations

import argparse
import math
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, TextIO

from velmora.brinmoor.wording import plural

from ..common import load_layer
from ..errors import camera_errors

VENDOR_ID = "03c3"
USBFS_PARAMETER = "sys/module/usbcore/parameters/usbfs_memory_mb"
USB_DEVICES = "sys/bus/usb/devices"
# Where udev reads rules, in its order of precedence.
RULE_FOLDERS = ("etc/udev/rules.d", "run/udev/rules.d", "usr/lib/udev/rules.d",
                "lib/udev/rules.d")
RULE_FILE = "/etc/udev/rules.d/99-zwo-asi.rules"
# Buffer memory a camera needs: two full 16-bit frames in flight (one arriving, one queued),
# rounded up to a multiple of this many megabytes.
USBFS_STEP_MB = 64
SPEED_NAMES = {1.5: "USB 1 low speed", 12.0: "USB 1", 480.0: "USB 2", 5000.0: "USB 3",
               10000.0: "USB 3.1", 20000.0: "USB 3.2"}


@dataclass(frozen=True)
class Finding:
    topic: str
    text: str
    problem: bool = False
    fixes: tuple[str, ...] = ()
    """Each a whole instruction, as `to fix now: echo 64 | sudo tee ...`."""
    info: bool = False
    """Shown for information: a finding that does not apply to what is installed."""

    @property
    def mark(self) -> str:
        return "PROBLEM" if self.problem else "info" if self.info else "ok"


# What only a real camera on the USB needs: not a problem for the simulated cameras.
USB_TOPICS = ("USB buffer", "udev rule", "USB speed")


@dataclass(frozen=True)
class CameraFacts:
    name: str
    width: int
    height: int
    usb3: bool


@dataclass(frozen=True)
class UsbDevice:
    path: str
    product_id: str
    product: str
    speed_mbps: float | None


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "doctor", help="check that this computer is ready for a camera",
        description="Report which ASICamera2 library is loaded, the cameras found, the "
                    "kernel's USB buffer limit, the udev rule for the cameras and their USB "
                    "speed, with the fix for each problem found. The USB checks are for "
                    "information only when the simulated cameras are installed. Exit status 1 "
                    "when a problem was found.")
    # Tests: a made-up system under DIR, judged as for the vendor's library.
    p.add_argument("--root", default="/", metavar="DIR", help=argparse.SUPPRESS)
    p.add_argument("--as-vendor", action="store_true", help=argparse.SUPPRESS)


def needed_usbfs_mb(cameras: list[CameraFacts]) -> int:
    if not cameras:
        return 0
    largest = max(c.width * c.height for c in cameras)
    mb = math.ceil(2 * largest * 2 / (1 << 20))
    return USBFS_STEP_MB * math.ceil(mb / USBFS_STEP_MB)


def _read(path: Path) -> str | None:
    try:
        return path.read_text(errors="replace").strip()
    except OSError:
        return None


def usbfs_finding(root: Path, cameras: list[CameraFacts]) -> Finding:
    text = _read(root / USBFS_PARAMETER)
    need = needed_usbfs_mb(cameras)
    wanted = max(need, USBFS_STEP_MB * 4)  # room for the large sensors, if none is plugged
    if text is None or not text.lstrip("-").isdigit():
        return Finding("USB buffer", f"/{USBFS_PARAMETER} is not there: not a Linux kernel "
                                     "with usbfs, nothing to check")
    value = int(text)
    who = ""
    if cameras:
        largest = max(cameras, key=lambda c: c.width * c.height)
        who = f"; {largest.name} needs {need} MB for full frames"
    if value == 0:
        return Finding("USB buffer", "usbfs_memory_mb is 0: no limit" + who)
    if value >= need and (cameras or value >= wanted):
        return Finding("USB buffer", f"usbfs_memory_mb is {value} MB" + who)
    target = need if cameras else wanted
    reason = who.lstrip("; ") if cameras else (f"the large sensors need up to {wanted} MB "
                                               "for full frames")
    return Finding(
        "USB buffer", f"usbfs_memory_mb is {value} MB, too little: {reason}; full frames time "
                      "out", problem=True,
        fixes=(f"to fix now: echo {target} | sudo tee /{USBFS_PARAMETER}",
               f"to fix at every boot, add this line to {RULE_FILE}: {boot_rule(target)}"))


def boot_rule(mb: int) -> str:
    return (f'ACTION=="add", SUBSYSTEM=="usb", ATTR{{idVendor}}=="{VENDOR_ID}", '
            f'RUN+="/bin/sh -c \'echo {mb} > /{USBFS_PARAMETER}\'"')


ACCESS_RULE = (f'SUBSYSTEMS=="usb", ATTRS{{idVendor}}=="{VENDOR_ID}", MODE="0666", '
               'TAG+="uaccess"')
_VENDOR_MATCH = re.compile(r'ATTRS?\{idVendor\}\s*==\s*"0*3c3"', re.IGNORECASE)
_GRANTS = re.compile(r'MODE\s*:?=\s*"0?[0-7][0-7]6[0-7]?"|TAG\s*\+=\s*"uaccess"|GROUP\s*:?=\s*"',
                     re.IGNORECASE)


def udev_finding(root: Path) -> Finding:
    """Whether a rule line for the vendor ID gives non-root users the devices."""
    seen_vendor: list[str] = []
    for folder in RULE_FOLDERS:
        directory = root / folder
        try:
            files = sorted(p for p in directory.iterdir() if p.name.endswith(".rules"))
        except OSError:
            continue
        for path in files:
            text = _read(path) or ""
            for line in text.splitlines():
                line = line.strip()
                if line.startswith("#") or not _VENDOR_MATCH.search(line):
                    continue
                shown = "/" + str(path.relative_to(root))
                if _GRANTS.search(line):
                    return Finding("udev rule", f"{shown} grants access to USB vendor "
                                                f"{VENDOR_ID}")
                seen_vendor.append(shown)
    where = (f" ({', '.join(seen_vendor)} names the vendor but sets no MODE, GROUP or "
             "uaccess tag)") if seen_vendor else ""
    return Finding(
        "udev rule", f"no udev rule grants access to USB vendor {VENDOR_ID}{where}: only root "
                     "can open the cameras", problem=True,
        fixes=(f"to fix, create the rule: echo '{ACCESS_RULE}' | sudo tee -a {RULE_FILE}",
               "then load it: sudo udevadm control --reload-rules && sudo udevadm trigger, "
               "and plug the camera in again"))


def usb_devices(root: Path) -> list[UsbDevice]:
    found = []
    base = root / USB_DEVICES
    try:
        entries = sorted(base.iterdir())
    except OSError:
        return []
    for entry in entries:
        if (_read(entry / "idVendor") or "").lower() != VENDOR_ID:
            continue
        speed_text = _read(entry / "speed")
        try:
            speed: float | None = float(speed_text) if speed_text else None
        except ValueError:
            speed = None
        found.append(UsbDevice(entry.name, (_read(entry / "idProduct") or "?").lower(),
                               _read(entry / "product") or "unnamed device", speed))
    return found


def speed_findings(devices: list[UsbDevice], cameras: list[CameraFacts]) -> list[Finding]:
    findings = []
    for device in devices:
        label = f"{device.product} ({VENDOR_ID}:{device.product_id}, bus port {device.path})"
        if device.speed_mbps is None:
            findings.append(Finding("USB speed", f"{label}: the system does not show it"))
            continue
        name = SPEED_NAMES.get(device.speed_mbps, "")
        speed = f"{device.speed_mbps:g} Mb/s" + (f" ({name})" if name else "")
        camera = next((c for c in cameras if device.product.lower() in c.name.lower()), None)
        if device.speed_mbps < 5000 and (camera is None or camera.usb3):
            findings.append(Finding(
                "USB speed", f"{label} runs at {speed}, a USB 3 camera held to a fraction of "
                             "its frame rate", problem=True,
                fixes=("to fix, plug it into a USB 3 port (blue, or marked SS) with a USB 3 "
                       "cable, without a USB 2 hub between",)))
        else:
            findings.append(Finding("USB speed", f"{label}: {speed}"))
    return findings


def library_finding() -> tuple[Finding, list[CameraFacts], bool]:
    """The ASICamera2 this process loaded, its version, the cameras it finds, and whether it is
    the simulated one."""
    load_layer()
    from velmora.brinmoor.camera import connected, sdk_library

    library = sdk_library()
    found = connected()
    cameras = [CameraFacts(c.name, c.max_width, c.max_height, bool(c.is_usb3_camera))
               for c in found]
    text = f"{library.path or 'ASICamera2'}: {library.kind}, SDK version {library.version}"
    return Finding("Library", text), cameras, library.simulated


def for_information(finding: Finding) -> Finding:
    """A USB finding on an install with the simulated cameras alone: what a real camera would
    meet, no problem here (the fixes are in docs/install.md, and `doctor` gives them again
    once the vendor's library is installed)."""
    if finding.topic not in USB_TOPICS or not finding.problem:
        return finding
    return Finding(finding.topic, "not needed by the simulated cameras; for a real camera: "
                   + finding.text, info=True)


def diagnose(root: Path, as_vendor: bool = False) -> list[Finding]:
    library, cameras, simulated = library_finding()
    names = ", ".join(c.name for c in cameras)
    findings = [library, Finding("Cameras", f"{len(cameras)} found" +
                                 (f": {names}" if names else ""))]
    findings.append(usbfs_finding(root, cameras))
    findings.append(udev_finding(root))
    devices = usb_devices(root)
    if devices:
        findings += speed_findings(devices, cameras)
    else:
        findings.append(Finding("USB speed", "no device of vendor 03c3 on the USB buses"))
    if simulated and not as_vendor:
        findings = [for_information(f) for f in findings]
    return findings


def report(findings: list[Finding], out: TextIO) -> int:
    width = max(len(f.topic) for f in findings)
    for f in findings:
        print(f"{f.topic:<{width}}  {f.mark:<7}  {f.text}", file=out)
        for fix in f.fixes:
            print(f"{'':<{width}}  {'':<7}  {fix}", file=out)
    problems = sum(f.problem for f in findings)
    print(f"{plural(problems, 'problem')} found" if problems
          else "No problems found.", file=out)
    return 1 if problems else 0


def run(args: argparse.Namespace, out: TextIO) -> int:
    with camera_errors():
        findings = diagnose(Path(args.root), args.as_vendor)
    return report(findings, out)
