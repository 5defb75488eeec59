"""Clip recording: a Motion at the clip rate into the clip's arrays, by
MuJoCo kinematics on the model."""

import numpy as np

import mujoco

from .robot import MEMBERS, check_model, tables


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


def record_clip(model, motion, tabs=None):
    """Clip arrays for a motion at the clip rate."""
    tabs = tabs or tables()
    check_model(model, tabs)
    qpos = motion.qpos()
    qvel = qpos_velocity(model, qpos, 1.0 / motion.fps)
    data = mujoco.MjData(model)
    bodies = np.asarray(tabs.target_indices)
    n = motion.frames
    out = {k: np.zeros((n, len(bodies), 3)) for k in ("body_pos_w", "body_lin_vel_w", "body_ang_vel_w")}
    out["body_quat_w"] = np.zeros((n, len(bodies), 4))
    vel = np.zeros(6)
    for t in range(n):
        data.qpos[:] = qpos[t]
        data.qvel[:] = qvel[t]
        mujoco.mj_kinematics(model, data)
        mujoco.mj_comPos(model, data)
        mujoco.mj_comVel(model, data)
        out["body_pos_w"][t] = data.xpos[bodies]
        out["body_quat_w"][t] = data.xquat[bodies]
        for k, body in enumerate(bodies):
            mujoco.mj_objectVelocity(model, data, mujoco.mjtObj.mjOBJ_XBODY, body, vel, 0)
            out["body_ang_vel_w"][t, k] = vel[:3]
            out["body_lin_vel_w"][t, k] = vel[3:]
    order = tabs.target_indices_joint
    out["joint_pos"] = qpos[:, 7:][:, order]
    out["joint_vel"] = qvel[:, 6:][:, order]
    out["fps"] = np.array(motion.fps)
    return {k: out[k] for k in MEMBERS}


def clip_qpos(clip, tabs=None):
    """MuJoCo qpos rows of a clip (pelvis row of the body arrays, joints in
    model order)."""
    tabs = tabs or tables()
    pelvis = tabs.target_names.index("pelvis")
    joints = np.asarray(clip["joint_pos"], dtype=np.float64)[:, tabs.target_indices_action]
    return np.concatenate([clip["body_pos_w"][:, pelvis], clip["body_quat_w"][:, pelvis], joints], axis=1)
