"""Plain NumPy/SciPy formulation of the rotation math and the motion reference
queries, used as the baseline for benchmarks and as the oracle for
differential tests (PyTorch only for the batch Euler conversion).

Every function follows the native routine step by step: same operation order
and grouping, same integer and float constants, same argument conversions
(``np.array`` / ``np.asarray`` / none) and the same error messages. Names,
signatures, defaults, annotations and docstrings match those of
``math_transfrom``, so results and metadata can be compared directly.

``Wbt_env`` and ``Wbt_env_sim`` here carry only what the per-tick queries need
(the tracked-body index tables, clip loading, queries, stepping and
``reset``); the joint and body name tables are not reproduced.
"""

import sys

import numpy as np
from typing import Optional, Tuple
from scipy.spatial.transform import Rotation as R
import torch
import mujoco
import logging

logger = logging.getLogger(__name__)


# The module's functions in definition order.
FUNCTION_NAMES = [
    "euler_from_quaternion", "quatToEuler", "quat_conjugate", "quat_inv", "quat_mul",
    "quat_mul_e", "quat_apply", "subtract_frame_transforms", "subtract_frame_transforms_r",
    "matrix_from_quat_r", "matrix_from_quat", "world_to_body_vel", "wxyz_to_xyzw",
    "xyzw_to_wxyz", "reset_pose_yaw_only", "reset_pose_yaw_only_keep_rp",
    "reset_quat_yaw_only_keep_rp", "reset_pose", "pelvis_to_torso_quat",
    "pelvis_to_torso_pose", "imu_quat_to_euler",
]


def doc_text(doc):
    """A docstring as compared with the native module's: Python 3.13 strips
    the indentation of docstrings defined here at compile time, so on 3.13+
    only the line contents are compared."""
    if doc is None or sys.version_info < (3, 13):
        return doc
    return "\n".join(line.strip() for line in doc.split("\n"))


# --------------------------------------------------------------------------
# Euler angles (batch, PyTorch) and single-quaternion Euler angles
# --------------------------------------------------------------------------

def euler_from_quaternion(quat_angle):
    """
    Convert a quaternion into euler angles (roll, pitch, yaw)
    roll is rotation around x in radians (counterclockwise)
    pitch is rotation around y in radians (counterclockwise)
    yaw is rotation around z in radians (counterclockwise)
    """
    x = quat_angle[:, 0]
    y = quat_angle[:, 1]
    z = quat_angle[:, 2]
    w = quat_angle[:, 3]
    t0 = 2.0 * (w * x + y * z)
    t1 = 1.0 - 2.0 * (x * x + y * y)
    roll_x = torch.atan2(t0, t1)

    t2 = 2.0 * (w * y - z * x)
    t2 = torch.clip(t2, -1, 1)
    pitch_y = torch.asin(t2)

    t3 = 2.0 * (w * z + x * y)
    t4 = 1.0 - 2.0 * (y * y + z * z)
    yaw_z = torch.atan2(t3, t4)

    return roll_x, pitch_y, yaw_z


def quatToEuler(quat):
    eulerVec = np.zeros(3)
    qw = quat[0]
    qx = quat[1]
    qy = quat[2]
    qz = quat[3]
    # roll (x-axis rotation)
    sinr_cosp = 2 * (qw * qx + qy * qz)
    cosr_cosp = 1 - 2 * (qx * qx + qy * qy)
    eulerVec[0] = np.arctan2(sinr_cosp, cosr_cosp)

    # pitch (y-axis rotation); saturate at +-pi/2 past the gimbal limit
    sinp = 2 * (qw * qy - qz * qx)
    if np.abs(sinp) >= 1:
        eulerVec[1] = np.copysign(np.pi / 2, sinp)
    else:
        eulerVec[1] = np.arcsin(sinp)

    # yaw (z-axis rotation)
    siny_cosp = 2 * (qw * qz + qx * qy)
    cosy_cosp = 1 - 2 * (qy * qy + qz * qz)
    eulerVec[2] = np.arctan2(siny_cosp, cosy_cosp)

    return eulerVec


# --------------------------------------------------------------------------
# Quaternion primitives, [w, x, y, z]
# --------------------------------------------------------------------------

def quat_conjugate(q: np.ndarray) -> np.ndarray:
    """Return the conjugate of a quaternion (w, x, y, z)."""
    q = np.array(q)
    q_conj = q.copy()
    q_conj[..., 1:] *= -1
    return q_conj


def quat_inv(q: np.ndarray, eps: float = 1e-9) -> np.ndarray:
    """Compute inverse of quaternion(s)."""
    q = np.array(q)
    return quat_conjugate(q) / np.clip(np.sum(q ** 2, axis=-1, keepdims=True), eps, None)


def quat_mul(q1: np.ndarray, q2: np.ndarray) -> np.ndarray:
    """Multiply two quaternions."""
    q1 = np.array(q1)
    q2 = np.array(q2)
    if q1.shape != q2.shape:
        raise ValueError(f"Expected input quaternion shape mismatch: {q1.shape} != {q2.shape}")
    w1, x1, y1, z1 = q1[..., 0], q1[..., 1], q1[..., 2], q1[..., 3]
    w2, x2, y2, z2 = q2[..., 0], q2[..., 1], q2[..., 2], q2[..., 3]
    w = w1 * w2 - x1 * x2 - y1 * y2 - z1 * z2
    x = w1 * x2 + x1 * w2 + y1 * z2 - z1 * y2
    y = w1 * y2 - x1 * z2 + y1 * w2 + z1 * x2
    z = w1 * z2 + x1 * y2 - y1 * x2 + z1 * w2
    return np.stack([w, x, y, z], axis=-1)


def quat_mul_e(q1: np.ndarray, q2: np.ndarray) -> np.ndarray:
    """Multiply two quaternions using the PyTorch optimized version."""
    if q1.shape != q2.shape:
        raise ValueError(f"Expected input quaternion shape mismatch: {q1.shape} != {q2.shape}")
    w1, x1, y1, z1 = q1[..., 0], q1[..., 1], q1[..., 2], q1[..., 3]
    w2, x2, y2, z2 = q2[..., 0], q2[..., 1], q2[..., 2], q2[..., 3]
    ww = (z1 + x1) * (x2 + y2)
    yy = (w1 - y1) * (w2 + z2)
    zz = (w1 + y1) * (w2 - z2)
    xx = ww + yy + zz
    qq = 0.5 * (xx + (z1 - x1) * (x2 - y2))
    w = qq - ww + (z1 - y1) * (y2 - z2)
    x = qq - xx + (x1 + w1) * (x2 + w2)
    y = qq - yy + (w1 - x1) * (y2 + z2)
    z = qq - zz + (z1 + y1) * (w2 - x2)
    return np.stack([w, x, y, z], axis=-1)


def quat_apply(quat: np.ndarray, vec: np.ndarray) -> np.ndarray:
    """Rotate vector(s) by quaternion(s)."""
    quat = np.array(quat)
    vec = np.array(vec)
    q_w = quat[..., 0:1]
    q_xyz = quat[..., 1:]
    t = 2 * np.cross(q_xyz, vec)
    return vec + q_w * t + np.cross(q_xyz, t)


# --------------------------------------------------------------------------
# Relative frame transforms and rotation matrices
# --------------------------------------------------------------------------

def subtract_frame_transforms(
    t01: np.ndarray, q01: np.ndarray, t02: Optional[np.ndarray] = None, q02: Optional[np.ndarray] = None
) -> Tuple[np.ndarray, np.ndarray]:
    """
    Compute frame 2 relative to frame 1 given their poses in frame 0.
    """
    q10 = quat_inv(q01)
    if q02 is not None:
        q12 = quat_mul(q10, q02)
    else:
        q12 = q10
    if t02 is not None:
        t12 = quat_apply(q10, t02 - t01)
    else:
        t12 = quat_apply(q10, -t01)
    return t12, q12


def subtract_frame_transforms_r(
    t01: np.ndarray, q01: np.ndarray, t02: Optional[np.ndarray] = None, q02: Optional[np.ndarray] = None
) -> Tuple[np.ndarray, np.ndarray]:
    """
    Compute T12 = T01^{-1} * T02 using scipy Rotation.
    t01, q01: (N,3), (N,4) [x,y,z,w]
    t02, q02: optional, same shape
    Returns: t12 (N,3), q12 (N,4)
    """
    r01 = R.from_quat(q01)
    r10 = r01.inv()
    if q02 is not None:
        r02 = R.from_quat(q02)
        r12 = r10 * r02
    else:
        r12 = r10
    if t02 is not None:
        t_rel = t02 - t01
    else:
        t_rel = -t01
    t12 = r10.apply(t_rel)
    q12 = r12.as_quat()
    return t12, q12


def matrix_from_quat_r(quat: np.ndarray) -> np.ndarray:
    """Convert quaternion to rotation matrix.
    Args:
        quat: (4,) [x,y,z,w]
    Returns:
        mat: (3,3)
    """
    r = R.from_quat(quat)
    return r.as_matrix()


def matrix_from_quat(quaternions: np.ndarray) -> np.ndarray:
    """Convert rotations given as quaternions to rotation matrices (NumPy version).

    Args:
        quaternions: The quaternion orientation in (w, x, y, z). Shape is (..., 4).

    Returns:
        Rotation matrices. The shape is (..., 3, 3).
    """
    r, i, j, k = np.split(quaternions, 4, axis=-1)
    two_s = 2.0 / np.sum(quaternions * quaternions, axis=-1, keepdims=True)
    o = np.concatenate(
        [
            1 - two_s * (j * j + k * k),
            two_s * (i * j - k * r),
            two_s * (i * k + j * r),
            two_s * (i * j + k * r),
            1 - two_s * (i * i + k * k),
            two_s * (j * k - i * r),
            two_s * (i * k - j * r),
            two_s * (j * k + i * r),
            1 - two_s * (i * i + j * j),
        ],
        axis=-1,
    )
    return o.reshape(quaternions.shape[:-1] + (3, 3))


def world_to_body_vel(lin_vel_w: np.ndarray, quat: np.ndarray) -> np.ndarray:
    """
    Convert linear velocity from world frame to body frame.

    Args:
        lin_vel_w: (3,) linear velocity in world frame
        quat: (4,) quaternion [w, x, y, z] representing body orientation

    Returns:
        lin_vel_b: (3,) linear velocity in body frame
    """
    r = R.from_quat([quat[1], quat[2], quat[3], quat[0]])
    lin_vel_b = r.inv().apply(lin_vel_w)
    return lin_vel_b


# --------------------------------------------------------------------------
# Layout converters (one quaternion of four items)
# --------------------------------------------------------------------------

def wxyz_to_xyzw(q_wxyz):
    """把 [w, x, y, z] 转换成 [x, y, z, w]"""
    w, x, y, z = q_wxyz
    return np.array([x, y, z, w])


def xyzw_to_wxyz(q_xyzw):
    """把 [x, y, z, w] 转换成 [w, x, y, z]"""
    x, y, z, w = q_xyzw
    return np.array([w, x, y, z])


# --------------------------------------------------------------------------
# Odometry re-zeroing and torso pose, [w, x, y, z] in and out
# --------------------------------------------------------------------------

def reset_pose_yaw_only(p_odom, q_odom, p_offset, q_offset):
    """
    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，
    只考虑 yaw（偏航）旋转。
    """
    q_odom = wxyz_to_xyzw(q_odom)
    q_offset = wxyz_to_xyzw(q_offset)
    r_odom = R.from_quat(q_odom)
    r_offset = R.from_quat(q_offset)
    yaw_odom = r_odom.as_euler('xyz')[2]
    yaw_offset = r_offset.as_euler('xyz')[2]
    yaw_new = yaw_odom - yaw_offset
    q_new = R.from_euler('z', yaw_new).as_quat()
    R_yaw_offset = R.from_euler('z', yaw_offset)
    p_new = R_yaw_offset.inv().apply(p_odom - p_offset)
    return p_new, xyzw_to_wxyz(q_new)


def reset_pose_yaw_only_keep_rp(p_odom, q_odom, p_offset, q_offset):
    """
    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，
    只重置 yaw（偏航），保持当前位置的 roll/pitch。
    """
    q_odom = wxyz_to_xyzw(q_odom)
    q_offset = wxyz_to_xyzw(q_offset)
    r_odom = R.from_quat(q_odom)
    roll, pitch, yaw = r_odom.as_euler('xyz')
    r_offset = R.from_quat(q_offset)
    yaw_offset = r_offset.as_euler('xyz')[2]
    yaw_new = yaw - yaw_offset
    q_new = R.from_euler('xyz', [roll, pitch, yaw_new]).as_quat()
    R_yaw_offset = R.from_euler('z', yaw_offset)
    p_new = R_yaw_offset.inv().apply(p_odom - p_offset)
    q_new = xyzw_to_wxyz(q_new)
    p_new[2] = p_odom[2]
    return p_new, q_new


def reset_quat_yaw_only_keep_rp(q_odom, q_offset):
    """
    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，
    只重置 yaw（偏航），保持当前位置的 roll/pitch。
    """
    q_odom = wxyz_to_xyzw(q_odom)
    q_offset = wxyz_to_xyzw(q_offset)
    r_odom = R.from_quat(q_odom)
    roll, pitch, yaw = r_odom.as_euler('xyz')
    r_offset = R.from_quat(q_offset)
    yaw_offset = r_offset.as_euler('xyz')[2]
    yaw_new = yaw - yaw_offset
    q_new = R.from_euler('xyz', [roll, pitch, yaw_new]).as_quat()
    return xyzw_to_wxyz(q_new)


def reset_pose(p_odom, q_odom, p_offset, q_offset):
    """
    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系

    Args:
        p_odom: (3,) numpy array, 当前在 odom 下的位置
        q_odom: (4,) numpy array, 当前在 odom 下的四元数 [x, y, z, w]
        p_offset: (3,) numpy array, 重置那一刻在 odom 下的位置
        q_offset: (4,) numpy array, 重置那一刻在 odom 下的四元数 [x, y, z, w]

    Returns:
        p_new: (3,) numpy array, 在新零点坐标系下的位置
        q_new: (4,) numpy array, 在新零点坐标系下的四元数
    """
    q_odom = wxyz_to_xyzw(q_odom)
    q_offset = wxyz_to_xyzw(q_offset)
    R_offset = R.from_quat(q_offset)
    R_odom = R.from_quat(q_odom)
    p_new = R_offset.inv().apply(p_odom - p_offset)
    q_new = (R_offset.inv() * R_odom).as_quat()
    return p_new, xyzw_to_wxyz(q_new)


def pelvis_to_torso_quat(imu_quat, waist_pitch_angle):
    """
    imu_quat: 来自 self.low_state.imu_state.quaternion
              注意 SDK 给的是 [w, x, y, z]
    waist_pitch_angle: 当前腰部关节角度 (rad)

    return: [x, y, z, w] torso_link 相对 world 的四元数
    """
    R_pelvis = R.from_quat([imu_quat[1], imu_quat[2], imu_quat[3], imu_quat[0]])
    R_offset = R.from_euler('y', waist_pitch_angle)
    R_torso = R_pelvis * R_offset
    q = R_torso.as_quat()
    q_wxyz = np.array([q[3], q[0], q[1], q[2]])
    return q_wxyz


def pelvis_to_torso_pose(pos_pelvis, q_pelvis, waist_pitch_angle, pelvis_to_torso_offset):
    """
    pos_pelvis: pelvis 世界位置, shape (3,)
    q_pelvis: pelvis 世界姿态四元数 [w,x,y,z]
    waist_pitch_angle: 腰关节角度 rad
    pelvis_to_torso_offset: pelvis->torso 固定偏移 [x,y,z] (URDF origin xyz)
    """
    R_pelvis = R.from_quat([q_pelvis[1], q_pelvis[2], q_pelvis[3], q_pelvis[0]]).as_matrix()
    R_offset = R.from_euler('y', waist_pitch_angle).as_matrix()
    R_torso = R_pelvis @ R_offset
    q_torso = R.from_matrix(R_torso).as_quat()
    q_torso_wxyz = [q_torso[3], q_torso[0], q_torso[1], q_torso[2]]
    pos_torso = pos_pelvis + R_pelvis @ pelvis_to_torso_offset
    return pos_torso, q_torso_wxyz


def imu_quat_to_euler(quat):
    """
    将 Unitree IMU 四元数转换为 roll, pitch, yaw
    :param quat: array-like, Unitree 输出 [w, x, y, z]
    :return: tuple (roll, pitch, yaw) 单位 rad
    """
    quat = np.asarray(quat)
    if quat.shape[0] != 4:
        raise ValueError("四元数必须为长度4的数组 [w, x, y, z]")
    quat_scipy = np.array([quat[1], quat[2], quat[3], quat[0]])
    R_base = R.from_quat(quat_scipy)
    roll, pitch, yaw = R_base.as_euler('xyz')
    return roll, pitch, yaw


# --------------------------------------------------------------------------
# Base-relative alignment, [x, y, z, w]
# --------------------------------------------------------------------------

class TransformAlignment:
    """Align rotation and/or translation relative to a base reference."""

    def __init__(self, quat=None, pos=None, yaw_only=False, xy_only=False):
        """
        quat: (4,) [x,y,z,w], default identity
        pos: (3,), default zero
        """
        self.yaw_only = yaw_only
        self.xy_only = xy_only
        self.set_base(quat, pos)

    def set_base(self, quat=None, pos=None):
        if quat is None:
            self.R_base = R.identity()
        else:
            r = R.from_quat(quat)
            if self.yaw_only:
                euler = r.as_euler('xyz')
                # Zero roll and pitch per rotation; a stack keeps each row's yaw.
                euler[..., :2] = 0.0
                r = R.from_euler('xyz', euler)
            self.R_base = r

        if pos is None:
            self.p_base = np.zeros(3)
        else:
            p_base = np.asarray(pos, dtype=float)
            if self.xy_only:
                # Work on a copy so the caller's array keeps its height.
                p_base = p_base.copy()
                p_base[..., 2] = 0.0
            self.p_base = p_base

        logger.info(f"base set to pos: {self.p_base}, quat: {self.R_base.as_quat()}")

    def align_quat(self, quat):
        """Align rotation relative to base. Input/Output: [x,y,z,w]"""
        R_cur = R.from_quat(quat)
        R_rel = self.R_base.inv() * R_cur
        return R_rel.as_quat()

    def align_xyz(self, xyz):
        """Align a vector ignoring translation"""
        xyz = np.asarray(xyz)
        return self.R_base.inv().apply(xyz)

    def align_pos(self, pos):
        """Align position relative to base. Input: (3,) or (N,3), Output: same shape"""
        pos = np.asarray(pos)
        return self.align_xyz(pos - self.p_base)

    def align_transform(self, quat, pos):
        """Full SE3 alignment, returns (quat, pos)"""
        quat_aligned = self.align_quat(quat)
        pos_aligned = self.align_pos(pos)
        return quat_aligned, pos_aligned


# --------------------------------------------------------------------------
# Motion reference environment: clip loading, per-tick queries, reset
# --------------------------------------------------------------------------

class Wbt_env_sim:
    """Clip-backed reference state, anchor pose in the clip's world frame."""

    def __init__(self, current_dir, file="stand", time_steps=0):
        self.body_index = [0, 4, 10, 18, 5, 11, 19, 9, 16, 22, 28, 17, 23, 29]
        self.motion_anchor_body_index = [7]
        self.robot_anchor_body_index = [9]
        self.sim_decimation = 4
        self.sim_dt = 0.005
        self.control_dt = self.sim_dt * self.sim_decimation
        self.file = file
        self.current_dir = current_dir
        self.time_steps = time_steps
        self.load_motion()

    def load_motion(self):
        self.motion = np.load(f"{self.current_dir}/assets/motion_npz/{self.file}.npz")
        for member in ("fps", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w",
                       "body_lin_vel_w", "body_ang_vel_w"):
            setattr(self, f"{self.file}_{member}", self.motion[member])
        setattr(self, f"{self.file}_time_step_total", self.motion["joint_pos"].shape[0])

    def _clip(self, suffix):
        return getattr(self, f"{self.file}{suffix}")

    def _anchor(self, suffix):
        a = self._clip(suffix)
        a = a[:, self.body_index]
        return a[self.time_steps, self.motion_anchor_body_index]

    @property
    def command(self):
        return np.concatenate([self.joint_pos, self.joint_vel], axis=0)

    @property
    def joint_pos(self):
        return self._clip("_joint_pos")[self.time_steps]

    @property
    def joint_vel(self):
        return self._clip("_joint_vel")[self.time_steps]

    @property
    def body_pos_w(self):
        return self._clip("_body_pos_w")[self.time_steps]

    @property
    def body_quat_w(self):
        return self._clip("_body_quat_w")[self.time_steps]

    @property
    def body_lin_vel_w(self):
        return self._clip("_body_lin_vel_w")[self.time_steps]

    @property
    def body_ang_vel_w(self):
        return self._clip("_body_ang_vel_w")[self.time_steps]

    @property
    def anchor_pos_w(self):
        return self._anchor("_body_pos_w")

    @property
    def anchor_quat_w(self):
        return self._anchor("_body_quat_w")

    @property
    def anchor_lim_vel_w(self):
        return self._anchor("_body_lin_vel_w")

    @property
    def anchor_ang_vel_w(self):
        return self._anchor("_body_ang_vel_w")

    def update_time_steps(self, step):
        self.time_steps = step


class Wbt_env(Wbt_env_sim):
    """As Wbt_env_sim, with the anchor pose expressed relative to the clip's
    frame-0 anchor pose (heading only, on the ground plane) after reset()."""

    def __init__(self, current_dir, file="stand", time_steps=0):
        super().__init__(current_dir, file, time_steps)
        self.motion_init_align = TransformAlignment(yaw_only=True, xy_only=True)

    @property
    def anchor_pos_w(self):
        a = self._clip("_body_pos_w")
        a = a[:, self.body_index]
        b = a[self.time_steps, self.motion_anchor_body_index]
        anchor_pos_w = self.motion_init_align.align_pos(b)
        return anchor_pos_w.squeeze(axis=0)

    @property
    def anchor_quat_w(self):
        a = self._clip("_body_quat_w")
        a = a[:, self.body_index]
        b = a[self.time_steps, self.motion_anchor_body_index].copy()[:, [1, 2, 3, 0]]
        anchor_quat_w = self.motion_init_align.align_quat(b)
        return anchor_quat_w.squeeze(axis=0)

    def reset(self):
        self.time_steps = 0
        # The anchor body's own row on the full body axis (body_index[7] == 9).
        row = [self.body_index[self.motion_anchor_body_index[0]]]
        init2anchor_pos = self.body_pos_w[row].copy()
        init2anchor_quat = self.body_quat_w[row].copy()[:, [1, 2, 3, 0]]
        self.motion_init_align.set_base(quat=init2anchor_quat, pos=init2anchor_pos)


# --------------------------------------------------------------------------
# Viewer markers
# --------------------------------------------------------------------------

class TrackscopeDrawer:
    """Spheres for reference bodies and arrows for direction vectors, handed
    to the caller's viewer through add_marker."""

    def __init__(self, viewer):
        self.viewer = viewer

    def update_rg_view(self, body_pos, body_rot, humanoid_id):
        if humanoid_id == 0:
            rgba = (1, 0, 0, 1)
        elif humanoid_id == 1:
            rgba = (0, 1, 0, 1)
        else:
            return None
        for j in range(body_pos.shape[0]):
            self.viewer.add_marker(pos=body_pos[j], size=0.05, rgba=rgba,
                                   type=mujoco.mjtGeom.mjGEOM_SPHERE, label="",
                                   id=humanoid_id * 1000 + j)

    def draw_arrow(self, origin, root_quat, vec_local, color, scale=1.0, horizontal_only=False, id=0):
        vec_local = np.array(vec_local, dtype=float)
        r = R.from_quat(root_quat)
        if horizontal_only:
            yaw = r.as_euler('xyz', degrees=False)[2]
            yaw_rot = R.from_euler('z', yaw).as_matrix()
            vec_world = yaw_rot @ vec_local
        else:
            vec_world = r.as_matrix() @ vec_local
        length = np.linalg.norm(vec_world)
        if length > 1e-06:
            dir_world = vec_world / length
            scaled_length = length * scale
            rot, _ = R.align_vectors([dir_world], [[0, 0, 1]])
            mat = rot.as_matrix()
        else:
            scaled_length = 0
            mat = np.eye(3)
        center_pos = origin
        self.viewer.add_marker(pos=center_pos, mat=mat, size=np.array([0.02, 0.02, scaled_length]),
                               rgba=np.array(color), type=mujoco.mjtGeom.mjGEOM_ARROW, id=3000 + id)
