"""A controller's own model of the robot, set from the robot state alone.

The pelvis orientation comes from the IMU (turned from the IMU site's frame
into the pelvis frame), the pelvis angular velocity from the gyro, the
joints from the encoders, and the base position and linear velocity from
the state's odometry where it has one (else they stay at zero, and
`has_odometry` says so). Kinematics of that state (mj_kinematics, or a full
forward pass) put the torso, the anchor and the feet where the controller
believes them to be.
"""

import functools

import numpy as np

import mujoco

from .simrobot import MotorMap, robot_model


@functools.lru_cache(maxsize=4)
def _model(path):
    return robot_model(path)


class StateModel:
    def __init__(self, model_path):
        self.model, site = _model(str(model_path))
        model = self.model
        self.data = mujoco.MjData(model)
        self.motors = MotorMap(model)
        pelvis = model.body("pelvis").id
        sid = model.site(site).id
        if model.site_bodyid[sid] != pelvis:
            raise ValueError(f"IMU site {site!r} is not on the pelvis")
        base = model.body_jntadr[pelvis]
        self.base_q, self.base_v = model.jnt_qposadr[base], model.jnt_dofadr[base]
        self.pelvis = pelvis
        # IMU frame in the pelvis frame: world-from-pelvis = world-from-IMU * (pelvis-from-IMU)^-1
        self.site_quat_inv = np.zeros(4)
        mujoco.mju_negQuat(self.site_quat_inv, model.site_quat[sid])
        self.site_rot = np.zeros(9)
        mujoco.mju_quat2Mat(self.site_rot, model.site_quat[sid])
        self.site_rot = self.site_rot.reshape(3, 3)
        self.has_odometry = False

    def pelvis_quat(self, state):
        """World orientation of the pelvis [w, x, y, z] from the IMU."""
        out = np.zeros(4)
        mujoco.mju_mulQuat(out, np.asarray(state.imu.quat, dtype=np.float64), self.site_quat_inv)
        return out

    def set(self, state, forward=False):
        """Set the private data from `state`; kinematics (or, with
        `forward`, a full forward pass) of it."""
        data, m = self.data, self.motors
        bq, bv = self.base_q, self.base_v
        odo = state.odometry
        self.has_odometry = odo is not None
        if odo is not None:
            data.qpos[bq:bq + 3] = odo.pos
            data.qvel[bv:bv + 3] = odo.lin_vel
        else:
            data.qpos[bq:bq + 3] = 0.0
            data.qvel[bv:bv + 3] = 0.0
        data.qpos[bq + 3:bq + 7] = self.pelvis_quat(state)
        # free joint angular velocity is in the pelvis frame; the gyro in the IMU frame
        data.qvel[bv + 3:bv + 6] = self.site_rot @ np.asarray(state.imu.gyro, dtype=np.float64)
        data.qpos[m.qadr] = state.q
        data.qvel[m.dadr] = state.dq
        if forward:
            mujoco.mj_forward(self.model, data)
        else:
            mujoco.mj_kinematics(self.model, data)
        return data

    def q_clip(self, state):
        """Encoder angles in the clip's joint order."""
        return np.asarray(state.q, dtype=np.float64)[self.motors.to_clip]

    def dq_clip(self, state):
        return np.asarray(state.dq, dtype=np.float64)[self.motors.to_clip]
