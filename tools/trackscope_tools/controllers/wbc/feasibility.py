"""Dynamic feasibility of a clip: whether the whole-body controller follows
it on the robot's own feet, judged by the figures the replay reports."""

import os
import tempfile

import numpy as np

from ... import plausibility
from ...robot import load_model

#: figure -> (limit, True when the figure must stay below it)
LIMITS = {"anchor_pos_rms_m": (0.02, True), "joint_rms_rad": (0.05, True),
          "stance_foot_slip_max_m": (0.005, True)}
SUPPORT_RANGE = (0.9, 1.1)

FIGURE = plausibility.DYNAMIC_FEASIBLE


def register():
    """Add `dynamic_feasible` to the figures the check judges (only when it
    runs, so that checks without --dynamic keep their set of figures)."""
    plausibility.FIGURES.setdefault("dynamic_feasible", FIGURE)


def judge(summary):
    """(feasible, reasons) from a clip's replay summary."""
    reasons = []
    if summary["fell"]:
        reasons.append(f"fell at {summary['fall_time_s']:.2f} s ({summary['fall_reason']})")
    for key, (limit, _) in LIMITS.items():
        if summary[key] >= limit:
            where = f", {summary['stance_foot_slip_foot']}" if key == "stance_foot_slip_max_m" else ""
            reasons.append(f"{key} {summary[key]:.4g} >= {limit:g}{where}")
    lo, hi = SUPPORT_RANGE
    if not lo <= summary["support_force_ratio"] <= hi:
        reasons.append(f"support_force_ratio {summary['support_force_ratio']:.3f} outside {lo:g}-{hi:g}")
    if summary.get("qp_failed_steps"):
        reasons.append(f"QP found no solution in {summary['qp_failed_steps']} step(s)")
    feasible = not reasons
    saturated = summary["torque_saturated_fraction"]
    if saturated:       # reported, not judged: the loop clips to the limits
        worst = max(saturated, key=saturated.get)
        reasons.append(f"torque saturated on {len(saturated)} joint(s), most {worst} "
                       f"({100 * saturated[worst]:.1f}% of steps)")
    return feasible, reasons


def replay_clip(arrays, name, model=None, controller=None, model_path=None):
    """The replay summary of the clip `arrays` (a clip file's members) under
    the whole-body controller, on the robot of `model_path` (default: the
    controller's)."""
    import trackscope  # noqa: F401  (registers motion_env_wbt and math_transfrom)
    from motion_env_wbt import Wbt_env
    from ...report import clip_summary
    from ...simulation import Clip, run_clip
    from .controller import WBCController
    controller = controller or WBCController()
    if model_path is not None:
        controller.model_path = model_path
    model = model or load_model(controller.model_path)
    with tempfile.TemporaryDirectory() as root:
        folder = os.path.join(root, "assets", "motion_npz")
        os.makedirs(folder)
        np.savez(os.path.join(folder, f"{name}.npz"), **{k: np.asarray(arrays[k]) for k in arrays})
        env = Wbt_env(root, file=name)
        try:
            record = run_clip(Clip(env, model), model, controller)
        finally:
            env.motion.close()
    return clip_summary(record)


def dynamic_feasible(clip_path, model=None, model_path=None):
    """Run the whole-body controller on the clip file and say whether it
    follows it: {"dynamic_feasible": bool, "reasons": [...], and the figures
    (fall, anchor and joint RMS, stance-foot slip and which foot, support
    ratio, torque saturation, QP failures)}."""
    from ...clipfile import read_clip
    name = os.path.splitext(os.path.basename(str(clip_path)))[0]
    return verdict(read_clip(clip_path), name, model, model_path)


def verdict(arrays, name, model=None, model_path=None):
    summary = replay_clip(arrays, name, model, model_path=model_path)
    feasible, reasons = judge(summary)
    keep = ("fell", "fall_time_s", "fall_reason", "anchor_pos_rms_m", "joint_rms_rad", "stance_foot_slip_max_m",
            "stance_foot_slip_foot", "support_force_ratio", "torque_saturated_fraction", "qp_failed_steps",
            "realtime_factor")
    return {"dynamic_feasible": feasible, "reasons": reasons, **{k: summary[k] for k in keep}}


def dynamic_check(model, clip, qpos, model_path=None):
    """`trackscope-clip check --dynamic`'s extra check (plausibility.check_clip's
    `extra`): `dynamic_feasible` as a judged figure, the figures and reasons
    under `dynamic`, and the fall frame as its worst frame. Judged once
    `register()` has put its figure among the check's."""
    result = verdict(clip, "clip", model if model_path is not None else None, model_path)
    fps = float(np.asarray(clip["fps"]).ravel()[0])
    worst = [int(round(result["fall_time_s"] * fps))] if result["fell"] else []
    return ({"dynamic_feasible": result.pop("dynamic_feasible"), "dynamic": result},
            {"dynamic_feasible": worst})
