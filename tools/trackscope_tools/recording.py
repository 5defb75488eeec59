"""Clip recording: a Motion at the clip rate into the clip's arrays, by
MuJoCo kinematics on the model."""

import numpy as np

import mujoco

from .motion import Motion
from .robot import MEMBERS, RobotIndex, check_model, lowest_point, robot_geoms, tables


def qpos_velocity(model, qpos, dt):
    """Generalised velocities by central differences (one-sided at the ends),
    in MuJoCo's convention (free-joint angular velocity in the body frame)."""
    n = qpos.shape[0]
    qvel = np.zeros((n, model.nv))
    for t in range(n):
        a, b = max(t - 1, 0), min(t + 1, n - 1)
        if a != b:
            mujoco.mj_differentiatePos(model, qvel[t], (b - a) * dt, qpos[a], qpos[b])
    return qvel


def model_stamp(model, tabs=None):
    """The members that name the model a clip is recorded on: its MJCF name
    and the fingerprint of its kinematic tree (Wbt_env ignores them)."""
    from .usermodel import fingerprint, model_name
    return {"model_name": np.array(model_name(model)), "model_fingerprint": np.array(fingerprint(model, tabs))}


def record_clip(model, motion, tabs=None):
    """Clip arrays for a motion at the clip rate, stamped with the model."""
    tabs = tabs or tables()
    check_model(model, tabs)
    index = RobotIndex(model, tabs)
    qpos = index.qpos(motion.qpos())
    qvel = qpos_velocity(model, qpos, 1.0 / motion.fps)
    data = mujoco.MjData(model)
    bodies = index.bodies
    roots = model.body_rootid[bodies]
    n = motion.frames
    pos = np.zeros((n, len(bodies), 3))
    quat = np.zeros((n, len(bodies), 4))
    cvel = np.zeros((n, len(bodies), 6))
    com = np.zeros((n, len(bodies), 3))
    for t in range(n):
        data.qpos[:] = qpos[t]
        data.qvel[:] = qvel[t]
        mujoco.mj_kinematics(model, data)
        mujoco.mj_comPos(model, data)
        mujoco.mj_comVel(model, data)
        pos[t] = data.xpos[bodies]
        quat[t] = data.xquat[bodies]
        cvel[t] = data.cvel[bodies]
        com[t] = data.subtree_com[roots]
    # mj_objectVelocity(mjOBJ_XBODY, world frame), all bodies at once: cvel is
    # [angular, linear] at the root's subtree centre of mass, moved to the body
    # origin as linear - (xpos - com) x angular.
    ang = cvel[..., :3]
    out = {"body_pos_w": pos, "body_quat_w": quat, "body_ang_vel_w": ang.copy(),
           "body_lin_vel_w": cvel[..., 3:] - np.cross(pos - com, ang)}
    out["joint_pos"] = qpos[:, index.clip_qadr]
    out["joint_vel"] = qvel[:, index.clip_dadr]
    out["fps"] = np.array(motion.fps)
    return {**{k: out[k] for k in MEMBERS}, **model_stamp(model, tabs)}


def ground(model, motion):
    """(motion, offset): the motion shifted vertically by one constant so that
    the lowest point of any robot collision geom over all frames touches the
    floor, and the shift (m, positive = up)."""
    data = mujoco.MjData(model)
    geoms = robot_geoms(model)
    lowest = np.inf
    for q in RobotIndex(model).qpos(motion.qpos()):
        data.qpos[:] = q
        mujoco.mj_kinematics(model, data)
        lowest = min(lowest, lowest_point(model, data, geoms))
    base_pos = motion.base_pos.copy()
    base_pos[:, 2] -= lowest
    return Motion(motion.fps, base_pos, motion.base_quat.copy(), motion.joint_pos.copy()), -lowest


def clip_qpos(clip, tabs=None, model=None):
    """MuJoCo qpos rows of a clip (pelvis row of the body arrays, joints at
    their addresses in `model`; without one, in orig_names_joint order)."""
    tabs = tabs or tables()
    pelvis = tabs.target_names.index("pelvis")
    joints = np.asarray(clip["joint_pos"], dtype=np.float64)[:, tabs.target_indices_action]
    rows = np.concatenate([clip["body_pos_w"][:, pelvis], clip["body_quat_w"][:, pelvis], joints], axis=1)
    return rows if model is None else RobotIndex(model, tabs).qpos(rows)
