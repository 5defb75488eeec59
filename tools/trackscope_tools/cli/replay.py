"""trackscope-replay: replay motion clips through Wbt_env at the control rate.

For every clip: construct Wbt_env on it, reset(), and per 20 ms control tick
call update_time_steps and read the command and the anchor pose, as a
controller does. One simulation loop runs the robot in MuJoCo at sim_dt with
sim_decimation physics steps per tick, driven by a controller:

  wbc        (default) the whole-body controller on the free base, no
             weld, no gantry: every control tick one QP over joint
             accelerations, contact forces at the stance feet's corners and
             joint torques (MuJoCo's equations of motion, friction cones,
             still stance feet, effort limits) toward the clip's pelvis and
             torso pose, centre of mass, swing feet and joint posture, the
             joints following its plan by the tables' PD at the physics steps
             between; stance feet from the clip's own contact schedule.
  pd         (--mode tracking) joint torques
             kp * (q_ref - q) + kd * (qd_ref - qd), clipped to the effort
             limits, with the gains and limits of the environment's tables;
             the pelvis is welded to a mount (a mocap body added to the
             model) that follows the reference base.
  kinematic  (--mode kinematic) pose the model from the reference.
  policy     (--policy FILE.onnx) an ONNX tracking policy on the free base:
             each tick its observation is assembled from Wbt_env and the
             simulator's state, its action becomes joint targets
             default + action_scale * action, tracked by PD at every physics
             step; settings from the policy's metadata, else the tables
             (trackscope-policy inspect FILE.onnx shows them).

Every clip is checked as trackscope-clip inspect checks it before its first
tick; a malformed clip is refused with inspect's message.

Reference bodies are drawn red and simulated bodies green (TrackscopeDrawer,
humanoid ids 0 and 1), with an arrow for each anchor heading. Writes into
--out: replay.mp4 (or replay.gif without ffmpeg), contact_sheet.png,
tracking_error.png, summary.json and log.npz, and prints the summary. Exit status 1
when a clip was not followed (a fall, non-finite actions), after all of that.
"""

import argparse
import os
import sys

from . import add_debug_option, command, reporter, safe_points, stage

PROG = "trackscope-replay"


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default="out",
                        help="project directory holding assets/motion_npz/<clip>.npz (default: out)")
    parser.add_argument("--clips", nargs="+", metavar="NAME",
                        help="clips to replay, in order (default: every clip under --root, stand first)")
    parser.add_argument("--controller", choices=("wbc", "pd", "kinematic"),
                        help="what drives the robot (default: wbc; see above)")
    parser.add_argument("--mode", choices=("tracking", "kinematic"),
                        help="older spelling: tracking is --controller pd, kinematic is --controller kinematic")
    parser.add_argument("--policy", metavar="FILE.onnx",
                        help="drive the robot with this ONNX tracking policy (free base, 1 cm above the floor "
                             "at the start; see --gantry)")
    parser.add_argument("--clip-actions", type=float, metavar="LIMIT",
                        help="with --policy: clip every action to [-LIMIT, LIMIT] before it becomes a target "
                             "(default: no clipping)")
    parser.add_argument("--gantry", default="off", metavar="always|off|SECONDS",
                        help="free-base controllers: hold the pelvis with a stiff elastic band to the "
                             "reference base trajectory always, never (default), or for the first SECONDS; "
                             "falls are tested only while no band holds the robot")
    parser.add_argument("--model", metavar="FILE.xml",
                        help="the robot's MJCF model, assets relative to it, checked and made drivable as "
                             "trackscope-clip model FILE.xml shows (default: $TRACKSCOPE_MODEL, else the "
                             "package's); the simulated robot and the controller's own model both use it")
    parser.add_argument("--out", default="out",
                        help="folder for the video, images, summary and log (default: out)")
    parser.add_argument("--width", type=int, default=640, help="video width in pixels (default: 640)")
    parser.add_argument("--height", type=int, default=360, help="video height in pixels (default: 360)")
    parser.add_argument("--render-every", type=int, default=2, metavar="N",
                        help="render every N-th control tick; the video plays at 50/N fps (default: 2)")
    parser.add_argument("--sheet", type=int, default=8, metavar="N",
                        help="frames on the contact sheet (default: 8)")
    parser.add_argument("--no-render", action="store_true",
                        help="no video or contact sheet (no OpenGL needed); plot, summary and log only")
    parser.add_argument("--live", action="store_true",
                        help="also show the simulation in MuJoCo's passive viewer as it runs (needs a "
                             "display); keys: space pauses, backspace runs the clip again, G releases "
                             "the gantry")
    add_debug_option(parser)
    return parser


error = reporter(PROG)


@command(PROG)
def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.render_every < 1 or args.sheet < 1 or args.width < 16 or args.height < 16:
        return error("--render-every and --sheet must be at least 1, the size at least 16", 2)
    if args.live and not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        return error("--live needs a display", 2)
    if args.mode and args.controller and {"tracking": "pd"}.get(args.mode, args.mode) != args.controller:
        return error(f"--mode {args.mode} and --controller {args.controller} disagree", 2)
    if args.policy and (args.mode or args.controller):
        return error("--policy drives the robot itself; leave out --mode and --controller", 2)
    if args.clip_actions is not None and not args.policy:
        return error("--clip-actions needs --policy", 2)
    from ..outputs import folder_problem, root_problem
    problem = root_problem(args.root) or folder_problem(args.out)
    if problem:
        return error(problem)
    name = args.controller or {"tracking": "pd", "kinematic": "kinematic"}.get(args.mode, "wbc")
    render = not args.no_render

    # MuJoCo fixes its OpenGL backend when it is imported (trackscope imports it).
    from .. import gl
    gl.choose(live=args.live, render=render)
    if render and gl.disabled():
        return error(gl.GL_MISSING)

    from ..controllers import CONTROLLERS
    from ..simulation import parse_gantry
    try:
        gantry = parse_gantry(args.gantry)
    except ValueError as e:
        return error(str(e), 2)
    if args.policy:
        from ..controllers.policy import PolicyError
        try:
            controller = CONTROLLERS["policy"](args.policy, clip_actions=args.clip_actions)
        except PolicyError as e:
            return error(str(e))
    else:
        controller = CONTROLLERS[name]()
    from ..catalog import model_path
    controller.model_path = model_path(args.model)
    return replay(args, controller, gantry, render)


def clip_names(root):
    folder = os.path.join(root, "assets", "motion_npz")
    try:
        names = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".npz"))
    except FileNotFoundError:
        return []
    return sorted(names, key=lambda n: n != "stand")


def model_and_clips(args, controller, prog):
    """The controller's model and the clips of --root and --clips, checked
    before any work (ClipError says what is wrong); warnings for clips
    recorded on another model go to stderr."""
    from ..robot import ClipError, load_model
    from ..simulation import open_clips
    names = args.clips or clip_names(args.root)
    if not names:
        raise ClipError(f"no clips under {os.path.join(args.root, 'assets', 'motion_npz')}; "
                        "write some with: trackscope-clip builtin --root " + args.root)
    model = load_model(controller.model_path)
    clips, warnings = open_clips(args.root, names, model)
    for warning in warnings:
        print(f"{prog}: warning: {warning}", file=sys.stderr)
    return model, clips


def replay(args, controller, gantry, render):
    from tqdm import tqdm

    from .. import render as rendering
    from ..report import print_summary, summarize, write_log, write_plot, write_summary
    from ..robot import ClipError
    from ..simulation import run_clip

    try:
        model, clips = model_and_clips(args, controller, PROG)
    except ClipError as e:
        return error(str(e))
    for line in controller.describe():
        print(line)

    total = sum(c.frames for c in clips)
    records = []
    live = None
    try:
        if args.live:
            try:
                live = rendering.LiveView(model, controller.base)
            except Exception as e:  # the viewer's window system fails in its own ways
                return error(f"cannot open the live view: {type(e).__name__}: {e}")
            print(f"live view: {rendering.LIVE_KEYS}")
        with tqdm(total=total, unit="tick", desc=controller.name, leave=False, disable=None) as bar:
            for clip in clips:
                bar.set_postfix_str(clip.name)
                with stage(f"simulating {clip.name}"):
                    record = run_clip(clip, model, controller, gantry, progress=bar,
                                      watch=live.watch if live else None)
                    while record.get("reset"):
                        bar.n -= clip.frames
                        bar.refresh()
                        record = run_clip(clip, model, controller, gantry, progress=bar, watch=live.watch)
                records.append(record)
    finally:
        if live is not None:
            live.close()

    outputs = {}
    if render:
        try:
            frames = rendering.Frames(model, args.width, args.height, args.render_every)
        except RuntimeError as e:
            return error(str(e))
        count = sum(len(range(0, r["ticks"], args.render_every)) for r in records)
        sink = None
        try:
            with safe_points():     # no signal between the video's creation and its handle
                sink = rendering.VideoSink(os.path.join(args.out, "replay.mp4"), 50.0 / args.render_every,
                                           controller.name, count, args.sheet) if count else None
            with tqdm(total=sum(r["ticks"] for r in records), unit="tick", desc="drawing", leave=False,
                      disable=None) as bar:
                for clip, record in zip(clips, records):
                    bar.set_postfix_str(clip.name)
                    steps = range(0, record["ticks"], args.render_every)
                    bar.update(record["ticks"] - len(steps))
                    if sink is not None:
                        sink.clip = clip
                    with stage(f"drawing {clip.name}"):
                        rendering.draw(clip, model, record, controller.base, steps, frames, sink, None, bar)
            if sink is not None:
                with stage("writing the video"):
                    sink.close()
        except BaseException:
            if sink is not None:
                sink.discard()
            raise
        finally:
            frames.close()
        if sink is not None:
            outputs["video"] = sink.path
            with stage("writing the contact sheet"):
                outputs["contact_sheet"] = rendering.write_contact_sheet(
                    os.path.join(args.out, "contact_sheet.png"), sink.sheet)
    with stage("writing the tracking-error plot"):
        outputs["plot"] = write_plot(os.path.join(args.out, "tracking_error.png"), records, controller.name)
    with stage("writing the log"):
        outputs["log"] = write_log(os.path.join(args.out, "log.npz"), records)
    outputs["summary"] = os.path.join(args.out, "summary.json")
    summary = summarize(records, controller, controller.model_path, outputs,
                        mode={"pd": "tracking"}.get(controller.name, controller.name))
    with stage("writing the summary"):
        write_summary(outputs["summary"], summary)
    print_summary(summary)
    failed = [c["name"] for c in summary["clips"] if not c["success"]]
    if failed:
        # Everything is written; the status tells a script that a clip was not followed.
        return error(f"{len(failed)} of {len(summary['clips'])} clip(s) not followed: {', '.join(failed)}")
    return 0
