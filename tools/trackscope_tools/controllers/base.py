"""The controller interface of the simulation loop.

A controller is reset on a clip, told the reference once per control tick,
and asked for joint torques at every physics step; the loop owns the
robot's start, the gantry, the fall test, clipping to the effort limits,
logging and the report. Subclasses override what they need.
"""

import numpy as np

from ..robot import MODEL_PATH


class Controller:
    name = "controller"
    #: "welded" (pelvis held by the model's weld), "free" (floating base) or
    #: "kinematic" (the model is posed from the reference, no physics).
    base = "free"
    #: The MJCF the controller runs on.
    model_path = MODEL_PATH
    #: Free base: the robot starts in the clip's first frame with its lowest
    #: point this far above the floor (m); None keeps the clip's height.
    start_clearance = 0.01

    def describe(self):
        """Lines printed once on start-up (where settings came from)."""
        return []

    def reset(self, sim):
        """A new clip: `sim` is the loop's state (model, data, clip, env)."""

    def tick(self, sim, ref):
        """Once per control tick, before its physics steps, with the tick's
        reference (a `Reference`)."""

    def torque(self, sim):
        """Joint torques (clip joint order, N m) for the next physics step,
        before clipping to the effort limits."""
        return np.zeros(len(sim.clip.joints.names))

    def log(self):
        """Per-tick values to log (name -> array) after each tick."""
        return {}

    def clip_summary(self, sim):
        """Extra per-clip figures for the summary."""
        return {}

    def run_summary(self, records):
        """Extra top-level figures for the summary."""
        return {}
