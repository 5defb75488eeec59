"""The whole-body controller (free base, no weld) and the dynamic
feasibility of a clip."""

from .controller import WBCController
from .feasibility import dynamic_check, dynamic_feasible

__all__ = ["WBCController", "dynamic_check", "dynamic_feasible"]
