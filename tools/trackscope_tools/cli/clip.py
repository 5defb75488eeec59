"""trackscope-clip: motion clips for the trackscope humanoid.

A clip is the .npz archive that `motion_env_wbt.Wbt_env` loads from
<root>/assets/motion_npz/<name>.npz: 50 Hz frames of the robot's joint state
and of the world poses and velocities of its 30 tracked bodies, all recorded
with MuJoCo on the package's model (`trackscope-clip model` prints its path).

  convert   a motion of your own (CSV or .npy, any frame rate) into a clip
  builtin   write the built-in motions
  inspect   print what a clip holds and check its format; exit status 1 on a bad clip
  check     physical plausibility of clips (floor, self-collision, limits, balance,
            dynamics); exit status 1 if a clip fails
  model     print the path of the MJCF model the tools use

Motion input, one row per frame at the rate given with --fps:
  CSV   a header row naming the columns, in any order: base_x, base_y,
        base_z (metres, world frame), base_qw, base_qx, base_qy, base_qz
        (pelvis orientation) and one column per joint, named as the model's
        joints (left_hip_pitch_joint, ...), in radians. Other columns are
        ignored.
  .npy  a (frames, 36) array: base position (3), base quaternion (4, layout
        chosen with --quat-layout, [w, x, y, z] by default), then the 29 joint
        angles in the model's joint order (that of Wbt_env.orig_names_joint).
"""

import argparse
import os
import sys

PROG = "trackscope-clip"


def build_parser():
    from ..builtin import BUILTIN
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("convert", help="convert a CSV/.npy motion into a clip",
                       description="Resample a motion to 50 Hz (linear for positions and joints, "
                                   "slerp for the base orientation) and record the clip with MuJoCo "
                                   "kinematics on the model.")
    p.add_argument("source", help="motion file, .csv (with a header) or .npy")
    p.add_argument("--fps", type=float, required=True, help="frame rate of the source motion")
    p.add_argument("--name", help="clip name (default: the source's file name without extension)")
    p.add_argument("--root", default="out",
                   help="project directory; the clip goes to ROOT/assets/motion_npz/NAME.npz "
                        "(default: out)")
    p.add_argument("--quat-layout", choices=("wxyz", "xyzw"), default="wxyz",
                   help="base quaternion layout of a .npy source (default: wxyz)")
    p.add_argument("--model", help="MJCF model (default: the package's, see `model`)")

    p = sub.add_parser("builtin", help="write the built-in motions",
                       description="Write the built-in clips: " + ", ".join(BUILTIN) + ".")
    p.add_argument("names", nargs="*", metavar="NAME",
                   help=f"motions to write (default: all of {', '.join(BUILTIN)})")
    p.add_argument("--root", default="out", help="project directory (default: out)")
    p.add_argument("--model", help="MJCF model (default: the package's, see `model`)")

    p = sub.add_parser("inspect", help="describe and check clips",
                       description="Print frames, duration, members, shapes and dtypes, and check: "
                                   "finite values, unit quaternions, joint limits, velocities against "
                                   "finite differences of the positions, and (as a note) body poses "
                                   "against the model's kinematics. Exit status 1 if a clip is bad. "
                                   "Physical plausibility is `check`'s.")
    p.add_argument("clips", nargs="+", help=".npz clip files")
    p.add_argument("--model", help="MJCF model (default: the package's, see `model`)")

    add_check_parser(sub)

    sub.add_parser("model", help="print the path of the MJCF model the tools use",
                   description="Print the path of the robot's MJCF model shipped with the tools.")
    return parser


def error(message, code=1):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return code


def main(argv=None):
    args = build_parser().parse_args(argv)
    from .. import robot
    if args.command == "model":
        print(robot.MODEL_PATH)
        return 0
    from ..builtin import BUILTIN, builtin_motion
    from ..clipfile import clip_path, inspect_clip, write_clip
    from ..readers import read_motion
    from ..motion import resample
    from ..recording import record_clip
    try:
        tables = robot.tables()
        model = robot.load_model(args.model or robot.MODEL_PATH)
        robot.check_model(model, tables)
        if args.command == "convert":
            name = args.name or os.path.splitext(os.path.basename(args.source))[0]
            motion = resample(read_motion(args.source, args.fps, args.quat_layout, tables.orig_names_joint))
            path = write_clip(clip_path(args.root, name), record_clip(model, motion, tables))
            print(f"wrote {path}: {motion.frames} frames at {robot.CLIP_FPS} Hz")
            lines, problems = inspect_clip(path, model, tables)
            print("\n".join(lines[1:] + [f"  FAIL  {p}" for p in problems]))
            if problems:
                return error(f"{path} was written but fails its checks")
        elif args.command == "builtin":
            for name in args.names or BUILTIN:
                motion = builtin_motion(name, model, tables)
                path = write_clip(clip_path(args.root, name), record_clip(model, motion, tables))
                print(f"wrote {path}: {motion.frames} frames at {robot.CLIP_FPS} Hz")
        elif args.command == "check":
            return run_check(args, model, tables)
        elif args.command == "inspect":
            bad = 0
            for path in args.clips:
                lines, problems = inspect_clip(path, model, tables)
                print("\n".join(lines))
                for p in problems:
                    print(f"  FAIL  {p}")
                bad += bool(problems)
            if bad:
                print(f"{bad} bad clip(s)", file=sys.stderr)
                return 1
    except (robot.ClipError, OSError, ValueError) as e:
        return error(str(e))
    return 0


CHECK_DESCRIPTION = """\
Pose the model in every frame of each clip and measure, with MuJoCo:

  penetration_m           deepest point of any robot geom below the floor
  floating_fraction       share of frames with no geom within 2 cm of the floor
  foot_skate_mps          mean horizontal speed of geoms within 1 cm of the floor
  self_collision_m        deepest penetration between links the model lets collide
  joint_limit_margin_rad  smallest margin to the joint limits (negative: beyond)
  joint_vel_max_rad_s     largest joint speed
  com_support_margin_m    centre of mass against the support polygon (negative: outside)
  root_residual_ratio     base wrench no floor contact can supply, over the weight

Each figure has a warn and a fail threshold (see the README's "Physical
plausibility"); a clip's verdict is its worst. Prints one table for all clips,
the reasons of each clip that does not pass, and exits with status 1 if any
clip fails (an unreadable clip fails).
"""


def add_check_parser(sub):
    p = sub.add_parser("check", help="physical plausibility of clips",
                       description=CHECK_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("clips", nargs="+", metavar="CLIP",
                   help=".npz clip files, or folders searched recursively for them")
    p.add_argument("--json", metavar="FILE",
                   help="also write the figures, verdicts and worst frames of every clip as JSON")
    p.add_argument("--plot", metavar="FILE",
                   help="write a PNG of every clip's figures against the thresholds (default: "
                        "FOLDER/plausibility.png when a folder is given, none otherwise)")
    p.add_argument("--model", help="MJCF model (default: the package's, see `model`)")
    return p


def check_extras(args):
    """Further checks the options ask for: callables as
    plausibility.check_clip's `extra` takes."""
    return []


def run_check(args, model, tables):
    from tqdm import tqdm
    from .. import plausibility
    paths = plausibility.clip_files(args.clips)
    if not paths:
        return error("no .npz clips in " + ", ".join(args.clips))
    extra = check_extras(args)
    results = [plausibility.check_file(path, model, tables, extra)
               for path in tqdm(paths, desc="check", unit="clip", disable=None)]
    print("\n".join(plausibility.format_table(results)))
    for r in results:
        for reason in r["reasons"]:
            print(f"  {r['name']}: {reason}")
    counts = {v: sum(r["verdict"] == v for r in results) for v in plausibility.VERDICTS}
    print(f"{len(results)} clip(s): " + ", ".join(f"{n} {v}" for v, n in counts.items()))
    plot = args.plot or next((os.path.join(c, "plausibility.png") for c in args.clips if os.path.isdir(c)), None)
    if args.json:
        print(f"wrote {plausibility.write_json(args.json, results)}")
    if plot:
        print(f"wrote {plausibility.write_plot(plot, results)}")
    return 1 if counts["fail"] else 0
