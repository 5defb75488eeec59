"""The transport: states, commands and odometry over Cyclone DDS.

A `Link` is one side of the robot's wire. The controller side writes
`rt/lowcmd` and reads `rt/lowstate` (and our odometry topic); the robot
side, the simulated robot, does the opposite. Both use best effort, keep
last 1, as the robot does. Messages go through the codec of this package
as raw bytes, past `cyclonedds`' generic serializer (ten to thirty times
slower).

Networks: by default the loopback configuration shipped with the package
(`LOOPBACK_CONFIG`: domain 1, interface `lo`, no multicast, peer
127.0.0.1), the simulation's; `domain` and `interface` select another,
the robot's being domain 0 on the interface that reaches it.

    link = Link("controller")
    state = link.first_state()                 # None: nothing within 5 s
    if state is None:
        sys.exit(link.no_state_message())
    others = link.other_command_writers(wait=0.5)
    if others:                                 # another controller runs
        ... link.other_writer_message(others), exit status 2
    link.send_command(command)
    state = link.latest_state(timeout=0.01)
"""

import socket
import time
from importlib import resources

from cyclonedds._clayer import ddspy_take, ddspy_write, ddspy_write_ts
from cyclonedds.builtin import BuiltinDataReader, BuiltinTopicDcpsPublication
from cyclonedds.core import DDSException, InstanceState, Policy, Qos, ReadCondition, SampleState, ViewState, WaitSet
from cyclonedds.domain import Domain, DomainParticipant
from cyclonedds.pub import DataWriter
from cyclonedds.sub import DataReader
from cyclonedds.topic import Topic

from . import codec
from .types import LOWCMD_TOPIC, LOWSTATE_TOPIC, ODOM_TRUTH_TOPIC, LowCmd_, LowState_, Odometry_

SIM_DOMAIN = 1
ROBOT_DOMAIN = 0
LOOPBACK_CONFIG = str(resources.files(__package__) / "loopback.xml")
ROLES = ("controller", "robot")
#: How long a controller waits for the first state at start-up.
FIRST_STATE_S = 5.0

_ANY = SampleState.Any | ViewState.Any | InstanceState.Any
_QOS = Qos(Policy.Reliability.BestEffort, Policy.History.KeepLast(1))
# Domains made in this process, by id: (Domain, its configuration text).
# A process can hold one configuration per domain id.
_domains = {}


class NetworkError(RuntimeError):
    """A network that cannot be used; the message is one line naming the
    domain, the interface, the configuration and what to check."""


def config_xml(domain, interface):
    """A Cyclone DDS configuration for `domain` on `interface`. On `lo`:
    no multicast, the unicast peer 127.0.0.1 (the loopback configuration's
    settings); elsewhere multicast discovery, as on the robot's network."""
    if interface == "lo":
        discovery = ("<Discovery><ParticipantIndex>auto</ParticipantIndex>"
                     "<MaxAutoParticipantIndex>19</MaxAutoParticipantIndex>"
                     "<Peers><Peer Address=\"127.0.0.1\"/></Peers></Discovery>")
        multicast = "<AllowMulticast>false</AllowMulticast>"
    else:
        discovery = multicast = ""
    return (f"<CycloneDDS xmlns=\"https://cdds.io/config\"><Domain Id=\"{int(domain)}\"><General>"
            f"<Interfaces><NetworkInterface name=\"{interface}\"/></Interfaces>{multicast}</General>"
            f"{discovery}</Domain></CycloneDDS>")


def network(domain=None, interface=None):
    """(domain, interface, configuration text, configuration name) for the
    options: the shipped loopback configuration for the simulation's
    domain on `lo` (the default); otherwise
    one built for them, the domain defaulting to the simulation's on `lo`
    and the robot's on any other interface."""
    if domain in (None, SIM_DOMAIN) and interface in (None, "lo"):
        with open(LOOPBACK_CONFIG) as f:
            return SIM_DOMAIN, "lo", f.read(), LOOPBACK_CONFIG
    interface = interface or "lo"
    if domain is None:
        domain = SIM_DOMAIN if interface == "lo" else ROBOT_DOMAIN
    if not 0 <= int(domain) <= 232:
        raise NetworkError(f"domain {domain} is out of range: DDS domains are 0 to 232")
    return int(domain), interface, config_xml(domain, interface), f"built for --domain {domain} --interface {interface}"


def check_interface(domain, interface, config_name):
    """Raise NetworkError unless the network interface exists."""
    names = [name for _, name in socket.if_nameindex()]
    if interface not in names:
        raise NetworkError(f"network interface {interface!r} does not exist (domain {domain}, configuration "
                           f"{config_name}); this machine has {', '.join(names)}: check --interface and `ip link`")


class Link:
    """One side of the wire: `role` "controller" (writes commands, reads
    states and odometry) or "robot" (writes states and odometry, reads
    commands). See `network` for `domain` and `interface`.

    Received states and commands with a wrong CRC, or that are not
    messages at all, are counted (`crc_errors`, and `crc_errors_in_row`
    since the last good one) and dropped."""

    def __init__(self, role, domain=None, interface=None):
        if role not in ROLES:
            raise ValueError(f"role must be one of {', '.join(ROLES)}, not {role!r}")
        self.role = role
        self.domain, self.interface, xml, self.config_name = network(domain, interface)
        check_interface(self.domain, self.interface, self.config_name)
        self.crc_errors = 0
        self.crc_errors_in_row = 0
        self._odometry = None
        try:
            known = _domains.get(self.domain)
            if known is None:
                _domains[self.domain] = (Domain(self.domain, xml), xml)
            elif known[1] != xml:
                raise NetworkError(f"domain {self.domain} already runs in this process with another configuration "
                                   f"than {self.config_name}")
            self._participant = dp = DomainParticipant(self.domain)
            topics = {name: Topic(dp, name, cls, qos=_QOS) for name, cls in
                      ((LOWCMD_TOPIC, LowCmd_), (LOWSTATE_TOPIC, LowState_), (ODOM_TRUTH_TOPIC, Odometry_))}
            self._publications = BuiltinDataReader(dp, BuiltinTopicDcpsPublication)
            writes, reads = ((LOWCMD_TOPIC,), (LOWSTATE_TOPIC, ODOM_TRUTH_TOPIC)) if role == "controller" else \
                ((LOWSTATE_TOPIC, ODOM_TRUTH_TOPIC), (LOWCMD_TOPIC,))
            self._writers = {name: DataWriter(dp, topics[name], qos=_QOS) for name in writes}
            self._readers = {name: DataReader(dp, topics[name], qos=_QOS) for name in reads}
            self._waitsets = {}
            for name, reader in self._readers.items():
                ws = WaitSet(dp)
                ws.attach(ReadCondition(reader, _ANY))
                self._waitsets[name] = ws
        except DDSException as e:
            raise NetworkError(f"cannot join {self.where}: {e}; check the configuration") from None

    @property
    def where(self):
        """The network, for messages: domain, interface, configuration."""
        return f"domain {self.domain}, interface {self.interface}, configuration {self.config_name}"

    def no_state_message(self, timeout=FIRST_STATE_S):
        return (f"no state on {LOWSTATE_TOPIC} within {timeout:g} s ({self.where}); check that the robot or "
                f"trackscope-sim runs on this domain and that this interface reaches it")

    def other_writer_message(self, writers):
        return (f"another controller already writes {LOWCMD_TOPIC} ({len(writers)} other writer"
                f"{'s' if len(writers) > 1 else ''} on {self.where}); stop it first")

    # --- controller side ---------------------------------------------------

    def first_state(self, timeout=FIRST_STATE_S):
        """The first state, waiting up to `timeout` s; None if none came
        (then say `no_state_message()`)."""
        return self.latest_state(timeout)

    def send_command(self, cmd):
        """Write a MotorCommand (ValueError, nothing written, on a non-finite
        value of an enabled motor)."""
        self._write(LOWCMD_TOPIC, codec.encode_lowcmd(cmd))

    def latest_state(self, timeout=0.0):
        """The newest good RobotState received since the last call, waiting
        up to `timeout` s for one; None if none came. Its `stamp` is the
        writer's source time on this machine's monotonic clock (across
        machines it includes their clock offset); its `odometry` the newest
        odometry received, if any (`latest_odometry` gives its tick)."""
        state = self._receive(LOWSTATE_TOPIC, codec.decode_lowstate, timeout)
        if state is not None:
            odom = self.latest_odometry()
            if odom is not None:
                state.odometry = odom[0]
        return state

    def latest_odometry(self):
        """(Odometry, tick, stamp) of the newest odometry received, or None."""
        for data, info in self._take(ODOM_TRUTH_TOPIC):
            try:
                odom, tick, stamp = codec.decode_odometry(data)
            except codec.WireError:
                continue
            self._odometry = (odom, tick, stamp)
        return self._odometry

    def other_command_writers(self, wait=0.0):
        """The writers of rt/lowcmd in the domain other than this link's
        (their GUIDs), waiting up to `wait` s for discovery to find one.
        Discovery of a peer is complete once a message from it has arrived,
        so after the first state a short wait suffices."""
        own = self._writers[LOWCMD_TOPIC].get_guid() if LOWCMD_TOPIC in self._writers else None
        end = time.monotonic() + wait
        while True:
            found = sorted(str(p.key) for p in self._publications.read(N=256)
                           if p.topic_name == LOWCMD_TOPIC and p.key != own
                           and p.sample_info.instance_state == InstanceState.Alive)
            if found or time.monotonic() >= end:
                return found
            time.sleep(0.02)

    # --- robot side ----------------------------------------------------------

    def send_state(self, state):
        """Write a RobotState; its odometry, if any, first, with the state's
        tick and stamp, so it is there when the state arrives."""
        if state.odometry is not None:
            self.send_odometry(state.odometry, state.tick, state.stamp)
        self._write(LOWSTATE_TOPIC, codec.encode_lowstate(state), state.stamp)

    def send_odometry(self, odom, tick=0, stamp=0.0):
        self._write(ODOM_TRUTH_TOPIC, codec.encode_odometry(odom, tick, stamp), stamp)

    def latest_command(self, timeout=0.0):
        """The newest good MotorCommand received since the last call,
        waiting up to `timeout` s for one; None if none came."""
        return self._receive(LOWCMD_TOPIC, codec.decode_lowcmd, timeout)

    # --- both ----------------------------------------------------------------

    def close(self):
        """Leave the network (the domain stays for other links of this process)."""
        dp = getattr(self, "_participant", None)
        if dp is not None:
            self._waitsets = self._readers = self._writers = {}
            self._publications = self._participant = None
            del dp

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _write(self, topic, data, stamp=0.0):
        writer = self._writers.get(topic)
        if writer is None:
            raise RuntimeError(f"a {self.role} link does not write {topic}")
        if stamp:
            ret = ddspy_write_ts(writer._ref, data, time.time_ns() - int((time.monotonic() - stamp) * 1e9))
        else:
            ret = ddspy_write(writer._ref, data)
        if ret < 0:
            raise NetworkError(f"writing {topic} failed ({DDSException(ret)}) on {self.where}")

    def _take(self, topic):
        ret = ddspy_take(self._readers[topic]._ref, _ANY, 8)
        if isinstance(ret, int):
            raise NetworkError(f"reading {topic} failed ({DDSException(ret)}) on {self.where}")
        return [(data, info) for data, info in ret if info.valid_data]

    def _receive(self, topic, decode, timeout):
        """The newest good message of `topic`, decoded, waiting up to
        `timeout` s; bad ones counted."""
        end = time.monotonic() + timeout
        while True:
            newest = None
            for data, info in self._take(topic):
                try:
                    value, crc_ok = decode(data)
                except codec.WireError:
                    crc_ok = False
                if not crc_ok:
                    self.crc_errors += 1
                    self.crc_errors_in_row += 1
                    continue
                self.crc_errors_in_row = 0
                if topic == LOWSTATE_TOPIC:
                    value.stamp = time.monotonic() - (time.time_ns() - info.source_timestamp) * 1e-9
                newest = value
            left = end - time.monotonic()
            if newest is not None or left <= 0:
                return newest
            self._waitsets[topic].wait(int(left * 1e9))
