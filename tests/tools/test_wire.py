"""The wire: the messages' CRC, the codec against cyclonedds' own serializer
and a peer written apart (wire_peer.py)."""

import importlib.util
import os
import subprocess
import sys
import time

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from trackscope_tools.boundary import JOINTS, BUTTONS, Imu, MotorCommand, Odometry, Remote, RobotState
from trackscope_tools.wire import codec
from trackscope_tools.wire.crc import Crc32, crc32_words

needs_dds = pytest.mark.skipif(importlib.util.find_spec("cyclonedds") is None,
                               reason="cyclonedds is not installed here (no wheel for this platform)")
if importlib.util.find_spec("cyclonedds") is not None:
    import wire_peer as peer
    from trackscope_tools.wire import types


def _cmd_image(mode_machine=0, motor0=None):
    img = np.zeros((), codec.LOWCMD_IMAGE)
    img["mode_machine"] = mode_machine
    for name, value in (motor0 or {}).items():
        img["motor_cmd"][0][name] = value
    return img.tobytes()


@pytest.mark.parametrize("image, n_words, expected", [
    (bytes(1004), 250, 0xfe172f9f),
    (bytes(2092), 522, 0xd64bb04a),
    (_cmd_image(5, {"mode": 1, "q": 1.0}), 250, 0xd754e8eb),
])
def test_crc_known_answers(image, n_words, expected):
    assert Crc32(n_words)(image) == expected
    assert crc32_words(np.frombuffer(image, "<u4")[:n_words]) == expected


@pytest.mark.parametrize("n_words", [250, 522])
def test_crc_tables_match_the_bitwise_definition(n_words):
    data = np.random.default_rng(n_words).integers(0, 256, 4 * n_words + 4, dtype=np.uint8)
    assert Crc32(n_words)(data.tobytes()) == crc32_words(data.view("<u4")[:n_words])


def test_known_command_answer_through_the_encoder():
    enable = np.zeros(JOINTS, bool)
    enable[0] = True
    q = np.zeros(JOINTS)
    q[0] = 1.0
    cmd = MotorCommand(enable, q, *(np.zeros(JOINTS) for _ in range(4)), mode_machine=5)
    assert codec.decode_lowcmd(codec.encode_lowcmd(cmd))[0].q[0] == 1.0
    assert int.from_bytes(codec.encode_lowcmd(cmd)[-4:], "little") == 0xd754e8eb
    assert int.from_bytes(codec.encode_lowcmd(MotorCommand.passive())[-4:], "little") == 0xfe172f9f


f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)
u8, u32 = st.integers(0, 0xFF), st.integers(0, 0xFFFFFFFF)


def arrays(n):
    return st.lists(f32, min_size=n, max_size=n).map(lambda v: np.array(v, np.float32))


commands = st.builds(MotorCommand, st.lists(st.booleans(), min_size=JOINTS, max_size=JOINTS).map(np.array),
                     *(arrays(JOINTS) for _ in range(5)), mode_machine=u8, echo_tick=u32)
remotes = st.builds(Remote, st.integers(0, 0xFFFF), f32, f32, f32, f32, f32)
states = st.builds(RobotState, u32, arrays(JOINTS), arrays(JOINTS), arrays(JOINTS),
                   st.builds(Imu, arrays(4), arrays(3), arrays(3), arrays(3)), remotes, mode_machine=u8)


def _peer_command(cmd):
    on = cmd.enable
    motors = [peer.PeerMotorCmd(int(on[i]), *(float(getattr(cmd, n)[i]) if on[i] else 0.0
                                              for n in ("q", "dq", "tau", "kp", "kd")), 0) if i < JOINTS
              else peer.PeerMotorCmd(0, 0.0, 0.0, 0.0, 0.0, 0.0, 0) for i in range(35)]
    msg = peer.PeerLowCmd(0, cmd.mode_machine, motors, [cmd.echo_tick, 0, 0, 0], 0)
    msg.crc = peer.crc_of(msg)
    return msg


def _peer_state(s):
    motors = [peer.PeerMotorState(1, float(s.q[i]), float(s.dq[i]), 0.0, float(s.tau_est[i]), [0, 0], 0.0, [0, 0],
                                  0, [0] * 4) if i < JOINTS
              else peer.PeerMotorState(0, 0.0, 0.0, 0.0, 0.0, [0, 0], 0.0, [0, 0], 0, [0] * 4) for i in range(35)]
    imu = peer.PeerImu(*(list(map(float, a)) for a in (s.imu.quat, s.imu.gyro, s.imu.accel, s.imu.rpy)), 0)
    msg = peer.PeerLowState([0, 0], 0, s.mode_machine, s.tick, imu, motors, list(codec.encode_remote(s.remote)),
                            [0] * 4, 0)
    msg.crc = peer.crc_of(msg)
    return msg


def _same(a, b, names):
    for name in names:
        np.testing.assert_array_equal(getattr(a, name), getattr(b, name), err_msg=name)


@needs_dds
@settings(max_examples=15, deadline=None)
@given(commands)
def test_lowcmd_bytes_equal_the_peer_serializer(cmd):
    ours = codec.encode_lowcmd(cmd)
    assert ours == _peer_command(cmd).serialize()
    assert ours == types.LowCmd_.deserialize(ours).serialize()
    back, crc_ok = codec.decode_lowcmd(ours)
    assert crc_ok and (back.mode_machine, back.echo_tick) == (cmd.mode_machine, cmd.echo_tick)
    _same(back, cmd.rounded(), ("enable", "q", "dq", "kp", "kd", "tau"))


@needs_dds
@settings(max_examples=15, deadline=None)
@given(states)
def test_lowstate_bytes_equal_the_peer_serializer(state):
    ours = codec.encode_lowstate(state)
    theirs = _peer_state(state).serialize()
    assert ours == theirs
    back, crc_ok = codec.decode_lowstate(theirs)
    assert crc_ok and (back.tick, back.mode_machine, back.remote) == (state.tick, state.mode_machine, state.remote)
    _same(back, state, ("q", "dq", "tau_est"))
    _same(back.imu, state.imu, ("quat", "gyro", "accel", "rpy"))


@needs_dds
def test_decoders_read_what_a_peer_fills_everywhere():
    """Values in every member, the ones our encoders leave zero included
    (padding a peer might leave is ignored by the CRC)."""
    rng = np.random.default_rng(7)
    s = peer.PeerLowState.deserialize(codec.encode_lowstate(RobotState(
        1, *rng.normal(size=(3, JOINTS)), Imu(*(rng.normal(size=n) for n in (4, 3, 3, 3))))))
    s.version, s.mode_pr, s.reserve, s.imu_state.temperature = [1, 2], 3, [4, 5, 6, 7], -8
    for m in s.motor_state:
        m.mode, m.ddq, m.temperature, m.vol, m.sensor, m.motorstate, m.reserve = 9, 1.5, [30, 31], 24.0, [1, 2], 3, \
            [1, 2, 3, 4]
    s.crc = peer.crc_of(s)
    data = bytearray(s.serialize())
    data[75] = data[72 + 56 * 34 + 1] = 0xAB   # CDR padding after the modes of motors 0 and 34
    state, crc_ok = codec.decode_lowstate(bytes(data))
    assert crc_ok
    np.testing.assert_array_equal(state.q, np.float32([m.q for m in s.motor_state[:JOINTS]]))
    data = bytearray(codec.encode_lowcmd(MotorCommand.pd(*rng.normal(size=(4, JOINTS)))))
    data[7] = data[4 + 28 * 34 + 1] = 0xAB     # the same in a command
    assert codec.decode_lowcmd(bytes(data))[1]


@pytest.mark.parametrize("which", ["lowcmd", "lowstate"])
@pytest.mark.parametrize("where", [10, 500, -5])
def test_corruption_fails_the_crc(which, where):
    rng = np.random.default_rng(3)
    if which == "lowcmd":
        data = codec.encode_lowcmd(MotorCommand.pd(*rng.normal(size=(4, JOINTS))))
        decode = codec.decode_lowcmd
    else:
        data = codec.encode_lowstate(RobotState(5, *rng.normal(size=(3, JOINTS)),
                                                Imu(*(rng.normal(size=n) for n in (4, 3, 3, 3)))))
        decode = codec.decode_lowstate
    assert decode(data)[1]
    bad = bytearray(data)
    bad[where] ^= 0x10
    assert not decode(bytes(bad))[1]


@pytest.mark.parametrize("data, message", [
    (b"", "0 bytes"),
    (bytes(60), "60 bytes"),
    (bytes(2092), "encapsulation 00000000"),
    (b"\x01\x00\x00\x00" + bytes(2088), "not little-endian"),
])
def test_malformed_messages_are_refused(data, message):
    for decode in (codec.decode_lowcmd, codec.decode_lowstate, codec.decode_odometry):
        with pytest.raises(codec.WireError, match=message):
            decode(data)


def test_non_finite_commands_never_reach_the_wire():
    cmd = MotorCommand.pd(*np.zeros((4, JOINTS)))
    cmd.kp[3] = np.nan
    cmd.q[7] = 1e39                          # beyond float32
    with pytest.raises(ValueError, match=r"joints \[3, 7\]"):
        codec.encode_lowcmd(cmd)
    cmd.enable[[3, 7]] = False               # a disabled motor's values are not sent
    assert codec.decode_lowcmd(codec.encode_lowcmd(cmd))[0].kp[3] == 0


def test_remote_layout():
    data = codec.encode_remote(Remote.of(["R1", "left"], lx=0.5, ly=-1.0))
    assert len(data) == 40 and data[:2] == b"\0\0" and data[-16:] == bytes(16)
    assert int.from_bytes(data[2:4], "little") == 1 | 1 << BUTTONS.index("left")
    np.testing.assert_array_equal(np.frombuffer(data[4:24], "<f4"), [0.5, 0, 0, 0, -1.0])


@needs_dds
@pytest.mark.parametrize("source", ["simulator truth", "", "é" * 20])
def test_odometry_round_trip_and_peer_bytes(source):
    odom = Odometry(np.array([1.0, -2.0, 0.75]), np.array([0.1, 0.2, 0.3]), np.array([0.5, 0.5, -0.5, 0.5]), source,
                    floor_force=321.5)
    data = codec.encode_odometry(odom, tick=123, stamp=4.5)
    theirs = peer.PeerOdometry([1.0, -2.0, 0.75], [0.1, 0.2, 0.3], [0.5, 0.5, -0.5, 0.5], 321.5, 4.5, 123, source)
    assert data == theirs.serialize().ljust(len(data), b"\0")
    back, tick, stamp = codec.decode_odometry(data)
    assert (tick, stamp, back.source, back.floor_force) == (123, 4.5, source, 321.5)
    _same(back, odom, ("pos", "lin_vel", "quat"))
    with pytest.raises(codec.WireError, match="source string"):
        codec.decode_odometry(data[:108])        # the fixed part alone


# --- the transport: two processes on loopback ---------------------------------

# A domain of this test run's own: other runs on this machine use domain 1.
TEST_DOMAIN = 100 + os.getpid() % 60


@pytest.fixture(scope="module")
def peer_process(tmp_path_factory):
    """The peer controller (wire_peer.py) on the shipped loopback
    configuration, moved to the test domain."""
    from trackscope_tools.wire import dds
    with open(dds.LOOPBACK_CONFIG) as f:
        xml = f.read()
    assert 'Id="1"' in xml
    config = tmp_path_factory.mktemp("dds") / "loopback.xml"
    config.write_text(xml.replace('Id="1"', f'Id="{TEST_DOMAIN}"'))
    proc = subprocess.Popen([sys.executable, peer.__file__, "--config", str(config), "--domain", str(TEST_DOMAIN),
                             "--seconds", "20"], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        yield proc
    finally:
        proc.kill()
        proc.wait(5)


def _state(tick, rng):
    return RobotState(tick, *rng.normal(size=(3, JOINTS)), Imu(*(rng.normal(size=n) for n in (4, 3, 3, 3))),
                      Remote.of(["A"]), mode_machine=7, stamp=time.monotonic())


@needs_dds
def test_loopback_exchange_with_a_peer(peer_process):
    from trackscope_tools.wire.dds import Link
    rng = np.random.default_rng(11)
    answered, sent = {}, {}
    with Link("robot", domain=TEST_DOMAIN) as robot:
        end = time.monotonic() + 8.0
        while time.monotonic() < end and (len(answered) < 4 or not robot.crc_errors):
            tick = len(sent) + 1
            sent[tick] = _state(tick, rng)
            robot.send_state(sent[tick])
            cmd = robot.latest_command(timeout=0.02)
            if cmd is not None:
                answered[cmd.echo_tick] = cmd
        errors, in_row = robot.crc_errors, robot.crc_errors_in_row
    assert len(answered) >= 4, f"{len(answered)} answers to {len(sent)} states"
    corrupt = [t for t in answered if t % 5 == 0]
    assert not corrupt and errors >= 1 and in_row <= 1
    for tick, cmd in answered.items():
        assert cmd.mode_machine == 7, "the peer found our state's CRC wrong"
        np.testing.assert_array_equal(cmd.q, sent[tick].rounded().q)
        assert cmd.enable.all() and (cmd.kp == 20).all()


@needs_dds
def test_another_command_writer_is_seen(peer_process):
    from trackscope_tools.wire.dds import Link
    with Link("controller", domain=TEST_DOMAIN) as controller:
        others = controller.other_command_writers(wait=5.0)
        message = controller.other_writer_message(others)
    assert len(others) == 1                  # the peer's, not this link's own
    assert message.startswith("another controller already writes rt/lowcmd (1 other writer on domain")


@needs_dds
@pytest.mark.parametrize("options, message", [
    ({"interface": "nosuch0"}, r"interface 'nosuch0' does not exist \(domain 0, configuration built for --domain 0 "
                               r"--interface nosuch0\).*check --interface"),
    ({"domain": 300}, "domain 300 is out of range"),
])
def test_unusable_networks_are_named(options, message):
    from trackscope_tools.wire.dds import Link, NetworkError
    with pytest.raises(NetworkError, match=message):
        Link("controller", **options)


@needs_dds
def test_no_state_gives_none_after_the_timeout():
    from trackscope_tools.wire.dds import Link
    with Link("controller", domain=TEST_DOMAIN + 60) as controller:
        start = time.monotonic()
        assert controller.first_state(timeout=0.2) is None
        assert time.monotonic() - start >= 0.2
        assert "no state on rt/lowstate within 0.2 s (domain" in controller.no_state_message(0.2)


@needs_dds
def test_shipped_configuration_is_the_loopback_one():
    import xml.etree.ElementTree as ET
    from trackscope_tools.wire import dds
    domain, interface, xml, name = dds.network()
    assert (domain, interface, name) == (1, "lo", dds.LOOPBACK_CONFIG)
    assert dds.network(1, "lo") == dds.network()

    def settings(text):
        return sorted((e.tag.split("}")[-1], (e.text or "").strip(), sorted(e.attrib.items()))
                      for e in ET.fromstring(text).iter())
    assert settings(xml) == settings(dds.config_xml(1, "lo"))


@settings(max_examples=60, deadline=None)
@given(st.sampled_from([(codec.decode_lowcmd, 1004), (codec.decode_lowstate, 2092), (codec.decode_odometry, 108)])
       .flatmap(lambda d: st.tuples(st.just(d), st.binary(min_size=d[1] - 12, max_size=d[1] + 8))),
       st.sampled_from([b"\x00\x01\x00\x00", b"\x00\x07\x00\x03"]))
def test_any_bytes_decode_or_are_refused(decoder_body, header):
    """Whatever a peer sends: a value (crc_ok says whether to trust it) or
    WireError, never another exception."""
    (decode, size), body = decoder_body
    data = header + body
    try:
        decode(data)
    except codec.WireError:
        assert len(data) < size or decode is codec.decode_odometry
