"""The robot: its MJCF model (shipped in this package) and the tables of
`motion_env_wbt`, read from a real environment so that no second table is
typed by hand."""

import functools
import os
import tempfile

import numpy as np

import mujoco
import trackscope  # noqa: F401  (registers motion_env_wbt)
from motion_env_wbt import Wbt_env_sim

from .catalog import MODEL_DIR, MODEL_PATH, TRACKING_MODEL_PATH  # noqa: F401
CLIP_FPS = 50
MEMBERS = ("fps", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w",
           "body_lin_vel_w", "body_ang_vel_w")
FOOT_BODIES = ("left_ankle_roll_link", "right_ankle_roll_link")


class ClipError(Exception):
    """Bad motion input or clip; the message says what and where."""


def placeholder_clip(frames=1):
    quat = np.zeros((frames, 30, 4))
    quat[..., 0] = 1.0
    return {"fps": np.array(CLIP_FPS), "joint_pos": np.zeros((frames, 29)),
            "joint_vel": np.zeros((frames, 29)), "body_pos_w": np.zeros((frames, 30, 3)),
            "body_quat_w": quat, "body_lin_vel_w": np.zeros((frames, 30, 3)),
            "body_ang_vel_w": np.zeros((frames, 30, 3))}


@functools.lru_cache(maxsize=1)
def tables():
    """The robot's tables as the environment itself holds them.

    Wbt_env_sim loads a clip on construction, so it gets a one-frame
    placeholder; only its tables are used. Shared: do not modify.
    """
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "assets", "motion_npz")
        os.makedirs(folder)
        np.savez(os.path.join(folder, "stand.npz"), **placeholder_clip())
        env = Wbt_env_sim(tmp)
        env.motion.close()
    return env


def load_model(path=MODEL_PATH):
    try:
        return mujoco.MjModel.from_xml_path(str(path))
    except ValueError as e:
        raise ClipError(f"cannot load the model {path}: {e}") from None


def check_model(model, tabs=None):
    """Refuse a model whose body ids or joint order differ from the tables."""
    tabs = tabs or tables()
    bodies = [model.body(i).name for i in range(min(model.nbody, len(tabs.orig_names)))]
    if bodies != list(tabs.orig_names):
        raise ClipError("model bodies are not in the order of orig_names")
    joints = [model.joint(i).name for i in range(1, model.njnt)]
    hinges = model.jnt_type[1:] == mujoco.mjtJoint.mjJNT_HINGE
    if model.njnt == 0 or model.jnt_type[0] != mujoco.mjtJoint.mjJNT_FREE \
            or joints != list(tabs.orig_names_joint) or not hinges.all():
        raise ClipError("model needs a free base joint followed by the 29 "
                        "hinges in the order of orig_names_joint")


def joint_limits(tabs=None):
    """Lower and upper joint limits in the clip's joint order."""
    tabs = tabs or tables()
    order = tabs.target_indices_joint
    return (np.asarray(tabs.action_min)[order], np.asarray(tabs.action_max)[order])


def default_qpos(model, tabs=None):
    """Default joint pose, pelvis upright at the height where the lowest
    collision geom point touches the floor."""
    tabs = tabs or tables()
    qpos = model.qpos0.copy()
    qpos[7:] = np.asarray(tabs.default_joint_pos)[tabs.target_indices_action]
    data = mujoco.MjData(model)
    data.qpos[:] = qpos
    mujoco.mj_kinematics(model, data)
    qpos[2] -= lowest_point(model, data)
    return qpos


def robot_geoms(model):
    """Geoms of the robot (not of the world body) that can touch the floor."""
    return [g for g in range(model.ngeom)
            if model.geom_bodyid[g] > 0 and (model.geom_contype[g] or model.geom_conaffinity[g])]


def geom_lowest_z(model, data, geom):
    """Lowest world z of one geom (exact for boxes, spheres, capsules and
    cylinders; other shapes by their bounding box)."""
    size = model.geom_size[geom]
    mat = data.geom_xmat[geom].reshape(3, 3)
    z = data.geom_xpos[geom][2]
    kind = model.geom_type[geom]
    if kind == mujoco.mjtGeom.mjGEOM_SPHERE:
        return z - size[0]
    if kind == mujoco.mjtGeom.mjGEOM_CAPSULE:
        return z - abs(mat[2, 2]) * size[1] - size[0]
    if kind == mujoco.mjtGeom.mjGEOM_CYLINDER:
        return z - abs(mat[2, 2]) * size[1] - size[0] * np.hypot(mat[2, 0], mat[2, 1])
    if kind == mujoco.mjtGeom.mjGEOM_BOX:
        return z - float(np.abs(mat[2]) @ size)
    return z - float(np.abs(mat[2]) @ model.geom_aabb[geom, 3:])


def lowest_point(model, data, geoms=None):
    geoms = robot_geoms(model) if geoms is None else geoms
    return min(geom_lowest_z(model, data, g) for g in geoms)


class JointMap:
    """The model's joints against the environment's joint order, through the
    environment's own index maps."""

    def __init__(self, model, env):
        hinges = [model.joint(i).name for i in range(1, model.njnt)]
        if hinges != list(env.orig_names_joint):
            raise ClipError("model joints are not in the order of orig_names_joint")
        actuated = [model.actuator_trnid[a, 0] for a in range(model.nu)]
        if actuated != list(range(1, model.njnt)):
            raise ClipError("model actuators do not follow the joint order")
        self.qadr = model.jnt_qposadr[1:]
        self.dadr = model.jnt_dofadr[1:]
        self.to_target = np.asarray(env.target_indices_joint)   # model order -> clip order
        self.to_model = np.asarray(env.target_indices_action)   # clip order -> model order
        self.names = list(env.target_names_joint)

    def q(self, data):
        return data.qpos[self.qadr][self.to_target]

    def qd(self, data):
        return data.qvel[self.dadr][self.to_target]
