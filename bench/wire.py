#!/usr/bin/env python3
"""The wire's costs: encoding a LowCmd_ (CRC computed) and decoding a
LowState_ (CRC checked) with trackscope's codec, side by side with
cyclonedds' own serializer on the same messages (which computes no CRC and
builds no RobotState), and the end-to-end latency on loopback: a state
published by this process (the robot's side, 500 Hz) to the command that
a peer process (the controller's side, a `Link` echoing the state's tick)
sends back, received here. Median and p99 of each. Nothing here asserts
anything about speed.

    python bench/wire.py [--messages 5000] [--seconds 5]
"""

import argparse
import os
import subprocess
import sys
import time

import numpy as np

from trackscope_tools.boundary import JOINTS, Imu, MotorCommand, Remote, RobotState
from trackscope_tools.wire import codec, types


def per_call_us(fn, args, repeats=1):
    """Each call timed on its own (perf_counter_ns), after a warm-up."""
    for a in args[:50]:
        fn(a)
    times = []
    for _ in range(repeats):
        for a in args:
            start = time.perf_counter_ns()
            fn(a)
            times.append(time.perf_counter_ns() - start)
    return np.asarray(times) / 1000.0


def line(label, us):
    return f"  {label:<52} median {np.median(us):8.1f} us   p99 {np.percentile(us, 99):8.1f} us"


def random_messages(n, seed=0):
    rng = np.random.default_rng(seed)
    cmds = [MotorCommand(rng.random(JOINTS) < 0.9, *rng.normal(size=(5, JOINTS)), mode_machine=5, echo_tick=i)
            for i in range(n)]
    states = [RobotState(i, *rng.normal(size=(3, JOINTS)), Imu(*(rng.normal(size=k) for k in (4, 3, 3, 3))),
                         Remote(int(rng.integers(0, 1 << 16)), *rng.normal(size=5)), mode_machine=5) for i in range(n)]
    return cmds, states


def codec_figures(n):
    cmds, states = random_messages(n)
    cmd_bytes = [codec.encode_lowcmd(c) for c in cmds]
    state_bytes = [codec.encode_lowstate(s) for s in states]
    # cyclonedds' serializer on the same messages, given its objects ready made.
    cmd_objects = [types.LowCmd_.deserialize(b) for b in cmd_bytes[:n // 10]]
    print(f"codec, {n} random messages (cyclonedds' serializer on {n // 10}), per message:")
    print(line("encode LowCmd_ (ours, CRC included)", per_call_us(codec.encode_lowcmd, cmds)))
    print(line("encode LowCmd_ (cyclonedds LowCmd_.serialize, no CRC)",
               per_call_us(lambda o: o.serialize(), cmd_objects)))
    print(line("decode LowState_ (ours, CRC checked, RobotState)", per_call_us(codec.decode_lowstate, state_bytes)))
    print(line("decode LowState_ (cyclonedds LowState_.deserialize, no CRC)",
               per_call_us(types.LowState_.deserialize, state_bytes[:n // 10])))
    print(line("encode LowState_ (ours, the simulated robot's)", per_call_us(codec.encode_lowstate, states)))
    print(line("decode LowCmd_ (ours, the simulated robot's)", per_call_us(codec.decode_lowcmd, cmd_bytes)))


def echo(domain, seconds):
    """The peer: a controller link answering every state with a command
    that carries its tick."""
    from trackscope_tools.wire.dds import Link
    cmd = MotorCommand.damping(np.ones(JOINTS))
    with Link("controller", domain=domain) as link:
        print("ready", flush=True)
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            state = link.latest_state(timeout=0.1)
            if state is not None:
                cmd.echo_tick = state.tick
                link.send_command(cmd)
    return 0


def latency_figures(seconds, period=0.002):
    from trackscope_tools.wire.dds import Link
    domain = 220 + os.getpid() % 10          # a domain of its own: other runs here use 1
    peer = subprocess.Popen([sys.executable, __file__, "--echo", str(domain), "--seconds", str(seconds + 10)],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert peer.stdout.readline().strip() == "ready"
        _, states = random_messages(1)
        state = states[0]
        sent, latency, write_us = {}, [], []
        with Link("robot", domain=domain) as robot:
            # until the peer has discovered us
            while robot.latest_command(timeout=0.05) is None:
                state.tick += 1
                robot.send_state(state)
            start = next_at = time.monotonic()
            while time.monotonic() - start < seconds:
                state.tick += 1
                state.stamp = time.monotonic()
                t0 = time.perf_counter_ns()
                robot.send_state(state)
                write_us.append((time.perf_counter_ns() - t0) / 1000.0)
                sent[state.tick] = t0
                next_at += period
                while (left := next_at - time.monotonic()) > 0:
                    cmd = robot.latest_command(timeout=left)
                    if cmd is not None and cmd.echo_tick in sent:
                        latency.append((time.perf_counter_ns() - sent.pop(cmd.echo_tick)) / 1000.0)
        n = state.tick
    finally:
        peer.kill()
        peer.wait(5)
    lost = len(sent)
    print(f"loopback, {seconds:g} s at {1 / period:.0f} Hz (this process the robot, a peer process echoing):")
    print(line("write LowState_ (encode + cyclonedds write)", np.asarray(write_us)))
    print(line(f"state published -> command received ({len(latency)} of {len(latency) + lost})",
               np.asarray(latency)))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--messages", type=int, default=5000, help="random messages per codec figure (default 5000)")
    p.add_argument("--seconds", type=float, default=5.0, help="length of the loopback run (default 5 s)")
    p.add_argument("--echo", type=int, metavar="DOMAIN", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.echo is not None:
        return echo(args.echo, args.seconds)
    codec_figures(args.messages)
    latency_figures(args.seconds)
    return 0


if __name__ == "__main__":
    sys.exit(main())
