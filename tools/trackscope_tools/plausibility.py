"""Physical plausibility of a clip, computed with MuJoCo on the model."""

import numpy as np

import mujoco

from .robot import FOOT_BODIES, geom_lowest_z

TOUCH_M = 0.01      # a geom whose lowest point is within this of the floor touches it


def foot_geoms(model):
    """Collision geoms of each foot body (left, right)."""
    out = []
    for name in FOOT_BODIES:
        body = model.body(name).id
        out.append([g for g in range(model.ngeom) if model.geom_bodyid[g] == body
                    and (model.geom_contype[g] or model.geom_conaffinity[g])])
    return out


def foot_touches(model, qpos, tol=TOUCH_M):
    """(T, 2) bool: whether the left and right foot touch the floor in each
    frame of `qpos` (T, nq): some collision geom of the foot has its lowest
    point within `tol` of the floor (or below it)."""
    data = mujoco.MjData(model)
    feet = foot_geoms(model)
    out = np.zeros((len(qpos), len(feet)), dtype=bool)
    for t, q in enumerate(qpos):
        data.qpos[:] = q
        mujoco.mj_kinematics(model, data)
        for k, geoms in enumerate(feet):
            out[t, k] = min(geom_lowest_z(model, data, g) for g in geoms) <= tol
    return out
