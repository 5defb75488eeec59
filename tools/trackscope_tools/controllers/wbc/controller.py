"""The whole-body controller: a free base on its own feet.

Every control tick (or every physics step) one QP over joint accelerations, corner contact forces
and joint torques (problem.solve) balances the robot with MuJoCo's dynamics
toward the clip: pelvis pose, torso (anchor) orientation, centre of mass,
swing feet and joint posture, with the stance feet from the clip's contact
schedule held still inside their friction cones and the torques inside the
effort limits."""

import numpy as np
from scipy.spatial.transform import Rotation

import mujoco

from ...boundary import MotorCommand
from ...plausibility import foot_geoms
from ...robot import FOOT_BODIES, geom_lowest_z, lowest_point, sole_corners
from ...statemodel import StateModel
from ..base import Controller, gains
from . import limits as lim
from . import tasks as tk
from .problem import DEFAULT_SOLVER, solve
from .schedule import contact_schedule, stance_intervals
from .state import State

FRICTION_MARGIN = 0.7       # the QP's friction coefficient, a share of the model's
LANDING_M = 0.005           # a landing foot aims this far below its reference
# A landing foot stands once a sole geom's lowest point, by the kinematics
# of the state (odometry and encoders), is this close to the floor; a foot
# on the floor sinks into the soft contact by about a millimetre.
TOUCH_DOWN_M = 0.001


def _lerp(a, k, alpha):
    """Frame k of `a` moved a share `alpha` toward frame k + 1."""
    if alpha == 0.0 or k + 1 >= len(a):
        return a[min(k, len(a) - 1)]
    return (1.0 - alpha) * a[k] + alpha * a[k + 1]


class WBCController(Controller):
    name = "wbc"
    base = "free"
    odometry_terms = ("base position", "base linear velocity")
    between_ticks = "interpolated"
    # The clip's feet stand on the floor, so the robot starts touching it:
    # a drop of even a centimetre lands on the feet with an impact the stance
    # constraint would have to absorb in its first steps.
    start_clearance = 0.0

    #: task weights and stiffnesses (1/s^2)
    WEIGHTS = {"pelvis": (20.0, 100.0), "anchor": (10.0, 100.0), "com": (100.0, 100.0),
               "swing": (50.0, 400.0), "posture": (1.0, 100.0)}

    RATES = ("step", "tick")

    def __init__(self, solver=DEFAULT_SOLVER, rate="tick"):
        """`rate`: "step" solves at every physics step; "tick" once per
        control tick, the joints following the plan between solves by the
        tables' PD around it."""
        if rate not in self.RATES:
            raise ValueError(f"rate must be one of {self.RATES}, got {rate!r}")
        self.solver, self.rate = solver, rate
        self.solve_s = []            # every solve of every clip
        self.clip_solve_s = []
        self.failed = 0

    def describe(self):
        per = "physics step" if self.rate == "step" else "control tick, joint PD between"
        return [f"wbc: one QP per {per} (qpsolvers, {self.solver}); free base, no weld"]

    # -- a new clip ------------------------------------------------------
    def prepare(self, clip):
        """The clip's targets and contact schedule (the reset's costly part,
        tens of milliseconds): done once per clip, ahead of its run where the
        caller can."""
        self.own = StateModel(self.model_path)
        model, env = self.own.model, clip.env
        motors = self.own.motors
        self.prepared = clip
        self.dt, self.sim_dt, self.decimation = env.control_dt, env.sim_dt, env.sim_decimation
        arr = lambda m: np.asarray(getattr(env, f"{env.file}_{m}"), dtype=np.float64)  # noqa: E731
        body_pos, body_quat = arr("body_pos_w"), arr("body_quat_w")
        lin_vel, ang_vel = arr("body_lin_vel_w"), arr("body_ang_vel_w")
        joint_pos, joint_vel = arr("joint_pos")[:, motors.to_motor], arr("joint_vel")[:, motors.to_motor]
        row = clip.pelvis_row
        qpos = np.tile(model.qpos0, (len(body_pos), 1))
        qpos[:, self.own.base_q:self.own.base_q + 3] = body_pos[:, row]
        qpos[:, self.own.base_q + 3:self.own.base_q + 7] = body_quat[:, row]
        qpos[:, motors.qadr] = joint_pos

        # The clip's first frame lifted or lowered to stand on the floor (as
        # the simulated robot is started from it); the targets follow by
        # the same height, whatever height the robot has sagged to.
        ref = mujoco.MjData(model)
        ref.qpos[:] = qpos[0]
        mujoco.mj_kinematics(model, ref)
        self.dz = float(self.start_clearance - lowest_point(model, ref))
        body_pos = body_pos.copy()
        body_pos[..., 2] += self.dz
        qpos[:, self.own.base_q + 2] += self.dz
        com = np.zeros((len(qpos), 3))
        for t, q in enumerate(qpos):
            ref.qpos[:] = q
            mujoco.mj_kinematics(model, ref)
            mujoco.mj_comPos(model, ref)
            com[t] = ref.subtree_com[self.own.pelvis]
        grad = lambda a: np.gradient(a, self.dt, axis=0) if len(a) > 1 else np.zeros_like(a)  # noqa: E731
        com_vel = grad(com)
        self.ref = {"body_pos": body_pos, "body_quat": body_quat, "lin_vel": lin_vel, "ang_vel": ang_vel,
                    "lin_acc": grad(lin_vel), "ang_acc": grad(ang_vel), "q": joint_pos, "qd": joint_vel,
                    "qdd": grad(joint_vel), "com": com, "com_vel": com_vel, "com_acc": grad(com_vel)}
        self.stance = contact_schedule(model, qpos)

    def reset(self, clip, state):
        if getattr(self, "prepared", None) is not clip:
            self.prepare(clip)
        self.prepared = None            # a clip run again is prepared again
        model, env = self.own.model, clip.env
        data = self.own.set(state, forward=True)
        motors = self.own.motors
        rows = {name: r for r, name in enumerate(env.target_names)}
        self.feet = [model.body(n).id for n in FOOT_BODIES]
        self.foot_rows = [rows[n] for n in FOOT_BODIES]
        self.foot_geoms = foot_geoms(model)
        self.corners_local = [sole_corners(model, b)[0] for b in self.feet]
        soles = [g for geoms in self.foot_geoms for g in geoms]
        mu = FRICTION_MARGIN * float(min(model.geom_friction[g, 0] for g in soles))
        w = self.WEIGHTS
        pelvis_id, anchor_id = model.body("pelvis").id, model.body(env.target_names[clip.anchor_row]).id
        self.pelvis = tk.FrameTask(pelvis_id, *w["pelvis"])
        self.anchor = tk.FrameTask(anchor_id, *w["anchor"], position=False)
        self.anchor_row, self.pelvis_row = clip.anchor_row, clip.pelvis_row
        self.com = tk.ComTask(*w["com"])
        self.swing = [tk.FrameTask(b, *w["swing"]) for b in self.feet]
        self.posture = tk.PostureTask(motors.qadr, motors.dadr, *w["posture"])
        self.tasks = [self.pelvis, self.anchor, self.com, *self.swing, self.posture, tk.RegularisationTask()]
        self.stance_limit = lim.StanceFeet()
        # the QP's torques are per actuator; motor i is actuator motors.actuators[i]
        self.actuators = motors.actuators
        effort = np.zeros(model.nu)
        effort[motors.actuators] = motors.effort
        actuated = model.jnt_dofadr[model.actuator_trnid[:, 0]]
        self.limits = [lim.Dynamics(actuated), self.stance_limit, lim.FrictionCones(mu),
                       lim.TorqueLimits(effort)]
        self.kp, self.kd = gains()
        self.tau = np.zeros(len(motors.qadr))
        self.plan_q, self.plan_qd = data.qpos[motors.qadr].copy(), data.qvel[motors.dadr].copy()
        self.plan_qdd = np.zeros(len(motors.dadr))
        self.step = 0
        self.clip_solve_s = []
        self.failed_clip = 0
        self.foot_xy = np.full((clip.frames, 2, 2), np.nan)
        self.last_stance = self.stance[0]
        self.landing = np.zeros(2, bool)
        self.command = MotorCommand.passive()

    # -- the loop's calls ------------------------------------------------
    def tick(self, state, ref):
        self.step = ref.step
        k = min(ref.step, len(self.stance) - 1)
        data = self.own.set(state, forward=True)
        # A foot the schedule puts down stands once it touches the floor by
        # the state's kinematics; until then it keeps following the
        # reference down.
        touching = self._touching(data)
        planned = self.stance[k]
        standing = planned & (touching | self.last_stance)
        self.landing = planned & ~standing
        self.last_stance = standing
        self.stance_limit.stand(data, [b for b, s in zip(self.feet, standing) if s])
        for task, s in zip(self.swing, standing):
            task.active = not s
        if self.step < len(self.foot_xy):
            self.foot_xy[self.step] = data.xpos[self.feet, :2]
        return self._solve(data, 0.0)

    def _touching(self, data):
        model = self.own.model
        return np.array([min(geom_lowest_z(model, data, g) for g in geoms) < TOUCH_DOWN_M
                         for geoms in self.foot_geoms])

    def _set_targets(self, alpha):
        r, k = self.ref, self.step
        at = lambda name, row=None: _lerp(r[name] if row is None else r[name][:, row], k, alpha)  # noqa: E731
        quat = lambda row: Rotation.from_quat(at("body_quat", row)[[1, 2, 3, 0]]).as_matrix()  # noqa: E731
        for task, row in [(self.pelvis, self.pelvis_row), (self.anchor, self.anchor_row),
                          *zip(self.swing, self.foot_rows)]:
            task.set_target(at("body_pos", row), quat(row), at("lin_vel", row), at("ang_vel", row),
                            at("lin_acc", row), at("ang_acc", row))
        for task, landing in zip(self.swing, self.landing):
            if landing:     # seek the floor a little below the reference
                task.pos = task.pos - [0.0, 0.0, LANDING_M]
        self.com.set_target(at("com"), at("com_vel"), at("com_acc"))
        self.posture.set_target(at("q"), at("qd"), at("qdd"))

    def between(self, state, elapsed):
        if self.rate == "step":
            return self._solve(self.own.set(state, forward=True), elapsed / self.dt)
        # Between solves the joints follow the plan: the solve's state
        # carried forward with its accelerations, by the tables' PD.
        t = elapsed
        qd = self.plan_qd + self.plan_qdd * t
        q = self.plan_q + self.plan_qd * t + 0.5 * self.plan_qdd * t * t
        self.command = MotorCommand.pd(q, qd, self.kp, self.kd, self.tau)
        return self.command

    def _solve(self, data, alpha):
        """One QP at the state in `data`: the command with its torques as
        feed-forward and the plan's state under the tables' PD."""
        model = self.own.model
        self._set_targets(alpha)
        corners = []
        for body, local, s in zip(self.feet, self.corners_local, self.last_stance):
            if s:
                rot = data.xmat[body].reshape(3, 3)
                corners += [(body, data.xpos[body] + rot @ c) for c in local]
        qp_state = State(model, data, corners)
        x, elapsed = solve(qp_state, self.tasks, self.limits, self.solver)
        self.solve_s.append(elapsed)
        self.clip_solve_s.append(elapsed)
        motors = self.own.motors
        if x is None:
            self.failed += 1
            self.failed_clip += 1
        else:
            self.tau = x[qp_state.layout.tau][self.actuators]
            self.last_x, self.last_state = x, qp_state
            self.plan_q, self.plan_qd = data.qpos[motors.qadr].copy(), data.qvel[motors.dadr].copy()
            self.plan_qdd = x[qp_state.layout.qdd][motors.dadr]
        self.command = MotorCommand.pd(self.plan_q, self.plan_qd, self.kp, self.kd, self.tau)
        return self.command

    def log(self):
        return {"wbc_stance": self.last_stance.copy()}

    # -- summaries -------------------------------------------------------
    def slip(self, ticks=None):
        """Largest horizontal drift of a foot from where it stood at the start
        of each of its stance intervals: (metres, foot name or None)."""
        worst, foot_name = 0.0, None
        ticks = len(self.foot_xy) if ticks is None else ticks
        for foot, a, b in stance_intervals(self.stance[:ticks]):
            xy = self.foot_xy[a: b + 1, foot]
            xy = xy[np.isfinite(xy).all(axis=1)]
            if len(xy) < 2:
                continue
            drift = float(np.linalg.norm(xy - xy[0], axis=1).max())
            if drift > worst:
                worst, foot_name = drift, FOOT_BODIES[foot]
        return worst, foot_name

    def clip_summary(self, clip):
        ticks = int(np.isfinite(self.foot_xy[:, 0, 0]).sum())
        slip, foot = self.slip(ticks)
        return {"stance_foot_slip_max_m": slip, "stance_foot_slip_foot": foot,
                "qp_solve_us": _percentiles(self.clip_solve_s), "qp_failed_steps": self.failed_clip,
                "stance_fraction": {n: float(self.stance[:, k].mean()) for k, n in enumerate(FOOT_BODIES)}}

    def run_summary(self, records):
        qp = _percentiles(self.solve_s)
        rate = "every physics step" if self.rate == "step" else "every control tick, joint PD between"
        notes = [f"wbc: QP ({self.solver}, {rate}) median {qp['median']:.0f} us, p99 {qp['p99']:.0f} us over "
                 f"{qp['solves']} solves, {self.failed} without solution"]
        wall = sum(r["wall_s"] for r in records)
        if wall:
            simulated = sum(r["physics_steps"] * r["sim_dt"] for r in records)
            notes.append(f"wbc: realtime factor {simulated / wall:.2f} (simulated seconds per wall second of "
                         "the loop, rendering excluded)")
        for r in records:
            c = r["controller_summary"]
            foot = f" ({c['stance_foot_slip_foot']})" if c["stance_foot_slip_foot"] else ""
            support = np.mean(r["support_force"][:-1]) if r["ticks"] > 1 else 0.0
            notes.append(f"{r['name']:<14}stance-foot slip max {1000 * c['stance_foot_slip_max_m']:.1f} mm{foot}, "
                         f"floor reaction {support:.3f} of the weight")
        return {"qp_solver": self.solver, "qp_rate": rate, "qp_solve_us": qp, "qp_failed_steps": self.failed,
                "notes": notes}


def _percentiles(seconds):
    us = np.asarray(seconds) * 1e6
    if not us.size:
        return {"median": 0.0, "p99": 0.0, "solves": 0}
    return {"median": float(np.median(us)), "p99": float(np.percentile(us, 99)), "solves": int(us.size)}
