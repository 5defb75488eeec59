"""The controller's side as on the robot: a state machine over a link that
moves robot states in and motor commands out.

    wait for state -> passive (motors disabled) -> damping (kp 0, the tables'
    kd) -> stand (from the measured pose to the clip's first frame over
    STAND_S, the tables' gains) -> run (the controller through the clip's
    ClipRun) -> damping on a fault or a stop

Every state is answered with a command (passive, damping, the stand's
interpolation, or the controller's command of the tick or between ticks).
Faults are checked on every state: no state within the watchdog, CRC errors
in a row, non-finite values, a joint beyond its limits by a margin or faster
than its velocity limit, roll or pitch beyond TILT_RAD, a tick over budget.
Each sends the robot to damping and is logged with its time, the state it
came in and its reason.

A link is anything with `wait_state(timeout) -> RobotState | None`,
`send(command)`, `crc_errors` and `crc_in_row`: `InProcessLink` here (the
simulated robot stepped once per command), or the DDS link of `wire`.
"""

import dataclasses
import time

import numpy as np
from scipy.spatial.transform import Rotation

from math_transfrom import reset_pose_yaw_only_keep_rp

from .boundary import BUTTONS, TICK_S, MotorCommand
from .controllers.base import gains, to_motor
from .robot import joint_limits, tables
from .simulation import ClipRun, query

STAND_S = 2.0                 # stand: from the measured pose to the clip's first frame
TILT_RAD = 1.0                # roll or pitch beyond this is a fault
JOINT_LIMIT_MARGIN = 0.1      # rad beyond the tables' joint limits
JOINT_VEL_LIMIT = 30.0        # rad/s, every joint
WATCHDOG_S = 0.010            # no state for this long is a fault
CRC_IN_ROW = 5                # consecutive states with a wrong CRC that are a fault
FAULT_HOLD_S = 1.0            # --auto: damping held this long after a fault before exiting
STATES = ("wait", "passive", "damping", "stand", "run")
REASONS = ("watchdog", "crc", "nonfinite", "joint_limit", "joint_velocity", "tilt", "overrun")


class InProcessLink:
    """The simulated robot in this process: each command sent is applied for
    one physics step, after which the next state is ready (lockstep by
    construction). `rig(robot)`, if given, runs before each step."""

    name = "inprocess"

    def __init__(self, robot, rig=None):
        self.robot, self.rig = robot, rig
        self.crc_errors = self.crc_in_row = 0
        self.ready = True

    def wait_state(self, timeout):
        if not self.ready:
            if self.rig is not None:
                self.rig(self.robot)
            self.robot.step()
        self.ready = False
        return self.robot.state()

    def send(self, command):
        self.robot.send(command)


class DdsLink:
    """The robot's wire (wire.dds.Link, controller side) as a deploy link."""

    name = "dds"

    def __init__(self, domain=None, interface=None):
        from .wire import dds
        self.link = dds.Link("controller", domain=domain, interface=interface)
        self.no_state_message = (f"no robot state within 5 s on {self.link.where}: check that the robot (or "
                                 "trackscope-sim) runs on the same domain and interface, and that its low-level "
                                 "state is published on rt/lowstate")

    def wait_state(self, timeout):
        return self.link.latest_state(timeout)

    def send(self, command):
        self.link.send_command(command)

    @property
    def crc_errors(self):
        return self.link.crc_errors

    @property
    def crc_in_row(self):
        return self.link.crc_errors_in_row

    def other_writers(self):
        return self.link.other_command_writers(wait=0.3)

    def close(self):
        self.link.close()


class Rezero:
    """The robot's frame re-zeroed when a run starts from a stand: odometry
    and the IMU's heading turned and shifted so that the base starts where
    the clip's first frame has it in the floor plane and in heading, height,
    roll and pitch as measured. The robot's odometry and IMU start wherever
    they were switched on; the clip's reference lives in its own frame."""

    def __init__(self, state, clip_pos, clip_quat_wxyz):
        odo = state.odometry
        quat = np.asarray(odo.quat if odo is not None else state.imu.quat, dtype=np.float64)
        self.p_offset = np.asarray(odo.pos, dtype=np.float64).copy() if odo is not None else np.zeros(3)
        self.q_offset = quat
        yaw_clip = Rotation.from_quat(np.asarray(clip_quat_wxyz)[[1, 2, 3, 0]]).as_euler("xyz")[2]
        yaw_robot = Rotation.from_quat(quat[[1, 2, 3, 0]]).as_euler("xyz")[2]
        self.to_clip = Rotation.from_euler("z", yaw_clip)
        self.turn = Rotation.from_euler("z", yaw_clip - yaw_robot)
        self.shift = np.array([clip_pos[0], clip_pos[1], 0.0])

    def apply(self, state):
        odo = state.odometry
        imu = dataclasses.replace(state.imu, quat=self._turn_quat(state.imu.quat))
        if odo is not None:
            pos, quat = reset_pose_yaw_only_keep_rp(np.asarray(odo.pos, dtype=np.float64), odo.quat,
                                                    self.p_offset, self.q_offset)
            height = pos[2]
            pos = self.to_clip.apply([pos[0], pos[1], 0.0]) + self.shift
            pos[2] = height
            quat = (self.to_clip * Rotation.from_quat(quat[[1, 2, 3, 0]])).as_quat()[[3, 0, 1, 2]]
            odo = dataclasses.replace(odo, pos=pos, quat=quat,
                                      lin_vel=self.turn.apply(np.asarray(odo.lin_vel, dtype=np.float64)))
        return dataclasses.replace(state, imu=imu, odometry=odo)

    def _turn_quat(self, quat_wxyz):
        q = self.turn * Rotation.from_quat(np.asarray(quat_wxyz, dtype=np.float64)[[1, 2, 3, 0]])
        return q.as_quat()[[3, 0, 1, 2]]


@dataclasses.dataclass
class Fault:
    time_s: float
    state: str
    reason: str
    detail: str


class Deployment:
    """The state machine over `link`, running `controller` on `clips`
    (simulation.Clip objects) in order. Remote buttons: start steps passive
    -> damping -> stand -> run, A runs from a finished stand, select or B
    stops (damping, then the end)."""

    def __init__(self, link, clips, controller, auto=False, start_in_run=False, tick_budget_s=None,
                 watchdog_s=WATCHDOG_S, log=print, lockstep=False):
        self.link, self.clips, self.controller = link, list(clips), controller
        self.auto, self.start_in_run, self.log, self.lockstep = auto, start_in_run, log, lockstep
        env = tables()
        self.kp, self.kd = gains()
        lower, upper = joint_limits(env)
        self.lower, self.upper = to_motor(lower), to_motor(upper)
        self.control_dt = float(env.control_dt)
        self.tick_budget_s = self.control_dt if tick_budget_s is None else tick_budget_s
        self.watchdog_s = watchdog_s
        self.mode = "wait"
        self.transitions, self.faults = [], []
        self.records = []
        self.run = self.next_run = None
        self.rezero = None
        self.clip_index = 0
        self.requests = []            # transitions asked for by keys or the remote
        self.stats = {"state_age_ms": [], "tick_compute_ms": [], "command_write_ms": []}
        self.missed_ticks = 0
        self.last_buttons = 0
        self.fault_at = None
        self.finished = False
        self.finished_at = 0.0
        self.state_time = 0.0

    # -- transitions ------------------------------------------------------
    def enter(self, mode, state_time, why):
        self.transitions.append({"time_s": round(state_time, 6), "from": self.mode, "to": mode, "why": why})
        self.log(f"deploy: {self.mode} -> {mode} at {state_time:.3f} s ({why})")
        self.mode = mode

    def request(self, mode):
        """A transition asked for by a key or a script: passive, damping, stand, run or stop."""
        self.requests.append(mode)

    def fault(self, state_time, reason, detail):
        self.faults.append(Fault(round(state_time, 6), self.mode, reason, detail))
        self.log(f"deploy: fault at {state_time:.3f} s in {self.mode}: {reason} ({detail}); damping")
        self._close_run()
        self.enter("damping", state_time, f"fault: {reason}")
        self.fault_at = state_time

    # -- the checks -------------------------------------------------------
    def check(self, state):
        """The first fault the state shows, as (reason, detail), or None."""
        if self.link.crc_in_row >= CRC_IN_ROW:
            return "crc", f"{self.link.crc_in_row} states in a row with a wrong CRC"
        values = (state.q, state.dq, state.imu.quat, state.imu.gyro, state.imu.rpy)
        if not all(np.isfinite(v).all() for v in values):
            return "nonfinite", "the state holds a non-finite value"
        if self.mode in ("wait", "passive"):
            return None
        q = np.asarray(state.q, dtype=np.float64)
        beyond = (q < self.lower - JOINT_LIMIT_MARGIN) | (q > self.upper + JOINT_LIMIT_MARGIN)
        if beyond.any():
            j = int(np.flatnonzero(beyond)[0])
            return "joint_limit", f"{tables().orig_names_joint[j]} at {q[j]:.3f} rad"
        fast = np.abs(state.dq) > JOINT_VEL_LIMIT
        if fast.any():
            j = int(np.flatnonzero(fast)[0])
            return "joint_velocity", f"{tables().orig_names_joint[j]} at {float(state.dq[j]):.1f} rad/s"
        roll, pitch = float(state.imu.rpy[0]), float(state.imu.rpy[1])
        if max(abs(roll), abs(pitch)) > TILT_RAD:
            return "tilt", f"roll {roll:.2f} rad, pitch {pitch:.2f} rad"
        return None

    # -- one state --------------------------------------------------------
    def on_state(self, state):
        """The command answering `state` (None once the deployment is over)."""
        t = state.time
        self.state_time = t
        self._buttons(state)
        if self.mode == "wait":
            self.enter("passive", t, "first state")
            if self.start_in_run:
                self.enter("run", t, "--start-in-run")
        problem = self.check(state)
        if problem and self.mode != "damping":
            self.fault(t, *problem)
        for mode in self.requests:
            self._requested(mode, state)
        self.requests = []
        if self.auto and self.fault_at is None:
            self._auto(state)
        if self.fault_at is not None and self.auto and t - self.fault_at >= FAULT_HOLD_S:
            return None
        if self.finished and self.mode == "damping" and t - self.finished_at >= FAULT_HOLD_S:
            return None
        command = self._command(state)
        if not command.finite():
            self.fault(t, "nonfinite", "the controller's command holds a non-finite value")
            command = self._command(state)
        return command

    def _buttons(self, state):
        pressed = state.remote.buttons & ~self.last_buttons
        self.last_buttons = state.remote.buttons
        for name, mode in (("start", "next"), ("A", "run"), ("select", "stop"), ("B", "stop")):
            if pressed >> BUTTONS.index(name) & 1:
                self.request(mode)

    def _requested(self, mode, state):
        t = state.time
        if mode == "stop":
            if self.mode != "damping":
                self.fault_at = None
                self._close_run()
                self.enter("damping", t, "stop")
            self.finished, self.finished_at = True, t
            return
        if mode == "next":
            mode = {"passive": "damping", "damping": "stand", "stand": "run"}.get(self.mode)
        if mode == "damping" and self.mode != "damping":
            self.enter("damping", t, "asked")
        elif mode == "stand" and self.mode in ("damping", "passive") and self.clip_index < len(self.clips):
            self._stand(state, "asked")
        elif mode == "run" and self.mode == "stand" and self.stand_done(state):
            self._enter_run(state, "asked")

    def _auto(self, state):
        t = state.time
        if self.mode == "passive":
            self.enter("damping", t, "--auto")
        elif self.mode == "damping" and not self.finished and self.clip_index < len(self.clips):
            self._stand(state, "--auto")
        elif self.mode == "stand" and self.stand_done(state):
            self._enter_run(state, "--auto")

    def _enter_run(self, state, why):
        """Run from a stand: the clip starts where the robot stands."""
        self.rezero = Rezero(state, self.stand_ref.body_pos[self.clips[self.clip_index].pelvis_row],
                             self.stand_ref.body_quat[self.clips[self.clip_index].pelvis_row])
        self.enter("run", state.time, why)

    def _stand(self, state, why):
        self.enter("stand", state.time, why)
        clip = self.clips[self.clip_index]
        clip.env.reset()
        ref, _ = query(clip.env, 0)
        self.stand_ref = ref
        # the run's costly preparation while the robot stands
        self.controller.prepare(clip)
        self.next_run = ClipRun(clip, self.controller, self.controller.model_path)
        self.stand_from = np.asarray(state.q, dtype=np.float64).copy()
        self.stand_to = to_motor(ref.joint_pos)
        self.stand_start = state.time

    def stand_done(self, state):
        return state.time - self.stand_start >= STAND_S

    def _close_run(self):
        self.rezero = None
        if self.run is not None:
            self.run.close()
            self.records.append(self.run.record)
            self.run = None

    def _command(self, state):
        if self.mode in ("wait", "passive"):
            command = MotorCommand.passive()
        elif self.mode == "damping":
            command = MotorCommand.damping(self.kd)
        elif self.mode == "stand":
            share = min((state.time - self.stand_start) / STAND_S, 1.0)
            q = self.stand_from + share * (self.stand_to - self.stand_from)
            command = MotorCommand.pd(q, np.zeros_like(q), self.kp, self.kd)
        else:
            command = self._run(state)
        command.mode_machine = state.mode_machine
        if self.lockstep:
            command.echo_tick = state.tick
        return command

    def _run(self, state):
        if self.run is None:
            clip = self.clips[self.clip_index]
            self.run = self.next_run or ClipRun(clip, self.controller, self.controller.model_path)
            self.next_run = None
            self.tick_index = -1
        before = self.run.step
        tick_start = time.monotonic()
        start = time.perf_counter()
        command = self.run.on_state(self.rezero.apply(state) if self.rezero is not None else state)
        elapsed = time.perf_counter() - start
        if self.run.step != before:
            self._tick_stats(state, tick_start)
        if command is None:
            self._close_run()
            self.clip_index += 1
            if self.clip_index < len(self.clips):
                if self.auto or self.start_in_run:
                    self._stand(state, "next clip")
                    return self._command(state)
                self.enter("damping", state.time, "clip done")
            else:
                self.enter("damping", state.time, "clips done")
                self.finished, self.finished_at = True, state.time
            return self._command(state)
        if elapsed > self.tick_budget_s and self.run.step > 1:     # the first tick holds the reset
            self.fault(state.time, "overrun", f"tick took {1000 * elapsed:.1f} ms")
            return self._command(state)
        return command

    def _tick_stats(self, state, tick_start):
        """State age at the tick's start; the tick's compute: the reference
        queries and the controller's tick (not the figures' measurement)."""
        record, k = self.run.record, self.run.step - 1
        self.stats["tick_compute_ms"].append((int(record["latency_ns"][k]) + int(record["controller_ns"][k])) / 1e6)
        self.stats["state_age_ms"].append(1000 * max(tick_start - state.stamp, 0.0) if state.stamp else 0.0)
        period_ms = round(self.control_dt / TICK_S)
        if self.run.late_ms >= period_ms:
            self.missed_ticks += int(self.run.late_ms // period_ms)

    # -- the loop ---------------------------------------------------------
    def serve(self, first_timeout=5.0, stop=lambda: False):
        """Answer states until the deployment is over; returns the reason it
        ended ("done", "fault", "stopped", "no state"). `stop()` is asked
        once per state or wait: true sends the robot to damping, holds it
        FAULT_HOLD_S and ends."""
        timeout = first_timeout
        command = stopped_at = None
        self.last_tick = None
        while True:
            if stopped_at is None and stop():
                self.request("stop")
                stopped_at = time.monotonic()
            if stopped_at is not None and time.monotonic() - stopped_at > 2 * FAULT_HOLD_S:
                return "stopped"                 # the robot's clock stood still or no state came
            state = self.link.wait_state(timeout)
            if state is None:
                if self.mode == "wait":
                    if stopped_at is not None:
                        return "stopped"
                    return "no state"
                in_row = self.link.crc_in_row
                if 0 < in_row < CRC_IN_ROW:
                    continue            # states come, corrupt: the CRC rule decides, not the watchdog
                reason = "crc" if in_row else "watchdog"
                if not any(f.reason == reason for f in self.faults[-1:]) and self.mode != "damping":
                    self.fault(self.state_time, reason, f"{in_row} states in a row with a wrong CRC" if in_row
                               else f"no state for {1000 * self.watchdog_s:.0f} ms")
                # no good state: damping goes out anyway, with --auto for FAULT_HOLD_S
                command = MotorCommand.damping(self.kd)
                self.link.send(command)
                if self.auto:
                    end = time.monotonic() + FAULT_HOLD_S
                    while time.monotonic() < end:
                        self.link.wait_state(self.watchdog_s)
                        self.link.send(command)
                    return "fault"
                timeout = 0.1
                continue
            timeout = self.watchdog_s
            if state.tick == self.last_tick and command is not None:
                self.link.send(command)          # a state sent again: the same answer
                continue
            self.last_tick = state.tick
            command = self.on_state(state)
            if command is None:
                return "fault" if self.faults else ("stopped" if stopped_at is not None else "done")
            start = time.perf_counter()
            self.link.send(command)
            self.stats["command_write_ms"].append(1000 * (time.perf_counter() - start))

    def summary_figures(self):
        def spread(values):
            a = np.asarray(values, dtype=np.float64)
            if not a.size:
                return {"median": 0.0, "p99": 0.0, "max": 0.0}
            return {"median": float(np.median(a)), "p99": float(np.percentile(a, 99)), "max": float(a.max())}
        return {"transport": self.link.name, **{k: spread(v) for k, v in self.stats.items()},
                "missed_ticks": self.missed_ticks, "crc_errors": int(self.link.crc_errors),
                "transitions": self.transitions, "faults": [dataclasses.asdict(f) for f in self.faults]}
