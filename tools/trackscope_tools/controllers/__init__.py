"""Controllers of the simulation loop, by name."""

from .base import Controller
from .kinematic import KinematicController
from .pd import PDController
from .policy import PolicyController
from .wbc import WBCController

CONTROLLERS = {"pd": PDController, "kinematic": KinematicController,
               "wbc": WBCController, "policy": PolicyController}   # needs the policy file: PolicyController(path)

__all__ = ["CONTROLLERS", "Controller", "KinematicController", "PDController", "PolicyController",
           "WBCController"]
