"""The robot: its MJCF model (shipped in this package) and the tables of
`motion_env_wbt` (joint and body names, index maps, gains, limits,
defaults), kept as plain data in `robot_tables` so that commands which never
call the extension do not import it (and PyTorch with it)."""

import functools
import os
import tempfile
import types

import numpy as np

import mujoco

from . import robot_tables
from .catalog import MODEL_DIR, MODEL_PATH  # noqa: F401
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


TABLE_NAMES = tuple(n for n in vars(robot_tables) if not n.startswith("_") and n != "np")


@functools.lru_cache(maxsize=1)
def tables():
    """The robot's tables, with the attribute names, values and types of a
    `Wbt_env`'s (`robot_tables`). Shared: read-only arrays."""
    tabs = types.SimpleNamespace(**{n: getattr(robot_tables, n) for n in TABLE_NAMES})
    for value in vars(tabs).values():
        if isinstance(value, np.ndarray):
            value.setflags(write=False)
    return tabs


def environment_tables():
    """The tables as a real environment holds them: a Wbt_env_sim on a
    one-frame placeholder clip (it loads a clip on construction)."""
    import trackscope  # noqa: F401  (registers motion_env_wbt)
    from motion_env_wbt import Wbt_env_sim
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "assets", "motion_npz")
        os.makedirs(folder)
        np.savez(os.path.join(folder, "stand.npz"), **placeholder_clip())
        env = Wbt_env_sim(tmp)
        env.motion.close()
    return env


def load_model(path=None):
    """The robot's model of `path` (default: catalog.model_path()), checked
    and made drivable (usermodel.load)."""
    from .usermodel import load
    return load(path).model


def check_model(model, tabs=None):
    """Refuse a model that lacks the robot's free joint, hinges, tracked
    bodies or soles (usermodel.check), naming every problem."""
    from .usermodel import ModelError, check
    problems = check(model, tabs)
    if problems:
        raise ModelError("the model cannot drive the robot: " + "; ".join(problems))


class RobotIndex:
    """Where the robot's named bodies and joints sit in a model, by name:
    bodies may come in any order and fixed links may be absent."""

    def __init__(self, model, tabs=None):
        tabs = tabs or tables()
        self.pelvis = model.body("pelvis").id
        #: body ids in the clip's body order (target_names)
        self.bodies = np.array([model.body(n).id for n in tabs.target_names])
        joints = [model.joint(n).id for n in tabs.orig_names_joint]
        #: qpos / qvel addresses of the 29 hinges, orig_names_joint order
        self.qadr = model.jnt_qposadr[joints]
        self.dadr = model.jnt_dofadr[joints]
        order = np.asarray(tabs.target_indices_joint)
        #: the same in the clip's joint order (target_names_joint)
        self.clip_qadr, self.clip_dadr = self.qadr[order], self.dadr[order]
        self.nq = model.nq

    def qpos(self, rows):
        """MuJoCo qpos rows from rows [base pos 3, base quat 4, the 29
        joints in orig_names_joint order]."""
        rows = np.asarray(rows, dtype=np.float64)
        out = np.zeros(rows.shape[:-1] + (self.nq,))
        out[..., :7] = rows[..., :7]
        out[..., self.qadr] = rows[..., 7:]
        return out

    def rows(self, qpos):
        """The inverse of `qpos`."""
        qpos = np.asarray(qpos, dtype=np.float64)
        return np.concatenate([qpos[..., :7], qpos[..., self.qadr]], axis=-1)


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
    qpos[RobotIndex(model, tabs).qadr] = np.asarray(tabs.default_joint_pos)[tabs.target_indices_action]
    data = mujoco.MjData(model)
    data.qpos[:] = qpos
    mujoco.mj_kinematics(model, data)
    qpos[2] -= lowest_point(model, data)
    return qpos


def robot_geoms(model):
    """Geoms of the robot (not of the world body) that can touch something:
    contact bits set, or in an explicit pair."""
    paired = set(model.pair_geom1) | set(model.pair_geom2)
    return [g for g in range(model.ngeom) if model.geom_bodyid[g] > 0
            and (model.geom_contype[g] or model.geom_conaffinity[g] or g in paired)]


def _geom_points(model, g):
    """Points of one geom, in its body's frame, whose lowest ones make its
    sole: a sphere's bottom, a capsule's end-cap bottoms, a box's corners,
    other shapes' bounding-box corners (body z is up in the default pose)."""
    rot = np.zeros(9)
    mujoco.mju_quat2Mat(rot, model.geom_quat[g])
    rot = rot.reshape(3, 3)
    pos, size, kind = model.geom_pos[g], model.geom_size[g], model.geom_type[g]
    signs = np.array([[x, y, z] for x in (1, -1) for y in (1, -1) for z in (1, -1)], dtype=float)
    if kind == mujoco.mjtGeom.mjGEOM_SPHERE:
        return (pos - [0.0, 0.0, size[0]])[None], "sphere"
    if kind == mujoco.mjtGeom.mjGEOM_CAPSULE:
        ends = pos + np.array([[0.0, 0.0, size[1]], [0.0, 0.0, -size[1]]]) @ rot.T
        return ends - [0.0, 0.0, size[0]], "capsule"
    if kind == mujoco.mjtGeom.mjGEOM_BOX:
        return pos + (signs * size) @ rot.T, "box"
    label = {mujoco.mjtGeom.mjGEOM_MESH: "mesh"}.get(kind, mujoco.mjtGeom(kind).name[7:].lower())
    return pos + (model.geom_aabb[g, :3] + signs * model.geom_aabb[g, 3:]) @ rot.T, f"{label} (bounding box)"


SOLE_TOL_M = 0.005      # points this close above a foot's lowest one stand on the floor


def sole_corners(model, foot):
    """(corners, kinds): the four corners of a foot body's sole in its frame,
    (4, 3) as (+x +y), (+x -y), (-x +y), (-x -y) at the height of its lowest
    point: the rectangle around the lowest points of its collision geoms
    (boxes, capsules, spheres exactly, other shapes by their bounding box);
    and what it is made of."""
    geoms = [g for g in robot_geoms(model) if model.geom_bodyid[g] == foot]
    parts = [_geom_points(model, g) for g in geoms]
    if not parts:
        raise ClipError(f"no collision geom on {model.body(foot).name!r} to stand on")
    points = np.concatenate([p for p, _ in parts])
    z = points[:, 2].min()
    low = points[points[:, 2] <= z + SOLE_TOL_M]
    (x0, y0), (x1, y1) = low[:, :2].min(axis=0), low[:, :2].max(axis=0)
    corners = np.array([[x1, y1, z], [x1, y0, z], [x0, y1, z], [x0, y0, z]])
    kinds = {}
    for _, kind in parts:
        kinds[kind] = kinds.get(kind, 0) + 1
    return corners, ", ".join(kind if n == 1 else f"{n} x {kind}" for kind, n in kinds.items())


def sole_center(model, foot):
    """The middle of a foot body's sole, in its frame."""
    corners, _ = sole_corners(model, foot)
    return 0.5 * (corners[0] + corners[3])


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
    """The model's joints against the environment's joint order, by name.
    `qadr`, `dadr` and the actuators are in orig_names_joint order (the
    adapted model's torque motors follow it)."""

    def __init__(self, model, env):
        missing = [n for n in env.orig_names_joint if mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_JOINT, n) < 0]
        if missing:
            raise ClipError(f"the model has no joint {', '.join(missing)}")
        index = RobotIndex(model, env)
        actuated = [model.actuator_trnid[a, 0] for a in range(model.nu)]
        if actuated != [model.joint(n).id for n in env.orig_names_joint]:
            raise ClipError("model actuators do not follow the joint order")
        self.qadr = index.qadr
        self.dadr = index.dadr
        self.to_target = np.asarray(env.target_indices_joint)   # model order -> clip order
        self.to_model = np.asarray(env.target_indices_action)   # clip order -> model order
        self.names = list(env.target_names_joint)

    def q(self, data):
        return data.qpos[self.qadr][self.to_target]

    def qd(self, data):
        return data.qvel[self.dadr][self.to_target]


def effort_limits(model, tabs=None):
    """The effort limits (N m) of the model's torque motors, in clip joint
    order (target_names_joint), as the adapted model declares them."""
    tabs = tabs or tables()
    return np.asarray(model.actuator_ctrlrange[:, 1], dtype=np.float64)[np.asarray(tabs.target_indices_joint)]
