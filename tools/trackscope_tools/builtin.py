"""The built-in motions, made by construction on the model: no recording is
needed to try the tools."""

import numpy as np
from scipy.spatial.transform import Rotation

import mujoco

from .catalog import BUILTIN
from .motion import Motion
from .robot import CLIP_FPS, FOOT_BODIES, ClipError, RobotIndex, default_qpos, sole_center
from .robot import tables as robot_tables



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


def _solve_com_feet(model, data, qpos, com_xy, feet, targets, qadr, dadr, iters=40):
    """Pelvis x, y and leg joints that put the centre of mass over `com_xy`
    and each foot body on its target pose (damped Gauss-Newton); the pelvis
    keeps its height and orientation."""
    lo, hi = model.jnt_range[model.dof_jntid[dadr]].T
    cols = np.concatenate([[0, 1], dadr])
    jacp = np.zeros((3, model.nv))
    jacr = np.zeros((3, model.nv))
    jcom = np.zeros((3, model.nv))
    for _ in range(iters):
        data.qpos[:] = qpos
        mujoco.mj_kinematics(model, data)
        mujoco.mj_comPos(model, data)
        root = model.body("pelvis").id
        mujoco.mj_jacSubtreeCom(model, data, jcom, root)
        err, jac = [com_xy - data.subtree_com[root][:2]], [jcom[:2, cols].copy()]
        for body, (pos, mat) in zip(feet, targets):
            rot = Rotation.from_matrix(mat @ data.xmat[body].reshape(3, 3).T).as_rotvec()
            err += [pos - data.xpos[body], rot]
            mujoco.mj_jacBody(model, data, jacp, jacr, body)
            jac += [jacp[:, cols].copy(), jacr[:, cols].copy()]
        err = np.concatenate(err)
        if np.abs(err).max() < 1e-10:
            break
        jac = np.concatenate(jac)
        step = jac.T @ np.linalg.solve(jac @ jac.T + 1e-8 * np.eye(len(err)), err)
        qpos[:2] += step[:2]
        qpos[qadr] = np.clip(qpos[qadr] + step[2:], lo, hi)
    return qpos, float(np.abs(err).max())


def _step_in_place(model, tables, default, seconds):
    """Weight onto one foot, the other lifted 5 cm, held and put down, weight
    back to the middle; left stance, right, left, right."""
    t = np.arange(int(round(seconds * CLIP_FPS))) / CLIP_FPS
    data = mujoco.MjData(model)
    data.qpos[:] = default
    mujoco.mj_kinematics(model, data)
    mujoco.mj_comPos(model, data)
    feet = [model.body(n).id for n in FOOT_BODIES]
    soles = [(data.xpos[b] + data.xmat[b].reshape(3, 3) @ sole_center(model, b))[:2] for b in feet]
    home = [(data.xpos[b].copy(), data.xmat[b].reshape(3, 3).copy()) for b in feet]
    middle = data.subtree_com[model.body("pelvis").id][:2].copy()
    qadr, dadr = _leg_dofs(model, tables)

    # One step (2.5 s): shift 0.8 s, lift 0.3 s, hold 0.3 s, lower 0.3 s,
    # shift back 0.8 s; the rest of the clip stands, split before and after.
    # The shifts are as quick as the support allows: their peak acceleration
    # puts the zero-moment point 5 cm outside the centre of mass, 1 cm inside
    # the stance sole's outer edge.
    phases = np.cumsum([0.0, 0.8, 0.3, 0.3, 0.3, 0.8])
    rest = max(0.0, (seconds - 4 * phases[-1]) / 2)
    ramp = lambda x: 0.5 - 0.5 * np.cos(np.pi * np.clip(x, 0.0, 1.0))  # noqa: E731
    worst = 0.0
    qpos = np.tile(default, (len(t), 1))
    q = default.copy()
    for k, time in enumerate(t):
        local = time - rest
        n = int(local // phases[-1]) if local >= 0 else -1
        com, targets = middle, list(home)
        if 0 <= n < 4:
            stance = n % 2              # 0: left foot stands, the right lifts
            u = local - n * phases[-1]
            shift = ramp(u / phases[1]) - ramp((u - phases[4]) / (phases[5] - phases[4]))
            lift = ramp((u - phases[1]) / (phases[2] - phases[1])) - ramp((u - phases[3]) / (phases[4] - phases[3]))
            # Over the stance sole, 2.5 cm inside its centre line: all the way
            # out puts the ankle rolls within 0.01 rad of their limits.
            com = middle + 0.85 * shift * (soles[stance] - middle)
            swing = 1 - stance
            pos, mat = home[swing]
            targets[swing] = (pos + np.array([0.0, 0.0, 0.05 * lift]), mat)
        q, residual = _solve_com_feet(model, data, q, com, feet, targets, qadr, dadr)
        qpos[k] = q
        worst = max(worst, residual)
    if worst > 1e-6:
        raise ClipError(f"step_in_place: centre of mass or feet off their targets by {worst:.2e}")
    return Motion.from_qpos(RobotIndex(model, tables).rows(qpos))


def _smooth_step(x):
    return 0.5 - 0.5 * np.cos(2 * np.pi * x)


def builtin_motion(name, model, tables=None, seconds=None):
    """The built-in motions, at the clip rate.

    stand       default joint pose at rest height; the waist and arms sway
                slowly (8 s).
    squat_turn  two squats while the pelvis turns left and right and shifts
                over the planted feet, the torso turning further and the
                forearms rising (10 s). Feet stay on the floor: the
                legs are solved for the fixed foot poses every frame. The
                clip starts off the world origin and heading, as a recorded
                clip does.
    step_in_place
                the weight shifts onto one foot (centre of mass over its sole,
                2.5 cm inside its centre line,
                solved with the legs every frame), the other foot lifts 5 cm,
                holds, comes down, the weight shifts back; left, right, left,
                right (10.5 s).
    """
    tables = tables or robot_tables()
    default = default_qpos(model, tables)
    index = RobotIndex(model, tables)
    jidx = dict(zip(tables.orig_names_joint, index.qadr))
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
        return Motion.from_qpos(index.rows(qpos))
    if name == "step_in_place":
        return _step_in_place(model, tables, default, seconds or 10.5)
    if name != "squat_turn":
        raise ClipError(f"unknown built-in motion {name!r} (have {', '.join(BUILTIN)})")

    seconds = seconds or 10.0
    t = np.arange(int(round(seconds * CLIP_FPS))) / CLIP_FPS
    squat = _smooth_step(t / 5.0)                   # two squats, 0 -> 1 -> 0
    turn = np.sin(2 * np.pi * t / seconds)          # left, then right
    data = mujoco.MjData(model)
    data.qpos[:] = default
    mujoco.mj_kinematics(model, data)
    feet = [model.body(n).id for n in FOOT_BODIES]
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
    return Motion.from_qpos(index.rows(qpos))
