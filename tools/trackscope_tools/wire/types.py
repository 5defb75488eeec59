"""The robot's low-level message types and our odometry type, as
`cyclonedds` IDL classes, and the topics that carry them.

Type names, member order and member types are those of the 29-joint
robot's low-level interface (module `unitree_hg::msg::dds_`), final with
sequential member ids, so a peer built from the robot's own IDL matches
them. `Odometry_` is ours: float64 throughout, published by the simulated
robot as its ground truth.
"""

from dataclasses import dataclass, field

from cyclonedds.idl import IdlStruct
from cyclonedds.idl.annotations import autoid, final
from cyclonedds.idl.types import array, float32, float64, int16, uint8, uint32

from ..boundary import MOTOR_SLOTS

LOWCMD_TOPIC = "rt/lowcmd"
LOWSTATE_TOPIC = "rt/lowstate"
#: The simulated robot's ground-truth odometry (never published by a robot).
ODOM_TRUTH_TOPIC = "rt/trackscope/odom_truth"

_HG = "unitree_hg.msg.dds_."


def _zeros(n):
    return field(default_factory=lambda: [0] * n)


def _fzeros(n):
    return field(default_factory=lambda: [0.0] * n)


@dataclass
@final
@autoid("sequential")
class MotorCmd_(IdlStruct, typename=_HG + "MotorCmd_"):
    mode: uint8 = 0
    q: float32 = 0.0
    dq: float32 = 0.0
    tau: float32 = 0.0
    kp: float32 = 0.0
    kd: float32 = 0.0
    reserve: uint32 = 0


@dataclass
@final
@autoid("sequential")
class LowCmd_(IdlStruct, typename=_HG + "LowCmd_"):
    mode_pr: uint8 = 0
    mode_machine: uint8 = 0
    motor_cmd: array[MotorCmd_, MOTOR_SLOTS] = field(
        default_factory=lambda: [MotorCmd_() for _ in range(MOTOR_SLOTS)])
    reserve: array[uint32, 4] = _zeros(4)
    crc: uint32 = 0


@dataclass
@final
@autoid("sequential")
class IMUState_(IdlStruct, typename=_HG + "IMUState_"):
    quaternion: array[float32, 4] = _fzeros(4)      # w, x, y, z
    gyroscope: array[float32, 3] = _fzeros(3)
    accelerometer: array[float32, 3] = _fzeros(3)
    rpy: array[float32, 3] = _fzeros(3)
    temperature: int16 = 0


@dataclass
@final
@autoid("sequential")
class MotorState_(IdlStruct, typename=_HG + "MotorState_"):
    mode: uint8 = 0
    q: float32 = 0.0
    dq: float32 = 0.0
    ddq: float32 = 0.0
    tau_est: float32 = 0.0
    temperature: array[int16, 2] = _zeros(2)
    vol: float32 = 0.0
    sensor: array[uint32, 2] = _zeros(2)
    motorstate: uint32 = 0
    reserve: array[uint32, 4] = _zeros(4)


@dataclass
@final
@autoid("sequential")
class LowState_(IdlStruct, typename=_HG + "LowState_"):
    version: array[uint32, 2] = _zeros(2)
    mode_pr: uint8 = 0
    mode_machine: uint8 = 0
    tick: uint32 = 0
    imu_state: IMUState_ = field(default_factory=IMUState_)
    motor_state: array[MotorState_, MOTOR_SLOTS] = field(
        default_factory=lambda: [MotorState_() for _ in range(MOTOR_SLOTS)])
    wireless_remote: array[uint8, 40] = _zeros(40)
    reserve: array[uint32, 4] = _zeros(4)
    crc: uint32 = 0


@dataclass
@final
@autoid("sequential")
class Odometry_(IdlStruct, typename="trackscope.msg.Odometry_"):
    """Base (pelvis) odometry. The float64 members come first, so the
    payload's layout is the same in XCDR1 and XCDR2."""
    position: array[float64, 3] = _fzeros(3)
    linear_velocity: array[float64, 3] = _fzeros(3)
    quaternion: array[float64, 4] = _fzeros(4)      # w, x, y, z
    #: vertical floor reaction (N), NaN where the source has none
    floor_force: float64 = float("nan")
    #: monotonic time (s) at which the source produced it
    stamp: float64 = 0.0
    #: the tick of the state published with it
    tick: uint32 = 0
    source: str = ""
