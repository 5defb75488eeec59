"""The robot boundary: what a controller sees of the robot and what it sends.

A `RobotState` carries what the robot's low-level state message carries
(encoders, the pelvis IMU, the tick counter, the remote), plus base odometry
only where a source provides one; a `MotorCommand` carries what the
low-level command carries (per motor enable, q, dq, kp, kd, tau). Joint
arrays are in the order of `Wbt_env.orig_names_joint`, which is the robot's
motor slot order 0-28. Every value a message holds as float32 is float32
here too (`RobotState.rounded`, `MotorCommand.rounded`), so a controller
run in one process sees exactly what it would see over the wire.

Transports (in-process, DDS) only move these objects; they never know
which controller runs.
"""

import dataclasses

import numpy as np

JOINTS = 29
MOTOR_SLOTS = 35
#: The state's tick counter counts milliseconds.
TICK_S = 0.001
#: Remote buttons, bit 0 upward, in the u16 of the remote's 40 bytes.
BUTTONS = ("R1", "L1", "start", "select", "R2", "L2", "F1", "F2",
           "A", "B", "X", "Y", "up", "right", "down", "left")
#: The odometry source of the simulated robot.
SIM_TRUTH = "simulator truth"

_F32 = np.float32


def _f32(a, shape):
    return np.array(a, dtype=_F32).reshape(shape)


@dataclasses.dataclass
class Remote:
    """The remote's buttons (a u16, bit i = BUTTONS[i]) and sticks."""
    buttons: int = 0
    lx: float = 0.0
    rx: float = 0.0
    ry: float = 0.0
    l2: float = 0.0
    ly: float = 0.0

    def pressed(self, name):
        return bool(self.buttons >> BUTTONS.index(name) & 1)

    @classmethod
    def of(cls, names, **sticks):
        bits = 0
        for name in names:
            if name not in BUTTONS:
                raise ValueError(f"unknown remote button {name!r}; known: {', '.join(BUTTONS)}")
            bits |= 1 << BUTTONS.index(name)
        return cls(bits, **sticks)


@dataclasses.dataclass
class Imu:
    """The pelvis IMU: orientation [w, x, y, z] (world from IMU frame),
    gyroscope (rad/s) and accelerometer (m/s^2) in the IMU frame, roll,
    pitch, yaw (rad)."""
    quat: np.ndarray
    gyro: np.ndarray
    accel: np.ndarray
    rpy: np.ndarray


@dataclasses.dataclass
class Odometry:
    """Base (pelvis) pose and world linear velocity from a named source.
    The simulator's truth also carries the vertical floor reaction (N) of
    its last physics step, for the figures; other sources leave it NaN."""
    pos: np.ndarray
    lin_vel: np.ndarray
    quat: np.ndarray        # [w, x, y, z]
    source: str
    floor_force: float = float("nan")


@dataclasses.dataclass
class RobotState:
    tick: int                       # u32 milliseconds
    q: np.ndarray                   # (29,) encoder angles, orig_names_joint order
    dq: np.ndarray
    tau_est: np.ndarray
    imu: Imu
    remote: Remote = dataclasses.field(default_factory=Remote)
    mode_machine: int = 0
    odometry: Odometry = None       # None where no source provides one
    #: monotonic time (s) at which the source produced the state
    stamp: float = 0.0

    @property
    def time(self):
        """The state's own clock (s), from its tick counter."""
        return self.tick * TICK_S

    def rounded(self):
        """The state with every message field rounded to float32 (the
        odometry, float64 on its topic, stays as it is)."""
        imu = self.imu
        return dataclasses.replace(
            self, tick=int(self.tick) & 0xFFFFFFFF, q=_f32(self.q, JOINTS), dq=_f32(self.dq, JOINTS),
            tau_est=_f32(self.tau_est, JOINTS),
            imu=Imu(_f32(imu.quat, 4), _f32(imu.gyro, 3), _f32(imu.accel, 3), _f32(imu.rpy, 3)),
            remote=dataclasses.replace(self.remote, **{k: float(_F32(getattr(self.remote, k)))
                                                       for k in ("lx", "rx", "ry", "l2", "ly")}))


@dataclasses.dataclass
class MotorCommand:
    enable: np.ndarray              # (29,) bool
    q: np.ndarray                   # (29,) each, orig_names_joint order
    dq: np.ndarray
    kp: np.ndarray
    kd: np.ndarray
    tau: np.ndarray
    mode_machine: int = 0
    #: reserve[0] of the message: the answered state's tick in lockstep runs
    echo_tick: int = 0

    @classmethod
    def passive(cls):
        """Every motor disabled."""
        z = np.zeros(JOINTS)
        return cls(np.zeros(JOINTS, bool), z, z.copy(), z.copy(), z.copy(), z.copy())

    @classmethod
    def damping(cls, kd):
        """Enabled, no stiffness, velocity damped toward zero."""
        z = np.zeros(JOINTS)
        return cls(np.ones(JOINTS, bool), z, z.copy(), z.copy(), np.asarray(kd, dtype=np.float64).copy(),
                   z.copy())

    @classmethod
    def pd(cls, q, dq, kp, kd, tau=None):
        """Every motor enabled on the given targets and gains."""
        tau = np.zeros(JOINTS) if tau is None else tau
        return cls(np.ones(JOINTS, bool), *(np.asarray(a, dtype=np.float64) for a in (q, dq, kp, kd, tau)))

    def rounded(self):
        """The command as the message carries it: float32 values, and zeros
        for a disabled motor."""
        on = np.asarray(self.enable, dtype=bool).reshape(JOINTS)
        vals = [np.where(on, _f32(a, JOINTS), _F32(0)) for a in (self.q, self.dq, self.kp, self.kd, self.tau)]
        return dataclasses.replace(self, enable=on, q=vals[0], dq=vals[1], kp=vals[2], kd=vals[3], tau=vals[4])

    def finite(self):
        return all(np.isfinite(np.asarray(a, dtype=np.float64)).all()
                   for a in (self.q, self.dq, self.kp, self.kd, self.tau))


def motor_torque(command, q, dq, effort):
    """What the motor drivers make of a command: tau + kp (q_cmd - q) +
    kd (dq_cmd - dq), clipped to the effort limits, zero where disabled."""
    tau = command.tau + command.kp * (command.q - q) + command.kd * (command.dq - dq)
    return np.where(command.enable, np.clip(tau, -effort, effort), 0.0)
