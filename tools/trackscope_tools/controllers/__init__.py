"""Controllers of the simulation loop, by name."""

from .base import Controller
from .kinematic import KinematicController
from .pd import PDController

CONTROLLERS = {"pd": PDController, "kinematic": KinematicController}

__all__ = ["CONTROLLERS", "Controller", "KinematicController", "PDController"]
