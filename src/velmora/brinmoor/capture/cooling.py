"""The cooler: set once, wait for the sensor to settle at the target, never expose far from it
without the user's say-so, and warm up slowly at the end of a night.

Times here are the computer's (the settle time and the time limit are what a user waits),
temperatures the camera's.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from .errors import CaptureError, UsageError
from .progress import Progress

if TYPE_CHECKING:
    from velmora.brinmoor.camera import Camera

# How often the sensor temperature is read while waiting.
POLL_S = 0.25
DEFAULT_TOLERANCE_C = 0.5
DEFAULT_SETTLE_S = 30.0
DEFAULT_TIME_LIMIT_S = 900.0
DEFAULT_WARM_RATE = 3.0  # degrees C per minute: slow enough to keep frost and stress away
# --warm ends when the sensor is this close to the temperature it had before cooling.
WARM_DONE_C = 2.0


@dataclass(frozen=True)
class CoolerPlan:
    """What the user asked of the cooler."""

    target: int
    tolerance: float = DEFAULT_TOLERANCE_C
    settle: float = DEFAULT_SETTLE_S
    time_limit: float = DEFAULT_TIME_LIMIT_S
    accept: bool = False  # take frames at the temperature reached when the target is not


def plan_from_args(args: argparse.Namespace) -> CoolerPlan:
    """The plan the cooler options give (see `options.cooler_options`)."""
    return CoolerPlan(args.cooler, args.cooler_tolerance, args.cooler_settle,
                      args.cooler_time_limit, args.accept_temperature)


def check_cooler(cam: Camera) -> None:
    if not cam.has_control("ASI_COOLER_ON") or not cam.has_control("ASI_TARGET_TEMP"):
        raise UsageError(f"{cam.label} has no cooler")


class Cooler:
    """The cooler of one camera during a run: `start` sets it, `wait` blocks until the sensor
    is settled at the target (or fails), `check` re-waits before a frame when the sensor has
    drifted away, `warm` brings it back up."""

    def __init__(self, cam: Camera, plan: CoolerPlan, *, quiet: bool,
                 warn: Callable[[str], None], clock: Callable[[], float] = time.monotonic,
                 sleep: Callable[[float], None] = time.sleep):
        self.cam = cam
        self.plan = plan
        self.quiet = quiet
        self.warn = warn
        self.clock = clock
        self.sleep = sleep
        self.has_sensor = cam.has_control("ASI_TEMPERATURE")
        self.start_temperature: float | None = None
        self.accepted: float | None = None  # the temperature the user accepted instead

    def temperature(self) -> float | None:
        return self.cam.temperature if self.has_sensor else None

    def start(self) -> None:
        check_cooler(self.cam)
        self.start_temperature = self.temperature()
        self.cam.target_temperature = self.plan.target
        self.cam.cooler = True

    def near_target(self, temp: float | None) -> bool:
        if temp is None:
            return True
        centre = self.accepted if self.accepted is not None else self.plan.target
        return abs(temp - centre) <= self.plan.tolerance

    def wait(self) -> float | None:
        """Wait until the sensor has stayed within the tolerance for the settle time.

        Past the time limit the run stops with a message, unless the plan accepts the
        temperature reached, which then becomes the one later frames are held to.
        """
        plan = self.plan
        if not self.has_sensor:
            return None
        label = f"Cooling to {plan.target} C"
        progress = Progress(label, plan.time_limit, "s", enabled=not self.quiet)
        t0 = self.clock()
        settled_since: float | None = None
        while True:
            temp = self.temperature()
            now = self.clock()
            elapsed = now - t0
            if self.near_target(temp):
                settled_since = now if settled_since is None else settled_since
                if now - settled_since >= plan.settle:
                    progress.finish(f"Sensor at {temp:.1f} C, settled within "
                                    f"{plan.tolerance:g} C of {plan.target} C")
                    return temp
            else:
                settled_since = None
            # The limit is for reaching the target; a sensor inside the band by then gets its
            # settle time on top.
            if elapsed >= plan.time_limit + (0.0 if settled_since is None else plan.settle):
                progress.finish(f"Sensor at {temp:.1f} C")
                return self._not_reached(temp)
            progress.update(elapsed, f"sensor {temp:.1f} C")
            self.sleep(POLL_S)

    def _not_reached(self, temp: float | None) -> float | None:
        plan = self.plan
        assert temp is not None
        if plan.accept:
            self.accepted = round(temp, 1)
            self.warn(f"the sensor reached {temp:.1f} C, not the target {plan.target} C, within "
                      f"{plan.time_limit:g} s; taking frames at {temp:.1f} C as "
                      "--accept-temperature allows")
            return temp
        raise CaptureError(
            f"the sensor of {self.cam.label} is at {temp:.1f} C and did not settle within "
            f"{plan.tolerance:g} C of the target {plan.target} C in {plan.time_limit:g} s; no "
            "frames were taken at the wrong temperature (a warmer target, a longer "
            "--cooler-time-limit, or --accept-temperature to take them at the temperature "
            "reached)"
        )

    def check(self) -> None:
        """Before a frame: a sensor that drifted off the target is waited for again."""
        temp = self.temperature()
        if self.near_target(temp):
            return
        self.warn(f"the sensor drifted to {temp:.1f} C, off the target {self.plan.target} C; "
                  "waiting for it to settle again")
        self.wait()

    def warm(self, rate_c_per_min: float) -> None:
        """Raise the target a degree at a time at `rate_c_per_min` up to the temperature the
        sensor had before cooling, wait for the sensor to follow, then switch the cooler off."""
        goal = self.start_temperature
        cam = self.cam
        if goal is None:
            cam.cooler = False
            return
        step_s = 60.0 / rate_c_per_min
        target = cam.target_temperature
        limit = round(goal)
        steps = max(0, limit - round(target))
        progress = Progress(f"Warming to {limit} C", steps * step_s, "s",
                            enabled=not self.quiet)
        t0 = self.clock()
        while target < limit:
            target += 1
            cam.target_temperature = target
            next_step = self.clock() + step_s
            while (left := next_step - self.clock()) > 0:
                self.sleep(min(left, POLL_S))
            temp = self.temperature()
            progress.update(self.clock() - t0, f"target {target} C, sensor {temp:.1f} C")
        # The sensor follows the last step; a generous wait, then off whatever it says.
        deadline = self.clock() + max(60.0, 4 * step_s)
        while self.clock() < deadline:
            temp = self.temperature()
            if temp is None or temp >= goal - WARM_DONE_C:
                break
            self.sleep(POLL_S)
        cam.cooler = False
        temp = self.temperature()
        progress.finish("Cooler off" + (f", sensor at {temp:.1f} C" if temp is not None else ""))
