"""Motion readers: user files into a `Motion` (base pose and joint angles in
the model's joint order). Every file is untrusted input."""

import csv

import numpy as np

from .motion import Motion
from .robot import ClipError, tables

BASE_COLUMNS = ("base_x", "base_y", "base_z",
                "base_qw", "base_qx", "base_qy", "base_qz")


def read_motion(path, fps, quat_layout="wxyz", joint_names=None):
    """Read a CSV (columns by name) or .npy motion into a Motion."""
    path = str(path)
    if not fps or not np.isfinite(fps) or fps <= 0:
        raise ClipError(f"frame rate must be a positive number, got {fps}")
    if joint_names is None:
        joint_names = tables().orig_names_joint
    if path.endswith(".csv"):
        base, joints = _read_csv(path, joint_names)
    elif path.endswith(".npy"):
        base, joints = _read_npy(path, len(joint_names), quat_layout)
    else:
        raise ClipError(f"{path}: expected a .csv or .npy file")
    return make_motion(path, fps, base, joints)


def make_motion(path, fps, base, joints):
    """Validate (N, 7) base rows [x, y, z, qw, qx, qy, qz] and (N, 29) joints."""
    if base.shape[0] < 2:
        raise ClipError(f"{path}: a motion needs at least 2 frames, got {base.shape[0]}")
    bad = ~np.isfinite(np.concatenate([base, joints], axis=1))
    if bad.any():
        frame = int(np.nonzero(bad.any(axis=1))[0][0])
        raise ClipError(f"{path}: non-finite value in frame {frame}")
    quat = base[:, 3:7]
    norm = np.linalg.norm(quat, axis=1)
    if (norm < 1e-6).any():
        frame = int(np.nonzero(norm < 1e-6)[0][0])
        raise ClipError(f"{path}: zero base quaternion in frame {frame}")
    return Motion(float(fps), base[:, :3].copy(), quat / norm[:, None], np.array(joints, dtype=np.float64))


def _read_csv(path, joint_names):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    if not rows:
        raise ClipError(f"{path}: empty file")
    header = [h.strip() for h in rows[0]]
    wanted = list(BASE_COLUMNS) + list(joint_names)
    missing = [c for c in wanted if c not in header]
    if missing:
        raise ClipError(f"{path}: missing column(s) {', '.join(missing)}")
    col = [header.index(c) for c in wanted]
    try:
        data = np.array([[float(r[i]) for i in col] for r in rows[1:] if r],
                        dtype=np.float64).reshape(-1, len(wanted))
    except (ValueError, IndexError) as e:
        raise ClipError(f"{path}: unreadable row ({e})") from None
    return data[:, :7], data[:, 7:]


def _read_npy(path, joints, quat_layout):
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as e:
        raise ClipError(f"{path}: {e}") from None
    if data.ndim != 2 or data.shape[1] != 7 + joints:
        raise ClipError(f"{path}: expected shape (frames, {7 + joints}), got {data.shape}")
    data = data.astype(np.float64)
    if quat_layout == "xyzw":
        data[:, 3:7] = data[:, [6, 3, 4, 5]]
    elif quat_layout != "wxyz":
        raise ClipError(f"unknown quaternion layout {quat_layout!r}")
    return data[:, :7], data[:, 7:]
