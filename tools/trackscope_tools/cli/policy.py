"""trackscope-policy: look into an ONNX tracking policy, or write a stand-in.

  inspect FILE.onnx    inputs, outputs, metadata, the settings the policy runs
                       with and where each came from (its metadata or the
                       environment's tables), the observation terms with
                       their offsets and sizes, and the size check; exit
                       status 1 if trackscope-replay --policy would refuse it.
  reference OUT.onnx   a stand-in policy that asks for the reference joint
                       angles, action = (reference - default) / scale, with
                       full metadata: a plumbing check of the whole path
                       (observation, inference, actions, PD), not a
                       controller. Without a gantry the robot falls.
"""

import argparse
import sys

from . import add_debug_option, command, reporter, stage

PROG = "trackscope-policy"


def build_parser():
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True, metavar="{inspect,reference}")
    inspect = sub.add_parser("inspect", help="describe a policy file and check its observation size")
    inspect.add_argument("policy", metavar="FILE.onnx", help="the policy file")
    inspect.add_argument("--model", metavar="FILE.xml",
                         help="the robot's MJCF model the policy is to run on (default: $TRACKSCOPE_MODEL, "
                              "else the package's): its anchor body and joint ranges against the policy's "
                              "anchor and default pose")
    ref = sub.add_parser("reference", help="write the stand-in reference policy")
    ref.add_argument("out", metavar="OUT.onnx", help="where to write it (replaced atomically)")
    ref.add_argument("--joint-order", choices=("clip", "model"), default="clip",
                     help="joint order of its actions and joint terms: the clip's (target_names_joint, "
                          "default) or the model's (orig_names_joint)")
    ref.add_argument("--observations", metavar="TERM,TERM,...",
                     help="observation terms in order (default: command, motion_anchor_pos_b, "
                          "motion_anchor_ori_b, base_lin_vel, base_ang_vel, joint_pos, joint_vel, actions); "
                          "must hold command")
    ref.add_argument("--action-scale", type=float, metavar="SCALE",
                     help="one action scale for every joint (default: the environment's action_scales)")
    for p in (parser, inspect, ref):
        add_debug_option(p)
    return parser


error = reporter(PROG)


def describe(policy):
    """Lines of `inspect`, and the size problem (None if the sizes agree)."""
    lines = [f"{policy.path}"]
    for kind, items in (("input", policy.inputs), ("output", policy.outputs)):
        for io in items:
            lines.append(f"  {kind:<7}{io.name!r} {io.type} {list(io.shape)}")
    lines.append("  metadata:" + ("" if policy.metadata else " none"))
    for key, value in sorted(policy.metadata.items()):
        shown = value if len(value) <= 100 else value[:97] + "..."
        lines.append(f"    {key} = {shown}")
    lines.append("  settings:")
    for key, source in policy.source.items():
        lines.append(f"    {key:<18} from {source}")
    lines.append(f"  {'term':<22}{'offset':>7}{'size':>6}  frame")
    from ..observations import TERMS, odometry_terms
    for name, offset, size in policy.layout:
        needs = ", needs odometry" if TERMS[name].needs_odometry else ""
        lines.append(f"  {name:<22}{offset:>7}{size:>6}  {TERMS[name].frame}{needs}")
    needs = odometry_terms(policy.terms)
    lines.append("  odometry: " + (f"needed by {', '.join(needs)} (base position and velocity; refused on a "
                                   "robot state without it)" if needs else "not needed (the robot's own state "
                                   "suffices)"))
    problem = policy.size_problem()
    lines.append(f"  {'ok' if problem is None else 'BAD':<6}input size {policy.size}, terms {policy.expected}")
    return lines, problem


def model_lines(policy, model):
    """Lines on the policy against the robot's model, and the problem (None
    if the model can run it)."""
    from ..usermodel import fingerprint, model_name
    lines = [f"  model  {model_name(model)} (kinematic fingerprint {fingerprint(model)}), anchor body "
             f"{policy.anchor!r} is its body {model.body(policy.anchor).id}"]
    outside = []
    for name, q in zip(policy.joint_names, policy.values["default_joint_pos"]):
        j = model.joint(name).id
        lo, hi = model.jnt_range[j]
        if model.jnt_limited[j] and not lo <= q <= hi:
            outside.append(f"{name} {q:.3f} outside [{lo:.3f}, {hi:.3f}]")
    if outside:
        return lines, "the policy's default_joint_pos is outside the model's joint ranges: " + "; ".join(outside)
    lines.append("  ok    default_joint_pos within the model's joint ranges")
    return lines, None


@command(PROG)
def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.command == "reference":
        from ..outputs import file_problem
        problem = file_problem(args.out, "OUT.onnx")
        if problem:
            return error(problem)
    from ..controllers.policy import PolicyFile, write_reference_policy
    from ..robot import ClipError, tables

    if args.command == "inspect":
        from ..robot import load_model
        try:
            model = load_model(args.model)
            policy = PolicyFile(args.policy)
        except ClipError as e:          # PolicyError among them
            return error(str(e))
        lines, problem = describe(policy)
        more, mismatch = model_lines(policy, model)
        print("\n".join(lines + more))
        problem = problem or mismatch
        return error(problem) if problem else 0

    if args.action_scale is not None and not (args.action_scale > 0 and args.action_scale < float("inf")):
        return error(f"--action-scale must be a positive number, got {args.action_scale}", 2)
    terms = None
    if args.observations:
        terms = [t.strip() for t in args.observations.split(",") if t.strip()]
    names = list(tables().orig_names_joint) if args.joint_order == "model" else None
    try:
        kwargs = {"terms": terms} if terms else {}
        with stage("writing the reference policy"):
            path = write_reference_policy(args.out, joint_names=names, action_scale=args.action_scale, **kwargs)
    except (ClipError, OSError) as e:
        return error(str(e))
    print(f"wrote {path}: the reference policy (a plumbing check, not a controller)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
