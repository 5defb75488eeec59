"""trackscope-deploy: the controller side, as it runs on the robot.

It sees only the robot's low-level states (rt/lowstate: encoders, the pelvis
IMU, the tick, the remote; odometry where a source publishes it) and sends
only motor commands (rt/lowcmd), through a state machine:

  wait for state -> passive (motors disabled) -> damping (kp 0, the tables'
  kd) -> stand (from the measured pose to the clip's first frame over 2 s,
  the tables' gains) -> run (--policy FILE.onnx or --controller wbc|pd,
  through Wbt_env's per-tick calls) -> damping on a fault or on stop.

Transitions: remote buttons (start: the next state; A: run once standing;
select or B: stop), keys in this terminal (p passive, d damping, s stand,
r run, q stop), or --auto (each step as soon as it may).

Control ticks are started by the state: the first state at or past each
20 ms of the state's own clock (every 10th state at 500 Hz). Commands go out
at the state rate: a policy's and the PD's held between ticks, the
whole-body controller's interpolated along its plan.

Faults (each sends the robot to damping and is logged with its time, state
and reason): no state for 10 ms (watchdog), 5 CRC errors in a row,
non-finite values, a joint 0.1 rad beyond its limits, a joint faster than
30 rad/s, roll or pitch beyond 1 rad, a tick over its 20 ms budget. With
--auto, damping holds 1 s after a fault and the command exits with status 3.

Network: by default the loopback configuration shipped with the package
(domain 1, interface lo, no multicast, peer 127.0.0.1), where
trackscope-sim runs. On the robot: --domain 0 --interface <the robot's
network interface>. A second controller already writing rt/lowcmd is
refused (exit status 2).

Writes into --out: summary.json (the replay's per-clip figures, from the
odometry source, plus transport, state age, tick compute and command write
times, missed ticks, CRC errors, transitions and faults), log.npz (per tick)
and latency.png. Exit status: the replay's (1 when a clip was not
followed), 3 after a fault with --auto, 2 for bad usage or a second
controller.
"""

import argparse
import gc
import os

from . import add_debug_option, command, interrupt_pending, note, on_interrupt, reporter, safe_points, stage
from .keys import TerminalKeys

PROG = "trackscope-deploy"
error = reporter(PROG)


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default="out",
                        help="project directory holding assets/motion_npz/<clip>.npz (default: out)")
    parser.add_argument("--clips", nargs="+", metavar="NAME",
                        help="clips to run, in order (default: every clip under --root, stand first)")
    parser.add_argument("--controller", choices=("wbc", "pd"), default=None,
                        help="what runs: wbc, the whole-body controller (default; needs odometry), or pd, "
                             "joint PD on the reference (for a welded or hanging robot)")
    parser.add_argument("--policy", metavar="FILE.onnx", help="run this ONNX tracking policy instead")
    parser.add_argument("--model", metavar="FILE.xml",
                        help="the robot's MJCF model, assets relative to it, checked and made drivable as "
                             "trackscope-clip model FILE.xml shows (default: $TRACKSCOPE_MODEL, else the "
                             "package's)")
    parser.add_argument("--out", default="out/deploy", help="folder for summary, log and plot (default: out/deploy)")
    parser.add_argument("--auto", action="store_true",
                        help="step through the states by itself: passive, damping, stand, run, damping; exit "
                             "after the clips (status 3 after a fault)")
    parser.add_argument("--start-in-run", action="store_true",
                        help="simulation and tests only, NEVER on a robot: skip straight to run (trackscope-sim "
                             "--clips has put the robot in the clip's first frame)")
    parser.add_argument("--transport", choices=("dds", "inprocess"), default="dds",
                        help="dds (default): the robot's messages over Cyclone DDS; inprocess: the simulated "
                             "robot in this process, stepped once per command")
    parser.add_argument("--domain", type=int, help="DDS domain (default: the loopback configuration's, 1; "
                                                   "the robot: 0)")
    parser.add_argument("--interface", help="network interface (default: lo; the robot: its interface)")
    parser.add_argument("--gantry", default="auto", metavar="auto|always|off|SECONDS",
                        help="with --transport inprocess: the simulated robot's gantry, as trackscope-sim's "
                             "(default: auto, let go once the legs have held stiffness for 1 s)")
    parser.add_argument("--lockstep", action="store_true",
                        help="echo each state's tick in the command (reserve[0]) for trackscope-sim --lockstep")
    parser.add_argument("--watchdog-ms", type=float, default=10.0,
                        help="no state for this long is a fault (default: 10)")
    parser.add_argument("--tick-budget-ms", type=float, default=20.0,
                        help="a control tick computing longer is a fault (default: 20, the tick)")
    add_debug_option(parser)
    return parser


class FirstAgain:
    """A link whose first state is one already received."""

    def __init__(self, link, first):
        self.link, self.first = link, first
        self.name = link.name

    def wait_state(self, timeout):
        if self.first is not None:
            state, self.first = self.first, None
            return state
        return self.link.wait_state(timeout)

    def __getattr__(self, name):
        return getattr(self.link, name)


@command(PROG)
def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.policy and args.controller:
        return error("--policy runs the robot itself; leave out --controller", 2)
    from .. import gl
    gl.choose(live=False, render=False)

    from ..controllers import CONTROLLERS
    from ..deploy import Deployment, InProcessLink
    from ..robot import ClipError
    from .replay import model_and_clips

    try:
        controller = (CONTROLLERS["policy"](args.policy) if args.policy
                      else CONTROLLERS[args.controller or "wbc"]())
    except ClipError as e:
        return error(str(e))
    from ..catalog import model_path
    controller.model_path = model_path(args.model)
    try:
        _, clips = model_and_clips(args, controller, PROG)
    except ClipError as e:
        return error(str(e))
    if args.transport == "inprocess":
        from ..simrobot import Gantry, SimRobot
        from ..simulation import start_pose
        robot = SimRobot(controller.model_path)
        if args.start_in_run:
            start_pose(clips[0], robot, controller.start_clearance)
        else:
            from ..robot import default_qpos
            robot.reset(default_qpos(robot.model))
        try:
            gantry = Gantry("off" if args.start_in_run else args.gantry, robot)
        except ValueError as e:
            return error(str(e), 2)
        link = InProcessLink(robot, rig=gantry)
    else:
        from ..deploy import DdsLink
        from ..wire.dds import NetworkError
        try:
            link = DdsLink(domain=args.domain, interface=args.interface)
        except NetworkError as e:
            return error(str(e), 2)
        first = link.wait_state(5.0)
        if first is None:
            link.close()
            return error(link.no_state_message)
        others = link.other_writers()
        if others:
            link.close()
            return error(f"another controller already writes rt/lowcmd on {link.link.where} "
                         f"({len(others)} writer(s)); stop it first", 2)
        # odometry comes on a topic of its own: a moment for its first sample
        for _ in range(20):
            if first.odometry is not None or not controller.odometry_terms:
                break
            first = link.wait_state(0.05) or first
        where = link.link.where
        link = FirstAgain(link, first)
        if controller.odometry_terms and first.odometry is None:
            link.close()
            return error(f"{controller.name} needs odometry ({', '.join(controller.odometry_terms)}) and "
                         f"the robot publishes none on {where}: run with an odometry source, or a "
                         "controller that needs none", 2)
    for line in controller.describe():
        print(line)
    deployment = Deployment(link, clips, controller, auto=args.auto, start_in_run=args.start_in_run,
                            watchdog_s=args.watchdog_ms / 1000.0, tick_budget_s=args.tick_budget_ms / 1000.0,
                            lockstep=args.lockstep)
    keys = TerminalKeys({"p": "passive", "d": "damping", "s": "stand", "r": "run", "q": "stop"})

    def stop():
        # Ctrl-C or SIGTERM is a stop: damping for a second, the outputs, then the interrupt's line
        mode = keys.poll()
        if mode == "stop" or interrupt_pending():
            return True
        if mode:
            deployment.request(mode)
        return False

    def damp():
        from ..boundary import MotorCommand
        link.send(MotorCommand.damping(deployment.kd))
    try:
        # What start-up made (the extension's and the libraries' objects) stays
        # out of the garbage collector's sweeps: a full one costs tens of ms.
        gc.collect()
        gc.freeze()
        with safe_points(), on_interrupt(damp, "the robot was sent to damping"):
            with stage("running the robot"):
                ended = deployment.serve(stop=stop)
            if interrupt_pending():
                note("the robot was sent to damping")
            if ended == "no state":
                return error(getattr(link, "no_state_message", "no robot state within 5 s"))
            return write_outputs(args, controller, deployment, ended)
    finally:
        keys.close()
        close = getattr(link, "close", None)
        if close:
            close()


def write_outputs(args, controller, deployment, ended):
    from ..report import print_summary, summarize, write_latency_plot, write_log, write_summary
    os.makedirs(args.out, exist_ok=True)
    records = deployment.records
    outputs = {"log": write_log(os.path.join(args.out, "log.npz"), records) if records else None,
               "plot": write_latency_plot(os.path.join(args.out, "latency.png"), deployment.stats),
               "summary": os.path.join(args.out, "summary.json")}
    summary = summarize(records, controller, controller.model_path, outputs, mode=controller.name) if records \
        else {"clips": []}
    summary.update(deployment.summary_figures())
    write_summary(outputs["summary"], summary)
    if records:
        print_summary(summary)
    figures = deployment.summary_figures()
    for key in ("state_age_ms", "tick_compute_ms", "command_write_ms"):
        v = figures[key]
        print(f"{key:<17} median {v['median']:.3f}  p99 {v['p99']:.3f}  max {v['max']:.3f}")
    print(f"transport {figures['transport']}, missed ticks {figures['missed_ticks']}, "
          f"CRC errors {figures['crc_errors']}, faults {len(figures['faults'])}")
    print(f"summary: {outputs['summary']}")
    if deployment.faults and args.auto:
        return 3
    failed = [c["name"] for c in summary["clips"] if not c["success"]]
    if failed or len(summary["clips"]) < len(deployment.clips):
        return error(f"{len(summary['clips']) - len(failed)} of {len(deployment.clips)} clip(s) followed")
    return 0
