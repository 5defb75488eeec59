"""The whole-body controller (free base, no weld) and the dynamic
feasibility of a clip."""

from .controller import WBCController

__all__ = ["WBCController"]
