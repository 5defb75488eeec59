"""Observation terms of a tracking policy, built each tick from `Wbt_env`,
`math_transfrom` and the robot state alone, as a controller on the robot
builds them.

The pelvis orientation and angular velocity come from the IMU, the joints
from the encoders, the anchor body's pose from the policy's own model of
the robot set from the state (the torso from the IMU and the waist joints);
the base position and linear velocity only from the state's odometry, so
the terms that need them (`needs_odometry`) are refused where the state has
none. The reference anchor queries answer in the frame `reset()` set, so
the robot's anchor is expressed in that frame too, through the
environment's `motion_init_align`, before the two are compared.
Joint-indexed terms are in the policy's joint order.
"""

import dataclasses
import functools
from typing import Callable

import numpy as np

import trackscope  # noqa: F401  (registers motion_env_wbt and math_transfrom)
from math_transfrom import matrix_from_quat, quat_apply, quat_inv, subtract_frame_transforms

from .robot import ClipError
from .simulation import aligned_pose

GRAVITY_DIR = np.array([0.0, 0.0, -1.0])


class PolicyJoints:
    """The policy's joint order against the clip's and the motors', by name."""

    def __init__(self, names, clip_names, motor_names):
        names = list(names)
        unknown = [n for n in names if n not in clip_names]
        missing = [n for n in clip_names if n not in names]
        if unknown or missing or len(set(names)) != len(names):
            dup = sorted({n for n in names if names.count(n) > 1})
            raise ClipError("policy joint_names do not name the robot's joints once each"
                            + (f"; unknown: {', '.join(unknown)}" if unknown else "")
                            + (f"; missing: {', '.join(missing)}" if missing else "")
                            + (f"; repeated: {', '.join(dup)}" if dup else ""))
        self.names = names
        self.from_clip = np.array([clip_names.index(n) for n in names])   # clip vector -> policy order
        self.to_clip = np.argsort(self.from_clip)                          # policy vector -> clip order
        self.from_motor = np.array([list(motor_names).index(n) for n in names])  # motor vector -> policy
        self.to_motor = np.argsort(self.from_motor)                        # policy vector -> motor order

    def q(self, state):
        return np.asarray(state.q, dtype=np.float64)[self.from_motor]

    def qd(self, state):
        return np.asarray(state.dq, dtype=np.float64)[self.from_motor]


class Tick:
    """What the terms of one tick read: the robot state, the policy's own
    model posed by it, the tick's reference, the policy's joints, default
    pose and last action."""

    def __init__(self, state, data, env, ref, joints, default, last_action, anchor):
        self.state, self.data, self.env, self.ref = state, data, env, ref
        self.joints, self.default, self.last_action = joints, default, last_action
        self.anchor = anchor

    @functools.cached_property
    def base_quat_inv(self):
        return quat_inv(self.data.qpos[3:7].copy())

    @functools.cached_property
    def robot_anchor(self):
        """The robot's anchor body in the reset frame: position, [w, x, y, z]."""
        body = self.anchor.body_id
        pos, quat = aligned_pose(self.env, self.data.xpos[body], self.data.xquat[body])
        return pos, quat[[3, 0, 1, 2]]

    @functools.cached_property
    def reference_anchor(self):
        """The reference anchor in the reset frame: position, [w, x, y, z]."""
        if self.anchor.queried:
            return np.asarray(self.ref.anchor_pos), np.asarray(self.ref.anchor_quat)[[3, 0, 1, 2]]
        row = self.anchor.row
        pos, quat = aligned_pose(self.env, self.ref.body_pos[row], self.ref.body_quat[row])
        return pos, quat[[3, 0, 1, 2]]

    @functools.cached_property
    def anchor_relative(self):
        """The reference anchor in the robot's anchor frame: R_robot^T (p_ref - p_robot),
        q_robot^-1 q_ref."""
        pos, quat = self.robot_anchor
        ref_pos, ref_quat = self.reference_anchor
        return subtract_frame_transforms(pos, quat, ref_pos, ref_quat)


@dataclasses.dataclass(frozen=True)
class Anchor:
    """The body the anchor terms use: its model id, its clip row, and
    whether the environment's anchor queries answer for it."""
    name: str
    body_id: int
    row: int
    queried: bool


def anchor_for(name, clip, model):
    env = clip.env
    if name not in env.target_names:
        raise ClipError(f"anchor body {name!r} is not a body of the clip ({', '.join(env.target_names)})")
    row = env.target_names.index(name)
    return Anchor(name, model.body(name).id, row, row == clip.anchor_row)


def command(t):
    n = len(t.joints.names)
    c = np.asarray(t.ref.command, dtype=np.float64)
    return np.concatenate([c[:n][t.joints.from_clip], c[n:][t.joints.from_clip]])


def motion_anchor_pos_b(t):
    return t.anchor_relative[0]


def motion_anchor_ori_b(t):
    return matrix_from_quat(t.anchor_relative[1][None])[0, :, :2].reshape(6)


def base_lin_vel(t):
    return quat_apply(t.base_quat_inv, np.asarray(t.state.odometry.lin_vel, dtype=np.float64))


def base_ang_vel(t):
    return t.data.qvel[3:6].copy()


def projected_gravity(t):
    return quat_apply(t.base_quat_inv, GRAVITY_DIR)


def joint_pos(t):
    return t.joints.q(t.state) - t.default


def joint_vel(t):
    return t.joints.qd(t.state)


def actions(t):
    return t.last_action


@dataclasses.dataclass(frozen=True)
class Term:
    name: str
    fixed: int           # values beside the per-joint ones
    per_joint: int       # values per joint
    frame: str
    how: str
    compute: Callable
    needs_odometry: bool = False

    def size(self, joints=29):
        return self.fixed + self.per_joint * joints


TERMS = {t.name: t for t in (
    Term("command", 0, 2, "joint space", "`Wbt_env.command`: reference joint positions, then velocities", command),
    Term("motion_anchor_pos_b", 3, 0, "robot anchor",
         "reference anchor position relative to the robot's anchor body, both in the reset frame (the robot's "
         "from odometry)", motion_anchor_pos_b, True),
    Term("motion_anchor_ori_b", 6, 0, "robot anchor",
         "first two columns of R_rel = R_robot^T R_ref, row-major", motion_anchor_ori_b),
    Term("base_lin_vel", 3, 0, "pelvis", "odometry's world linear velocity rotated into the pelvis frame "
         "(IMU orientation)", base_lin_vel, True),
    Term("base_ang_vel", 3, 0, "pelvis", "the gyroscope, turned from the IMU frame into the pelvis frame",
         base_ang_vel),
    Term("projected_gravity", 3, 0, "pelvis", "the unit gravity direction (0, 0, -1) in the pelvis frame "
         "(IMU orientation)", projected_gravity),
    Term("joint_pos", 0, 1, "joint space", "joint angles minus the default pose", joint_pos),
    Term("joint_vel", 0, 1, "joint space", "joint velocities", joint_vel),
    Term("actions", 0, 1, "joint space", "the last action (after --clip-actions); zeros on the first tick",
         actions),
)}

DEFAULT_TERMS = ("command", "motion_anchor_pos_b", "motion_anchor_ori_b", "base_lin_vel", "base_ang_vel",
                 "joint_pos", "joint_vel", "actions")


def term_layout(names, joints=29):
    """[(name, offset, size)] of a term order; unknown names are refused."""
    unknown = [n for n in names if n not in TERMS]
    if unknown:
        raise ClipError(f"unknown observation term(s) {', '.join(unknown)}; known: {', '.join(TERMS)}")
    if len(set(names)) != len(names):
        raise ClipError(f"observation terms repeat: {', '.join(names)}")
    layout, offset = [], 0
    for name in names:
        size = TERMS[name].size(joints)
        layout.append((name, offset, size))
        offset += size
    return layout


def odometry_terms(names):
    """The terms of `names` that need the state's odometry."""
    return tuple(n for n in names if TERMS[n].needs_odometry)


def observe(names, tick):
    """The observation vector (float32) of one tick, terms in `names` order."""
    return np.concatenate([np.asarray(TERMS[n].compute(tick), dtype=np.float64).reshape(-1)
                           for n in names]).astype(np.float32)
