"""The simulated robot: MuJoCo on the robot's side of the boundary.

It takes `MotorCommand`s and gives `RobotState`s, as the robot does. At
every physics step the latest command becomes torque as the motor drivers
make it (`boundary.motor_torque`); the state comes from the model's sensors
(MuJoCo's frame-orientation, gyro and accelerometer sensors at the pelvis
IMU site, the joint encoders) and, as odometry, the simulator's truth. Rig
equipment that a real robot has beside it (the gantry's band, the welded
mount of the PD replay) acts here too (`band`, `hold`), never through a
command.
"""

import collections
import dataclasses
import time

import numpy as np
from scipy.spatial.transform import Rotation

import mujoco
import trackscope  # noqa: F401  (registers math_transfrom)
from math_transfrom import imu_quat_to_euler

from .boundary import JOINTS, SIM_TRUTH, TICK_S, Imu, MotorCommand, Odometry, RobotState, motor_torque
from .plausibility import floor_height
from .robot import ClipError, tables
from .usermodel import ORIGIN_IMU_SITE, load  # noqa: F401

# The gantry's band on the pelvis: a stiff spring-damper towards a target
# base pose (translation, rotation), about critically damped for 35 kg. The
# band acts explicitly at sim_dt: rotational damping above about 50 N m s/rad
# makes the pelvis unstable, so stiffness is bounded by that.
BAND_K_POS, BAND_D_POS = 10000.0, 1200.0     # N/m, N s/m
BAND_K_ROT, BAND_D_ROT = 1000.0, 40.0        # N m/rad, N m s/rad
BAND_MASS_KG = 35.0     # the robot mass the band's constants are set for; they scale with the model's
# Standard deviations at --noise 1: encoder angle and velocity, gyro, accelerometer.
NOISE = {"q": 5e-4, "dq": 0.02, "gyro": 5e-3, "accel": 0.05}


@dataclasses.dataclass
class RobotOptions:
    """Sensor imperfections and command latency, all off by default."""
    noise: float = 0.0          # scale of NOISE
    gyro_bias: float = 0.0      # rad/s on each gyro axis
    latency_steps: int = 0      # physics steps between a command's arrival and its effect
    seed: int = 0

    def __post_init__(self):
        if not (np.isfinite(self.noise) and self.noise >= 0 and np.isfinite(self.gyro_bias)):
            raise ValueError("noise must be >= 0 and the gyro bias finite")
        if int(self.latency_steps) != self.latency_steps or self.latency_steps < 0:
            raise ValueError(f"latency must be a whole number of physics steps >= 0, got {self.latency_steps}")


@dataclasses.dataclass
class BaseTarget:
    """A base pose and velocity for the band or the mount to hold: position,
    [w, x, y, z], world linear and angular velocity."""
    pos: np.ndarray
    quat: np.ndarray
    lin_vel: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(3))
    ang_vel: np.ndarray = dataclasses.field(default_factory=lambda: np.zeros(3))


def robot_model(path, mount=False):
    """The robot's model of `path` (usermodel.load: checked, made drivable,
    the IMU's three sensors at the pelvis IMU site or at the pelvis origin),
    with `mount` a mocap body welded to the pelvis; returns (model, site)."""
    loaded = load(path, mount)
    return loaded.model, loaded.imu.site


class MotorMap:
    """The robot's 29 motors (orig_names_joint order) in a model, by name."""

    def __init__(self, model, tabs=None):
        tabs = tabs or tables()
        names = list(tabs.orig_names_joint)
        missing = [n for n in names if mujoco.mj_name2id(model, mujoco.mjtObj.mjOBJ_JOINT, n) < 0]
        if missing:
            raise ClipError(f"the model has no joint {', '.join(missing)}")
        ids = [model.joint(n).id for n in names]
        self.names = names
        self.qadr = model.jnt_qposadr[ids]
        self.dadr = model.jnt_dofadr[ids]
        by_joint = {int(model.actuator_trnid[a, 0]): a for a in range(model.nu)
                    if model.actuator_trntype[a] == mujoco.mjtTrn.mjTRN_JOINT}
        undriven = [n for n, j in zip(names, ids) if j not in by_joint]
        if undriven:
            raise ClipError(f"no actuator drives {', '.join(undriven)}")
        self.actuators = np.array([by_joint[j] for j in ids])
        # clip (target_names_joint) order <-> motor order
        self.to_clip = np.asarray(tabs.target_indices_joint)
        self.to_motor = np.asarray(tabs.target_indices_action)
        # the model's own limits (usermodel: from its force ranges, else the tables')
        self.effort = np.asarray(model.actuator_ctrlrange[self.actuators, 1], dtype=np.float64)


class SimRobot:
    """MuJoCo as the robot: `send` a command, `step` the physics, read `state()`."""

    def __init__(self, model_path, options=None, clock=time.monotonic, mount=False):
        self.model, self.imu_site = robot_model(model_path, mount)
        self.model_path = str(model_path)
        self.data = mujoco.MjData(self.model)
        self.options = options or RobotOptions()
        self.motors = MotorMap(self.model)
        self.clock = clock
        self.pelvis = self.model.body("pelvis").id
        base = self.model.body_jntadr[self.pelvis]
        self.base_q, self.base_v = self.model.jnt_qposadr[base], self.model.jnt_dofadr[base]
        adr = [self.model.sensor(f"trackscope_imu_{s}").adr[0] for s in ("quat", "gyro", "accel")]
        self.sensor = {"quat": slice(adr[0], adr[0] + 4), "gyro": slice(adr[1], adr[1] + 3),
                       "accel": slice(adr[2], adr[2] + 3)}
        self.floor = floor_height(self.model)[1]
        self.band = None        # BaseTarget the band pulls toward, or None
        self.band_scale = 1.0   # share of the band's pull (a gantry lowering the robot)
        # the band holds a heavier robot as firmly (two decimals: the package's robot gets 1)
        self.band_scale = round(float(self.model.body_subtreemass[self.pelvis]) / BAND_MASS_KG, 2)
        self.reset()

    def reset(self, qpos=None, qvel=None):
        mujoco.mj_resetData(self.model, self.data)
        if qpos is not None:
            self.data.qpos[:] = qpos
        if qvel is not None:
            self.data.qvel[:] = qvel
        mujoco.mj_forward(self.model, self.data)
        self.rng = np.random.default_rng(self.options.seed)
        self.pending = collections.deque()
        self.command = MotorCommand.passive().rounded()
        self.applied = np.zeros(JOINTS)        # torque of the last step (motor order)
        self.steps = 0
        self.reaction = 0.0                    # floor reaction of the last step (N)

    # -- the boundary ----------------------------------------------------
    def send(self, command):
        """The latest command; it acts from the next physics step on (after
        the configured latency)."""
        command = command.rounded()
        if self.options.latency_steps:
            self.pending.append((self.steps + self.options.latency_steps, command))
        else:
            self.command = command

    def state(self):
        """The robot's state now, as its low-level state message carries it."""
        data, m, noise = self.data, self.motors, self.options.noise
        q, dq = data.qpos[m.qadr], data.qvel[m.dadr]
        quat = data.sensordata[self.sensor["quat"]]
        gyro = data.sensordata[self.sensor["gyro"]] + self.options.gyro_bias
        accel = data.sensordata[self.sensor["accel"]]
        if noise:
            draw = lambda key, a: a + self.rng.normal(0.0, noise * NOISE[key], np.shape(a))  # noqa: E731
            q, dq, gyro, accel = draw("q", q), draw("dq", dq), draw("gyro", gyro), draw("accel", accel)
        bq, bv = self.base_q, self.base_v
        odometry = Odometry(data.qpos[bq:bq + 3].copy(), data.qvel[bv:bv + 3].copy(),
                            data.qpos[bq + 3:bq + 7].copy(), SIM_TRUTH, self.reaction)
        state = RobotState(tick=int(round(data.time / TICK_S)), q=q, dq=dq, tau_est=self.applied,
                           imu=Imu(quat, gyro, accel, np.array(imu_quat_to_euler(quat))),
                           odometry=odometry, stamp=self.clock())
        return state.rounded()

    def step(self):
        """One physics step under the latest command, the band and the mount."""
        model, data, m = self.model, self.data, self.motors
        while self.pending and self.pending[0][0] <= self.steps:
            self.command = self.pending.popleft()[1]
        q, dq = data.qpos[m.qadr], data.qvel[m.dadr]
        cmd = self.command
        self.applied = motor_torque(cmd, q, dq, m.effort)
        data.ctrl[m.actuators] = self.applied
        if self.band is not None:
            self._pull(self.band)
        # The split step keeps kinematics and sensors of the current state in
        # `data` between steps (mj_step would leave those of the last one);
        # the floor reaction is read while contacts and forces still match.
        mujoco.mj_step2(model, data)
        self.reaction = self.floor_force()
        if self.band is not None:
            data.xfrc_applied[self.pelvis] = 0.0
        mujoco.mj_step1(model, data)
        self.steps += 1

    def hold(self, target):
        """Move the welded mount (the mocap body) to `target` at once; the
        current step's kinematics and constraints follow it."""
        if not self.model.nmocap:
            raise ClipError("this robot has no mount")
        self.data.mocap_pos[0] = target.pos
        self.data.mocap_quat[0] = target.quat
        mujoco.mj_step1(self.model, self.data)

    @property
    def time(self):
        return float(self.data.time)

    # -- rig and measurement ---------------------------------------------
    def _pull(self, target):
        """The gantry: a spring-damper wrench on the pelvis towards `target`."""
        data, body = self.data, self.pelvis
        ref_rot = Rotation.from_quat(np.asarray(target.quat)[[1, 2, 3, 0]])
        rot = Rotation.from_matrix(data.xmat[body].reshape(3, 3))
        rot_err = (ref_rot * rot.inv()).as_rotvec()
        bv = self.base_v
        ang_vel = rot.apply(data.qvel[bv + 3:bv + 6])
        k = self.band_scale
        data.xfrc_applied[body, :3] = k * (BAND_K_POS * (target.pos - data.xpos[body])
                                           + BAND_D_POS * (target.lin_vel - data.qvel[bv:bv + 3]))
        data.xfrc_applied[body, 3:] = k * (BAND_K_ROT * rot_err + BAND_D_ROT * (target.ang_vel - ang_vel))

    def floor_force(self):
        """Vertical floor reaction on the robot (N) from the contacts and
        constraint forces in `data`."""
        data, total = self.data, 0.0
        force = np.zeros(6)
        for i in range(data.ncon):
            con = data.contact[i]
            if self.floor not in (con.geom1, con.geom2):
                continue
            mujoco.mj_contactForce(self.model, data, i, force)
            total += float(force[:3] @ con.frame.reshape(3, 3)[:, 2])
        return abs(total)

    @property
    def weight(self):
        return float(self.model.body_subtreemass[self.pelvis] * np.linalg.norm(self.model.opt.gravity))


class Gantry:
    """The gantry as a rig of the simulated robot: its band holds the pelvis
    where the robot was when the gantry was made. `setting` "auto" lets go
    once the commands have held stiffness on every leg joint for
    STAND_HOLD_S (as a robot is lowered once it stands), "always", "off" or
    a number of seconds. Called before every physics step; returns whether
    the band holds."""

    STAND_HOLD_S = 1.0
    #: auto: the band's pull fades over this long once the legs have held (the robot is lowered)
    LOWER_S = 0.9

    def __init__(self, setting, robot, log=print):
        from .simulation import parse_gantry
        self.auto = str(setting).strip().lower() == "auto"
        until = float("inf") if self.auto else parse_gantry(setting)
        self.until = -1.0 if until is None else until
        names = list(robot.motors.names)
        self.legs = np.array([i for i, n in enumerate(names) if "hip" in n or "knee" in n or "ankle" in n])
        bq = robot.base_q
        self.target = BaseTarget(robot.data.qpos[bq:bq + 3].copy(), robot.data.qpos[bq + 3:bq + 7].copy())
        self.log = log
        self.stiff_since = None
        self.lowering = None
        self.released_at = None

    def __call__(self, robot):
        holds = self.holds(robot.time, robot.command)
        robot.band = self.target if holds else None
        robot.band_scale = self.scale(robot.time)
        return holds

    def scale(self, t):
        """Share of the band's pull (1 until auto begins to lower the robot)."""
        if not self.auto or self.lowering is None:
            return 1.0
        return float(np.clip(1.0 - (t - self.lowering) / self.LOWER_S, 0.0, 1.0))

    def holds(self, t, command):
        if self.released_at is not None:
            return False
        if self.auto:
            legs = self.legs
            stiff = bool(command.enable[legs].all() and (command.kp[legs] > 0).all())
            if not stiff:
                self.stiff_since = None
            elif self.stiff_since is None:
                self.stiff_since = t
            if stiff and self.lowering is None and t - self.stiff_since >= self.STAND_HOLD_S:
                self.lowering = t
                self.log(f"gantry: lowering the robot at {t:.3f} s (legs stiff for 1 s)")
            if self.lowering is not None:
                self.until = self.lowering + self.LOWER_S
        if t >= self.until:
            self.released_at = t
            if self.until >= 0:
                self.log(f"gantry: released at {t:.3f} s")
            return False
        return True
