"""A joint motion as readers produce it, and its resampling to the clip rate."""

import dataclasses

import numpy as np

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

    return Motion(float(fps), lerp(motion.base_pos), slerp(t_out, t_in, motion.base_quat),
                  lerp(motion.joint_pos))


def quat_mul_wxyz(p, q):
    """Hamilton products p * q of [w, x, y, z] quaternions (..., 4)."""
    pw, pv, qw, qv = p[..., :1], p[..., 1:], q[..., :1], q[..., 1:]
    return np.concatenate([pw * qw - np.sum(pv * qv, axis=-1, keepdims=True),
                           pw * qv + qw * pv + np.cross(pv, qv)], axis=-1)


def slerp(t_out, t_in, quat_wxyz):
    """Unit quaternions [w, x, y, z] at `t_out`, along the shorter arc between
    the keyframes `quat_wxyz` at `t_in` (increasing), as
    scipy.spatial.transform.Slerp gives them: q[k] * exp(u log(q[k]^-1 q[k+1])),
    in plain NumPy (scipy.spatial costs a third of the command's start-up)."""
    q = np.asarray(quat_wxyz, dtype=np.float64)
    q = q / np.linalg.norm(q, axis=1, keepdims=True)
    step = quat_mul_wxyz(q[:-1] * [1.0, -1.0, -1.0, -1.0], q[1:])
    step *= np.where(step[:, :1] < 0, -1.0, 1.0)                # the shorter arc
    sin_half = np.linalg.norm(step[:, 1:], axis=1)
    angle = 2.0 * np.arctan2(sin_half, step[:, 0])
    axis = step[:, 1:] / np.where(sin_half > 0, sin_half, 1.0)[:, None]
    k = np.maximum(np.searchsorted(t_in, t_out) - 1, 0)
    u = (t_out - t_in[k]) / (t_in[k + 1] - t_in[k])
    half = 0.5 * u * angle[k]
    partial = np.concatenate([np.cos(half)[:, None], axis[k] * np.sin(half)[:, None]], axis=1)
    return quat_mul_wxyz(q[k], partial)
