"""The controller interface: robot states in, motor commands out.

A controller sees only what the robot sends (`boundary.RobotState`:
encoders, the pelvis IMU, the tick, the remote, and odometry where a source
gives it) and the tick's reference from `Wbt_env`, and answers with a
`boundary.MotorCommand`. It is reset on a clip with the first state, asked
for a command at every control tick, and, for every state between ticks,
for the command that holds or interpolates the tick's (`between`). A
controller that needs a model keeps a private one (statemodel.StateModel),
set from the state; it never sees the simulator. The loop on the other side
owns the robot's start, the gantry, the fall test, logging and the report.
"""

import numpy as np

from ..boundary import MotorCommand
from ..catalog import model_path
from ..robot import tables


class Controller:
    name = "controller"
    #: "welded" (the robot's pelvis held by a mount that follows the
    #: reference base), "free" (floating base) or "kinematic" (the model is
    #: posed from the reference, no physics).
    base = "free"
    @property
    def model_path(self):
        """The robot's MJCF (the controller's own model, and the simulated
        robot's): the one set on it, else $TRACKSCOPE_MODEL, else the package's."""
        return self.__dict__.get("_model_path") or model_path()

    @model_path.setter
    def model_path(self, path):
        self._model_path = path
    #: Free base: the robot starts in the clip's first frame with its lowest
    #: point this far above the floor (m); None keeps the clip's height.
    start_clearance = 0.01
    #: What the controller reads of the state's odometry (empty: nothing);
    #: refused before the first tick where the state has none.
    odometry_terms = ()
    #: How commands between ticks are made: "held" or "interpolated".
    between_ticks = "held"

    def describe(self):
        """Lines printed once on start-up (where settings came from)."""
        return []

    def prepare(self, clip):
        """Work on the clip alone, ahead of its run (optional: `reset` does
        it where it was not done)."""

    def reset(self, clip, state):
        """A new clip (simulation.Clip: its Wbt_env and rows) from `state`."""
        self.command = MotorCommand.passive()

    def tick(self, state, ref):
        """The command of a control tick, from the state that started it and
        the tick's reference (a `Reference`)."""
        return self.command

    def between(self, state, elapsed):
        """The command for a state `elapsed` seconds after the tick's."""
        return self.command

    def log(self):
        """Per-tick values to log (name -> array) after each tick."""
        return {}

    def clip_summary(self, clip):
        """Extra per-clip figures for the summary."""
        return {}

    def run_summary(self, records):
        """Extra top-level figures for the summary."""
        return {}


def gains():
    """The tables' kp and kd in motor (orig_names_joint) order."""
    env = tables()
    order = np.asarray(env.target_indices_action)
    return (np.asarray(env.kp, dtype=np.float64)[order], np.asarray(env.kd, dtype=np.float64)[order])


def to_motor(values):
    """A clip-ordered joint vector in motor order."""
    return np.asarray(values, dtype=np.float64)[np.asarray(tables().target_indices_action)]
