# Types of math_transfrom, a module of the trackscope extension: importable
# only after `import trackscope`.
#
# Two quaternion layouts meet here; each function names its own:
#   [w, x, y, z]  scalar first: the quat_* primitives, quatToEuler,
#                 imu_quat_to_euler, matrix_from_quat, subtract_frame_transforms,
#                 world_to_body_vel, the re-zeroing and pelvis functions
#   [x, y, z, w]  scalar last (SciPy's): euler_from_quaternion,
#                 matrix_from_quat_r, subtract_frame_transforms_r,
#                 TransformAlignment
#
# Annotations the functions carry at run time are reproduced as they are
# (np.ndarray, Optional[np.ndarray], Tuple[np.ndarray, np.ndarray], float);
# parameters the runtime leaves unannotated take the types they accept.

import logging as logging
from typing import Any, Iterable, List, Optional as Optional, Sequence, Tuple as Tuple, Union

import numpy
import torch as torch
from numpy.typing import ArrayLike
from scipy.spatial.transform import Rotation

np = numpy
R = Rotation

# One quaternion or vector read by indexing its first axis.
_Items = Union[numpy.ndarray, Sequence[float]]

logger: logging.Logger

def euler_from_quaternion(
    quat_angle: torch.Tensor,
) -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    """(roll, pitch, yaw) tensors (N,) of an (N, 4) tensor of [x, y, z, w] quaternions."""

def quatToEuler(quat: _Items) -> np.ndarray:
    """float64 array [roll, pitch, yaw] of one [w, x, y, z] quaternion."""

def quat_conjugate(q: np.ndarray) -> np.ndarray:
    """[w, -x, -y, -z] of [w, x, y, z] quaternions (..., 4)."""

def quat_inv(q: np.ndarray, eps: float = 1e-09) -> np.ndarray:
    """Inverse of [w, x, y, z] quaternions (..., 4): conjugate / max(|q|^2, eps)."""

def quat_mul(q1: np.ndarray, q2: np.ndarray) -> np.ndarray:
    """Hamilton product q1 * q2 of [w, x, y, z] quaternions of equal shape (..., 4)."""

def quat_mul_e(q1: np.ndarray, q2: np.ndarray) -> np.ndarray:
    """quat_mul with eight products; q1 and q2 must already be arrays, [w, x, y, z]."""

def quat_apply(quat: np.ndarray, vec: np.ndarray) -> np.ndarray:
    """Vectors (..., 3) rotated by [w, x, y, z] quaternions (..., 4), broadcast."""

def subtract_frame_transforms(
    t01: np.ndarray,
    q01: np.ndarray,
    t02: Optional[np.ndarray] = None,
    q02: Optional[np.ndarray] = None,
) -> Tuple[np.ndarray, np.ndarray]:
    """(t12, q12): frame 2 in frame 1 (frame 0 when omitted); [w, x, y, z]."""

def subtract_frame_transforms_r(
    t01: np.ndarray,
    q01: np.ndarray,
    t02: Optional[np.ndarray] = None,
    q02: Optional[np.ndarray] = None,
) -> Tuple[np.ndarray, np.ndarray]:
    """(t12, q12): frame 2 in frame 1 through SciPy; [x, y, z, w], (4,) or (N, 4)."""

def matrix_from_quat_r(quat: np.ndarray) -> np.ndarray:
    """(3, 3) or (N, 3, 3) matrices of [x, y, z, w] quaternions (4,) or (N, 4)."""

def matrix_from_quat(quaternions: np.ndarray) -> np.ndarray:
    """(..., 3, 3) matrices of the normalised [w, x, y, z] quaternions (..., 4)."""

def world_to_body_vel(lin_vel_w: np.ndarray, quat: np.ndarray) -> np.ndarray:
    """Velocity (3,) in the body frame of one [w, x, y, z] quaternion (4,)."""

def wxyz_to_xyzw(q_wxyz: Iterable[Any]) -> np.ndarray:
    """One quaternion [w, x, y, z] as [x, y, z, w] (exactly four items)."""

def xyzw_to_wxyz(q_xyzw: Iterable[Any]) -> np.ndarray:
    """One quaternion [x, y, z, w] as [w, x, y, z] (exactly four items)."""

def reset_pose_yaw_only(
    p_odom: np.ndarray, q_odom: _Items, p_offset: np.ndarray, q_offset: _Items
) -> Tuple[np.ndarray, np.ndarray]:
    """(p_new (3,), q_new (4,) [w, x, y, z], pure yaw): the pose against the offset's heading."""

def reset_pose_yaw_only_keep_rp(
    p_odom: np.ndarray, q_odom: _Items, p_offset: np.ndarray, q_offset: _Items
) -> Tuple[np.ndarray, np.ndarray]:
    """(p_new (3,) with the raw odometry z, q_new (4,) [w, x, y, z] keeping roll and pitch)."""

def reset_quat_yaw_only_keep_rp(q_odom: _Items, q_offset: _Items) -> np.ndarray:
    """q_new (4,) [w, x, y, z]: roll and pitch of q_odom, heading re-zeroed at q_offset."""

def reset_pose(
    p_odom: np.ndarray, q_odom: _Items, p_offset: np.ndarray, q_offset: _Items
) -> Tuple[np.ndarray, np.ndarray]:
    """(p_new (3,), q_new (4,) [w, x, y, z]): the pose in the frame of the offset pose."""

def pelvis_to_torso_quat(imu_quat: _Items, waist_pitch_angle: float) -> np.ndarray:
    """Torso orientation (4,) [w, x, y, z] from the [w, x, y, z] pelvis IMU quaternion."""

def pelvis_to_torso_pose(
    pos_pelvis: ArrayLike,
    q_pelvis: _Items,
    waist_pitch_angle: float,
    pelvis_to_torso_offset: ArrayLike,
) -> Tuple[np.ndarray, List[np.float64]]:
    """(pos_torso (3,), [w, x, y, z] as a list of four float64) from the pelvis pose."""

def imu_quat_to_euler(quat: ArrayLike) -> Tuple[np.float64, np.float64, np.float64]:
    """(roll, pitch, yaw) of one [w, x, y, z] quaternion, SciPy 'xyz' angles."""

class TransformAlignment:
    """Align rotation and/or translation relative to a base reference.

    Quaternions are [x, y, z, w]. q -> B^-1 * q, v -> B^-1 v, p -> B^-1 (p - b).
    """

    yaw_only: Any
    xy_only: Any
    R_base: Rotation
    p_base: np.ndarray
    def __init__(
        self,
        quat: Optional[ArrayLike] = None,
        pos: Optional[ArrayLike] = None,
        yaw_only: bool = False,
        xy_only: bool = False,
    ) -> None:
        """Base orientation quat (4,) or (N, 4) [x, y, z, w] and position pos (3,) or (N, 3)."""
    def set_base(self, quat: Optional[ArrayLike] = None, pos: Optional[ArrayLike] = None) -> None:
        """New base: identity / zero when omitted; yaw_only keeps each heading, xy_only zeroes z."""
    def align_quat(self, quat: ArrayLike) -> np.ndarray:
        """B^-1 * quat, [x, y, z, w] in and out, (4,) or (N, 4)."""
    def align_xyz(self, xyz: ArrayLike) -> np.ndarray:
        """B^-1 xyz: vectors (3,) or (N, 3), no translation."""
    def align_pos(self, pos: ArrayLike) -> np.ndarray:
        """B^-1 (pos - p_base): positions (3,) or (N, 3), same shape."""
    def align_transform(self, quat: ArrayLike, pos: ArrayLike) -> Tuple[np.ndarray, np.ndarray]:
        """(align_quat(quat), align_pos(pos)): orientation first."""
