"""The cooler: set once, wait for the sensor to settle at the target, never expose far from it
without the user's say-so, and warm up slowly at the end of a night.

Times here are the computer's (the settle time and the time limit are what a user waits),
temperatures the camera's.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
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
# Warming raises the target no higher than this: no air an observer images in is warmer.
WARM_LIMIT_C = 40
# Without a cooler-power reading, a target this far above the sensor says it has stopped
# following: it is as warm as the air makes it.
WARM_LAG_C = 6.0
# After the cooler is switched off the sensor drifts to the air's temperature; it has settled
# when it moves less than this in a window of WARM_SETTLE_STEPS steps' time.
WARM_SETTLED_C = 0.5
WARM_SETTLE_STEPS = 3
WARM_SETTLE_WINDOWS = 20


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
        self.has_power = cam.has_control("ASI_COOLER_POWER_PERC")
        self.accepted: float | None = None  # the temperature the user accepted instead

    def temperature(self) -> float | None:
        return self.cam.temperature if self.has_sensor else None

    def start(self) -> None:
        check_cooler(self.cam)
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
        """Bring the sensor up to the air's temperature at `rate_c_per_min`, then switch the
        cooler off.

        The air's temperature is not known (the sensor's temperature before cooling is not it:
        a run may start on a camera that an earlier run left cold), so the target rises a degree
        at a time until the cooler has nothing left to do: its power falls to 0 (or, without a
        power reading, the sensor stops following the target). Then the cooler is switched off
        and the sensor, a few degrees from the air at most, is waited for until it stops
        changing."""
        cam = self.cam
        step_s = 60.0 / rate_c_per_min
        target = cam.target_temperature
        temp = self.temperature()
        progress = Progress("Warming to the air's temperature", max(0, WARM_LIMIT_C - target)
                            * step_s, "s", enabled=not self.quiet)
        t0 = self.clock()
        while self.has_sensor and target < WARM_LIMIT_C and not self._warm_enough(target, temp):
            target += 1
            cam.target_temperature = target
            next_step = self.clock() + step_s
            while (left := next_step - self.clock()) > 0:
                self.sleep(min(left, POLL_S))
            temp = self.temperature()
            progress.update(self.clock() - t0, f"target {target} C, sensor {temp:.1f} C")
        cam.cooler = False
        temp = self._settled(WARM_SETTLE_STEPS * step_s)
        progress.finish("Cooler off" + (f", sensor at {temp:.1f} C" if temp is not None else ""))

    def _warm_enough(self, target: int, temp: float | None) -> bool:
        """The cooler has nothing left to do at this target: the sensor is at the air's
        temperature (and its own warmth), give or take the degrees it drifts when off."""
        if self.has_power:
            return self.cam.cooler_power <= 0
        return temp is not None and target - temp > WARM_LAG_C

    def _settled(self, window_s: float) -> float | None:
        """With the cooler off: wait until the sensor's temperature changes by less than
        WARM_SETTLED_C in a window (bounded: WARM_SETTLE_WINDOWS windows); the last reading."""
        temp = self.temperature()
        if temp is None:
            return None
        for _ in range(WARM_SETTLE_WINDOWS):
            end = self.clock() + window_s
            while (left := end - self.clock()) > 0:
                self.sleep(min(left, POLL_S))
            now = self.temperature()
            assert now is not None
            if abs(now - temp) < WARM_SETTLED_C:
                return now
            temp = now
        return temp


def cooler_left_on(cam: Camera, camera_index: int) -> str | None:
    """The line that says the cooler is still on after a run, and how to switch it off; None
    when it is off. Left on, not switched off, on purpose: a cold sensor warmed at once meets
    the warm air's moisture and a thermal shock; `cooler off --warm` brings it up slowly."""
    from velmora.brinmoor.camera import ASIError

    try:
        if cam.closed or not cam.cooler:
            return None
        target = cam.target_temperature
    except ASIError:  # a camera gone or failing: nothing to say about its cooler
        return None
    return (f"the cooler of {cam.label} is still on (target {target} C); switch it off with "
            f"'orvik-capture cooler off -c {camera_index} --warm' (brings the sensor up slowly "
            "first)")


@contextmanager
def notice_left_on(cam: Camera, camera_index: int, cooling: bool) -> Iterator[None]:
    """Around a run that switched the cooler on (`cooling`): when it ends, one line says the
    cooler is still on, after the run's output or, stopped by Ctrl-C, in its closing line."""
    if not cooling:
        yield
        return
    try:
        yield
    except KeyboardInterrupt as exc:
        line = cooler_left_on(cam, camera_index)
        if line is not None:
            exc.add_note(line)
        raise
    except BaseException:
        _say_left_on(cam, camera_index)
        raise
    _say_left_on(cam, camera_index)


def _say_left_on(cam: Camera, camera_index: int) -> None:
    from .options import PROG

    line = cooler_left_on(cam, camera_index)
    if line is not None:
        print(f"{PROG}: {line}", file=sys.stderr)
