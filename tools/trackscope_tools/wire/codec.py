"""Encode and decode the low-level messages and our odometry, as the bytes
`cyclonedds` writes and reads (the 4-byte encapsulation header, then the
XCDR1 little-endian payload), with the CRC of the C struct image.

Two layouts of each message matter:

- the C struct image (`LOWCMD_IMAGE`, `LOWSTATE_IMAGE`: natural alignment,
  zero padding; 1004 and 2092 bytes), over which the CRC is taken;
- the CDR payload on the wire. CDR aligns each member but does not pad a
  struct to its own alignment, so the first motor's `mode` follows the
  member before it directly; everything from the first motor's `q` on sits
  where it sits in the image, shifted by the 4 header bytes, which the
  image spends on padding. The message and its image differ only in their
  first 8 (`LowCmd_`) or 76 (`LowState_`) bytes, which `_lowcmd_image`,
  `_lowcmd_message` etc. move; the rest is used as it is.

The codec works on the image as little-endian 32-bit words, each motor a
row of them; the word indices come from the image dtypes.

The types in `types.py` define the same layout for `cyclonedds`' own
serializer; the tests prove the bytes equal on random messages.
"""

import struct

import numpy as np

from ..boundary import JOINTS, MOTOR_SLOTS, Imu, MotorCommand, Odometry, Remote, RobotState
from .crc import Crc32

#: Encapsulation identifiers a decoder accepts: little-endian CDR (XCDR1)
#: and plain CDR2 (same payload for these types). Writers send the first.
CDR_LE = b"\x00\x01\x00\x00"
_ACCEPTED_HEADERS = (b"\x00\x01", b"\x00\x07")

_MOTOR_CMD = np.dtype([("mode", "u1"), ("q", "<f4"), ("dq", "<f4"), ("tau", "<f4"), ("kp", "<f4"),
                       ("kd", "<f4"), ("reserve", "<u4")], align=True)
LOWCMD_IMAGE = np.dtype([("mode_pr", "u1"), ("mode_machine", "u1"), ("motor_cmd", _MOTOR_CMD, MOTOR_SLOTS),
                         ("reserve", "<u4", 4), ("crc", "<u4")], align=True)
_IMU_STATE = np.dtype([("quaternion", "<f4", 4), ("gyroscope", "<f4", 3), ("accelerometer", "<f4", 3),
                       ("rpy", "<f4", 3), ("temperature", "<i2")], align=True)
_MOTOR_STATE = np.dtype([("mode", "u1"), ("q", "<f4"), ("dq", "<f4"), ("ddq", "<f4"), ("tau_est", "<f4"),
                         ("temperature", "<i2", 2), ("vol", "<f4"), ("sensor", "<u4", 2),
                         ("motorstate", "<u4"), ("reserve", "<u4", 4)], align=True)
LOWSTATE_IMAGE = np.dtype([("version", "<u4", 2), ("mode_pr", "u1"), ("mode_machine", "u1"), ("tick", "<u4"),
                           ("imu_state", _IMU_STATE), ("motor_state", _MOTOR_STATE, MOTOR_SLOTS),
                           ("wireless_remote", "u1", 40), ("reserve", "<u4", 4), ("crc", "<u4")], align=True)
LOWCMD_SIZE = LOWCMD_IMAGE.itemsize          # 1004, the message's size too
LOWSTATE_SIZE = LOWSTATE_IMAGE.itemsize      # 2092
assert (LOWCMD_SIZE, LOWSTATE_SIZE) == (1004, 2092)

#: `Odometry_`'s fixed part, header included (the source string follows).
_ODOM = np.dtype({"names": ["header", "position", "linear_velocity", "quaternion", "floor_force", "stamp", "tick",
                            "source_len"],
                  "formats": [("u1", 4), ("<f8", 3), ("<f8", 3), ("<f8", 4), "<f8", "<f8", "<u4", "<u4"],
                  "offsets": [0, 4, 28, 52, 84, 92, 100, 104], "itemsize": 108})
#: Longest odometry source name (bytes of UTF-8) a decoder accepts.
MAX_SOURCE = 255

_lowcmd_crc = Crc32((LOWCMD_SIZE - 4) // 4)
_lowstate_crc = Crc32((LOWSTATE_SIZE - 4) // 4)
# Remote: 2 header bytes, u16 buttons, f32 lx, rx, ry, L2, ly, 16 spare.
_REMOTE = struct.Struct("<2xH5f16x")
assert _REMOTE.size == 40


class WireError(ValueError):
    """Bytes that are not a message of the expected type."""


def _check(data, size, name):
    if len(data) < size:
        raise WireError(f"{name}: {len(data)} bytes, expected {size}")
    if bytes(data[:2]) not in _ACCEPTED_HEADERS:
        raise WireError(f"{name}: encapsulation {bytes(data[:4]).hex()} is not little-endian CDR")


def _word(dtype, *path):
    """The 32-bit word index of a (nested) field of an image dtype."""
    offset = 0
    for name in path:
        dtype, off = dtype.fields[name][:2]
        offset += off
        dtype = dtype.base
    assert offset % 4 == 0
    return offset // 4


# The images as little-endian 32-bit words; each motor a row of words.
_CMD_WORDS = LOWCMD_SIZE // 4
_CMD_MOTOR0, _CMD_STRIDE = _word(LOWCMD_IMAGE, "motor_cmd"), _MOTOR_CMD.itemsize // 4
_CMD_MOTORS = slice(_CMD_MOTOR0, _CMD_MOTOR0 + _CMD_STRIDE * JOINTS)
_CMD_MODES = slice(_CMD_MOTOR0, _CMD_MOTOR0 + _CMD_STRIDE * MOTOR_SLOTS, _CMD_STRIDE)
_CMD_Q = _word(_MOTOR_CMD, "q")          # q, dq, tau, kp, kd follow
_CMD_RESERVE = _word(LOWCMD_IMAGE, "reserve")
_ST_WORDS = LOWSTATE_SIZE // 4
_ST_TICK = _word(LOWSTATE_IMAGE, "tick")
_ST_IMU = {name: _word(LOWSTATE_IMAGE, "imu_state", field) for name, field in
           (("quat", "quaternion"), ("gyro", "gyroscope"), ("accel", "accelerometer"), ("rpy", "rpy"))}
_ST_MOTOR0, _ST_STRIDE = _word(LOWSTATE_IMAGE, "motor_state"), _MOTOR_STATE.itemsize // 4
_ST_MOTORS = slice(_ST_MOTOR0, _ST_MOTOR0 + _ST_STRIDE * JOINTS)
_ST_MODES = slice(_ST_MOTOR0, _ST_MOTOR0 + _ST_STRIDE * MOTOR_SLOTS, _ST_STRIDE)
_ST_FIELD = {name: _word(_MOTOR_STATE, name) for name in ("q", "dq", "tau_est")}
_ST_REMOTE = LOWSTATE_IMAGE.fields["wireless_remote"][1]
_HEADER_WORD = int(np.frombuffer(CDR_LE, "<u4")[0])
# Both messages: mode_pr and mode_machine are the image's bytes 0, 1 or 8, 9.
assert LOWCMD_IMAGE.fields["mode_machine"][1] == 1 and LOWSTATE_IMAGE.fields["mode_machine"][1] == 9
assert (_CMD_MOTOR0, _ST_MOTOR0) == (1, 18)


def _lowcmd_message(img):
    """The LowCmd_ message of an image (words, changed in place): the
    header, then mode_pr, mode_machine and motor 0's mode packed."""
    img[1] = (img[0] & 0xFFFF) | (img[1] & 0xFF) << 16
    img[0] = _HEADER_WORD
    return img.tobytes()


def _lowcmd_image(data):
    _check(data, LOWCMD_SIZE, "LowCmd_")
    img = np.frombuffer(data, "<u4", count=_CMD_WORDS).copy()
    head = int(img[1])
    img[0], img[1] = head & 0xFFFF, head >> 16 & 0xFF
    img[_CMD_MODES] &= 0xFF                                  # a peer's padding after each mode
    return img


def _lowstate_message(img):
    """The LowState_ message of an image (words): the header, the image's
    bytes 0..70, motor 0's mode, then the rest as it is."""
    msg = np.empty(_ST_WORDS, "<u4")
    msg[0] = _HEADER_WORD
    msg[1:18] = img[0:17]
    msg[18] = (img[17] & 0xFFFF) | (img[18] & 0xFF) << 16
    msg[19:] = img[19:]
    return msg.tobytes()


def _lowstate_image(data):
    _check(data, LOWSTATE_SIZE, "LowState_")
    msg = np.frombuffer(data, "<u4", count=_ST_WORDS)
    img = np.empty(_ST_WORDS, "<u4")
    img[0:17] = msg[1:18]
    img[17] = msg[18] & 0xFFFF
    img[18] = msg[18] >> 16 & 0xFF
    img[19:] = msg[19:]
    img[_ST_TICK - 1] &= 0xFFFF                              # a peer's padding
    img[_ST_MODES] &= 0xFF
    return img


def encode_lowcmd(cmd: MotorCommand) -> bytes:
    """A LowCmd_ message: motor i in slot i for the 29 joints (mode 1 where
    enabled; every value 0 where disabled and in slots 29-34), mode_pr 0,
    the command's mode_machine, reserve[0] its echo_tick, and the CRC.

    Raises ValueError on a non-finite value of an enabled motor (float32
    overflow included), so no such command reaches a motor."""
    img = np.zeros(_CMD_WORDS, "<u4")
    on = np.asarray(cmd.enable, dtype=bool).reshape(JOINTS)
    motors = img[_CMD_MOTORS].reshape(JOINTS, _CMD_STRIDE)
    motors[:, 0] = on
    values = motors.view("<f4")[:, _CMD_Q:_CMD_Q + 5]
    with np.errstate(over="ignore", invalid="ignore"):
        for i, name in enumerate(("q", "dq", "tau", "kp", "kd")):
            values[:, i] = getattr(cmd, name)
    values[~on] = 0
    if not np.isfinite(values).all():
        bad = np.flatnonzero(~np.isfinite(values).all(axis=1)).tolist()
        raise ValueError(f"motor command: non-finite or beyond float32 at joints {bad}")
    img[0] = (int(cmd.mode_machine) & 0xFF) << 8
    img[_CMD_RESERVE] = int(cmd.echo_tick) & 0xFFFFFFFF
    img[-1] = _lowcmd_crc(img.view(np.uint8))
    return _lowcmd_message(img)


def decode_lowcmd(data) -> tuple:
    """(MotorCommand, crc_ok) of a LowCmd_ message; the 29 joints' values
    as float32, slots 29-34 ignored. Raises WireError on bytes that are not
    one."""
    img = _lowcmd_image(data)
    crc_ok = _lowcmd_crc(img.view(np.uint8)) == int(img[-1])
    motors = img[_CMD_MOTORS].reshape(JOINTS, _CMD_STRIDE)
    v = motors.view("<f4")[:, _CMD_Q:_CMD_Q + 5].T.copy()
    cmd = MotorCommand(motors[:, 0] & 0xFF != 0, v[0], v[1], v[3], v[4], v[2],
                       mode_machine=int(img[0]) >> 8 & 0xFF, echo_tick=int(img[_CMD_RESERVE]))
    return cmd, crc_ok


def encode_remote(remote: Remote) -> bytes:
    """The remote's 40 bytes."""
    return _REMOTE.pack(int(remote.buttons) & 0xFFFF, remote.lx, remote.rx, remote.ry, remote.l2, remote.ly)


def decode_remote(data) -> Remote:
    buttons, lx, rx, ry, l2, ly = _REMOTE.unpack_from(data)
    return Remote(buttons, lx, rx, ry, l2, ly)


def encode_lowstate(state: RobotState) -> bytes:
    """A LowState_ message of a state (motor slots 29-34 zero, motor mode
    1), with its CRC. The odometry travels on its own topic."""
    img = np.zeros(_ST_WORDS, "<u4")
    f = img.view("<f4")
    img[_ST_TICK - 1] = (int(state.mode_machine) & 0xFF) << 8
    img[_ST_TICK] = int(state.tick) & 0xFFFFFFFF
    imu = state.imu
    for name, n in (("quat", 4), ("gyro", 3), ("accel", 3), ("rpy", 3)):
        f[_ST_IMU[name]:_ST_IMU[name] + n] = getattr(imu, name)
    motors = img[_ST_MOTORS].reshape(JOINTS, _ST_STRIDE)
    motors[:, 0] = 1
    values = motors.view("<f4")
    values[:, _ST_FIELD["q"]] = state.q
    values[:, _ST_FIELD["dq"]] = state.dq
    values[:, _ST_FIELD["tau_est"]] = state.tau_est
    img.view(np.uint8)[_ST_REMOTE:_ST_REMOTE + 40] = np.frombuffer(encode_remote(state.remote), np.uint8)
    img[-1] = _lowstate_crc(img.view(np.uint8))
    return _lowstate_message(img)


def decode_lowstate(data, stamp=0.0) -> tuple:
    """(RobotState, crc_ok) of a LowState_ message (float32 values, no
    odometry, `stamp` as given). Raises WireError on bytes that are not
    one."""
    img = _lowstate_image(data)
    raw = img.view(np.uint8)
    crc_ok = _lowstate_crc(raw) == int(img[-1])
    f = img.view("<f4")
    m = f[_ST_MOTORS].reshape(JOINTS, _ST_STRIDE)
    imu = Imu(*(f[_ST_IMU[name]:_ST_IMU[name] + n].copy() for name, n in
                (("quat", 4), ("gyro", 3), ("accel", 3), ("rpy", 3))))
    state = RobotState(
        tick=int(img[_ST_TICK]), q=m[:, _ST_FIELD["q"]].copy(), dq=m[:, _ST_FIELD["dq"]].copy(),
        tau_est=m[:, _ST_FIELD["tau_est"]].copy(), imu=imu,
        remote=decode_remote(raw[_ST_REMOTE:_ST_REMOTE + 40]),
        mode_machine=int(img[_ST_TICK - 1]) >> 8 & 0xFF, stamp=stamp)
    return state, crc_ok


def encode_odometry(odom: Odometry, tick=0, stamp=0.0) -> bytes:
    """An Odometry_ message (float64 values)."""
    source = odom.source.encode("utf-8")
    if len(source) > MAX_SOURCE:
        raise ValueError(f"odometry source name longer than {MAX_SOURCE} bytes")
    rec = np.zeros((), _ODOM)
    rec["header"] = np.frombuffer(CDR_LE, np.uint8)
    rec["position"] = odom.pos
    rec["linear_velocity"] = odom.lin_vel
    rec["quaternion"] = odom.quat
    rec["floor_force"] = odom.floor_force
    rec["stamp"] = stamp
    rec["tick"] = int(tick) & 0xFFFFFFFF
    rec["source_len"] = len(source) + 1
    msg = rec.tobytes() + source + b"\0"
    return msg + b"\0" * (-len(msg) % 4)


def decode_odometry(data) -> tuple:
    """(Odometry, tick, stamp) of an Odometry_ message. Raises WireError
    on bytes that are not one."""
    _check(data, _ODOM.itemsize, "Odometry_")
    rec = np.frombuffer(bytes(data[:_ODOM.itemsize]), _ODOM, count=1)[0]
    n = int(rec["source_len"])
    end = _ODOM.itemsize + n
    if not 1 <= n <= MAX_SOURCE + 1 or len(data) < end or data[end - 1] != 0:
        raise WireError(f"Odometry_: bad source string (length {n}, {len(data)} bytes)")
    source = bytes(data[_ODOM.itemsize:end - 1]).decode("utf-8", errors="replace")
    odom = Odometry(rec["position"].copy(), rec["linear_velocity"].copy(), rec["quaternion"].copy(), source,
                    float(rec["floor_force"]))
    return odom, int(rec["tick"]), float(rec["stamp"])
