"""A peer of the wire written apart from trackscope_tools.wire: its own
message types (from the low-level interface's field list, through
`cyclonedds`' own classes and serializer), its own C struct images (ctypes)
and its own CRC. Run as a program it is a controller that answers every
state on rt/lowstate with a command on rt/lowcmd: the state's tick in
reserve[0], its q as targets, its mode_machine where the state's CRC was
right (0 where not); the answer to every fifth tick carries a wrong CRC.
"""

import argparse
import ctypes
import sys
import time

from cyclonedds.idl import make_idl_struct
from cyclonedds.idl.annotations import autoid, final
from cyclonedds.idl.types import array, float32, float64, int16, uint8, uint32

MODULE = "unitree_hg.msg.dds_."


def _struct(name, fields, module=MODULE):
    return final(autoid("sequential")(make_idl_struct(name, module + name, fields)))


PeerMotorCmd = _struct("MotorCmd_", {"mode": uint8, "q": float32, "dq": float32, "tau": float32,
                                     "kp": float32, "kd": float32, "reserve": uint32})
PeerLowCmd = _struct("LowCmd_", {"mode_pr": uint8, "mode_machine": uint8, "motor_cmd": array[PeerMotorCmd, 35],
                                 "reserve": array[uint32, 4], "crc": uint32})
PeerImu = _struct("IMUState_", {"quaternion": array[float32, 4], "gyroscope": array[float32, 3],
                                "accelerometer": array[float32, 3], "rpy": array[float32, 3], "temperature": int16})
PeerMotorState = _struct("MotorState_", {"mode": uint8, "q": float32, "dq": float32, "ddq": float32,
                                         "tau_est": float32, "temperature": array[int16, 2], "vol": float32,
                                         "sensor": array[uint32, 2], "motorstate": uint32,
                                         "reserve": array[uint32, 4]})
PeerLowState = _struct("LowState_", {"version": array[uint32, 2], "mode_pr": uint8, "mode_machine": uint8,
                                     "tick": uint32, "imu_state": PeerImu, "motor_state": array[PeerMotorState, 35],
                                     "wireless_remote": array[uint8, 40], "reserve": array[uint32, 4],
                                     "crc": uint32})
PeerOdometry = _struct("Odometry_", {"position": array[float64, 3], "linear_velocity": array[float64, 3],
                                     "quaternion": array[float64, 4], "floor_force": float64, "stamp": float64, "tick": uint32,
                                     "source": str}, module="trackscope.msg.")


# C struct images (ctypes lays them out with the platform's natural alignment).
class CMotorCmd(ctypes.Structure):
    _fields_ = [("mode", ctypes.c_uint8)] + [(n, ctypes.c_float) for n in ("q", "dq", "tau", "kp", "kd")] \
        + [("reserve", ctypes.c_uint32)]


class CLowCmd(ctypes.Structure):
    _fields_ = [("mode_pr", ctypes.c_uint8), ("mode_machine", ctypes.c_uint8), ("motor_cmd", CMotorCmd * 35),
                ("reserve", ctypes.c_uint32 * 4), ("crc", ctypes.c_uint32)]


class CImu(ctypes.Structure):
    _fields_ = [("quaternion", ctypes.c_float * 4), ("gyroscope", ctypes.c_float * 3),
                ("accelerometer", ctypes.c_float * 3), ("rpy", ctypes.c_float * 3), ("temperature", ctypes.c_int16)]


class CMotorState(ctypes.Structure):
    _fields_ = [("mode", ctypes.c_uint8)] + [(n, ctypes.c_float) for n in ("q", "dq", "ddq", "tau_est")] \
        + [("temperature", ctypes.c_int16 * 2), ("vol", ctypes.c_float), ("sensor", ctypes.c_uint32 * 2),
           ("motorstate", ctypes.c_uint32), ("reserve", ctypes.c_uint32 * 4)]


class CLowState(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint32 * 2), ("mode_pr", ctypes.c_uint8), ("mode_machine", ctypes.c_uint8),
                ("tick", ctypes.c_uint32), ("imu_state", CImu), ("motor_state", CMotorState * 35),
                ("wireless_remote", ctypes.c_uint8 * 40), ("reserve", ctypes.c_uint32 * 4), ("crc", ctypes.c_uint32)]


def _fill(c, sample):
    """Copy a cyclonedds sample into a ctypes struct, member by member."""
    for name, ctype in c._fields_:
        value = getattr(sample, name)
        if isinstance(ctype, type) and issubclass(ctype, ctypes.Array):
            target = getattr(c, name)
            for i, v in enumerate(value):
                if isinstance(target[i], ctypes.Structure):
                    _fill(target[i], v)
                else:
                    target[i] = v
        elif isinstance(ctype, type) and issubclass(ctype, ctypes.Structure):
            _fill(getattr(c, name), value)
        else:
            setattr(c, name, value)
    return c


def image(sample):
    """The C struct image (bytes) of a peer LowCmd_ or LowState_."""
    c = _fill(CLowCmd() if isinstance(sample, PeerLowCmd) else CLowState(), sample)
    return ctypes.string_at(ctypes.addressof(c), ctypes.sizeof(c))


def crc_of(sample):
    """CRC-32 (0x04C11DB7, init all ones, MSB first) over the image's
    little-endian words but the last."""
    data = image(sample)
    crc = 0xFFFFFFFF
    for i in range(0, len(data) - 4, 4):
        word = int.from_bytes(data[i:i + 4], "little")
        for bit in range(32):
            crc = ((crc << 1) ^ (0x04C11DB7 if (crc ^ (word << bit)) & 0x80000000 else 0)) & 0xFFFFFFFF
    return crc


def answer(state):
    """The peer controller's command for a state."""
    cmd = PeerLowCmd(mode_pr=0, mode_machine=state.mode_machine if crc_of(state) == state.crc else 0,
                     motor_cmd=[PeerMotorCmd(1 if i < 29 else 0, state.motor_state[i].q if i < 29 else 0.0,
                                             0.0, 0.0, 20.0 if i < 29 else 0.0, 1.0 if i < 29 else 0.0, 0)
                                for i in range(35)],
                     reserve=[state.tick, 0, 0, 0], crc=0)
    cmd.crc = crc_of(cmd) ^ (state.tick % 5 == 0)
    return cmd


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--config", required=True, help="Cyclone DDS configuration file")
    p.add_argument("--domain", type=int, default=1)
    p.add_argument("--seconds", type=float, default=10.0, help="run this long, then exit")
    args = p.parse_args(argv)

    from cyclonedds.core import Policy, Qos
    from cyclonedds.domain import Domain, DomainParticipant
    from cyclonedds.pub import DataWriter
    from cyclonedds.sub import DataReader
    from cyclonedds.topic import Topic

    with open(args.config) as f:
        domain = Domain(args.domain, f.read())
    dp = DomainParticipant(args.domain)
    qos = Qos(Policy.Reliability.BestEffort, Policy.History.KeepLast(1))
    reader = DataReader(dp, Topic(dp, "rt/lowstate", PeerLowState, qos=qos), qos=qos)
    writer = DataWriter(dp, Topic(dp, "rt/lowcmd", PeerLowCmd, qos=qos), qos=qos)
    print("ready", flush=True)
    end = time.monotonic() + args.seconds
    while time.monotonic() < end:
        for state in reader.take(N=8):
            writer.write(answer(state))
        time.sleep(0.002)
    del domain
    return 0


if __name__ == "__main__":
    sys.exit(main())
