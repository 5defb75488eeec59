#!/usr/bin/env python3
"""Side-by-side timings of every public function, method and property of the
three modules: the plain NumPy/SciPy/PyTorch formulation (tests/reference.py,
what users would otherwise run) against the native extension, in one run,
with SciPy Rotation and numpy-quaternion as peers where they apply.

Every row is timed on one pose (one quaternion, vector or call) and, where
the function takes stacks, on a batch of --n rows.  Each cell is the median
per-call time of --repeats timed runs; the implementations of a row take
turns run by run, so load on the machine falls on all of them alike.  Batch
rows also give the effective memory bandwidth (bytes read and written per
second) as a share of a plain array copy timed in the same run.  Nothing
here asserts anything about speed.

    python bench/bench.py [--quick] [--json out.json] [--markdown table.md] [--n N]
"""

import argparse
import gc
import json
import logging
import os
import platform
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

# One thread for BLAS and OpenMP on both sides, set before NumPy loads them:
# thread hand-offs on a busy machine otherwise swamp the figures.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import numpy as np  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as ref  # noqa: E402

from scipy.spatial.transform import Rotation  # noqa: E402

IMPLS = ("baseline", "trackscope", "scipy", "quaternion")


# ---------------------------------------------------------------------------
# Imports that may be missing
# ---------------------------------------------------------------------------

def load_native():
    try:
        import trackscope
        import math_transfrom
        import motion_env_wbt
    except Exception as exc:  # not built yet, or a module body failed
        return None, None, None, f"{type(exc).__name__}: {exc}"
    return math_transfrom, motion_env_wbt, trackscope, None


def load_quaternion():
    try:
        import quaternion
    except Exception as exc:
        return None, f"{type(exc).__name__}: {exc}"
    return quaternion, None


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------

def autorange(timer, target):
    """Smallest number from 1, 2, 5, 10, 20, 50, ... whose run takes >= target."""
    i = 1
    while True:
        for j in (1, 2, 5):
            number = i * j
            if timer.timeit(number) >= target:
                return number
        i *= 10


def measure(fns, repeats, target):
    """Median per-call seconds of each callable, the callables taking turns."""
    timers = {k: timeit.Timer(f) for k, f in fns.items()}
    numbers = {k: autorange(t, target) for k, t in timers.items()}
    runs = {k: [] for k in fns}
    order = list(fns)
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(repeats):
            for k in order[r % len(order):] + order[:r % len(order)]:
                runs[k].append(timers[k].timeit(numbers[k]) / numbers[k])
    finally:
        if gc_was_enabled:
            gc.enable()
    return {k: {"median_s": statistics.median(v), "number": numbers[k], "runs_s": v}
            for k, v in runs.items()}


def fmt_time(s):
    if s is None:
        return "-"
    if isinstance(s, str):
        return s
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.2f} s"


def max_abs_diff(a, b):
    if isinstance(a, (tuple, list)) and isinstance(b, (tuple, list)):
        if len(a) != len(b):
            return f"{len(a)} vs {len(b)} items"
        diffs = [max_abs_diff(x, y) for x, y in zip(a, b)]
        text = [d for d in diffs if isinstance(d, str)]
        return text[0] if text else max(diffs, default=0.0)
    if a is None or b is None:
        return 0.0 if a is b else "None vs a value"
    try:
        a = np.asarray(a, dtype=float)
        b = np.asarray(b, dtype=float)
        if a.shape != b.shape:
            return f"shape {a.shape} vs {b.shape}"
        return float(np.max(np.abs(a - b))) if a.size else 0.0
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------

def unit_quats(rng, n):
    q = rng.normal(size=(n, 4))
    q /= np.linalg.norm(q, axis=-1, keepdims=True)
    return q


class Rows:
    """Collects rows: an operation, a case, one callable per implementation."""

    def __init__(self, mt):
        self.mt = mt
        self.rows = []

    def add(self, op, case, baseline, native, scipy=None, quat=None, nbytes=None, compare=True):
        self.rows.append({"op": op, "case": case, "bytes": nbytes, "compare": compare,
                          "fns": {"baseline": baseline, "trackscope": native,
                                  "scipy": scipy, "quaternion": quat}})

    def function(self, name, case, args, nbytes=None, scipy=None, quat=None):
        base = getattr(ref, name)
        native = getattr(self.mt, name, None) if self.mt is not None else None
        self.add(name, case, lambda: base(*args), native and (lambda: native(*args)),
                 scipy, quat, nbytes)


def primitive_peers(Q, name, q1, q2, v):
    """SciPy and numpy-quaternion forms of the [w, x, y, z] primitives."""
    x1, x2 = q1[..., [1, 2, 3, 0]].copy(), q2[..., [1, 2, 3, 0]].copy()  # prepared outside timing
    qa = Q.as_quat_array(q1) if Q else None
    af, qarr = (Q.as_float_array, Q.as_quat_array) if Q else (None, None)
    peers = {
        "quat_conjugate": (None, Q and (lambda: af(qarr(q1).conjugate()))),
        "quat_inv": (lambda: Rotation.from_quat(x1).inv().as_quat(),
                     Q and (lambda: af(np.reciprocal(qarr(q1))))),
        "quat_mul": (lambda: (Rotation.from_quat(x1) * Rotation.from_quat(x2)).as_quat(),
                     Q and (lambda: af(qarr(q1) * qarr(q2)))),
        "quat_mul_e": (None, None),
        "quat_apply": (lambda: Rotation.from_quat(x1).apply(v),
                       Q and (lambda: Q.as_vector_part(qa * Q.from_vector_part(v) * qa.conjugate()))),
        "matrix_from_quat": (lambda: Rotation.from_quat(x1).as_matrix(),
                             Q and (lambda: Q.as_rotation_matrix(qa))),
    }
    return peers[name]


# Bytes read + written per row (float64) by each batch operation.
BYTES_PER_ROW = {
    "euler_from_quaternion": 32 + 24,
    "quat_conjugate": 32 + 32,
    "quat_inv": 32 + 32,
    "quat_mul": 64 + 32,
    "quat_mul_e": 64 + 32,
    "quat_apply": 32 + 24 + 24,
    "subtract_frame_transforms": 2 * (24 + 32) + 24 + 32,
    "subtract_frame_transforms_r": 2 * (24 + 32) + 24 + 32,
    "matrix_from_quat_r": 32 + 72,
    "matrix_from_quat": 32 + 72,
    "world_to_body_vel": 24 + 24,
    "TransformAlignment.align_quat": 32 + 32,
    "TransformAlignment.align_xyz": 24 + 24,
    "TransformAlignment.align_pos": 24 + 24,
    "TransformAlignment.align_transform": 32 + 32 + 24 + 24,
}


def math_rows(rows, Q, rng, n):
    import torch

    mt = rows.mt
    one = "one pose"
    batch = f"N={n:,}"
    for case, shape in ((one, ()), (batch, (n,))):
        q1 = unit_quats(rng, max(1, n if shape else 1)).reshape(shape + (4,))
        q2 = unit_quats(rng, max(1, n if shape else 1)).reshape(shape + (4,))
        t1, t2, v = (rng.normal(size=shape + (3,)) for _ in range(3))
        x1, x2 = q1[..., [1, 2, 3, 0]].copy(), q2[..., [1, 2, 3, 0]].copy()
        nb = (lambda name: BYTES_PER_ROW[name] * n) if shape else (lambda name: None)
        tensor = torch.tensor(x1 if shape else x1[None, :])
        rows.function("euler_from_quaternion", case, (tensor,), nb("euler_from_quaternion"))
        if not shape:
            rows.function("quatToEuler", case, (q1,))
        for name, args in [("quat_conjugate", (q1,)), ("quat_inv", (q1,)), ("quat_mul", (q1, q2)),
                           ("quat_mul_e", (q1, q2)), ("quat_apply", (q1, v))]:
            scipy, quat = primitive_peers(Q, name, q1, q2, v)
            rows.function(name, case, args, nb(name), scipy, quat)
        rows.function("subtract_frame_transforms", case, (t1, q1, t2, q2), nb("subtract_frame_transforms"))
        rows.function("subtract_frame_transforms_r", case, (t1, x1, t2, x2),
                      nb("subtract_frame_transforms_r"))
        rows.function("matrix_from_quat_r", case, (x1,), nb("matrix_from_quat_r"))
        scipy, quat = primitive_peers(Q, "matrix_from_quat", q1, q2, v)
        rows.function("matrix_from_quat", case, (q1,), nb("matrix_from_quat"), scipy, quat)
        rows.function("world_to_body_vel", case, (v, q1 if not shape else q1[0]), nb("world_to_body_vel"))
        if not shape:
            rows.function("wxyz_to_xyzw", case, (q1,))
            rows.function("xyzw_to_wxyz", case, (x1,))
            for name in ("reset_pose_yaw_only", "reset_pose_yaw_only_keep_rp", "reset_pose"):
                rows.function(name, case, (t1, q1, t2, q2))
            rows.function("reset_quat_yaw_only_keep_rp", case, (q1, q2))
            rows.function("pelvis_to_torso_quat", case, (q1, 0.3))
            rows.function("pelvis_to_torso_pose", case, (t1, q1, 0.3, [0.0, 0.0, 0.2]))
            rows.function("imu_quat_to_euler", case, (q1,))
        alignment_rows(rows, case, shape, x1, t1, nb)


def alignment_rows(rows, case, shape, quat, pos, nb):
    """TransformAlignment as Wbt_env uses it: yaw_only and xy_only, a stack-of-one base."""
    mt = rows.mt
    base_q = Rotation.from_euler("xyz", [0.1, -0.2, 0.8]).as_quat()[None, :]
    base_p = np.array([[0.3, -1.2, 0.9]])
    kw = {"yaw_only": True, "xy_only": True}
    b = ref.TransformAlignment(base_q, base_p, **kw)
    n = mt.TransformAlignment(base_q, base_p, **kw) if mt else None
    if not shape:
        rows.add("TransformAlignment()", case, lambda: ref.TransformAlignment(base_q, base_p, **kw),
                 n and (lambda: mt.TransformAlignment(base_q, base_p, **kw)), compare=False)
        rows.add("TransformAlignment.set_base", case, lambda: b.set_base(quat=base_q, pos=base_p),
                 n and (lambda: n.set_base(quat=base_q, pos=base_p)))
    for name, args in [("align_quat", (quat,)), ("align_xyz", (pos,)), ("align_pos", (pos,)),
                       ("align_transform", (quat, pos))]:
        op = "TransformAlignment." + name
        rows.add(op, case, lambda f=getattr(b, name), a=args: f(*a),
                 n and (lambda f=getattr(n, name), a=args: f(*a)), nbytes=nb(op))


def write_clip(root, T, rng):
    d = Path(root) / "assets" / "motion_npz"
    d.mkdir(parents=True, exist_ok=True)
    B, J = 30, 29
    np.savez(
        d / "stand.npz",
        fps=np.array(50.0),
        joint_pos=rng.normal(size=(T, J)),
        joint_vel=rng.normal(size=(T, J)),
        body_pos_w=rng.normal(size=(T, B, 3)),
        body_quat_w=unit_quats(rng, T * B).reshape(T, B, 4),
        body_lin_vel_w=rng.normal(size=(T, B, 3)),
        body_ang_vel_w=rng.normal(size=(T, B, 3)),
    )


PROPERTIES = ["command", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w", "body_lin_vel_w",
              "body_ang_vel_w", "anchor_pos_w", "anchor_quat_w", "anchor_lim_vel_w", "anchor_ang_vel_w"]


def plain_env_class(base, native_env):
    """The plain class with the robot tables assigned as its constructor
    assigns them (literal lists, float32 copies, name-to-index maps), taken
    once from a native instance: the reference classes carry only what the
    per-tick queries need."""
    lists = {name: list(getattr(native_env, name)) for name in (
        "body_index", "motion_anchor_body_index", "robot_anchor_body_index", "action_scales",
        "default_joint_pos", "default_joint_vel", "kp", "kd", "effort_limit_sim", "action_min",
        "action_max", "orig_names", "orig_names_e", "target_names", "orig_names_joint",
        "target_names_joint")}

    class Plain(base):
        def __init__(self, current_dir, file="stand", time_steps=0):
            t = lists
            self.action_scales = list(t["action_scales"])
            self.default_joint_pos = list(t["default_joint_pos"])
            self.default_joint_vel = list(t["default_joint_vel"])
            self.kp, self.kd = list(t["kp"]), list(t["kd"])
            self.effort_limit_sim = list(t["effort_limit_sim"])
            self.action_min, self.action_max = list(t["action_min"]), list(t["action_max"])
            self.action_min_a = np.array(self.action_min, dtype=np.float32)
            self.action_max_a = np.array(self.action_max, dtype=np.float32)
            self.kp_a = np.array(self.kp, dtype=np.float32)
            self.kd_a = np.array(self.kd, dtype=np.float32)
            self.effort_limit = np.array(self.effort_limit_sim, dtype=np.float32)[None, :]
            self.orig_names, self.orig_names_e = list(t["orig_names"]), list(t["orig_names_e"])
            self.target_names = list(t["target_names"])
            self.name_to_idx = {name: i for i, name in enumerate(self.orig_names)}
            self.name_to_idx_e = {name: i for i, name in enumerate(self.orig_names_e)}
            self.target_indices = [self.name_to_idx[name] for name in self.target_names]
            self.target_indices_e = [self.name_to_idx_e[name] for name in self.target_names]
            self.orig_names_joint = list(t["orig_names_joint"])
            self.target_names_joint = list(t["target_names_joint"])
            self.name_to_idx_joint = {name: i for i, name in enumerate(self.orig_names_joint)}
            self.target_indices_joint = [self.name_to_idx_joint[n] for n in self.target_names_joint]
            self.target_names_action = list(t["orig_names_joint"])
            self.orig_names_action = list(t["target_names_joint"])
            self.name_to_idx_action = {name: i for i, name in enumerate(self.orig_names_action)}
            self.target_indices_action = [self.name_to_idx_action[n] for n in self.target_names_action]
            super().__init__(current_dir, file, time_steps)

    Plain.__name__ = base.__name__
    return Plain


def env_rows(rows, menv, root):
    """Every member of Wbt_env and Wbt_env_sim on a clip of 100 frames."""
    for name in ("Wbt_env", "Wbt_env_sim"):
        native_cls = getattr(menv, name) if menv else None
        native = native_cls(root) if native_cls else None
        plain_cls = plain_env_class(getattr(ref, name), native) if native else getattr(ref, name)
        plain = plain_cls(root)
        for env in filter(None, (plain, native)):
            if name == "Wbt_env":
                env.reset()
            env.update_time_steps(37)
        case = "T=100"
        rows.add(f"{name}()", case, lambda c=plain_cls: c(root), native and (lambda c=native_cls: c(root)),
                 compare=False)
        rows.add(f"{name}.load_motion", case, plain.load_motion, native and native.load_motion)
        if name == "Wbt_env":
            rows.add("Wbt_env.reset", case, plain.reset, native and native.reset)
            for env in filter(None, (plain, native)):
                env.update_time_steps(37)
        rows.add(f"{name}.update_time_steps", case, lambda: plain.update_time_steps(37),
                 native and (lambda: native.update_time_steps(37)))
        for prop in PROPERTIES:
            rows.add(f"{name}.{prop}", case, lambda p=prop: getattr(plain, p),
                     native and (lambda p=prop: getattr(native, p)))


def make_tick(env, T):
    step = [0]

    def tick():
        s = step[0]
        step[0] = s + 1 if s + 1 < T else 0
        env.update_time_steps(s)
        env.command
        env.anchor_pos_w
        env.anchor_quat_w
        env.anchor_lim_vel_w
        env.anchor_ang_vel_w
        env.body_pos_w

    return tick


class Viewer:
    """A viewer that accepts markers and keeps none."""

    def add_marker(self, **markers):
        return None


def drawer_rows(rows, ts_mod, rng):
    viewer = Viewer()
    body_pos = rng.normal(size=(14, 3))
    origin, quat, vec = rng.normal(size=3), Rotation.from_euler("xyz", [0.2, -0.4, 1.0]).as_quat(), [1.0, 0.5, 0.2]
    plain = ref.TrackscopeDrawer(viewer)
    native = ts_mod.TrackscopeDrawer(viewer) if ts_mod else None
    case = "one call"
    rows.add("TrackscopeDrawer()", case, lambda: ref.TrackscopeDrawer(viewer),
             native and (lambda: ts_mod.TrackscopeDrawer(viewer)), compare=False)
    rows.add("TrackscopeDrawer.update_rg_view", "14 bodies", lambda: plain.update_rg_view(body_pos, None, 0),
             native and (lambda: native.update_rg_view(body_pos, None, 0)))
    for label, kw in (("arrow", {}), ("arrow, horizontal_only", {"horizontal_only": True})):
        rows.add("TrackscopeDrawer.draw_arrow", label,
                 lambda kw=kw: plain.draw_arrow(origin, quat, vec, [1, 0, 0, 1], 2.0, **kw),
                 native and (lambda kw=kw: native.draw_arrow(origin, quat, vec, [1, 0, 0, 1], 2.0, **kw)))


# ---------------------------------------------------------------------------
# Running and reporting
# ---------------------------------------------------------------------------

def run_row(row, args, copy_bw):
    fns, cells, outs = {}, {}, {}
    for impl in IMPLS:
        fn = row["fns"].get(impl)
        if fn is None or isinstance(fn, str):
            cells[impl] = fn
            continue
        try:
            outs[impl] = fn()
        except Exception as exc:
            cells[impl] = f"err {type(exc).__name__}"
            row.setdefault("errors", {})[impl] = f"{type(exc).__name__}: {exc}"
            continue
        fns[impl] = fn
    for impl, m in (measure(fns, args.repeats, args.target) if fns else {}).items():
        cells[impl] = m["median_s"]
        row.setdefault("timings", {})[impl] = m
    row["cells"] = cells
    b, t, q = cells.get("baseline"), cells.get("trackscope"), cells.get("quaternion")
    row["ratio"] = b / t if isinstance(b, float) and isinstance(t, float) else None
    row["vs_quaternion"] = q / t if isinstance(q, float) and isinstance(t, float) else None
    if row["bytes"] and isinstance(t, float):
        row["bandwidth_Bps"] = row["bytes"] / t
        row["bandwidth_share"] = row["bytes"] / t / copy_bw
    if row["compare"] and "baseline" in outs and "trackscope" in outs:
        row["diff"] = max_abs_diff(outs["baseline"], outs["trackscope"])
    return row


def table_lines(rows, peers):
    head = ["operation", "case", "baseline", "trackscope", "ratio"] + peers + ["vs quaternion", "bandwidth"]
    lines = []
    for r in rows:
        c = r["cells"]
        line = [r["op"], r["case"], fmt_time(c.get("baseline")), fmt_time(c.get("trackscope")),
                f"{r['ratio']:.2f}x" if r["ratio"] else "-"]
        line += [fmt_time(c.get(p)) for p in peers]
        line.append(f"{r['vs_quaternion']:.2f}x" if r.get("vs_quaternion") else "-")
        share = r.get("bandwidth_share")
        line.append(f"{r['bandwidth_Bps'] / 1e9:.1f} GB/s ({100 * share:.0f}%)" if share else "-")
        lines.append(line)
    return head, lines


def print_table(rows, peers):
    head, lines = table_lines(rows, peers)
    widths = [max(len(head[i]), *(len(l[i]) for l in lines)) for i in range(len(head))]

    def fmt(line):
        return "  ".join(s.ljust(w) if i < 2 else s.rjust(w) for i, (s, w) in enumerate(zip(line, widths)))

    print(fmt(head))
    print("  ".join("-" * w for w in widths))
    for line in lines:
        print(fmt(line))


def markdown_table(rows, peers):
    head, lines = table_lines(rows, peers)
    out = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    for line in lines:
        out.append("| " + " | ".join(f"`{s}`" if i == 0 else s for i, s in enumerate(line)) + " |")
    return "\n".join(out) + "\n"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] + " " + __doc__.splitlines()[1])
    ap.add_argument("--quick", action="store_true", help="fewer, shorter runs (3 of ~0.01 s) and N=100,000")
    ap.add_argument("--json", metavar="PATH", help="also write every figure (all runs) as JSON")
    ap.add_argument("--markdown", metavar="PATH", help="also write the table as Markdown")
    ap.add_argument("--n", type=int, help="rows in the batch cases (default 1,000,000)")
    ap.add_argument("--frames", default="100,10000,100000",
                    help="comma-separated clip lengths for the control-tick rows")
    ap.add_argument("--repeats", type=int, help="timed runs per cell (default 7)")
    ap.add_argument("--target", type=float, help="seconds per timed run (default 0.05)")
    ap.add_argument("--torch-threads", type=int, default=1,
                    help="torch.set_num_threads for both sides (default 1: steadier figures)")
    ap.add_argument("--only", metavar="TEXT", help="run only the rows whose operation contains TEXT")
    ap.add_argument("--seed", type=int, default=12345)
    args = ap.parse_args(argv)
    args.repeats = args.repeats or (3 if args.quick else 7)
    args.target = args.target or (0.01 if args.quick else 0.05)
    args.n = args.n or (100_000 if args.quick else 1_000_000)
    frames = [int(t) for t in args.frames.split(",") if t.strip()]

    import torch

    torch.set_num_threads(args.torch_threads)
    logging.getLogger("math_transfrom").setLevel(logging.WARNING)
    logging.getLogger("reference").setLevel(logging.WARNING)

    t_start = time.perf_counter()
    rng = np.random.default_rng(args.seed)
    mt, menv, ts_mod, native_err = load_native()
    Q, _ = load_quaternion()
    peers = ["scipy"] + (["quaternion"] if Q is not None else [])

    import scipy
    meta = {
        "python": sys.version.split()[0], "numpy": np.__version__, "scipy": scipy.__version__,
        "torch": torch.__version__, "quaternion": getattr(Q, "__version__", None) if Q else None,
        "machine": platform.machine(), "processor": platform.processor() or platform.platform(),
        "cpus": os.cpu_count(), "trackscope": "available" if mt is not None else f"n/a ({native_err})",
        "repeats": args.repeats, "target_s": args.target, "n": args.n, "frames": frames,
        "torch_threads": args.torch_threads, "blas_threads": os.environ["OPENBLAS_NUM_THREADS"],
    }
    print(f"python {meta['python']}  numpy {meta['numpy']}  scipy {meta['scipy']}  torch {meta['torch']}  "
          f"numpy-quaternion {meta['quaternion'] or 'not installed'}  {meta['machine']}, {meta['cpus']} cpus")
    print(f"trackscope: {meta['trackscope']}")
    print(f"timing: median of {args.repeats} runs of ~{args.target:g} s, implementations taking turns; "
          f"torch on {args.torch_threads} thread(s), BLAS on {os.environ['OPENBLAS_NUM_THREADS']}")

    # The copy every batch row's bandwidth is measured against.
    big = rng.normal(size=(args.n, 4))
    dst = np.empty_like(big)
    copies = measure({"arr.copy()": lambda: big.copy(), "np.copyto": lambda: np.copyto(dst, big)},
                     args.repeats, args.target)
    copy_bw = max(2 * big.nbytes / m["median_s"] for m in copies.values())
    del big, dst
    print(f"copy bandwidth: {copy_bw / 1e9:.1f} GB/s (faster of arr.copy() and np.copyto on "
          f"{args.n:,} x 4 float64)")
    print()

    rows = Rows(mt)
    math_rows(rows, Q, rng, args.n)
    with tempfile.TemporaryDirectory(prefix="trackscope-bench-") as tmp:
        write_clip(tmp, 100, rng)
        env_rows(rows, menv, tmp)
        drawer_rows(rows, ts_mod, rng)
        selected = [r for r in rows.rows if not args.only or args.only in r["op"]]
        done = [run_row(r, args, copy_bw) for r in selected]

    # Control tick on generated clips.
    for T in frames if not args.only or args.only in "Wbt_env control tick" else []:
        with tempfile.TemporaryDirectory(prefix="trackscope-bench-") as tmp:
            write_clip(tmp, T, rng)
            b_env = ref.Wbt_env(tmp)
            b_env.reset()
            fns = {"baseline": make_tick(b_env, T)}
            if menv is not None:
                n_env = menv.Wbt_env(tmp)
                n_env.reset()
                fns["trackscope"] = make_tick(n_env, T)
            row = {"op": "Wbt_env control tick", "case": f"T={T:,}", "bytes": None, "compare": False,
                   "fns": fns}
            done.append(run_row(row, args, copy_bw))

    print_table(done, peers)
    below = [r for r in done if r["ratio"] is not None and r["ratio"] < 1.0]
    mismatches = [r for r in done if "diff" in r and (isinstance(r["diff"], str) or r["diff"] > 1e-9)]
    print()
    print("ratio = baseline / trackscope; vs quaternion = numpy-quaternion / trackscope; bandwidth = bytes")
    print("read and written per second by trackscope, and its share of the copy bandwidth above.")
    print("Control tick = update_time_steps, command, anchor_pos_w/quat_w/lim_vel_w/ang_vel_w, body_pos_w.")
    print(f"rows below 1.0x: {', '.join(r['op'] + ' [' + r['case'] + ']' for r in below) or 'none'}")
    for r in mismatches:
        print(f"results differ beyond 1e-9: {r['op']} [{r['case']}]: {r['diff']}")
    for r in done:
        for impl, err in r.get("errors", {}).items():
            print(f"error: {r['op']} [{r['case']}] {impl}: {err}")
    elapsed = time.perf_counter() - t_start
    print(f"total {elapsed:.1f} s")

    if args.markdown:
        Path(args.markdown).write_text(markdown_table(done, peers))
        print(f"wrote {args.markdown}")
    if args.json:
        payload = {
            "meta": {**meta, "elapsed_s": elapsed, "copy_bandwidth_Bps": copy_bw,
                     "copies": {k: v for k, v in copies.items()}},
            "rows": [{k: r.get(k) for k in ("op", "case", "bytes", "ratio", "vs_quaternion",
                                            "bandwidth_Bps", "bandwidth_share", "diff", "timings", "errors")}
                     for r in done],
        }
        with open(args.json, "w") as fh:
            json.dump(payload, fh, indent=1)
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
