"""Reports of a replay: the summary (summary.json and its printed table),
the tracking-error plot and the per-tick log."""

import os
import sys

import numpy as np

import mujoco

from .outputs import atomic_output
from .simulation import QUERIES

JOINT_GROUPS = ("legs", "waist", "arms")


def joint_group(name):
    if "waist" in name:
        return "waist"
    if any(part in name for part in ("shoulder", "elbow", "wrist")):
        return "arms"
    return "legs"


def rms(a):
    return float(np.sqrt(np.mean(np.square(a)))) if np.size(a) else 0.0


def percentiles_us(ns):
    us = np.asarray(ns, dtype=np.float64) / 1000.0
    return {"median": float(np.median(us)) if us.size else 0.0,
            "p99": float(np.percentile(us, 99)) if us.size else 0.0, "ticks": int(us.size)}


def clip_summary(r):
    err = r["joint_err"]
    per_joint = {n: {"rms_rad": rms(err[:, k]), "max_rad": float(np.abs(err[:, k]).max(initial=0))}
                 for k, n in enumerate(r["joint_names"])}
    worst = max(per_joint, key=lambda n: per_joint[n]["rms_rad"])
    saturated = {n: float(s) for n, s in zip(r["joint_names"], r["saturated"]) if s}
    fell = r["fall_time_s"] is not None
    out = {
        "name": r["name"], "frames": r["frames"], "ticks": r["ticks"], "seconds": round(r["seconds"], 6),
        "success": not fell, "fell": fell, "fall_time_s": r["fall_time_s"], "fall_reason": r["fall_reason"],
        "joint_rms_rad": rms(err), "joint_max_rad": float(np.abs(err).max(initial=0)),
        "joint_vel_rms_rad_s": rms(r["joint_vel_err"]),
        "worst_joint": {"name": worst, **per_joint[worst]},
        "anchor_pos_rms_m": rms(r["anchor_pos_err"]),
        "anchor_pos_max_m": float(r["anchor_pos_err"].max(initial=0)),
        "anchor_heading_max_rad": float(r["anchor_heading_err"].max(initial=0)),
        "anchor_ori_max_rad": float(r["anchor_ori_err"].max(initial=0)),
        "body_pos_max_m": float(r["body_pos_err"].max(initial=0)),
        "body_pos_mean_mm": 1000.0 * float(np.mean(r["body_pos_mean_err"])) if r["ticks"] else 0.0,
        "body_pos_rel_mean_mm": 1000.0 * float(np.mean(r["body_pos_rel_err"])) if r["ticks"] else 0.0,
        "support_force_ratio": float(np.mean(r["support_force"][:-1])) if r["ticks"] > 1 else 0.0,
        "torque_saturated_fraction": saturated,
        "torque_saturation_max": max(saturated.values(), default=0.0),
        "realtime_factor": (r["physics_steps"] * r.get("sim_dt", 0.005) / r["wall_s"]) if r["wall_s"] else None,
        "per_joint": per_joint,
    }
    out.update(r.get("controller_summary") or {})
    return out


def summarize(records, controller, model_path, out_files, mode=None):
    clips = [clip_summary(r) for r in records]
    all_err = np.concatenate([r["joint_err"] for r in records])
    all_anchor = np.concatenate([r["anchor_pos_err"] for r in records])
    wall = sum(r["wall_s"] for r in records)
    simulated = sum(r["physics_steps"] * r.get("sim_dt", 0.005) for r in records)
    summary = {
        "mode": mode or controller.name, "controller": controller.name, "base": controller.base,
        "model": os.path.basename(model_path), "mujoco": mujoco.__version__,
        "clips": clips,
        "frames": int(sum(r["frames"] for r in records)),
        "seconds": round(float(sum(r["seconds"] for r in records)), 6),
        "success": all(c["success"] for c in clips),
        "joint_rms_rad": rms(all_err), "joint_max_rad": float(np.abs(all_err).max(initial=0)),
        "anchor_pos_rms_m": rms(all_anchor), "anchor_pos_max_m": float(all_anchor.max(initial=0)),
        "query_latency_us": {**percentiles_us(np.concatenate([r["latency_ns"] for r in records])),
                             "queries": QUERIES},
        "controller_latency_us": percentiles_us(np.concatenate([r["controller_ns"][:-1] for r in records])),
        "realtime_factor": simulated / wall if wall else None,
        "outputs": out_files,
    }
    summary.update(controller.run_summary(records))
    return summary


def print_summary(summary, stream=None):
    p = lambda *a: print(*a, file=stream or sys.stdout)  # noqa: E731
    p(f"trackscope replay, {summary['mode']} mode, {summary['base']} base "
      f"(MuJoCo {summary['mujoco']}, {summary['model']})")
    p(f"{'clip':<14}{'frames':>7}{'seconds':>9}{'joint RMS':>12}{'joint max':>12}"
      f"{'anchor RMS':>12}{'anchor max':>12}  worst joint (RMS)")
    for c in summary["clips"]:
        w = c["worst_joint"]
        p(f"{c['name']:<14}{c['frames']:>7}{c['seconds']:>9.2f}{c['joint_rms_rad']:>8.4f} rad"
          f"{c['joint_max_rad']:>8.4f} rad{c['anchor_pos_rms_m'] * 1000:>9.1f} mm"
          f"{c['anchor_pos_max_m'] * 1000:>9.1f} mm  {w['name']} ({w['rms_rad']:.4f} rad)")
        if c["fell"]:
            p(f"{'':<14}FELL at {c['fall_time_s']:.2f} s ({c['fall_reason']})")
        if summary["base"] == "free":
            p(f"{'':<14}bodies {c['body_pos_mean_mm']:.1f} mm (root-relative {c['body_pos_rel_mean_mm']:.1f} mm), "
              f"joint vel RMS {c['joint_vel_rms_rad_s']:.3f} rad/s, torque saturation "
              f"{100 * c['torque_saturation_max']:.1f}% of steps (worst joint)")
    p(f"{'all':<14}{summary['frames']:>7}{summary['seconds']:>9.2f}{summary['joint_rms_rad']:>8.4f} rad"
      f"{summary['joint_max_rad']:>8.4f} rad{summary['anchor_pos_rms_m'] * 1000:>9.1f} mm"
      f"{summary['anchor_pos_max_m'] * 1000:>9.1f} mm")
    if summary["base"] == "kinematic":
        worst = max(c["body_pos_max_m"] for c in summary["clips"])
        p(f"posed model against the clip's body positions: max {worst:.1e} m")
    lat = summary["query_latency_us"]
    p(f"Wbt_env queries per control tick: median {lat['median']:.1f} us, p99 {lat['p99']:.1f} us "
      f"over {lat['ticks']} ticks")
    if "policy_latency_us" in summary:
        lat = summary["policy_latency_us"]
        p(f"policy (observation and inference) per tick: median {lat['median']:.1f} us, "
          f"p99 {lat['p99']:.1f} us over {lat['ticks']} ticks")
    for line in summary.get("notes", []):
        p(line)
    for kind, path in summary["outputs"].items():
        p(f"{kind}: {path}")


def pyplot():
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def save_figure(fig, path, dpi=100):
    """The figure as a PNG written whole, then closed."""
    try:
        with atomic_output(path) as tmp:
            fig.savefig(tmp, dpi=dpi, format="png")
    finally:
        fig.clf()
        pyplot().close(fig)
    return path


def write_latency_plot(path, stats):
    """Histograms of a deployment's state age, tick compute and command write times."""
    fig, axes = pyplot().subplots(1, 3, figsize=(12, 3.2))
    for ax, key in zip(axes, ("state_age_ms", "tick_compute_ms", "command_write_ms")):
        values = stats[key]
        if values:
            ax.hist(values, bins=50)
        ax.set_xlabel(key.replace("_", " "))
        ax.set_yscale("log")
    fig.tight_layout()
    return save_figure(fig, path, dpi=90)


def write_plot(path, records, mode):
    plt = pyplot()
    fig, axes = plt.subplots(len(records), 1, figsize=(9, 2.6 * len(records)), squeeze=False)
    for ax, r in zip(axes[:, 0], records):
        t = r["time"]
        groups = np.array([joint_group(n) for n in r["joint_names"]])
        for g in JOINT_GROUPS:
            err = r["joint_err"][:, groups == g]
            ax.plot(t, np.sqrt(np.mean(err ** 2, axis=1)), label=f"{g} RMS")
        ax.set_ylabel("joint error (rad)")
        title = f"{r['name']} ({mode})"
        if r["fall_time_s"] is not None:
            title += f", fell at {r['fall_time_s']:.2f} s"
            ax.axvline(r["fall_time_s"], color="r", lw=0.8)
        ax.set_title(title, fontsize=10)
        ax.set_xlim(0, r["seconds"])
        ax.grid(alpha=0.3)
        twin = ax.twinx()
        twin.plot(t, r["anchor_pos_err"] * 1000, "k--", lw=0.8, label="anchor position")
        twin.set_ylabel("anchor error (mm)")
        lines = ax.get_legend_handles_labels()
        more = twin.get_legend_handles_labels()
        ax.legend(lines[0] + more[0], lines[1] + more[1], loc="upper right", fontsize=8)
    axes[-1, 0].set_xlabel("time (s)")
    fig.tight_layout()
    return save_figure(fig, path)


LOGGED = ("time", "qpos", "qvel", "torque", "ref_command", "ref_anchor_pos", "ref_anchor_quat", "latency_ns",
          "controller_ns", "state_q", "state_dq", "state_tau_est", "state_imu_quat", "state_imu_gyro",
          "state_imu_accel", "command_enable", "command_q", "command_dq", "command_kp", "command_kd", "command_tau")


def write_log(path, records):
    """The per-tick log: `<clip>/<field>` arrays (time, robot state,
    reference, torques and what the controller logged)."""
    arrays = {}
    for r in records:
        for key in LOGGED:
            arrays[f"{r['name']}/{key}"] = np.asarray(r[key])
        for key, value in r["controller_log"].items():
            arrays[f"{r['name']}/{key}"] = value
    with atomic_output(path) as tmp:
        np.savez_compressed(tmp, **arrays)
    return path


def write_summary(path, summary):
    import json
    with atomic_output(path) as tmp:
        with open(tmp, "w") as f:
            json.dump(summary, f, indent=2, default=lambda o: o.tolist() if hasattr(o, "tolist") else str(o))
    return path
