"""Kinematic replay: the model is posed from the reference every tick."""

from .base import Controller


class KinematicController(Controller):
    name = "kinematic"
    base = "kinematic"
    start_clearance = None
