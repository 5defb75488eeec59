#!/usr/bin/env python3
"""Motion clips for the trackscope humanoid.

A clip is the .npz archive that `motion_env_wbt.Wbt_env` loads from
<root>/assets/motion_npz/<name>.npz: 50 Hz frames of the robot's joint state
and of the world poses and velocities of its 30 tracked bodies, all recorded
with MuJoCo on models/humanoid.xml.

  convert   a motion of your own (CSV or .npy, any frame rate) into a clip
  builtin   write the built-in motions ("stand", "squat_turn")
  inspect   print what a clip holds and check it; exit status 1 on a bad clip

Motion input, one row per frame at the rate given with --fps:
  CSV   a header row naming the columns, in any order: base_x, base_y,
        base_z (metres, world frame), base_qw, base_qx, base_qy, base_qz
        (pelvis orientation) and one column per joint, named as the model's
        joints (left_hip_pitch_joint, ...), in radians. Other columns are
        ignored.
  .npy  a (frames, 36) array: base position (3), base quaternion (4, layout
        chosen with --quat-layout, [w, x, y, z] by default), then the 29 joint
        angles in the model's joint order (that of Wbt_env.orig_names_joint).
"""

import argparse
import csv
import dataclasses
import os
import sys
import tempfile

import numpy as np
from scipy.spatial.transform import Rotation, Slerp

import mujoco
import trackscope  # noqa: F401  (registers motion_env_wbt)
from motion_env_wbt import Wbt_env_sim

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL_PATH = os.path.join(ROOT, "models", "humanoid.xml")
CLIP_FPS = 50
MEMBERS = ("fps", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w",
           "body_lin_vel_w", "body_ang_vel_w")
BASE_COLUMNS = ("base_x", "base_y", "base_z",
                "base_qw", "base_qx", "base_qy", "base_qz")
BUILTIN = ("stand", "squat_turn")

# Thresholds of `inspect`.
QUAT_NORM_TOL = 1e-4      # | |q| - 1 |
LIMIT_TOL = 1e-4          # rad beyond a joint limit
VEL_REL_TOL = 0.1         # residual RMS against finite differences, relative
VEL_ABS_TOL = 0.05        # ... plus this much (rad/s or m/s)
FK_TOL = 0.01             # m between stored body positions and the model's


class ClipError(Exception):
    """Bad motion input or clip; the message says what and where."""


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


# ----------------------------------------------------------------- robot

def robot_tables():
    """The robot's tables as the environment itself holds them.

    Wbt_env_sim loads a clip on construction, so it gets a one-frame
    placeholder; only its tables are used.
    """
    with tempfile.TemporaryDirectory() as tmp:
        write_clip(clip_path(tmp, "stand"), _placeholder_clip())
        env = Wbt_env_sim(tmp)
        env.motion.close()
    return env


def _placeholder_clip():
    quat = np.zeros((1, 30, 4))
    quat[..., 0] = 1.0
    return {"fps": np.array(CLIP_FPS), "joint_pos": np.zeros((1, 29)),
            "joint_vel": np.zeros((1, 29)), "body_pos_w": np.zeros((1, 30, 3)),
            "body_quat_w": quat, "body_lin_vel_w": np.zeros((1, 30, 3)),
            "body_ang_vel_w": np.zeros((1, 30, 3))}


def load_model(path=MODEL_PATH):
    return mujoco.MjModel.from_xml_path(path)


def check_model(model, tables):
    """Refuse a model whose body ids or joint order differ from the tables."""
    bodies = [model.body(i).name for i in range(min(model.nbody, len(tables.orig_names)))]
    if bodies != list(tables.orig_names):
        raise ClipError("model bodies are not in the order of orig_names")
    joints = [model.joint(i).name for i in range(1, model.njnt)]
    hinges = model.jnt_type[1:] == mujoco.mjtJoint.mjJNT_HINGE
    if model.njnt == 0 or model.jnt_type[0] != mujoco.mjtJoint.mjJNT_FREE \
            or joints != list(tables.orig_names_joint) or not hinges.all():
        raise ClipError("model needs a free base joint followed by the 29 "
                        "hinges in the order of orig_names_joint")


def joint_limits(tables):
    """Lower and upper joint limits in the clip's joint order."""
    order = tables.target_indices_joint
    return (np.asarray(tables.action_min)[order],
            np.asarray(tables.action_max)[order])


# ------------------------------------------------------------ motion input

def read_motion(path, fps, quat_layout="wxyz", joint_names=None):
    """Read a CSV (columns by name) or .npy motion into a Motion."""
    if not fps or not np.isfinite(fps) or fps <= 0:
        raise ClipError(f"frame rate must be a positive number, got {fps}")
    if joint_names is None:
        joint_names = robot_tables().orig_names_joint
    if path.endswith(".csv"):
        base, joints = _read_csv(path, joint_names)
    elif path.endswith(".npy"):
        base, joints = _read_npy(path, len(joint_names), quat_layout)
    else:
        raise ClipError(f"{path}: expected a .csv or .npy file")
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
    return Motion(float(fps), base[:, :3].copy(), quat / norm[:, None], joints)


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

    rot = Slerp(t_in, Rotation.from_quat(motion.base_quat[:, [1, 2, 3, 0]]))(t_out)
    return Motion(float(fps), lerp(motion.base_pos),
                  rot.as_quat()[:, [3, 0, 1, 2]], lerp(motion.joint_pos))


# --------------------------------------------------------------- recording

def motion_qpos(motion):
    return np.concatenate([motion.base_pos, motion.base_quat, motion.joint_pos], axis=1)


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


def record_clip(model, motion, tables):
    """Clip arrays for a motion at the clip rate, by MuJoCo kinematics."""
    check_model(model, tables)
    qpos = motion_qpos(motion)
    qvel = qpos_velocity(model, qpos, 1.0 / motion.fps)
    data = mujoco.MjData(model)
    bodies = np.asarray(tables.target_indices)
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
    order = tables.target_indices_joint
    out["joint_pos"] = qpos[:, 7:][:, order]
    out["joint_vel"] = qvel[:, 6:][:, order]
    out["fps"] = np.array(motion.fps)
    return {k: out[k] for k in MEMBERS}


def clip_path(root, name):
    return os.path.join(str(root), "assets", "motion_npz", name + ".npz")


def write_clip(path, clip):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + ".tmp.npz"
    np.savez(tmp, **clip)
    os.replace(tmp, path)  # never leave a half-written clip under the real name


# ---------------------------------------------------------- built-in motions

def _default_qpos(model, tables):
    """Default joint pose, pelvis upright at the height where the lower foot
    corner touches the floor."""
    qpos = model.qpos0.copy()
    qpos[7:] = np.asarray(tables.default_joint_pos)[tables.target_indices_action]
    data = mujoco.MjData(model)
    data.qpos[:] = qpos
    mujoco.mj_kinematics(model, data)
    lowest = min(_lowest_corner(model, data, g) for g in range(model.ngeom)
                 if model.geom_bodyid[g] > 0 and model.geom_contype[g])
    qpos[2] -= lowest
    return qpos


def _lowest_corner(model, data, geom):
    size = model.geom_size[geom]
    signs = np.array(np.meshgrid([-1, 1], [-1, 1], [-1, 1])).reshape(3, -1).T
    corners = data.geom_xpos[geom] + (signs * size) @ data.geom_xmat[geom].reshape(3, 3).T
    return corners[:, 2].min()


def _leg_dofs(model, tables):
    joints = [n for n in tables.orig_names_joint if "hip" in n or "knee" in n or "ankle" in n]
    jid = [model.joint(n).id for n in joints]
    return np.array([model.jnt_qposadr[j] for j in jid]), np.array([model.jnt_dofadr[j] for j in jid])


def _solve_feet(model, data, qpos, feet, targets, qadr, dadr, iters=30):
    """Leg joints that put each foot body on its target pose (damped
    Gauss-Newton on MuJoCo's Jacobians); the base stays where it is."""
    lo, hi = model.jnt_range[model.dof_jntid[dadr]].T
    jacp = np.zeros((3, model.nv))
    jacr = np.zeros((3, model.nv))
    for _ in range(iters):
        data.qpos[:] = qpos
        mujoco.mj_kinematics(model, data)
        mujoco.mj_comPos(model, data)
        err, jac = [], []
        for body, (pos, mat) in zip(feet, targets):
            rot = Rotation.from_matrix(mat @ data.xmat[body].reshape(3, 3).T).as_rotvec()
            err += [pos - data.xpos[body], rot]
            mujoco.mj_jacBody(model, data, jacp, jacr, body)
            jac += [jacp[:, dadr].copy(), jacr[:, dadr].copy()]
        err = np.concatenate(err)
        if np.abs(err).max() < 1e-10:
            break
        jac = np.concatenate(jac)
        step = jac.T @ np.linalg.solve(jac @ jac.T + 1e-8 * np.eye(len(err)), err)
        qpos[qadr] = np.clip(qpos[qadr] + step, lo, hi)
    return qpos, float(np.abs(err).max())


def _smooth_step(x):
    return 0.5 - 0.5 * np.cos(2 * np.pi * x)


def builtin_motion(name, model, tables, seconds=None):
    """The built-in motions, at the clip rate.

    stand       default joint pose at rest height; the waist and arms sway
                slowly (8 s).
    squat_turn  two squats while the pelvis turns left and right and shifts
                over the planted feet, the torso turning further and the
                forearms rising (10 s). Feet stay on the floor: the
                legs are solved for the fixed foot poses every frame. The
                clip starts off the world origin and heading, as a recorded
                clip does.
    """
    default = _default_qpos(model, tables)
    jidx = {n: 7 + i for i, n in enumerate(tables.orig_names_joint)}
    if name == "stand":
        seconds = seconds or 8.0
        t = np.arange(int(round(seconds * CLIP_FPS))) / CLIP_FPS
        qpos = np.tile(default, (len(t), 1))
        sway = np.sin(2 * np.pi * t / 4.0)
        qpos[:, jidx["waist_yaw_joint"]] += 0.15 * sway
        qpos[:, jidx["left_shoulder_pitch_joint"]] += 0.15 * sway
        qpos[:, jidx["right_shoulder_pitch_joint"]] -= 0.15 * sway
        qpos[:, jidx["left_elbow_joint"]] -= 0.1 * sway
        qpos[:, jidx["right_elbow_joint"]] += 0.1 * sway
        return _qpos_motion(qpos)
    if name != "squat_turn":
        raise ClipError(f"unknown built-in motion {name!r} (have {', '.join(BUILTIN)})")

    seconds = seconds or 10.0
    t = np.arange(int(round(seconds * CLIP_FPS))) / CLIP_FPS
    squat = _smooth_step(t / 5.0)                   # two squats, 0 -> 1 -> 0
    turn = np.sin(2 * np.pi * t / seconds)          # left, then right
    data = mujoco.MjData(model)
    data.qpos[:] = default
    mujoco.mj_kinematics(model, data)
    feet = [model.body("left_ankle_roll_link").id, model.body("right_ankle_roll_link").id]
    targets = [(data.xpos[b].copy(), data.xmat[b].reshape(3, 3).copy()) for b in feet]
    qadr, dadr = _leg_dofs(model, tables)

    qpos = np.tile(default, (len(t), 1))
    qpos[:, 0] += -0.05 * squat                     # hips back
    qpos[:, 1] += 0.03 * np.sin(2 * np.pi * t / 5.0)
    qpos[:, 2] += -0.14 * squat
    qpos[:, 3:7] = Rotation.from_euler("z", 0.5 * turn[:, None]).as_quat()[:, [3, 0, 1, 2]]
    qpos[:, jidx["waist_yaw_joint"]] = 0.35 * turn
    for side in ("left", "right"):
        qpos[:, jidx[f"{side}_elbow_joint"]] += -0.3 * squat

    worst = 0.0
    q = default.copy()
    for k in range(len(t)):
        q[:7] = qpos[k, :7]
        q, residual = _solve_feet(model, data, q, feet, targets, qadr, dadr)
        qpos[k, qadr] = q[qadr]
        worst = max(worst, residual)
    if worst > 1e-6:
        raise ClipError(f"squat_turn: feet off their targets by {worst:.2e}")

    # Place the clip off the origin with a heading, as a recording would be.
    place = Rotation.from_euler("z", 0.4)
    qpos[:, :3] = place.apply(qpos[:, :3]) + np.array([0.5, 0.3, 0.0])
    qpos[:, 3:7] = (place * Rotation.from_quat(qpos[:, [4, 5, 6, 3]])).as_quat()[:, [3, 0, 1, 2]]
    return _qpos_motion(qpos)


def _qpos_motion(qpos):
    return Motion(float(CLIP_FPS), qpos[:, :3].copy(), qpos[:, 3:7].copy(), qpos[:, 7:].copy())


# ---------------------------------------------------------------- inspect

def finite_difference_ang_vel(quat_wxyz, dt):
    """World angular velocities from orientations (T, ..., 4) [w, x, y, z]:
    central differences, one-sided at the ends."""
    n = quat_wxyz.shape[0]
    quat = quat_wxyz.reshape(n, -1, 4)[..., [1, 2, 3, 0]]
    a = np.maximum(np.arange(n) - 1, 0)
    b = np.minimum(np.arange(n) + 1, n - 1)
    rot_a = Rotation.from_quat(quat[a].reshape(-1, 4))
    rot_b = Rotation.from_quat(quat[b].reshape(-1, 4))
    step = (rot_b * rot_a.inv()).as_rotvec().reshape(n, -1, 3)
    return (step / ((b - a) * dt)[:, None, None]).reshape(quat_wxyz.shape[:-1] + (3,))


def _velocity_residual(vel, fd):
    rms = float(np.sqrt(np.mean((vel - fd) ** 2)))
    bound = VEL_REL_TOL * float(np.sqrt(np.mean(fd ** 2))) + VEL_ABS_TOL
    return rms, bound


def inspect_clip(path, model=None, tables=None):
    """(lines, problems): a description of the clip and the list of what is
    wrong with it (empty for a good clip)."""
    tables = tables or robot_tables()
    lines, problems = [], []
    try:
        with np.load(path, allow_pickle=False) as archive:
            clip = {k: archive[k] for k in archive.files}
    except Exception as e:  # any unreadable file is reported, not raised
        return [f"{path}"], [f"cannot read the clip: {type(e).__name__}: {e}"]

    missing = [m for m in MEMBERS if m not in clip]
    for m in missing:
        problems.append(f"missing member {m!r}")
    fps = None
    if "fps" in clip:
        f = clip["fps"]
        if f.size == 1 and np.issubdtype(f.dtype, np.number) and np.isfinite(f).all() and float(f.ravel()[0]) > 0:
            fps = float(f.ravel()[0])
        else:
            problems.append(f"fps must be one positive number, got {f!r}")
    frames = clip["joint_pos"].shape[0] if "joint_pos" in clip and clip["joint_pos"].ndim else 0
    head = f"{path}: {frames} frames"
    if fps:
        head += f", {frames / fps:.2f} s at {fps:g} fps"
    lines.append(head)
    lines.append(f"  {'member':<16}{'shape':<16}dtype")
    for k, a in clip.items():
        lines.append(f"  {k:<16}{str(a.shape):<16}{a.dtype}" + ("" if k in MEMBERS else "  (not used)"))

    joints, bodies = len(tables.target_names_joint), len(tables.target_names)
    expect = {"joint_pos": (frames, joints), "joint_vel": (frames, joints),
              "body_pos_w": (frames, bodies, 3), "body_quat_w": (frames, bodies, 4),
              "body_lin_vel_w": (frames, bodies, 3), "body_ang_vel_w": (frames, bodies, 3)}
    shaped = True
    for k, shape in expect.items():
        if k not in clip:
            shaped = False
        elif clip[k].shape != shape or not np.issubdtype(clip[k].dtype, np.number):
            problems.append(f"{k} has shape {clip[k].shape} and dtype {clip[k].dtype}, "
                            f"expected {shape} numbers")
            shaped = False
    if not shaped or frames == 0:
        if shaped:
            problems.append("the clip has no frames")
        return lines, problems

    arrays = {k: np.asarray(clip[k], dtype=np.float64) for k in expect}
    nonfinite = {k: int((~np.isfinite(a)).sum()) for k, a in arrays.items()}
    if any(nonfinite.values()):
        problems += [f"{k}: {n} non-finite values" for k, n in nonfinite.items() if n]
        return lines, problems
    lines.append("  ok    finite values")

    norm_err = np.abs(np.linalg.norm(arrays["body_quat_w"], axis=-1) - 1.0)
    t, b = np.unravel_index(np.argmax(norm_err), norm_err.shape)
    if norm_err[t, b] > QUAT_NORM_TOL:
        problems.append(f"body_quat_w is not unit: |norm - 1| = {norm_err[t, b]:.3g} at frame {t}, "
                        f"body {tables.target_names[b]}")
    else:
        lines.append(f"  ok    unit quaternions (max |norm - 1| {norm_err.max():.1e})")

    lo, hi = joint_limits(tables)
    q = arrays["joint_pos"]
    over = np.maximum(lo - q, q - hi)
    t, j = np.unravel_index(np.argmax(over), over.shape)
    if over[t, j] > LIMIT_TOL:
        problems.append(f"joint limits: {tables.target_names_joint[j]} = {q[t, j]:.4f} rad at frame {t}, "
                        f"range [{lo[j]:.4f}, {hi[j]:.4f}] ({int((over > LIMIT_TOL).any(axis=1).sum())} frames out)")
    else:
        lines.append(f"  ok    joint limits (closest margin {-over.max():.3f} rad, {tables.target_names_joint[j]})")

    if fps and frames >= 3:
        dt = 1.0 / fps
        for label, vel, fd, unit in (
                ("joint velocities", arrays["joint_vel"], np.gradient(q, dt, axis=0), "rad/s"),
                ("body linear velocities", arrays["body_lin_vel_w"],
                 np.gradient(arrays["body_pos_w"], dt, axis=0), "m/s"),
                ("body angular velocities", arrays["body_ang_vel_w"],
                 finite_difference_ang_vel(arrays["body_quat_w"], dt), "rad/s")):
            rms, bound = _velocity_residual(vel, fd)
            if rms > bound:
                problems.append(f"{label} disagree with finite differences of the positions: "
                                f"residual RMS {rms:.3g} {unit}, allowed {bound:.3g}")
            else:
                lines.append(f"  ok    {label} match finite differences (residual RMS {rms:.1e} {unit})")

    if model is not None:
        err = kinematics_error(model, tables, arrays)
        if err > FK_TOL:
            lines.append(f"  note  body positions differ from models/humanoid.xml by up to {err:.3f} m: "
                         "recorded on another model, or joint columns out of order")
        else:
            lines.append(f"  ok    body poses match the model's kinematics (max {err:.1e} m)")
    return lines, problems


def kinematics_error(model, tables, clip):
    """Largest distance between the clip's body positions and MuJoCo's
    kinematics of the clip's base pose and joint angles."""
    data = mujoco.MjData(model)
    bodies = np.asarray(tables.target_indices)
    worst = 0.0
    for t in range(clip["joint_pos"].shape[0]):
        data.qpos[:3] = clip["body_pos_w"][t, 0]
        data.qpos[3:7] = clip["body_quat_w"][t, 0]
        data.qpos[7:] = clip["joint_pos"][t][tables.target_indices_action]
        mujoco.mj_kinematics(model, data)
        worst = max(worst, float(np.abs(data.xpos[bodies] - clip["body_pos_w"][t]).max()))
    return worst


# -------------------------------------------------------------- commands

def convert(source, name, root, fps, quat_layout="wxyz", model=None, tables=None):
    tables = tables or robot_tables()
    model = model or load_model()
    motion = resample(read_motion(source, fps, quat_layout, tables.orig_names_joint))
    path = clip_path(root, name)
    write_clip(path, record_clip(model, motion, tables))
    return path, motion.frames


def write_builtin(root, names=BUILTIN, model=None, tables=None):
    tables = tables or robot_tables()
    model = model or load_model()
    out = []
    for name in names:
        motion = builtin_motion(name, model, tables)
        path = clip_path(root, name)
        write_clip(path, record_clip(model, motion, tables))
        out.append((path, motion.frames))
    return out


def build_parser():
    parser = argparse.ArgumentParser(
        prog="clip.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("convert", help="convert a CSV/.npy motion into a clip",
                       description="Resample a motion to 50 Hz (linear for positions and joints, "
                                   "slerp for the base orientation) and record the clip with MuJoCo "
                                   "kinematics on the model.")
    p.add_argument("source", help="motion file, .csv (with a header) or .npy")
    p.add_argument("--fps", type=float, required=True, help="frame rate of the source motion")
    p.add_argument("--name", help="clip name (default: the source's file name without extension)")
    p.add_argument("--root", default="out",
                   help="project directory; the clip goes to ROOT/assets/motion_npz/NAME.npz "
                        "(default: out)")
    p.add_argument("--quat-layout", choices=("wxyz", "xyzw"), default="wxyz",
                   help="base quaternion layout of a .npy source (default: wxyz)")
    p.add_argument("--model", default=MODEL_PATH, help="MJCF model (default: models/humanoid.xml)")

    p = sub.add_parser("builtin", help="write the built-in motions",
                       description="Write the built-in clips: " + ", ".join(BUILTIN) + ".")
    p.add_argument("names", nargs="*", metavar="NAME",
                   help=f"motions to write (default: all of {', '.join(BUILTIN)})")
    p.add_argument("--root", default="out", help="project directory (default: out)")
    p.add_argument("--model", default=MODEL_PATH, help="MJCF model (default: models/humanoid.xml)")

    p = sub.add_parser("inspect", help="describe and check clips",
                       description="Print frames, duration, members, shapes and dtypes, and check: "
                                   "finite values, unit quaternions, joint limits, velocities against "
                                   "finite differences of the positions, and (as a note) body poses "
                                   "against the model's kinematics. Exit status 1 if a clip is bad.")
    p.add_argument("clips", nargs="+", help=".npz clip files")
    p.add_argument("--model", default=MODEL_PATH, help="MJCF model (default: models/humanoid.xml)")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        tables = robot_tables()
        model = load_model(args.model)
        check_model(model, tables)
        if args.command == "convert":
            name = args.name or os.path.splitext(os.path.basename(args.source))[0]
            path, frames = convert(args.source, name, args.root, args.fps, args.quat_layout, model, tables)
            print(f"wrote {path}: {frames} frames at {CLIP_FPS} Hz")
            lines, problems = inspect_clip(path, model, tables)
            print("\n".join(lines[1:] + [f"  FAIL  {p}" for p in problems]))
            if problems:
                print(f"clip.py: {path} was written but fails its checks", file=sys.stderr)
                return 1
        elif args.command == "builtin":
            for path, frames in write_builtin(args.root, args.names or BUILTIN, model, tables):
                print(f"wrote {path}: {frames} frames at {CLIP_FPS} Hz")
        else:
            bad = 0
            for path in args.clips:
                lines, problems = inspect_clip(path, model, tables)
                print("\n".join(lines))
                for p in problems:
                    print(f"  FAIL  {p}")
                bad += bool(problems)
            if bad:
                print(f"{bad} bad clip(s)", file=sys.stderr)
                return 1
    except (ClipError, OSError, ValueError) as e:
        print(f"clip.py: error: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
