"""trackscope-clip: motion clips for the trackscope humanoid.

A clip is the .npz archive that `motion_env_wbt.Wbt_env` loads from
<root>/assets/motion_npz/<name>.npz: 50 Hz frames of the robot's joint state
and of the world poses and velocities of its 30 tracked bodies, all recorded
with MuJoCo on the robot's model (`trackscope-clip model` prints its path), whose
name and kinematic fingerprint the clip records.

  convert   motions of your own (CSV, .npy, pickle; files, folders, globs) into clips
  builtin   write the built-in motions
  inspect   print what a clip holds and check its format; exit status 1 on a bad clip
  check     physical plausibility of clips (floor, self-collision, limits, balance,
            dynamics); exit status 1 if a clip fails
  model     print the path of the MJCF model the tools use, or with FILE.xml
            what the tools find in that model and change to drive it

Every command that loads a model takes --model FILE.xml (the robot's own
MJCF; assets resolve relative to it); $TRACKSCOPE_MODEL sets the default,
else the package's model. A model is checked before any work: a free joint
on "pelvis", the 29 hinges of Wbt_env.orig_names_joint, the 30 bodies of
Wbt_env.target_names and a collision geom on each ankle roll link; what is
missing is named at once, with the nearest names the model has.

Motion input (convert): the layout is detected and named in one line.
  named-column CSV      a header naming base_x, base_y, base_z, base_qw,
                        base_qx, base_qy, base_qz and one column per model
                        joint (radians), in any order; needs --fps
  headerless CSV        36 numbers a row: base position (3), base quaternion
                        (4, x, y, z, w), the 29 joint angles in the order of
                        Wbt_env.orig_names_joint; 30 fps unless --fps
  .npy                  a (frames, 36) array as the headerless CSV, quaternion
                        w, x, y, z; needs --fps
  retargeting pickle    a dict with fps, root_pos (N, 3), root_rot (N, 4,
                        x, y, z, w), dof_pos (N, 29); other keys ignored. Read
                        without running code: only arrays and plain data load
"""

import argparse
import os
import sys

from . import add_debug_option, command, reporter, stage

PROG = "trackscope-clip"


def build_parser():
    from ..catalog import BUILTIN
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)

    add_convert_parser(sub)

    p = sub.add_parser("builtin", help="write the built-in motions",
                       description="Write the built-in clips: " + ", ".join(BUILTIN) + ".")
    p.add_argument("names", nargs="*", metavar="NAME",
                   help=f"motions to write (default: all of {', '.join(BUILTIN)})")
    p.add_argument("--root", default="out", help="project directory (default: out)")
    p.add_argument("--model", metavar="FILE.xml", help=MODEL_HELP)

    p = sub.add_parser("inspect", help="describe and check clips",
                       description="Print frames, duration, members, shapes and dtypes, and check: "
                                   "finite values, unit quaternions, joint limits, velocities against "
                                   "finite differences of the positions, and (as a note) body poses "
                                   "against the model's kinematics. Exit status 1 if a clip is bad. "
                                   "Physical plausibility is `check`'s.")
    p.add_argument("clips", nargs="+", help=".npz clip files")
    p.add_argument("--model", metavar="FILE.xml", help=MODEL_HELP)

    add_check_parser(sub)

    p = sub.add_parser("model", help="print the model's path, or check and describe a model file",
                       description="Without FILE: print the path of the MJCF model the tools use (the "
                                   "package's, or $TRACKSCOPE_MODEL). With FILE.xml: check it and print, one "
                                   "line each, what was found and what is changed in memory to drive it "
                                   "(joints, bodies, soles, actuators replaced, effort limits and their source, "
                                   "floor and floor contacts added, self-collision pairs excluded, the IMU); "
                                   "exit status 1 if it cannot drive the robot. The file is never written.")
    p.add_argument("file", nargs="?", metavar="FILE.xml", help="the model to check")
    add_debug_option(parser)
    for p in sub.choices.values():
        add_debug_option(p)
    return parser


MODEL_HELP = ("the robot's MJCF model, assets relative to it (default: $TRACKSCOPE_MODEL, else the "
              "package's; see `model`)")


error = reporter(PROG)


def path_problem(args):
    """Why the command's output places cannot be written, or None."""
    from ..outputs import file_problem, folder_problem
    if args.command in ("builtin", "convert"):
        return folder_problem(args.root, "--root")
    if args.command == "check":
        plot = plot_path(args)
        return ((args.json and file_problem(args.json, "--json"))
                or (plot and file_problem(plot, "--plot" if args.plot else "the plot")) or None)
    return None


def plot_path(args):
    """check's plot: --plot, else FOLDER/plausibility.png for the first folder given."""
    return args.plot or next((os.path.join(c, "plausibility.png") for c in args.clips if os.path.isdir(c)), None)


@command(PROG)
def main(argv=None):
    args = build_parser().parse_args(argv)
    problem = path_problem(args)
    if problem:
        return error(problem)
    if args.command == "convert":
        return run_convert(args)
    if args.command == "check" and args.jobs != 1 and (len(args.clips) > 1 or any(map(os.path.isdir, args.clips))):
        from ..catalog import CHECK_MODULES, DYNAMIC_MODULES
        from ..dataset import start_workers
        start_workers(CHECK_MODULES + (DYNAMIC_MODULES if args.dynamic else ()))   # loading while this process does
    if args.command == "model" and not args.file:
        from ..catalog import model_path
        print(model_path())
        return 0
    from .. import robot, usermodel
    from ..builtin import BUILTIN, builtin_motion
    from ..clipfile import clip_path, inspect_clip, write_clip
    from ..recording import record_clip
    try:
        tables = robot.tables()
        if args.command == "model":
            print("\n".join(usermodel.load(args.file).report))
            return 0
        model = usermodel.load(args.model).model
        if args.command == "builtin":
            for name in args.names or BUILTIN:
                with stage(f"recording {name}"):
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


CONVERT_DESCRIPTION = """\
Read motions, resample them to 50 Hz (linear for positions and joints, slerp
for the base orientation) and record clips with MuJoCo kinematics on the
model, at ROOT/assets/motion_npz/<source file name without extension>.npz.

One file: prints how it was read and inspect's checks of the clip; exit
status 1 if the clip fails them. Several files, folders (searched recursively
for .csv, .npy, .pkl, .pickle) or globs: converted over --jobs worker
processes with a progress bar, then a table (file, layout, frames, seconds,
verdict); a file that cannot be converted is named with its reason and the
others go on; exit status 1 if any file failed. Clips are written to a
temporary file and renamed into place, so an interrupted run leaves no
partial clip: rerun with --skip-existing to resume.
"""


def add_convert_parser(sub):
    from ..catalog import LAYOUTS
    p = sub.add_parser("convert", help="convert motions (files, folders, globs) into clips",
                       description=CONVERT_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("sources", nargs="+", metavar="SOURCE",
                   help="motion files (.csv with or without a header, .npy, .pkl/.pickle), "
                        "folders searched recursively for them, or globs")
    p.add_argument("--fps", type=float,
                   help="frame rate of the source motion; required for named-column CSV and .npy, "
                        "overrides the 30 fps of a headerless CSV and the fps of a pickle")
    p.add_argument("--layout", choices=tuple(LAYOUTS),
                   help="read every source as this layout instead of detecting it (by extension, "
                        "and for a CSV by whether its first row is all numbers)")
    p.add_argument("--quat-layout", choices=("wxyz", "xyzw"),
                   help="base quaternion order of a headerless CSV, .npy or pickle (default: xyzw "
                        "for headerless CSV and pickles, wxyz for .npy; a named-column CSV names it)")
    p.add_argument("--ground", action="store_true",
                   help="shift the whole motion vertically (one constant) so that its lowest "
                        "collision geom point over the clip touches the floor")
    p.add_argument("--name", help="clip name, for a single source (default: the source's file name "
                                  "without extension)")
    p.add_argument("--root", default="out",
                   help="project directory; clips go to ROOT/assets/motion_npz/NAME.npz (default: out)")
    p.add_argument("--jobs", type=int, metavar="N",
                   help="worker processes for several sources (default: the cores this process may "
                        "use, here %d)" % len(os.sched_getaffinity(0)))
    p.add_argument("--shard", metavar="K/N",
                   help="convert only every N-th source of the sorted list, starting at the K-th "
                        "(K from 0 to N-1), to split a dataset over machines")
    p.add_argument("--skip-existing", action="store_true",
                   help="leave sources whose clip already exists (a clip is only ever complete), "
                        "to resume an interrupted run")
    p.add_argument("--model", metavar="FILE.xml", help=MODEL_HELP)
    return p


def run_convert(args):
    from .. import dataset
    try:
        shard = dataset.parse_shard(args.shard) if args.shard else None
    except ValueError as e:
        return error(str(e), 2)
    if args.jobs is not None and args.jobs < 1:
        return error(f"--jobs must be at least 1, got {args.jobs}", 2)
    options = dataset.Options(args.fps, args.quat_layout, args.layout, args.ground, args.model)
    single = len(args.sources) == 1 and os.path.isfile(args.sources[0]) and not shard
    if not single:
        if args.name:
            return error("--name names the clip of a single source", 2)
        dataset.start_workers(dataset.CONVERT_MODULES)     # loads them while this process checks the model
        from ..robot import ClipError
        from ..usermodel import load
        try:
            load(args.model)        # refused here, before any worker starts
        except ClipError as e:
            return error(str(e))
        return convert_many(args, options, shard)

    from .. import robot
    from ..clipfile import clip_path
    source = args.sources[0]
    path = clip_path(args.root, args.name or dataset.clip_name(source))
    if args.skip_existing and os.path.isfile(path):
        print(f"skipped {source}: {path} exists")
        return 0
    from ..usermodel import load
    try:
        tables = robot.tables()
        model = load(args.model).model
        with stage(f"converting {source}"):
            done = dataset.convert_one(source, path, model, tables, options)
    except (robot.ClipError, OSError, ValueError) as e:
        return error(str(e))
    print(done.line)
    if args.ground:
        print(f"grounded: the motion moved {done.offset:+.4f} m vertically")
    print(f"wrote {path}: {done.frames} frames at {robot.CLIP_FPS} Hz")
    print("\n".join(done.lines[1:] + [f"  FAIL  {p}" for p in done.problems]))
    if done.problems:
        return error(f"{path} was written but fails its checks")
    return 0


def convert_many(args, options, shard):
    from .. import dataset
    try:
        with stage("converting motion files", hint="rerun with --skip-existing to resume"):
            results, removed = dataset.convert_dataset(args.sources, args.root, options, args.jobs,
                                                       shard, args.skip_existing)
    except dataset.DatasetError as e:
        return error(str(e))
    print("\n".join(dataset.format_table(results)))
    failed = sum(r.failed for r in results)
    skipped = sum(r.verdict.startswith("skipped") for r in results)
    note = f", {removed} stale temporary file(s) removed" if removed else ""
    print(f"{len(results)} file(s): {len(results) - failed - skipped} converted, "
          f"{skipped} skipped, {failed} failed{note}")
    return 1 if failed else 0


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
plausibility"); a clip's verdict is its worst. Several clips are checked over
--jobs worker processes with a progress bar. Prints one table for all clips,
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
    p.add_argument("--dynamic", action="store_true",
                   help="also run the whole-body controller on each clip (free base, own feet) and add "
                        "dynamic_feasible: no fall, anchor RMS < 2 cm, joint RMS < 0.05 rad, stance-foot "
                        "slip < 5 mm, support 0.9-1.1 of the weight; a clip it cannot follow fails, with "
                        "the reason (fall time, slipping foot, saturated joints). Takes about a third of "
                        "the clip's duration per clip")
    p.add_argument("--jobs", type=int, metavar="N",
                   help="worker processes for several clips (default: the cores this process may "
                        "use, here %d)" % len(os.sched_getaffinity(0)))
    p.add_argument("--model", metavar="FILE.xml", help=MODEL_HELP)
    return p


def run_check(args, model, tables):
    from tqdm import tqdm
    from .. import plausibility
    if args.jobs is not None and args.jobs < 1:
        return error(f"--jobs must be at least 1, got {args.jobs}", 2)
    paths = plausibility.clip_files(args.clips)
    if not paths:
        return error("no .npz clips in " + ", ".join(args.clips))
    from ..clipfile import clip_model_warning
    for path in paths:
        warning = clip_model_warning(path, model, tables)
        if warning:
            print(f"{PROG}: warning: {warning}", file=sys.stderr)
    from ..catalog import model_path
    jobs = min(args.jobs or len(os.sched_getaffinity(0)), len(paths))
    options = (model_path(args.model), args.dynamic)
    extra = plausibility.extra_checks(*options, here=jobs == 1)
    with stage("checking clips"), tqdm(total=len(paths), desc="check", unit="clip", disable=None) as bar:
        results = plausibility.check_files(paths, model, tables, extra, jobs, options,
                                           on_result=lambda record: bar.update(1))
    scale = plausibility.size_scale(model)
    if scale != 1.0:
        print(f"thresholds in metres scaled x{scale:g} (speeds x{scale ** 0.5:.2f}) to the robot's size: its "
              f"centre of mass stands {plausibility.standing_arm(model):.3f} m high, the package's robot's "
              f"{plausibility.REFERENCE_ARM_M:.3f} m")
    print("\n".join(plausibility.format_table(results)))
    for r in results:
        for reason in r["reasons"] + r["checks"].get("dynamic", {}).get("reasons", []):
            print(f"  {r['name']}: {reason}")
        if "dynamic_feasible" in r["checks"]:
            print(f"  {r['name']}: dynamic_feasible {r['checks']['dynamic_feasible']}")
    counts = {v: sum(r["verdict"] == v for r in results) for v in plausibility.VERDICTS}
    print(f"{len(results)} clip(s): " + ", ".join(f"{n} {v}" for v, n in counts.items()))
    plot = plot_path(args)
    if args.json:
        with stage(f"writing {args.json}"):
            print(f"wrote {plausibility.write_json(args.json, results)}")
    if plot:
        with stage(f"writing {plot}"):
            print(f"wrote {plausibility.write_plot(plot, results)}")
    return 1 if counts["fail"] else 0
