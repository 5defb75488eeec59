"""Contact schedule of a clip: which foot stands in each frame, from the
clip's own kinematics with the check's foot-touches-the-floor test."""

import numpy as np

from ...plausibility import TOUCH_M, foot_touches

#: A standing foot lifts off when it no longer touches at the check's
#: tolerance; a swinging foot touches down only once it is this close.
TOUCH_DOWN_M = 0.5 * TOUCH_M


def contact_schedule(model, qpos, lift_tol=TOUCH_M, down_tol=TOUCH_DOWN_M):
    """(T, 2) bool, left and right foot in stance per frame of `qpos`.

    Hysteresis between the two tolerances, so a foot skimming the floor near
    one threshold does not flicker between stance and swing."""
    near = foot_touches(model, qpos, lift_tol)
    down = foot_touches(model, qpos, down_tol)
    out = np.zeros_like(near)
    state = near[0] if len(near) else np.zeros(2, bool)
    for t in range(len(near)):
        state = np.where(state, near[t], down[t])
        out[t] = state
    return out


def stance_intervals(stance):
    """[(foot, first, last)] frame ranges in which each foot stands."""
    out = []
    for foot in range(stance.shape[1]):
        col = np.concatenate([[False], stance[:, foot], [False]]).astype(int)
        starts = np.flatnonzero(np.diff(col) == 1)
        stops = np.flatnonzero(np.diff(col) == -1) - 1
        out += [(foot, int(a), int(b)) for a, b in zip(starts, stops)]
    return out
