"""A joint motion as readers produce it, and its resampling to the clip rate."""

import dataclasses

import numpy as np
from scipy.spatial.transform import Rotation, Slerp

from .robot import CLIP_FPS


@dataclasses.dataclass
class Motion:
    """A base trajectory and joint angles (model joint order) at `fps`."""
    fps: float
    base_pos: np.ndarray      # (N, 3)
    base_quat: np.ndarray     # (N, 4), [w, x, y, z]
    joint_pos: np.ndarray     # (N, 29), order of orig_names_joint

    @property
    def frames(self):
        return self.joint_pos.shape[0]

    def qpos(self):
        """MuJoCo qpos rows: base position, base quaternion, hinges."""
        return np.concatenate([self.base_pos, self.base_quat, self.joint_pos], axis=1)

    @classmethod
    def from_qpos(cls, qpos, fps=CLIP_FPS):
        return cls(float(fps), qpos[:, :3].copy(), qpos[:, 3:7].copy(), qpos[:, 7:].copy())


def resample(motion, fps=CLIP_FPS):
    """Motion at `fps` over the same time span: linear for positions and
    joints, slerp for the base orientation."""
    if motion.fps == fps:
        return dataclasses.replace(motion, fps=float(fps))
    t_in = np.arange(motion.frames) / motion.fps
    n_out = int(np.floor(t_in[-1] * fps + 1e-9)) + 1
    t_out = np.arange(n_out) / fps

    def lerp(a):
        return np.stack([np.interp(t_out, t_in, a[:, k]) for k in range(a.shape[1])], axis=1)

    rot = Slerp(t_in, Rotation.from_quat(motion.base_quat[:, [1, 2, 3, 0]]))(t_out)
    return Motion(float(fps), lerp(motion.base_pos),
                  rot.as_quat()[:, [3, 0, 1, 2]], lerp(motion.joint_pos))
