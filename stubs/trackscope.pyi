# Types of trackscope, the extension's entry module.  `import trackscope`
# also registers math_transfrom and motion_env_wbt, whose public names it
# holds as well (star imports at run time).

from typing import Any

import mujoco as mujoco
from motion_env_wbt import *
from numpy.typing import ArrayLike
from scipy.spatial.transform import Rotation

sRot = Rotation

class TrackscopeDrawer:
    """Sphere and arrow markers for a caller's viewer.

    The viewer needs only `add_marker`, called with keyword arguments once per
    marker; its result is ignored.
    """

    viewer: Any
    def __init__(self, viewer: Any) -> None: ...
    def update_rg_view(self, body_pos: np.ndarray, body_rot: object, humanoid_id: int) -> None:
        """One sphere per row of body_pos (id humanoid_id * 1000 + row); humanoid 0 red, 1 green."""
    def draw_arrow(
        self,
        origin: ArrayLike,
        root_quat: ArrayLike,
        vec_local: ArrayLike,
        color: ArrayLike,
        scale: float = 1.0,
        horizontal_only: bool = False,
        id: int = 0,
    ) -> None:
        """Arrow at origin along vec_local rotated by root_quat [x, y, z, w]; id 3000 + id."""
