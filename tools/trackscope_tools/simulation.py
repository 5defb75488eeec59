"""The one simulation loop: a clip stepped through `Wbt_env` at the control
rate, as a controller on the robot steps it, with a pluggable controller.

The two sides of the robot boundary meet here in one process: the simulated
robot (simrobot.SimRobot, with the gantry's band or the welded mount as its
rig) and the controller's side (`ClipRun`), which sees only robot states
and answers motor commands. Per control tick, started by the state's clock:
`update_time_steps`, the reference queries (timed), the robot's errors
against that tick's reference, the fall test, the controller's tick (timed);
then `sim_decimation` physics steps of `sim_dt`, each answering the state
with a command that the robot's motors turn into torque.
"""

import dataclasses
import functools
import time

import numpy as np
from scipy.spatial.transform import Rotation

from .boundary import JOINTS, TICK_S
from .clipfile import clip_path, inspect_clip
from .statemodel import StateModel
from .robot import ClipError, JointMap, RobotIndex, lowest_point
from .simrobot import BaseTarget, SimRobot

FALL_HEIGHT_M = 0.25        # anchor height error that counts as a fall
FALL_ANGLE_RAD = 0.8        # anchor orientation error that counts as a fall


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
        bodies = RobotIndex(model, env).bodies                           # clip rows -> model body ids, by name
        self.tracked = np.asarray(env.body_index)                       # clip rows drawn
        self.tracked_ids = bodies[self.tracked]                          # the same bodies in the model
        self.anchor_row = env.body_index[env.motion_anchor_body_index[0]]
        self.anchor_id = int(bodies[self.anchor_row])
        self.pelvis_row = env.target_names.index("pelvis")
        self.pelvis_id = int(bodies[self.pelvis_row])


def open_clips(root, names, model):
    """Clips by name under `root`, each checked as a clip file before
    `Wbt_env` reads it: (clips, warnings), the warnings being the lines of
    clips recorded on another model. A missing or broken clip raises
    ClipError naming it."""
    import os

    from motion_env_wbt import Wbt_env

    from .clipfile import clip_model_warning, load_clip
    clips, warnings = [], []
    for name in names:
        path = clip_path(root, name)
        if not os.path.isfile(path):
            raise ClipError(f"no clip {name!r} under {root}: {path} does not exist")
        try:
            load_clip(path)         # says what a file that is no clip is, before Wbt_env reads it
            clips.append(Clip(Wbt_env(root, file=name), model))
        except ClipError as e:
            raise ClipError(f"clip {name!r}: {e}") from None
        except (OSError, KeyError, ValueError) as e:
            raise ClipError(f"clip {name!r} under {root}: {type(e).__name__}: {e}") from None
        warning = clip_model_warning(path, model)
        if warning:
            warnings.append(warning)
    return clips, warnings


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


def reference_state(model, clip, ref):
    """(qpos, qvel) of a reference frame: pelvis pose and world velocities
    of its origin, joints from the clip's joint order."""
    jmap, row = clip.joints, clip.pelvis_row
    base_quat = ref.body_quat[row]
    qpos, qvel = model.qpos0.copy(), np.zeros(model.nv)
    qpos[:3] = ref.body_pos[row]
    qpos[3:7] = base_quat
    qpos[jmap.qadr] = ref.joint_pos[jmap.to_model]
    rot = Rotation.from_quat(np.asarray(base_quat)[[1, 2, 3, 0]])
    qvel[:3] = ref.body_lin_vel[row]
    qvel[3:6] = rot.inv().apply(ref.body_ang_vel[row])   # free joint: body-frame angular velocity
    qvel[jmap.dadr] = ref.joint_vel[jmap.to_model]
    return qpos, qvel


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


class Rig:
    """The robot's side of an in-process run: the simulated robot, and the
    band or mount that follow the clip's base trajectory. What a watcher
    (the live view) sees: model, data, clip, the current reference."""

    def __init__(self, robot, clip, base, gantry):
        self.robot, self.clip, self.env = robot, clip, clip.env
        self.model, self.data = robot.model, robot.data
        self.ref = None
        self.base = base
        # the band holds while the clip's time < band; release() lets go
        self.band = gantry if base == "free" else None
        env, row = clip.env, clip.pelvis_row
        arr = lambda m: np.asarray(getattr(env, f"{env.file}_{m}"), dtype=np.float64)[:, row]  # noqa: E731
        self.base_path = [arr(m) for m in ("body_pos_w", "body_quat_w", "body_lin_vel_w", "body_ang_vel_w")]
        self.dz = 0.0
        self.held = None

    def release(self):
        """Let the gantry's band go from the next tick on."""
        if self.band is not None and self.ref is not None:
            self.band = min(self.band, self.ref.time)

    def banded(self, t):
        return self.band is not None and t < self.band

    def follow(self, step, t):
        """Band and mount toward the clip's base at tick `step` (time `t`)."""
        k = min(step, len(self.base_path[0]) - 1)
        pos, quat, lin, ang = (a[k] for a in self.base_path)
        target = BaseTarget(pos + [0.0, 0.0, self.dz], quat, lin, ang)
        self.robot.band = target if self.banded(t) else None
        if self.base == "welded" and step != self.held:
            self.robot.hold(target)
            self.held = step


class ClipRun:
    """The controller's side of one clip, driven by robot states alone.

    Control ticks are started by the state's own clock: the first state at
    or past each control_dt after the first. Each tick reads the reference
    through Wbt_env (`update_time_steps`, `command`, the anchor queries),
    measures the robot against it from the state (odometry and encoders
    through the controller-side model), tests for a fall, and asks the
    controller for a command; states between ticks get the controller's
    `between` command. `on_state` returns None once the clip is over."""

    def __init__(self, clip, controller, model_path, banded=lambda t: False, progress=None):
        self.clip, self.controller, self.progress, self.banded = clip, controller, progress, banded
        env = clip.env
        env.reset()
        self.estimate = StateModel(model_path)
        nj = len(clip.joints.names)
        self.total = clip.frames
        self.record = {
            "name": clip.name, "frames": self.total, "seconds": self.total * env.control_dt,
            "joint_names": clip.joints.names, "controller": controller.name, "base": controller.base,
            "sim_dt": float(env.sim_dt), "saturated": np.zeros(nj), "fall_time_s": None, "fall_reason": None,
        }
        self.per_tick = per_tick_shapes(self.estimate.model, nj)
        for key, (shape, dtype) in self.per_tick.items():
            self.record[key] = np.zeros((self.total,) + shape, dtype)
        self.logs = {}
        self.step = 0               # the next tick
        self.start_ms = None
        self.tick_ms = 0
        self.reaction = []          # floor reaction of each physics step of the running tick
        self.steps = 0              # physics steps seen (states after the first)
        self.effort = self.estimate.motors.effort[self.estimate.motors.to_clip]
        self.command = None
        self.ref = None
        self.done = self.closed = False
        self.wall = 0.0             # seconds spent answering states
        self.late_ms = 0            # how late the last tick's state came (ms of the state's clock)

    def on_state(self, state):
        start = time.perf_counter()
        try:
            return self._on_state(state)
        finally:
            self.wall += time.perf_counter() - start

    def _on_state(self, state):
        if self.done:
            return None
        if self.start_ms is None:
            self.start_ms = state.tick
        else:
            self.steps += 1
            odo = state.odometry
            self.reaction.append(odo.floor_force if odo is not None else np.nan)
            tau = np.asarray(state.tau_est, dtype=np.float64)[self.estimate.motors.to_clip]
            self.record["saturated"] += np.abs(tau) >= self.effort * (1 - 1e-6)
        env = self.clip.env
        period_ms = round(env.control_dt / TICK_S)
        if state.tick - self.start_ms < self.step * period_ms:
            start = time.perf_counter_ns()
            self.command = self.controller.between(state, (state.tick - self.tick_ms) * TICK_S)
            self.record["controller_ns"][self.step - 1] += time.perf_counter_ns() - start
            return self.command
        return self._tick(state)

    def _tick(self, state):
        record, step, clip, env = self.record, self.step, self.clip, self.clip.env
        self.late_ms = state.tick - self.start_ms - step * round(env.control_dt / TICK_S)
        if step:
            record["torque"][step - 1] = np.asarray(state.tau_est, dtype=np.float64)[self.estimate.motors.to_clip]
            record["support_force"][step - 1] = np.mean(self.reaction) / self.estimate_weight if self.reaction \
                else 0.0
        self.reaction = []
        ref, record["latency_ns"][step] = query(env, step)
        self.ref = ref
        if step == 0:
            needs = self.controller.odometry_terms
            if needs and state.odometry is None:
                raise ClipError(f"{self.controller.name} needs odometry ({', '.join(needs)}) and the robot "
                                "state has none")
            self.controller.reset(clip, state)
        data = self.estimate.set(state)
        measure(record, step, clip, data, ref, self.estimate.q_clip(state), self.estimate.dq_clip(state))
        log_boundary(record, step, state, None)
        banded = self.banded(ref.time)
        record["banded"][step] = banded
        end = step + 1 == self.total
        if self.controller.base == "free" and not banded and fall(record, step):
            end = True
        if end:
            return self._finish(step + 1)
        start = time.perf_counter_ns()
        self.command = self.controller.tick(state, ref)
        record["controller_ns"][step] = time.perf_counter_ns() - start
        log_boundary(record, step, state, self.command)
        for name, value in self.controller.log().items():
            self.logs.setdefault(name, []).append(np.asarray(value))
        self.tick_ms = state.tick
        self.step += 1
        if self.progress is not None:
            self.progress.update(1)
        return self.command

    @functools.cached_property
    def estimate_weight(self):
        model = self.estimate.model
        return float(model.body_subtreemass[self.estimate.pelvis] * np.linalg.norm(model.opt.gravity))

    def _finish(self, ticks):
        if self.progress is not None:
            self.progress.update(self.total - self.step)
        return self.close(ticks)

    def close(self, ticks=None):
        """End the record after `ticks` ticks (default: those begun); once."""
        if self.closed:
            return None
        self.done = self.closed = True
        record = self.record
        ticks = self.step if ticks is None else ticks
        if ticks < self.total:
            for key in self.per_tick:
                record[key] = record[key][:ticks]
        record["ticks"] = ticks
        logs = self.logs
        # The controller acts on every tick but the last (or the one of a
        # fall), which gets a row of zeros.
        record["controller_log"] = {k: np.stack(v[:ticks] + [np.zeros_like(v[0])] * (ticks - len(v)))
                                    for k, v in logs.items()}
        record["saturated"] /= max(self.steps, 1)
        record["physics_steps"] = self.steps
        record.setdefault("wall_s", self.wall)
        record["controller_summary"] = self.controller.clip_summary(self.clip)
        return None


def fall(record, step):
    """The fall test of a tick: sets the record's fall time and reason."""
    height, ori = record["anchor_height_err"][step], record["anchor_ori_err"][step]
    if height <= FALL_HEIGHT_M and ori <= FALL_ANGLE_RAD:
        return False
    record["fall_time_s"] = float(record["time"][step])
    record["fall_reason"] = ("anchor height error %.2f m" % height if height > FALL_HEIGHT_M else
                             "anchor orientation error %.2f rad" % ori)
    return True


def start_pose(clip, robot, clearance):
    """The robot placed in the clip's first frame; a free base with its
    lowest point `clearance` above the floor (None keeps the clip's height)."""
    env = clip.env
    env.reset()
    ref, _ = query(env, 0)
    data = robot.data
    qpos, qvel = reference_state(robot.model, clip, ref)
    robot.reset(qpos, qvel)
    if clearance is not None:
        dz = clearance - lowest_point(robot.model, data)
        qpos[robot.base_q + 2] += dz
        robot.reset(qpos, qvel)
        return dz
    return 0.0


def run_clip(clip, model, controller, gantry=None, progress=None, watch=None, options=None):
    """Step through the clip with `controller` against the simulated robot
    in this process and return the record: the state at the start of every
    tick and its errors against that tick's reference, latencies, torques,
    and how the clip ended.

    `watch(rig, step)`, if given, is called after every tick (a live view);
    it may call `rig.release()`, and returning "reset" ends the record there
    with `record["reset"]` set, for the caller to run the clip again."""
    if controller.base == "kinematic":
        return run_kinematic(clip, model, controller, progress)
    robot = SimRobot(controller.model_path, options, mount=controller.base == "welded")
    rig = Rig(robot, clip, controller.base, gantry)
    rig.dz = start_pose(clip, robot, controller.start_clearance if controller.base == "free" else None)
    run = ClipRun(clip, controller, controller.model_path, rig.banded, progress)
    wall, start = 0.0, time.perf_counter()
    state = robot.state()
    while True:
        step = run.step
        command = run.on_state(state)
        if command is None:
            break
        robot.send(command)
        if run.step != step:            # a tick began
            rig.ref = run.ref
            if watch is not None:
                wall += time.perf_counter() - start
                if watch(rig, step) == "reset":
                    run.close()
                    run.record["reset"] = True
                    break
                start = time.perf_counter()
        rig.follow(run.step - 1, robot.time)
        robot.step()
        state = robot.state()
    wall += time.perf_counter() - start
    record = run.record
    record["wall_s"] = wall
    return record


def run_kinematic(clip, model, controller, progress=None):
    """Kinematic replay: the model posed from each tick's reference."""
    robot = SimRobot(controller.model_path)
    env = clip.env
    run = ClipRun(clip, controller, controller.model_path, progress=progress)
    start = time.perf_counter()
    for step in range(clip.frames):
        ref, run.record["latency_ns"][step] = query(env, step)
        qpos, qvel = reference_state(robot.model, clip, ref)
        robot.reset(qpos, qvel)
        measure(run.record, step, clip, robot.data, ref)
        if progress is not None:
            progress.update(1)
    run.step = clip.frames
    run.close(clip.frames)
    run.record["wall_s"] = time.perf_counter() - start
    return run.record


def per_tick_shapes(model, joints):
    """The record's per-tick arrays: name -> (shape of one tick, dtype)."""
    f = np.float64
    return {"time": ((), f), "qpos": ((model.nq,), f), "qvel": ((model.nv,), f),
            "ref_command": ((2 * joints,), f), "ref_anchor_pos": ((3,), f), "ref_anchor_quat": ((4,), f),
            "torque": ((joints,), f), "joint_err": ((joints,), f), "joint_vel_err": ((joints,), f),
            "anchor_pos_err": ((), f), "anchor_height_err": ((), f), "anchor_heading_err": ((), f),
            "anchor_ori_err": ((), f), "body_pos_err": ((), f), "body_pos_mean_err": ((), f),
            "body_pos_rel_err": ((), f), "support_force": ((), f), "latency_ns": ((), np.int64),
            "controller_ns": ((), np.int64), "banded": ((), bool),
            # the robot boundary at each tick: the state that started it (motor order, as sent) and
            # the tick's command (zeros on the last tick)
            **{f"state_{k}": ((n,), np.float32) for k, n in (("q", JOINTS), ("dq", JOINTS), ("tau_est", JOINTS),
                                                             ("imu_quat", 4), ("imu_gyro", 3), ("imu_accel", 3))},
            "command_enable": ((JOINTS,), bool),
            **{f"command_{k}": ((JOINTS,), np.float32) for k in ("q", "dq", "kp", "kd", "tau")}}


def log_boundary(record, step, state, command):
    """The tick's state and command into the record."""
    for key in ("q", "dq", "tau_est"):
        record[f"state_{key}"][step] = getattr(state, key)
    for key in ("quat", "gyro", "accel"):
        record[f"state_imu_{key}"][step] = getattr(state.imu, key)
    if command is not None:
        command = command.rounded()
        for key in ("enable", "q", "dq", "kp", "kd", "tau"):
            record[f"command_{key}"][step] = getattr(command, key)


def aligned_pose(env, pos, quat_wxyz):
    """A world pose in the frame `reset()` set, through the environment's
    `motion_init_align`: position (3,), orientation [x, y, z, w]."""
    align = env.motion_init_align
    pos = align.align_pos(np.asarray(pos, dtype=np.float64)[None])[0]
    quat = align.align_quat(np.asarray(quat_wxyz, dtype=np.float64)[[1, 2, 3, 0]][None])[0]
    return pos, quat


def measure(record, step, clip, data, ref, q=None, dq=None):
    """The robot's state at the start of a tick (`data` posed by it; joint
    angles and velocities in clip order, by default from `data`) against
    the tick's reference."""
    env, jmap = clip.env, clip.joints
    q = jmap.q(data) if q is None else q
    dq = jmap.qd(data) if dq is None else dq
    record["time"][step] = ref.time
    record["qpos"][step] = data.qpos
    record["qvel"][step] = data.qvel
    record["ref_command"][step] = ref.command
    record["ref_anchor_pos"][step] = ref.anchor_pos
    record["ref_anchor_quat"][step] = ref.anchor_quat
    record["joint_err"][step] = q - ref.joint_pos
    record["joint_vel_err"][step] = dq - ref.joint_vel
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
