"""trackscope-sim: the simulated robot as a peer on the robot's wire.

MuJoCo runs the robot at --sim-dt (default 0.002 s: the robot's 500 Hz),
paced to the wall clock. After every physics step it publishes rt/lowstate
(encoders, the pelvis IMU from MuJoCo's sensors, the tick, the remote) and
our odometry topic with the simulator's truth (float64); at every step it
applies the latest rt/lowcmd as the motor drivers do:
tau + kp (q_cmd - q) + kd (dq_cmd - dq), clipped to the effort limits, zero
for a disabled motor.

The robot starts in the default pose standing on the floor, or, with
--clips, in the first frame of the first clip (as trackscope-replay
starts). The gantry's band (--gantry) holds the pelvis where it started:
auto (default) until the commands have held stiffness on every leg joint
for 1 s, as a robot is lowered from its gantry once it stands; always; off;
or for SECONDS. The remote's buttons come from a script (--remote
"1.0:start,3.0:A": button at a time in seconds, held 0.1 s) or from keys
typed in this terminal (s start, a A, b B, x select).

--lockstep advances physics only once the command answering the latest
state has arrived (trackscope-deploy --lockstep echoes the state's tick):
deterministic, for tests.

Runs until SIGINT or SIGTERM, then writes into --out: log.npz (the robot's
state at every 20 ms), sim.mp4 rendered from that log (not in the loop;
--no-render leaves it out) and sim.json (steps, state rate, gantry), and
exits 0.
"""

import argparse
import gc
import os
import signal
import sys
import time

import numpy as np

from . import add_debug_option, command, reporter
from .keys import TerminalKeys

PROG = "trackscope-sim"
error = reporter(PROG)
KEYS = {"s": "start", "a": "A", "b": "B", "x": "select"}
PRESS_S = 0.1


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="Ctrl-C (SIGINT) or SIGTERM is how it stops: it writes its outputs "
                                            "(each under a temporary name, renamed when complete) and exits 0. "
                                            "Errors are one line; --debug shows the traceback.")
    parser.add_argument("--model", metavar="FILE.xml",
                        help="the robot's MJCF model, assets relative to it, checked and made drivable as "
                             "trackscope-clip model FILE.xml shows (default: $TRACKSCOPE_MODEL, else the "
                             "package's)")
    parser.add_argument("--sim-dt", type=float, default=0.002, help="physics step and state period, s "
                                                                    "(default: 0.002)")
    parser.add_argument("--gantry", default="auto", metavar="auto|always|off|SECONDS",
                        help="the band on the pelvis (default: auto; see above)")
    parser.add_argument("--root", default="out", help="with --clips: the clips' project directory (default: out)")
    parser.add_argument("--clips", nargs="+", metavar="NAME",
                        help="start the robot in the first frame of the first of these clips")
    parser.add_argument("--clearance", type=float, default=0.0, metavar="M",
                        help="with --clips: the robot's lowest point this far above the floor at the start "
                             "(default: 0, standing on it; trackscope-replay starts a policy at 0.01)")
    parser.add_argument("--remote", default="", metavar="T:BUTTON,...",
                        help="scripted remote presses, e.g. 1.0:start,3.0:A")
    parser.add_argument("--lockstep", action="store_true",
                        help="step only once the command answering the latest state has arrived")
    parser.add_argument("--domain", type=int, help="DDS domain (default: the loopback configuration's, 1)")
    parser.add_argument("--interface", help="network interface (default: lo)")
    parser.add_argument("--noise", type=float, default=0.0, help="sensor noise scale (default: 0, off)")
    parser.add_argument("--gyro-bias", type=float, default=0.0, help="gyro bias on every axis, rad/s (default: 0)")
    parser.add_argument("--latency", type=int, default=0, metavar="STEPS",
                        help="command latency in physics steps (default: 0)")
    parser.add_argument("--seconds", type=float, help="stop by itself after this many simulated seconds")
    parser.add_argument("--out", default="out/sim", help="folder for log, video and summary (default: out/sim)")
    parser.add_argument("--no-render", action="store_true", help="no video")
    add_debug_option(parser)
    return parser


def parse_remote(text):
    from ..boundary import BUTTONS
    presses = []
    for item in filter(None, (p.strip() for p in text.split(","))):
        at, _, name = item.partition(":")
        try:
            at = float(at)
        except ValueError:
            raise ValueError(f"--remote: {item!r} is not TIME:BUTTON") from None
        if name not in BUTTONS:
            raise ValueError(f"--remote: unknown button {name!r}; known: {', '.join(BUTTONS)}")
        presses.append((at, name))
    return sorted(presses)


@command(PROG)
def main(argv=None):
    args = build_parser().parse_args(argv)
    if not (np.isfinite(args.sim_dt) and 0.0002 <= args.sim_dt <= 0.02):
        return error("--sim-dt must be between 0.0002 and 0.02 s", 2)
    # MuJoCo fixes its OpenGL backend when it is first imported
    from .. import gl
    gl.choose(live=False, render=not args.no_render)
    try:
        presses = parse_remote(args.remote)
        from ..simrobot import RobotOptions
        options = RobotOptions(noise=args.noise, gyro_bias=args.gyro_bias, latency_steps=args.latency)
    except ValueError as e:
        return error(str(e), 2)

    from ..boundary import Remote
    from ..catalog import model_path
    from ..robot import ClipError, default_qpos, load_model
    from ..simrobot import Gantry, SimRobot
    from ..simulation import open_clips, start_pose

    try:
        robot = SimRobot(model_path(args.model), options, clock=time.monotonic)
    except ClipError as e:
        return error(str(e))
    from ..wire import dds
    robot.model.opt.timestep = args.sim_dt
    if args.clips:
        try:
            (clip,), warnings = open_clips(args.root, args.clips[:1], load_model(args.model))
        except ClipError as e:
            return error(str(e))
        for warning in warnings:
            print(f"{PROG}: warning: {warning}", file=sys.stderr)
        start_pose(clip, robot, args.clearance)
    else:
        robot.reset(default_qpos(robot.model))
    try:
        gantry = Gantry(args.gantry, robot, log=print)
    except ValueError as e:
        return error(str(e), 2)
    try:
        link = dds.Link("robot", domain=args.domain, interface=args.interface)
    except dds.NetworkError as e:
        return error(str(e), 2)
    print(f"{PROG}: the robot on {link.where}, state every {args.sim_dt * 1000:g} ms"
          + (" in lockstep" if args.lockstep else ""), flush=True)

    # SIGINT and SIGTERM are how the simulated robot is stopped: the loop
    # ends, the outputs are written and the status is 0
    stop = []
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *a: stop.append(True))
    keys = TerminalKeys(KEYS)
    gc.collect()
    gc.freeze()         # start-up's objects out of the collector's sweeps, which would stall the loop
    log_every = max(1, round(0.02 / args.sim_dt))
    log = {"time": [], "qpos": [], "banded": []}
    held = {}
    wall_start = time.monotonic()
    next_wall = wall_start
    try:
        while not stop:
            t = robot.time
            state = robot.state()
            down = {name for at, name in presses if at <= t < at + PRESS_S}
            key = keys.poll()
            if key:
                held[key] = t
            down |= {name for name, at in held.items() if t < at + PRESS_S}
            state.remote = Remote.of(sorted(down))
            link.send_state(state)
            if args.lockstep:
                while not stop:
                    command = link.latest_command(timeout=0.05)
                    if command is not None and command.echo_tick == state.tick:
                        robot.send(command)
                        break
                    if command is None:     # best effort may have lost it: the same state again
                        link.send_state(state)
            else:
                command = link.latest_command()
                if command is not None:
                    robot.send(command)
            banded = gantry(robot)
            if robot.steps % log_every == 0:
                log["time"].append(t)
                log["qpos"].append(robot.data.qpos.copy())
                log["banded"].append(banded)
            robot.step()
            if args.seconds is not None and robot.time >= args.seconds:
                break
            if not args.lockstep:
                next_wall += args.sim_dt
                delay = next_wall - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
    finally:
        keys.close()
        link.close()
    wall = time.monotonic() - wall_start
    return write_outputs(args, robot, log, wall, gantry)


def write_outputs(args, robot, log, wall, gantry):
    from ..outputs import atomic_output
    from ..report import write_summary
    os.makedirs(args.out, exist_ok=True)
    steps = robot.steps
    summary = {"steps": steps, "sim_dt": args.sim_dt, "simulated_s": robot.time, "wall_s": wall,
               "state_rate_hz": steps / wall if wall else 0.0, "target_rate_hz": 1.0 / args.sim_dt,
               "lockstep": args.lockstep,
               "gantry": {"setting": args.gantry, "released_at_s": gantry.released_at}}
    with atomic_output(os.path.join(args.out, "log.npz")) as tmp:
        np.savez(tmp, **{k: np.asarray(v) for k, v in log.items()})
    if not args.no_render and log["qpos"]:
        summary["video"] = render_log(os.path.join(args.out, "sim.mp4"), robot.model, log)
    write_summary(os.path.join(args.out, "sim.json"), summary)
    rate = summary["state_rate_hz"]
    print(f"{PROG}: {steps} steps in {wall:.1f} s: {rate:.1f} states/s "
          f"({100 * rate * args.sim_dt:.1f}% of {1 / args.sim_dt:.0f} Hz); outputs in {args.out}")
    return 0


def render_log(path, model, log, width=480, height=270):
    import imageio.v2 as imageio
    import mujoco

    from ..outputs import atomic_output
    from ..render import Frames, MarkerScene
    frames = Frames(model, width, height)
    data = mujoco.MjData(model)
    try:
        with atomic_output(path) as tmp, imageio.get_writer(tmp, fps=25, macro_block_size=1) as writer:
            for k in range(0, len(log["qpos"]), 2):
                data.qpos[:] = log["qpos"][k]
                mujoco.mj_kinematics(model, data)
                frames.look_at([data.qpos[0], data.qpos[1], 0.78])
                writer.append_data(frames.render(data, MarkerScene()))
    finally:
        frames.close()
    return path
