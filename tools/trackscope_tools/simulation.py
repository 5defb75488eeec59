"""The one simulation loop: a clip stepped through `Wbt_env` at the control
rate, as a controller on the robot steps it, with a pluggable controller.

Per tick: `update_time_steps`, the reference queries (timed), the robot's
errors against that tick's reference, the fall test, the controller's tick
(timed), then `sim_decimation` physics steps of `sim_dt`, each with the
controller's torques clipped to the effort limits and, while it holds, the
gantry's band on the pelvis.
"""

import dataclasses
import time

import numpy as np
from scipy.spatial.transform import Rotation

import mujoco

from .clipfile import clip_path, inspect_clip
from .robot import ClipError, JointMap, lowest_point

FALL_HEIGHT_M = 0.25        # anchor height error that counts as a fall
FALL_ANGLE_RAD = 0.8        # anchor orientation error that counts as a fall
# The gantry's band on the pelvis: a stiff spring-damper towards the
# reference base pose (translation, rotation), about critically damped for
# 35 kg. The band acts explicitly at sim_dt: rotational damping above about
# 50 N m s/rad makes the pelvis unstable, so stiffness is bounded by that.
BAND_K_POS, BAND_D_POS = 10000.0, 1200.0     # N/m, N s/m
BAND_K_ROT, BAND_D_ROT = 1000.0, 40.0        # N m/rad, N m s/rad


class Clip:
    """A Wbt_env on one clip, with the model-side facts the loop needs."""

    def __init__(self, env, model):
        # Refuse a malformed clip before any query can fail on it.
        _, problems = inspect_clip(clip_path(env.current_dir, env.file))
        if problems:
            raise ClipError("; ".join(problems))
        self.env = env
        self.name = env.file
        self.frames = int(getattr(env, f"{env.file}_time_step_total"))
        self.joints = JointMap(model, env)
        self.tracked = np.asarray(env.body_index)                       # clip rows drawn
        self.tracked_ids = np.asarray(env.target_indices)[self.tracked]  # the same bodies in the model
        self.anchor_row = env.body_index[env.motion_anchor_body_index[0]]
        self.anchor_id = env.target_indices[self.anchor_row]
        self.pelvis_row = env.target_names.index("pelvis")
        self.pelvis_id = env.target_indices[self.pelvis_row]


@dataclasses.dataclass
class Reference:
    """One tick's reference, read through the environment's queries. Body
    arrays are the clip's world frame on its full body axis; the anchor pose
    is in the frame `reset()` set ([x, y, z, w])."""
    step: int
    time: float
    command: np.ndarray
    joint_pos: np.ndarray
    joint_vel: np.ndarray
    anchor_pos: np.ndarray
    anchor_quat: np.ndarray
    anchor_lin_vel: np.ndarray
    anchor_ang_vel: np.ndarray
    body_pos: np.ndarray
    body_quat: np.ndarray
    body_lin_vel: np.ndarray
    body_ang_vel: np.ndarray


def query(env, step):
    """The tick's reference, and the wall time (ns) of the controller's
    queries (QUERIES) alone."""
    start = time.perf_counter_ns()
    env.update_time_steps(step)
    command = env.command
    anchor_pos = env.anchor_pos_w
    anchor_quat = env.anchor_quat_w
    anchor_lin_vel = env.anchor_lim_vel_w
    anchor_ang_vel = env.anchor_ang_vel_w
    body_pos = env.body_pos_w
    body_quat = env.body_quat_w
    elapsed = time.perf_counter_ns() - start
    n = len(command) // 2
    return Reference(step, step * env.control_dt, command, command[:n], command[n:], anchor_pos, anchor_quat,
                     anchor_lin_vel[0], anchor_ang_vel[0], body_pos, body_quat,
                     env.body_lin_vel_w, env.body_ang_vel_w), elapsed


QUERIES = ["update_time_steps", "command", "anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w",
           "anchor_ang_vel_w", "body_pos_w", "body_quat_w"]


def set_state(model, data, clip, ref):
    """Robot state from a reference frame: pelvis pose and world velocities
    of its origin, joints in clip order."""
    jmap, row = clip.joints, clip.pelvis_row
    base_quat = ref.body_quat[row]
    data.qpos[:3] = ref.body_pos[row]
    data.qpos[3:7] = base_quat
    data.qpos[jmap.qadr] = ref.joint_pos[jmap.to_model]
    rot = Rotation.from_quat(np.asarray(base_quat)[[1, 2, 3, 0]])
    data.qvel[:3] = ref.body_lin_vel[row]
    data.qvel[3:6] = rot.inv().apply(ref.body_ang_vel[row])   # free joint: body-frame angular velocity
    data.qvel[jmap.dadr] = ref.joint_vel[jmap.to_model]
    if model.nmocap:
        data.mocap_pos[0] = ref.body_pos[row]
        data.mocap_quat[0] = base_quat


def quat_angle_xyzw(a, b):
    """Angle between two orientations ([x, y, z, w]), through |dot|."""
    dot = abs(float(np.dot(a, b)) / (np.linalg.norm(a) * np.linalg.norm(b)))
    return 2.0 * float(np.arccos(min(dot, 1.0)))


def parse_gantry(text):
    """--gantry: "always", "off" or a number of seconds after which the band
    lets go. Returns None (off), float('inf') (always) or the seconds."""
    text = str(text).strip().lower()
    if text == "off":
        return None
    if text == "always":
        return float("inf")
    try:
        seconds = float(text)
    except ValueError:
        raise ValueError(f"--gantry takes always, off or a number of seconds, got {text!r}") from None
    if not np.isfinite(seconds) or seconds < 0:
        raise ValueError(f"--gantry seconds must be a finite number >= 0, got {text!r}")
    return seconds


class Sim:
    """What the controller sees of the loop: model, data, clip, the current
    reference and time."""

    def __init__(self, model, data, clip):
        self.model, self.data, self.clip = model, data, clip
        self.env = clip.env
        self.ref = None
        self.band = None        # the band holds while ref.time < band; release() lets go
        self.effort = np.asarray(clip.env.effort_limit, dtype=np.float64)[0]
        self.floor = 0 if model.ngeom and model.geom_bodyid[0] == 0 else -1

    def release(self):
        """Let the gantry's band go from the next tick on."""
        if self.band is not None and self.ref is not None:
            self.band = min(self.band, self.ref.time)

    def floor_force(self):
        """Vertical floor reaction on the robot now (N), from the simulated
        contacts."""
        data, total = self.data, 0.0
        force = np.zeros(6)
        for i in range(data.ncon):
            con = data.contact[i]
            if self.floor not in (con.geom1, con.geom2):
                continue
            mujoco.mj_contactForce(self.model, data, i, force)
            total += float(force[:3] @ con.frame.reshape(3, 3)[:, 2])
        return abs(total)


def run_clip(clip, model, controller, gantry=None, progress=None, watch=None):
    """Step through the clip with `controller` and return the record: the
    state at the start of every tick and its errors against that tick's
    reference, latencies, torques, and how the clip ended.

    `watch(sim, step)`, if given, is called after every tick (a live view);
    it may call `sim.release()`, and returning "reset" ends the record there
    with `record["reset"]` set, for the caller to run the clip again."""
    env, jmap = clip.env, clip.joints
    env.reset()
    total = clip.frames
    data = mujoco.MjData(model)
    sim = Sim(model, data, clip)
    nj = len(jmap.names)
    sim.band = gantry if controller.base == "free" else None
    record = {
        "name": clip.name, "frames": total, "seconds": total * env.control_dt, "joint_names": jmap.names,
        "controller": controller.name, "base": controller.base, "sim_dt": float(env.sim_dt),
        "saturated": np.zeros(nj), "fall_time_s": None, "fall_reason": None,
    }
    per_tick = per_tick_shapes(model, nj)
    for key, (shape, dtype) in per_tick.items():
        record[key] = np.zeros((total,) + shape, dtype)
    logs = {}
    physics_steps = 0
    weight = float(model.body_subtreemass[1] * np.linalg.norm(model.opt.gravity))
    wall = 0.0
    ticks = total
    for step in range(total):
        ref, record["latency_ns"][step] = query(env, step)
        sim.ref = ref
        if step == 0 or controller.base == "kinematic":
            set_state(model, data, clip, ref)
            mujoco.mj_forward(model, data)
            if step == 0 and controller.base == "free" and controller.start_clearance is not None:
                data.qpos[2] += controller.start_clearance - lowest_point(model, data)
                mujoco.mj_forward(model, data)
            if step == 0:
                controller.reset(sim)
        tick_start = time.perf_counter()

        measure(record, step, clip, data, ref)
        banded = sim.band is not None and ref.time < sim.band
        record["banded"][step] = banded
        if controller.base == "free" and not banded:
            if record["anchor_height_err"][step] > FALL_HEIGHT_M or record["anchor_ori_err"][step] > FALL_ANGLE_RAD:
                record["fall_time_s"] = ref.time
                record["fall_reason"] = ("anchor height error %.2f m" % record["anchor_height_err"][step]
                                         if record["anchor_height_err"][step] > FALL_HEIGHT_M else
                                         "anchor orientation error %.2f rad" % record["anchor_ori_err"][step])
                ticks = step + 1
                if progress is not None:
                    progress.update(1)
                break
        if step + 1 == total:
            if progress is not None:
                progress.update(1)
            break

        start = time.perf_counter_ns()
        controller.tick(sim, ref)
        record["controller_ns"][step] = time.perf_counter_ns() - start
        for name, value in controller.log().items():
            logs.setdefault(name, []).append(np.asarray(value))
        if controller.base != "kinematic":
            force = 0.0
            for _ in range(env.sim_decimation):
                tau = np.asarray(controller.torque(sim), dtype=np.float64)
                clipped = np.clip(tau, -sim.effort, sim.effort)
                record["saturated"] += clipped != tau
                data.ctrl[:] = clipped[jmap.to_model]
                if banded:
                    apply_band(data, clip, ref)
                mujoco.mj_step(model, data)
                if banded:
                    data.xfrc_applied[clip.pelvis_id] = 0.0
                force += sim.floor_force()
            physics_steps += env.sim_decimation
            record["torque"][step] = clipped
            record["support_force"][step] = force / env.sim_decimation / weight
        wall += time.perf_counter() - tick_start
        if progress is not None:
            progress.update(1)
        if watch is not None and watch(sim, step) == "reset":
            record["reset"] = True
            ticks = step + 1
            break

    if ticks < total:
        for key in per_tick:
            record[key] = record[key][:ticks]
        if progress is not None:
            progress.update(total - ticks)
    record["ticks"] = ticks
    # The controller acts on every tick but the last (or the one of a fall),
    # which gets a row of zeros.
    record["controller_log"] = {k: np.stack(v[:ticks] + [np.zeros_like(v[0])] * (ticks - len(v)))
                                for k, v in logs.items()}
    record["saturated"] /= max(physics_steps, 1)
    record["physics_steps"] = physics_steps
    record["wall_s"] = wall
    record["controller_summary"] = controller.clip_summary(sim)
    return record


def per_tick_shapes(model, joints):
    """The record's per-tick arrays: name -> (shape of one tick, dtype)."""
    f = np.float64
    return {"time": ((), f), "qpos": ((model.nq,), f), "qvel": ((model.nv,), f),
            "ref_command": ((2 * joints,), f), "ref_anchor_pos": ((3,), f), "ref_anchor_quat": ((4,), f),
            "torque": ((joints,), f), "joint_err": ((joints,), f), "joint_vel_err": ((joints,), f),
            "anchor_pos_err": ((), f), "anchor_height_err": ((), f), "anchor_heading_err": ((), f),
            "anchor_ori_err": ((), f), "body_pos_err": ((), f), "body_pos_mean_err": ((), f),
            "body_pos_rel_err": ((), f), "support_force": ((), f), "latency_ns": ((), np.int64),
            "controller_ns": ((), np.int64), "banded": ((), bool)}


def aligned_pose(env, pos, quat_wxyz):
    """A world pose in the frame `reset()` set, through the environment's
    `motion_init_align`: position (3,), orientation [x, y, z, w]."""
    align = env.motion_init_align
    pos = align.align_pos(np.asarray(pos, dtype=np.float64)[None])[0]
    quat = align.align_quat(np.asarray(quat_wxyz, dtype=np.float64)[[1, 2, 3, 0]][None])[0]
    return pos, quat


def measure(record, step, clip, data, ref):
    """The robot's state at the start of a tick against the tick's reference."""
    env, jmap = clip.env, clip.joints
    record["time"][step] = ref.time
    record["qpos"][step] = data.qpos
    record["qvel"][step] = data.qvel
    record["ref_command"][step] = ref.command
    record["ref_anchor_pos"][step] = ref.anchor_pos
    record["ref_anchor_quat"][step] = ref.anchor_quat
    record["joint_err"][step] = jmap.q(data) - ref.joint_pos
    record["joint_vel_err"][step] = jmap.qd(data) - ref.joint_vel
    sim_pos, sim_quat = aligned_pose(env, data.xpos[clip.anchor_id], data.xquat[clip.anchor_id])
    record["anchor_pos_err"][step] = np.linalg.norm(sim_pos - ref.anchor_pos)
    record["anchor_height_err"][step] = abs(sim_pos[2] - ref.anchor_pos[2])
    record["anchor_ori_err"][step] = quat_angle_xyzw(sim_quat, ref.anchor_quat)
    record["anchor_heading_err"][step] = heading_error(sim_quat, ref.anchor_quat)
    sim_bodies = data.xpos[clip.tracked_ids]
    ref_bodies = ref.body_pos[clip.tracked]
    dist = np.linalg.norm(sim_bodies - ref_bodies, axis=1)
    record["body_pos_err"][step] = dist.max()
    record["body_pos_mean_err"][step] = dist.mean()
    # Root-relative: each body in its pelvis frame, so base drift drops out.
    sim_rot = data.xmat[clip.pelvis_id].reshape(3, 3)
    ref_rot = Rotation.from_quat(ref.body_quat[clip.pelvis_row][[1, 2, 3, 0]]).as_matrix()
    sim_rel = (sim_bodies - data.xpos[clip.pelvis_id]) @ sim_rot
    ref_rel = (ref_bodies - ref.body_pos[clip.pelvis_row]) @ ref_rot
    record["body_pos_rel_err"][step] = np.linalg.norm(sim_rel - ref_rel, axis=1).mean()


def heading_error(a, b):
    """Difference of the headings (yaw) of two [x, y, z, w] orientations."""
    ya = Rotation.from_quat(a).as_euler("xyz")[2]
    yb = Rotation.from_quat(b).as_euler("xyz")[2]
    return abs(float((ya - yb + np.pi) % (2 * np.pi) - np.pi))


def apply_band(data, clip, ref):
    """The gantry: a spring-damper wrench on the pelvis towards the
    reference base pose."""
    body, row = clip.pelvis_id, clip.pelvis_row
    pos_err = ref.body_pos[row] - data.xpos[body]
    ref_rot = Rotation.from_quat(ref.body_quat[row][[1, 2, 3, 0]])
    rot = Rotation.from_matrix(data.xmat[body].reshape(3, 3))
    rot_err = (ref_rot * rot.inv()).as_rotvec()
    lin_vel = data.qvel[:3]
    ang_vel = rot.apply(data.qvel[3:6])
    data.xfrc_applied[body, :3] = BAND_K_POS * pos_err + BAND_D_POS * (ref.body_lin_vel[row] - lin_vel)
    data.xfrc_applied[body, 3:] = BAND_K_ROT * rot_err + BAND_D_ROT * (ref.body_ang_vel[row] - ang_vel)
